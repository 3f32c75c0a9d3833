#pragma once

#include "pluginregistry.h"

#include <QList>
#include <QListWidget>
#include <QMainWindow>
#include <QString>
#include <QUrl>

#include <memory>

class DownloadManagerPlugin;
class ImportRoad;

// A small player: a window listing the queued addresses, the plug-in
// framework with the player's own download manager, and the bundles loaded
// from a folder. Plug-ins are released before the application object goes.
class DemoPlayer
{
public:
    struct ImportOptions {
        int timeoutSeconds = 90;
        QString pictureFolder;
    };

    explicit DemoPlayer(QString pluginFolder);
    ~DemoPlayer();
    DemoPlayer(const DemoPlayer&) = delete;
    DemoPlayer& operator=(const DemoPlayer&) = delete;

    void showWindow();
    // Loads the bundles and reports what the cloud plug-in answers; the
    // process exit status.
    int run();
    // Imports a file from Dropbox through the plug-in, reporting each step,
    // then releases the plug-in and ends with one "queued: <address>" line
    // per queued file; the process exit status.
    int importFromDropbox(const ImportOptions& options);

private:
    void say(const QString& line) const;
    int queryCloudPlugin(QSE::Plugin* plugin);
    void fileQueued(const QUrl& url);
    void shutDown();

    QString m_pluginFolder;
    // The plug-in's dialogs belong to this window; it goes before the
    // bundle that holds their code is closed.
    std::unique_ptr<QMainWindow> m_window;
    QListWidget* m_queueView;
    QSE::PluginRegistry m_registry;
    DownloadManagerPlugin* m_downloads = nullptr;
    QSE::Plugin* m_cloudPlugin = nullptr;
    ImportRoad* m_road = nullptr;
};
