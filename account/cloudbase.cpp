#include "cloudbase.h"

#include "cloudlog.h"
#include "qovisettings.h"
#include "tokenstorage.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {

ICloudLog* logger()
{
    return CloudLog::instance();
}

} // namespace

CloudBase::CloudBase(CLOUD_TYPE cloudType, const std::string& applicationName, const char* emailSettingKey)
    : QObject(nullptr),
      m_cloudType(cloudType),
      m_applicationName(applicationName),
      m_storage(std::make_unique<TokenStorage>()),
      m_emailSettingKey(emailSettingKey)
{
}

CloudBase::~CloudBase()
{
    if (m_ownsView)
        delete m_view.data();
}

const char* CloudBase::cloudTypeName(CLOUD_TYPE type)
{
    switch (type) {
    case DROPBOX_CLOUD: return "Dropbox";
    case GDRIVE_CLOUD: return "Google Drive";
    }
    return "";
}

bool CloudBase::isConnected(bool verbose)
{
    const QString email = readEmail();
    const bool cookies = hasWebSession();
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
        ICloudLog* log = logger();
        log->logLine(LOG_INF, "%s: Check if cloud already connected", cloudTypeName(m_cloudType));
        log->logLine(LOG_INF, "Cookies => %sfound", cookies ? "" : "not ");
        log->logLine(LOG_INF, "Token => %s", record.empty() ? "empty" : "exists");
        log->logLine(LOG_INF, "User email => %s", email.isEmpty() ? "empty" : email.toUtf8().constData());
        log->logLine(LOG_INF, "Summary status => [%sconnected]", connected ? "" : "not ");
        log->logLine(LOG_INF, "---\n");
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

bool CloudBase::isPlayerSection() const
{
    return m_applicationName == "Player";
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
    if (!m_view) {
        logger()->logLine(LOG_WRN, "%s: no chooser view", cloudTypeName(m_cloudType));
        return false;
    }
    m_view->show();
    return true;
}

bool CloudBase::connectToCloud()
{
    m_mode = CONNECTING_MODE;
    return openCloudView();
}

void CloudBase::disconnectCloud()
{
    logger()->logLine(LOG_INF, "%s: clean cookies, token, email", cloudTypeName(m_cloudType));
    logger()->logLine(LOG_INF, "%s", "");
    m_storage->removeToken(m_applicationName, m_cloudType);
    storeEmail(QString());
    emit cloudDisconnected(m_cloudType);
}

bool CloudBase::openCloudView()
{
    if (m_mode == NO_MODE)
        m_mode = CONNECTING_MODE;
    logger()->logLine(LOG_INF, "%s: opening modality cloud view", cloudTypeName(m_cloudType));
    if (!m_view) {
        logger()->logLine(LOG_WRN, "%s: no sign-in view", cloudTypeName(m_cloudType));
        return false;
    }
    m_view->setWindowModality(Qt::ApplicationModal);
    m_view->show();
    return true;
}

bool CloudBase::ensureValidToken()
{
    return true;
}

QString CloudBase::sendRefreshTokenSyncRequest(QNetworkReply*)
{
    return QString();
}

bool CloudBase::hasWebSession() const
{
    // The web sessions' cookies are not kept yet, so no sign-in is complete.
    return false;
}

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
