#include "demoplayer.h"

#include "downloadmanagerplugin.h"
#include "menuinterface.h"
#include "osutilities.h"

#include <QMetaObject>
#include <QTextStream>

#include <cstdio>

namespace {

const char* const kCloudInterface = "com.qovi.lumen.pluginInterface.CloudPluginInterface";
const char* const kOfferedInterfaces[] = {
    "com.qovi.lumen.pluginInterface.Menu",
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
    : m_pluginFolder(std::move(pluginFolder)), m_queueView(new QListWidget(&m_window))
{
    m_window.setWindowTitle(QStringLiteral("Lumen"));
    m_window.setCentralWidget(m_queueView);
    m_window.resize(640, 400);
    QoviLumen::OSUtilities::setPlayerPluginWidget(&m_window);

    m_downloads = new DownloadManagerPlugin(&m_registry);
    m_downloads->retain();
    m_downloads->setQueuedHandler([this](const QUrl& url) {
        m_queueView->addItem(url.toString());
        say(QStringLiteral("queued: %1").arg(url.toString()));
    });
    m_registry.registerPlugin("DownloadManager", {DownloadManagerPlugin::kInterfaceId}, m_downloads);
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

void DemoPlayer::shutDown()
{
    if (m_cloudPlugin) {
        void* menu = nullptr;
        if (m_cloudPlugin->queryInterface("com.qovi.lumen.pluginInterface.Menu", &menu) == 0)
            QMetaObject::invokeMethod(static_cast<QoviLumen::MenuInterface*>(menu)->menuObject(), "releaseLater");
        m_cloudPlugin->release();
        m_cloudPlugin = nullptr;
    }
    if (m_downloads) {
        m_downloads->release();
        m_downloads = nullptr;
    }
    m_registry.unloadAll();
}

void DemoPlayer::say(const QString& line) const
{
    std::fprintf(stdout, "%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}
