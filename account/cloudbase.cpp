#include "cloudbase.h"

#include "cloudlog.h"
#include "cloudview.h"
#include "cookiesmanager.h"
#include "filepicker.h"
#include "privatediskcache.h"
#include "qovisettings.h"
#include "oauthclient.h"
#include "requestengine.h"
#include "signinattempt.h"
#include "tokenrefresh.h"
#include "uploadqueue.h"

#include <QJsonDocument>
#include <QNetworkReply>
#include <QStandardPaths>
#include <QWebFrame>
#include <QWebPage>

namespace {

const qint64 kCacheSize = 10485760;

ICloudLog* logger()
{
    return CloudLog::instance();
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
    m_cache = new PrivateDiskCache(this);
    m_cache->setCacheDirectory(QStandardPaths::writableLocation(QStandardPaths::CacheLocation)
                               + QStringLiteral("/QoviClouds"));
    m_cache->setMaximumCacheSize(kCacheSize);
    m_networkManager->setCache(m_cache);
    m_engine = new RequestEngine(m_networkManager, m_service.name, this);
    m_uploads = new UploadQueue(*this, *m_engine, this);

    m_view = new CloudView(m_service, nullptr);
    m_view->page()->setNetworkAccessManager(m_networkManager);
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
    // The browser road's jobs hold the record and the registration.
    delete m_attempt.data();
    delete m_refresh;
    m_refresh = nullptr;
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
    std::string record = m_record.text();
    // A sign-in in the user's browser leaves no web session here: its
    // record stands for it.
    const bool session = cookies || madeInBrowser();
    if (!record.empty() && (email.isEmpty() || !session)) {
        // A token without the sign-in it belongs to is of no use.
        m_record.remove();
        record = m_record.text();
    }
    const bool connected = !email.isEmpty() && session && !record.empty();

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
        startSignIn();
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
    if (usesNativeChooser())
        return showNativeChooser();
    m_refusedHosts.clear();
    return m_view && m_view->openChooser();
}

bool CloudBase::connectToCloud()
{
    m_mode = CONNECTING_MODE;
    return startSignIn();
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
    m_record.remove();
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
    // A record the store refuses is still used, from memory: the old one
    // on disk holds a token the service has just replaced.
    if (!m_record.save(QJsonDocument(record).toJson()))
        logger()->logLine(LOG_ERR, "%s: handleTokenReply() saveToken error", name());
}

void CloudBase::stampReceivedTime(QJsonObject& record) const
{
    TokenRecord::stampReceivedTime(record);
}

void CloudBase::putRefreshToken(QJsonObject& record, const QString& refreshToken) const
{
    if (!record.isEmpty())
        record.insert(m_refreshTokenKey, refreshToken);
}

QString CloudBase::accessToken() const
{
    return m_record.accessToken();
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
    return !madeInBrowser() || browserTokenValid();
}

QString CloudBase::readRefreshToken()
{
    return QString();
}

QString CloudBase::refreshTokenFromJson(const QJsonObject&)
{
    return QString();
}

QString CloudBase::sendRefreshTokenSyncRequest(QNetworkReply* failed)
{
    return madeInBrowser() ? renewBrowserToken(failed) : QString();
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
