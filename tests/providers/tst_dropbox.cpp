// The Dropbox account: what it reads from redirects and error bodies, then
// the plug-in's whole road from the player's side in the real web engine
// against the stand-in (first import, a second run straight to the
// chooser), refused access, and signing out in each mode.
#include "cloudplugin.h"
#include "downloadmanagerplugin.h"
#include "dropbox.h"
#include "fakecloud.h"
#include "osutilities.h"
#include "pingmanager.h"
#include "pluginregistry.h"
#include "testaccount.h"
#include "teststate.h"

#include <QJsonDocument>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSignalSpy>

using namespace teststate;
using QoviLumen::CloudPlugin;

namespace {

const QString kRedirect = QStringLiteral("qovi://cloud_callback");

// The player's side of one run: the framework with the player's download
// manager and one plug-in object, released as the player releases it.
class Player
{
public:
    Player()
    {
        m_downloads = new DownloadManagerPlugin(&m_registry);
        m_registry.registerPlugin("downloads", {DownloadManagerPlugin::kInterfaceId}, m_downloads);
        m_plugin = new CloudPlugin(&m_registry);
        m_plugin->retain();
        storeSignInRoad("embedded"); // the road this suite follows
    }
    ~Player()
    {
        m_plugin->releaseLater();
        m_plugin->release();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
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

} // namespace

class DropboxTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup() { m_account.reset(); }
    void redirects_data();
    void redirects();
    void errorBodies_data();
    void errorBodies();
    void accountRequestWithoutAnId_data();
    void accountRequestWithoutAnId();
    void spaceFigures_data();
    void spaceFigures();
    void firstImportThenStraightToTheChooser();
    void refusedAccessStoresNothing();
    void refusalInTheChooserClosesOnlyThePopup();
    void signOutThroughTheLogoutPage_data();
    void signOutThroughTheLogoutPage();

private:
    FakeCloud m_cloud;
    std::unique_ptr<TestAccount<DropBox>> m_account;
};

void DropboxTest::initTestCase()
{
    // The plug-in pings only from the macOS and Windows players.
    QoviLumen::OSUtilities::setPlatform(QoviLumen::OSUtilities::MacPlatform);
    QoviLumen::OSUtilities::setGeo("US");
    QVERIFY(m_cloud.start());
}

void DropboxTest::init()
{
    m_cloud.reset();
    m_cloud.control("POST", "/auto", {{"delay_ms", 50}, {"dropbox_pick", "clip.mkv"}});
    clearStoredState();
    openLog();
    QoviLumen::PingManager::clearRecordedPings();
    m_account = std::make_unique<TestAccount<DropBox>>();
}

void DropboxTest::redirects_data()
{
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("fragment");
    QTest::addColumn<QByteArray>("record"); // empty: nothing stored
    QTest::addColumn<QString>("line");
    QTest::newRow("token and account id") << 301 << "access_token=sl.T1&token_type=bearer&account_id=dbid%3AAAX1&uid=7"
                                          << QByteArray(R"({"access_token":"sl.T1","account_id":"AAX1"})")
                                          << "INF Access token and account ID found";
    QTest::newRow("encoded token, empty id") << 301 << "access_token=a%2Bb%3D%3D&account_id=dbid:"
                                             << QByteArray(R"({"access_token":"a+b==","account_id":""})")
                                             << "ERR Invalid account ID!";
    QTest::newRow("id of three parts") << 301 << "access_token=sl.T5&account_id=dbid:a:b"
                                       << QByteArray(R"({"access_token":"sl.T5","account_id":""})") << QString();
    QTest::newRow("refused") << 301 << "error=access_denied&error_description=The%20user%20said%20no" << QByteArray()
                             << "ERR Dropbox: Error during authorization - access_denied \"The user said no\"";
    QTest::newRow("no token, no description") << 301 << "error=x&state=1" << QByteArray() << QString();
    QTest::newRow("token with another error") << 1 << "access_token=sl.T&account_id=dbid:AAX" << QByteArray()
                                              << QString();
}

void DropboxTest::redirects()
{
    QFETCH(int, error);
    QFETCH(QString, fragment);
    QFETCH(QByteArray, record);
    QFETCH(QString, line);
    storeEmail(DROPBOX_CLOUD, kAlice);
    m_account->setMode(CloudBase::CONNECTING_MODE);
    QSignalSpy connected(m_account.get(), &CloudBase::connectedToCloud);
    QSignalSpy failed(m_account.get(), &CloudBase::signInFailed);
    m_account->authorizationReply(error, kRedirect + '#' + fragment);
    QCOMPARE(QJsonDocument::fromJson(storedToken(DROPBOX_CLOUD)), QJsonDocument::fromJson(record));
    QCOMPARE(connected.size(), record.isEmpty() ? 0 : 1);
    QCOMPARE(failed.size(), fragment.startsWith("error=access") ? 1 : 0);
    if (!line.isEmpty())
        QVERIFY(logged(line));
}

void DropboxTest::errorBodies_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("kind");
    QTest::addColumn<qint64>("offset");
    const QString untouched = QStringLiteral("untouched");
    QTest::newRow("empty") << QByteArray() << 1 << untouched << int(CloudError::None) << qint64(-1);
    QTest::newRow("empty array") << QByteArray("[]") << 1 << untouched << int(CloudError::None) << qint64(-1);
    QTest::newRow("not JSON") << QByteArray("Internal Server Error") << 1 << untouched << int(CloudError::None)
                              << qint64(-1);
    QTest::newRow("error without a summary") << QByteArray(R"({"error": {".tag": "other"}})") << 0 << QString()
                                             << int(CloudError::None) << qint64(-1);
    QTest::newRow("other summary") << QByteArray(R"({"error_summary": "other"})") << 0 << "other"
                                   << int(CloudError::None) << qint64(-1);
    QTest::newRow("invalid token") << QByteArray(R"({"error_summary": "invalid_access_token/..."})") << 2
                                   << "invalid_access_token" << int(CloudError::GrantRevoked) << qint64(-1);
    QTest::newRow("no space") << QByteArray(R"({"error_summary": "path/insufficient_space/"})") << 3
                              << "insufficient_space" << int(CloudError::InsufficientSpace) << qint64(-1);
    QTest::newRow("both keys") << QByteArray(R"({"error_summary": "path/insufficient_space/invalid_access_token/"})")
                               << 2 << "invalid_access_token" << int(CloudError::GrantRevoked) << qint64(-1);
    QTest::newRow("wrong offset")
        << QByteArray(R"({"error_summary": "incorrect_offset/", "error": {".tag": "incorrect_offset", "correct_offset": 42}})")
        << 0 << "incorrect_offset/" << int(CloudError::WrongOffset) << qint64(42);
    QTest::newRow("wrong offset, looked up")
        << QByteArray(R"({"error_summary": "lookup_failed/incorrect_offset/",
                          "error": {"lookup_failed": {"correct_offset": 7}}})")
        << 0 << "lookup_failed/incorrect_offset/" << int(CloudError::WrongOffset) << qint64(7);
    QTest::newRow("path conflict") << QByteArray(R"({"error_summary": "path/conflict/file/"})") << 0
                                   << "path/conflict/file/" << int(CloudError::PathConflict) << qint64(-1);
    QTest::newRow("closed session") << QByteArray(R"({"error_summary": "lookup_failed/closed/"})") << 0
                                    << "lookup_failed/closed/" << int(CloudError::NotFound) << qint64(-1);
}

void DropboxTest::errorBodies()
{
    QFETCH(QByteArray, body);
    QFETCH(int, code);
    QFETCH(QString, message);
    QFETCH(int, kind);
    QFETCH(qint64, offset);
    std::string said = "untouched";
    QCOMPARE(m_account->parseErrorReply(body, said), code);
    QCOMPARE(QString::fromStdString(said), message);
    // The body goes to the log once, when it has a summary.
    QCOMPARE(logCount("ERR Dropbox: returned error:"), body.contains("error_summary") ? 1 : 0);
    QNetworkReply* reply = m_account->manager()->get(QNetworkRequest(QUrl("http://127.0.0.1:1/")));
    const CloudError error = m_account->describeError(reply, body);
    reply->abort();
    delete reply;
    QCOMPARE(int(error.kind()), kind);
    QCOMPARE(error.confirmedOffset(), offset);
}

void DropboxTest::accountRequestWithoutAnId_data()
{
    QTest::addColumn<QByteArray>("record");
    QTest::newRow("no record") << QByteArray();
    QTest::newRow("record without an account id") << QByteArray(R"({"access_token": "T"})");
}

void DropboxTest::accountRequestWithoutAnId()
{
    QFETCH(QByteArray, record);
    if (!record.isEmpty())
        storeToken(DROPBOX_CLOUD, record);
    QCOMPARE(m_account->sendAboutAccountSyncRequest(EMAIL_REQUEST), int(QNetworkReply::AuthenticationRequiredError));
    QVERIFY(logged("WRN Dropbox: sendAboutAccountSyncRequest - can't to send request because accountID is empty"));
    QCOMPARE(m_cloud.requests("api.dropboxapi.com").size(), 0);
}

void DropboxTest::spaceFigures_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<quint64>("free");
    QTest::newRow("plain") << QByteArray(R"({"used": 1234, "allocation": {"allocated": 2199023255552}})")
                           << quint64(2199023255552 - 1234);
    QTest::newRow("used above allocated") << QByteArray(R"({"used": 99, "allocation": {"allocated": 12.9}})")
                                          << quint64(0);
    QTest::newRow("negative and huge") << QByteArray(R"({"used": -5, "allocation": {"allocated": 1e30}})")
                                       << ~quint64(0);
    QTest::newRow("figures missing") << QByteArray(R"({"used": 5})") << CloudBase::kUnknownSpace;
}

void DropboxTest::spaceFigures()
{
    QFETCH(QByteArray, answer);
    QFETCH(quint64, free);
    signIn(m_cloud, DROPBOX_CLOUD);
    m_cloud.addFault({{"path", "/2/users/get_space_usage"}, {"kind", "status"}, {"status", 200},
                      {"body", QJsonDocument::fromJson(answer).object()}});
    QCOMPARE(m_account->getFreeSpace(true), free);
}

void DropboxTest::firstImportThenStraightToTheChooser()
{
    m_account.reset();
    {
        Player player;
        QSignalSpy connected(player.plugin(), &QoviLumen::QLMCloudPluginInterface::cloudConnected);
        QVERIFY(!player.plugin()->isCloudConnected(DROPBOX_CLOUD));
        player.plugin()->importFromDropbox();
        QVERIFY(waitFor([&] { return player.queued().size() == 1; }));
        QCOMPARE(player.queued()[0].host(), QStringLiteral("dl.dropboxusercontent.com"));
        QVERIFY(player.queued()[0].path().endsWith("/Videos/clip.mkv"));
        QCOMPARE(pingPaths(), QStringList({"/hint/q10-macplayer-cloud-connect-Register-Dropbox-Geo-US",
                                           "/hint/q10-macplayer-cloud-connect-Import-Dropbox-Container-mkv"}));
        QCOMPARE(connected.size(), 1);
        QCOMPARE(connected[0][1].toString(), kAlice);
        // The token of the redirect is what the e-mail request carried.
        const QJsonObject record = QJsonDocument::fromJson(storedToken(DROPBOX_CLOUD)).object();
        QCOMPARE(record.keys(), QStringList({"access_token", "account_id"}));
        const QJsonArray asked = requests(m_cloud, "api.dropboxapi.com", "/2/users/get_account");
        QCOMPARE(asked.size(), 1);
        QCOMPARE(header(asked[0].toObject(), "Authorization"), "Bearer " + record["access_token"].toString());
        QCOMPARE(body(asked[0].toObject()),
                 QStringLiteral("{\"account_id\": \"dbid:%1\"}").arg(record["account_id"].toString()).toUtf8());
        QVERIFY(hasSignInCookie(DROPBOX_CLOUD));
        QVERIFY(loggedInOrder({"INF Dropbox: opening chooser", "INF Dropbox: onLoggedIn",
                               "INF Dropbox: opening modality cloud view", "INF saving token to storage",
                               "INF Dropbox: Got email " + kAlice, "INF Dropbox: opening chooser"}));
    }
    // New accounts load the stored session: connected, straight to the chooser.
    m_cloud.control("DELETE", "/record");
    QoviLumen::PingManager::clearRecordedPings();
    openLog("second");
    Player player;
    QVERIFY(player.plugin()->isCloudConnected(DROPBOX_CLOUD));
    player.plugin()->importFromDropbox();
    QVERIFY(waitFor([&] { return player.queued().size() == 1; }));
    QCOMPARE(pingPaths(), QStringList({"/hint/q10-macplayer-cloud-connect-Import-Dropbox-Container-mkv"}));
    for (const char* path : {"/login", "/oauth2/authorize"})
        QCOMPARE(requests(m_cloud, "www.dropbox.com", path).size(), 0);
    QCOMPARE(logCount("INF Dropbox: opening modality cloud view"), 0);
}

void DropboxTest::refusedAccessStoresNothing()
{
    m_cloud.control("POST", "/auto", {{"consent", "deny"}});
    QSignalSpy failed(m_account.get(), &CloudBase::signInFailed);
    m_account->openChooserFlow();
    QVERIFY(waitFor([&] { return failed.size() == 1; }));
    QVERIFY(!m_account->view()->isVisible());
    QVERIFY(storedToken(DROPBOX_CLOUD).isEmpty());
    QCOMPARE(storedEmail(DROPBOX_CLOUD), QString());
}

void DropboxTest::refusalInTheChooserClosesOnlyThePopup()
{
    m_account->setMode(CloudBase::CHOOSER_OPENING_MODE);
    CloudView* view = m_account->view();
    view->show();
    view->setHtml("<script>window.open('about:blank');</script>");
    QVERIFY(waitFor([&] { return view->popupView(); }));
    QPointer<QWebView> popup = view->popupView();
    m_account->authorizationReply(301, kRedirect + "#error=access_denied&error_description=no");
    QVERIFY(waitFor([&] { return !popup; }));
    QVERIFY(view->isVisible());
    // Without a pop-up, the same refusal closes the window.
    m_account->authorizationReply(301, kRedirect + "#error=access_denied&error_description=no");
    QVERIFY(!view->isVisible());
}

void DropboxTest::signOutThroughTheLogoutPage_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("modeName");
    QTest::addColumn<bool>("disconnects");
    QTest::addColumn<bool>("closes");
    QTest::newRow("chooser") << 0 << "CHOOSER_OPENING_MODE" << true << true;
    QTest::newRow("uploading") << 1 << "UPLOADING_MODE" << false << false;
    QTest::newRow("connecting") << 2 << "CONNECTING_MODE" << true << false;
    QTest::newRow("no mode") << -1 << " ???" << false << false;
}

void DropboxTest::signOutThroughTheLogoutPage()
{
    QFETCH(int, mode);
    QFETCH(QString, modeName);
    QFETCH(bool, disconnects);
    QFETCH(bool, closes);
    m_cloud.control("POST", "/auto", {{"enabled", false}});
    signIn(m_cloud, DROPBOX_CLOUD);
    m_account = std::make_unique<TestAccount<DropBox>>();
    m_account->setMode(mode);
    m_account->view()->show();
    QSignalSpy logout(m_account.get(), &CloudBase::userLogout);
    m_account->view()->setUrl(QUrl("https://www.dropbox.com/logout"));
    QVERIFY(waitFor([&] { return logout.size() == 1; }));
    QVERIFY(logLines().join('\n').contains(QRegularExpression("INF Current mode is [0-9:.]+" +
                                                              QRegularExpression::escape(modeName))));
    QVERIFY(!hasSignInCookie(DROPBOX_CLOUD));
    QCOMPARE(storedToken(DROPBOX_CLOUD).isEmpty(), disconnects);
    QCOMPARE(m_account->view()->isVisible(), !closes);
    QCOMPARE(m_account->mode(), mode);
}

LUMEN_TEST_MAIN(DropboxTest)
#include "tst_dropbox.moc"
