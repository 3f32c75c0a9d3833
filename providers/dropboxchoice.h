#pragma once

#include "choicejob.h"
#include "cloudentry.h"

#include <QPointer>

class ApiCall;
class DropboxFiles;

// The entries of picked Dropbox files, as the Dropbox Chooser gives them
// ("filelink", "thumbnail", "fileSize", "fileName"), each link a temporary
// link to the file's bytes, asked for one file after the other.
class DropboxChoice : public ChoiceJob
{
    Q_OBJECT
public:
    DropboxChoice(DropboxFiles& files, const CloudEntries& picked, QObject* parent);

protected:
    void begin() override;
    void stop() override;

private:
    void next();

    DropboxFiles& m_files;
    const CloudEntries m_picked;
    QVariantList m_entries;
    QPointer<ApiCall> m_call;
};
