// Sign-in in the user's browser against the stand-in under today's rules:
// every way an attempt ends, what reaches the wire and what does not, and
// tokens renewed before and after they expire, one renewal at a time.
#include "cloudcredential.h"
#include "dropbox.h"
#include "dropboxoauth.h"
#include "fakecloud.h"
#include "googledrive.h"
#include "pkce.h"
#include "testaccount.h"
#include "testbrowser.h"
#include "teststate.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrlQuery>
#include <QWebFrame>

using namespace teststate;

namespace {

enum Twist { Plain, ForeignState, Replayed, OtherChallenge, Refusal, NobodyComes, PortTaken };
enum Situation { Due, ExpiredThere, Revoked };

struct TokenPlace {
    QString host;
    QString path;
};

TokenPlace tokenEndpoint(CLOUD_TYPE kind)
{
    return kind == DROPBOX_CLOUD ? TokenPlace{"api.dropboxapi.com", "/oauth2/token"}
                                 : TokenPlace{"oauth2.googleapis.com", "/token"};
}

TokenPlace spaceEndpoint(CLOUD_TYPE kind)
{
    return kind == DROPBOX_CLOUD ? TokenPlace{"api.dropboxapi.com", "/2/users/get_space_usage"}
                                 : TokenPlace{"www.googleapis.com", "/drive/v2/about"};
}

std::unique_ptr<CloudBase> makeAccount(CLOUD_TYPE kind)
{
    if (kind == DROPBOX_CLOUD)
        return std::make_unique<TestAccount<DropBox>>();
    return std::make_unique<TestAccount<GoogleDrive>>();
}

QJsonObject record(CLOUD_TYPE kind)
{
    return QJsonDocument::fromJson(storedToken(kind)).object();
}

// A browser's plain GET of a loopback address: its status (0 when nobody
// listens) and page.
int fetch(const QUrl& address, QString* page = nullptr)
{
    QNetworkAccessManager manager;
    QNetworkReply* reply = manager.get(QNetworkRequest(address));
    waitFor([reply] { return reply->isFinished(); }, 10000);
    if (page)
        *page = QString::fromUtf8(reply->readAll());
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    delete reply;
    return status;
}

bool listening(quint16 port)
{
    QTcpSocket socket;
    socket.setProxy(QNetworkProxy::NoProxy);
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(2000);
}

} // namespace

class SignInTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(m_cloud.start(true, FakeCloud::Rules::Live)); }
    void init();
    void attempt_data();
    void attempt();
    void renewal_data();
    void renewal();

private:
    // A record as the browser road keeps it, with tokens the stand-in issued.
    void storeBrowserRecord(CLOUD_TYPE kind, qint64 ageMs);
    FakeCloud m_cloud;
};

void SignInTest::init()
{
    m_cloud.reset();
    clearStoredState();
    openLog();
    // Another program may hold the registered port for a moment.
    waitFor([] { return !listening(DropboxOAuth::kRedirectPort); }, 10000);
}

void SignInTest::attempt_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("twist");
    QTest::addColumn<QString>("failure"); // empty: signed in
    QTest::addColumn<int>("exchanges");
    const int dropbox = DROPBOX_CLOUD;
    const int drive = GDRIVE_CLOUD;
    QTest::newRow("Dropbox") << dropbox << int(Plain) << QString() << 1;
    QTest::newRow("Google Drive") << drive << int(Plain) << QString() << 1;
    QTest::newRow("an answer with another state is refused first") << drive << int(ForeignState) << QString() << 1;
    QTest::newRow("the redirect replayed during the exchange") << dropbox << int(Replayed) << QString() << 1;
    QTest::newRow("Dropbox code for another verifier") << dropbox << int(OtherChallenge) << "invalid_grant" << 1;
    QTest::newRow("Google code for another verifier") << drive << int(OtherChallenge) << "invalid_grant" << 1;
    QTest::newRow("Dropbox consent refused") << dropbox << int(Refusal) << "refused the sign-in: access_denied" << 0;
    QTest::newRow("Google consent refused") << drive << int(Refusal) << "refused the sign-in: access_denied" << 0;
    QTest::newRow("nobody comes back in time") << drive << int(NobodyComes) << "within 0.3 seconds" << 0;
    QTest::newRow("the registered port is taken") << dropbox << int(PortTaken) << "port 53190 on 127.0.0.1" << 0;
}

void SignInTest::attempt()
{
    QFETCH(int, kind);
    QFETCH(int, twist);
    QFETCH(QString, failure);
    QFETCH(int, exchanges);
    const auto cloudKind = CLOUD_TYPE(kind);
    const TokenPlace token = tokenEndpoint(cloudKind);
    if (twist == Refusal)
        m_cloud.control("POST", "/auto", {{"consent", "deny"}});
    if (twist == Replayed)
        m_cloud.addFault({{"host", token.host}, {"path", token.path}, {"kind", "delay"}, {"seconds", 1}});
    QTcpServer squatter;
    if (twist == PortTaken)
        QVERIFY(squatter.listen(QHostAddress::LocalHost, DropboxOAuth::kRedirectPort));

    std::unique_ptr<CloudBase> cloud = makeAccount(cloudKind);
    cloud->setSignInRoad(CloudBase::BrowserRoad);
    cloud->setSignInLimit(twist == NobodyComes ? 300 : 30000);
    QSignalSpy waiting(cloud.get(), &CloudBase::signInWaiting);
    QSignalSpy connected(cloud.get(), &CloudBase::connectedToCloud);
    QSignalSpy failed(cloud.get(), &CloudBase::signInFailed);
    const auto ended = [&] { return connected.size() + failed.size() > 0; };
    QVERIFY(cloud->connectToCloud());
    QVERIFY(waitFor([&] { return !waiting.isEmpty() || ended(); }));

    TestBrowser browser;
    QUrl redirectUri;
    if (!waiting.isEmpty()) {
        QUrl address = waiting[0][0].toUrl();
        QUrlQuery query(address);
        redirectUri = QUrl(query.queryItemValue("redirect_uri", QUrl::FullyDecoded));
        QCOMPARE(redirectUri.host(), QStringLiteral("127.0.0.1"));
        QCOMPARE(query.queryItemValue("code_challenge_method"), QStringLiteral("S256"));
        QVERIFY(query.queryItemValue("state").size() >= 32);
        if (twist == ForeignState) {
            QString page;
            QCOMPARE(fetch(QUrl(redirectUri.toString() + "?code=forged&state=forged"), &page), 400);
            QVERIFY(page.contains("does not belong to the sign-in"));
        }
        if (twist == OtherChallenge) {
            query.removeQueryItem("code_challenge");
            query.addQueryItem("code_challenge", Pkce::challengeOf(Pkce::randomText(32)));
            address.setQuery(query);
        }
        if (twist != NobodyComes)
            browser.mainFrame()->load(address);
        if (twist == Replayed) {
            QVERIFY(waitFor([&] { return !browser.redirect().isEmpty(); }));
            QString page;
            QCOMPARE(fetch(browser.redirect(), &page), 409);
            QVERIFY(page.contains("already been answered"));
        }
    }
    QVERIFY(waitFor(ended, 30000));
    waitFor([] { return false; }, 200);
    QCOMPARE(connected.size() + failed.size(), 1);
    QCOMPARE(requests(m_cloud, token.host, token.path).size(), exchanges);
    if (failure.isEmpty()) {
        QCOMPARE(connected[0][1].toString(), kAlice);
        QVERIFY(cloud->isConnected(false));
        QVERIFY(!record(cloudKind)["refresh_token"].toString().isEmpty());
        QVERIFY(waitFor([&] { return browser.text().contains("Signed in to Lumen. You can close this tab."); }));
    } else {
        QVERIFY2(failed[0][0].toString().contains(failure), qPrintable(failed[0][0].toString()));
        QVERIFY(!cloud->isConnected(false));
        QVERIFY(storedToken(cloudKind).isEmpty());
    }
    // No listener outlives the attempt; a late replay finds nobody.
    if (!redirectUri.isEmpty())
        QVERIFY(!listening(quint16(redirectUri.port())));
    if (twist == Replayed)
        QCOMPARE(fetch(browser.redirect()), 0);
    if (twist != Plain)
        return;
    // Nothing secret in the log or in any address the plug-in asked for.
    const QJsonObject exchange = requests(m_cloud, token.host, token.path).at(0).toObject();
    const QUrlQuery form(QString::fromUtf8(body(exchange)));
    QStringList secrets{record(cloudKind)["access_token"].toString(), record(cloudKind)["refresh_token"].toString(),
                        form.queryItemValue("code_verifier"), form.queryItemValue("code", QUrl::FullyDecoded)};
    if (cloudKind == GDRIVE_CLOUD)
        secrets << QString::fromStdString(cloudCredential(kApplication, GDRIVE_CLOUD, 0));
    const QString log = logLines().join('\n');
    for (const QString& secret : secrets) {
        QVERIFY(secret.size() > 8);
        QVERIFY(!log.contains(secret));
        for (const QJsonValue& request : m_cloud.requests())
            QVERIFY(!request["url"].toString().contains(secret));
    }
}

void SignInTest::storeBrowserRecord(CLOUD_TYPE kind, qint64 ageMs)
{
    const bool dropbox = kind == DROPBOX_CLOUD;
    const QJsonObject issued = m_cloud.control(
        "POST", "/tokens/issue",
        {{"service", dropbox ? "dropbox" : "google"}, {"email", kAlice},
         {"client_id", QString::fromStdString(cloudCredential(kApplication, kind, -1))}});
    QJsonObject stored{{"access_token", issued["access_token"]},
                       {"refresh_token", issued["refresh_token"]},
                       {"expires_in", issued["expires_in"].toDouble(3599)},
                       {"received_time", double(QDateTime::currentMSecsSinceEpoch() - ageMs)},
                       {"sign_in_road", "browser"}};
    if (dropbox)
        stored.insert("account_id", issued["account_id"].toString().section(':', 1));
    storeToken(kind, QJsonDocument(stored).toJson());
    storeEmail(kind, kAlice);
}

void SignInTest::renewal_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("situation");
    QTest::addColumn<int>("queries"); // 1: synchronous; more: asynchronous, at once
    const int dropbox = DROPBOX_CLOUD;
    const int drive = GDRIVE_CLOUD;
    QTest::newRow("Dropbox ahead of expiry") << dropbox << int(Due) << 1;
    QTest::newRow("Google ahead of expiry") << drive << int(Due) << 1;
    QTest::newRow("Dropbox after expired_access_token") << dropbox << int(ExpiredThere) << 1;
    QTest::newRow("Google after a refused token") << drive << int(ExpiredThere) << 1;
    QTest::newRow("two queries find the token due") << dropbox << int(Due) << 2;
    QTest::newRow("two queries find the token expired") << dropbox << int(ExpiredThere) << 2;
    QTest::newRow("Dropbox refresh token revoked") << dropbox << int(Revoked) << 1;
    QTest::newRow("Google refresh token revoked") << drive << int(Revoked) << 1;
}

void SignInTest::renewal()
{
    QFETCH(int, kind);
    QFETCH(int, situation);
    QFETCH(int, queries);
    const auto cloudKind = CLOUD_TYPE(kind);
    const qint64 lifetimeMs = (cloudKind == DROPBOX_CLOUD ? 14400 : 3599) * 1000LL;
    storeBrowserRecord(cloudKind, situation == Due ? lifetimeMs - 20000 : 0);
    const QString oldToken = record(cloudKind)["access_token"].toString();
    if (situation == ExpiredThere)
        m_cloud.control("POST", "/clock", {{"advance", 5 * 3600}});
    if (situation == Revoked)
        m_cloud.control("POST", "/revoke", {{"service", cloudKind == DROPBOX_CLOUD ? "dropbox" : "google"},
                                            {"token", record(cloudKind)["refresh_token"]}});

    std::unique_ptr<CloudBase> cloud = makeAccount(cloudKind);
    QVERIFY(cloud->isConnected(false));
    QSignalSpy answered(cloud.get(), &CloudBase::freeSpaceReceived);
    QList<quint64> free;
    if (queries == 1) {
        free << cloud->getFreeSpace(true);
    } else {
        for (int i = 0; i < queries; ++i)
            cloud->getFreeSpace(false);
        QVERIFY(waitFor([&] { return answered.size() == queries; }));
        for (const QList<QVariant>& answer : answered)
            free << answer.at(0).toULongLong();
    }
    const TokenPlace token = tokenEndpoint(cloudKind);
    QCOMPARE(requests(m_cloud, token.host, token.path).size(), 1);
    if (situation == Revoked) {
        QCOMPARE(free, QList<quint64>{CloudBase::kUnknownSpace});
        QVERIFY(!cloud->isConnected(false));
        QCOMPARE(int(cloud->lastError().kind()), int(CloudError::SignInWithdrawn));
        QVERIFY(cloud->lastError().text().startsWith("the sign-in was withdrawn; connect again"));
        // The next import asks for a sign-in, in the browser.
        QSignalSpy waiting(cloud.get(), &CloudBase::signInWaiting);
        cloud->setSignInRoad(CloudBase::BrowserRoad);
        cloud->openChooserFlow();
        QVERIFY(waitFor([&] { return !waiting.isEmpty(); }));
        return;
    }
    for (quint64 value : free)
        QVERIFY(value != CloudBase::kUnknownSpace && value > 0);
    const QString newToken = record(cloudKind)["access_token"].toString();
    QVERIFY(newToken != oldToken);
    QCOMPARE(record(cloudKind)["sign_in_road"].toString(), QStringLiteral("browser"));
    if (cloudKind == DROPBOX_CLOUD)
        QVERIFY(!record(cloudKind)["account_id"].toString().isEmpty());
    const TokenPlace space = spaceEndpoint(cloudKind);
    const QJsonArray asked = requests(m_cloud, space.host, space.path);
    QCOMPARE(header(asked.last().toObject(), "Authorization"), "Bearer " + newToken);
    QCOMPARE(asked.size(), situation == Due ? queries : 2 * queries);
}

LUMEN_TEST_MAIN(SignInTest)
#include "tst_signin.moc"
