#pragma once

#include "cloudentry.h"
#include "clouderror.h"

#include <QObject>
#include <QString>

class CloudFiles;
class CloudJob;
class InterruptWatcher;

// qovi-cloud's commands over an account's files: ls, search and download.
// Entries are printed as their pages arrive; every failure is said once on
// standard error, and each answers an exit status as upload does.
class FileCommands : public QObject
{
    Q_OBJECT
public:
    struct Format {
        bool longForm = false; // size and date before each name
        bool json = false;     // one object per line, for scripts
        bool recursive = false;
    };

    FileCommands(CloudFiles& files, InterruptWatcher& interrupts);

    int list(const QString& folder, const Format& format);
    int search(const QString& text, const Format& format);
    int download(const QString& remote, const QString& local);

    // One entry as ls prints it; `path`: its whole path instead of its name.
    static QString line(const CloudEntry& entry, const Format& format, bool path);

private:
    bool lookup(const QString& path, CloudEntry* entry);
    // Runs a job to its end; false when the process was interrupted.
    bool runToEnd(CloudJob* job);
    // Prints a listing's entries as they come; false when it failed.
    bool print(CloudJob* listing, const Format& format, bool paths, CloudEntries* folders);
    void sayRetry(const CloudError& why, int pauseMs, int attempt);
    QString service() const;

    CloudFiles& m_files;
    InterruptWatcher& m_interrupts;
};
