#include "dropbox.h"

#include "cloudcredential.h"
#include "cloudlog.h"
#include "cookiesmanager.h"
#include "dropboxoauth.h"
#include "filepicker.h"

#include <QJsonDocument>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>
#include <QMap>

const char* const DropBox::kWebHost = "www.dropbox.com";
const char* const DropBox::kApiHost = "api.dropboxapi.com";
const char* const DropBox::kContentHost = "content.dropboxapi.com";

namespace {

ICloudLog* logger()
{
    return CloudLog::instance();
}

// key=value items separated by "&"; the first of equal keys counts.
QMap<QString, QString> fragmentItems(const QString& fragment)
{
    QMap<QString, QString> items;
    for (const QString& item : fragment.split(QLatin1Char('&'))) {
        const int equals = item.indexOf(QLatin1Char('='));
        const QString key = equals < 0 ? item : item.left(equals);
        if (!items.contains(key))
            items.insert(key, equals < 0 ? QString() : item.mid(equals + 1));
    }
    return items;
}

// A reply's number as a byte count. JSON numbers are doubles; a negative,
// oversized or not-a-number value must not reach the conversion, whose
// result would be undefined.
quint64 byteCount(double value)
{
    if (!(value > 0))
        return 0;
    if (value >= 18446744073709551616.0)
        return ~quint64(0);
    return quint64(value);
}

const QStringList& supportedExtensions()
{
    static const QStringList extensions{".qovi", ".mkv", ".avi", ".mov", ".mp4"};
    return extensions;
}

// Milliseconds of a Retry-After header given in seconds; -1 without one.
int retryAfterMs(const QNetworkReply* reply)
{
    bool ok = false;
    const double seconds = reply->rawHeader("Retry-After").trimmed().toDouble(&ok);
    return ok && seconds >= 0 && seconds < 86400 ? int(seconds * 1000) : -1;
}

} // namespace

const ServiceDescriptor& DropBox::service()
{
    static const ServiceDescriptor dropbox{
        DROPBOX_CLOUD,
        "Dropbox",
        ":/QoviCloudConnect/dropboxchooser.html",
        {"db", "dropbox", "chooser", "logout", "origin", "blid", CookieRule::KeepSessionOnSignIn},
        {Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::WindowMinMaxButtonsHint, QSize(640, 480),
         QSize(), false},
        {QStringLiteral("dl.dropboxusercontent.com")},
    };
    return dropbox;
}

DropBox::DropBox(const qvtl::string& applicationName) : CloudBase(service(), applicationName.str(), "dbEmail")
{
    m_filePicker->setAppKey(QString::fromStdString(cloudCredential(m_applicationName, m_cloudType, -1)));
    if (isPlayerSection())
        m_filePicker->setSupportedExtensions(supportedExtensions());
    setOAuthClient(std::make_unique<DropboxOAuth>(m_applicationName));
}

QUrl DropBox::endpoint(const char* host, const char* path)
{
    return QUrl(QStringLiteral("https://%1%2").arg(QLatin1String(host), QLatin1String(path)));
}

// ---------------------------------------------------------------------------
// Sign-in

bool DropBox::openCloudView()
{
    // Without a web session the chooser page is where the user signs in.
    if (m_cookiesManager->isLoggedIn())
        return CloudBase::openCloudView();
    return showChooser();
}

QString DropBox::redirectUri()
{
    return QStringLiteral("qovi://cloud_callback");
}

QString DropBox::authorizationUrl()
{
    return QStringLiteral("https://") + QLatin1String(kWebHost)
        + QStringLiteral("/oauth2/authorize?response_type=token&client_id=%1&redirect_uri=%2")
              .arg(QString::fromStdString(cloudCredential(m_applicationName, DROPBOX_CLOUD, -1)), redirectUri());
}

void DropBox::afterLoggedIn()
{
    if (isConnected(false))
        return;
    logger()->logLine(LOG_INF, "Close chooser");
    closeChooser();
    logger()->logLine(LOG_INF, "Will show dialog to allow app use cloud");
    openCloudView();
}

void DropBox::handleAuthorizationReply(int networkError, const QString& url)
{
    if (networkError != QNetworkReply::ProtocolUnknownError)
        return;
    const QUrl address(url);
    if (!address.hasFragment())
        return;
    const QMap<QString, QString> fragment = fragmentItems(address.fragment(QUrl::FullyDecoded));
    const QString accessToken = fragment.value(QStringLiteral("access_token"));
    const QString description = fragment.value(QStringLiteral("error_description"));

    if (!accessToken.isEmpty()) {
        QString accountId;
        const QStringList parts = fragment.value(m_accountIdKey).split(QLatin1Char(':'));
        if (parts.size() == 2) {
            accountId = parts.at(1);
            if (!accountId.isEmpty())
                logger()->logLine(LOG_INF, "Access token and account ID found");
            else
                logger()->logLine(LOG_ERR, "Invalid account ID!");
        }
        saveTokenRecord(accessToken, accountId);
        const QString email = readEmail();
        if (email.isEmpty()) {
            if (!requestUserEmail())
                emit signInFailed(tr("%1: the account could not be read: %2")
                                      .arg(QLatin1String(name()), lastError().text()));
        } else {
            emit connectedToCloud(DROPBOX_CLOUD, email);
        }
        continueAfterSignIn();
    } else if (!description.isEmpty()) {
        const QString error = fragment.value(QStringLiteral("error"));
        logger()->logLine(LOG_ERR, "%s: Error during authorization - %s \"%s\"", name(), error.toUtf8().constData(),
                          description.toUtf8().constData());
        closeChooser();
        emit signInFailed(tr("%1 refused the sign-in: %2").arg(QLatin1String(name()), description));
    }
}

void DropBox::saveTokenRecord(const QString& accessToken, const QString& accountId)
{
    const QJsonObject record{{m_accessTokenKey, accessToken}, {m_accountIdKey, accountId}};
    logger()->logLine(LOG_INF, "saving token to storage");
    if (!m_record.save(QJsonDocument(record).toJson()))
        logger()->logLine(LOG_ERR, "ERROR to save token");
}

void DropBox::continueAfterSignIn()
{
    switch (m_mode) {
    case CHOOSER_OPENING_MODE:
        closeChooser();
        openChooserFlow();
        break;
    case UPLOADING_MODE:
        if (!checkUploadFolderExists())
            createUploadFolder();
        break;
    case CONNECTING_MODE:
        closeChooser();
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------------------
// Account information and errors

QString DropBox::storedAccountId() const
{
    return m_record.value(m_accountIdKey);
}

int DropBox::sendAboutAccountSyncRequest(int requestKind)
{
    const QString accountId = storedAccountId();
    if (accountId.isEmpty()) {
        logger()->logLine(LOG_WRN, "%s: sendAboutAccountSyncRequest - can't to send request because accountID is empty",
                          name());
        return QNetworkReply::AuthenticationRequiredError;
    }
    const QByteArray body =
        QStringLiteral("{\"%1\": \"%2:%3\"}").arg(m_accountIdKey, m_accountIdPrefix, accountId).toLocal8Bit();
    return sendRequest(QNetworkAccessManager::PostOperation, endpoint(kApiHost, "/2/users/get_account"),
                       requestKind, true, &body, true);
}

int DropBox::sendFreeSpaceRequest(bool sync)
{
    return sendRequest(QNetworkAccessManager::PostOperation, endpoint(kApiHost, "/2/users/get_space_usage"),
                       FREESPACE_REQUEST, sync, nullptr, false);
}

QString DropBox::parseEmail(const QJsonObject& json)
{
    return json.value(QStringLiteral("email")).toString();
}

quint64 DropBox::parseTotalSpace(const QJsonObject& json)
{
    const QJsonObject allocation = json.value(QStringLiteral("allocation")).toObject();
    return byteCount(allocation.value(QStringLiteral("allocated")).toDouble());
}

quint64 DropBox::parseUsedSpace(const QJsonObject& json)
{
    return byteCount(json.value(QStringLiteral("used")).toDouble());
}

int DropBox::parseErrorReply(const QByteArray& body, std::string& message)
{
    if (body.isEmpty())
        return 1;
    const QJsonObject object = QJsonDocument::fromJson(body).object();
    if (object.isEmpty())
        return 1;
    const QString summary = object.value(QStringLiteral("error_summary")).toString();
    if (!summary.isEmpty())
        logger()->logLine(LOG_ERR, "%s: returned error:\n%s", name(), body.constData());
    static const std::pair<const char*, int> codes[] = {{"invalid_access_token", 2}, {"insufficient_space", 3}};
    for (const auto& [key, code] : codes) {
        if (summary.contains(QLatin1String(key))) {
            message = key;
            return code;
        }
    }
    message = summary.toStdString();
    return 0;
}

// ---------------------------------------------------------------------------
// Folders

bool DropBox::checkUploadFolderExists()
{
    return true; // a committed path creates its folders
}

QString DropBox::createFolderBody(const QString& folderName)
{
    return QStringLiteral("{\"path\": \"/%1\"}").arg(folderName);
}

QString DropBox::createFolderUrl()
{
    return endpoint(kApiHost, "/2/files/create_folder").toString();
}

void DropBox::handleCreateFolderReply(const QJsonObject&)
{
    UploadTask* head = headTask();
    if (m_lastCloudError != 0 || !head)
        return;
    UploadTask& task = *head;
    task.folderId = task.targetPath;
    task.pendingFolders.clear();
    logger()->logLine(LOG_INF, "%s: task %s for target path %s has id %s", name(), task.filePath.toUtf8().constData(),
                      task.targetPath.toUtf8().constData(), task.folderId.toUtf8().constData());
}

CloudError DropBox::describeError(const QNetworkReply* reply, const QByteArray& body)
{
    const QJsonObject object = QJsonDocument::fromJson(body).object();
    const QString summary = object.value(QStringLiteral("error_summary")).toString();
    CloudError error = CloudError::fromReply(reply);
    const QString reason = summary.isEmpty() ? QString::fromUtf8(body.left(200)).trimmed() : summary;
    static const std::pair<const char*, CloudError::Kind> kinds[] = {
        // A lost sign-in first, as the error codes rank it: nothing else can
        // be done until the user signs in again.
        {"invalid_access_token", CloudError::GrantRevoked},
        {"expired_access_token", CloudError::Unauthorized},
        {"insufficient_space", CloudError::InsufficientSpace},
        {"incorrect_offset", CloudError::WrongOffset},
        {"conflict", CloudError::PathConflict},
        {"too_many", CloudError::RateLimited},
        {"lookup_failed/not_found", CloudError::SessionExpired},
        {"not_found", CloudError::NotFound},
        {"closed", CloudError::NotFound},
    };
    CloudError::Kind kind = error.kind();
    for (const auto& [tag, meaning] : kinds) {
        if (summary.contains(QLatin1String(tag))) {
            kind = meaning;
            break;
        }
    }
    CloudError described(kind, reason);
    described.setRetryAfterMs(retryAfterMs(reply));
    if (kind == CloudError::WrongOffset) {
        // {"error": {"correct_offset": N}} or nested under "lookup_failed".
        const QJsonObject details = object.value(QStringLiteral("error")).toObject();
        const QJsonValue direct = details.value(QStringLiteral("correct_offset"));
        const QJsonValue nested = details.value(QStringLiteral("lookup_failed")).toObject().value(
            QStringLiteral("correct_offset"));
        const double offset = direct.isDouble() ? direct.toDouble() : nested.toDouble(-1);
        described.setConfirmedOffset(offset >= 0 && offset < 9.0e18 ? qint64(offset) : -1);
    }
    return described;
}

bool DropBox::usableReply(int kind, const QJsonObject& json)
{
    if (kind == FREESPACE_REQUEST)
        return json.value(QStringLiteral("used")).isDouble() && json.value(QStringLiteral("allocation")).isObject();
    return true;
}
