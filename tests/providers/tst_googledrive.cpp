// The Google Drive account: its decoding without any service, then sign-in
// through the web view, tokens, account information, the upload folder and
// the resumable upload against the local stand-in of Google.
#include "cloudcredential.h"
#include "cloudview.h"
#include "fakecloud.h"
#include "filepicker.h"
#include "googledrive.h"
#include "providertest.h"
#include "qovisettings.h"
#include "tokenstorage.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QJsonDocument>
#include <QMimeDatabase>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

using namespace providertest;

namespace {

const QString kAlice = QStringLiteral("alice@example.com");
const QString kApiHost = QStringLiteral("www.googleapis.com");
const QString kAccountsHost = QStringLiteral("accounts.google.com");
const QString kTokenPath = QStringLiteral("/o/oauth2/token");
const QString kAboutPath = QStringLiteral("/drive/v2/about");
const qint64 kHourMs = 3600 * 1000;

// The Google Drive account with the operations the tests look at opened up.
class TestGoogleDrive : public GoogleDrive
{
public:
    explicit TestGoogleDrive(const char* applicationName = "Player") : GoogleDrive(applicationName) {}

    using GoogleDrive::authorizationUrl;
    using GoogleDrive::checkUploadFolderExists;
    using GoogleDrive::createFolderBody;
    using GoogleDrive::createFolderUrl;
    using GoogleDrive::createUploadFolder;
    using GoogleDrive::ensureValidToken;
    using GoogleDrive::findUnusedPort;
    using GoogleDrive::folderNameOf;
    using GoogleDrive::handleAuthorizationReply;
    using GoogleDrive::handleUploadFolderExistsReply;
    using GoogleDrive::parseEmail;
    using GoogleDrive::parseErrorReply;
    using GoogleDrive::parseTotalSpace;
    using GoogleDrive::parseUsedSpace;
    using GoogleDrive::readRefreshToken;
    using GoogleDrive::readyToUpload;
    using GoogleDrive::redirectUri;

    CloudView* view() const { return m_view; }
    const FilePicker* filePicker() const { return m_filePicker; }
    int lastCloudError() const { return m_lastCloudError; }
    void setMode(int mode) { m_mode = mode; }
    // A task waiting for its folder, without starting the driver.
    UploadTask& queueTask(const QString& targetPath)
    {
        UploadTask task;
        task.filePath = QStringLiteral("/nowhere/movie.mkv");
        task.targetPath = targetPath;
        m_uploadQueue.push_back(task);
        return m_uploadQueue.back();
    }
};

QString clientId()
{
    return QString::fromStdString(cloudCredential(kApplication, GDRIVE_CLOUD, -1));
}

QSettings* cookieSettings()
{
    static QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Qovi\\Settings"),
                              QLatin1String(kApplication));
    return &settings;
}

QJsonObject storedRecord()
{
    std::string text;
    if (!TokenStorage().readToken(kApplication, GDRIVE_CLOUD, text))
        return {};
    return QJsonDocument::fromJson(QByteArray::fromStdString(text)).object();
}

void storeRecord(const QJsonObject& record)
{
    QVERIFY(TokenStorage().saveToken(kApplication, GDRIVE_CLOUD, QJsonDocument(record).toJson().toStdString()));
}

QString storedGoogleEmail()
{
    qvtl::string email;
    if (!qvs::FetchUTF8String(kApplication, "gdEmail", email))
        return QString();
    return QString::fromUtf8(email.data(), int(email.size()));
}

QUrlQuery formOf(const QJsonObject& request)
{
    return QUrlQuery(QString::fromUtf8(body(request)));
}

QStringList formKeys(const QJsonObject& request)
{
    QStringList keys;
    for (const auto& item : formOf(request).queryItems())
        keys << item.first;
    return keys;
}

} // namespace

class GoogleDriveTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    // Without a service.
    void errorBodies_data();
    void errorBodies();
    void accountInformationMembers();
    void folderRequests_data();
    void folderRequests();
    void chooserTypesOnlyForThePlayer();
    void authorizationUrlSkipsTakenPorts();
    void redirectsThatAreNotTheLoopbackFailure_data();
    void redirectsThatAreNotTheLoopbackFailure();
    void tokenAge();

    // Against the stand-in.
    void signInThroughTheWebView();
    void newCodeKeepsAStoredRecord_data();
    void newCodeKeepsAStoredRecord();
    void repeatOnlyTheRequestsThatCanBe_data();
    void repeatOnlyTheRequestsThatCanBe();
    void failedCodeExchangeIsReported();
    void expiredTokenRefreshedBeforeUse();
    void failedRequestRepeatedAfterRefresh_data();
    void failedRequestRepeatedAfterRefresh();
    void revokedGrantIsProviderErrorTwo();
    void quotaAndEmail();
    void uploadFolderFoundOrCreated_data();
    void uploadFolderFoundOrCreated();
    void resumableUploadLandsByteForByte();

private:
    // A signed-in account as the player leaves it: token record with its
    // refresh token, e-mail address and the web session's sign-in cookie.
    QJsonObject signInDirectly(qint64 receivedAgoMs = 0);
    QJsonObject googleFile(const QString& name);
    QString makeFile(const QString& name, qint64 size);

    FakeCloud m_cloud;
    QTemporaryDir m_files;
    std::unique_ptr<TestGoogleDrive> m_account;
};

void GoogleDriveTest::initTestCase()
{
    prepareProcess();
    QVERIFY(m_cloud.start());
}

void GoogleDriveTest::init()
{
    m_cloud.reset();
    m_cloud.control("POST", QStringLiteral("/auto"), {{"enabled", false}});
    clearStoredState();
    openLog();
    m_account = std::make_unique<TestGoogleDrive>();
}

void GoogleDriveTest::cleanup()
{
    m_account.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    clearStoredState();
}

QJsonObject GoogleDriveTest::signInDirectly(qint64 receivedAgoMs)
{
    QJsonObject token = m_cloud.control("POST", QStringLiteral("/tokens/issue"),
                                        {{"service", "google"}, {"email", kAlice}, {"client_id", clientId()}});
    token.insert(QStringLiteral("received_time"), double(QDateTime::currentMSecsSinceEpoch() - receivedAgoMs));
    storeRecord(token);
    qvs::StoreUTF8String(kApplication, "gdEmail", kAlice.toStdString());
    cookieSettings()->setValue(QStringLiteral("gd/HSID"),
                               QByteArray("HSID=1; expires=Fri, 01-Jan-2100 00:00:00 GMT; domain=.google.com; path=/"));
    cookieSettings()->sync();
    return token;
}

QJsonObject GoogleDriveTest::googleFile(const QString& name)
{
    const QJsonArray files =
        m_cloud.control("GET", QStringLiteral("/files?service=google&email=") + kAlice).value("files").toArray();
    for (const QJsonValue& file : files) {
        if (file.toObject().value(QStringLiteral("name")).toString() == name)
            return file.toObject();
    }
    return {};
}

QString GoogleDriveTest::makeFile(const QString& name, qint64 size)
{
    const QString path = m_files.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    QByteArray block(1 << 16, '\0');
    for (qint64 written = 0; written < size; written += block.size()) {
        for (int i = 0; i < block.size(); i += 512)
            block[i] = char((written + i) / 512 * 131 % 251); // no two neighbouring blocks alike
        file.write(block.constData(), qMin<qint64>(block.size(), size - written));
    }
    return path;
}

// ---------------------------------------------------------------------------
// Without a service

void GoogleDriveTest::errorBodies_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");

    QTest::newRow("API error object") << QByteArray(R"({"error": {"code": 404, "message": "File not found: x."}})")
                                      << 404 << "File not found: x.";
    QTest::newRow("expired token") << QByteArray(R"({"error": {"code": 401, "message": "Invalid Credentials"}})")
                                   << 401 << "Invalid Credentials";
    QTest::newRow("refused grant") << QByteArray(R"({"error": "invalid_grant", "error_description": "Bad"})") << 2
                                   << "untouched";
    QTest::newRow("other error string") << QByteArray(R"({"error": "access_denied"})") << -1 << "untouched";
    QTest::newRow("no error member") << QByteArray(R"({"kind": "drive#about"})") << 0 << "untouched";
    QTest::newRow("empty body") << QByteArray() << 1 << "untouched";
    QTest::newRow("not JSON") << QByteArray("<html>502</html>") << 1 << "untouched";
    QTest::newRow("empty object") << QByteArray("{}") << 1 << "untouched";
}

void GoogleDriveTest::errorBodies()
{
    QFETCH(QByteArray, body);
    QFETCH(int, code);
    QFETCH(QString, message);
    std::string text = "untouched";

    QCOMPARE(m_account->parseErrorReply(body, text), code);
    QCOMPARE(QString::fromStdString(text), message);
    // Only an error is logged, with the whole body.
    const bool logged = code != 0 && !body.isEmpty() && code != 1;
    QCOMPARE(logCount(QStringLiteral("Google Drive: returned error:")), logged ? 1 : 0);
    if (logged)
        QVERIFY(logMessages().contains(QString::fromUtf8(body)));
}

void GoogleDriveTest::accountInformationMembers()
{
    const QJsonObject about = QJsonDocument::fromJson(R"({"user": {"emailAddress": "bob@example.com"},
        "quotaBytesTotal": "16106127360", "quotaBytesUsed": "1073741824.0"})")
                                  .object();
    QCOMPARE(m_account->parseEmail(about), QStringLiteral("bob@example.com"));
    QCOMPARE(m_account->parseTotalSpace(about), quint64(16106127360));
    QCOMPARE(m_account->parseUsedSpace(about), quint64(1073741824));

    // Numbers instead of strings, missing, unparsable or negative figures count as 0.
    const QJsonObject odd = QJsonDocument::fromJson(R"({"emailAddress": "top@example.com",
        "quotaBytesTotal": 16106127360, "quotaBytesUsed": "-5"})")
                                .object();
    QCOMPARE(m_account->parseEmail(odd), QString());
    QCOMPARE(m_account->parseTotalSpace(odd), quint64(0));
    QCOMPARE(m_account->parseUsedSpace(odd), quint64(0));
    QCOMPARE(m_account->parseUsedSpace(QJsonObject{{"quotaBytesUsed", "lots"}}), quint64(0));
}

void GoogleDriveTest::folderRequests_data()
{
    QTest::addColumn<QString>("targetPath");
    QTest::addColumn<QString>("folder");
    QTest::newRow("leading slash") << "/Videos" << "Videos";
    QTest::newRow("final slash") << "Videos/" << "Videos";
    QTest::newRow("nested") << "a/b" << "a";
    QTest::newRow("space") << "/My Films" << "My Films";
}

void GoogleDriveTest::folderRequests()
{
    QFETCH(QString, targetPath);
    QFETCH(QString, folder);
    QCOMPARE(TestGoogleDrive::folderNameOf(targetPath), folder);
    QCOMPARE(m_account->createFolderBody(folder),
             QStringLiteral("{\"title\": \"%1\", \"parents\": [{\"id\":\"root\"}], "
                            "\"mimeType\":\"application/vnd.google-apps.folder\"}")
                 .arg(folder));
    QCOMPARE(m_account->createFolderUrl(), QStringLiteral("https://www.googleapis.com/drive/v2/files"));

    // A search reply: the first item's id; none leaves the id empty.
    UploadTask& task = m_account->queueTask(targetPath);
    QVERIFY(!m_account->readyToUpload(&task));
    m_account->handleUploadFolderExistsReply(QJsonObject{{"files", QJsonArray{}}});
    QCOMPARE(task.folderId, QString());
    QCOMPARE(logCount(QStringLiteral("Google Drive: id for upload folder \"%1\" is \"\"").arg(targetPath)), 1);
    m_account->handleUploadFolderExistsReply(
        QJsonObject{{"files", QJsonArray{QJsonObject{{"id", "first"}}, QJsonObject{{"id", "second"}}}}});
    QCOMPARE(task.folderId, QStringLiteral("first"));
    QVERIFY(m_account->readyToUpload(&task));
    QCOMPARE(logCount(QStringLiteral("Google Drive: hanldeUploadFolderExistsReply")), 2);
}

void GoogleDriveTest::chooserTypesOnlyForThePlayer()
{
    QCOMPARE(m_account->filePicker()->supportedExtensions(),
             QStringList({"video/x-matroska", "video/qovi", "video/x-msvideo", "video/avi", "video/mp4",
                          "video/quicktime"}));
    TestGoogleDrive converter("Converter");
    QCOMPARE(converter.filePicker()->supportedExtensions(), QStringList());
    QCOMPARE(converter.cloudType(), GDRIVE_CLOUD);
}

void GoogleDriveTest::authorizationUrlSkipsTakenPorts()
{
    QTcpServer first;
    QTcpServer second;
    // Local ports: not through the stand-in's proxy.
    first.setProxy(QNetworkProxy::NoProxy);
    second.setProxy(QNetworkProxy::NoProxy);
    if (!first.listen(QHostAddress::Any, 30000) || !second.listen(QHostAddress::Any, 30001))
        QSKIP("ports 30000 and 30001 are in use on this machine");

    const QUrl url(m_account->authorizationUrl());
    QCOMPARE(url.scheme(), QStringLiteral("https"));
    QCOMPARE(url.host(), kAccountsHost);
    QCOMPARE(url.path(), QStringLiteral("/o/oauth2/auth"));
    QVERIFY(url.toString().endsWith(
        QStringLiteral("?scope=https://www.googleapis.com/auth/drive&access_type=offline&response_type=code"
                       "&redirect_uri=http://localhost:30002&client_id=")
        + clientId()));
    QVERIFY(!clientId().isEmpty());
    QVERIFY(logInOrder({"Searching unused port...", "Port 30000 already in use", "Port 30001 already in use",
                        "Port 30002 will be used"}));

    // Only probed: the port is free again at once, as the redirect needs.
    first.close();
    QCOMPARE(m_account->findUnusedPort(), quint16(30000));
}

void GoogleDriveTest::redirectsThatAreNotTheLoopbackFailure_data()
{
    QTest::addColumn<int>("networkError");
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("closes");
    const QString code = QStringLiteral("http://localhost:30000/?code=4/abc&scope=https://www.googleapis.com/auth/drive");
    QTest::newRow("code, loaded") << 0 << code << false;
    QTest::newRow("code, moved") << 301 << code << false;
    QTest::newRow("error redirect") << 1 << "http://localhost:30000/?error=access_denied" << true;
    QTest::newRow("error on another host") << 1 << "http://example.com:30000/?error=access_denied" << false;
    QTest::newRow("error in the fragment") << 1 << "http://localhost:30000/#error=access_denied" << false;
}

void GoogleDriveTest::redirectsThatAreNotTheLoopbackFailure()
{
    QFETCH(int, networkError);
    QFETCH(QString, url);
    QFETCH(bool, closes);
    m_account->view()->show();

    m_account->handleAuthorizationReply(networkError, url);

    QCOMPARE(m_account->view()->isVisible(), !closes);
    QCOMPARE(logCount(QStringLiteral("Google Drive: Error during authorization - access_denied")), closes ? 1 : 0);
    QVERIFY(!logHasLineStartingWith(QStringLiteral("Google Drive: got code")));
    QVERIFY(!logHasLineStartingWith(QStringLiteral("Google Drive: getGoogleTokens")));
    QCOMPARE(requests(m_cloud, kAccountsHost, kTokenPath).size(), 0);
}

void GoogleDriveTest::tokenAge()
{
    // No record: valid, and nothing is asked.
    QVERIFY(!m_account->isTokenExpired());
    QVERIFY(m_account->ensureValidToken());
    QCOMPARE(logCount(QStringLiteral("Google Drive: token is valid yet")), 1);
    QCOMPARE(logCount(QStringLiteral("Google Drive: m_storage->readToken")), 2);

    const double now = double(QDateTime::currentMSecsSinceEpoch());
    storeRecord({{"access_token", "a"}, {"expires_in", 3600}, {"received_time", now - kHourMs + 60000}});
    QVERIFY(!m_account->isTokenExpired());
    storeRecord({{"access_token", "a"}, {"expires_in", 3600}, {"received_time", now - kHourMs - 1}});
    QVERIFY(m_account->isTokenExpired());
    // Missing members count as 0: a record without them ran out long ago.
    storeRecord({{"access_token", "a"}});
    QVERIFY(m_account->isTokenExpired());
    QCOMPARE(m_account->readRefreshToken(), QString());
    storeRecord({{"access_token", "a"}, {"refresh_token", "r"}});
    QCOMPARE(m_account->readRefreshToken(), QStringLiteral("r"));

    // Expired without a refresh token: no valid token, nothing sent.
    storeRecord({{"access_token", "a"}});
    QVERIFY(!m_account->ensureValidToken());
    QCOMPARE(logCount(QStringLiteral("Google Drive: token expired, need to refresh")), 1);
    QCOMPARE(logCount(QStringLiteral("Google Drive: refreshToken is empty")), 1);
    QCOMPARE(requests(m_cloud, kAccountsHost, kTokenPath).size(), 0);
}

// ---------------------------------------------------------------------------
// Against the stand-in

void GoogleDriveTest::signInThroughTheWebView()
{
    m_cloud.control("POST", QStringLiteral("/auto"), {{"enabled", true}, {"delay_ms", 50}, {"email", kAlice}});
    QSignalSpy connected(m_account.get(), &CloudBase::connectedToCloud);
    QSignalSpy failures(m_account.get(), &CloudBase::networkError);

    QVERIFY(m_account->connectToCloud());
    QVERIFY(m_account->view()->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, 30000);

    QCOMPARE(connected.at(0).at(0).value<CLOUD_TYPE>(), GDRIVE_CLOUD);
    QCOMPARE(connected.at(0).at(1).toString(), kAlice);
    QCOMPARE(failures.count(), 0);
    QVERIFY(!m_account->view()->isVisible());
    QCOMPARE(storedGoogleEmail(), kAlice);
    const QJsonObject record = storedRecord();
    QVERIFY(!record.value("access_token").toString().isEmpty());
    QVERIFY(!record.value("refresh_token").toString().isEmpty());
    QVERIFY(record.value("received_time").toDouble() > 0);
    QVERIFY(!m_account->isTokenExpired());
    QVERIFY(m_account->isConnected(false));

    // The consent page asked for offline access with the loopback redirect.
    const QJsonArray consent = requests(m_cloud, kAccountsHost, QStringLiteral("/o/oauth2/auth"));
    QVERIFY(!consent.isEmpty());
    const QUrlQuery asked(consent.first().toObject().value("query").toString());
    QCOMPARE(asked.queryItemValue("access_type"), QStringLiteral("offline"));
    QCOMPARE(asked.queryItemValue("response_type"), QStringLiteral("code"));
    QCOMPARE(asked.queryItemValue("client_id"), clientId());
    const QString redirect = asked.queryItemValue("redirect_uri", QUrl::FullyDecoded);
    QVERIFY2(redirect.startsWith(QStringLiteral("http://localhost:")), qPrintable(redirect));

    // The code went to the token endpoint once, as a form in this order.
    const QJsonArray exchanges = requests(m_cloud, kAccountsHost, kTokenPath);
    QCOMPARE(exchanges.size(), 1);
    const QJsonObject exchange = exchanges.first().toObject();
    QCOMPARE(exchange.value("method").toString(), QStringLiteral("POST"));
    QCOMPARE(formKeys(exchange), QStringList({"code", "client_id", "client_secret", "redirect_uri", "grant_type"}));
    const QUrlQuery form = formOf(exchange);
    QCOMPARE(form.queryItemValue("grant_type"), QStringLiteral("authorization_code"));
    QCOMPARE(form.queryItemValue("client_secret"),
             QString::fromStdString(cloudCredential(kApplication, GDRIVE_CLOUD, 0)));
    QCOMPARE(form.queryItemValue("redirect_uri", QUrl::FullyDecoded), redirect);
    QCOMPARE(header(exchange, "Authorization"), QString());
    QCOMPARE(header(exchange, "Content-Type"), QStringLiteral("application/x-www-form-urlencoded"));
    const QString code = form.queryItemValue("code", QUrl::FullyDecoded);
    QVERIFY(!code.isEmpty());
    QVERIFY(logInOrder({QStringLiteral("Google Drive: got code ") + code, "Google Drive: getGoogleTokens ... ",
                        "successfully get Google Drive token", "Google Drive: requestUserEmail",
                        "Google Drive: Got email alice@example.com"}));
    // The e-mail request carried the new token.
    const QJsonArray about = requests(m_cloud, kApiHost, kAboutPath);
    QCOMPARE(about.size(), 1);
    QCOMPARE(header(about.first().toObject(), "Authorization"),
             QStringLiteral("Bearer ") + record.value("access_token").toString());
}

void GoogleDriveTest::newCodeKeepsAStoredRecord_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QStringList>("steps");
    QTest::newRow("connecting") << int(CloudBase::CONNECTING_MODE)
                                << QStringList{"Google Drive: got code 4/new", "Google Drive: requestUserEmail"};
    QTest::newRow("chooser") << int(CloudBase::CHOOSER_OPENING_MODE)
                             << QStringList{"Google Drive: got code 4/new", "starting chooser",
                                            "Google Drive: opening chooser", "Google Drive: requestUserEmail"};
    QTest::newRow("uploading") << int(CloudBase::UPLOADING_MODE)
                               << QStringList{"Google Drive: got code 4/new", "Google Drive: requestUserEmail",
                                              "Google Drive: Check if upload folder \"/Videos\" already exists"};
}

void GoogleDriveTest::newCodeKeepsAStoredRecord()
{
    QFETCH(int, mode);
    QFETCH(QStringList, steps);
    const QJsonObject token = signInDirectly();
    QSignalSpy connected(m_account.get(), &CloudBase::connectedToCloud);
    const UploadTask* task = mode == CloudBase::UPLOADING_MODE ? &m_account->queueTask(QStringLiteral("/Videos")) : nullptr;
    m_account->setMode(mode);
    m_account->view()->show();

    m_account->handleAuthorizationReply(1, QStringLiteral("http://localhost:30000/?code=4/new&scope=x"));

    QCOMPARE(connected.count(), 1);
    // The sign-in page is gone; in the chooser mode the view holds the chooser page instead.
    if (mode == CloudBase::CHOOSER_OPENING_MODE)
        QCOMPARE(m_account->view()->url(), QUrl(QString::fromLatin1(CloudView::kChooserBaseUrl)));
    else
        QVERIFY(!m_account->view()->isVisible());
    QCOMPARE(requests(m_cloud, kAccountsHost, kTokenPath).size(), 0);
    QCOMPARE(storedRecord().value("access_token"), token.value("access_token"));
    QVERIFY(logInOrder(steps));
    QCOMPARE(logCount(QStringLiteral("starting chooser")), mode == CloudBase::CHOOSER_OPENING_MODE ? 1 : 0);
    if (task)
        QCOMPARE(task->folderId, googleFile(QStringLiteral("Videos")).value("id").toString());
    else
        QVERIFY(!logHasLineStartingWith(QStringLiteral("Google Drive: Check if upload folder")));
}

void GoogleDriveTest::repeatOnlyTheRequestsThatCanBe_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("repeated");
    QTest::newRow("grant check") << int(REVOKE_STATUS_REQUEST) << 0;
    QTest::newRow("e-mail") << int(EMAIL_REQUEST) << 0;
    QTest::newRow("space") << int(FREESPACE_REQUEST) << 1;
}

void GoogleDriveTest::repeatOnlyTheRequestsThatCanBe()
{
    QFETCH(int, kind);
    QFETCH(int, repeated);
    signInDirectly();
    // A reply that failed for lack of authorization, marked as the engine marks its own.
    QNetworkAccessManager manager;
    QNetworkRequest request(QUrl(QStringLiteral("https://www.googleapis.com/drive/v2/about")));
    request.setRawHeader("Authorization", "Bearer not-a-token");
    std::unique_ptr<QNetworkReply> failed(manager.get(request));
    QSignalSpy done(failed.get(), &QNetworkReply::finished);
    QVERIFY(done.wait(10000));
    QCOMPARE(failed->error(), QNetworkReply::AuthenticationRequiredError);
    failed->setProperty("request_id", kind);
    failed->setProperty("sync_request", true);
    m_cloud.control("DELETE", QStringLiteral("/record"));

    const QString token = m_account->sendRefreshTokenSyncRequest(failed.get());

    QVERIFY(!token.isEmpty());
    QCOMPARE(token, storedRecord().value("access_token").toString());
    QCOMPARE(logCount(QStringLiteral("Google Drive: repeat previous %1").arg(CloudBase::requestTypeName(kind))), 1);
    QCOMPARE(requests(m_cloud, kAccountsHost, kTokenPath).size(), 1);
    QCOMPARE(requests(m_cloud, kApiHost, kAboutPath).size(), repeated);
}

void GoogleDriveTest::failedCodeExchangeIsReported()
{
    m_cloud.addFault({{"path", kTokenPath}, {"kind", "status"}, {"status", 503}});
    QSignalSpy failures(m_account.get(), &CloudBase::networkError);
    m_account->setMode(CloudBase::CONNECTING_MODE);

    m_account->handleAuthorizationReply(1, QStringLiteral("http://localhost:30000/?code=4/abc&scope=x"));

    QCOMPARE(failures.count(), 1);
    QCOMPARE(failures.at(0).at(0).toString(), QStringLiteral("Failed to get Google Drive token because of network timeout"));
    QVERIFY(storedRecord().isEmpty());
    // The flow goes on to the e-mail request, which cannot succeed.
    QVERIFY(logInOrder({"Google Drive: getGoogleTokens ... ", "Failed to get Google Drive token because of network timeout",
                        "Google Drive: requestUserEmail"}));
    QCOMPARE(requests(m_cloud, kAccountsHost, kTokenPath).size(), 1);
    QCOMPARE(storedGoogleEmail(), QString());
}

void GoogleDriveTest::expiredTokenRefreshedBeforeUse()
{
    const QJsonObject old = signInDirectly(kHourMs + 1000);
    QVERIFY(m_account->isTokenExpired());

    QVERIFY(m_account->ensureValidToken());

    QVERIFY(!m_account->isTokenExpired());
    const QJsonObject record = storedRecord();
    const QString fresh = record.value("access_token").toString();
    QVERIFY(!fresh.isEmpty());
    QVERIFY(fresh != old.value("access_token").toString());
    // The refresh token stays: Google does not send it again.
    QCOMPARE(record.value("refresh_token"), old.value("refresh_token"));
    QVERIFY(logInOrder({"Google Drive: token expired, need to refresh", "Google Drive: sendRefreshTokenSyncRequest",
                        "Google Drive: sendRefreshTokenSyncRequest - Successfully"}));

    const QJsonArray refreshes = requests(m_cloud, kAccountsHost, kTokenPath);
    QCOMPARE(refreshes.size(), 1);
    const QJsonObject refresh = refreshes.first().toObject();
    QCOMPARE(formKeys(refresh), QStringList({"refresh_token", "client_id", "client_secret", "grant_type"}));
    QCOMPARE(formOf(refresh).queryItemValue("refresh_token", QUrl::FullyDecoded),
             old.value("refresh_token").toString());
    QCOMPARE(formOf(refresh).queryItemValue("grant_type"), QStringLiteral("refresh_token"));

    // The new token works.
    QSignalSpy connected(m_account.get(), &CloudBase::connectedToCloud);
    QVERIFY(m_account->requestUserEmail());
    QCOMPARE(connected.count(), 1);
    const QJsonArray about = requests(m_cloud, kApiHost, kAboutPath);
    QCOMPARE(header(about.last().toObject(), "Authorization"), QStringLiteral("Bearer ") + fresh);
}

void GoogleDriveTest::failedRequestRepeatedAfterRefresh_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("space") << "FREESPACE_REQUEST";
    QTest::newRow("folder check") << "CHECK_FOLDER_REQUEST";
}

void GoogleDriveTest::failedRequestRepeatedAfterRefresh()
{
    QFETCH(QString, kind);
    const QJsonObject old = signInDirectly();
    // The service no longer takes the token, though its lifetime says otherwise.
    m_cloud.control("POST", QStringLiteral("/tokens/expire"), {{"service", "google"}, {"email", kAlice}});

    QString path;
    if (kind == QLatin1String("FREESPACE_REQUEST")) {
        path = kAboutPath;
        const QJsonObject alice = m_cloud.control("GET", QStringLiteral("/users?service=google"))
                                      .value("users")
                                      .toArray()
                                      .first()
                                      .toObject();
        const auto total = quint64(alice.value("quota_total").toDouble());
        const auto used = quint64(alice.value("used").toDouble());
        QCOMPARE(m_account->getFreeSpace(true), total - used);
    } else {
        path = QStringLiteral("/drive/v3/files");
        const UploadTask& task = m_account->queueTask(QStringLiteral("/Videos"));
        m_account->checkUploadFolderExists();
        QCOMPARE(task.folderId, googleFile(QStringLiteral("Videos")).value("id").toString());
        QVERIFY(!task.folderId.isEmpty());
    }

    QVERIFY(logInOrder({"Google Drive: sendRefreshTokenSyncRequest - Successfully",
                        QStringLiteral("Google Drive: repeat previous ") + kind}));
    const QString fresh = storedRecord().value("access_token").toString();
    QVERIFY(fresh != old.value("access_token").toString());
    QCOMPARE(requests(m_cloud, kAccountsHost, kTokenPath).size(), 1);
    // Sent twice: with the old token, then with the new one.
    const QJsonArray sent = requests(m_cloud, kApiHost, path);
    QCOMPARE(sent.size(), 2);
    QCOMPARE(header(sent.at(0).toObject(), "Authorization"),
             QStringLiteral("Bearer ") + old.value("access_token").toString());
    QCOMPARE(sent.at(0).toObject().value("status").toInt(), 401);
    QCOMPARE(header(sent.at(1).toObject(), "Authorization"), QStringLiteral("Bearer ") + fresh);
    QCOMPARE(sent.at(1).toObject().value("status").toInt(), 200);
}

void GoogleDriveTest::revokedGrantIsProviderErrorTwo()
{
    signInDirectly();
    int questions = 0;
    connect(m_account.get(), &CloudBase::failedRetry, this, [&questions] { ++questions; });
    QVERIFY(m_account->checkForRevokingApp());
    QCOMPARE(m_account->lastCloudError(), 0);

    m_cloud.control("POST", QStringLiteral("/revoke"), {{"service", "google"}, {"email", kAlice}});
    QVERIFY(!m_account->checkForRevokingApp());
    QCOMPARE(m_account->lastCloudError(), 2);
    QCOMPARE(questions, 0);
    QCOMPARE(logCount(QStringLiteral("Google Drive: sendRefreshTokenSyncRequest - Failed")), 1);
    QVERIFY(logMessages().contains(QStringLiteral("Google Drive: returned error:")));

    // A refresh refused while the user does not ask to retry: one request, no token.
    openLog(QStringLiteral("direct"));
    m_cloud.control("DELETE", QStringLiteral("/record"));
    QCOMPARE(m_account->sendRefreshTokenSyncRequest(), QString());
    QCOMPARE(m_account->lastCloudError(), 2);
    QCOMPARE(requests(m_cloud, kAccountsHost, kTokenPath).size(), 1);
    QCOMPARE(questions, 0);

    // Asked for space, the account gives up the lost sign-in.
    QSignalSpy disconnected(m_account.get(), &CloudBase::cloudDisconnected);
    QCOMPARE(m_account->getFreeSpace(true), CloudBase::kUnknownSpace);
    QCOMPARE(disconnected.count(), 1);
    QVERIFY(storedRecord().isEmpty());
    QCOMPARE(storedGoogleEmail(), QString());
}

void GoogleDriveTest::quotaAndEmail()
{
    const QJsonObject token = signInDirectly();
    const QJsonObject alice =
        m_cloud.control("GET", QStringLiteral("/users?service=google")).value("users").toArray().first().toObject();
    const auto total = quint64(alice.value("quota_total").toDouble());
    const auto used = quint64(alice.value("used").toDouble());
    QVERIFY(total > used && used > 0);

    QCOMPARE(m_account->getFreeSpace(true), total - used);
    QCOMPARE(logCount(QStringLiteral("Disk space: used = %1, free = %2").arg(used).arg(total - used)), 1);

    m_cloud.control("POST", QStringLiteral("/files"),
                    {{"service", "google"}, {"email", kAlice}, {"name", "new.mp4"}, {"parent", "root"}, {"size", 4096}});
    QSignalSpy received(m_account.get(), &CloudBase::freeSpaceReceived);
    m_account->getFreeSpace(false);
    QTRY_COMPARE_WITH_TIMEOUT(received.count(), 1, 10000);
    QCOMPARE(received.at(0).at(0).toULongLong(), total - used - 4096);

    QSignalSpy connected(m_account.get(), &CloudBase::connectedToCloud);
    qvs::StoreUTF8String(kApplication, "gdEmail", "");
    QVERIFY(m_account->requestUserEmail());
    QCOMPARE(connected.count(), 1);
    QCOMPARE(connected.at(0).at(1).toString(), kAlice);
    QCOMPARE(storedGoogleEmail(), kAlice);

    // One resource for both, asked with GET and the bearer token.
    const QJsonArray about = requests(m_cloud, kApiHost, kAboutPath);
    QCOMPARE(about.size(), 3);
    for (const QJsonValue& request : about) {
        QCOMPARE(request.toObject().value("method").toString(), QStringLiteral("GET"));
        QCOMPARE(header(request.toObject(), "Authorization"),
                 QStringLiteral("Bearer ") + token.value("access_token").toString());
    }
}

void GoogleDriveTest::uploadFolderFoundOrCreated_data()
{
    QTest::addColumn<QString>("targetPath");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<bool>("exists");
    QTest::newRow("found") << "/Videos" << "Videos" << true;
    QTest::newRow("created") << "/New Films" << "New Films" << false;
}

void GoogleDriveTest::uploadFolderFoundOrCreated()
{
    QFETCH(QString, targetPath);
    QFETCH(QString, folder);
    QFETCH(bool, exists);
    signInDirectly();
    const UploadTask& task = m_account->queueTask(targetPath);

    QCOMPARE(m_account->checkUploadFolderExists(), exists);
    if (!exists) {
        QCOMPARE(task.folderId, QString());
        QVERIFY(m_account->createUploadFolder());
    }

    const QJsonObject stored = googleFile(folder);
    QVERIFY2(!stored.isEmpty(), qPrintable(folder));
    QCOMPARE(task.folderId, stored.value("id").toString());

    // The search: v3, the name quoted and the whole expression percent-encoded.
    const QJsonArray searches = requests(m_cloud, kApiHost, QStringLiteral("/drive/v3/files"));
    QCOMPARE(searches.size(), 1);
    const QString url = searches.first().toObject().value("url").toString();
    QVERIFY2(url.endsWith(QStringLiteral("/drive/v3/files?orderBy=folder&q=name%20%3D%20%27")
                          + QString::fromLatin1(QUrl::toPercentEncoding(folder))
                          + QStringLiteral("%27%20and%20trashed%20%3D%20false")),
             qPrintable(url));
    QCOMPARE(logCount(QStringLiteral("Google Drive: Check if upload folder \"%1\" already exists").arg(targetPath)), 1);

    // The creation: v2, a folder of that title in the root.
    const QJsonArray creations = requests(m_cloud, kApiHost, QStringLiteral("/drive/v2/files"));
    QCOMPARE(creations.size(), exists ? 0 : 1);
    if (!exists) {
        const QJsonObject creation = creations.first().toObject();
        QCOMPARE(creation.value("method").toString(), QStringLiteral("POST"));
        QCOMPARE(header(creation, "Content-Type"), QStringLiteral("application/json"));
        QCOMPARE(QString::fromUtf8(body(creation)), m_account->createFolderBody(folder));
        QCOMPARE(logCount(QStringLiteral("Google Drive: upload folder %1 created, folder id - %2")
                              .arg(targetPath, task.folderId)),
                 1);
    }
}

void GoogleDriveTest::resumableUploadLandsByteForByte()
{
    const QJsonObject token = signInDirectly();
    const qint64 size = 3 * 1024 * 1024 + 123;
    const QString path = makeFile(QStringLiteral("movie.mkv"), size);
    QVERIFY(!path.isEmpty());
    QFile local(path);
    QVERIFY(local.open(QIODevice::ReadOnly));
    const QByteArray sha = QCryptographicHash::hash(local.readAll(), QCryptographicHash::Sha256).toHex();
    const QString mime = QMimeDatabase().mimeTypeForFile(path).name();
    QSignalSpy finished(m_account.get(), &CloudBase::uploadFinished);
    QSignalSpy progress(m_account.get(), &CloudBase::uploadProgress);
    QSignalSpy failed(m_account.get(), &CloudBase::uploadFailed);

    QVERIFY(m_account->uploadFile(path, QStringLiteral("/Uploads")));
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 30000);

    QCOMPARE(failed.count(), 0);
    QCOMPARE(finished.at(0).at(0).toString(), path);
    QVERIFY(m_account->uploadQueue().empty());
    QVERIFY(!progress.isEmpty());
    QCOMPARE(progress.last().at(1).toLongLong(), size);
    QCOMPARE(progress.last().at(2).toLongLong(), size);

    // The file is in the new folder, byte for byte.
    const QJsonObject folder = googleFile(QStringLiteral("Uploads"));
    const QJsonObject uploaded = googleFile(QStringLiteral("movie.mkv"));
    QVERIFY(!folder.isEmpty());
    QCOMPARE(uploaded.value("size").toVariant().toLongLong(), size);
    QCOMPARE(uploaded.value("sha256").toString().toLatin1(), sha);
    QVERIFY2(QJsonDocument(uploaded).toJson().contains(folder.value("id").toString().toUtf8()),
             QJsonDocument(uploaded).toJson().constData());

    // A session opened with the file's facts, then one PUT without the token.
    const QJsonArray starts = requests(m_cloud, kApiHost, QStringLiteral("/upload/drive/v3/files"));
    QCOMPARE(starts.size(), 2);
    const QJsonObject start = starts.at(0).toObject();
    const QJsonObject put = starts.at(1).toObject();
    QCOMPARE(start.value("method").toString(), QStringLiteral("POST"));
    QCOMPARE(start.value("query").toString(), QStringLiteral("uploadType=resumable"));
    QCOMPARE(header(start, "Authorization"), QStringLiteral("Bearer ") + token.value("access_token").toString());
    QCOMPARE(header(start, "Content-Type"), QStringLiteral("application/json; charset=UTF-8"));
    QCOMPARE(header(start, "X-Upload-Content-Length"), QString::number(size));
    QCOMPARE(header(start, "X-Upload-Content-Type"), mime);
    const QJsonObject metadata = QJsonDocument::fromJson(body(start)).object();
    QCOMPARE(metadata.value("name").toString(), QStringLiteral("movie.mkv"));
    QCOMPARE(metadata.value("parents").toArray(), QJsonArray{folder.value("id")});
    QCOMPARE(put.value("method").toString(), QStringLiteral("PUT"));
    QCOMPARE(header(put, "Authorization"), QString());
    QCOMPARE(header(put, "Content-Type"), mime);
    QCOMPARE(header(put, "Content-Length"), QString::number(size));
    QString location;
    for (const QJsonValue& pair : start.value("response_headers").toArray()) {
        if (pair.toArray().at(0).toString().compare(QLatin1String("Location"), Qt::CaseInsensitive) == 0)
            location = pair.toArray().at(1).toString();
    }
    QVERIFY(!location.isEmpty());
    QCOMPARE(put.value("url").toString(), location);
    QCOMPARE(logCount(QStringLiteral("Mime - ") + mime), 2);
    QCOMPARE(logCount(QStringLiteral("FileSize - %1").arg(size)), 2);
    QCOMPARE(logCount(QStringLiteral("task %1 was finished").arg(path)), 1);
}

QTEST_MAIN(GoogleDriveTest)
#include "tst_googledrive.moc"
