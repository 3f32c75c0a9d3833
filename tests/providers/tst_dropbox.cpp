// The Dropbox account: what it reads from redirects and error bodies, then
// the plug-in's whole road from the player's side in the real web engine
// against the stand-in (first import, a second run straight to the
// chooser), refused access, and signing out in each mode.
#include "cloudplugin.h"
#include "downloadmanagerplugin.h"
#include "dropbox.h"
#include "osutilities.h"
#include "pingmanager.h"
#include "pluginregistry.h"
#include "testaccount.h"
#include "teststate.h"

#include <QNetworkReply>
#include <QRegularExpression>

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

} // namespace

class DropboxTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        // The plug-in pings only from the macOS and Windows players.
        QoviLumen::OSUtilities::setPlatform(QoviLumen::OSUtilities::MacPlatform);
        QoviLumen::OSUtilities::setGeo("US");
        QVERIFY(m_cloud.start());
    }

    void init()
    {
        startCase(m_cloud);
        m_cloud.control("POST", "/auto", {{"delay_ms", 50}, {"dropbox_pick", "clip.mkv"}});
        QoviLumen::PingManager::clearRecordedPings();
        m_account = std::make_unique<TestAccount<DropBox>>();
    }

    void cleanup() { m_account.reset(); }

    void redirects_data()
    {
        // record: empty for nothing stored
        const auto row = table<int, QString, QByteArray, QString>("error", "fragment", "record", "line");
        row("token and account id", 301, "access_token=sl.T1&token_type=bearer&account_id=dbid%3AAAX1&uid=7",
            QByteArray(R"({"access_token":"sl.T1","account_id":"AAX1"})"), "INF Access token and account ID found");
        row("encoded token, empty id", 301, "access_token=a%2Bb%3D%3D&account_id=dbid:",
            QByteArray(R"({"access_token":"a+b==","account_id":""})"), "ERR Invalid account ID!");
        row("id of three parts", 301, "access_token=sl.T5&account_id=dbid:a:b",
            QByteArray(R"({"access_token":"sl.T5","account_id":""})"), QString());
        row("refused", 301, "error=access_denied&error_description=The%20user%20said%20no", QByteArray(),
            "ERR Dropbox: Error during authorization - access_denied \"The user said no\"");
        row("no token, no description", 301, "error=x&state=1", QByteArray(), QString());
        row("token with another error", 1, "access_token=sl.T&account_id=dbid:AAX", QByteArray(), QString());
    }

    void redirects()
    {
        const auto [error, fragment, record, line] = fetch<int, QString, QByteArray, QString>("error", "fragment", "record", "line");
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

    void errorBodies_data()
    {
        const auto add = table<QByteArray, int, QString, int, qint64>("body", "code", "message", "kind", "offset");
        const auto row = [&add](const char* name, const QByteArray& body, int code, const QString& message,
                                CloudError::Kind kind = CloudError::None, qint64 offset = -1) {
            add(name, body, code, message, kind, offset);
        };
        const QString untouched = QStringLiteral("untouched");
        row("empty", QByteArray(), 1, untouched);
        row("empty array", "[]", 1, untouched);
        row("not JSON", "Internal Server Error", 1, untouched);
        row("error without a summary", R"({"error": {".tag": "other"}})", 0, QString());
        row("other summary", R"({"error_summary": "other"})", 0, "other");
        row("invalid token", R"({"error_summary": "invalid_access_token/..."})", 2, "invalid_access_token",
            CloudError::GrantRevoked);
        row("no space", R"({"error_summary": "path/insufficient_space/"})", 3, "insufficient_space",
            CloudError::InsufficientSpace);
        row("both keys", R"({"error_summary": "path/insufficient_space/invalid_access_token/"})", 2, "invalid_access_token",
            CloudError::GrantRevoked);
        row("wrong offset", R"({"error_summary": "incorrect_offset/", "error": {".tag": "incorrect_offset", "correct_offset": 42}})",
            0, "incorrect_offset/", CloudError::WrongOffset, 42);
        row("wrong offset, looked up",
            R"({"error_summary": "lookup_failed/incorrect_offset/", "error": {"lookup_failed": {"correct_offset": 7}}})", 0,
            "lookup_failed/incorrect_offset/", CloudError::WrongOffset, 7);
        row("path conflict", R"({"error_summary": "path/conflict/file/"})", 0, "path/conflict/file/",
            CloudError::PathConflict);
        row("closed session", R"({"error_summary": "lookup_failed/closed/"})", 0, "lookup_failed/closed/",
            CloudError::NotFound);
    }

    void errorBodies()
    {
        const auto [body, code, message, kind, offset] =
            fetch<QByteArray, int, QString, int, qint64>("body", "code", "message", "kind", "offset");
        std::string said = "untouched";
        QCOMPARE(m_account->parseErrorReply(body, said), code);
        QCOMPARE(QString::fromStdString(said), message);
        // The body goes to the log once, when it has a summary.
        QCOMPARE(logCount("ERR Dropbox: returned error:"), body.contains("error_summary") ? 1 : 0);
        const CloudError error = m_account->describeBody(body);
        QCOMPARE(int(error.kind()), kind);
        QCOMPARE(error.confirmedOffset(), offset);
    }

    void accountRequestWithoutAnId_data()
    {
        const auto row = table<QByteArray>("record");
        row("no record", QByteArray());
        row("record without an account id", QByteArray(R"({"access_token": "T"})"));
    }

    void accountRequestWithoutAnId()
    {
        QFETCH(QByteArray, record);
        if (!record.isEmpty())
            storeToken(DROPBOX_CLOUD, record);
        QCOMPARE(m_account->sendAboutAccountSyncRequest(EMAIL_REQUEST), int(QNetworkReply::AuthenticationRequiredError));
        QVERIFY(logged("WRN Dropbox: sendAboutAccountSyncRequest - can't to send request because accountID is empty"));
        QCOMPARE(m_cloud.requests("api.dropboxapi.com").size(), 0);
    }

    void spaceFigures_data()
    {
        const auto row = table<QByteArray, quint64>("answer", "free");
        row("plain", R"({"used": 1234, "allocation": {"allocated": 2199023255552}})", 2199023255552 - 1234);
        row("used above allocated", R"({"used": 99, "allocation": {"allocated": 12.9}})", 0);
        row("negative and huge", R"({"used": -5, "allocation": {"allocated": 1e30}})", ~quint64(0));
        row("figures missing", R"({"used": 5})", CloudBase::kUnknownSpace);
    }

    void spaceFigures()
    {
        const auto [answer, free] = fetch<QByteArray, quint64>("answer", "free");
        signIn(m_cloud, DROPBOX_CLOUD);
        m_cloud.addFault({{"path", "/2/users/get_space_usage"}, {"kind", "status"}, {"status", 200},
                          {"body", QJsonDocument::fromJson(answer).object()}});
        QCOMPARE(m_account->getFreeSpace(true), free);
    }

    void firstImportThenStraightToTheChooser()
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
            const QJsonObject record = storedRecord(DROPBOX_CLOUD);
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

    void refusedAccessStoresNothing()
    {
        m_cloud.control("POST", "/auto", {{"consent", "deny"}});
        QSignalSpy failed(m_account.get(), &CloudBase::signInFailed);
        m_account->openChooserFlow();
        QVERIFY(waitFor([&] { return failed.size() == 1; }));
        QVERIFY(!m_account->view()->isVisible());
        QVERIFY(storedToken(DROPBOX_CLOUD).isEmpty());
        QCOMPARE(storedEmail(DROPBOX_CLOUD), QString());
    }

    void refusalInTheChooserClosesOnlyThePopup()
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

    void signOutThroughTheLogoutPage_data()
    {
        const auto row = table<int, QString, bool, bool>("mode", "modeName", "disconnects", "closes");
        row("chooser", 0, "CHOOSER_OPENING_MODE", true, true);
        row("uploading", 1, "UPLOADING_MODE", false, false);
        row("connecting", 2, "CONNECTING_MODE", true, false);
        row("no mode", -1, " ???", false, false);
    }

    void signOutThroughTheLogoutPage()
    {
        const auto [mode, modeName, disconnects, closes] =
            fetch<int, QString, bool, bool>("mode", "modeName", "disconnects", "closes");
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

private:
    FakeCloud m_cloud;
    std::unique_ptr<TestAccount<DropBox>> m_account;
};

LUMEN_TEST_MAIN(DropboxTest)
#include "tst_dropbox.moc"
