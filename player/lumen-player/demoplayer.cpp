#include "demoplayer.h"

#include "console.h"
#include "downloadmanagerplugin.h"
#include "importroad.h"
#include "menuinterface.h"
#include "osutilities.h"
#include "webwindowwatcher.h"

#include <QMetaObject>

namespace {

const char* const kCloudInterface = "com.qovi.lumen.pluginInterface.CloudPluginInterface";
const char* const kMenuInterface = "com.qovi.lumen.pluginInterface.Menu";
const char* const kOfferedInterfaces[] = {
    kMenuInterface,
    kCloudInterface,
    "com.qovi.lumen.pluginInterface.ToolBar",
    "com.qovi.lumen.pluginInterface.SettingsConsumer",
};

QString pointerText(const void* pointer)
{
    return QStringLiteral("0x%1").arg(quintptr(pointer), 0, 16);
}

} // namespace

DemoPlayer::DemoPlayer(QString pluginFolder)
    : m_pluginFolder(std::move(pluginFolder)),
      m_window(std::make_unique<QMainWindow>()),
      m_queueView(new QListWidget(m_window.get()))
{
    m_window->setWindowTitle(QStringLiteral("Lumen"));
    m_window->setCentralWidget(m_queueView);
    m_window->resize(640, 400);
    QoviLumen::OSUtilities::setPlayerPluginWidget(m_window.get());

    m_downloads = new DownloadManagerPlugin(&m_registry);
    m_downloads->retain();
    m_downloads->setQueuedHandler([this](const QUrl& url) { fileQueued(url); });
    m_registry.registerPlugin("DownloadManager", {DownloadManagerPlugin::kInterfaceId}, m_downloads);
}

DemoPlayer::~DemoPlayer()
{
    shutDown();
}

void DemoPlayer::showWindow()
{
    m_window->show();
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
    return queryCloudPlugin(m_cloudPlugin);
}

int DemoPlayer::queryCloudPlugin(QSE::Plugin* plugin)
{
    int failures = 0;
    for (const char* id : kOfferedInterfaces) {
        void* pointer = nullptr;
        const int answer = plugin->queryInterface(id, &pointer);
        say(QStringLiteral("query %1: answer %2, interface %3").arg(QLatin1String(id)).arg(answer).arg(pointerText(pointer)));
        failures += answer != 0 || !pointer;
    }
    void* pointer = nullptr;
    const int answer = plugin->queryInterface(DownloadManagerPlugin::kInterfaceId, &pointer);
    say(QStringLiteral("query %1: answer %2, interface %3")
            .arg(QLatin1String(DownloadManagerPlugin::kInterfaceId))
            .arg(answer)
            .arg(pointerText(pointer)));
    return failures == 0 && answer == 3 ? 0 : 1;
}

int DemoPlayer::importFromDropbox(const ImportOptions& options)
{
    void* menu = nullptr;
    if (!m_cloudPlugin || m_cloudPlugin->queryInterface(kMenuInterface, &menu) != 0) {
        say(QStringLiteral("demo: no cloud plug-in to import with"));
        return 1;
    }
    int status = 1;
    QList<QUrl> queued;
    {
        WebWindowWatcher watcher(options.pictureFolder);
        ImportRoad road(static_cast<QoviLumen::MenuInterface*>(menu)->menuObject(), &watcher);
        m_road = &road;
        status = road.run(options.timeoutSeconds);
        m_road = nullptr;
        queued = road.queuedAddresses();
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

void DemoPlayer::fileQueued(const QUrl& url)
{
    if (m_queueView)
        m_queueView->addItem(url.toString());
    if (m_road)
        m_road->fileQueued(url);
    else
        say(QStringLiteral("queued: %1").arg(url.toString()));
}

void DemoPlayer::shutDown()
{
    if (m_cloudPlugin) {
        void* menu = nullptr;
        if (m_cloudPlugin->queryInterface(kMenuInterface, &menu) == 0)
            QMetaObject::invokeMethod(static_cast<QoviLumen::MenuInterface*>(menu)->menuObject(), "releaseLater");
        m_cloudPlugin->release();
        m_cloudPlugin = nullptr;
    }
    // The accounts are gone; the web windows they gave to the player's
    // window go with it, while the bundle that holds their code is open.
    if (m_window) {
        QoviLumen::OSUtilities::setPlayerPluginWidget(nullptr);
        m_window.reset();
        m_queueView = nullptr;
    }
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
