#include "dropboxanswers.h"

#include <QJsonDocument>
#include <QNetworkReply>

namespace {

// Milliseconds of a Retry-After header given in seconds; -1 without one.
int retryAfterMs(const QNetworkReply* reply)
{
    bool ok = false;
    const double seconds = reply->rawHeader("Retry-After").trimmed().toDouble(&ok);
    return ok && seconds >= 0 && seconds < 86400 ? int(seconds * 1000) : -1;
}

QString text(const QJsonObject& object, const char* key)
{
    return object.value(QLatin1String(key)).toString();
}

} // namespace

CloudError DropboxAnswers::describe(const QNetworkReply* reply, const QByteArray& body)
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

QUrl DropboxAnswers::endpoint(const char* host, const char* path)
{
    return QUrl(QStringLiteral("https://%1%2").arg(QLatin1String(host), QLatin1String(path)));
}

CloudEntry DropboxAnswers::entry(const QJsonObject& metadata)
{
    CloudEntry entry;
    const QString tag = text(metadata, ".tag");
    if (tag != QLatin1String("file") && tag != QLatin1String("folder"))
        return entry;
    entry.id = text(metadata, "id");
    entry.name = text(metadata, "name");
    entry.path = text(metadata, "path_display");
    entry.folder = tag == QLatin1String("folder");
    if (!entry.folder) {
        const double size = metadata.value(QStringLiteral("size")).toDouble(-1);
        entry.size = size >= 0 && size < 9.0e18 ? qint64(size) : -1;
        // The file's own time, as the person who saved it knows it.
        QString modified = text(metadata, "client_modified");
        if (modified.isEmpty())
            modified = text(metadata, "server_modified");
        entry.modified = QDateTime::fromString(modified, Qt::ISODate);
    }
    if (entry.name.isEmpty() || entry.path.isEmpty())
        entry.id.clear();
    return entry;
}

bool DropboxAnswers::cursorReset(const QByteArray& body)
{
    const QJsonObject object = QJsonDocument::fromJson(body).object();
    return text(object, "error_summary").startsWith(QLatin1String("reset"))
        || text(object.value(QStringLiteral("error")).toObject(), ".tag") == QLatin1String("reset");
}
