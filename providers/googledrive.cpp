#include "googledrive.h"

#include "accounttokens.h"
#include "cloudcredential.h"
#include "cloudlog.h"
#include "cloudview.h"
#include "driveanswers.h"
#include "drivefiles.h"
#include "filepicker.h"
#include "storedtokens.h"
#include "googleoauth.h"

#include <QDateTime>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTcpSocket>
#include <QUrl>
#include <QUrlQuery>

const char* const GoogleDrive::kAccountsHost = "accounts.google.com";
const char* const GoogleDrive::kApiHost = DriveAnswers::kApiHost;

namespace {

const quint16 kLastPort = 65535;

ICloudLog* logger()
{
    return CloudLog::instance();
}

const QStringList& supportedTypes()
{
    static const QStringList types{"video/x-matroska", "video/qovi", "video/x-msvideo",
                                   "video/avi",        "video/mp4",  "video/quicktime"};
    return types;
}

// Google sends quota figures as JSON strings of decimal numbers. A negative,
// oversized or not-a-number value must not reach the integer conversion,
// whose result would be undefined.
quint64 byteCount(const QJsonValue& value)
{
    const double number = value.toString().toDouble();
    if (!(number > 0))
        return 0;
    if (number >= 18446744073709551616.0)
        return ~quint64(0);
    return quint64(number);
}

// The form of a token request: its items in their order, pretty-decoded.
QByteArray formBody(const QUrlQuery& form)
{
    return form.toString(QUrl::PrettyDecoded).toLocal8Bit();
}

} // namespace

const ServiceDescriptor& GoogleDrive::service()
{
    static const ServiceDescriptor drive{
        GDRIVE_CLOUD,
        "Google Drive",
        ":/QoviCloudConnect/gdrivechooser.html",
        {"gd", "accounts.google", "", "logout", "", "HSID", CookieRule::KeepEveryCookie},
        {Qt::WindowFlags(), QSize(), QSize(802, 652), true},
        {QStringLiteral("drive.google.com"), QStringLiteral("docs.google.com")},
    };
    return drive;
}

GoogleDrive::GoogleDrive(const qvtl::string& applicationName)
    : CloudBase(service(), applicationName.str(), StoredTokens::emailKey(GDRIVE_CLOUD))
{
    m_filePicker->setAppKey(clientId());
    if (isPlayerSection())
        m_filePicker->setSupportedExtensions(supportedTypes());
    setOAuthClient(std::make_unique<GoogleOAuth>(m_applicationName));
}

GoogleDrive::~GoogleDrive()
{
    // Its jobs go before the files they use.
    closeNativeChooser();
}

DriveFiles* GoogleDrive::files()
{
    if (!m_files) {
        m_tokens = std::make_unique<AccountTokens>(AccountTokens::Operations{
            [this] { return accessToken(); }, [this] { return isTokenExpired(); },
            [this](std::function<void(const CloudError&)> then) { renewAccessToken(std::move(then)); }});
        m_files = std::make_unique<DriveFiles>(*m_tokens);
    }
    return m_files.get();
}

ListingSource* GoogleDrive::listingSource()
{
    return files();
}

QString GoogleDrive::clientId() const
{
    return QString::fromStdString(cloudCredential(m_applicationName, GDRIVE_CLOUD, -1));
}

QString GoogleDrive::clientSecret() const
{
    return QString::fromStdString(cloudCredential(m_applicationName, GDRIVE_CLOUD, 0));
}

QString GoogleDrive::hostUrl(const char* host, const char* path)
{
    return QStringLiteral("https://%1%2").arg(QLatin1String(host), QLatin1String(path));
}

QUrl GoogleDrive::tokenEndpoint()
{
    return QUrl(hostUrl(kAccountsHost, "/o/oauth2/token"));
}

// ---------------------------------------------------------------------------
// Sign-in

QString GoogleDrive::redirectUri()
{
    return QStringLiteral("http://localhost");
}

quint16 GoogleDrive::findUnusedPort() const
{
    logger()->logLine(LOG_INF, "Searching unused port...");
    auto* socket = new QTcpSocket();
    // A probe of a local port: the application's proxy has no say in it.
    socket->setProxy(QNetworkProxy::NoProxy);
    quint16 port = kFirstPort;
    while (port != kLastPort && !socket->bind(QHostAddress::Any, port, QAbstractSocket::DontShareAddress)) {
        logger()->logLine(LOG_WRN, "Port %u already in use", unsigned(port));
        ++port;
    }
    // Only probed: the redirect to the port must be refused.
    socket->close();
    socket->deleteLater();
    logger()->logLine(LOG_INF, "Port %u will be used", unsigned(port));
    return port;
}

QString GoogleDrive::authorizationUrl()
{
    const quint16 port = findUnusedPort();
    // Left as text: the core parses it tolerantly when it loads it.
    return hostUrl(kAccountsHost, "/o/oauth2/auth") + QStringLiteral("?scope=") + hostUrl(kApiHost, "/auth/drive")
        + QStringLiteral("&access_type=offline&response_type=code&redirect_uri=%1:%2&client_id=%3")
              .arg(redirectUri(), QString::number(port), clientId());
}

void GoogleDrive::handleAuthorizationReply(int networkError, const QString& url)
{
    // The loopback redirect shows only by its refused connection.
    if (networkError != QNetworkReply::ConnectionRefusedError)
        return;
    const QUrlQuery query(QUrl(url).query());
    const QString code = query.queryItemValue(m_codeKey, QUrl::FullyDecoded);
    const QString error = query.queryItemValue(m_errorKey, QUrl::FullyDecoded);

    if (!code.isEmpty()) {
        logger()->logLine(LOG_INF, "%s: got code %s", name(), code.toUtf8().constData());
        if (m_view)
            m_view->close();
        if (m_mode == CHOOSER_OPENING_MODE) {
            logger()->logLine(LOG_INF, "starting chooser");
            showChooser();
        }
        if (!finishSignIn(code))
            emit signInFailed(tr("%1: the sign-in did not complete: %2").arg(QLatin1String(name()), lastError().text()));
        if (m_mode == UPLOADING_MODE && !checkUploadFolderExists())
            createUploadFolder();
    } else if (!error.isEmpty() && url.startsWith(redirectUri())) {
        logger()->logLine(LOG_ERR, "%s: Error during authorization - %s", name(), error.toUtf8().constData());
        if (m_view)
            m_view->close();
        emit signInFailed(tr("%1 refused the sign-in: %2").arg(QLatin1String(name()), error));
    }
}

bool GoogleDrive::finishSignIn(const QString& code)
{
    // A stored record that still works is kept: the new code is not needed.
    // One the service refuses is replaced with the code's tokens, or the
    // user who just signed in again would stay refused.
    if (!accessToken().isEmpty() && requestUserEmail())
        return true;
    return exchangeCode(code) && requestUserEmail();
}

bool GoogleDrive::exchangeCode(const QString& code)
{
    QNetworkReply* reply = getGoogleTokens(code);
    if (!reply)
        return false;
    // The core's reply handling stores a token request's answer.
    reply->setProperty(m_requestIdKey, REFRESH_TOKEN_REQUEST);
    if (waitForReply(reply, kRequestTimeoutMs) == 0) {
        logger()->logLine(LOG_INF, "successfully get %s token", name());
        return true;
    }
    const QString message = tr("Failed to get %1 token because of network timeout").arg(QLatin1String(name()));
    logger()->logLine(LOG_ERR, "%s", message.toUtf8().constData());
    logger()->logLine(LOG_INF, "---\n");
    emit networkError(message);
    return false;
}

QNetworkReply* GoogleDrive::getGoogleTokens(const QString& code)
{
    logger()->logLine(LOG_INF, "%s: getGoogleTokens ... ", name());
    if (!m_networkManager)
        return nullptr;
    const quint16 port = findUnusedPort();
    QUrlQuery form;
    form.addQueryItem(m_codeKey, code);
    form.addQueryItem(m_clientIdKey, clientId());
    form.addQueryItem(m_clientSecretKey, clientSecret());
    form.addQueryItem(QStringLiteral("redirect_uri"), QStringLiteral("%1:%2").arg(redirectUri()).arg(port));
    form.addQueryItem(m_grantTypeKey, QStringLiteral("authorization_code"));

    QNetworkRequest request(tokenEndpoint());
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::PreferCache);
    // The type Qt gives a posted form anyway, set here to spare its warning.
    request.setRawHeader(m_contentTypeKey, "application/x-www-form-urlencoded");
    logger()->logLine(LOG_INF, "Method - post");
    logger()->logLine(LOG_INF, "Url - %s", request.url().toString().toUtf8().constData());
    QNetworkReply* reply = m_networkManager->post(request, formBody(form));
    watchReply(reply);
    return reply;
}

// ---------------------------------------------------------------------------
// Tokens

bool GoogleDrive::isTokenExpired() const
{
    std::string text;
    if (!m_record.read(text) || text.empty()) {
        logger()->logLine(LOG_WRN, "%s: m_storage->readToken", name());
        return false;
    }
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(text));
    if (document.isEmpty())
        return false;
    const QJsonObject record = document.object();
    if (TokenRecord::madeInBrowser(record))
        return browserTokenDue();
    // No safety margin: a token is used up to the end of its lifetime.
    const double receivedTime = record.value(QStringLiteral("received_time")).toDouble();
    const double lifetimeMs = record.value(QStringLiteral("expires_in")).toDouble() * 1000;
    return double(QDateTime::currentMSecsSinceEpoch()) > receivedTime + lifetimeMs;
}

bool GoogleDrive::ensureValidToken()
{
    if (madeInBrowser())
        return CloudBase::ensureValidToken();
    if (!isTokenExpired()) {
        // Without any record too: the missing token shows as an
        // authorization error of the next call.
        logger()->logLine(LOG_INF, "%s: token is valid yet", name());
        return true;
    }
    logger()->logLine(LOG_WRN, "%s: token expired, need to refresh", name());
    return !sendRefreshTokenSyncRequest(nullptr).isEmpty();
}

QString GoogleDrive::readRefreshToken()
{
    const QJsonObject record = m_record.object();
    if (record.isEmpty())
        return QString();
    return refreshTokenFromJson(record);
}

QString GoogleDrive::refreshTokenFromJson(const QJsonObject& json)
{
    if (json.isEmpty())
        return QString();
    return json.value(m_refreshTokenKey).toString();
}

QString GoogleDrive::sendRefreshTokenSyncRequest(QNetworkReply* failed)
{
    if (madeInBrowser())
        return CloudBase::sendRefreshTokenSyncRequest(failed);
    if (!m_networkManager)
        return QString();
    logger()->logLine(LOG_INF, "%s: sendRefreshTokenSyncRequest", name());
    const QString refreshToken = readRefreshToken();
    if (refreshToken.isEmpty()) {
        logger()->logLine(LOG_WRN, "%s: refreshToken is empty", name());
        logger()->logLine(LOG_INF, "---\n");
        return QString();
    }
    QUrlQuery form;
    form.addQueryItem(m_refreshTokenKey, refreshToken);
    form.addQueryItem(m_clientIdKey, clientId());
    form.addQueryItem(m_clientSecretKey, clientSecret());
    form.addQueryItem(m_grantTypeKey, QStringLiteral("refresh_token"));
    const QByteArray body = formBody(form);

    // Read before the refresh: the failed reply may be released meanwhile.
    int failedKind = -1;
    bool failedSync = false;
    if (failed) {
        const QVariant kind = failed->property(m_requestIdKey);
        failedKind = kind.isValid() ? kind.toInt() : -1;
        failedSync = failed->property(m_syncRequestKey).toBool();
    }
    for (;;) {
        const int result =
            sendRequest(QNetworkAccessManager::PostOperation, tokenEndpoint(), REFRESH_TOKEN_REQUEST, true, &body, false);
        logger()->logLine(LOG_INF, "%s: sendRefreshTokenSyncRequest - %s", name(),
                          result == 0 ? "Successfully" : "Failed");
        logger()->logLine(LOG_INF, "---\n");
        if (result == 0) {
            if (failed)
                repeatRequest(failedKind, failedSync);
            return accessToken();
        }
        if (!m_retry)
            return QString();
    }
}

// ---------------------------------------------------------------------------
// Account information and errors

int GoogleDrive::sendAboutRequest(int requestKind, bool sync)
{
    return sendRequest(QNetworkAccessManager::GetOperation, QUrl(hostUrl(kApiHost, "/drive/v2/about")), requestKind,
                       sync, nullptr, false);
}

int GoogleDrive::sendAboutAccountSyncRequest(int requestKind)
{
    return sendAboutRequest(requestKind, true);
}

int GoogleDrive::sendFreeSpaceRequest(bool sync)
{
    return sendAboutRequest(FREESPACE_REQUEST, sync);
}

QString GoogleDrive::parseEmail(const QJsonObject& json)
{
    return json.value(QStringLiteral("user")).toObject().value(QStringLiteral("emailAddress")).toString();
}

quint64 GoogleDrive::parseTotalSpace(const QJsonObject& json)
{
    return byteCount(json.value(QStringLiteral("quotaBytesTotal")));
}

quint64 GoogleDrive::parseUsedSpace(const QJsonObject& json)
{
    return byteCount(json.value(QStringLiteral("quotaBytesUsed")));
}

int GoogleDrive::parseErrorReply(const QByteArray& body, std::string& message)
{
    if (body.isEmpty())
        return 1;
    const QJsonObject object = QJsonDocument::fromJson(body).object();
    if (object.isEmpty())
        return 1;
    int result = 0;
    const QJsonValue error = object.value(m_errorKey);
    if (error.isObject()) {
        // The API's own error object: its HTTP-style code and message.
        const QJsonObject details = error.toObject();
        result = details.value(m_codeKey).toInt();
        message = details.value(QStringLiteral("message")).toString().toStdString();
    } else {
        // The token endpoint's error string; a refused grant means signing in again.
        const QString text = error.toString();
        if (text.contains(QLatin1String("invalid_grant")))
            result = 2;
        else if (!text.isEmpty())
            result = -1;
    }
    if (result != 0)
        logger()->logLine(LOG_ERR, "%s: returned error:\n%s", name(), body.constData());
    return result;
}

CloudError GoogleDrive::describeError(const QNetworkReply* reply, const QByteArray& body)
{
    return DriveAnswers::describe(reply, body);
}

bool GoogleDrive::usableReply(int kind, const QJsonObject& json)
{
    switch (kind) {
    // Present is enough: figures that are not strings read as 0.
    case FREESPACE_REQUEST: return json.contains(QStringLiteral("quotaBytesTotal"));
    case CHECK_FOLDER_REQUEST: return json.value(QStringLiteral("files")).isArray();
    case UPLOAD_CREATE_FOLDER_REQUEST: return !json.value(m_idKey).toString().isEmpty();
    default: return true;
    }
}
