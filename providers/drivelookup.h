#pragma once

#include "entrylookup.h"

class DriveFiles;

// What is at a path of a Google Drive, which knows no paths: each name
// looked for in the folder found before it, from the top down.
class DriveLookup : public EntryLookup
{
    Q_OBJECT
public:
    DriveLookup(DriveFiles& files, const QString& path, QObject* parent);

protected:
    void begin() override;

private:
    void step();

    DriveFiles& m_files;
    QStringList m_names;
    CloudEntry m_current;
};
