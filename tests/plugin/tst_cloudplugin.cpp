// The plug-in object from the player's side: its accounts, the chooser
// requests, the files handed to the player's download manager, the usage
// pings and the tool-bar button.
#include "cloudbase.h"
#include "cloudplugin.h"
#include "commonmenubar.h"
#include "downloadmanagerplugin.h"
#include "googledrive.h"
#include "osutilities.h"
#include "pingbuilder.h"
#include "pingmanager.h"
#include "playertoolbutton.h"
#include "pluginregistry.h"
#include "qovisettings.h"
#include "tokenstorage.h"

#include <QAction>
#include <QDateTime>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMenu>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

using QoviLumen::CloudPlugin;

namespace {

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
    for (const auto& value : values)
        map.insert(QString::fromLatin1(value.first), value.second);
    return map;
}

QString pingPath(const QString& url)
{
    return QUrl(url).path();
}

} // namespace

class CloudPluginTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void accountsAreMadeOnceAndWiredOnce();
    void importOpensOnlyTheChosenCloud();
    void googleTokenOperationsBeforeAccounts();
    void googleTokenExpiry_data();
    void googleTokenExpiry();
    void unknownCloudKinds();
    void releaseLaterThenImportMakesNewAccounts();

    void queuedAddresses_data();
    void queuedAddresses();
    void knownFileIsNotPingedButNextIsQueued();
    void invalidEntriesAreSkipped();
    void noDownloadManagerStopsEverything_data();
    void noDownloadManagerStopsEverything();
    void filesFromANonAccountAreIgnored();

    void pingAddresses_data();
    void pingAddresses();

    void toolBarNames_data();
    void toolBarNames();
    void buttonsShareOneMenuAndFollowTheSetting();
    void otherButtonNamesChangeNothing();

private:
    void storeButtonVisible(bool visible);

    std::unique_ptr<QSE::PluginRegistry> m_registry;
    DownloadManagerPlugin* m_downloads = nullptr;
    CloudPlugin* m_plugin = nullptr;
};

void CloudPluginTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)).removeRecursively();
    QoviLumen::OSUtilities::setPlatform(QoviLumen::OSUtilities::MacPlatform);
    QoviLumen::OSUtilities::setGeo("US");
}

void CloudPluginTest::init()
{
    m_registry = std::make_unique<QSE::PluginRegistry>();
    m_downloads = new DownloadManagerPlugin(m_registry.get());
    m_registry->registerPlugin("downloads", {DownloadManagerPlugin::kInterfaceId}, m_downloads);
    m_plugin = new CloudPlugin(m_registry.get());
    m_plugin->retain(); // the test's own hold, given up in cleanup()
    QoviLumen::PingManager::clearRecordedPings();
}

void CloudPluginTest::cleanup()
{
    m_plugin->releaseLater();
    m_plugin->release();
    m_plugin = nullptr;
    m_registry.reset();
}

void CloudPluginTest::accountsAreMadeOnceAndWiredOnce()
{
    QVERIFY(!m_plugin->account(DROPBOX_CLOUD));
    QMetaObject::invokeMethod(m_plugin, "sanityCreate");
    CloudBase* dropbox = m_plugin->account(DROPBOX_CLOUD);
    CloudBase* drive = m_plugin->account(GDRIVE_CLOUD);
    QVERIFY(dropbox && drive);
    QCOMPARE(dropbox->cloudType(), DROPBOX_CLOUD);
    QCOMPARE(drive->cloudType(), GDRIVE_CLOUD);
    QMetaObject::invokeMethod(m_plugin, "sanityCreate");
    QCOMPARE(m_plugin->account(DROPBOX_CLOUD), dropbox);

    QSignalSpy connected(m_plugin, &QoviLumen::QLMCloudPluginInterface::cloudConnected);
    emit drive->connectedToCloud(GDRIVE_CLOUD, QStringLiteral("me@example.com"));
    QCOMPARE(connected.count(), 1);
    QCOMPARE(connected.at(0).at(1).toString(), QStringLiteral("me@example.com"));
    const QStringList pings = QoviLumen::PingManager::recordedPings();
    QCOMPARE(pings.size(), 1);
    QCOMPARE(pingPath(pings.first()), QStringLiteral("/hint/q10-macplayer-cloud-connect-Register-GoogleDrive-Geo-US"));

    emit dropbox->openSelectedFiles({entry({{"filelink", QUrl("https://dl.dropboxusercontent.com/a.mp4")}})});
    QCOMPARE(m_downloads->queuedAddresses().size(), 1);
}

void CloudPluginTest::importOpensOnlyTheChosenCloud()
{
    m_plugin->importFromGDrive();
    QVERIFY(m_plugin->account(DROPBOX_CLOUD));
    QCOMPARE(m_plugin->account(GDRIVE_CLOUD)->mode(), int(CloudBase::CHOOSER_OPENING_MODE));
    QCOMPARE(m_plugin->account(DROPBOX_CLOUD)->mode(), int(CloudBase::NO_MODE));
    m_plugin->importFromDropbox();
    QCOMPARE(m_plugin->account(DROPBOX_CLOUD)->mode(), int(CloudBase::CHOOSER_OPENING_MODE));
}

void CloudPluginTest::googleTokenOperationsBeforeAccounts()
{
    QCOMPARE(m_plugin->refreshGDriveToken(), QString());
    QVERIFY(!m_plugin->account(GDRIVE_CLOUD));
    QCOMPARE(m_plugin->isGDriveTokenExpired(), false);
    QVERIFY(m_plugin->account(DROPBOX_CLOUD) && m_plugin->account(GDRIVE_CLOUD));
}

void CloudPluginTest::googleTokenExpiry_data()
{
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<bool>("expired");
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    auto record = [](qint64 received, QJsonValue expiresIn) {
        QJsonObject object{{"access_token", "t"}, {"received_time", double(received)}};
        if (!expiresIn.isUndefined())
            object.insert("expires_in", expiresIn);
        return QJsonDocument(object).toJson();
    };
    QTest::newRow("lifetime over") << record(now - 3600 * 1000 - 5000, 3600) << true;
    QTest::newRow("lifetime left") << record(now - 3600 * 1000 + 60000, 3600) << false;
    QTest::newRow("no lifetime, received in the past") << record(now - 1000, QJsonValue::Undefined) << true;
    QTest::newRow("not JSON") << QByteArray("plain-token") << false;
}

void CloudPluginTest::googleTokenExpiry()
{
    QFETCH(QByteArray, record);
    QFETCH(bool, expired);
    TokenStorage storage;
    QVERIFY(storage.saveToken("Player", GDRIVE_CLOUD, record.toStdString()));
    QCOMPARE(m_plugin->isGDriveTokenExpired(), expired);
    storage.removeToken("Player", GDRIVE_CLOUD);
}

void CloudPluginTest::unknownCloudKinds()
{
    const auto unknown = CLOUD_TYPE(7);
    m_plugin->connectCloud(unknown);
    m_plugin->disconnectFromCloud(unknown);
    QCOMPARE(m_plugin->isCloudConnected(unknown), false);
    QCOMPARE(m_plugin->cloudEmail(unknown), QString());
    QMetaObject::invokeMethod(m_plugin, "internalOpenChooser");
    QCOMPARE(m_plugin->account(DROPBOX_CLOUD)->mode(), int(CloudBase::NO_MODE));
    QCOMPARE(m_plugin->account(GDRIVE_CLOUD)->mode(), int(CloudBase::NO_MODE));
}

void CloudPluginTest::releaseLaterThenImportMakesNewAccounts()
{
    m_plugin->importFromDropbox();
    QPointer<CloudBase> first = m_plugin->account(DROPBOX_CLOUD);
    m_plugin->retain(); // releaseLater gives up one hold
    const int holds = m_plugin->holdCount();
    m_plugin->releaseLater();
    QCOMPARE(m_plugin->holdCount(), holds - 1);
    QVERIFY(!first);
    QVERIFY(!m_plugin->account(DROPBOX_CLOUD) && !m_plugin->account(GDRIVE_CLOUD));
    m_plugin->importFromDropbox();
    QVERIFY(m_plugin->account(DROPBOX_CLOUD) && m_plugin->account(GDRIVE_CLOUD));
    QCOMPARE(m_plugin->account(DROPBOX_CLOUD)->mode(), int(CloudBase::CHOOSER_OPENING_MODE));
}

void CloudPluginTest::queuedAddresses_data()
{
    QTest::addColumn<int>("cloud");
    QTest::addColumn<QVariantMap>("file");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("ping");
    const QString api = QStringLiteral("https://www.googleapis.com/drive/v3/files/");
    QTest::newRow("drive, example") << 1 << entry({{"id", "1AbC"}, {"fileSize", 512}, {"fileName", "My movie.mkv"}})
                                    << api + "1AbC/512/My%20movie.mkv" << "Import-GoogleDrive-Container-mkv";
    QTest::newRow("drive, reserved characters")
        << 1 << entry({{"id", "x"}, {"fileSize", 1}, {"fileName", "a&b/c d.avi"}}) << api + "x/1/a%26b%2Fc%20d.avi"
        << "Import-GoogleDrive-Container-avi";
    QTest::newRow("drive, non-ASCII") << 1 << entry({{"id", "x"}, {"fileSize", 1}, {"fileName", QString::fromUtf8("é.mp4")}})
                                      << api + "x/1/%C3%A9.mp4" << "Import-GoogleDrive-Container-mp4";
    QTest::newRow("drive, unreserved stay") << 1 << entry({{"id", "x"}, {"fileSize", 1}, {"fileName", "A-z_0.9~"}})
                                            << api + "x/1/A-z_0.9~" << "Import-GoogleDrive-Container-9~";
    QTest::newRow("drive, no size") << 1 << entry({{"id", "x"}, {"fileName", "m.mov"}}) << api + "x/777/m.mov"
                                    << "Import-GoogleDrive-Container-mov";
    QTest::newRow("drive, size 0") << 1 << entry({{"id", "x"}, {"fileSize", 0}, {"fileName", "m"}}) << api + "x/0/m"
                                   << "Import-GoogleDrive";
    QTest::newRow("drive, no id") << 1 << entry({{"fileSize", 5}, {"fileName", "m.ts"}}) << api + "/5/m.ts"
                                  << "Import-GoogleDrive-Container-ts";
    QTest::newRow("drive, link and token ignored")
        << 1
        << entry({{"id", "x"}, {"fileSize", 2}, {"fileName", "n.mp4"}, {"filelink", "https://elsewhere/"},
                  {"token", "secret"}, {"thumbnail", "t"}, {"extra", 1}})
        << api + "x/2/n.mp4" << "Import-GoogleDrive-Container-mp4";
    QTest::newRow("dropbox, link unchanged")
        << 0 << entry({{"filelink", "https://dl.dropboxusercontent.com/1/view/abc/clip.tar.gz"}, {"id", "x"}, {"token", "t"}})
        << "https://dl.dropboxusercontent.com/1/view/abc/clip.tar.gz" << "Import-Dropbox-Container-gz";
}

void CloudPluginTest::queuedAddresses()
{
    QFETCH(int, cloud);
    QFETCH(QVariantMap, file);
    QFETCH(QString, address);
    QFETCH(QString, ping);
    QMetaObject::invokeMethod(m_plugin, "sanityCreate");
    emit m_plugin->account(CLOUD_TYPE(cloud))->openSelectedFiles({file});
    QCOMPARE(m_downloads->queuedAddresses(), QList<QUrl>{QUrl(address)});
    QCOMPARE(m_downloads->queuedAddresses().first().toString(QUrl::FullyEncoded), address);
    const QStringList pings = QoviLumen::PingManager::recordedPings();
    QCOMPARE(pings.size(), 1);
    QCOMPARE(pingPath(pings.first()), "/hint/q10-macplayer-cloud-connect-" + ping);
}

void CloudPluginTest::knownFileIsNotPingedButNextIsQueued()
{
    QMetaObject::invokeMethod(m_plugin, "sanityCreate");
    const QUrl known("https://dl.dropboxusercontent.com/known.mp4");
    QVERIFY(m_downloads->addQueuedFile(nullptr, known, {}, {}));
    emit m_plugin->account(DROPBOX_CLOUD)
        ->openSelectedFiles({entry({{"filelink", known}}), entry({{"filelink", "https://dl.dropboxusercontent.com/new.mkv"}})});
    QCOMPARE(m_downloads->queuedAddresses().size(), 2);
    const QStringList pings = QoviLumen::PingManager::recordedPings();
    QCOMPARE(pings.size(), 1);
    QVERIFY(pings.first().endsWith("-Container-mkv"));
}

void CloudPluginTest::invalidEntriesAreSkipped()
{
    QMetaObject::invokeMethod(m_plugin, "sanityCreate");
    emit m_plugin->account(DROPBOX_CLOUD)
        ->openSelectedFiles({QVariant(), entry({{"filelink", "https://dl.dropboxusercontent.com/a.mp4"}})});
    QCOMPARE(m_downloads->queuedAddresses().size(), 1);
    emit m_plugin->account(DROPBOX_CLOUD)->openSelectedFiles({});
    QCOMPARE(m_downloads->queuedAddresses().size(), 1);
}

void CloudPluginTest::noDownloadManagerStopsEverything_data()
{
    QTest::addColumn<bool>("refusingPlugin");
    QTest::newRow("nobody offers it") << false;
    QTest::newRow("its plug-in refuses") << true;
}

void CloudPluginTest::noDownloadManagerStopsEverything()
{
    QFETCH(bool, refusingPlugin);
    // A framework without the player's download manager.
    QSE::PluginRegistry bare;
    RefusingPlugin* refusing = nullptr;
    if (refusingPlugin) {
        refusing = new RefusingPlugin(&bare);
        bare.registerPlugin("refusing", {DownloadManagerPlugin::kInterfaceId}, refusing);
    }
    auto* plugin = new CloudPlugin(&bare);
    QMetaObject::invokeMethod(plugin, "sanityCreate");
    emit plugin->account(DROPBOX_CLOUD)
        ->openSelectedFiles({entry({{"filelink", "https://a/1.mp4"}}), entry({{"filelink", "https://a/2.mp4"}})});
    QVERIFY(QoviLumen::PingManager::recordedPings().isEmpty());
    if (refusing)
        QCOMPARE(refusing->holdCount(), 1); // every look-up gave its hold back
    plugin->releaseLater();
}

void CloudPluginTest::filesFromANonAccountAreIgnored()
{
    QMetaObject::invokeMethod(m_plugin, "onOpenFilesFromCloud",
                              Q_ARG(QVariantList, {entry({{"filelink", "https://a/1.mp4"}})}));
    QVERIFY(m_downloads->queuedAddresses().isEmpty());
}

void CloudPluginTest::pingAddresses_data()
{
    QTest::addColumn<int>("platform");
    QTest::addColumn<int>("action");
    QTest::addColumn<int>("cloud");
    QTest::addColumn<QString>("geo");
    QTest::addColumn<QString>("info");
    QTest::addColumn<QString>("path");
    QTest::newRow("register on macOS") << 1 << 0 << 0 << "US" << "" << "q10-macplayer-cloud-connect-Register-Dropbox-Geo-US";
    QTest::newRow("import on Windows") << 2 << 2 << 1 << "US" << "Movie.mkv" << "q10-winplayer-cloud-connect-Import-GoogleDrive-Container-mkv";
    QTest::newRow("unknown cloud") << 1 << 0 << 5 << "DE" << "" << "q10-macplayer-cloud-connect-Register-Unknown-Geo-DE";
    QTest::newRow("deregister ignores info") << 1 << 1 << 1 << "FR" << "a.mp4" << "q10-macplayer-cloud-connect-Deregister-GoogleDrive-Geo-FR";
    QTest::newRow("empty geography") << 1 << 0 << 0 << "" << "" << "q10-macplayer-cloud-connect-Register-Dropbox-Geo-";
    QTest::newRow("geography with %1") << 1 << 0 << 0 << "%1" << "" << "q10-macplayer-cloud-connect-Register-Dropbox-Geo-%1";
    QTest::newRow("import without suffix") << 1 << 2 << 0 << "US" << "https://h/dir.d/file" << "q10-macplayer-cloud-connect-Import-Dropbox";
    QTest::newRow("import, double suffix") << 1 << 2 << 0 << "US" << "https://h/clip.tar.gz" << "q10-macplayer-cloud-connect-Import-Dropbox-Container-gz";
    QTest::newRow("no platform") << 0 << 0 << 0 << "US" << "" << "";
    QTest::newRow("other platform") << 3 << 2 << 0 << "US" << "a.mp4" << "";
    QTest::newRow("unknown action") << 1 << 3 << 0 << "US" << "" << "";
}

void CloudPluginTest::pingAddresses()
{
    QFETCH(int, platform);
    QFETCH(int, action);
    QFETCH(int, cloud);
    QFETCH(QString, geo);
    QFETCH(QString, info);
    QFETCH(QString, path);
    QoviLumen::OSUtilities::setPlatform(platform);
    QoviLumen::OSUtilities::setGeo(geo.toStdString());
    m_plugin->sendPingForAction(ACTION_TYPE(action), CLOUD_TYPE(cloud), info);
    QoviLumen::OSUtilities::setPlatform(QoviLumen::OSUtilities::MacPlatform);
    QoviLumen::OSUtilities::setGeo("US");

    const QStringList pings = QoviLumen::PingManager::recordedPings();
    if (path.isEmpty()) {
        QVERIFY(pings.isEmpty());
        return;
    }
    QCOMPARE(pings.size(), 1);
    QCOMPARE(pings.first(), QStringLiteral("http://%1/hint/%2").arg(QoviLumen::PingBuilder::kPingHost, path));
}

void CloudPluginTest::toolBarNames_data()
{
    QTest::addColumn<QString>("toolBar");
    QTest::addColumn<QStringList>("buttons");
    QTest::newRow("control bar") << "ControlButtons" << QStringList{"CloudConnect"};
    QTest::newRow("full-screen bar") << "FullscreenButtons" << QStringList{"CloudConnect"};
    QTest::newRow("letter case") << "controlButtons" << QStringList{};
    QTest::newRow("other bar") << "PlaylistButtons" << QStringList{};
}

void CloudPluginTest::toolBarNames()
{
    QFETCH(QString, toolBar);
    QFETCH(QStringList, buttons);
    QCOMPARE(m_plugin->toolBarButtons(toolBar), buttons);
}

void CloudPluginTest::storeButtonVisible(bool visible)
{
    auto store = qvs::CreateQoviSettings("Settings/" + QoviLumen::OSUtilities::getComponentIdUTF8(),
                                         qvs::QOVISETTINGS_TYPE_USER);
    QVERIFY(store);
    qvtl::RefCountedPtr<qvs::QoviSettingsGroup> group;
    QVERIFY(store->CreateGroup("CloudConnect", group));
    QVERIFY(group->SetBool("CloudConnectVisible", visible));
}

void CloudPluginTest::buttonsShareOneMenuAndFollowTheSetting()
{
    QAction first(QStringLiteral("Open from Dropbox")), second(QStringLiteral("Open from Google Drive"));
    QoviLumen::CommonMenuBar::registerAction(1007, &first);
    QoviLumen::CommonMenuBar::registerAction(1008, &second);
    storeButtonVisible(false);
    m_plugin->settingsChanged(); // the store is read afresh

    QoviLumen::PlayerToolButton control, fullScreen;
    control.show();
    fullScreen.show();
    m_plugin->setupToolBarButton("CloudConnect", &control);
    m_plugin->setupToolBarButton("CloudConnect", &fullScreen);
    QVERIFY(control.buttonMenu());
    QCOMPARE(control.buttonMenu(), fullScreen.buttonMenu());
    QCOMPARE(control.buttonMenuMode(), 4);
    QCOMPARE(control.buttonMenu()->actions(), (QList<QAction*>{&first, &second}));
    QVERIFY(control.styleSheet().contains("url(:/cloudNormal)"));
    QCOMPARE(control.sizePolicy(), QSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred));
    QVERIFY(control.isHidden() && fullScreen.isHidden());

    storeButtonVisible(true);
    m_plugin->settingsChanged();
    QVERIFY(!control.isHidden() && !fullScreen.isHidden());

    QMenu* menu = control.buttonMenu();
    menu->show();
    second.trigger();
    QVERIFY(menu->isHidden());
}

void CloudPluginTest::otherButtonNamesChangeNothing()
{
    QoviLumen::PlayerToolButton button;
    m_plugin->setupToolBarButton("cloudconnect", &button);
    QVERIFY(!button.buttonMenu());
    QVERIFY(button.styleSheet().isEmpty());
}

QTEST_MAIN(CloudPluginTest)
#include "tst_cloudplugin.moc"
