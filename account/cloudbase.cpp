#include "cloudbase.h"

#include "cloudlog.h"
#include "cloudview.h"
#include "cookiesmanager.h"
#include "filepicker.h"
#include "qovisettings.h"
#include "requestengine.h"
#include "tokenstorage.h"
#include "uploadqueue.h"
#include "streamreply.h"
#include "uploadtransport.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QJsonDocument>
#include <QNetworkDiskCache>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStandardPaths>
#include <QWebFrame>
#include <QWebPage>

#include <algorithm>

namespace {

const qint64 kCacheSize = 10485760;
const char* const kFormType = "application/x-www-form-urlencoded";

ICloudLog* logger()
{
    return CloudLog::instance();
}

bool isUploadKind(int kind)
{
    return kind == UPLOAD_START_REQUEST || kind == UPLOAD_APPEND_REQUEST || kind == UPLOAD_FINISH_REQUEST;
}

bool isCertificateFailure(const CloudError& error)
{
    return error.kind() == CloudError::CertificateUntrusted || error.kind() == CloudError::CertificateWrongHost
        || error.kind() == CloudError::CertificateExpired;
}

} // namespace

// ---------------------------------------------------------------------------
// Construction and destruction

CloudBase::CloudBase(const ServiceDescriptor& service, const std::string& applicationName,
                     const char* emailSettingKey)
    : QObject(nullptr),
      m_service(service),
      m_cloudType(service.kind),
      m_applicationName(applicationName),
      m_emailSettingKey(emailSettingKey)
{
    CloudView::registerChooserPages();
    m_cookiesManager = new CookiesManager(m_service, QString::fromStdString(m_applicationName), nullptr);

    // The manager owns the jar and the cache (Qt reparents both), so that
    // replies still in flight when the account goes never meet a deleted one.
    m_networkManager = new QNetworkAccessManager(nullptr);
    m_networkManager->setCookieJar(m_cookiesManager);
    m_cache = new QNetworkDiskCache(this);
    m_cache->setCacheDirectory(QStandardPaths::writableLocation(QStandardPaths::CacheLocation)
                               + QStringLiteral("/QoviClouds"));
    m_cache->setMaximumCacheSize(kCacheSize);
    m_networkManager->setCache(m_cache);
    m_engine = new RequestEngine(m_networkManager, m_service.name, this);
    m_uploads = new UploadQueue(*this);

    m_view = new CloudView(m_service, nullptr);
    m_view->page()->setNetworkAccessManager(m_networkManager);
    m_storage = std::make_unique<TokenStorage>();
    // The providers give the bridge its key: the credentials are theirs.
    m_filePicker = new FilePicker(this);
    m_filePicker->setDownloadHosts(m_service.downloadHosts);

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
    delete m_uploads; // its jobs abandon their requests and close their files
    m_uploads = nullptr;
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
    m_refusedHosts.clear();
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
    m_refusedHosts.clear();
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
        if (!m_lastError.isError())
            m_lastError = rc == QNetworkReply::AuthenticationRequiredError
                ? CloudError(CloudError::Unauthorized)
                : CloudError(CloudError::Other, tr("the account could not be checked"));
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
    // Only the chooser page the plug-in put there gets the bridge; a page
    // that navigation reached from it is somebody else's.
    if (m_view && m_view->showsChooser())
        m_view->page()->mainFrame()->addToJavaScriptWindowObject(QStringLiteral("qoviFilePicker"), m_filePicker,
                                                                  QWebFrame::QtOwnership);
}

// ---------------------------------------------------------------------------
// Requests

QString CloudBase::authorizationValue() const
{
    return QStringLiteral("Bearer ") + accessToken();
}

QString CloudBase::failureText(int kind, QNetworkReply* reply) const
{
    if (!reply)
        return QString();
    const CloudError failure = m_engine->failureOf(reply);
    const QString reason = failure.isError() ? failure.text() : reply->errorString();
    return QStringLiteral("Failed for processing %1: %2").arg(QLatin1String(requestTypeName(kind)), reason);
}

int CloudBase::sendRequest(QNetworkAccessManager::Operation operation, const QUrl& url, int kind, bool sync,
                           const QByteArray* body, bool json)
{
    if (m_engine->isInterrupted())
        return kNothingSent;
    QNetworkRequest request(url);
    request.setRawHeader(m_authorizationKey, authorizationValue().toLatin1());
    const bool post = operation == QNetworkAccessManager::PostOperation;
    if (post && body && !body->isEmpty() && json)
        request.setRawHeader(m_contentTypeKey, "application/json");
    else if (post && body && !body->isEmpty())
        request.setRawHeader(m_contentTypeKey, kFormType); // what Qt sends anyway, without its warning
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
        m_engine->keepBody(reply, *body);

    reply->setProperty(m_requestIdKey, kind);
    reply->setProperty(m_syncRequestKey, sync);
    m_engine->watch(reply);
    logger()->logLine(LOG_INF, "%s: %s, %s, %sSync, %s", name(), requestTypeName(kind), post ? "POST" : "GET",
                      sync ? "" : "A", QUrl::fromPercentEncoding(url.toEncoded()).toUtf8().constData());
    return sync ? waitForReply(reply, kRequestTimeoutMs) : 0;
}

int CloudBase::waitForReply(QNetworkReply* reply, int timeoutMs)
{
    const int result = m_engine->wait(reply, timeoutMs);
    if (result == QNetworkReply::TimeoutError && !m_lastError.isError())
        m_lastError = CloudError(CloudError::TimedOut);
    return result;
}

void CloudBase::watchReply(QNetworkReply* reply)
{
    m_engine->watch(reply);
}

QNetworkReply* CloudBase::sendUploadBody(QNetworkAccessManager::Operation operation, const QNetworkRequest& request,
                                         QIODevice* file, qint64 offset, qint64 length)
{
    if (!m_transport)
        m_transport = new UploadTransport(this);
    QNetworkReply* reply = m_transport->send(operation, request, file, offset, length);
    reply->setParent(this);
    // Not the manager's own: it reports to the same place as the manager does.
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onNetworkFinished(reply); });
    return reply;
}

void CloudBase::onNetworkFinished(QNetworkReply* reply)
{
    if (!reply || RequestEngine::isAbandoned(reply))
        return;
    const bool fromCache = reply->attribute(QNetworkRequest::SourceIsFromCacheAttribute).toBool();
    const QVariant requestId = reply->property(m_requestIdKey);
    UploadTask& task = taskForReply(reply);
    if (requestId.isValid() || task.reply == reply) {
        processReplyFinished(reply, requestId, task, fromCache);
        return;
    }
    if (isCertificateFailure(m_engine->failureOf(reply)))
        reportWebFailure(reply);
    handleAuthorizationReply(reply->error(), reply->url().toString());
}

void CloudBase::reportWebFailure(QNetworkReply* reply)
{
    // A page the user would be shown, refused for its certificate: said once
    // per host, and the sign-in cannot go on.
    const QString host = reply->url().host();
    if (m_refusedHosts.contains(host))
        return;
    m_refusedHosts.append(host);
    m_lastError = m_engine->failureOf(reply);
    const QString text = tr("%1: %2 refused: %3").arg(QLatin1String(name()), host, m_lastError.text());
    logger()->logLine(LOG_ERR, "%s", text.toUtf8().constData());
    emit networkError(text);
    if (m_mode == CONNECTING_MODE || m_mode == CHOOSER_OPENING_MODE)
        emit signInFailed(text);
}

int CloudBase::requestKindOf(QNetworkReply* reply, const QVariant& requestId, const UploadTask& task) const
{
    if (requestId.isValid())
        return requestId.toInt();
    return task.reply == reply ? task.requestKind : -1;
}

CloudError CloudBase::replyFailure(QNetworkReply* reply, const QByteArray& body)
{
    const CloudError road = m_engine->failureOf(reply);
    switch (road.kind()) {
    case CloudError::None:
    case CloudError::Unauthorized:
    case CloudError::PathConflict:
    case CloudError::NotFound:
    case CloudError::ServiceFailed:
    case CloudError::RateLimited:
    case CloudError::Other:
        // The service said more than the status: its body tells what.
        return body.isEmpty() ? road : describeError(reply, body);
    default:
        return road;
    }
}

bool CloudBase::checkUsable(QNetworkReply* reply, int kind, const QJsonObject& json)
{
    if (isUploadKind(kind))
        return true; // the provider judges its own answers
    QString missing;
    if (json.isEmpty())
        missing = tr("not a JSON object");
    else if (kind == REFRESH_TOKEN_REQUEST && json.value(m_accessTokenKey).toString().isEmpty())
        missing = tr("no access token");
    else if (!usableReply(kind, json))
        missing = tr("not what a %1 answer holds").arg(QLatin1String(requestTypeName(kind)));
    if (missing.isEmpty())
        return true;
    RequestEngine::markFailed(reply, CloudError(CloudError::BadReply, missing));
    return false;
}

void CloudBase::processReplyFinished(QNetworkReply* reply, const QVariant& requestId, UploadTask& task,
                                     bool fromCache)
{
    if (!reply)
        return;
    const int kind = requestKindOf(reply, requestId, task);
    if (kind == -1) {
        logger()->logLine(LOG_ERR, "%s: processReplyFinished - invalid request id %d", name(), kind);
        return;
    }
    const QVariant syncProperty = reply->property(m_syncRequestKey);
    const bool sync = !syncProperty.isValid() || syncProperty.toBool();
    const QByteArray body = reply->isOpen() ? reply->readAll() : QByteArray();
    QJsonObject json;
    int error = m_engine->errorOf(reply);
    if (error == QNetworkReply::NoError) {
        json = parseJsonReply(body);
        if (!checkUsable(reply, kind, json))
            error = kUnusableReply;
    }
    const char* cacheNote = fromCache ? " (from cache)" : "";
    if (error == QNetworkReply::NoError)
        logger()->logLine(LOG_INF, "%s: processReplyFinished for %s - ok%s", name(), requestTypeName(kind), cacheNote);
    else
        logger()->logLine(LOG_ERR, "%s: processReplyFinished for %s - fail%s, code %d, %s", name(),
                          requestTypeName(kind), cacheNote, error, failureText(kind, reply).toUtf8().constData());

    const QString errText = error == QNetworkReply::NoError ? QString() : failureText(kind, reply);
    m_lastCloudError = -1;
    std::string message;
    if (!body.isEmpty())
        m_lastCloudError = parseErrorReply(body, message);
    if (error != QNetworkReply::NoError)
        m_lastError = replyFailure(reply, body);
    if (isUploadKind(kind)) {
        m_uploads->replyFinished(reply, task, error, json, body);
        return;
    }

    switch (error) {
    case QNetworkReply::NoError:
        logger()->logLine(LOG_INF, "Successfully");
        m_engine->dropBody(reply);
        break;
    case QNetworkReply::AuthenticationRequiredError:
        logger()->logLine(LOG_WRN, "Authorization issue (%s), need to refresh token", message.c_str());
        logger()->logLine(LOG_INF, "---\n");
        break;
    case QNetworkReply::OperationCanceledError:
        break;
    default:
        if (sync) {
            failSynchronousRequest(reply, kind, errText);
            return;
        }
        // Nobody waits for it, but whoever asked for the space hears the end.
        if (kind == FREESPACE_REQUEST) {
            m_freeSpace = kUnknownSpace;
            emit freeSpaceReceived(m_freeSpace);
        }
        reply->deleteLater();
        return;
    }
    dispatchReply(reply, kind, error, sync, json, errText, task, body);
}

void CloudBase::failSynchronousRequest(QNetworkReply* reply, int kind, const QString& errText)
{
    m_retry = false;
    if (kind == FREESPACE_REQUEST)
        m_freeSpace = kUnknownSpace;
    else if (m_lastCloudError != 2)
        emit failedRetry(errText, m_retry);
    if (m_retry)
        resendRequest(reply);
}

void CloudBase::dispatchReply(QNetworkReply* reply, int kind, int error, bool sync, const QJsonObject& json,
                              const QString& errText, UploadTask&, const QByteArray&)
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
    const std::unique_ptr<QByteArray> body = m_engine->takeBody(reply);
    const bool json = reply->request().rawHeader(m_contentTypeKey) == "application/json";
    sendRequest(operation, url, kind, sync, body.get(), json);
    return true;
}

bool CloudBase::askRetry(UploadTask* task)
{
    QString text;
    if (task && headTask()) {
        if (task != headTask() || !task->reply)
            return false;
        text = failureText(task->requestKind, task->reply);
        RequestEngine::abandon(task->reply);
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
    m_engine->onSslErrors(reply, errors);
}

void CloudBase::interrupt()
{
    // Uploads first: each ends as canceled, not as failed by the aborts below.
    m_uploads->cancelAll();
    m_engine->interrupt();
}

// ---------------------------------------------------------------------------
// Provider operations the account has its own answer for

CloudError CloudBase::describeError(const QNetworkReply* reply, const QByteArray&)
{
    return CloudError::fromReply(reply);
}

bool CloudBase::usableReply(int, const QJsonObject&)
{
    return true;
}

void CloudBase::resumeUpload(UploadTask* task, const CloudError&)
{
    task->offset = 0;
    task->bytesLeft = qint64(task->fileSize);
    task->chunkCount = 0;
    task->sessionId.clear();
    if (task->file)
        task->file->seek(0);
    startUpload(task);
}

bool CloudBase::commitsUpload(const UploadTask&)
{
    return false;
}

// ---------------------------------------------------------------------------
// Uploads

UploadTask& CloudBase::taskForReply(QNetworkReply* reply)
{
    return m_uploads->taskForReply(reply);
}

UploadTask* CloudBase::headTask()
{
    return m_uploads->head();
}

bool CloudBase::headCanceled()
{
    const UploadTask* head = headTask();
    return !head || head->canceled || m_engine->isInterrupted();
}

void CloudBase::enqueueUpload(UploadTask task)
{
    m_uploads->add(std::move(task));
}

void CloudBase::processUploadQueue()
{
    m_uploads->process();
}

void CloudBase::setUploadLimits(int stallMs, int maxRetries, int firstPauseMs)
{
    m_uploads->setLimits(stallMs, maxRetries, firstPauseMs);
}

void CloudBase::setRequestStallLimit(int stallMs)
{
    m_engine->setStallLimit(stallMs);
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
    return m_uploads->cancel(filePath);
}

void CloudBase::checkGrantRepeatedly()
{
    m_lastCloudError = -1;
    do {
        m_retry = false;
        checkForRevokingApp();
    } while (m_retry && !headCanceled());
}

bool CloudBase::prepareUpload()
{
    // After a sign-in view was opened for a lost grant, the checks run once
    // more; a second loss ends the preparation (the view stays for the user).
    // A cancel ends it between any two steps.
    for (int round = 0; round < 2; ++round) {
        checkGrantRepeatedly();
        if (headCanceled())
            return false;
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
            exists = !headCanceled() && checkUploadFolderExists();
        } while (!exists && m_retry && !headCanceled());
        if (headCanceled())
            return false;

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
    UploadTask* task = headTask();
    if (!task)
        return false;
    const QString targetPath = task->targetPath;
    if (task->pendingFolders.isEmpty())
        task->pendingFolders.append(targetPath.startsWith(QLatin1Char('/')) ? targetPath.mid(1) : targetPath);
    // One request per missing folder of the path, outermost first; the
    // provider takes each from the list as it is created.
    for (int folders = task->pendingFolders.size(); folders > 0; --folders) {
        task = headTask();
        if (!task || task->pendingFolders.isEmpty() || headCanceled())
            break;
        const QString folder = task->pendingFolders.first();
        logger()->logLine(LOG_INF, "%s: Creating upload folder %s", name(), folder.toUtf8().constData());
        // UTF-8 whatever the process's locale: the body is JSON.
        const QByteArray body = createFolderBody(folder).toUtf8();
        const int rc = sendRequest(QNetworkAccessManager::PostOperation, QUrl(createFolderUrl()),
                                   UPLOAD_CREATE_FOLDER_REQUEST, true, &body, true);
        if (rc != 0) {
            const QString text = tr("%1 failed to create \"%2\" folder").arg(QLatin1String(name()), targetPath);
            logger()->logLine(LOG_INF, "%s", text.toUtf8().constData());
            emit networkError(text);
            return false;
        }
    }
    task = headTask();
    if (!task || headCanceled())
        return false;
    task->pendingFolders.clear();
    logger()->logLine(LOG_INF, "folder created successfully");
    return true;
}

void CloudBase::onUploadReplyProgress(qint64 bytesSent, qint64 bytesTotal)
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply)
        return;
    UploadTask& task = taskForReply(reply);
    if (task.reply != reply)
        return;
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
