// Sign-in in the user's browser against the stand-in under today's rules:
// every way an attempt ends, what reaches the wire and what does not, and
// tokens renewed before and after they expire, one renewal at a time.
#include "cloudcredential.h"
#include "dropbox.h"
#include "dropboxoauth.h"
#include "googledrive.h"
#include "pkce.h"
#include "testaccount.h"
#include "testbrowser.h"
#include "teststate.h"

#include <QDateTime>
#include <QNetworkReply>
#include <QTcpServer>
#include <QUrlQuery>
#include <QWebFrame>

using namespace teststate;

namespace {

enum Twist { Plain, ForeignState, Replayed, OtherChallenge, Refusal, NobodyComes, PortTaken, EmbeddedEngine };
enum Situation { Due, ExpiredThere, Revoked };

// Host and path of the token endpoint, then of the space query.
QStringList endpoints(CLOUD_TYPE kind)
{
    return kind == DROPBOX_CLOUD
        ? QStringList{"api.dropboxapi.com", "/oauth2/token", "api.dropboxapi.com", "/2/users/get_space_usage"}
        : QStringList{"oauth2.googleapis.com", "/token", "www.googleapis.com", "/drive/v2/about"};
}

std::unique_ptr<CloudBase> makeAccount(CLOUD_TYPE kind)
{
    if (kind == DROPBOX_CLOUD)
        return std::make_unique<TestAccount<DropBox>>();
    return std::make_unique<TestAccount<GoogleDrive>>();
}

// A browser's GET of a loopback address: its status (0: nobody listens) and page.
int visit(const QUrl& address, QString* page = nullptr)
{
    QNetworkAccessManager manager;
    std::unique_ptr<QNetworkReply> reply(manager.get(QNetworkRequest(address)));
    waitFor([&] { return reply->isFinished(); }, 10000);
    if (page)
        *page = QString::fromUtf8(reply->readAll());
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

} // namespace

class SignInTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(m_cloud.start(true, FakeCloud::Rules::Live)); }
    void init()
    {
        startCase(m_cloud);
        QVERIFY(waitForFreePort(DropboxOAuth::kRedirectPort));
    }

    void attempt_data()
    {
        // failure: empty when signed in
        const auto row = table<int, int, QString, int>("kind", "twist", "failure", "exchanges");
        const int dropbox = DROPBOX_CLOUD;
        const int drive = GDRIVE_CLOUD;
        row("Dropbox", dropbox, int(Plain), QString(), 1);
        row("Google Drive", drive, int(Plain), QString(), 1);
        row("an answer with another state is refused first", drive, int(ForeignState), QString(), 1);
        row("the redirect replayed during the exchange", dropbox, int(Replayed), QString(), 1);
        row("Dropbox code for another verifier", dropbox, int(OtherChallenge), "invalid_grant", 1);
        row("Google code for another verifier", drive, int(OtherChallenge), "invalid_grant", 1);
        row("Dropbox consent refused", dropbox, int(Refusal), "refused the sign-in: access_denied", 0);
        row("Google consent refused", drive, int(Refusal), "refused the sign-in: access_denied", 0);
        row("nobody comes back in time", drive, int(NobodyComes), "within 0.3 seconds", 0);
        row("the registered port is taken", dropbox, int(PortTaken), "port 53190 on 127.0.0.1", 0);
        row("Google in the embedded web view", drive, int(EmbeddedEngine), "disallowed_useragent", 0);
    }

    void attempt()
    {
        const auto [kind, twist, failure, exchanges] = fetch<int, int, QString, int>("kind", "twist", "failure", "exchanges");
        const auto cloudKind = CLOUD_TYPE(kind);
        const QStringList token = endpoints(cloudKind);
        if (twist == Refusal)
            m_cloud.control("POST", "/auto", {{"consent", "deny"}});
        if (twist == Replayed)
            m_cloud.addFault({{"host", token[0]}, {"path", token[1]}, {"kind", "delay"}, {"seconds", 1}});
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
        if (twist == EmbeddedEngine) { // the embedded road: today's Google refuses to show its page there
            cloud->setSignInRoad(CloudBase::EmbeddedRoad);
            QVERIFY(cloud->connectToCloud());
            QWebFrame* page = static_cast<TestAccount<GoogleDrive>*>(cloud.get())->view()->page()->mainFrame();
            QVERIFY(waitFor([&, refusal = failure] { return page->toPlainText().contains(refusal); }));
            QCOMPARE(connected.size(), 0);
            QCOMPARE(requests(m_cloud, token[0], token[1]).size(), exchanges);
            return;
        }
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
            QString page;
            if (twist == ForeignState) {
                QCOMPARE(visit(QUrl(redirectUri.toString() + "?code=forged&state=forged"), &page), 400);
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
                QCOMPARE(visit(browser.redirect(), &page), 409);
                QVERIFY(page.contains("already been answered"));
            }
        }
        QVERIFY(waitFor(ended, 30000));
        waitFor([] { return false; }, 200);
        QCOMPARE(connected.size() + failed.size(), 1);
        if (failure.isEmpty())
            QVERIFY2(failed.isEmpty(), qPrintable(failed.value(0).value(0).toString()));
        QCOMPARE(requests(m_cloud, token[0], token[1]).size(), exchanges);
        QCOMPARE(cloud->isConnected(false), failure.isEmpty());
        QCOMPARE(storedRecord(cloudKind)["refresh_token"].toString().isEmpty(), !failure.isEmpty());
        if (failure.isEmpty())
            QVERIFY(waitFor([&] { return browser.text().contains("Signed in to Lumen. You can close this tab."); }));
        else
            QVERIFY2(failed[0][0].toString().contains(failure), qPrintable(failed[0][0].toString()));
        // No listener outlives the attempt; a late replay finds nobody.
        if (!redirectUri.isEmpty())
            QCOMPARE(visit(redirectUri), 0);
        if (twist != Plain)
            return;
        // Nothing secret in the log or in any address the plug-in asked for.
        const QUrlQuery form(QString::fromUtf8(body(requests(m_cloud, token[0], token[1]).at(0).toObject())));
        QStringList secrets{storedRecord(cloudKind)["access_token"].toString(), storedRecord(cloudKind)["refresh_token"].toString(),
                            form.queryItemValue("code_verifier"), form.queryItemValue("code", QUrl::FullyDecoded),
                            QString::fromStdString(cloudCredential(kApplication, GDRIVE_CLOUD, 0))};
        const QString log = logLines().join('\n');
        for (const QString& secret : secrets) {
            QVERIFY(secret.size() > 8 && !log.contains(secret));
            for (const QJsonValue& request : m_cloud.requests())
                QVERIFY(!request["url"].toString().contains(secret));
        }
    }

    void renewal_data()
    {
        // queries: 1 synchronous; more asynchronous, at once
        const auto row = table<int, int, int>("kind", "situation", "queries");
        const int dropbox = DROPBOX_CLOUD;
        const int drive = GDRIVE_CLOUD;
        row("Dropbox ahead of expiry", dropbox, int(Due), 1);
        row("Google ahead of expiry", drive, int(Due), 1);
        row("Dropbox after expired_access_token", dropbox, int(ExpiredThere), 1);
        row("Google after a refused token", drive, int(ExpiredThere), 1);
        row("two queries find the token due", dropbox, int(Due), 2);
        row("two queries find the token expired", dropbox, int(ExpiredThere), 2);
        row("Dropbox refresh token revoked", dropbox, int(Revoked), 1);
        row("Google refresh token revoked", drive, int(Revoked), 1);
    }

    void renewal()
    {
        const auto [kind, situation, queries] = fetch<int, int, int>("kind", "situation", "queries");
        const auto cloudKind = CLOUD_TYPE(kind);
        const QString service = cloudKind == DROPBOX_CLOUD ? "dropbox" : "google";
        // A record as the browser road keeps it, with tokens the stand-in issued.
        QJsonObject issued = m_cloud.control("POST", "/tokens/issue",
                                             {{"service", service}, {"email", kAlice}, {"client_id", clientId(cloudKind)}});
        const double lifetime = issued["expires_in"].toDouble();
        issued["received_time"] = double(QDateTime::currentMSecsSinceEpoch()) - (situation == Due ? lifetime - 20 : 0) * 1000;
        issued["account_id"] = issued["account_id"].toString().section(':', 1);
        issued["sign_in_road"] = "browser";
        storeToken(cloudKind, QJsonDocument(issued).toJson());
        storeEmail(cloudKind, kAlice);
        if (situation == ExpiredThere)
            m_cloud.control("POST", "/clock", {{"advance", 5 * 3600}});
        if (situation == Revoked)
            m_cloud.control("POST", "/revoke", {{"service", service}, {"token", issued["refresh_token"]}});

        std::unique_ptr<CloudBase> cloud = makeAccount(cloudKind);
        QVERIFY(cloud->isConnected(false));
        QSignalSpy answered(cloud.get(), &CloudBase::freeSpaceReceived);
        QList<quint64> free;
        if (queries == 1)
            free << cloud->getFreeSpace(true);
        for (int i = 0; i < queries && queries > 1; ++i)
            cloud->getFreeSpace(false);
        QVERIFY(waitFor([&, asked = queries] { return asked == 1 || answered.size() == asked; }));
        for (const QList<QVariant>& answer : answered)
            free << answer.at(0).toULongLong();
        const QStringList places = endpoints(cloudKind);
        QCOMPARE(requests(m_cloud, places[0], places[1]).size(), 1);
        if (situation == Revoked) {
            QCOMPARE(free, QList<quint64>{CloudBase::kUnknownSpace});
            QVERIFY(!cloud->isConnected(false));
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
        const QJsonObject renewed = storedRecord(cloudKind);
        QVERIFY(renewed["access_token"] != issued["access_token"]);
        QCOMPARE(renewed["sign_in_road"], issued["sign_in_road"]);
        QCOMPARE(renewed["account_id"], issued["account_id"]);
        const QJsonArray asked = requests(m_cloud, places[2], places[3]);
        QCOMPARE(header(asked.last().toObject(), "Authorization"), "Bearer " + renewed["access_token"].toString());
        QCOMPARE(asked.size(), situation == Due ? queries : 2 * queries);
    }

private:
    FakeCloud m_cloud;
};

LUMEN_TEST_MAIN(SignInTest)
#include "tst_signin.moc"
