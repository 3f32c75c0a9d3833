#pragma once

#include "cloudtypes.h"
#include "pluginregistry.h"

#include <QList>
#include <QString>
#include <QUrl>

#include <memory>

class Downloader;
class DownloadManagerPlugin;
class Road;
class PlayerWindow;
class WebWindowWatcher;

namespace QoviLumen {
class QLMCloudPluginInterface;
}

// A small player: its main window with the plug-ins' buttons and its
// downloads, the plug-in framework with the player's own download manager,
// and the bundles loaded from a folder. Plug-ins are released before the
// application object goes.
class DemoPlayer
{
public:
    struct ImportOptions {
        int timeoutSeconds = 90;
        QString pictureFolder;
        QList<CLOUD_TYPE> clouds{DROPBOX_CLOUD, GDRIVE_CLOUD};
        // Today's road: the sign-in in the user's browser, the native chooser.
        bool browserRoad = false;
    };

    DemoPlayer(QString pluginFolder, QString downloadFolder);
    ~DemoPlayer();
    DemoPlayer(const DemoPlayer&) = delete;
    DemoPlayer& operator=(const DemoPlayer&) = delete;

    // Loads the bundles, reports what the cloud plug-in answers and gives it
    // its place in the window; the process exit status.
    int run();
    PlayerWindow* window() const { return m_window.get(); }
    Downloader& downloads() const { return *m_downloader; }
    // Imports a file from each cloud through the window, as a person would:
    // the cloud button's menu, then the web windows; reports each step and
    // each download, releases the plug-in and ends with one
    // "queued: <address>" line per queued file. The process exit status.
    int importThroughTheWindow(const ImportOptions& options);
    // A person uses the window until they close it.
    int runForAPerson();
    // Fetches addresses through the player's downloads list, as it does
    // what the plug-in queues: a "downloaded: <name> (<bytes> bytes)" line
    // each, or why it failed. The process exit status.
    int fetch(const QList<QUrl>& addresses, int timeoutSeconds);

    // The token a Google Drive download needs, from the plug-in's cloud
    // interface: a fresh one when there is none yet, when it expired, or
    // when the service refused the last one.
    QString googleToken(bool refused);

private:
    void say(const QString& line) const;
    int queryCloudPlugin(QSE::Plugin* plugin);
    void fileQueued(const QUrl& url);
    void downloadEnded(int id);
    bool chooseFromTheMenu(CLOUD_TYPE cloud, WebWindowWatcher& watcher);
    void shutDown();

    QString m_pluginFolder;
    QSE::PluginRegistry m_registry;
    DownloadManagerPlugin* m_downloads = nullptr;
    std::unique_ptr<Downloader> m_downloader;
    // The plug-in's windows belong to this one; it goes before the bundle
    // that holds their code is closed.
    std::unique_ptr<PlayerWindow> m_window;
    QSE::Plugin* m_cloudPlugin = nullptr;
    QoviLumen::QLMCloudPluginInterface* m_cloud = nullptr;
    QString m_googleToken;
    Road* m_road = nullptr;
};
