// The plug-in's whole Dropbox road from the player's side, against the local
// stand-in of Dropbox in the real web engine: the first import (chooser
// page, sign-in pop-up, authorization page, the redirect with the token, the
// e-mail address, the chooser again, the pick, the queued address and the
// pings), a second plug-in that finds the account connected and goes
// straight to the chooser, and a user who refuses access.
#include "cloudbase.h"
#include "cloudplugin.h"
#include "downloadmanagerplugin.h"
#include "fakecloud.h"
#include "osutilities.h"
#include "pingmanager.h"
#include "pluginregistry.h"
#include "providertest.h"

#include <QApplication>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>
#include <QWebView>

using namespace providertest;
using QoviLumen::CloudPlugin;

namespace {

const QString kAlice = QString::fromLatin1(FakeCloud::kDropboxUser);
const QString kWebHost = QStringLiteral("www.dropbox.com");
const QString kApiHost = QStringLiteral("api.dropboxapi.com");
const int kRoadTimeoutMs = 20000;

// The player's side of one run: the framework with the player's download
// manager, and one plug-in object, released as the player releases it.
class Player
{
public:
    Player()
    {
        m_downloads = new DownloadManagerPlugin(&m_registry);
        m_registry.registerPlugin("downloads", {DownloadManagerPlugin::kInterfaceId}, m_downloads);
        m_plugin = new CloudPlugin(&m_registry);
        m_plugin->retain(); // the framework's hold, given up below
    }
    ~Player()
    {
        m_plugin->releaseLater();
        m_plugin->release();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    CloudPlugin* plugin() const { return m_plugin; }
    QList<QUrl> queued() const { return m_downloads->queuedAddresses(); }

private:
    QSE::PluginRegistry m_registry;
    DownloadManagerPlugin* m_downloads = nullptr;
    CloudPlugin* m_plugin = nullptr;
};

QStringList pingPaths()
{
    QStringList paths;
    for (const QString& ping : QoviLumen::PingManager::recordedPings())
        paths.append(QUrl(ping).path());
    return paths;
}

bool anAccountWindowIsShown()
{
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window->inherits("CloudView") && window->isVisible())
            return true;
    }
    return false;
}

} // namespace

class DropboxRoadTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void firstImportThenStraightToTheChooser();
    void refusedAccessStoresNothing();

private:
    FakeCloud m_cloud;
};

void DropboxRoadTest::initTestCase()
{
    prepareProcess();
    // The plug-in pings only from the macOS and Windows players.
    QoviLumen::OSUtilities::setPlatform(QoviLumen::OSUtilities::MacPlatform);
    QoviLumen::OSUtilities::setGeo("US");
    QVERIFY(m_cloud.start());
}

void DropboxRoadTest::init()
{
    m_cloud.reset();
    m_cloud.control("POST", QStringLiteral("/auto"), {{"delay_ms", 50}, {"dropbox_pick", "clip.mkv"}});
    clearStoredState();
    openLog();
    QoviLumen::PingManager::clearRecordedPings();
}

void DropboxRoadTest::cleanup()
{
    clearStoredState();
}

void DropboxRoadTest::firstImportThenStraightToTheChooser()
{
    const QString accountId = dropboxUser(m_cloud, kAlice).value("account_id").toString();
    QVERIFY(accountId.startsWith(QLatin1String("dbid:")));
    {
        Player player;
        QSignalSpy connected(player.plugin(), &QoviLumen::QLMCloudPluginInterface::cloudConnected);
        QVERIFY(!player.plugin()->isCloudConnected(DROPBOX_CLOUD));

        player.plugin()->importFromDropbox();

        QTRY_COMPARE_WITH_TIMEOUT(player.queued().size(), 1, kRoadTimeoutMs);
        const QUrl queued = player.queued().first();
        QCOMPARE(queued.host(), QStringLiteral("dl.dropboxusercontent.com"));
        QVERIFY2(queued.path().endsWith(QLatin1String("/Videos/clip.mkv")), qPrintable(queued.toString()));
        QCOMPARE(pingPaths(), QStringList({"/hint/q10-macplayer-cloud-connect-Register-Dropbox-Geo-US",
                                           "/hint/q10-macplayer-cloud-connect-Import-Dropbox-Container-mkv"}));
        QCOMPARE(connected.count(), 1);
        QCOMPARE(connected.at(0).at(0).value<CLOUD_TYPE>(), DROPBOX_CLOUD);
        QCOMPARE(connected.at(0).at(1).toString(), kAlice);

        // The token from the redirect, with the account id, is what the
        // e-mail request carried; the address and the web session are kept.
        const QJsonObject record = QJsonDocument::fromJson(storedTokenRecord().toUtf8()).object();
        QCOMPARE(record.keys(), QStringList({"access_token", "account_id"}));
        QCOMPARE(record.value("account_id").toString(), accountId.section(':', 1));
        const QJsonArray emailRequests = requests(m_cloud, kApiHost, QStringLiteral("/2/users/get_account"));
        QCOMPARE(emailRequests.size(), 1);
        QCOMPARE(header(emailRequests.at(0).toObject(), "Authorization"),
                 QStringLiteral("Bearer ") + record.value("access_token").toString());
        QCOMPARE(body(emailRequests.at(0).toObject()), QStringLiteral("{\"account_id\": \"%1\"}").arg(accountId).toUtf8());
        QCOMPARE(storedEmail(), kAlice);
        QVERIFY(hasSignInCookie());
        QVERIFY(player.plugin()->isCloudConnected(DROPBOX_CLOUD));

        QVERIFY(logInOrder({QStringLiteral("Dropbox: opening chooser"), QStringLiteral("Dropbox: onLoggedIn"),
                            QStringLiteral("Dropbox: opening modality cloud view"),
                            QStringLiteral("Access token and account ID found"),
                            QStringLiteral("saving token to storage"), QStringLiteral("Dropbox: requestUserEmail"),
                            QStringLiteral("Dropbox: Got email ") + kAlice, QStringLiteral("Dropbox: opening chooser")}));
        QCOMPARE(requests(m_cloud, kWebHost, QStringLiteral("/oauth2/authorize")).size(), 2); // the page, the answer
    }

    // A new plug-in object with new accounts, which load the stored cookies:
    // connected from the start, straight to the chooser.
    m_cloud.control("DELETE", QStringLiteral("/record"));
    QoviLumen::PingManager::clearRecordedPings();
    openLog(QStringLiteral("second"));
    Player player;
    QSignalSpy connected(player.plugin(), &QoviLumen::QLMCloudPluginInterface::cloudConnected);
    QVERIFY(player.plugin()->isCloudConnected(DROPBOX_CLOUD));
    QCOMPARE(player.plugin()->cloudEmail(DROPBOX_CLOUD), kAlice);

    player.plugin()->importFromDropbox();

    QTRY_COMPARE_WITH_TIMEOUT(player.queued().size(), 1, kRoadTimeoutMs);
    QVERIFY(player.queued().first().path().endsWith(QLatin1String("/Videos/clip.mkv")));
    QCOMPARE(pingPaths(), QStringList({"/hint/q10-macplayer-cloud-connect-Import-Dropbox-Container-mkv"}));
    QCOMPARE(connected.count(), 0);
    QCOMPARE(requests(m_cloud, kWebHost, QStringLiteral("/chooser")).size(), 1);
    for (const char* path : {"/login", "/oauth2/authorize"})
        QCOMPARE(requests(m_cloud, kWebHost, QLatin1String(path)).size(), 0);
    QCOMPARE(requests(m_cloud, kApiHost, QStringLiteral("/2/users/get_account")).size(), 0);
    QCOMPARE(logCount(QStringLiteral("Dropbox: onLoggedIn")), 1); // the chooser's own answer, already connected
    QCOMPARE(logCount(QStringLiteral("Dropbox: opening modality cloud view")), 0);
}

void DropboxRoadTest::refusedAccessStoresNothing()
{
    m_cloud.control("POST", QStringLiteral("/auto"), {{"consent", "deny"}});
    Player player;
    QSignalSpy connected(player.plugin(), &QoviLumen::QLMCloudPluginInterface::cloudConnected);

    player.plugin()->importFromDropbox();

    QTRY_VERIFY_WITH_TIMEOUT(logHasLineStartingWith(QStringLiteral("Dropbox: Error during authorization - access_denied \"")),
                             kRoadTimeoutMs);
    // The answer closed the window; nothing of a grant was kept.
    QTRY_VERIFY(!anAccountWindowIsShown());
    QCOMPARE(storedTokenRecord(), QString());
    QCOMPARE(logCount(QStringLiteral("saving token to storage")), 0);
    QCOMPARE(storedEmail(), QString());
    QCOMPARE(connected.count(), 0);
    QVERIFY(player.queued().isEmpty());
    QVERIFY(pingPaths().isEmpty());
    QCOMPARE(requests(m_cloud, kApiHost, QStringLiteral("/2/users/get_account")).size(), 0);
    QVERIFY(!player.plugin()->isCloudConnected(DROPBOX_CLOUD));
}

QTEST_MAIN(DropboxRoadTest)
#include "tst_dropboxroad.moc"
