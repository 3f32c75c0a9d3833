#include "testcloud.h"

#include "tokenstorage.h"

#include <QFileInfo>
#include <QIODevice>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkReply>

#include <algorithm>

const char* const TestCloud::kApplication = "Player";
const char* const TestCloud::kEmailKey = "dbEmail";

TestCloud::TestCloud()
    : CloudBase(DROPBOX_CLOUD, kApplication, kEmailKey)
{
}

QUrl TestCloud::apiUrl(const char* path)
{
    return QUrl(QStringLiteral("https://api.dropboxapi.com") + QLatin1String(path));
}

QUrl TestCloud::contentUrl(const char* path)
{
    return QUrl(QStringLiteral("https://content.dropboxapi.com") + QLatin1String(path));
}

bool TestCloud::markCanceled(const QString& filePath)
{
    for (UploadTask& task : m_uploadQueue) {
        if (task.filePath == filePath) {
            task.canceled = true;
            return true;
        }
    }
    return false;
}

QNetworkReply* TestCloud::replyInFlight(int kind) const
{
    const auto replies = m_networkManager->findChildren<QNetworkReply*>();
    for (QNetworkReply* reply : replies) {
        const QVariant id = reply->property("request_id");
        if (id.isValid() && id.toInt() == kind && !reply->isFinished())
            return reply;
    }
    return nullptr;
}

bool TestCloud::readyToUpload(UploadTask* task)
{
    return !requireFolder || !task->folderId.isEmpty();
}

bool TestCloud::ensureValidToken()
{
    ++ensureValidTokenCalls;
    return tokenValid;
}

QString TestCloud::sendRefreshTokenSyncRequest(QNetworkReply* failed)
{
    const QVariant kind = failed ? failed->property("request_id") : QVariant();
    refreshCalls.append({failed != nullptr, kind.isValid() ? kind.toInt() : -1});
    if (refreshAnswer.isEmpty())
        return QString();
    const QJsonObject record{{QStringLiteral("access_token"), refreshAnswer}};
    m_storage->saveToken(m_applicationName, m_cloudType, QJsonDocument(record).toJson().toStdString());
    // Like the services' providers: a new token repeats the failed request.
    if (failed)
        resendRequest(failed);
    return refreshAnswer;
}

QString TestCloud::folderOf(const UploadTask& task)
{
    return task.targetPath.startsWith(QLatin1Char('/')) ? task.targetPath.mid(1) : task.targetPath;
}

void TestCloud::handleUploadFolderExistsReply(const QJsonObject& json)
{
    if (m_uploadQueue.empty())
        return;
    UploadTask& head = m_uploadQueue.front();
    const QJsonArray entries = json.value(QStringLiteral("entries")).toArray();
    for (const QJsonValue& entry : entries) {
        const QJsonObject item = entry.toObject();
        if (item.value(QStringLiteral(".tag")).toString() == QLatin1String("folder")
            && item.value(QStringLiteral("name")).toString().compare(folderOf(head), Qt::CaseInsensitive) == 0)
            head.folderId = item.value(QStringLiteral("id")).toString();
    }
}

int TestCloud::parseErrorReply(const QByteArray& body, std::string& message)
{
    // Dropbox's error bodies: {"error_summary": "...", "error": {...}}. A
    // token the service no longer knows means the grant is gone (2).
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isObject()) {
        if (body.trimmed() == "null") // what an appended chunk answers
            return 0;
        message = body.left(200).toStdString();
        return 1;
    }
    const QString summary = document.object().value(QStringLiteral("error_summary")).toString();
    if (summary.isEmpty())
        return 0;
    message = summary.toStdString();
    if (summary.startsWith(QLatin1String("invalid_access_token")))
        return 2;
    if (summary.startsWith(QLatin1String("expired_access_token")))
        return 401;
    return 1;
}

bool TestCloud::checkUploadFolderExists()
{
    if (m_uploadQueue.empty())
        return true;
    const QByteArray body = "{\"path\": \"\"}";
    const int rc = sendRequest(QNetworkAccessManager::PostOperation, apiUrl("/2/files/list_folder"),
                               CHECK_FOLDER_REQUEST, true, &body, true);
    return rc == 0 && m_lastCloudError == 0 && !m_uploadQueue.empty() && !m_uploadQueue.front().folderId.isEmpty();
}

QString TestCloud::redirectUri()
{
    return QStringLiteral("qovi://cloud_callback");
}

int TestCloud::sendAboutAccountSyncRequest(int requestKind)
{
    return sendRequest(QNetworkAccessManager::PostOperation, apiUrl("/2/users/get_current_account"), requestKind,
                       true, nullptr, false);
}

int TestCloud::sendFreeSpaceRequest(bool sync)
{
    return sendRequest(QNetworkAccessManager::PostOperation, apiUrl("/2/users/get_space_usage"), FREESPACE_REQUEST,
                       sync, nullptr, false);
}

QString TestCloud::authorizationUrl()
{
    return authorizationPage;
}

QString TestCloud::createFolderBody(const QString& folderName)
{
    createdFolderNames.append(folderName);
    const QJsonObject arguments{{QStringLiteral("path"), QLatin1Char('/') + folderName},
                                {QStringLiteral("autorename"), false}};
    return QString::fromUtf8(QJsonDocument(arguments).toJson(QJsonDocument::Compact));
}

QString TestCloud::createFolderUrl()
{
    return apiUrl("/2/files/create_folder_v2").toString();
}

QString TestCloud::parseEmail(const QJsonObject& json)
{
    // Dropbox's account, or the user of a Drive "about" answer.
    if (json.contains(QStringLiteral("email")))
        return json.value(QStringLiteral("email")).toString();
    return json.value(QStringLiteral("user")).toObject().value(QStringLiteral("emailAddress")).toString();
}

quint64 TestCloud::parseTotalSpace(const QJsonObject& json)
{
    return quint64(json.value(QStringLiteral("allocation")).toObject().value(QStringLiteral("allocated")).toDouble());
}

quint64 TestCloud::parseUsedSpace(const QJsonObject& json)
{
    return quint64(json.value(QStringLiteral("used")).toDouble());
}

void TestCloud::handleAuthorizationReply(int networkError, const QString& url)
{
    authorizationReplies.append({networkError, url});
}

void TestCloud::handleCreateFolderReply(const QJsonObject& json)
{
    if (!m_uploadQueue.empty())
        m_uploadQueue.front().folderId =
            json.value(QStringLiteral("metadata")).toObject().value(QStringLiteral("id")).toString();
}

void TestCloud::startUpload(UploadTask* task)
{
    if (task->filePath == refuseFile)
        return;
    sendChunk(task, UPLOAD_START_REQUEST);
}

void TestCloud::handleUploadReply(UploadTask* task, const QJsonObject& json)
{
    if (task->reply) {
        task->reply->deleteLater();
        task->reply = nullptr;
    }
    if (task->requestKind == UPLOAD_FINISH_REQUEST) {
        task->file->close();
        delete task->file;
        task->file = nullptr;
        return;
    }
    if (task->requestKind == UPLOAD_START_REQUEST)
        task->sessionId = json.value(QStringLiteral("session_id")).toString();
    task->offset += task->chunkSize;
    task->bytesLeft -= task->chunkSize;
    ++task->chunkCount;
    if (task->offset < qint64(task->fileSize))
        sendChunk(task, UPLOAD_APPEND_REQUEST);
    else
        sendFinish(task);
}

void TestCloud::sendChunk(UploadTask* task, int kind)
{
    task->chunkSize = std::min(qint64(task->fileSize) - task->offset, chunkPlan(*task));
    // The bytes after those the service confirmed, wherever the file stands.
    task->file->seek(task->offset);
    const QByteArray data = task->file->read(task->chunkSize);
    QJsonObject arguments{{QStringLiteral("close"), false}};
    if (kind == UPLOAD_START_REQUEST) {
        post(task, kind, "/2/files/upload_session/start", arguments, data);
        return;
    }
    arguments.insert(QStringLiteral("cursor"), QJsonObject{{QStringLiteral("session_id"), task->sessionId},
                                                           {QStringLiteral("offset"), double(task->offset)}});
    post(task, kind, "/2/files/upload_session/append_v2", arguments, data);
}

void TestCloud::sendFinish(UploadTask* task)
{
    task->chunkSize = 0;
    const QString path = QLatin1Char('/') + folderOf(*task) + QLatin1Char('/') + QFileInfo(task->filePath).fileName();
    const QJsonObject arguments{
        {QStringLiteral("cursor"), QJsonObject{{QStringLiteral("session_id"), task->sessionId},
                                               {QStringLiteral("offset"), double(task->offset)}}},
        {QStringLiteral("commit"), QJsonObject{{QStringLiteral("path"), path}, {QStringLiteral("mode"), "overwrite"}}}};
    post(task, UPLOAD_FINISH_REQUEST, "/2/files/upload_session/finish", arguments, QByteArray());
}

void TestCloud::post(UploadTask* task, int kind, const char* path, const QJsonObject& arguments,
                     const QByteArray& data)
{
    QNetworkRequest request(contentUrl(path));
    request.setRawHeader("Authorization", authorizationValue().toLatin1());
    request.setRawHeader("Content-Type", "application/octet-stream");
    request.setRawHeader("Dropbox-API-Arg", QJsonDocument(arguments).toJson(QJsonDocument::Compact));
    task->reply = m_networkManager->post(request, data);
    task->requestKind = kind;
    connect(task->reply, &QNetworkReply::uploadProgress, this, &TestCloud::onUploadReplyProgress);
}
