// The Dropbox provider's own decoding, without any service: the redirect
// that ends the sign-in, error bodies, account and space replies, and what
// it asks of the service. Every request the process might make goes to a
// local trip-wire instead of the network, and the tests check that none did.
#include "cloudcredential.h"
#include "providertest.h"
#include "testdropbox.h"
#include "tokenstorage.h"

#include <QJsonDocument>
#include <QNetworkProxy>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using namespace providertest;

namespace {

const char* const kRedirect = "qovi://cloud_callback";
const QString kAlice = QStringLiteral("alice@example.com");

QString recordText(const QString& accessToken, const QString& accountId)
{
    // The indented form, keys in alphabetical order, as the account keeps it.
    return QStringLiteral("{\n    \"access_token\": \"%1\",\n    \"account_id\": \"%2\"\n}\n").arg(accessToken, accountId);
}

} // namespace

class DropboxDecodingTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void tokenRedirect_data();
    void tokenRedirect();
    void refusedRedirect();
    void ignoredReplies_data();
    void ignoredReplies();

    void errorBodies_data();
    void errorBodies();
    void accountAndSpaceMembers_data();
    void accountAndSpaceMembers();
    void accountRequestWithoutAccountId_data();
    void accountRequestWithoutAccountId();
    void accountRequestLeavesWithAnAccountId();

    void whatTheServiceIsAsked();
    void supportedExtensionsOnlyForThePlayer();

private:
    // Connections the trip-wire received: requests that left the provider.
    int requestsSent();

    QTcpServer m_tripWire;
    int m_connections = 0;
    std::unique_ptr<TestDropBox> m_account;
};

void DropboxDecodingTest::initTestCase()
{
    prepareProcess();
    QVERIFY(m_tripWire.listen(QHostAddress::LocalHost));
    connect(&m_tripWire, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = m_tripWire.nextPendingConnection()) {
            ++m_connections;
            // A refusal ends the request at once; a dropped line would be retried.
            socket->write("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            socket->disconnectFromHost();
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
    QNetworkProxy::setApplicationProxy(
        QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), m_tripWire.serverPort()));
}

void DropboxDecodingTest::init()
{
    clearStoredState();
    openLog();
    m_connections = 0;
    m_account = std::make_unique<TestDropBox>();
}

void DropboxDecodingTest::cleanup()
{
    m_account.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    clearStoredState();
}

int DropboxDecodingTest::requestsSent()
{
    QTest::qWait(50); // a request on its way would have connected by now
    return m_connections;
}

void DropboxDecodingTest::tokenRedirect_data()
{
    QTest::addColumn<QString>("fragment");
    QTest::addColumn<bool>("emailStored");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("accessToken");
    QTest::addColumn<QString>("accountId");
    QTest::addColumn<QString>("idLine");    // the line about the account id, if any
    QTest::addColumn<bool>("viewStaysOpen"); // after the mode's step
    QTest::addColumn<int>("modeAfter");

    const QString found = QStringLiteral("Access token and account ID found");
    const QString invalid = QStringLiteral("Invalid account ID!");
    QTest::newRow("token and dbid:X, connecting")
        << "access_token=sl.T1&token_type=bearer&account_id=dbid:AAX1&uid=7" << true << 2 << "sl.T1" << "AAX1" << found
        << false << -1;
    QTest::newRow("colon encoded, connecting")
        << "access_token=sl.T2&account_id=dbid%3AAAX2" << true << 2 << "sl.T2" << "AAX2" << found << false << -1;
    QTest::newRow("token percent-encoded, no mode")
        << "access_token=a%2Bb%3D%3D&account_id=dbid:AAX3" << true << -1 << "a+b==" << "AAX3" << found << true << -1;
    QTest::newRow("dbid: with nothing after, no e-mail")
        << "access_token=sl.T4&account_id=dbid:" << false << 2 << "sl.T4" << "" << invalid << false << -1;
    QTest::newRow("dbid:a:b, uploading")
        << "access_token=sl.T5&account_id=dbid:a:b" << true << 1 << "sl.T5" << "" << "" << true << 1;
    QTest::newRow("no account_id, no e-mail")
        << "access_token=sl.T6&token_type=bearer" << false << -1 << "sl.T6" << "" << "" << true << -1;
}

void DropboxDecodingTest::tokenRedirect()
{
    QFETCH(QString, fragment);
    QFETCH(bool, emailStored);
    QFETCH(int, mode);
    QFETCH(QString, accessToken);
    QFETCH(QString, accountId);
    QFETCH(QString, idLine);
    QFETCH(bool, viewStaysOpen);
    QFETCH(int, modeAfter);

    if (emailStored)
        storeEmail(kAlice);
    m_account->setMode(mode);
    m_account->view()->show();
    QSignalSpy connected(m_account.get(), &CloudBase::connectedToCloud);

    m_account->handleAuthorizationReply(301, QLatin1String(kRedirect) + QLatin1Char('#') + fragment);

    QCOMPARE(storedTokenRecord(), recordText(accessToken, accountId));
    QVERIFY(logInOrder({QStringLiteral("saving token to storage")}));
    for (const char* line : {"Access token and account ID found", "Invalid account ID!"})
        QCOMPARE(logCount(QLatin1String(line)), idLine == QLatin1String(line) ? 1 : 0);
    if (emailStored) {
        // A known address is announced at once, without asking the service.
        QCOMPARE(connected.count(), 1);
        QCOMPARE(connected.at(0).at(0).value<CLOUD_TYPE>(), DROPBOX_CLOUD);
        QCOMPARE(connected.at(0).at(1).toString(), kAlice);
        QCOMPARE(logCount(QStringLiteral("Dropbox: requestUserEmail")), 0);
    } else {
        // Without an account id the question cannot even be put.
        QCOMPARE(connected.count(), 0);
        QVERIFY(logInOrder({QStringLiteral("Dropbox: requestUserEmail"),
                            QStringLiteral("Dropbox: sendAboutAccountSyncRequest - can't to send request because "
                                           "accountID is empty")}));
        QCOMPARE(storedEmail(), QString());
    }
    QCOMPARE(m_account->view()->isVisible(), viewStaysOpen);
    QCOMPARE(m_account->mode(), modeAfter);
    QCOMPARE(requestsSent(), 0);
}

void DropboxDecodingTest::refusedRedirect()
{
    m_account->setMode(2);
    m_account->view()->show();
    QSignalSpy connected(m_account.get(), &CloudBase::connectedToCloud);

    m_account->handleAuthorizationReply(
        301, QLatin1String(kRedirect) + QStringLiteral("#error=access_denied&error_description=D&state=s"));

    QCOMPARE(logCount(QStringLiteral("Dropbox: Error during authorization - access_denied \"D\"")), 1);
    QVERIFY(!m_account->view()->isVisible());
    QCOMPARE(m_account->mode(), -1);
    QCOMPARE(storedTokenRecord(), QString());
    QCOMPARE(logCount(QStringLiteral("saving token to storage")), 0);
    QCOMPARE(connected.count(), 0);
    QCOMPARE(requestsSent(), 0);
}

void DropboxDecodingTest::ignoredReplies_data()
{
    QTest::addColumn<int>("networkError");
    QTest::addColumn<QString>("url");
    const QString token = QLatin1String(kRedirect) + QStringLiteral("#access_token=sl.T&account_id=dbid:AAX");
    QTest::newRow("no fragment") << 301 << QString::fromLatin1(kRedirect);
    QTest::newRow("empty fragment") << 301 << QLatin1String(kRedirect) + QLatin1Char('#');
    QTest::newRow("neither token nor description") << 301 << QLatin1String(kRedirect) + QStringLiteral("#error=x&state=1");
    QTest::newRow("token, connection refused") << 1 << token;
    QTest::newRow("token, no error") << 0 << token;
    QTest::newRow("token, operation canceled") << 5 << token;
    QTest::newRow("error, host not found") << 3 << QLatin1String(kRedirect) + QStringLiteral("#error=e&error_description=D");
}

void DropboxDecodingTest::ignoredReplies()
{
    QFETCH(int, networkError);
    QFETCH(QString, url);
    storeEmail(kAlice);
    m_account->setMode(2);
    m_account->view()->show();
    QSignalSpy connected(m_account.get(), &CloudBase::connectedToCloud);

    m_account->handleAuthorizationReply(networkError, url);

    QCOMPARE(storedTokenRecord(), QString());
    QCOMPARE(connected.count(), 0);
    QVERIFY(m_account->view()->isVisible());
    QCOMPARE(m_account->mode(), 2);
    QCOMPARE(logMessages(), QStringList());
    QCOMPARE(requestsSent(), 0);
}

void DropboxDecodingTest::errorBodies_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message"); // "unchanged" when the message is left alone
    QTest::addColumn<bool>("logged");

    QTest::newRow("empty") << QByteArray() << 1 << "unchanged" << false;
    QTest::newRow("empty array") << QByteArray("[]") << 1 << "unchanged" << false;
    QTest::newRow("empty object") << QByteArray("{}") << 1 << "unchanged" << false;
    QTest::newRow("not JSON") << QByteArray("Internal Server Error") << 1 << "unchanged" << false;
    QTest::newRow("invalid token")
        << QByteArray(R"({"error_summary": "invalid_access_token/...", "error": {".tag": "invalid_access_token"}})") << 2
        << "invalid_access_token" << true;
    QTest::newRow("no space") << QByteArray(R"({"error_summary": "path/insufficient_space/"})") << 3
                              << "insufficient_space" << true;
    QTest::newRow("both, the token first")
        << QByteArray(R"({"error_summary": "path/insufficient_space/invalid_access_token"})") << 2
        << "invalid_access_token" << true;
    QTest::newRow("other summary") << QByteArray(R"({"error_summary": "other"})") << 0 << "other" << true;
    QTest::newRow("error without summary") << QByteArray(R"({"error": {".tag": "other"}})") << 0 << "" << false;
    QTest::newRow("summary not text") << QByteArray(R"({"error_summary": 5})") << 0 << "" << false;
    QTest::newRow("a success body") << QByteArray(R"({"email": "alice@example.com"})") << 0 << "" << false;
}

void DropboxDecodingTest::errorBodies()
{
    QFETCH(QByteArray, body);
    QFETCH(int, code);
    QFETCH(QString, message);
    QFETCH(bool, logged);

    std::string decoded = "unchanged";
    QCOMPARE(m_account->parseErrorReply(body, decoded), code);
    QCOMPARE(QString::fromStdString(decoded), message);
    QCOMPARE(logCount(QStringLiteral("Dropbox: returned error:")), logged ? 1 : 0);
    if (logged)
        QVERIFY(logInOrder({QStringLiteral("Dropbox: returned error:"), QString::fromUtf8(body)}));
}

void DropboxDecodingTest::accountAndSpaceMembers_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<quint64>("used");
    QTest::addColumn<quint64>("total");
    QTest::addColumn<QString>("email");

    QTest::newRow("complete")
        << QByteArray(R"({"used": 1234, "allocation": {".tag": "individual", "allocated": 2199023255552},
                          "email": "alice@example.com"})")
        << quint64(1234) << quint64(2199023255552) << "alice@example.com";
    QTest::newRow("members missing") << QByteArray("{}") << quint64(0) << quint64(0) << "";
    QTest::newRow("members mistyped") << QByteArray(R"({"used": "12", "allocation": 5, "email": 7})") << quint64(0)
                                      << quint64(0) << "";
    QTest::newRow("allocation without allocated")
        << QByteArray(R"({"used": 3, "allocation": {".tag": "team", "used": 1}})") << quint64(3) << quint64(0) << "";
    QTest::newRow("fractions are cut") << QByteArray(R"({"used": 12.9, "allocation": {"allocated": 99.99}})")
                                       << quint64(12) << quint64(99) << "";
    QTest::newRow("negative numbers count as none")
        << QByteArray(R"({"used": -5, "allocation": {"allocated": -1e30}})") << quint64(0) << quint64(0) << "";
    QTest::newRow("too large numbers are the largest")
        << QByteArray(R"({"used": 1e30, "allocation": {"allocated": 1.8446744073709552e19}})")
        << ~quint64(0) << ~quint64(0) << "";
}

void DropboxDecodingTest::accountAndSpaceMembers()
{
    QFETCH(QByteArray, reply);
    QFETCH(quint64, used);
    QFETCH(quint64, total);
    QFETCH(QString, email);
    const QJsonObject json = QJsonDocument::fromJson(reply).object();
    QCOMPARE(m_account->parseUsedSpace(json), used);
    QCOMPARE(m_account->parseTotalSpace(json), total);
    QCOMPARE(m_account->parseEmail(json), email);
}

void DropboxDecodingTest::accountRequestWithoutAccountId_data()
{
    QTest::addColumn<QByteArray>("record"); // empty: none stored
    QTest::newRow("no record") << QByteArray();
    QTest::newRow("not JSON") << QByteArray("sl.plain-token");
    QTest::newRow("no account_id") << QByteArray(R"({"access_token": "sl.T"})");
    QTest::newRow("empty account_id") << QByteArray(R"({"access_token": "sl.T", "account_id": ""})");
}

void DropboxDecodingTest::accountRequestWithoutAccountId()
{
    QFETCH(QByteArray, record);
    if (!record.isEmpty())
        QVERIFY(TokenStorage().saveToken(kApplication, DROPBOX_CLOUD, record.toStdString()));
    for (int kind : {0, 3}) // the e-mail address, the grant check
        QCOMPARE(m_account->sendAboutAccountSyncRequest(kind), 204);
    QCOMPARE(logCount(QStringLiteral("Dropbox: sendAboutAccountSyncRequest - can't to send request because accountID "
                                     "is empty")),
             2);
    QVERIFY(!logHasLineStartingWith(QStringLiteral("Dropbox: EMAIL_REQUEST")));
    QCOMPARE(requestsSent(), 0);
}

void DropboxDecodingTest::accountRequestLeavesWithAnAccountId()
{
    // The trip-wire's own check: a request that does leave is seen there.
    QVERIFY(TokenStorage().saveToken(kApplication, DROPBOX_CLOUD, recordText("sl.T", "AAX").toStdString()));
    QVERIFY(m_account->sendAboutAccountSyncRequest(0) != 0);
    QVERIFY(requestsSent() > 0);
    QCOMPARE(logCount(QStringLiteral("Dropbox: EMAIL_REQUEST, POST, Sync, https://api.dropboxapi.com/2/users/get_account")),
             1);
}

void DropboxDecodingTest::whatTheServiceIsAsked()
{
    const QString appKey = QString::fromStdString(cloudCredential(kApplication, DROPBOX_CLOUD, -1));
    QVERIFY(!appKey.isEmpty());
    QCOMPARE(m_account->filePicker()->appKey(), appKey);
    QCOMPARE(m_account->redirectUri(), QString::fromLatin1(kRedirect));
    QCOMPARE(m_account->authorizationUrl(),
             QStringLiteral("https://www.dropbox.com/oauth2/authorize?response_type=token&client_id=%1"
                            "&redirect_uri=qovi://cloud_callback")
                 .arg(appKey));
    QCOMPARE(m_account->createFolderUrl(), QStringLiteral("https://api.dropboxapi.com/2/files/create_folder"));
    QCOMPARE(m_account->createFolderBody(QStringLiteral("Lumen Uploads")), QStringLiteral("{\"path\": \"/Lumen Uploads\"}"));
    QVERIFY(m_account->checkUploadFolderExists());
}

void DropboxDecodingTest::supportedExtensionsOnlyForThePlayer()
{
    QCOMPARE(m_account->filePicker()->supportedExtensions(),
             QStringList({".qovi", ".mkv", ".avi", ".mov", ".mp4"}));
    TestDropBox converter("Converter");
    QCOMPARE(converter.filePicker()->supportedExtensions(), QStringList());
}

QTEST_MAIN(DropboxDecodingTest)
#include "tst_dropboxdecoding.moc"
