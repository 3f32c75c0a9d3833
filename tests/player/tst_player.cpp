// Our stand-ins of the player's frameworks: plug-in bundles refused, look-up and
// holds at unload; style-sheet lengths, pings, menu actions and tool-button menus.
#include "commonmenubar.h"
#include "menuinterface.h"
#include "osutilities.h"
#include "pingmanager.h"
#include "playertoolbutton.h"
#include "plugin.h"
#include "pluginregistry.h"
#include "testtable.h"

#include <QAction>
#include <QMenu>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

using namespace QoviLumen;
using testtable::table;
using testtable::fetch;

namespace {

const char* const kMenu = "com.qovi.lumen.pluginInterface.Menu";
const QString kBundle = QStringLiteral(LUMEN_PLUGIN_DIR "/QoviCloudConnect");
int g_destroyed = 0;

// Releases its own hold from its destructor, as the cloud plug-in does.
class SelfReleasingPlugin : public QSE::Plugin
{
public:
    explicit SelfReleasingPlugin(QSE::PluginContext* context) : QSE::Plugin(context) { retain(); }
    ~SelfReleasingPlugin() override
    {
        release();
        ++g_destroyed;
    }
    int queryInterface(const QSE::qovi_string&, void** out) override { return *out = nullptr, 3; }
};

bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// The cloud plug-in holds itself until the player lets it go.
bool releaseLater(QSE::Plugin* cloudPlugin)
{
    void* menu = nullptr;
    return cloudPlugin->queryInterface(kMenu, &menu) == 0
        && QMetaObject::invokeMethod(static_cast<MenuInterface*>(menu)->menuObject(), "releaseLater");
}

} // namespace

class PlayerTest : public QObject
{
    Q_OBJECT
private slots:
    void init() { g_destroyed = 0; }

    void badBundlesSkipped()
    {
        QTemporaryDir folder;
        const QString dir = folder.path();
        const QByteArray description = QByteArray("{\"name\": \"bad\", \"interfaces\": [\"") + kMenu + "\"]}";
        QVERIFY(writeFile(dir + "/notes.so", "this is not a library\n") && writeFile(dir + "/notes.json", description));
        QVERIFY(QFile::copy(NOENTRY_LIBRARY, dir + "/noentry.so") && writeFile(dir + "/noentry.json", description));
        QVERIFY(QFile::copy(NOENTRY_LIBRARY, dir + "/undescribed.so"));
        QSE::PluginRegistry registry;
        for (const char* skipped : {"noentry\\.so: the library exports no _getPlugin$",
                                    "notes\\.so: not a loadable library \\(.+\\)$",
                                    "undescribed\\.so: no description beside it"})
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QString("skipped .*/") + skipped));
        QCOMPARE(registry.loadFolder(dir.toStdString()), 0);
    }

    void lookUp_data()
    {
        // builtIn: a loaded plug-in offering it
        const auto row = table<QString, bool, bool, QString>("interface", "load", "builtIn", "found");
        row("bundle not loaded unless allowed", "ToolBar", false, false, "nothing");
        row("bundle loaded when allowed", "ToolBar", true, false, "bundle");
        row("interface not offered", "DownloadManager", true, false, "nothing");
        row("loaded plug-in found without loading", "ToolBar", false, true, "built-in");
        row("loaded plug-in preferred to loading", "ToolBar", true, true, "built-in");
    }

    void lookUp()
    {
        const auto [interface, load, builtIn, found] = fetch<QString, bool, bool, QString>("interface", "load", "builtIn", "found");
        const std::string id = "com.qovi.lumen.pluginInterface." + interface.toStdString();
        QSE::PluginRegistry registry;
        QSE::PluginInfo* bundle = registry.addBundle((kBundle + ".so").toStdString());
        QVERIFY(bundle && !bundle->isLoaded());
        SelfReleasingPlugin* other = builtIn ? new SelfReleasingPlugin(&registry) : nullptr;
        if (other) {
            registry.registerPlugin("built-in", {id.c_str()}, other);
            other->release(); // the framework's hold is the last
        }
        QSE::Plugin* plugin = reinterpret_cast<QSE::Plugin*>(0x1);
        QCOMPARE(registry.findPlugin(QSE::PluginContext::PluginInterfaceFilter(id.c_str()),
                                     QSE::PluginContext::SimplePluginInfoSelector(), load, &plugin),
                 found == "nothing" ? 3 : 0);
        QCOMPARE(bundle->isLoaded(), found == "bundle");
        QCOMPARE(plugin, found == "nothing" ? nullptr : found == "bundle" ? bundle->plugin() : other);
        QVERIFY(found != "bundle" || releaseLater(plugin));
        QVERIFY(!plugin || plugin->release() == 1); // the framework's hold stays
    }

    void holdsAtUnload_data()
    {
        const auto row = table<bool>("released"); // the plug-in gave up its own hold before the unload
        row("released, then unloaded", true);
        row("still held at unload", false);
    }

    void holdsAtUnload()
    {
        QFETCH(bool, released);
        QSE::PluginRegistry registry;
        auto* plugin = new SelfReleasingPlugin(&registry);
        QSE::PluginInfo* info = registry.registerPlugin("self", {"com.example.Interface"}, plugin);
        QVERIFY(plugin->holdCount() == 2 && plugin->getPluginInfo() == info);
        QVERIFY(!released || plugin->release() == 1);
        registry.unloadAll(); // the last release comes back from the destructor
        QCOMPARE(g_destroyed, released ? 1 : 0);
        if (!released) {
            QVERIFY(plugin->holdCount() == 1 && !plugin->getPluginInfo());
            QVERIFY(plugin->release() == 0 && g_destroyed == 1);
        }
    }

    void styleSheetLengths_data()
    {
        const auto row = table<QString, QStringList>("sheet", "lengths"); // lengths: each to become pixels of the font
        row("em and ex", "QMenu::item { padding-left: 2em; height: 1.5ex; margin: .5em; width: 3px; }",
            {"2em", "1.5ex", ".5em"});
        row("nothing to convert", "QToolButton { image: url(:/item.png); border: 1px; font: 10pt; }", {});
        row("units inside words", "QLabel { qproperty-text: \"2exits 3emus\"; margin: 1em }", {"1em"});
    }

    void styleSheetLengths()
    {
        auto [sheet, lengths] = fetch<QString, QStringList>("sheet", "lengths");
        OSUtilities::FixEmExStyleSheet(nullptr);
        QWidget widget;
        QFont font = widget.font();
        font.setPixelSize(20);
        widget.setFont(font);
        widget.setStyleSheet(sheet);
        OSUtilities::FixEmExStyleSheet(&widget);
        const QFontMetricsF metrics(font);
        for (const QString& length : lengths) {
            const qreal unit = length.endsWith("em") ? metrics.height() : metrics.xHeight();
            sheet.replace(length, QString::number(qRound(length.chopped(2).toDouble() * unit)) + "px");
        }
        QCOMPARE(widget.styleSheet(), sheet);
    }

    void pings_data()
    {
        const auto row = table<QString, QString, bool>("pingHost", "host", "sent");
        row("no ping host: recorded only", QString(), "127.0.0.1", false);
        row("another host: recorded only", "localhost", "127.0.0.1", false);
        row("the ping host: recorded and sent", "127.0.0.1", "127.0.0.1", true);
    }

    void pings()
    {
        const auto [pingHost, host, sent] = fetch<QString, QString, bool>("pingHost", "host", "sent");
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QByteArray request;
        connect(&server, &QTcpServer::newConnection, [&] {
            QTcpSocket* socket = server.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, [&request, socket] {
                request += socket->readAll();
                if (request.contains("\r\n\r\n"))
                    socket->write("HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n");
            });
        });
        const QString path = QStringLiteral("/hint/q10-macplayer-cloud-connect-Register-Dropbox-Geo-US");
        const QString url = QStringLiteral("http://%1:%2%3").arg(host).arg(server.serverPort()).arg(path);
        PingManager::clearRecordedPings();
        PingManager::setPingHost(pingHost);
        QCOMPARE(PingManager::sendPing(url, true), sent);
        PingManager::setPingHost(QString());
        QCOMPARE(request.startsWith("GET " + path.toLatin1() + " HTTP/1.1\r\n"), sent);
        QCOMPARE(PingManager::recordedPings(), QStringList{url});
    }

    void menuActionsById()
    {
        auto* action = new QAction(QStringLiteral("Dropbox"));
        QVERIFY(!CommonMenuBar::getAction(1007));
        CommonMenuBar::registerAction(1007, action);
        QVERIFY(CommonMenuBar::getAction(1007) == action && !CommonMenuBar::getAction(1008));
        delete action;
        QVERIFY(!CommonMenuBar::getAction(1007));
    }

    void toolButtonMenus_data()
    {
        const auto row = table<int, bool, int>("mode", "hasMenu", "popup");
        row("no menu", int(PlayerToolButton::NoMenu), false, int(QToolButton::InstantPopup));
        row("on hold", int(PlayerToolButton::MenuOnHold), true, int(QToolButton::DelayedPopup));
        row("on arrow", int(PlayerToolButton::MenuOnArrow), true, int(QToolButton::MenuButtonPopup));
        row("on click", int(PlayerToolButton::MenuOnClick), true, int(QToolButton::InstantPopup));
    }

    void toolButtonMenus()
    {
        const auto [mode, hasMenu, popup] = fetch<int, bool, int>("mode", "hasMenu", "popup");
        PlayerToolButton button;
        QMenu menu;
        button.setButtonMenu(&menu);
        QVERIFY(!button.menu()); // no menu until a mode asks for one
        button.setButtonMenuMode(mode);
        QCOMPARE(button.menu(), hasMenu ? &menu : nullptr);
        QCOMPARE(int(button.popupMode()), popup);
    }
};

QTEST_MAIN(PlayerTest)
#include "tst_player.moc"
