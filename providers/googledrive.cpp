#include "googledrive.h"

#include "cloudlog.h"
#include "tokenstorage.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

GoogleDrive::GoogleDrive(const qvtl::string& applicationName)
    : CloudBase(GDRIVE_CLOUD, applicationName.str(), "gdEmail")
{
}

bool GoogleDrive::isTokenExpired() const
{
    std::string text;
    if (!m_storage->readToken(m_applicationName, GDRIVE_CLOUD, text) || text.empty()) {
        CloudLog::instance()->logLine(LOG_WRN, "%s: m_storage->readToken", cloudTypeName(m_cloudType));
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
