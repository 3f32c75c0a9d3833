#include "demoplayer.h"

#include "console.h"
#include "downloader.h"
#include "downloadmanagerplugin.h"
#include "importroad.h"
#include "liveroad.h"
#include "menuinterface.h"
#include "osutilities.h"
#include "playertoolbutton.h"
#include "playerwindow.h"
#include "qlmcloudplugininterface.h"
#include "settingsconsumerinterface.h"
#include "toolbarinterface.h"
#include "webwindowwatcher.h"

#include <QApplication>
#include <QEventLoop>
#include <QMenu>
#include <QPainter>
#include <QTest>
#include <QTimer>
#include <QToolBar>

namespace {

const char* const kCloudInterface = "com.qovi.lumen.pluginInterface.CloudPluginInterface";
const char* const kMenuInterface = "com.qovi.lumen.pluginInterface.Menu";
const char* const kToolBarInterface = "com.qovi.lumen.pluginInterface.ToolBar";
const char* const kSettingsInterface = "com.qovi.lumen.pluginInterface.SettingsConsumer";

template <class Interface>
Interface* query(QSE::Plugin* plugin, const char* id)
{
    void* pointer = nullptr;
    return plugin && plugin->queryInterface(id, &pointer) == 0 ? static_cast<Interface*>(pointer) : nullptr;
}

QString cloudName(CLOUD_TYPE cloud)
{
    return cloud == DROPBOX_CLOUD ? QStringLiteral("Dropbox") : QStringLiteral("Google Drive");
}

} // namespace

DemoPlayer::DemoPlayer(QString pluginFolder, QString downloadFolder)
    : m_pluginFolder(std::move(pluginFolder)),
      m_downloader(std::make_unique<Downloader>(std::move(downloadFolder),
                                                [this](bool refused) { return googleToken(refused); })),
      m_window(std::make_unique<PlayerWindow>(*m_downloader))
{
    QoviLumen::OSUtilities::setPlayerPluginWidget(m_window.get());
    m_downloads = new DownloadManagerPlugin(&m_registry);
    m_downloads->retain();
    m_downloads->setQueuedHandler([this](const QUrl& url) { fileQueued(url); });
    m_registry.registerPlugin("DownloadManager", {DownloadManagerPlugin::kInterfaceId}, m_downloads);
    QObject::connect(m_downloader.get(), &Downloader::ended, m_window.get(), [this](int id) { downloadEnded(id); });
}

DemoPlayer::~DemoPlayer()
{
    shutDown();
}

int DemoPlayer::run()
{
    const int loaded = m_registry.loadFolder(m_pluginFolder.toStdString());
    say(QStringLiteral("loaded %1 plug-in bundle(s) from %2").arg(loaded).arg(m_pluginFolder));
    const QSE::PluginContext::PluginInterfaceFilter filter(kCloudInterface);
    if (m_registry.findPlugin(filter, QSE::PluginContext::SimplePluginInfoSelector(), true, &m_cloudPlugin) != 0) {
        say(QStringLiteral("no plug-in offers %1").arg(QLatin1String(kCloudInterface)));
        return 1;
    }
    say(QStringLiteral("plug-in %1 offers %2")
            .arg(QString::fromUtf8(m_cloudPlugin->getPluginInfo()->name().c_str()), QLatin1String(kCloudInterface)));
    const int status = queryCloudPlugin(m_cloudPlugin);
    auto* menu = query<QoviLumen::MenuInterface>(m_cloudPlugin, kMenuInterface);
    m_cloud = query<QoviLumen::QLMCloudPluginInterface>(m_cloudPlugin, kCloudInterface);
    if (menu)
        m_window->attachPlugin(menu->menuObject(), query<QoviLumen::ToolBarInterface>(m_cloudPlugin, kToolBarInterface),
                               query<QoviLumen::SettingsConsumerInterface>(m_cloudPlugin, kSettingsInterface));
    return status;
}

int DemoPlayer::queryCloudPlugin(QSE::Plugin* plugin)
{
    int failures = 0;
    for (const char* id : {kMenuInterface, kCloudInterface, kToolBarInterface, kSettingsInterface}) {
        void* pointer = nullptr;
        const int answer = plugin->queryInterface(id, &pointer);
        say(QStringLiteral("query %1: answer %2, %3")
                .arg(QLatin1String(id))
                .arg(answer)
                .arg(pointer ? QStringLiteral("interface given") : QStringLiteral("no interface")));
        failures += answer != 0 || !pointer;
    }
    void* pointer = nullptr;
    const int answer = plugin->queryInterface(DownloadManagerPlugin::kInterfaceId, &pointer);
    say(QStringLiteral("query %1: answer %2, %3")
            .arg(QLatin1String(DownloadManagerPlugin::kInterfaceId))
            .arg(answer)
            .arg(pointer ? QStringLiteral("interface given") : QStringLiteral("no interface")));
    return failures == 0 && answer == 3 ? 0 : 1;
}

QString DemoPlayer::googleToken(bool refused)
{
    if (!m_cloud)
        return QString();
    // Asked first: it makes the plug-in's accounts on first need, without
    // which the plug-in has no token to give (a player that fetches before
    // any import).
    const bool expired = m_cloud->isGDriveTokenExpired();
    if (refused || m_googleToken.isEmpty() || expired)
        m_googleToken = m_cloud->refreshGDriveToken();
    return m_googleToken;
}

int DemoPlayer::importThroughTheWindow(const ImportOptions& options)
{
    auto* menu = query<QoviLumen::MenuInterface>(m_cloudPlugin, kMenuInterface);
    if (!menu) {
        say(QStringLiteral("demo: no cloud plug-in to import with"));
        return 1;
    }
    m_window->show();
    int status = 0;
    QList<QUrl> queued;
    {
        WebWindowWatcher watcher(options.pictureFolder);
        for (CLOUD_TYPE cloud : options.clouds) {
            say(QStringLiteral("--- importing from %1 through the player's window%2")
                    .arg(cloudName(cloud), options.browserRoad ? QStringLiteral(", signing in in the browser")
                                                              : QString()));
            std::unique_ptr<Road> road;
            if (options.browserRoad)
                road = std::make_unique<LiveRoad>(menu->menuObject(), &watcher, cloud);
            else
                road = std::make_unique<ImportRoad>(menu->menuObject(), &watcher, cloud);
            m_road = road.get();
            status = road->run([&] { chooseFromTheMenu(cloud, watcher); }, options.timeoutSeconds);
            m_road = nullptr;
            queued += road->queuedAddresses();
            if (status != 0)
                break;
        }
        const QString list = watcher.savePicture(m_window->grab(), QStringLiteral("downloads list"));
        say(QStringLiteral("picture of the downloads list: %1").arg(list));
    }
    say(QStringLiteral("releasing the plug-in"));
    shutDown();
    // The result comes last, after the plug-in is gone.
    if (status == 0) {
        for (const QUrl& address : qAsConst(queued))
            say(QStringLiteral("queued: %1").arg(address.toString()));
    }
    return status;
}

bool DemoPlayer::chooseFromTheMenu(CLOUD_TYPE cloud, WebWindowWatcher& watcher)
{
    const QList<QoviLumen::PlayerToolButton*> buttons = m_window->pluginButtons();
    QoviLumen::PlayerToolButton* button = nullptr;
    for (QoviLumen::PlayerToolButton* candidate : buttons) {
        if (candidate->parentWidget() == m_window->controlBar() && candidate->isVisible())
            button = candidate;
    }
    QAction* action = m_window->importAction(cloud == DROPBOX_CLOUD ? PlayerWindow::kImportFromDropbox
                                                                    : PlayerWindow::kImportFromGoogleDrive);
    if (!button || !button->menu() || !action) {
        say(QStringLiteral("demo: the window has no cloud button with a menu"));
        return false;
    }
    QMenu* menu = button->menu();
    // The menu runs its own loop once it is open: the picture and the click
    // on the action happen from inside it, as a person's would.
    QTimer::singleShot(300, menu, [this, menu, action, cloud, &watcher] {
        // The menu may open beyond the window's edge: both on one picture.
        const QRect window(m_window->mapToGlobal(QPoint()), m_window->size());
        const QRect dropDown(menu->mapToGlobal(QPoint()), menu->size());
        const QRect both = window.united(dropDown);
        QPixmap picture(both.size());
        picture.fill(Qt::white);
        QPainter painter(&picture);
        painter.drawPixmap(window.topLeft() - both.topLeft(), m_window->grab());
        painter.drawPixmap(dropDown.topLeft() - both.topLeft(), menu->grab());
        painter.end();
        const QString path = watcher.savePicture(picture, QStringLiteral("main window with the cloud menu ") + cloudName(cloud));
        say(QStringLiteral("the cloud button's menu is open (%1); picture: %2")
                .arg(menu->actions().count() == 2 ? QStringLiteral("two actions") : QStringLiteral("unexpected actions"),
                     path));
        say(QStringLiteral("a click on \"%1\"").arg(action->text()));
        QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(action).center());
    });
    say(QStringLiteral("a click on the cloud button of the control bar"));
    QTest::mouseClick(button, Qt::LeftButton);
    return true;
}

void DemoPlayer::fileQueued(const QUrl& url)
{
    m_downloader->add(url);
    if (m_road)
        m_road->fileQueued(url);
}

void DemoPlayer::downloadEnded(int id)
{
    const Downloader::Download& download = m_downloader->download(id);
    if (!m_road)
        return;
    if (download.state == Downloader::Done)
        m_road->fileDownloaded(download.name, download.received);
    else
        m_road->downloadFailed(download.name, download.why);
}

int DemoPlayer::runForAPerson()
{
    m_window->show();
    QEventLoop loop;
    QObject::connect(qApp, &QApplication::lastWindowClosed, &loop, &QEventLoop::quit);
    loop.exec();
    shutDown();
    return 0;
}

int DemoPlayer::fetch(const QList<QUrl>& addresses, int timeoutSeconds)
{
    int failed = 0;
    int left = int(addresses.size());
    QEventLoop loop;
    const QMetaObject::Connection ended =
        QObject::connect(m_downloader.get(), &Downloader::ended, &loop, [&](int id) {
            const Downloader::Download& download = m_downloader->download(id);
            if (download.state == Downloader::Done) {
                say(QStringLiteral("downloaded: %1 (%2 bytes)").arg(download.name).arg(download.received));
            } else {
                say(QStringLiteral("failed: %1: %2").arg(download.name, download.why));
                ++failed;
            }
            if (--left == 0)
                loop.quit();
        });
    for (const QUrl& address : addresses)
        m_downloader->add(address);
    QTimer::singleShot(timeoutSeconds * 1000, &loop, [&] {
        say(QStringLiteral("failed: %1 download(s) still running after %2 s").arg(left).arg(timeoutSeconds));
        failed += left;
        loop.quit();
    });
    if (left > 0)
        loop.exec();
    QObject::disconnect(ended);
    shutDown();
    return failed == 0 ? 0 : 1;
}

void DemoPlayer::shutDown()
{
    if (m_cloudPlugin) {
        if (auto* menu = query<QoviLumen::MenuInterface>(m_cloudPlugin, kMenuInterface))
            QMetaObject::invokeMethod(menu->menuObject(), "releaseLater");
        m_cloudPlugin->release();
        m_cloudPlugin = nullptr;
        m_cloud = nullptr;
    }
    // The accounts are gone; the web windows they gave to the player's
    // window go with it, while the bundle that holds their code is open.
    if (m_window) {
        QoviLumen::OSUtilities::setPlayerPluginWidget(nullptr);
        m_window.reset();
    }
    m_downloader.reset();
    if (m_downloads) {
        m_downloads->release();
        m_downloads = nullptr;
    }
    m_registry.unloadAll();
}

void DemoPlayer::say(const QString& line) const
{
    Console::say(line);
}
