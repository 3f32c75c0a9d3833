#pragma once

#include "filecommands.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSet>
#include <QStringList>

#include <memory>

class CloudBase;
class InterruptWatcher;

// The command line's commands over the player's own cloud accounts: the
// same application name, hence the same stored sign-ins, as the player.
class CliTool : public QObject
{
    Q_OBJECT
public:
    CliTool();
    ~CliTool() override;

    // The arguments as the process got them, the program's name first.
    int run(const QList<QByteArray>& arguments);

private:
    int runCommand(const QStringList& arguments);
    bool configureNetwork(const QString& proxy, const QString& caCertificate);
    CloudBase* account(const QString& cloud);
    int status();
    int space(CloudBase* account);
    int connectAccount(CloudBase* account);
    int upload(CloudBase* account, const QStringList& files, const QString& folder);
    int files(CloudBase* account, const QString& command, const QStringList& arguments,
              const FileCommands::Format& format);
    bool requireConnected(CloudBase* account);
    void onInterrupted();

    std::unique_ptr<CloudBase> m_dropbox;
    std::unique_ptr<CloudBase> m_drive;
    std::unique_ptr<InterruptWatcher> m_interrupts;
    bool m_interrupted = false;
    QSet<QString> m_unreadable; // arguments that were not UTF-8, as shown
};
