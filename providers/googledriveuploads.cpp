// The Google Drive account's uploads: the folder a file goes into, found
// or made, and the resumable upload of the file.
#include "googledrive.h"

#include "cloudlog.h"
#include "hashdigest.h"

#include <QDir>
#include <QFileInfo>
#include <QIODevice>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMimeDatabase>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

namespace {

ICloudLog* logger()
{
    return CloudLog::instance();
}

QString mimeTypeOf(const QString& filePath)
{
    static const QMimeDatabase database;
    return database.mimeTypeForFile(filePath).name();
}

// A text inside a JSON string.
QString jsonText(const QString& text)
{
    const QByteArray quoted = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(quoted.mid(2, quoted.size() - 4));
}

} // namespace


bool GoogleDrive::readyToUpload(UploadTask* task)
{
    return !task->folderId.isEmpty();
}

QString GoogleDrive::folderNameOf(const QString& targetPath)
{
    return folderPathOf(targetPath).value(0);
}

QStringList GoogleDrive::folderPathOf(const QString& targetPath)
{
    return QDir::toNativeSeparators(targetPath).split(QDir::separator(), Qt::SkipEmptyParts);
}

QUrl GoogleDrive::folderSearchUrl(const QString& name, const QString& parentId, bool oldestFolder)
{
    // Any item of that name matches; folders are listed first. Asked for the
    // oldest folder, only folders match, the first made first.
    QString expression = QStringLiteral("name = '%1'").arg(DriveAnswers::quotedTerm(name));
    if (!parentId.isEmpty())
        expression += QStringLiteral(" and '%1' in parents").arg(DriveAnswers::quotedTerm(parentId));
    if (oldestFolder)
        expression += QStringLiteral(" and mimeType = '%1'").arg(QLatin1String(kFolderType));
    expression += QStringLiteral(" and trashed = false");
    const char* path = oldestFolder ? "/drive/v3/files?orderBy=createdTime&q=" : "/drive/v3/files?orderBy=folder&q=";
    return QUrl::fromEncoded(hostUrl(kApiHost, path).toLatin1() + QUrl::toPercentEncoding(expression));
}

bool GoogleDrive::checkUploadFolderExists()
{
    UploadTask* head = headTask();
    if (!head)
        return false;
    if (!head->folderId.isEmpty())
        return true;
    // Each folder of the path inside the one before it; the first missing
    // one and those below it are left for the folder creation.
    const QStringList folders = folderPathOf(head->targetPath);
    if (folders.isEmpty()) {
        // The top of the Drive: there is nothing to find or to make.
        head->folderId = QStringLiteral("root");
        return true;
    }
    logger()->logLine(LOG_INF, "%s: Check if upload folder \"%s\" already exists", name(),
                      head->targetPath.toUtf8().constData());
    const int walk = ++m_folderWalks;
    QString parent;
    for (int level = 0; level < folders.size(); ++level) {
        if (!searchFolder(folders.at(level), parent)) {
            // A refused search is repeated, whole, by the token refresh it
            // caused: its answer is this walk's.
            head = headTask();
            return m_folderWalks != walk && head && !head->folderId.isEmpty() && head->pendingFolders.isEmpty();
        }
        head = headTask();
        if (!head)
            return false;
        if (head->folderId.isEmpty()) {
            head->parentFolderId = parent;
            head->pendingFolders = folders.mid(level);
            return false;
        }
        parent = head->folderId;
        if (level + 1 < folders.size())
            head->folderId.clear();
    }
    head->pendingFolders.clear();
    return !head->folderId.isEmpty();
}

QString GoogleDrive::oldestFolder(const QString& folderName, const QString& parentId, const QString& created)
{
    if (folderName.isEmpty() || m_oldestFolder)
        return created;
    QString oldest;
    m_oldestFolder = &oldest;
    const QString parent = parentId.isEmpty() ? QStringLiteral("root") : parentId;
    const int result = sendRequest(QNetworkAccessManager::GetOperation, folderSearchUrl(folderName, parent, true),
                                   CHECK_FOLDER_REQUEST, true, nullptr, false);
    m_oldestFolder = nullptr;
    if (result != 0 || oldest.isEmpty())
        return created;
    if (oldest != created)
        logger()->logLine(LOG_INF, "%s: folder %s was made twice at once; %s, the first, is taken", name(),
                          folderName.toUtf8().constData(), oldest.toUtf8().constData());
    return oldest;
}

bool GoogleDrive::searchFolder(const QString& name, const QString& parentId)
{
    const int result = sendRequest(QNetworkAccessManager::GetOperation, folderSearchUrl(name, parentId),
                                   CHECK_FOLDER_REQUEST, true, nullptr, false);
    // The reply may have been handled while the queue changed.
    return result == 0 && headTask();
}

void GoogleDrive::handleUploadFolderExistsReply(const QJsonObject& json)
{
    logger()->logLine(LOG_INF, "%s: hanldeUploadFolderExistsReply", name());
    const QJsonArray files = json.value(QStringLiteral("files")).toArray();
    if (m_oldestFolder) {
        *m_oldestFolder = files.first().toObject().value(m_idKey).toString();
        return;
    }
    UploadTask* head = headTask();
    if (!head)
        return;
    const QJsonObject first = files.first().toObject();
    const QString type = first.value(QStringLiteral("mimeType")).toString();
    if (!type.isEmpty() && type != QLatin1String(kFolderType)) {
        // Folders come first: a first match that is none means a file of
        // that name stands where the folder would be, and nothing can go in.
        m_lastCloudError = kFileInTheWay;
        m_lastError = CloudError(CloudError::PathConflict, tr("a file named %1 is where the folder %2 would be")
                                                               .arg(first.value(QStringLiteral("name")).toString(),
                                                                    head->targetPath));
    } else if (!files.isEmpty()) {
        head->folderId = first.value(m_idKey).toString();
    }
    logger()->logLine(LOG_INF, "%s: id for upload folder \"%s\" is \"%s\"", name(), head->targetPath.toUtf8().constData(),
                      head->folderId.toUtf8().constData());
}

QString GoogleDrive::createFolderBody(const QString& folderName)
{
    const UploadTask* head = headTask();
    const QString parent = head && !head->parentFolderId.isEmpty() ? head->parentFolderId : QStringLiteral("root");
    return QStringLiteral(
               "{\"title\": \"%1\", \"parents\": [{\"id\":\"%2\"}], \"mimeType\":\"application/vnd.google-apps.folder\"}")
        .arg(jsonText(folderName), jsonText(parent));
}

QString GoogleDrive::createFolderUrl()
{
    return hostUrl(kApiHost, "/drive/v2/files");
}

void GoogleDrive::handleCreateFolderReply(const QJsonObject& json)
{
    UploadTask* head = headTask();
    if (!head)
        return;
    // The next folder of the path goes into this one.
    const QString parent = head->parentFolderId;
    const QString folderName = head->pendingFolders.value(0);
    const QString id = json.value(m_idKey).toString();
    head->parentFolderId = id;
    if (!head->pendingFolders.isEmpty())
        head->pendingFolders.removeFirst();
    if (head->pendingFolders.isEmpty())
        head->folderId = id;
    logger()->logLine(LOG_INF, "%s: upload folder %s created, folder id - %s", name(),
                      head->targetPath.toUtf8().constData(), id.toUtf8().constData());
    // Another upload may have made the same folder at the same time: all
    // then take the first made.
    const QString oldest = oldestFolder(folderName, parent, id);
    head = headTask();
    if (oldest == id || !head)
        return;
    head->parentFolderId = oldest;
    if (head->pendingFolders.isEmpty())
        head->folderId = oldest;
}

// ---------------------------------------------------------------------------
// The resumable upload

void GoogleDrive::logUploadRequest(const char* method, const QNetworkRequest& request, const QString& mime,
                                   quint64 fileSize) const
{
    logger()->logLine(LOG_INF, "Method - %s", method);
    logger()->logLine(LOG_INF, "Url - %s", request.url().toString().toUtf8().constData());
    logger()->logLine(LOG_INF, "Mime - %s", mime.toUtf8().constData());
    logger()->logLine(LOG_INF, "FileSize - %llu", (unsigned long long)fileSize);
}

void GoogleDrive::startUpload(UploadTask* task)
{
    const QString mime = mimeTypeOf(task->filePath);
    const QJsonObject metadata{{QStringLiteral("name"), QFileInfo(task->filePath).fileName()},
                               {QStringLiteral("parents"), QJsonArray{task->folderId}}};
    const QByteArray body = QJsonDocument(metadata).toJson();

    QNetworkRequest request(QUrl(hostUrl(kApiHost, "/upload/drive/v3/files?uploadType=resumable")));
    request.setRawHeader(m_contentTypeKey, "application/json; charset=UTF-8");
    request.setHeader(QNetworkRequest::ContentLengthHeader, body.size());
    request.setRawHeader(m_authorizationKey, authorizationValue().toLatin1());
    request.setRawHeader("X-Upload-Content-Type", mime.toLatin1());
    request.setRawHeader("X-Upload-Content-Length", QByteArray::number(task->fileSize));
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::PreferCache);
    logUploadRequest("post", request, mime, task->fileSize);

    task->sessionId.clear();
    task->reply = m_networkManager->post(request, body);
    task->requestKind = UPLOAD_START_REQUEST;
}

QNetworkRequest GoogleDrive::sessionRequest(const UploadTask& task) const
{
    QNetworkRequest request(QUrl(task.sessionId, QUrl::TolerantMode));
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::PreferCache);
    return request;
}

void GoogleDrive::sendUploadData(UploadTask* task)
{
    const QString mime = mimeTypeOf(task->filePath);
    // The session address alone identifies the upload: no Authorization.
    QNetworkRequest request = sessionRequest(*task);
    request.setHeader(QNetworkRequest::ContentTypeHeader, mime);
    request.setHeader(QNetworkRequest::ContentLengthHeader, task->fileSize);
    logUploadRequest("put", request, mime, task->fileSize);

    task->chunkSize = qint64(task->fileSize);
    if (!task->digest)
        task->digest = std::make_shared<HashDigest>(QCryptographicHash::Md5);
    task->reply =
        sendUploadBody(QNetworkAccessManager::PutOperation, request, task->file, 0, task->chunkSize, task->digest);
    connect(task->reply, &QNetworkReply::uploadProgress, this, &GoogleDrive::onUploadReplyProgress);
}

void GoogleDrive::sendRemainingData(UploadTask* task)
{
    const qint64 last = qint64(task->fileSize) - 1;
    QNetworkRequest request = sessionRequest(*task);
    request.setHeader(QNetworkRequest::ContentTypeHeader, mimeTypeOf(task->filePath));
    request.setHeader(QNetworkRequest::ContentLengthHeader, qint64(task->fileSize) - task->offset);
    request.setRawHeader("Content-Range", QStringLiteral("bytes %1-%2/%3").arg(task->offset).arg(last).arg(task->fileSize).toLatin1());
    logUploadRequest("put", request, mimeTypeOf(task->filePath), task->fileSize - quint64(task->offset));
    task->chunkSize = qint64(task->fileSize) - task->offset;
    task->requestKind = UPLOAD_APPEND_REQUEST;
    task->reply = sendUploadBody(QNetworkAccessManager::PutOperation, request, task->file, task->offset,
                                 task->chunkSize, task->digest);
    connect(task->reply, &QNetworkReply::uploadProgress, this, &GoogleDrive::onUploadReplyProgress);
}

void GoogleDrive::askUploadStatus(UploadTask* task)
{
    // An empty PUT of the range "*" asks the session how much it holds.
    QNetworkRequest request = sessionRequest(*task);
    request.setHeader(QNetworkRequest::ContentLengthHeader, 0);
    request.setRawHeader("Content-Range", QStringLiteral("bytes */%1").arg(task->fileSize).toLatin1());
    logger()->logLine(LOG_INF, "Method - put");
    logger()->logLine(LOG_INF, "Url - %s", request.url().toString().toUtf8().constData());
    task->chunkSize = 0;
    task->requestKind = UPLOAD_APPEND_REQUEST;
    task->reply = m_networkManager->put(request, QByteArray());
}

void GoogleDrive::releaseReply(UploadTask* task)
{
    if (task->reply)
        task->reply->deleteLater();
    task->reply = nullptr;
}

void GoogleDrive::handleUploadReply(UploadTask* task, const QJsonObject& json)
{
    if (!task->reply)
        return;
    if (task->requestKind == UPLOAD_START_REQUEST && task->sessionId.isEmpty())
        acceptSession(task);
    else
        acceptDataReply(task, json);
}

void GoogleDrive::acceptSession(UploadTask* task)
{
    // The file goes only to the service's own upload host, encrypted: the
    // address comes from the network, and a file:// or http:// one would
    // overwrite a local file or send the video in clear.
    const QByteArray location = task->reply->rawHeader("Location");
    const QUrl session(QString::fromLatin1(location), QUrl::StrictMode);
    if (location.isEmpty() || !session.isValid() || session.scheme() != QLatin1String("https")
        || session.host() != QLatin1String(kApiHost) || !session.userInfo().isEmpty()
        || !session.path().startsWith(QLatin1String("/upload/"))) {
        task->failure = CloudError(location.isEmpty() ? CloudError::BadReply : CloudError::Refused,
                                   location.isEmpty() ? tr("no upload address")
                                                      : tr("upload address not on %1: %2")
                                                            .arg(QLatin1String(kApiHost), QString::fromLatin1(location)));
        return;
    }
    task->sessionId = QString::fromLatin1(location);
    releaseReply(task);
    sendUploadData(task);
}

void GoogleDrive::acceptDataReply(UploadTask* task, const QJsonObject& json)
{
    const int status = task->reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 308) {
        // Resume Incomplete: the range says what the service holds.
        const QByteArray range = task->reply->rawHeader("Range");
        const int dash = range.indexOf('-');
        bool ok = false;
        const qint64 last = dash > 0 ? range.mid(dash + 1).toLongLong(&ok) : -1;
        const qint64 held = range.isEmpty() ? 0 : (ok && last >= 0 ? last + 1 : -1);
        // The answer to a status query is no failure: the rest goes at once.
        if (isStatusQuery(*task) && held >= 0 && quint64(held) < task->fileSize) {
            releaseReply(task);
            task->offset = held;
            sendRemainingData(task);
            return;
        }
        CloudError incomplete(CloudError::Incomplete, range.isEmpty() ? tr("nothing kept") : QString::fromLatin1(range));
        incomplete.setConfirmedOffset(held);
        task->failure = incomplete;
        return;
    }
    const QString id = json.value(m_idKey).toString();
    const QJsonValue size = json.value(QStringLiteral("size"));
    const bool sizeAgrees = size.isUndefined() || size.toString().toULongLong() == task->fileSize;
    if ((status != 200 && status != 201) || id.isEmpty() || !sizeAgrees) {
        task->failure = CloudError(CloudError::BadReply, tr("the upload was not confirmed (status %1)").arg(status));
        return;
    }
    // The service's digest of what it stored against ours of what was read.
    const QByteArray theirs = json.value(QStringLiteral("md5Checksum")).toString().toLatin1();
    const QByteArray ours = task->digest ? task->digest->result(task->fileSize) : QByteArray();
    if (!theirs.isEmpty() && !ours.isEmpty() && theirs != ours) {
        task->failure = CloudError(CloudError::FileChanged, tr("the stored copy does not match it"));
        return;
    }
    QString stored = task->targetPath;
    if (!stored.endsWith(QLatin1Char('/')))
        stored += QLatin1Char('/');
    task->storedPath = stored + json.value(QStringLiteral("name")).toString(QFileInfo(task->filePath).fileName());
    task->storedSize = task->fileSize;
    logger()->logLine(LOG_INF, "task %s was finished", task->filePath.toUtf8().constData());
    logger()->logLine(LOG_INF, "---\n");
    releaseReply(task);
    if (task->file) {
        task->file->close();
        task->file->deleteLater();
        task->file = nullptr;
    }
}

void GoogleDrive::resumeUpload(UploadTask* task, const CloudError& why)
{
    if (task->sessionId.isEmpty() || why.kind() == CloudError::SessionExpired) {
        // No session, or the service forgot it: the file again, from its start.
        CloudBase::resumeUpload(task, why);
        return;
    }
    if (why.kind() == CloudError::Incomplete && why.confirmedOffset() >= 0
        && quint64(why.confirmedOffset()) < task->fileSize) {
        task->offset = why.confirmedOffset();
        sendRemainingData(task);
        return;
    }
    askUploadStatus(task);
}

bool GoogleDrive::isStatusQuery(const UploadTask& task)
{
    return task.reply && task.reply->request().rawHeader("Content-Range").startsWith("bytes */");
}

bool GoogleDrive::commitsUpload(const UploadTask& task)
{
    return !task.sessionId.isEmpty() && task.reply && !isStatusQuery(task);
}
