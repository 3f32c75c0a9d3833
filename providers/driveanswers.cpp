#include "driveanswers.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QUrlQuery>

namespace {

const QString kErrorKey = QStringLiteral("error");

} // namespace

CloudError DriveAnswers::describe(const QNetworkReply* reply, const QByteArray& body)
{
    const QJsonObject object = QJsonDocument::fromJson(body).object();
    const QJsonValue error = object.value(kErrorKey);
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
    // An upload session's own address answers 404 once the service forgot it.
    const QUrl address = reply->url();
    if (kind == CloudError::NotFound && address.host() == QLatin1String(kApiHost)
        && address.path().startsWith(QLatin1String("/upload/")) && QUrlQuery(address).hasQueryItem("upload_id"))
        kind = CloudError::SessionExpired;
    CloudError described(kind, reason);
    bool ok = false;
    const double seconds = reply->rawHeader("Retry-After").trimmed().toDouble(&ok);
    if (ok && seconds >= 0 && seconds < 86400)
        described.setRetryAfterMs(int(seconds * 1000));
    return described;
}

QString DriveAnswers::apiAddress(const char* path)
{
    return QStringLiteral("https://%1%2").arg(QLatin1String(kApiHost), QLatin1String(path));
}

CloudEntry DriveAnswers::entry(const QJsonObject& file)
{
    CloudEntry entry;
    entry.id = file.value(QStringLiteral("id")).toString();
    entry.name = file.value(QStringLiteral("name")).toString();
    entry.mimeType = file.value(QStringLiteral("mimeType")).toString();
    entry.folder = entry.mimeType == QLatin1String(kFolderType);
    entry.parentId = file.value(QStringLiteral("parents")).toArray().first().toString();
    // Sizes come as decimal text; Google's own documents have none.
    bool ok = false;
    const qint64 size = file.value(QStringLiteral("size")).toString().toLongLong(&ok);
    entry.size = ok && size >= 0 && !entry.folder ? size : -1;
    entry.modified = QDateTime::fromString(file.value(QStringLiteral("modifiedTime")).toString(), Qt::ISODate);
    if (entry.name.isEmpty())
        entry.id.clear();
    return entry;
}

bool DriveAnswers::pageTokenRefused(const QByteArray& body)
{
    const QJsonObject error = QJsonDocument::fromJson(body).object().value(kErrorKey).toObject();
    if (error.value(QStringLiteral("code")).toInt() != 400)
        return false;
    for (const QJsonValue& detail : error.value(QStringLiteral("errors")).toArray()) {
        if (detail.toObject().value(QStringLiteral("location")).toString() == QLatin1String("pageToken"))
            return true;
    }
    return false;
}

bool DriveAnswers::isGoogleDocument(const CloudEntry& entry)
{
    return !entry.folder && entry.mimeType.startsWith(QLatin1String("application/vnd.google-apps."));
}

QString DriveAnswers::quotedTerm(QString text)
{
    return text.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('\''), QLatin1String("\\'"));
}
