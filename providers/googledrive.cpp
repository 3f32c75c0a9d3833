#include "googledrive.h"

#include "cloudcredential.h"
#include "cloudlog.h"
#include "cloudview.h"
#include "filepicker.h"
#include "tokenstorage.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHostAddress>
#include <QIODevice>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMimeDatabase>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTcpSocket>
#include <QUrl>
#include <QUrlQuery>

const char* const GoogleDrive::kAccountsHost = "accounts.google.com";
const char* const GoogleDrive::kApiHost = "www.googleapis.com";

namespace {

const quint16 kLastPort = 65535;

ICloudLog* logger()
{
    return CloudLog::instance();
}

QString hostUrl(const char* host, const char* path)
{
    return QStringLiteral("https://%1%2").arg(QLatin1String(host), QLatin1String(path));
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

QString mimeTypeOf(const QString& filePath)
{
    static const QMimeDatabase database;
    return database.mimeTypeForFile(filePath).name();
}

// The form of a token request: its items in their order, pretty-decoded.
QByteArray formBody(const QUrlQuery& form)
{
    return form.toString(QUrl::PrettyDecoded).toLocal8Bit();
}

// A text inside a quoted term of a Drive search.
QString quotedTerm(QString text)
{
    return text.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('\''), QLatin1String("\\'"));
}

// A text inside a JSON string.
QString jsonText(const QString& text)
{
    const QByteArray quoted = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(quoted.mid(2, quoted.size() - 4));
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
    : CloudBase(service(), applicationName.str(), "gdEmail")
{
    m_filePicker->setAppKey(clientId());
    if (isPlayerSection())
        m_filePicker->setSupportedExtensions(supportedTypes());
}

QString GoogleDrive::clientId() const
{
    return QString::fromStdString(cloudCredential(m_applicationName, GDRIVE_CLOUD, -1));
}

QString GoogleDrive::clientSecret() const
{
    return QString::fromStdString(cloudCredential(m_applicationName, GDRIVE_CLOUD, 0));
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
    if (!m_storage->readToken(m_applicationName, GDRIVE_CLOUD, text) || text.empty()) {
        logger()->logLine(LOG_WRN, "%s: m_storage->readToken", name());
        return false;
    }
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(text));
    if (document.isEmpty())
        return false;
    // No safety margin: a token is used up to the end of its lifetime.
    const QJsonObject record = document.object();
    const double receivedTime = record.value(QStringLiteral("received_time")).toDouble();
    const double lifetimeMs = record.value(QStringLiteral("expires_in")).toDouble() * 1000;
    return double(QDateTime::currentMSecsSinceEpoch()) > receivedTime + lifetimeMs;
}

bool GoogleDrive::ensureValidToken()
{
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
    std::string text;
    if (!m_storage->readToken(m_applicationName, GDRIVE_CLOUD, text) || text.empty())
        return QString();
    const QJsonObject record = QJsonDocument::fromJson(QByteArray::fromStdString(text)).object();
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

void GoogleDrive::repeatRequest(int kind, bool sync)
{
    logger()->logLine(LOG_INF, "%s: repeat previous %s", name(), requestTypeName(kind));
    logger()->logLine(LOG_INF, "---\n");
    switch (kind) {
    case FREESPACE_REQUEST: getFreeSpace(sync); break;
    case CHECK_FOLDER_REQUEST: checkUploadFolderExists(); break;
    case UPLOAD_CREATE_FOLDER_REQUEST: createUploadFolder(); break;
    default: break; // the other requests' callers start them again themselves
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

// ---------------------------------------------------------------------------
// The upload folder

bool GoogleDrive::readyToUpload(UploadTask* task)
{
    return !task->folderId.isEmpty();
}

QString GoogleDrive::folderNameOf(const QString& targetPath)
{
    return folderPathOf(targetPath).value(0);
}

QStringList GoogleDrive::folderPathOf(const QString& targetPath)
{
    return QDir::toNativeSeparators(targetPath).split(QDir::separator(), Qt::SkipEmptyParts);
}

QUrl GoogleDrive::folderSearchUrl(const QString& name, const QString& parentId)
{
    // Any item of that name matches; folders are listed first.
    QString expression = QStringLiteral("name = '%1'").arg(quotedTerm(name));
    if (!parentId.isEmpty())
        expression += QStringLiteral(" and '%1' in parents").arg(quotedTerm(parentId));
    expression += QStringLiteral(" and trashed = false");
    return QUrl::fromEncoded(hostUrl(kApiHost, "/drive/v3/files?orderBy=folder&q=").toLatin1()
                             + QUrl::toPercentEncoding(expression));
}

bool GoogleDrive::checkUploadFolderExists()
{
    UploadTask* head = headTask();
    if (!head)
        return false;
    if (!head->folderId.isEmpty())
        return true;
    // Each folder of the path inside the one before it; the first missing
    // one and those below it are left for the folder creation.
    const QStringList folders = folderPathOf(head->targetPath);
    logger()->logLine(LOG_INF, "%s: Check if upload folder \"%s\" already exists", name(),
                      head->targetPath.toUtf8().constData());
    const int walk = ++m_folderWalks;
    QString parent;
    for (int level = 0; level < folders.size(); ++level) {
        if (!searchFolder(folders.at(level), parent)) {
            // A refused search is repeated, whole, by the token refresh it
            // caused: its answer is this walk's.
            head = headTask();
            return m_folderWalks != walk && head && !head->folderId.isEmpty() && head->pendingFolders.isEmpty();
        }
        head = headTask();
        if (!head)
            return false;
        if (head->folderId.isEmpty()) {
            head->parentFolderId = parent;
            head->pendingFolders = folders.mid(level);
            return false;
        }
        parent = head->folderId;
        if (level + 1 < folders.size())
            head->folderId.clear();
    }
    head->pendingFolders.clear();
    return !head->folderId.isEmpty();
}

bool GoogleDrive::searchFolder(const QString& name, const QString& parentId)
{
    const int result = sendRequest(QNetworkAccessManager::GetOperation, folderSearchUrl(name, parentId),
                                   CHECK_FOLDER_REQUEST, true, nullptr, false);
    // The reply may have been handled while the queue changed.
    return result == 0 && headTask();
}

void GoogleDrive::handleUploadFolderExistsReply(const QJsonObject& json)
{
    logger()->logLine(LOG_INF, "%s: hanldeUploadFolderExistsReply", name());
    const QJsonArray files = json.value(QStringLiteral("files")).toArray();
    UploadTask* head = headTask();
    if (!head)
        return;
    if (!files.isEmpty())
        head->folderId = files.first().toObject().value(m_idKey).toString();
    logger()->logLine(LOG_INF, "%s: id for upload folder \"%s\" is \"%s\"", name(), head->targetPath.toUtf8().constData(),
                      head->folderId.toUtf8().constData());
}

QString GoogleDrive::createFolderBody(const QString& folderName)
{
    const UploadTask* head = headTask();
    const QString parent = head && !head->parentFolderId.isEmpty() ? head->parentFolderId : QStringLiteral("root");
    return QStringLiteral(
               "{\"title\": \"%1\", \"parents\": [{\"id\":\"%2\"}], \"mimeType\":\"application/vnd.google-apps.folder\"}")
        .arg(jsonText(folderName), jsonText(parent));
}

QString GoogleDrive::createFolderUrl()
{
    return hostUrl(kApiHost, "/drive/v2/files");
}

void GoogleDrive::handleCreateFolderReply(const QJsonObject& json)
{
    UploadTask* head = headTask();
    if (!head)
        return;
    // The next folder of the path goes into this one.
    const QString id = json.value(m_idKey).toString();
    head->parentFolderId = id;
    if (!head->pendingFolders.isEmpty())
        head->pendingFolders.removeFirst();
    if (head->pendingFolders.isEmpty())
        head->folderId = id;
    logger()->logLine(LOG_INF, "%s: upload folder %s created, folder id - %s", name(),
                      head->targetPath.toUtf8().constData(), id.toUtf8().constData());
}

// ---------------------------------------------------------------------------
// The resumable upload

void GoogleDrive::logUploadRequest(const char* method, const QNetworkRequest& request, const QString& mime,
                                   quint64 fileSize) const
{
    logger()->logLine(LOG_INF, "Method - %s", method);
    logger()->logLine(LOG_INF, "Url - %s", request.url().toString().toUtf8().constData());
    logger()->logLine(LOG_INF, "Mime - %s", mime.toUtf8().constData());
    logger()->logLine(LOG_INF, "FileSize - %llu", (unsigned long long)fileSize);
}

void GoogleDrive::startUpload(UploadTask* task)
{
    const QString mime = mimeTypeOf(task->filePath);
    const QJsonObject metadata{{QStringLiteral("name"), QFileInfo(task->filePath).fileName()},
                               {QStringLiteral("parents"), QJsonArray{task->folderId}}};
    const QByteArray body = QJsonDocument(metadata).toJson();

    QNetworkRequest request(QUrl(hostUrl(kApiHost, "/upload/drive/v3/files?uploadType=resumable")));
    request.setRawHeader(m_contentTypeKey, "application/json; charset=UTF-8");
    request.setHeader(QNetworkRequest::ContentLengthHeader, body.size());
    request.setRawHeader(m_authorizationKey, authorizationValue().toLatin1());
    request.setRawHeader("X-Upload-Content-Type", mime.toLatin1());
    request.setRawHeader("X-Upload-Content-Length", QByteArray::number(task->fileSize));
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::PreferCache);
    logUploadRequest("post", request, mime, task->fileSize);

    task->sessionId.clear();
    task->reply = m_networkManager->post(request, body);
    task->requestKind = UPLOAD_START_REQUEST;
}

QNetworkRequest GoogleDrive::sessionRequest(const UploadTask& task) const
{
    QNetworkRequest request(QUrl(task.sessionId, QUrl::TolerantMode));
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::PreferCache);
    return request;
}

void GoogleDrive::sendUploadData(UploadTask* task)
{
    const QString mime = mimeTypeOf(task->filePath);
    // The session address alone identifies the upload: no Authorization.
    QNetworkRequest request = sessionRequest(*task);
    request.setHeader(QNetworkRequest::ContentTypeHeader, mime);
    request.setHeader(QNetworkRequest::ContentLengthHeader, task->fileSize);
    logUploadRequest("put", request, mime, task->fileSize);

    task->chunkSize = qint64(task->fileSize);
    task->reply = sendUploadBody(QNetworkAccessManager::PutOperation, request, task->file, 0, task->chunkSize);
    connect(task->reply, &QNetworkReply::uploadProgress, this, &GoogleDrive::onUploadReplyProgress);
}

void GoogleDrive::sendRemainingData(UploadTask* task)
{
    const qint64 last = qint64(task->fileSize) - 1;
    QNetworkRequest request = sessionRequest(*task);
    request.setHeader(QNetworkRequest::ContentTypeHeader, mimeTypeOf(task->filePath));
    request.setHeader(QNetworkRequest::ContentLengthHeader, qint64(task->fileSize) - task->offset);
    request.setRawHeader("Content-Range", QStringLiteral("bytes %1-%2/%3").arg(task->offset).arg(last).arg(task->fileSize).toLatin1());
    logUploadRequest("put", request, mimeTypeOf(task->filePath), task->fileSize - quint64(task->offset));
    task->chunkSize = qint64(task->fileSize) - task->offset;
    task->requestKind = UPLOAD_APPEND_REQUEST;
    task->reply = sendUploadBody(QNetworkAccessManager::PutOperation, request, task->file, task->offset, task->chunkSize);
    connect(task->reply, &QNetworkReply::uploadProgress, this, &GoogleDrive::onUploadReplyProgress);
}

void GoogleDrive::askUploadStatus(UploadTask* task)
{
    // An empty PUT of the range "*" asks the session how much it holds.
    QNetworkRequest request = sessionRequest(*task);
    request.setHeader(QNetworkRequest::ContentLengthHeader, 0);
    request.setRawHeader("Content-Range", QStringLiteral("bytes */%1").arg(task->fileSize).toLatin1());
    logger()->logLine(LOG_INF, "Method - put");
    logger()->logLine(LOG_INF, "Url - %s", request.url().toString().toUtf8().constData());
    task->chunkSize = 0;
    task->requestKind = UPLOAD_APPEND_REQUEST;
    task->reply = m_networkManager->put(request, QByteArray());
}

void GoogleDrive::releaseReply(UploadTask* task)
{
    if (task->reply)
        task->reply->deleteLater();
    task->reply = nullptr;
}

void GoogleDrive::handleUploadReply(UploadTask* task, const QJsonObject& json)
{
    if (!task->reply)
        return;
    if (task->requestKind == UPLOAD_START_REQUEST && task->sessionId.isEmpty())
        acceptSession(task);
    else
        acceptDataReply(task, json);
}

void GoogleDrive::acceptSession(UploadTask* task)
{
    // The file goes only to the service's own upload host, encrypted: the
    // address comes from the network, and a file:// or http:// one would
    // overwrite a local file or send the video in clear.
    const QByteArray location = task->reply->rawHeader("Location");
    const QUrl session(QString::fromLatin1(location), QUrl::StrictMode);
    if (location.isEmpty() || !session.isValid() || session.scheme() != QLatin1String("https")
        || session.host() != QLatin1String(kApiHost) || !session.userInfo().isEmpty()
        || !session.path().startsWith(QLatin1String("/upload/"))) {
        task->failure = CloudError(location.isEmpty() ? CloudError::BadReply : CloudError::Refused,
                                   location.isEmpty() ? tr("no upload address")
                                                      : tr("upload address not on %1: %2")
                                                            .arg(QLatin1String(kApiHost), QString::fromLatin1(location)));
        return;
    }
    task->sessionId = QString::fromLatin1(location);
    releaseReply(task);
    sendUploadData(task);
}

void GoogleDrive::acceptDataReply(UploadTask* task, const QJsonObject& json)
{
    const int status = task->reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 308) {
        // Resume Incomplete: the range says what the service holds.
        const QByteArray range = task->reply->rawHeader("Range");
        const int dash = range.indexOf('-');
        bool ok = false;
        const qint64 last = dash > 0 ? range.mid(dash + 1).toLongLong(&ok) : -1;
        CloudError incomplete(CloudError::Incomplete, range.isEmpty() ? tr("nothing kept") : QString::fromLatin1(range));
        incomplete.setConfirmedOffset(range.isEmpty() ? 0 : (ok && last >= 0 ? last + 1 : -1));
        task->failure = incomplete;
        return;
    }
    const QString id = json.value(m_idKey).toString();
    const QJsonValue size = json.value(QStringLiteral("size"));
    const bool sizeAgrees = size.isUndefined() || size.toString().toULongLong() == task->fileSize;
    if ((status != 200 && status != 201) || id.isEmpty() || !sizeAgrees) {
        task->failure = CloudError(CloudError::BadReply, tr("the upload was not confirmed (status %1)").arg(status));
        return;
    }
    QString stored = task->targetPath;
    if (!stored.endsWith(QLatin1Char('/')))
        stored += QLatin1Char('/');
    task->storedPath = stored + json.value(QStringLiteral("name")).toString(QFileInfo(task->filePath).fileName());
    task->storedSize = task->fileSize;
    logger()->logLine(LOG_INF, "task %s was finished", task->filePath.toUtf8().constData());
    logger()->logLine(LOG_INF, "---\n");
    releaseReply(task);
    if (task->file) {
        task->file->close();
        task->file->deleteLater();
        task->file = nullptr;
    }
}

void GoogleDrive::resumeUpload(UploadTask* task, const CloudError& why)
{
    if (task->sessionId.isEmpty() || why.kind() == CloudError::NotFound) {
        // No session, or the service forgot it: the file again, from its start.
        CloudBase::resumeUpload(task, why);
        return;
    }
    if (why.kind() == CloudError::Incomplete && why.confirmedOffset() >= 0
        && quint64(why.confirmedOffset()) < task->fileSize) {
        task->offset = why.confirmedOffset();
        sendRemainingData(task);
        return;
    }
    askUploadStatus(task);
}

bool GoogleDrive::commitsUpload(const UploadTask& task)
{
    return !task.sessionId.isEmpty() && task.reply
        && !task.reply->request().rawHeader("Content-Range").startsWith("bytes */");
}

CloudError GoogleDrive::describeError(const QNetworkReply* reply, const QByteArray& body)
{
    const QJsonObject object = QJsonDocument::fromJson(body).object();
    const QJsonValue error = object.value(m_errorKey);
    CloudError::Kind kind = CloudError::fromReply(reply).kind();
    QString reason;
    if (error.isObject()) {
        const QJsonObject details = error.toObject();
        reason = details.value(QStringLiteral("message")).toString();
        const QString why =
            details.value(QStringLiteral("errors")).toArray().first().toObject().value(QStringLiteral("reason")).toString();
        static const std::pair<const char*, CloudError::Kind> kinds[] = {
            {"storageQuotaExceeded", CloudError::QuotaExceeded}, {"quotaExceeded", CloudError::QuotaExceeded},
            {"rateLimitExceeded", CloudError::RateLimited},      {"userRateLimitExceeded", CloudError::RateLimited},
            {"authError", CloudError::Unauthorized},              {"notFound", CloudError::NotFound},
        };
        for (const auto& [tag, meaning] : kinds) {
            if (why == QLatin1String(tag))
                kind = meaning;
        }
    } else if (error.toString().contains(QLatin1String("invalid_grant"))) {
        kind = CloudError::GrantRevoked;
        reason = object.value(QStringLiteral("error_description")).toString(error.toString());
    } else if (!error.toString().isEmpty()) {
        reason = error.toString();
    }
    CloudError described(kind, reason);
    bool ok = false;
    const double seconds = reply->rawHeader("Retry-After").trimmed().toDouble(&ok);
    if (ok && seconds >= 0 && seconds < 86400)
        described.setRetryAfterMs(int(seconds * 1000));
    return described;
}

bool GoogleDrive::usableReply(int kind, const QJsonObject& json)
{
    switch (kind) {
    case FREESPACE_REQUEST: return json.value(QStringLiteral("quotaBytesTotal")).isString();
    case CHECK_FOLDER_REQUEST: return json.value(QStringLiteral("files")).isArray();
    case UPLOAD_CREATE_FOLDER_REQUEST: return !json.value(m_idKey).toString().isEmpty();
    default: return true;
    }
}
