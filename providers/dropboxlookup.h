#pragma once

#include "entrylookup.h"

class DropboxFiles;

// What is at a Dropbox path: files/get_metadata, the top without a call.
class DropboxLookup : public EntryLookup
{
    Q_OBJECT
public:
    DropboxLookup(DropboxFiles& files, const QString& path, QObject* parent);

protected:
    void begin() override;

private:
    DropboxFiles& m_files;
};
