#include "googledrive.h"

#include "cloudcredential.h"
#include "cloudlog.h"
#include "filepicker.h"
#include "tokenstorage.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

const QStringList& supportedTypes()
{
    static const QStringList types{"video/x-matroska", "video/qovi", "video/x-msvideo",
                                   "video/avi",        "video/mp4",  "video/quicktime"};
    return types;
}

} // namespace

GoogleDrive::GoogleDrive(const qvtl::string& applicationName)
    : CloudBase(GDRIVE_CLOUD, applicationName.str(), "gdEmail")
{
    m_filePicker->setAppKey(QString::fromStdString(cloudCredential(m_applicationName, m_cloudType, -1)));
    if (isPlayerSection())
        m_filePicker->setSupportedExtensions(supportedTypes());
}

bool GoogleDrive::isTokenExpired() const
{
    std::string text;
    if (!m_storage->readToken(m_applicationName, GDRIVE_CLOUD, text) || text.empty()) {
        CloudLog::instance()->logLine(LOG_WRN, "%s: m_storage->readToken", name());
        return false;
    }
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(text));
    if (document.isEmpty())
        return false;
    const QJsonObject record = document.object();
    const double receivedTime = record.value(QStringLiteral("received_time")).toDouble();
    const double lifetimeMs = record.value(QStringLiteral("expires_in")).toDouble() * 1000;
    return double(QDateTime::currentMSecsSinceEpoch()) > receivedTime + lifetimeMs;
}

int GoogleDrive::notAvailable(const char* operation) const
{
    CloudLog::instance()->logLine(LOG_WRN, "%s: %s - the Google Drive web API is not available in this build", name(),
                                  operation);
    return kNothingSent;
}

int GoogleDrive::parseErrorReply(const QByteArray&, std::string&)
{
    return 1;
}

bool GoogleDrive::checkUploadFolderExists()
{
    notAvailable("checkUploadFolderExists");
    return false;
}

QString GoogleDrive::redirectUri()
{
    return QString();
}

int GoogleDrive::sendAboutAccountSyncRequest(int)
{
    return notAvailable("sendAboutAccountSyncRequest");
}

int GoogleDrive::sendFreeSpaceRequest(bool)
{
    return notAvailable("sendFreeSpaceRequest");
}

QString GoogleDrive::authorizationUrl()
{
    notAvailable("authorizationUrl");
    return QString();
}

QString GoogleDrive::createFolderBody(const QString&)
{
    return QString();
}

QString GoogleDrive::createFolderUrl()
{
    return QString();
}

QString GoogleDrive::parseEmail(const QJsonObject&)
{
    return QString();
}

quint64 GoogleDrive::parseTotalSpace(const QJsonObject&)
{
    return 0;
}

quint64 GoogleDrive::parseUsedSpace(const QJsonObject&)
{
    return 0;
}

void GoogleDrive::handleAuthorizationReply(int, const QString&) {}

void GoogleDrive::handleCreateFolderReply(const QJsonObject&) {}

void GoogleDrive::handleUploadReply(UploadTask*, const QJsonObject&) {}

void GoogleDrive::startUpload(UploadTask*)
{
    notAvailable("startUpload");
}
