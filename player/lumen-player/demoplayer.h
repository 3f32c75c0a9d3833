#pragma once

#include "pluginregistry.h"

#include <QListWidget>
#include <QMainWindow>
#include <QString>

#include <memory>

class DownloadManagerPlugin;

// A small player: a window listing the queued addresses, the plug-in
// framework with the player's own download manager, and the bundles loaded
// from a folder. Plug-ins are released before the application object goes.
class DemoPlayer
{
public:
    explicit DemoPlayer(QString pluginFolder);
    ~DemoPlayer();
    DemoPlayer(const DemoPlayer&) = delete;
    DemoPlayer& operator=(const DemoPlayer&) = delete;

    // Loads the bundles and reports what the cloud plug-in answers; the
    // process exit status.
    int run();

private:
    void say(const QString& line) const;
    int queryCloudPlugin(QSE::Plugin* plugin);
    void shutDown();

    QString m_pluginFolder;
    QMainWindow m_window;
    QListWidget* m_queueView;
    QSE::PluginRegistry m_registry;
    DownloadManagerPlugin* m_downloads = nullptr;
    QSE::Plugin* m_cloudPlugin = nullptr;
};
