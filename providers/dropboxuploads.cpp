// The Dropbox account's upload sessions: a start, appends of at most
// 16 MiB read from the file in place, and the commit of the file.
#include "dropbox.h"

#include "cloudlog.h"
#include "dropboxcontenthash.h"

#include <QFileInfo>
#include <QIODevice>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace {

ICloudLog* logger()
{
    return CloudLog::instance();
}

} // namespace


QNetworkRequest DropBox::uploadRequest(const char* path) const
{
    QNetworkRequest request(endpoint(kContentHost, path));
    request.setRawHeader(m_authorizationKey, authorizationValue().toLatin1());
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::PreferCache);
    return request;
}

QByteArray DropBox::argumentHeader(const QJsonObject& arguments)
{
    const QString json = QString::fromUtf8(QJsonDocument(arguments).toJson(QJsonDocument::Indented));
    QByteArray header;
    header.reserve(json.size());
    for (const QChar c : json) {
        if (c == QLatin1Char('\n'))
            continue;
        if (c.unicode() > 0x7E)
            header += QByteArrayLiteral("\\u") + QByteArray::number(c.unicode(), 16).rightJustified(4, '0');
        else
            header += char(c.unicode());
    }
    return header;
}

QString DropBox::commitPath(const UploadTask& task)
{
    QString path = task.targetPath;
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    return path + QFileInfo(task.filePath).fileName();
}

void DropBox::startUpload(UploadTask* task)
{
    QNetworkRequest request = uploadRequest("/2/files/upload_session/start");
    request.setRawHeader(m_argumentHeader, "{\"close\": false}");
    request.setRawHeader(m_contentTypeKey, m_dataContentType);
    logger()->logLine(LOG_INF, "Method - post");
    logger()->logLine(LOG_INF, "Url - %s", request.url().toString().toUtf8().constData());
    task->reply = m_networkManager->post(request, QByteArray());
    task->requestKind = UPLOAD_START_REQUEST;
}

void DropBox::sendAppendRequest(UploadTask* task)
{
    if (task->bytesLeft <= kChunkSize) {
        task->chunkSize = task->bytesLeft;
        task->bytesLeft = 0;
    } else {
        task->chunkSize = kChunkSize;
        task->bytesLeft -= kChunkSize;
    }
    const QJsonObject arguments{
        {"cursor", QJsonObject{{m_sessionIdKey, task->sessionId}, {"offset", double(task->offset)}}},
        {"close", false}};
    QNetworkRequest request = uploadRequest("/2/files/upload_session/append_v2");
    request.setRawHeader(m_contentTypeKey, m_dataContentType);
    request.setRawHeader(m_argumentHeader, argumentHeader(arguments));
    logger()->logLine(LOG_INF, "Method - post");
    logger()->logLine(LOG_INF, "Url - %s", request.url().toString().toUtf8().constData());
    logger()->logLine(LOG_INF, "Json - %s", QJsonDocument(arguments).toJson().constData());
    // The chunk is the confirmed offset onwards, read from the file in place.
    if (!task->digest)
        task->digest = std::make_shared<DropboxContentHash>();
    task->reply = sendUploadBody(QNetworkAccessManager::PostOperation, request, task->file, task->offset,
                                 task->chunkSize, task->digest);
    task->requestKind = UPLOAD_APPEND_REQUEST;
    connect(task->reply, &QNetworkReply::uploadProgress, this, &DropBox::onUploadReplyProgress);
}

void DropBox::sendFinishRequest(UploadTask* task)
{
    const QJsonObject arguments{
        {"cursor", QJsonObject{{m_sessionIdKey, task->sessionId}, {"offset", double(task->offset)}}},
        {"commit", QJsonObject{{"path", commitPath(*task)}, {"mode", "add"}, {"autorename", true}, {"mute", false}}}};
    QNetworkRequest request = uploadRequest("/2/files/upload_session/finish");
    request.setRawHeader(m_contentTypeKey, m_dataContentType);
    request.setRawHeader(m_argumentHeader, argumentHeader(arguments));
    logger()->logLine(LOG_INF, "Method - post");
    logger()->logLine(LOG_INF, "Url - %s", request.url().toString().toUtf8().constData());
    logger()->logLine(LOG_INF, "Json - %s", QJsonDocument(arguments).toJson().constData());
    task->reply = m_networkManager->post(request, QByteArray());
    task->requestKind = UPLOAD_FINISH_REQUEST;
}

bool DropBox::confirmStored(UploadTask* task, const QJsonObject& json)
{
    // Uploaded means the service says where it stored the whole file.
    const QString stored = json.value(QStringLiteral("path_display")).toString();
    const double size = json.value(QStringLiteral("size")).toDouble(-1);
    // The service's digest of what it stored against ours of what was read.
    const QByteArray theirs = json.value(QStringLiteral("content_hash")).toString().toLatin1();
    const QByteArray ours = task->digest ? task->digest->result(task->fileSize) : QByteArray();
    if (!theirs.isEmpty() && !ours.isEmpty() && theirs != ours) {
        task->failure = CloudError(CloudError::FileChanged, tr("the stored copy %1 does not match it").arg(stored));
        return false;
    }
    if (stored.isEmpty() || size != double(task->fileSize)) {
        task->failure = CloudError(CloudError::BadReply, tr("the commit was not confirmed"));
        return false;
    }
    task->storedPath = stored;
    task->storedSize = task->fileSize;
    return true;
}

void DropBox::handleUploadReply(UploadTask* task, const QJsonObject& json)
{
    if (!json.isEmpty())
        task->lastError = m_lastCloudError;
    auto releaseReply = [task] {
        if (task->reply)
            task->reply->deleteLater();
        task->reply = nullptr;
    };
    switch (task->requestKind) {
    case UPLOAD_START_REQUEST:
        // An answer without a session id is unusable as it stands: an append
        // to no session would only earn "not found", told as if of the file.
        task->sessionId = json.value(m_sessionIdKey).toString();
        if (task->sessionId.isEmpty()) {
            task->failure = CloudError(CloudError::BadReply, tr("no session was opened"));
            return;
        }
        releaseReply();
        sendAppendRequest(task);
        break;
    case UPLOAD_APPEND_REQUEST:
        releaseReply();
        task->offset += task->chunkSize;
        ++task->chunkCount;
        if (task->bytesLeft == 0)
            sendFinishRequest(task);
        else
            sendAppendRequest(task);
        break;
    case UPLOAD_FINISH_REQUEST:
        if (!confirmStored(task, json))
            return;
        logger()->logLine(LOG_INF, "task %s was finished", task->filePath.toUtf8().constData());
        logger()->logLine(LOG_INF, "---\n");
        releaseReply();
        if (task->file) {
            task->file->close();
            task->file->deleteLater();
            task->file = nullptr;
        }
        break;
    default:
        break;
    }
}

void DropBox::resumeUpload(UploadTask* task, const CloudError& why)
{
    // Without a session, or one the service no longer knows: a new one.
    if (task->sessionId.isEmpty() || why.kind() == CloudError::SessionExpired) {
        CloudBase::resumeUpload(task, why);
        return;
    }
    // The session goes on from the bytes the service confirmed; its
    // incorrect_offset answer says how many that is.
    if (why.kind() == CloudError::WrongOffset && why.confirmedOffset() >= 0
        && quint64(why.confirmedOffset()) <= task->fileSize)
        task->offset = why.confirmedOffset();
    const bool finishing = task->requestKind == UPLOAD_FINISH_REQUEST && quint64(task->offset) == task->fileSize;
    if (finishing) {
        sendFinishRequest(task);
        return;
    }
    task->bytesLeft = qint64(task->fileSize) - task->offset;
    sendAppendRequest(task);
}

bool DropBox::commitsUpload(const UploadTask& task)
{
    return task.requestKind == UPLOAD_FINISH_REQUEST;
}
