#include "cloudbase.h"

#include "cloudlog.h"
#include "cloudview.h"
#include "cookiesmanager.h"
#include "filepicker.h"
#include "qovisettings.h"
#include "tokenstorage.h"

#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QJsonDocument>
#include <QNetworkDiskCache>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStandardPaths>
#include <QTimer>
#include <QWebFrame>
#include <QWebPage>

#include <algorithm>

namespace {

// Marks a reply whose outcome nobody waits for any more (a timed-out wait,
// an upload given up): it is neither processed nor taken for web traffic.
const char* const kAbandonedKey = "abandoned";
const qint64 kCacheSize = 10485760;

ICloudLog* logger()
{
    return CloudLog::instance();
}

void abandonReply(QNetworkReply* reply)
{
    reply->setProperty(kAbandonedKey, true);
    reply->abort();
    reply->deleteLater();
}

bool isUploadKind(int kind)
{
    return kind == UPLOAD_START_REQUEST || kind == UPLOAD_APPEND_REQUEST || kind == UPLOAD_FINISH_REQUEST;
}

// A task started again goes from its first byte, in a new session: the
// provider's startUpload sends the first request of whatever it is given.
void rewind(UploadTask& task)
{
    task.offset = 0;
    task.bytesLeft = qint64(task.fileSize);
    task.chunkCount = 0;
    task.sessionId.clear();
    if (task.file)
        task.file->seek(0);
}

} // namespace

// ---------------------------------------------------------------------------
// Construction and destruction

CloudBase::CloudBase(CLOUD_TYPE cloudType, const std::string& applicationName, const char* emailSettingKey)
    : QObject(nullptr),
      m_cloudType(cloudType),
      m_applicationName(applicationName),
      m_emailSettingKey(emailSettingKey)
{
    CloudView::registerChooserPages();
    m_cookiesManager = new CookiesManager(m_cloudType, QString::fromStdString(m_applicationName), nullptr);

    // The manager owns the jar and the cache (Qt reparents both), so that
    // replies still in flight when the account goes never meet a deleted one.
    m_networkManager = new QNetworkAccessManager(nullptr);
    m_networkManager->setCookieJar(m_cookiesManager);
    m_cache = new QNetworkDiskCache(this);
    m_cache->setCacheDirectory(QStandardPaths::writableLocation(QStandardPaths::CacheLocation)
                               + QStringLiteral("/QoviClouds"));
    m_cache->setMaximumCacheSize(kCacheSize);
    m_networkManager->setCache(m_cache);

    m_view = new CloudView(m_cloudType, nullptr);
    m_view->page()->setNetworkAccessManager(m_networkManager);
    m_storage = std::make_unique<TokenStorage>();
    // The providers give the bridge its key: the credentials are theirs.
    m_filePicker = new FilePicker(this);

    connect(m_view, &CloudView::chooserClosed, this, &CloudBase::closeChooser);
    connect(m_view, &QWebView::loadFinished, this, &CloudBase::onLoadFinished);
    connect(m_view, &CloudView::webViewCreated, this, &CloudBase::onWebViewCreated);
    connect(m_filePicker, &FilePicker::closed, m_view, &QWidget::close);
    connect(m_filePicker, &FilePicker::openSelectedFiles, this, &CloudBase::openSelectedFiles);
    connect(m_view->page(), &QWebPage::windowCloseRequested, m_view, &QWidget::close);
    connect(m_view->page()->mainFrame(), &QWebFrame::javaScriptWindowObjectCleared, this, &CloudBase::onAddJSObject);
    connect(m_networkManager, &QNetworkAccessManager::finished, this, &CloudBase::onNetworkFinished);
    connect(m_networkManager, &QNetworkAccessManager::sslErrors, this, &CloudBase::onNetworkSslErrors);
    connect(m_cookiesManager, &CookiesManager::loggedIn, this, &CloudBase::onLoggedIn);
    connect(m_cookiesManager, &CookiesManager::loggedOut, this, &CloudBase::onLoggedOut);
}

CloudBase::~CloudBase()
{
    // The provider part is gone: nothing that is torn down below (page loads
    // aborted with the view, say) may reach the account's slots any more.
    m_networkManager->disconnect(this);
    m_cookiesManager->disconnect(this);
    if (m_view) {
        m_view->page()->mainFrame()->disconnect(this);
        m_view->page()->disconnect(this);
        m_view->disconnect(this);
    }
    m_requestBodies.clear();
    for (UploadTask& task : m_uploadQueue) {
        if (task.reply)
            abandonReply(task.reply);
        delete task.file;
    }
    if (m_ownsView) {
        delete m_view.data();
        m_networkManager->deleteLater();
    } else if (m_view) {
        // A view that belongs to the player outlives the account; the manager
        // its page uses must live as long.
        m_view->stop();
        m_view->hide();
        m_networkManager->setParent(m_view);
    } else {
        m_networkManager->deleteLater();
    }
}

const char* CloudBase::cloudTypeName(CLOUD_TYPE type)
{
    switch (type) {
    case DROPBOX_CLOUD: return "Dropbox";
    case GDRIVE_CLOUD: return "Google Drive";
    }
    return "";
}

const char* CloudBase::requestTypeName(int kind)
{
    static const char* const names[] = {
        "EMAIL_REQUEST",        "FREESPACE_REQUEST",    "REFRESH_TOKEN_REQUEST",
        "REVOKE_STATUS_REQUEST", "CHECK_FOLDER_REQUEST", "UPLOAD_CREATE_FOLDER_REQUEST",
        "UPLOAD_START_REQUEST", "UPLOAD_APPEND_REQUEST", "UPLOAD_FINISH_REQUEST",
    };
    return kind >= 0 && kind < int(std::size(names)) ? names[kind] : "UNKNOWN_REQUEST";
}

// ---------------------------------------------------------------------------
// Connection state and flows

bool CloudBase::isConnected(bool verbose)
{
    const QString email = readEmail();
    const bool cookies = m_cookiesManager->isLoggedIn();
    std::string record;
    m_storage->readToken(m_applicationName, m_cloudType, record);
    if (!record.empty() && (email.isEmpty() || !cookies)) {
        // A token without the sign-in it belongs to is of no use.
        m_storage->removeToken(m_applicationName, m_cloudType);
        record.clear();
        m_storage->readToken(m_applicationName, m_cloudType, record);
    }
    const bool connected = !email.isEmpty() && cookies && !record.empty();

    if (verbose) {
        logger()->logLine(LOG_INF, "%s: Check if cloud already connected", name());
        logger()->logLine(LOG_INF, "Cookies => %sfound", cookies ? "" : "not ");
        logger()->logLine(LOG_INF, "Token => %s", record.empty() ? "empty" : "exists");
        logger()->logLine(LOG_INF, "User email => %s", email.isEmpty() ? "empty" : email.toUtf8().constData());
        logger()->logLine(LOG_INF, "Summary status => [%sconnected]", connected ? "" : "not ");
        logger()->logLine(LOG_INF, "---\n");
    }
    return connected;
}

QString CloudBase::readEmail() const
{
    qvtl::string email;
    if (!qvs::FetchUTF8String(m_applicationName, m_emailSettingKey, email))
        return QString();
    return QString::fromUtf8(email.data(), int(email.size()));
}

void CloudBase::storeEmail(const QString& email)
{
    qvs::StoreUTF8String(m_applicationName, m_emailSettingKey, email.toUtf8().toStdString());
}

void CloudBase::openChooserFlow()
{
    m_mode = CHOOSER_OPENING_MODE;
    m_lastCloudError = -1;
    if (!isConnected(false)) {
        openCloudView();
        return;
    }
    for (;;) {
        m_retry = false;
        if (ensureValidToken())
            break;
        if (!m_retry)
            return;
    }
    showChooser();
}

bool CloudBase::showChooser()
{
    return m_view && m_view->openChooser();
}

bool CloudBase::connectToCloud()
{
    m_mode = CONNECTING_MODE;
    return openCloudView();
}

bool CloudBase::openCloudView()
{
    if (m_mode == NO_MODE)
        m_mode = CONNECTING_MODE;
    const QUrl url(authorizationUrl());
    logger()->logLine(LOG_INF, "%s: opening modality cloud view", name());
    if (!m_view)
        return false;
    m_view->setUrl(url);
    m_view->setWindowModality(Qt::ApplicationModal);
    m_view->show();
    return true;
}

void CloudBase::closeChooser()
{
    if (!m_view)
        return;
    if (m_mode == CHOOSER_OPENING_MODE) {
        if (m_view->popupView())
            m_view->closePopupView();
        else
            m_view->close();
    } else if (m_mode == CONNECTING_MODE) {
        if (m_view->popupView())
            m_view->closePopupView();
        m_mode = NO_MODE;
        m_view->close();
    }
}

void CloudBase::onLoggedIn()
{
    logger()->logLine(LOG_INF, "%s: onLoggedIn", name());
    afterLoggedIn();
}

void CloudBase::onLoggedOut()
{
    logger()->logLine(LOG_INF, "%s: onLoggedOut", name());
    logger()->log(LOG_INF, "Current mode is ");
    switch (m_mode) {
    case CHOOSER_OPENING_MODE:
        logger()->logLine(LOG_INF, "CHOOSER_OPENING_MODE");
        closeChooser();
        if (m_view)
            m_view->close();
        disconnectCloud();
        break;
    case UPLOADING_MODE:
        logger()->logLine(LOG_INF, "UPLOADING_MODE");
        break;
    case CONNECTING_MODE:
        logger()->logLine(LOG_INF, "CONNECTING_MODE");
        disconnectCloud();
        break;
    default:
        logger()->logLine(LOG_INF, " ???");
        break;
    }
    emit userLogout();
}

void CloudBase::disconnectCloud()
{
    logger()->logLine(LOG_INF, "%s: clean cookies, token, email", name());
    logger()->logLine(LOG_INF, "%s", "");
    m_cookiesManager->clearCookies();
    m_storage->removeToken(m_applicationName, m_cloudType);
    storeEmail(QString());
    emit cloudDisconnected(m_cloudType);
}

bool CloudBase::checkForRevokingApp()
{
    logger()->logLine(LOG_INF, "%s: checkForRevokingApp", name());
    const int rc = sendAboutAccountSyncRequest(REVOKE_STATUS_REQUEST);
    if (rc == 0) {
        switch (m_lastCloudError) {
        case 0: logger()->logLine(LOG_INF, "%s: checkForRevokingApp - It's Ok", name()); break;
        case 2: logger()->logLine(LOG_WRN, "%s: checkForRevokingApp - User revoked application", name()); break;
        case 401: logger()->logLine(LOG_WRN, "%s: checkForRevokingApp - Authorized issue", name()); break;
        default:
            logger()->logLine(LOG_WRN, "%s: checkForRevokingApp - failed to process request", name());
            logger()->logLine(LOG_INF, m_retry ? "Retry %s" : "Canceling %s", requestTypeName(REVOKE_STATUS_REQUEST));
            break;
        }
    } else {
        logger()->logLine(LOG_WRN, "%s: checkForRevokingApp - Can't to send request", name());
    }
    logger()->logLine(LOG_INF, "---\n");
    return rc == 0 && m_lastCloudError == 0;
}

bool CloudBase::requestUserEmail()
{
    logger()->logLine(LOG_INF, "%s: requestUserEmail", name());
    return sendAboutAccountSyncRequest(EMAIL_REQUEST) == 0;
}

void CloudBase::handleEmailReply(const QJsonObject& json)
{
    logger()->logLine(LOG_INF, "%s: handleEmailReply", name());
    const QString email = parseEmail(json);
    if (email.isEmpty()) {
        logger()->logLine(LOG_WRN, "Email is EMPTY");
        return;
    }
    logger()->logLine(LOG_INF, "%s: Got email %s", name(), email.toUtf8().constData());
    storeEmail(email);
    logger()->logLine(LOG_INF, "%s: emit signal connectedToCloud", name());
    emit connectedToCloud(m_cloudType, email);
}

void CloudBase::handleTokenReply(const QJsonObject& json)
{
    if (m_lastCloudError != 0) {
        logger()->logLine(LOG_ERR, "%s: handleTokenReply() LastCloudError %d", name(), m_lastCloudError);
        return;
    }
    QJsonObject record = json;
    stampReceivedTime(record);
    QString refresh = refreshTokenFromJson(record);
    if (refresh.isEmpty()) {
        refresh = readRefreshToken();
        if (refresh.isEmpty()) {
            logger()->logLine(LOG_ERR, "%s: handleTokenReply() refreshToken is empty", name());
            return;
        }
        putRefreshToken(record, refresh);
    }
    const QByteArray text = QJsonDocument(record).toJson();
    if (!m_storage->saveToken(m_applicationName, m_cloudType, text.toStdString()))
        logger()->logLine(LOG_ERR, "%s: handleTokenReply() saveToken error", name());
}

void CloudBase::stampReceivedTime(QJsonObject& record) const
{
    if (!record.isEmpty())
        record.insert(QStringLiteral("received_time"), double(QDateTime::currentMSecsSinceEpoch()));
}

void CloudBase::putRefreshToken(QJsonObject& record, const QString& refreshToken) const
{
    if (!record.isEmpty())
        record.insert(m_refreshTokenKey, refreshToken);
}

QString CloudBase::accessToken() const
{
    std::string text;
    if (!m_storage->readToken(m_applicationName, m_cloudType, text) || text.empty())
        return QString();
    const QByteArray bytes = QByteArray::fromStdString(text);
    const QJsonObject record = QJsonDocument::fromJson(bytes).object();
    if (!record.isEmpty())
        return record.value(m_accessTokenKey).toString();
    return QString::fromUtf8(bytes);
}

quint64 CloudBase::getFreeSpace(bool sync)
{
    if (!m_networkManager || !isConnected(false))
        return 0;
    const int rc = sendFreeSpaceRequest(sync);
    if (!sync) {
        if (rc != 0)
            logger()->logLine(LOG_WRN, "Failed");
        else
            logger()->logLine(LOG_INF, "Successfully");
    } else if (rc != 0) {
        logger()->logLine(LOG_WRN, "Failed to get free space");
    } else {
        logger()->logLine(LOG_INF, "Successfully got free space = %llu bytes", (unsigned long long)m_freeSpace);
    }
    logger()->logLine(LOG_INF, "---\n");
    return m_freeSpace;
}

bool CloudBase::isPlayerSection() const
{
    return m_applicationName == "Player";
}

// ---------------------------------------------------------------------------
// Defaults of the provider operations

bool CloudBase::readyToUpload(UploadTask*)
{
    return true;
}

bool CloudBase::ensureValidToken()
{
    return true;
}

QString CloudBase::readRefreshToken()
{
    return QString();
}

QString CloudBase::refreshTokenFromJson(const QJsonObject&)
{
    return QString();
}

QString CloudBase::sendRefreshTokenSyncRequest(QNetworkReply*)
{
    return QString();
}

void CloudBase::handleUploadFolderExistsReply(const QJsonObject&) {}

void CloudBase::afterLoggedIn() {}

// ---------------------------------------------------------------------------
// The web view

bool CloudBase::setViewParent(QWidget* parent)
{
    if (!m_view)
        return false;
    m_view->setParent(parent);
    m_ownsView = m_view->parentWidget() == nullptr;
    return true;
}

bool CloudBase::setViewWindowFlags(Qt::WindowFlags flags)
{
    if (!m_view)
        return false;
    m_view->setWindowFlags(flags);
    return true;
}

Qt::WindowFlags CloudBase::viewWindowFlags() const
{
    if (!m_view)
        return Qt::WindowFlags(~0);
    return m_view->windowFlags();
}

void CloudBase::onLoadFinished(bool)
{
    if (m_view && m_view->page() && m_view->page()->mainFrame())
        m_view->page()->mainFrame()->evaluateJavaScript(QStringLiteral("connectSlots()"));
}

void CloudBase::onWebViewCreated()
{
    if (m_view && m_view->popupView())
        m_view->popupView()->page()->setNetworkAccessManager(m_networkManager);
}

void CloudBase::onAddJSObject()
{
    if (m_view)
        m_view->page()->mainFrame()->addToJavaScriptWindowObject(QStringLiteral("qoviFilePicker"), m_filePicker,
                                                                  QWebFrame::QtOwnership);
}

// ---------------------------------------------------------------------------
// The request engine

QString CloudBase::authorizationValue() const
{
    return QStringLiteral("Bearer ") + accessToken();
}

QString CloudBase::failureText(int kind, QNetworkReply* reply) const
{
    if (!reply)
        return QString();
    return QStringLiteral("Failed for processing %1: %2").arg(QLatin1String(requestTypeName(kind)), reply->errorString());
}

int CloudBase::sendRequest(QNetworkAccessManager::Operation operation, const QUrl& url, int kind, bool sync,
                           const QByteArray* body, bool json)
{
    QNetworkRequest request(url);
    request.setRawHeader(m_authorizationKey, authorizationValue().toLatin1());
    const bool post = operation == QNetworkAccessManager::PostOperation;
    if (post && body && !body->isEmpty() && json)
        request.setRawHeader(m_contentTypeKey, "application/json");
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::PreferCache);

    QNetworkReply* reply = nullptr;
    if (operation == QNetworkAccessManager::GetOperation)
        reply = m_networkManager->get(request);
    else if (post)
        reply = m_networkManager->post(request, body ? *body : QByteArray());
    else
        return kNothingSent;
    if (!reply)
        return kNothingSent;
    if (post && body)
        m_requestBodies[reply] = std::make_unique<QByteArray>(*body);

    reply->setProperty(m_requestIdKey, kind);
    reply->setProperty(m_syncRequestKey, sync);
    logger()->logLine(LOG_INF, "%s: %s, %s, %sSync, %s", name(), requestTypeName(kind), post ? "POST" : "GET",
                      sync ? "" : "A", QUrl::fromPercentEncoding(url.toEncoded()).toUtf8().constData());
    return sync ? waitForReply(reply, kRequestTimeoutMs) : 0;
}

int CloudBase::waitForReply(QNetworkReply* reply, int timeoutMs)
{
    if (!reply)
        return kNothingSent;
    QEventLoop loop;
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    auto* timer = new QTimer(&loop); // its parent tells the time-out which wait it ends
    if (timeoutMs != 0) {
        timer->setSingleShot(true);
        timer->setInterval(timeoutMs);
        connect(timer, &QTimer::timeout, this, &CloudBase::onTimeoutReplyFinished);
        timer->start();
    }
    if (m_timedOut)
        logger()->logLine(LOG_WRN, "Time out flag is in invalid state, something wrong in logic!");
    logger()->logLine(LOG_INF, "---\n");

    const QPointer<CloudBase> self(this);
    const QPointer<QNetworkReply> alive(reply);
    if (!reply->isFinished())
        loop.exec();
    if (!self || !alive)
        return QNetworkReply::OperationCanceledError;

    const bool finishedInTime = !m_timedOut;
    m_timedOut = false;
    const int error = reply->error();
    if (finishedInTime)
        reply->deleteLater();
    else
        abandonReply(reply);
    return finishedInTime ? error : int(QNetworkReply::TimeoutError);
}

void CloudBase::onTimeoutReplyFinished()
{
    m_timedOut = true;
    if (auto* timer = qobject_cast<QTimer*>(sender())) {
        if (auto* loop = qobject_cast<QEventLoop*>(timer->parent()))
            loop->quit();
    }
}

void CloudBase::onNetworkFinished(QNetworkReply* reply)
{
    if (!reply || reply->property(kAbandonedKey).toBool())
        return;
    const bool fromCache = reply->attribute(QNetworkRequest::SourceIsFromCacheAttribute).toBool();
    const QVariant requestId = reply->property(m_requestIdKey);
    UploadTask& task = taskForReply(reply);
    if (requestId.isValid() || task.reply == reply)
        processReplyFinished(reply, requestId, task, fromCache);
    else
        handleAuthorizationReply(reply->error(), reply->url().toString());
}

int CloudBase::requestKindOf(QNetworkReply* reply, const QVariant& requestId, const UploadTask& task) const
{
    if (requestId.isValid())
        return requestId.toInt();
    return task.reply == reply ? task.requestKind : -1;
}

void CloudBase::processReplyFinished(QNetworkReply* reply, const QVariant& requestId, UploadTask& task,
                                     bool fromCache)
{
    if (!reply)
        return;
    const int error = reply->error();
    const int kind = requestKindOf(reply, requestId, task);
    if (kind == -1) {
        logger()->logLine(LOG_ERR, "%s: processReplyFinished - invalid request id %d", name(), kind);
        return;
    }
    const char* cacheNote = fromCache ? " (from cache)" : "";
    if (error == QNetworkReply::NoError)
        logger()->logLine(LOG_INF, "%s: processReplyFinished for %s - ok%s", name(), requestTypeName(kind), cacheNote);
    else
        logger()->logLine(LOG_ERR, "%s: processReplyFinished for %s - fail%s, code %d, %s", name(),
                          requestTypeName(kind), cacheNote, error, reply->errorString().toUtf8().constData());

    const QVariant syncProperty = reply->property(m_syncRequestKey);
    const bool sync = !syncProperty.isValid() || syncProperty.toBool();
    const QByteArray body = reply->readAll();
    const QString errText = error == QNetworkReply::NoError ? QString() : failureText(kind, reply);
    const QJsonObject json = error == QNetworkReply::NoError ? parseJsonReply(body) : QJsonObject();
    m_lastCloudError = -1;
    std::string message;
    if (!body.isEmpty())
        m_lastCloudError = parseErrorReply(body, message);

    switch (error) {
    case QNetworkReply::NoError:
        logger()->logLine(LOG_INF, "Successfully");
        m_requestBodies.erase(reply);
        break;
    case QNetworkReply::AuthenticationRequiredError:
        logger()->logLine(LOG_WRN, "Authorization issue (%s), need to refresh token", message.c_str());
        logger()->logLine(LOG_INF, "---\n");
        break;
    case QNetworkReply::OperationCanceledError:
        break;
    default:
        if (!sync)
            reply->deleteLater();
        else
            failSynchronousRequest(reply, kind, error, errText, task);
        return;
    }
    dispatchReply(reply, kind, error, sync, json, errText, task);
}

void CloudBase::failSynchronousRequest(QNetworkReply* reply, int kind, int error, const QString& errText,
                                       UploadTask& task)
{
    // An upload cannot be re-sent without its chunk and headers: the user
    // decides between starting the file again and giving it up.
    if (isUploadKind(kind) && task.reply == reply) {
        if (askRetry(&task)) {
            rewind(task);
            processUploadQueue();
        } else {
            giveUpHeadTask(errText, error);
        }
        return;
    }
    m_retry = false;
    if (kind == FREESPACE_REQUEST)
        m_freeSpace = kUnknownSpace;
    else if (m_lastCloudError != 2)
        emit failedRetry(errText, m_retry);
    if (m_retry)
        resendRequest(reply);
}

void CloudBase::dispatchReply(QNetworkReply* reply, int kind, int error, bool sync, const QJsonObject& json,
                              const QString& errText, UploadTask& task)
{
    const bool ok = error == QNetworkReply::NoError;
    const bool authentication = error == QNetworkReply::AuthenticationRequiredError;
    switch (kind) {
    case EMAIL_REQUEST:
        if (ok)
            handleEmailReply(json);
        break;
    case FREESPACE_REQUEST:
        if (ok) {
            handleSpaceReply(json, sync);
        } else if (authentication) {
            refreshForSpace(reply);
        } else {
            m_freeSpace = kUnknownSpace;
            if (!sync)
                emit freeSpaceReceived(m_freeSpace);
        }
        break;
    case REFRESH_TOKEN_REQUEST:
        if (ok) {
            handleTokenReply(json);
        } else if (!authentication) {
            m_retry = false;
            if (m_lastCloudError != 2)
                emit failedRetry(errText, m_retry);
        }
        break;
    case REVOKE_STATUS_REQUEST:
        if (authentication)
            sendRefreshTokenSyncRequest(nullptr);
        else if (!ok)
            askAfterCancel(errText);
        break;
    case CHECK_FOLDER_REQUEST:
    case UPLOAD_CREATE_FOLDER_REQUEST:
        if (ok) {
            if (kind == CHECK_FOLDER_REQUEST)
                handleUploadFolderExistsReply(json);
            else
                handleCreateFolderReply(json);
        } else if (authentication) {
            logger()->logLine(LOG_WRN, "Need to refresh token");
            logger()->logLine(LOG_INF, "---\n");
            sendRefreshTokenSyncRequest(reply);
            return;
        } else {
            askAfterCancel(errText);
        }
        break;
    case UPLOAD_START_REQUEST:
    case UPLOAD_APPEND_REQUEST:
    case UPLOAD_FINISH_REQUEST:
        dispatchUploadReply(error, json, task);
        return;
    default:
        return;
    }
    if (!sync)
        reply->deleteLater();
}

void CloudBase::handleSpaceReply(const QJsonObject& json, bool sync)
{
    const quint64 used = parseUsedSpace(json);
    const quint64 total = parseTotalSpace(json);
    m_freeSpace = total >= used ? total - used : 0;
    logger()->logLine(LOG_INF, "Disk space: used = %llu, free = %llu", (unsigned long long)used,
                      (unsigned long long)m_freeSpace);
    logger()->logLine(LOG_INF, "---\n");
    if (!sync)
        emit freeSpaceReceived(m_freeSpace);
}

void CloudBase::refreshForSpace(QNetworkReply* reply)
{
    // One refresh per failed space request: the provider repeats the request
    // when it gets a token; otherwise the answer stays unknown until the
    // next request, and a revoked grant sends the user to sign in again.
    if (!sendRefreshTokenSyncRequest(reply).isEmpty())
        return;
    if (m_lastCloudError == 2) {
        disconnectCloud();
        openCloudView();
    }
}

void CloudBase::askAfterCancel(const QString& errText)
{
    m_lastCloudError = -1;
    if (m_mode == UPLOADING_MODE)
        m_retry = askRetry(nullptr);
    else
        emit failedRetry(errText, m_retry);
}

QJsonObject CloudBase::parseJsonReply(const QByteArray& body)
{
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (document.isNull() || document.isEmpty())
        return QJsonObject();
    const QJsonObject object = document.object();
    if (object.isEmpty()) {
        logger()->logLine(LOG_ERR, "Json object is empty! Skipped.");
        logger()->logLine(LOG_INF, "---\n");
    }
    return object;
}

bool CloudBase::resendRequest(QNetworkReply* reply)
{
    if (!reply)
        return false;
    const QVariant requestId = reply->property(m_requestIdKey);
    const UploadTask& task = taskForReply(reply);
    if (!requestId.isValid() && task.reply != reply)
        return false;

    const QNetworkAccessManager::Operation operation = reply->operation();
    const QUrl url = reply->request().url();
    const int kind = requestKindOf(reply, requestId, task);
    const QVariant syncProperty = reply->property(m_syncRequestKey);
    const bool sync = !syncProperty.isValid() || syncProperty.toBool();
    std::unique_ptr<QByteArray> body;
    if (auto kept = m_requestBodies.find(reply); kept != m_requestBodies.end()) {
        body = std::move(kept->second);
        m_requestBodies.erase(kept);
    }
    const bool json = reply->request().rawHeader(m_contentTypeKey) == "application/json";
    sendRequest(operation, url, kind, sync, body.get(), json);
    return true;
}

bool CloudBase::askRetry(UploadTask* task)
{
    QString text;
    if (task && !m_uploadQueue.empty()) {
        if (task != &m_uploadQueue.front() || !task->reply)
            return false;
        text = failureText(task->requestKind, task->reply);
        abandonReply(task->reply);
        task->reply = nullptr;
        if (task->canceled)
            return false;
    }
    bool retry = false;
    emit failedRetry(text, retry);
    return retry;
}

void CloudBase::onNetworkSslErrors(QNetworkReply* reply, const QList<QSslError>& errors)
{
    logger()->logLine(LOG_ERR, "%s: onNetworkSslErrors", name());
    QList<QSslError> tolerated;
    for (const QSslError& error : errors) {
        logger()->logLine(LOG_ERR, "code - %d, message - %s", int(error.error()),
                          error.errorString().toUtf8().constData());
        if (error.error() == QSslError::UnableToGetLocalIssuerCertificate
            || error.error() == QSslError::CertificateUntrusted)
            tolerated.append(error);
    }
    if (!tolerated.isEmpty())
        reply->ignoreSslErrors(tolerated);
}

// ---------------------------------------------------------------------------
// The upload driver

UploadTask& CloudBase::taskForReply(QNetworkReply* reply)
{
    for (UploadTask& task : m_uploadQueue) {
        if (reply && task.reply == reply)
            return task;
    }
    static UploadTask none;
    none = UploadTask();
    return none;
}

void CloudBase::enqueueUpload(UploadTask task)
{
    const bool idle = m_uploadQueue.empty() || !m_uploadQueue.front().reply;
    m_uploadQueue.push_back(std::move(task));
    if (idle)
        processUploadQueue();
}

bool CloudBase::uploadFile(const QString& filePath, const QString& targetFolder, QString* error)
{
    auto file = std::make_unique<QFile>(filePath);
    const QFileInfo info(filePath);
    QString problem;
    if (!info.exists())
        problem = tr("%1 does not exist").arg(filePath);
    else if (!info.isFile())
        problem = tr("%1 is not a file").arg(filePath);
    else if (!file->open(QIODevice::ReadOnly))
        problem = tr("%1 cannot be read: %2").arg(filePath, file->errorString());
    if (!problem.isEmpty()) {
        logger()->logLine(LOG_ERR, "%s: %s", name(), problem.toUtf8().constData());
        if (error)
            *error = problem;
        return false;
    }
    UploadTask task;
    task.fileSize = quint64(file->size());
    task.bytesLeft = file->size();
    task.file = file.release();
    task.filePath = filePath;
    task.targetPath = targetFolder;
    enqueueUpload(std::move(task));
    return true;
}

bool CloudBase::cancelUpload(const QString& filePath)
{
    auto task = std::find_if(m_uploadQueue.begin(), m_uploadQueue.end(), [&filePath](const UploadTask& queued) {
        return queued.filePath == filePath && !queued.canceled;
    });
    if (task == m_uploadQueue.end())
        return false;
    task->canceled = true;
    if (task->reply) {
        task->reply->abort(); // the cancelled path reports it and moves on
        return true;
    }
    // A head task the driver is busy preparing is skipped, and reported,
    // by the driver itself.
    const bool head = task == m_uploadQueue.begin();
    if (head && m_driverRuns > 0)
        return true;
    const QString targetPath = task->targetPath;
    delete task->file;
    m_uploadQueue.erase(task);
    emit uploadCanceled(filePath, targetPath);
    if (head)
        processUploadQueue();
    return true;
}

void CloudBase::processUploadQueue()
{
    ++m_driverRuns;
    runUploadQueue();
    --m_driverRuns;
}

void CloudBase::runUploadQueue()
{
    if (!m_uploadQueue.empty()) {
        m_mode = UPLOADING_MODE;
        const bool noToken = accessToken().isEmpty();
        if (noToken || !readyToUpload(&m_uploadQueue.front())) {
            logger()->logLine(LOG_INF, "%s: Uploading - need to prepare, reason is: %s", name(),
                              noToken ? "access token" : "readyToUpload()");
            logger()->logLine(LOG_INF, "---\n");
            if (!prepareUpload())
                return;
        }
        while (!m_uploadQueue.empty()) {
            UploadTask& task = m_uploadQueue.front();
            if (task.canceled) {
                logger()->logLine(LOG_INF, "Uploading - task %s was canceled, skipped", task.filePath.toUtf8().constData());
                const QString filePath = task.filePath;
                const QString targetPath = task.targetPath;
                delete task.file;
                m_uploadQueue.pop_front();
                emit uploadCanceled(filePath, targetPath);
                continue;
            }
            startUpload(&task);
            if (task.reply) {
                emit uploadStarted(task.filePath, task.targetPath);
                return;
            }
            // A provider that could not send the first request (its file
            // unreadable, say) must not keep the driver spinning.
            if (!task.canceled) {
                giveUpHeadTask(QStringLiteral("%1: the upload could not be started").arg(QLatin1String(name())), -1);
                return;
            }
        }
    }
    logger()->logLine(LOG_INF, "%s: Uploading is finished", name());
    logger()->logLine(LOG_INF, "---\n");
    m_mode = NO_MODE;
}

void CloudBase::giveUpHeadTask(const QString& why, int errorCode)
{
    m_uploadAuthRefusals = 0;
    if (m_uploadQueue.empty())
        return;
    UploadTask task = std::move(m_uploadQueue.front());
    m_uploadQueue.pop_front();
    if (task.reply)
        abandonReply(task.reply);
    delete task.file;
    logger()->logLine(LOG_WRN, "%s: Uploading - task %s given up: %s", name(), task.filePath.toUtf8().constData(),
                      why.toUtf8().constData());
    emit uploadFailed(task.filePath, why, errorCode);
    processUploadQueue();
}

bool CloudBase::checkGrantRepeatedly()
{
    m_lastCloudError = -1;
    do {
        m_retry = false;
        checkForRevokingApp();
    } while (m_retry);
    return m_lastCloudError == 0;
}

bool CloudBase::prepareUpload()
{
    // After a sign-in view was opened for a lost grant, the checks run once
    // more; a second loss ends the preparation (the view stays for the user).
    for (int round = 0; round < 2; ++round) {
        checkGrantRepeatedly();
        if (m_lastCloudError == 2) {
            disconnectCloud();
            if (!openCloudView())
                return false;
            continue;
        }
        if (m_lastCloudError != 0)
            return false;

        isConnected(false);
        bool exists = false;
        do {
            ensureValidToken();
            m_retry = false;
            exists = checkUploadFolderExists();
        } while (!exists && m_retry);

        if (m_lastCloudError == 0)
            return exists || createUploadFolder();
        if (m_lastCloudError != 2 && m_lastCloudError != 401)
            return false;
        disconnectCloud();
        if (!openCloudView())
            return false;
    }
    return false;
}

bool CloudBase::createUploadFolder()
{
    if (m_uploadQueue.empty())
        return false;
    const QString targetPath = m_uploadQueue.front().targetPath;
    const QString folder = targetPath.startsWith(QLatin1Char('/')) ? targetPath.mid(1) : targetPath;
    logger()->logLine(LOG_INF, "%s: Creating upload folder %s", name(), folder.toUtf8().constData());
    const QByteArray body = createFolderBody(folder).toLocal8Bit();
    const int rc = sendRequest(QNetworkAccessManager::PostOperation, QUrl(createFolderUrl()),
                               UPLOAD_CREATE_FOLDER_REQUEST, true, &body, true);
    if (rc == 0) {
        logger()->logLine(LOG_INF, "folder created successfully");
        return true;
    }
    const QString text = tr("%1 failed to create \"%2\" folder").arg(QLatin1String(name()), targetPath);
    logger()->logLine(LOG_INF, "%s", text.toUtf8().constData());
    emit networkError(text);
    return false;
}

void CloudBase::onUploadReplyProgress(qint64 bytesSent, qint64 bytesTotal)
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply)
        return;
    UploadTask& task = taskForReply(reply);
    if (task.canceled) {
        reply->abort();
        return;
    }
    if (bytesSent <= 0 || bytesTotal <= 0)
        return;
    const qint64 summary = task.offset + bytesSent;
    const unsigned percent = task.fileSize ? unsigned(summary * 100.0 / double(task.fileSize)) : 0;
    logger()->logLine(LOG_INF, "%s: progress task.offset = %llu, bytesSent = %llu, summary = %llu, %u %%", name(),
                      (unsigned long long)task.offset, (unsigned long long)bytesSent, (unsigned long long)summary,
                      percent);
    emit uploadProgress(task.filePath, summary, qint64(task.fileSize));
}

void CloudBase::dispatchUploadReply(int error, const QJsonObject& json, UploadTask& task)
{
    if (error == QNetworkReply::NoError) {
        m_uploadAuthRefusals = 0;
        handleUploadReply(&task, json);
        if (task.file)
            return; // the provider sent the next request
        const QString filePath = task.filePath;
        const QString targetPath = task.targetPath;
        m_uploadQueue.remove_if([&task](const UploadTask& queued) { return &queued == &task; });
        emit uploadFinished(filePath, targetPath);
        processUploadQueue();
        return;
    }
    // The failed reply is done with either way; the provider only releases
    // the replies it handled.
    if (task.reply) {
        task.reply->deleteLater();
        task.reply = nullptr;
    }
    if (error == QNetworkReply::AuthenticationRequiredError) {
        // A token the service refuses again right after the check would
        // restart the task for ever: the second refusal in a row ends it.
        if (++m_uploadAuthRefusals > 1) {
            giveUpHeadTask(tr("%1 refused the sign-in for %2").arg(QLatin1String(name()), task.filePath),
                           QNetworkReply::AuthenticationRequiredError);
            return;
        }
        ensureValidToken();
        rewind(task);
        processUploadQueue();
        return;
    }
    if (task.file) {
        task.file->close();
        task.file->deleteLater();
        task.file = nullptr;
    }
    const QString filePath = task.filePath;
    const QString targetPath = task.targetPath;
    m_uploadQueue.remove_if([&task](const UploadTask& queued) { return &queued == &task; });
    emit uploadCanceled(filePath, targetPath);
    processUploadQueue();
}
