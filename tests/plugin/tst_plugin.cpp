// The plug-in as the player meets it: the bundle loaded by the framework
// and asked for interfaces, the plug-in object's accounts, the files it
// hands to the download manager, its pings and its tool-bar button.
#include "cloudbase.h"
#include "cloudplugin.h"
#include "commonmenubar.h"
#include "downloadmanagerplugin.h"
#include "dropboxoauth.h"
#include "menuinterface.h"
#include "osutilities.h"
#include "pingbuilder.h"
#include "pingmanager.h"
#include "playertoolbutton.h"
#include "pluginregistry.h"
#include "qlmcloudplugininterface.h"
#include "signinwindow.h"
#include "teststate.h"
#include "tokenstorage.h"

#include <QAction>
#include <QClipboard>
#include <QImage>
#include <QMenu>
#include <QPushButton>
#include <QTcpServer>
#include <QUrlQuery>

using QoviLumen::CloudPlugin;
using teststate::pingPaths;
using teststate::settingsGroup;
using testtable::table;
using testtable::fetch;

namespace {

const char* const kCloudId = "com.qovi.lumen.pluginInterface.CloudPluginInterface";
const char* const kMenu = "com.qovi.lumen.pluginInterface.Menu";
const QString kKnown = QStringLiteral("https://dl.dropboxusercontent.com/1/view/known.mp4");

// A plug-in that lists the download manager but will not hand it out.
class RefusingPlugin : public QSE::Plugin
{
public:
    using QSE::Plugin::Plugin;
    int queryInterface(const QSE::qovi_string&, void** out) override
    {
        *out = nullptr;
        return 3;
    }
};

QVariantMap entry(std::initializer_list<std::pair<const char*, QVariant>> values)
{
    QVariantMap map;
    for (const auto& [key, value] : values)
        map.insert(QString::fromLatin1(key), value);
    return map;
}

// The bundle's plug-in object as the player finds it; null unless the
// folder held exactly the one bundle and it offers the cloud interface.
QSE::Plugin* loadedBundle(QSE::PluginRegistry& framework)
{
    QSE::Plugin* bundle = nullptr;
    if (framework.loadFolder(LUMEN_PLUGIN_DIR) != 1
        || framework.findPlugin(QSE::PluginContext::PluginInterfaceFilter(kCloudId),
                                QSE::PluginContext::SimplePluginInfoSelector(), false, &bundle) != 0)
        return nullptr;
    return bundle;
}

QObject* menuObject(QSE::Plugin* bundle)
{
    void* menu = nullptr;
    bundle->queryInterface(kMenu, &menu);
    return static_cast<QoviLumen::MenuInterface*>(menu)->menuObject();
}

void storeButtonVisible(bool visible)
{
    auto group = settingsGroup();
    QVERIFY(group && group->SetBool("CloudConnectVisible", visible));
}

SignInWindow* shownSignInWindow()
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* window = qobject_cast<SignInWindow*>(widget); window && window->isVisible())
            return window;
    }
    return nullptr;
}

} // namespace

class PluginTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QoviLumen::OSUtilities::setPlatform(QoviLumen::OSUtilities::MacPlatform);
        QoviLumen::OSUtilities::setGeo("US");
    }
    void init()
    {
        m_registry = std::make_unique<QSE::PluginRegistry>();
        m_downloads = new DownloadManagerPlugin(m_registry.get());
        m_registry->registerPlugin("downloads", {DownloadManagerPlugin::kInterfaceId}, m_downloads);
        m_plugin = new CloudPlugin(m_registry.get());
        m_plugin->retain(); // the framework's hold, given up in cleanup()
        QoviLumen::PingManager::clearRecordedPings();
    }
    void cleanup()
    {
        m_plugin->releaseLater();
        m_plugin->release();
        m_registry.reset();
    }

    void bundleInterfaces_data()
    {
        // castName: the un-namespaced base the player casts to
        const auto row = table<QString, int, QString>("id", "answer", "castName");
        row("menu", kMenu, 0, "MenuInterface");
        row("cloud", kCloudId, 0, "QoviLumen::QLMCloudPluginInterface");
        row("tool bar", "com.qovi.lumen.pluginInterface.ToolBar", 0, "ToolBarInterface");
        row("settings", "com.qovi.lumen.pluginInterface.SettingsConsumer", 0, "SettingsConsumerInterface");
        row("used, not offered", DownloadManagerPlugin::kInterfaceId, 3, "");
        row("letter case differs", "com.qovi.lumen.plugininterface.Menu", 3, "");
        row("trailing blank", "com.qovi.lumen.pluginInterface.Menu ", 3, "");
    }

    void bundleInterfaces()
    {
        const auto [id, answer, castName] = fetch<QString, int, QString>("id", "answer", "castName");
        QSE::PluginRegistry framework;
        QSE::Plugin* bundle = loadedBundle(framework);
        QVERIFY(bundle);
        void* pointer = reinterpret_cast<void*>(0x1);
        QCOMPARE(bundle->queryInterface(id.toStdString(), &pointer), answer);
        QCOMPARE(pointer != nullptr, answer == 0);
        QObject* object = menuObject(bundle);
        if (answer == 0)
            QCOMPARE(object->qt_metacast(castName.toLatin1().constData()), pointer);
        QCOMPARE(object->qt_metacast("QoviLumen::MenuInterface"), nullptr);
        QMetaObject::invokeMethod(object, "releaseLater");
        bundle->release();
    }

    void bundleHoldsAndResources()
    {
        QSE::PluginRegistry framework;
        QSE::Plugin* bundle = loadedBundle(framework);
        QVERIFY(bundle);
        QPointer<QObject> object = menuObject(bundle);
        QCOMPARE(bundle->holdCount(), 3); // its own, the framework's, the look-up's
        QMetaObject::invokeMethod(object, "sanityCreate"); // the accounts register the chooser pages
        for (const char* path : {":/cloudNormal", ":/cloudHover", ":/cloudPressed"}) {
            const QImage image(QString::fromLatin1(path));
            QCOMPARE(image.size(), QSize(144, 144));
            QCOMPARE(image.pixelColor(0, 0).alpha(), 0);
        }
        QVERIFY(QFile::exists(":/QoviCloudConnect/dropboxchooser.html"));
        QVERIFY(QFile::exists(":/QoviCloudConnect/gdrivechooser.html"));
        QMetaObject::invokeMethod(object, "releaseLater");
        QCOMPARE(bundle->holdCount(), 2);
        bundle->release();
        QVERIFY(object);
        // The framework's last release destroys it, once (the sanitizer build watches).
        framework.unloadAll();
        QVERIFY(!object);
    }

    void accountsOnFirstNeed()
    {
        QVERIFY(!m_plugin->account(DROPBOX_CLOUD));
        QCOMPARE(m_plugin->refreshGDriveToken(), QString());
        QVERIFY(!m_plugin->account(GDRIVE_CLOUD));
        QVERIFY(!m_plugin->isGDriveTokenExpired()); // made now; nothing stored
        CloudBase* dropbox = m_plugin->account(DROPBOX_CLOUD);
        CloudBase* drive = m_plugin->account(GDRIVE_CLOUD);
        QVERIFY(dropbox && drive);
        QMetaObject::invokeMethod(m_plugin, "sanityCreate");
        QCOMPARE(m_plugin->account(DROPBOX_CLOUD), dropbox);

        m_plugin->importFromGDrive();
        QCOMPARE(drive->mode(), int(CloudBase::CHOOSER_OPENING_MODE));
        QCOMPARE(dropbox->mode(), int(CloudBase::NO_MODE));
        QSignalSpy connected(m_plugin, &QoviLumen::QLMCloudPluginInterface::cloudConnected);
        emit drive->connectedToCloud(GDRIVE_CLOUD, "me@example.com");
        QCOMPARE(connected.size(), 1);
        QCOMPARE(pingPaths(), QStringList{"/hint/q10-macplayer-cloud-connect-Register-GoogleDrive-Geo-US"});

        const auto unknown = CLOUD_TYPE(7);
        QCOMPARE(QString::fromLatin1(CloudBase::cloudTypeName(unknown)), QString());
        m_plugin->connectCloud(unknown);
        m_plugin->disconnectFromCloud(unknown);
        QVERIFY(!m_plugin->isCloudConnected(unknown));
        QCOMPARE(m_plugin->cloudEmail(unknown), QString());

        QPointer<CloudBase> first = dropbox;
        m_plugin->retain();
        m_plugin->releaseLater(); // gives up one hold and the accounts
        QVERIFY(!first && !m_plugin->account(GDRIVE_CLOUD));
        m_plugin->importFromDropbox(); // and a later use makes new ones
        QCOMPARE(m_plugin->account(DROPBOX_CLOUD)->mode(), int(CloudBase::CHOOSER_OPENING_MODE));
    }

    void googleTokenExpiry_data()
    {
        const auto row = table<QByteArray, bool>("record", "expired");
        const double now = double(QDateTime::currentMSecsSinceEpoch());
        const auto record = [](double received, double expiresIn) {
            return QJsonDocument(QJsonObject{{"access_token", "t"}, {"received_time", received}, {"expires_in", expiresIn}})
                .toJson();
        };
        row("lifetime over", record(now - 3605000, 3600), true);
        row("lifetime left", record(now - 3540000, 3600), false);
        row("not JSON", QByteArray("plain-token"), false);
    }

    void googleTokenExpiry()
    {
        const auto [record, expired] = fetch<QByteArray, bool>("record", "expired");
        teststate::storeToken(GDRIVE_CLOUD, record);
        QCOMPARE(m_plugin->isGDriveTokenExpired(), expired);
        TokenStorage().removeToken("Player", GDRIVE_CLOUD);
    }

    void queuedAddresses_data()
    {
        const auto row = table<int, QVariantList, QStringList, QStringList>("cloud", "files", "addresses", "pings");
        const QString api = "https://www.googleapis.com/drive/v3/files/";
        const QString dl = "https://dl.dropboxusercontent.com/1/view/";
        const QVariant drive = entry({{"id", "1AbC"}, {"fileSize", 512}, {"fileName", "My é&/movie.mkv"},
                                      {"filelink", "https://drive.google.com/x"}, {"token", "secret"}});
        row("Drive address, name encoded", 1, {drive}, {api + "1AbC/512/My%20%C3%A9%26%2Fmovie.mkv"},
            {"Import-GoogleDrive-Container-mkv"});
        row("Drive, no size", 1, {entry({{"id", "x"}, {"fileName", "m.mov"}})}, {api + "x/777/m.mov"},
            {"Import-GoogleDrive-Container-mov"});
        row("Drive, size 0", 1, {entry({{"id", "x"}, {"fileSize", 0}, {"fileName", "m.mov"}})}, {api + "x/0/m.mov"},
            {"Import-GoogleDrive-Container-mov"});
        row("Drive, no id", 1, {entry({{"fileSize", 512}, {"fileName", "m.mov"}})}, {api + "/512/m.mov"},
            {"Import-GoogleDrive-Container-mov"});
        row("empty list", 0, {}, {}, {});
        row("Dropbox link as it is, invalid entries skipped", 0,
            {QVariant(), entry({{"filelink", dl + "a/clip.tar.gz"}, {"id", "x"}})}, {dl + "a/clip.tar.gz"},
            {"Import-Dropbox-Container-gz"});
        row("known address not queued again, the next is", 0,
            {entry({{"filelink", kKnown}}), entry({{"filelink", dl + "new.mkv"}})}, {kKnown, dl + "new.mkv"},
            {"Import-Dropbox-Container-mkv"});
    }

    void queuedAddresses()
    {
        auto [cloud, files, addresses, pings] =
            fetch<int, QVariantList, QStringList, QStringList>("cloud", "files", "addresses", "pings");
        m_downloads->addQueuedFile(nullptr, QUrl(kKnown), {}, {});
        QoviLumen::PingManager::clearRecordedPings();
        QMetaObject::invokeMethod(m_plugin, "sanityCreate");
        emit m_plugin->account(CLOUD_TYPE(cloud))->openSelectedFiles(files);
        QStringList queued;
        for (const QUrl& url : m_downloads->queuedAddresses())
            queued << url.toString(QUrl::FullyEncoded);
        queued.removeAll(kKnown);
        addresses.removeAll(kKnown);
        QCOMPARE(queued, addresses);
        for (QString& ping : pings)
            ping.prepend("/hint/q10-macplayer-cloud-connect-");
        QCOMPARE(pingPaths(), pings);
        // Only the accounts' own signals count.
        QMetaObject::invokeMethod(m_plugin, "onOpenFilesFromCloud", Q_ARG(QVariantList, files));
        QCOMPARE(m_downloads->queuedAddresses().size(), queued.size() + 1);
    }

    void queueingStopsWithoutADownloadManager()
    {
        for (bool refusing : {false, true}) {
            QSE::PluginRegistry bare;
            RefusingPlugin* refuser = nullptr;
            if (refusing) {
                refuser = new RefusingPlugin(&bare);
                bare.registerPlugin("refusing", {DownloadManagerPlugin::kInterfaceId}, refuser);
            }
            auto* plugin = new CloudPlugin(&bare);
            QMetaObject::invokeMethod(plugin, "sanityCreate");
            emit plugin->account(DROPBOX_CLOUD)
                ->openSelectedFiles({entry({{"filelink", "https://a/1.mp4"}}), entry({{"filelink", "https://a/2.mp4"}})});
            QVERIFY(QoviLumen::PingManager::recordedPings().isEmpty());
            if (refuser)
                QCOMPARE(refuser->holdCount(), 1); // every look-up gave its hold back
            plugin->releaseLater();
        }
    }

    void pingAddresses_data()
    {
        const auto row = table<int, int, int, QString, QString, QString>("platform", "action", "cloud", "geo", "info", "path");
        const QString mac = "q10-macplayer-cloud-connect-";
        row("import on Windows", 2, 2, 1, "US", "Movie.mkv",
            "q10-winplayer-cloud-connect-Import-GoogleDrive-Container-mkv");
        row("unknown cloud", 1, 0, 5, "DE", "", mac + "Register-Unknown-Geo-DE");
        row("deregister ignores info", 1, 1, 1, "FR", "a.mp4", mac + "Deregister-GoogleDrive-Geo-FR");
        row("geography with %1", 1, 0, 0, "%1", "", mac + "Register-Dropbox-Geo-%1");
        row("import without suffix", 1, 2, 0, "US", "https://h/dir.d/file", mac + "Import-Dropbox");
        row("import of an address with a query", 1, 2, 0, "US", "https://h/v/clip.mkv?dl=1#x.y",
            mac + "Import-Dropbox-Container-mkv");
        row("import whose suffix is no container word", 1, 2, 0, "US", "https://h/v/x." + QString(40000, 'a'),
            mac + "Import-Dropbox");
        row("other platform", 3, 2, 0, "US", "a.mp4", "");
        row("unknown action", 1, 3, 0, "US", "", "");
    }

    void pingAddresses()
    {
        const auto [platform, action, cloud, geo, info, path] =
            fetch<int, int, int, QString, QString, QString>("platform", "action", "cloud", "geo", "info", "path");
        QoviLumen::OSUtilities::setPlatform(platform);
        QoviLumen::OSUtilities::setGeo(geo.toStdString());
        m_plugin->sendPingForAction(ACTION_TYPE(action), CLOUD_TYPE(cloud), info);
        initTestCase();
        QCOMPARE(QoviLumen::PingManager::recordedPings(),
                 path.isEmpty() ? QStringList()
                                : QStringList{QStringLiteral("http://%1/hint/%2").arg(QoviLumen::PingBuilder::kPingHost, path)});
    }

    void buttonsShareOneMenuAndFollowTheSetting()
    {
        QCOMPARE(m_plugin->toolBarButtons("ControlButtons"), QStringList{"CloudConnect"});
        QCOMPARE(m_plugin->toolBarButtons("FullscreenButtons"), QStringList{"CloudConnect"});
        QCOMPARE(m_plugin->toolBarButtons("controlButtons"), QStringList());
        QAction first("Import from Dropbox..."), second("Import from Google Drive...");
        QoviLumen::CommonMenuBar::registerAction(1007, &first);
        QoviLumen::CommonMenuBar::registerAction(1008, &second);
        storeButtonVisible(false);
        m_plugin->settingsChanged();

        QoviLumen::PlayerToolButton control, fullScreen, other;
        control.show();
        fullScreen.show();
        m_plugin->setupToolBarButton("CloudConnect", &control);
        m_plugin->setupToolBarButton("CloudConnect", &fullScreen);
        m_plugin->setupToolBarButton("cloudconnect", &other);
        QVERIFY(!other.buttonMenu() && other.styleSheet().isEmpty());
        QCOMPARE(control.buttonMenu(), fullScreen.buttonMenu());
        QCOMPARE(control.buttonMenuMode(), 4);
        QCOMPARE(control.buttonMenu()->actions(), (QList<QAction*>{&first, &second}));
        QVERIFY(control.styleSheet().contains("url(:/cloudNormal)"));
        QVERIFY(control.isHidden() && fullScreen.isHidden());
        // The setting then changes while the buttons exist, both ways.
        for (bool visible : {true, false, true}) {
            storeButtonVisible(visible);
            m_plugin->settingsChanged();
            QCOMPARE(control.isHidden(), !visible);
            QCOMPARE(fullScreen.isHidden(), !visible);
        }
        QMenu* menu = control.buttonMenu();
        menu->show();
        second.trigger();
        QVERIFY(menu->isHidden());
    }

    void signInRoadSetting_data()
    {
        // stored: empty for none; nativeSetting: "NativeChooser"; native: the chooser of our own opens
        const auto row = table<QString, int, bool, bool, bool>("stored", "kind", "browser", "nativeSetting", "native");
        row("browser unless told", QString(), int(GDRIVE_CLOUD), true, false, true);
        row("browser", "browser", int(DROPBOX_CLOUD), true, false, true);
        row("embedded", "embedded", int(GDRIVE_CLOUD), false, false, false);
        row("embedded, the native chooser asked for", "embedded", int(DROPBOX_CLOUD), false, true, true);
        row("a value it does not know", "tab", int(GDRIVE_CLOUD), true, false, true);
    }

    void signInRoadSetting()
    {
        const auto [stored, kind, browser, nativeSetting, native] =
            fetch<QString, int, bool, bool, bool>("stored", "kind", "browser", "nativeSetting", "native");
        QVERIFY(settingsGroup()->SetString("SignInRoad", stored.toStdString()));
        QVERIFY(settingsGroup()->SetBool("NativeChooser", nativeSetting));
        QVERIFY(teststate::waitForFreePort(DropboxOAuth::kRedirectPort));
        kind == DROPBOX_CLOUD ? m_plugin->importFromDropbox() : m_plugin->importFromGDrive();
        CloudBase* cloud = m_plugin->account(CLOUD_TYPE(kind));
        QCOMPARE(int(cloud->signInRoad()), int(browser ? CloudBase::BrowserRoad : CloudBase::EmbeddedRoad));
        QCOMPARE(cloud->usesNativeChooser(), native);
        QPointer<SignInWindow> window = shownSignInWindow();
        QCOMPARE(window != nullptr, browser);
        if (!browser)
            return;
        const QUrl address(window->shownAddress());
        QCOMPARE(address.host(), QString::fromLatin1(kind == DROPBOX_CLOUD ? "www.dropbox.com" : "accounts.google.com"));
        QTest::mouseClick(window->copyButton(), Qt::LeftButton);
        QCOMPARE(QGuiApplication::clipboard()->text(), window->shownAddress());
        // Cancel ends the sign-in, once, and its listener with it.
        QSignalSpy failed(cloud, &CloudBase::signInFailed);
        QTest::mouseClick(window->cancelButton(), Qt::LeftButton);
        QVERIFY(failed.size() == 1 && failed[0][0].toString().endsWith("canceled"));
        QVERIFY(teststate::waitFor([&] { return window.isNull(); }));
        QTcpServer port;
        QVERIFY(port.listen(QHostAddress::LocalHost, QUrl(QUrlQuery(address).queryItemValue("redirect_uri")).port()));
    }

private:
    std::unique_ptr<QSE::PluginRegistry> m_registry;
    DownloadManagerPlugin* m_downloads = nullptr;
    CloudPlugin* m_plugin = nullptr;
};

LUMEN_TEST_MAIN(PluginTest)
#include "tst_plugin.moc"
