// The account core, through the Dropbox account, against the stand-in:
// what requests carry, how their answers are judged and dispatched, the
// certificates it refuses, waits that end, the stored sign-in, and a view
// the player took over.
#include "dropbox.h"
#include "testaccount.h"
#include "teststate.h"

#include <QElapsedTimer>
#include <QNetworkReply>
#include <QTemporaryFile>
#include <QTimer>
#include <QWebFrame>

using namespace teststate;

namespace {

const QString kApi = QStringLiteral("api.dropboxapi.com");
const QString kSpace = QStringLiteral("/2/users/get_space_usage");
const QString kAccount = QStringLiteral("/2/users/get_account");
constexpr quint64 kUnknown = CloudBase::kUnknownSpace;

QUrl api(const QString& path)
{
    return QUrl("https://" + kApi + path);
}

} // namespace

class AccountTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(m_cloud.start(false)); }
    void init()
    {
        startCase(m_cloud);
        m_account = std::make_unique<TestAccount<DropBox>>();
        m_account->setRequestStallLimit(800);
    }

    void cleanup()
    {
        m_account.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void requestsCarry_data()
    {
        // body: null for none given
        const auto row = table<int, QByteArray, int, QString>("operation", "body", "result", "contentType");
        const int post = QNetworkAccessManager::PostOperation;
        row("GET", int(QNetworkAccessManager::GetOperation), QByteArray("{}"), 0, QString());
        row("POST with JSON", post, QByteArray("{\"a\": 1}"), 0, "application/json");
        row("POST, empty body", post, QByteArray(""), 0, QString());
        row("POST without a body", post, QByteArray(), 0, QString());
        row("PUT", int(QNetworkAccessManager::PutOperation), QByteArray("{}"), 99, QString());
        row("DELETE", int(QNetworkAccessManager::DeleteOperation), QByteArray(), 99, QString());
    }

    void requestsCarry()
    {
        const auto [operation, body, result, contentType] =
            fetch<int, QByteArray, int, QString>("operation", "body", "result", "contentType");
        const auto op = QNetworkAccessManager::Operation(operation);
        QCOMPARE(m_account->sendRequest(op, api(kSpace), FREESPACE_REQUEST, false, body.isNull() ? nullptr : &body, true),
                 result);
        const bool kept = op == QNetworkAccessManager::PostOperation && !body.isNull();
        QCOMPARE(m_account->engine()->keptBodies().size(), size_t(kept ? 1 : 0));
        QSignalSpy space(m_account.get(), &CloudBase::freeSpaceReceived);
        if (result != 0) {
            QVERIFY(logLines().isEmpty());
            return;
        }
        QVERIFY(waitFor([&] { return space.size() == 1; }));
        const QJsonObject sent = requests(m_cloud, kApi, kSpace).at(0).toObject();
        QCOMPARE(header(sent, "Authorization"), QStringLiteral("Bearer")); // even without a token
        QCOMPARE(header(sent, "Content-Type"), contentType);
        QCOMPARE(sent["body_size"].toInt(), op == QNetworkAccessManager::GetOperation ? 0 : body.size());
        QVERIFY(logged(QStringLiteral("INF Dropbox: FREESPACE_REQUEST, %1, ASync, https://api.dropboxapi.com%2")
                           .arg(op == QNetworkAccessManager::GetOperation ? "GET" : "POST", kSpace)));
    }

    void synchronousAnswerIsProcessedBeforeTheReturn()
    {
        signIn(m_cloud, DROPBOX_CLOUD);
        storeEmail(DROPBOX_CLOUD, QString());
        QVERIFY(m_account->requestUserEmail());
        QCOMPARE(storedEmail(DROPBOX_CLOUD), kAlice);
        // One that does not finish in time is never processed.
        storeEmail(DROPBOX_CLOUD, QString());
        m_cloud.addFault(fault(kApi, kAccount, "delay", {{"seconds", 1}}));
        QSignalSpy connected(m_account.get(), &CloudBase::connectedToCloud);
        QNetworkReply* reply = m_account->manager()->post(QNetworkRequest(api(kAccount)), QByteArray("{}"));
        reply->setProperty("request_id", EMAIL_REQUEST);
        QCOMPARE(m_account->waitForReply(reply, 300), int(QNetworkReply::TimeoutError));
        QTest::qWait(1500);
        QCOMPARE(connected.size(), 0);
        QVERIFY(!logLines().join('\n').contains("processReplyFinished for EMAIL_REQUEST - fail"));
        // Nor one that stalls: the stall ends the wait as its limit would.
        m_cloud.control("DELETE", "/faults");
        m_cloud.addFault(fault(kApi, kAccount, "stall"));
        int asked = 0;
        connect(m_account.get(), &CloudBase::failedRetry, this, [&asked](const QString&, bool&) { ++asked; });
        QCOMPARE(m_account->requestUserEmail(), false);
        QTest::qWait(300);
        QCOMPARE(asked, 0);
        QCOMPARE(int(m_account->lastError().kind()), int(CloudError::TimedOut));
        QVERIFY(!logLines().join('\n').contains("processReplyFinished for EMAIL_REQUEST - fail"));
    }

    void answerFromTheCache()
    {
        signIn(m_cloud, DROPBOX_CLOUD);
        const QJsonObject used{{"used", 1}, {"allocation", QJsonObject{{"allocated", 5}}}};
        m_cloud.addFault(fault(kApi, kSpace, "status",
                               {{"status", 200}, {"body", used}, {"headers", QJsonObject{{"Cache-Control", "max-age=3600"}}}}));
        const auto get = QNetworkAccessManager::GetOperation;
        QCOMPARE(m_account->sendRequest(get, api(kSpace), FREESPACE_REQUEST, true, nullptr, false), 0);
        QSignalSpy space(m_account.get(), &CloudBase::freeSpaceReceived);
        QCOMPARE(m_account->sendRequest(get, api(kSpace), FREESPACE_REQUEST, false, nullptr, false), 0);
        QVERIFY(waitFor([&] { return space.size() == 1; }));
        QCOMPARE(space[0][0].toULongLong(), quint64(4));
        QCOMPARE(requests(m_cloud, kApi, kSpace).size(), 1);
        QCOMPARE(logCount("INF Dropbox: processReplyFinished for FREESPACE_REQUEST - ok (from cache)"), 1);
    }

    void canceledSpaceRequest()
    {
        signIn(m_cloud, DROPBOX_CLOUD);
        QVERIFY(m_account->getFreeSpace(true) != kUnknown);
        m_cloud.addFault(fault(kApi, kSpace, "delay", {{"seconds", 5}}));
        QSignalSpy space(m_account.get(), &CloudBase::freeSpaceReceived);
        m_account->getFreeSpace(false);
        QVERIFY(waitFor([&] { return m_cloud.requests(kApi, kSpace).size() == 2; }));
        for (QNetworkReply* reply : m_account->manager()->findChildren<QNetworkReply*>()) {
            if (reply->isRunning())
                reply->abort();
        }
        QVERIFY(waitFor([&] { return space.size() == 1; }));
        QCOMPARE(space[0][0].toULongLong(), kUnknown);
        QCOMPARE(m_account->freeSpace(), kUnknown);
    }

    void unusableAnswers_data()
    {
        const auto row = table<QJsonObject, int>("fault", "error");
        const auto answer = [](const QByteArray& body, const char* type) {
            return QJsonObject{{"kind", "status"}, {"status", 200}, {"body", QString::fromUtf8(body)}, {"content_type", type}};
        };
        row("service fails", QJsonObject{{"kind", "status"}, {"status", 503}}, int(CloudError::ServiceFailed));
        row("HTML", answer("<html>maintenance</html>", "text/html"), int(CloudError::BadReply));
        row("truncated JSON", answer("{\"used\": 12, \"alloc", "application/json"), int(CloudError::BadReply));
        row("JSON without the figures", answer("{\"quota\": 1}", "application/json"), int(CloudError::BadReply));
        row("endless", QJsonObject{{"kind", "endless"}}, int(CloudError::ReplyTooLarge));
        const QByteArray padded = "{\"used\": 5, \"allocation\": {\"allocated\": 1000}, \"pad\": \""
            + QByteArray(5 * 1024 * 1024, 'x') + "\"}";
        row("5 MiB that arrive at once", answer(padded, "application/json"), int(CloudError::ReplyTooLarge));
        row("length longer than the body", QJsonObject{{"kind", "bad_length"}}, int(CloudError::TimedOut));
        row("stalls", QJsonObject{{"kind", "stall"}}, int(CloudError::TimedOut));
        row("connection cut", QJsonObject{{"kind", "drop"}, {"where", "response"}, {"after", 0}},
            int(CloudError::ConnectionLost));
    }

    void unusableAnswers()
    {
        const auto [given, error] = fetch<QJsonObject, int>("fault", "error");
        signIn(m_cloud, DROPBOX_CLOUD);
        m_cloud.addFault(fault(kApi, kSpace, given["kind"].toString(), given));
        int asked = 0; // QSignalSpy cannot record a bool&
        connect(m_account.get(), &CloudBase::failedRetry, this, [&asked](const QString&, bool&) { ++asked; });
        QCOMPARE(m_account->getFreeSpace(true), kUnknown);
        QCOMPARE(int(m_account->lastError().kind()), error);
        QVERIFY(logged("WRN Failed to get free space"));
        QCOMPARE(asked, 0); // a space query asks nobody to retry
        // Asked without waiting, the answer still comes, once.
        QSignalSpy space(m_account.get(), &CloudBase::freeSpaceReceived);
        m_account->getFreeSpace(false);
        QVERIFY(waitFor([&] { return space.size() == 1; }));
        QTest::qWait(100);
        QCOMPARE(space.size(), 1);
        QCOMPARE(space[0][0].toULongLong(), kUnknown);
    }

    void certificatesRefused_data()
    {
        const auto row = table<QString, int>("mode", "error");
        row("expired", "expired", int(CloudError::CertificateExpired));
        row("wrong host", "wrong_host", int(CloudError::CertificateWrongHost));
        row("untrusted", "untrusted", int(CloudError::CertificateUntrusted));
        row("self-signed", "self_signed", int(CloudError::CertificateUntrusted));
        row("unknown root above an intermediate", "unknown_root", int(CloudError::CertificateUntrusted));
    }

    void certificatesRefused()
    {
        const auto [mode, error] = fetch<QString, int>("mode", "error");
        signIn(m_cloud, DROPBOX_CLOUD);
        m_cloud.setTls(mode);
        QCOMPARE(m_account->getFreeSpace(true), kUnknown);
        QCOMPARE(int(m_account->lastError().kind()), error);
        QVERIFY(logged("ERR Dropbox: onNetworkSslErrors"));
        // Nothing went through a tunnel it refused: the token never left.
        for (const QJsonValue& request : m_cloud.requests())
            QVERIFY(request["method"].toString() == "CONNECT");

        // Upload bodies travel apart, and are refused the same way.
        QTemporaryFile file;
        QVERIFY(file.open());
        file.write(pattern(1000, 1));
        QNetworkReply* streamed = m_account->sendUploadBody(
            QNetworkAccessManager::PostOperation,
            QNetworkRequest(QUrl("https://content.dropboxapi.com/2/files/upload_session/append_v2")), &file, 0, 1000);
        QVERIFY(waitFor([&] { return streamed->isFinished(); }));
        QCOMPARE(streamed->error(), QNetworkReply::SslHandshakeFailedError);
        QCOMPARE(int(m_account->engine()->failureOf(streamed).kind()), error);

        // The web view refuses the same, says so once, and ends the sign-in.
        QSignalSpy said(m_account.get(), &CloudBase::networkError);
        QSignalSpy failed(m_account.get(), &CloudBase::signInFailed);
        m_account->connectToCloud(); // the web session is signed in: the authorization page
        QVERIFY(waitFor([&] { return failed.size() == 1; }));
        QTest::qWait(200);
        QCOMPARE(said.size(), 1);
        QVERIFY(said[0][0].toString().contains(CloudError::words(CloudError::Kind(error))));
        QVERIFY(m_account->view()->page()->mainFrame()->toPlainText().startsWith("SSL handshake failed"));
        m_cloud.setTls("normal");
    }

    void failedRequestAsksAndResends()
    {
        signIn(m_cloud, DROPBOX_CLOUD);
        m_cloud.addFault(fault(kApi, kAccount, "status", {{"status", 503}, {"times", 1}}));
        int asked = 0;
        connect(m_account.get(), &CloudBase::failedRetry, this, [&](const QString& text, bool& retry) {
            QVERIFY(text.startsWith("Failed for processing EMAIL_REQUEST: the service failed"));
            retry = ++asked == 1;
        });
        storeEmail(DROPBOX_CLOUD, QString());
        QVERIFY(!m_account->requestUserEmail()); // the first answer failed; the resent one is processed
        QVERIFY(waitFor([&] { return storedEmail(DROPBOX_CLOUD) == kAlice; }));
        const QJsonArray sent = requests(m_cloud, kApi, kAccount);
        QCOMPARE(sent.size(), 2);
        QCOMPARE(body(sent[1].toObject()), body(sent[0].toObject()));
        QCOMPARE(asked, 1);
        // Asked without waiting, a failure asks nobody.
        m_cloud.addFault(fault(kApi, kAccount, "status", {{"status", 503}, {"times", 1}}));
        const QByteArray again = body(sent[0].toObject());
        m_account->sendRequest(QNetworkAccessManager::PostOperation, api(kAccount), EMAIL_REQUEST, false, &again, true);
        QVERIFY(waitFor([&] { return requests(m_cloud, kApi, kAccount).size() == 3; }));
        QTest::qWait(100);
        QCOMPARE(asked, 1);
    }

    void interruptEndsEveryWait()
    {
        signIn(m_cloud, DROPBOX_CLOUD);
        m_account->setRequestStallLimit(30000);
        m_cloud.addFault(fault(kApi, kSpace, "delay", {{"seconds", 20}}));
        QTimer::singleShot(300, m_account.get(), &CloudBase::interrupt);
        QElapsedTimer waited;
        waited.start();
        QCOMPARE(m_account->getFreeSpace(true), kUnknown);
        QVERIFY2(waited.elapsed() < 10000, "the wait outlived the interrupt");
        // Nothing is sent after it.
        QCOMPARE(m_account->sendRequest(QNetworkAccessManager::GetOperation, api(kSpace), FREESPACE_REQUEST, true, nullptr,
                                        false),
                 99);
    }

    void storedSignIn_data()
    {
        const auto row = table<QByteArray, bool, bool, bool, QString>("record", "email", "cookie", "connected", "accessToken");
        const QByteArray json = R"({"access_token": "T1", "account_id": "A"})";
        row("all three", json, true, true, true, "T1");
        row("no e-mail: the record goes", json, false, true, false, "");
        row("no web session: the record goes", json, true, false, false, "");
        row("record not JSON: taken whole", QByteArray("plain-token"), true, true, true, "plain-token");
        row("record without an access token", QByteArray(R"({"account_id": "A"})"), true, true, true, "");
        row("nothing", QByteArray(), false, false, false, "");
    }

    void storedSignIn()
    {
        const auto [record, email, cookie, connected, accessToken] =
            fetch<QByteArray, bool, bool, bool, QString>("record", "email", "cookie", "connected", "accessToken");
        if (!record.isEmpty())
            storeToken(DROPBOX_CLOUD, record);
        if (email)
            storeEmail(DROPBOX_CLOUD, kAlice);
        if (cookie)
            storeSignInCookie(DROPBOX_CLOUD);
        m_account = std::make_unique<TestAccount<DropBox>>();
        QCOMPARE(m_account->isConnected(true), connected);
        QCOMPARE(m_account->accessToken(), accessToken);
        QCOMPARE(storedToken(DROPBOX_CLOUD).isEmpty(), !connected);
        QCOMPARE(storedEmail(DROPBOX_CLOUD), email ? kAlice : QString());
        QVERIFY(loggedInOrder({"INF Dropbox: Check if cloud already connected",
                               cookie ? "INF Cookies => found" : "INF Cookies => not found",
                               connected ? "INF Token => exists" : "INF Token => empty",
                               email ? "INF User email => " + kAlice : "INF User email => empty",
                               connected ? "INF Summary status => [connected]" : "INF Summary status => [not connected]"}));
    }

    void viewTakenOverByThePlayer()
    {
        auto player = std::make_unique<QWidget>();
        QVERIFY(m_account->setViewParent(player.get()));
        QPointer<CloudView> view = m_account->view();
        player.reset(); // the player destroys its widgets, the view with them
        QVERIFY(!view);
        QVERIFY(!m_account->setViewParent(nullptr));
        QVERIFY(!m_account->setViewWindowFlags(Qt::Dialog));
        QCOMPARE(m_account->viewWindowFlags(), Qt::WindowFlags(~0));
        QVERIFY(!m_account->showChooser());
        m_account->openChooserFlow(); // not connected: the sign-in would open, in no view
        QVERIFY(!m_account->connectToCloud());
    }

    void destroyedWithRequestsInFlight()
    {
        signIn(m_cloud, DROPBOX_CLOUD);
        m_cloud.addFault(fault(kApi, kSpace, "delay", {{"seconds", 2}}));
        m_cloud.addFault(fault("content.dropboxapi.com", "/2/files/upload_session/*", "delay", {{"seconds", 2}}));
        QTemporaryFile file;
        QVERIFY(file.open());
        file.write(pattern(300 * 1024, 1));
        file.close();
        m_account->getFreeSpace(false);
        m_account->uploadFile(file.fileName(), "/Videos");
        m_account->connectToCloud();
        QVERIFY(waitFor([&] { return m_cloud.requests(QString(), "/2/files/upload_session/start").size() == 1; }));
        m_account.reset(); // nothing may reach the gone account; the sanitizer build watches
        QTest::qWait(2500);
    }

private:
    FakeCloud m_cloud;
    std::unique_ptr<TestAccount<DropBox>> m_account;
};

LUMEN_TEST_MAIN(AccountTest)
#include "tst_account.moc"
