#include "dropbox.h"

#include "accounttokens.h"
#include "cloudcredential.h"
#include "cloudlog.h"
#include "cookiesmanager.h"
#include "dropboxanswers.h"
#include "dropboxfiles.h"
#include "dropboxoauth.h"
#include "filepicker.h"
#include "storedtokens.h"

#include <QJsonDocument>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>
#include <QMap>

const char* const DropBox::kWebHost = DropboxAnswers::kWebHost;
const char* const DropBox::kApiHost = DropboxAnswers::kApiHost;
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

DropBox::DropBox(const qvtl::string& applicationName)
    : CloudBase(service(), applicationName.str(), StoredTokens::emailKey(DROPBOX_CLOUD))
{
    m_filePicker->setAppKey(QString::fromStdString(cloudCredential(m_applicationName, m_cloudType, -1)));
    if (isPlayerSection())
        m_filePicker->setSupportedExtensions(supportedExtensions());
    setOAuthClient(std::make_unique<DropboxOAuth>(m_applicationName));
}

DropBox::~DropBox()
{
    // Its jobs go before the files they use.
    closeNativeChooser();
}

DropboxFiles* DropBox::files()
{
    if (!m_files) {
        m_tokens = std::make_unique<AccountTokens>(AccountTokens::Operations{
            [this] { return accessToken(); }, [this] { return browserTokenDue(); },
            [this](std::function<void(const CloudError&)> then) { renewAccessToken(std::move(then)); }});
        m_files = std::make_unique<DropboxFiles>(*m_tokens);
    }
    return m_files.get();
}

ListingSource* DropBox::listingSource()
{
    return files();
}

QUrl DropBox::endpoint(const char* host, const char* path)
{
    return DropboxAnswers::endpoint(host, path);
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
    return DropboxAnswers::describe(reply, body);
}

bool DropBox::usableReply(int kind, const QJsonObject& json)
{
    if (kind == FREESPACE_REQUEST)
        return json.value(QStringLiteral("used")).isDouble() && json.value(QStringLiteral("allocation")).isObject();
    return true;
}
