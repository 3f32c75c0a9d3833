// The account's uploads: the queue's view of the account, the preparation
// before the first file, and the folder the files go into.
#include "cloudbase.h"

#include "cloudlog.h"
#include "requestengine.h"
#include "uploadqueue.h"

#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QNetworkReply>

namespace {

ICloudLog* logger()
{
    return CloudLog::instance();
}

// A folder of the cloud as the services name it: "/" and the names
// between single slashes ("/" alone for the top). "." names nothing and
// goes; ".." would climb out of what the user named, and is refused.
bool cloudFolder(const QString& given, QString& folder)
{
    QStringList names;
    for (const QString& name : given.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (name == QLatin1String(".."))
            return false;
        if (name != QLatin1String("."))
            names.append(name);
    }
    folder = QLatin1Char('/') + names.join(QLatin1Char('/'));
    return true;
}

} // namespace

void CloudBase::resumeUpload(UploadTask* task, const CloudError&)
{
    task->offset = 0;
    task->bytesLeft = qint64(task->fileSize);
    task->chunkCount = 0;
    task->sessionId.clear();
    if (task->file)
        task->file->seek(0);
    startUpload(task);
}

bool CloudBase::commitsUpload(const UploadTask&)
{
    return false;
}

// ---------------------------------------------------------------------------
// Uploads

UploadTask& CloudBase::taskForReply(QNetworkReply* reply)
{
    return m_uploads->taskForReply(reply);
}

UploadTask* CloudBase::headTask()
{
    return m_uploads->head();
}

bool CloudBase::headCanceled()
{
    const UploadTask* head = headTask();
    return !head || head->canceled || m_engine->isInterrupted();
}

void CloudBase::enqueueUpload(UploadTask task)
{
    m_uploads->add(std::move(task));
}

void CloudBase::processUploadQueue()
{
    m_uploads->process();
}

void CloudBase::setUploadLimits(int stallMs, int maxRetries, int firstPauseMs)
{
    m_uploads->setLimits(stallMs, maxRetries, firstPauseMs);
}

void CloudBase::setRequestStallLimit(int stallMs)
{
    m_engine->setStallLimit(stallMs);
}

bool CloudBase::uploadFile(const QString& filePath, const QString& targetFolder, QString* error)
{
    auto file = std::make_unique<QFile>(filePath);
    const QFileInfo info(filePath);
    QString problem;
    QString folder;
    if (!cloudFolder(targetFolder, folder))
        problem = tr("the folder %1 contains \"..\", which names no folder: give the path from the top, such as /Videos").arg(targetFolder);
    else if (!info.exists())
        problem = tr("%1 does not exist").arg(filePath);
    else if (!info.isFile())
        problem = tr("%1 is not a file").arg(filePath);
    else if (!file->open(QIODevice::ReadOnly))
        problem = tr("%1 cannot be read: %2").arg(filePath, file->errorString());
    if (!problem.isEmpty()) {
        logger()->logLine(LOG_ERR, "%s: %s", name(), problem.toUtf8().constData());
        if (error)
            *error = problem;
        return false;
    }
    UploadTask task;
    task.fileSize = quint64(file->size());
    task.fileModified = info.lastModified();
    task.bytesLeft = file->size();
    task.file = file.release();
    task.filePath = filePath;
    task.targetPath = folder;
    enqueueUpload(std::move(task));
    return true;
}

bool CloudBase::cancelUpload(const QString& filePath)
{
    return m_uploads->cancel(filePath);
}

void CloudBase::checkGrantRepeatedly()
{
    m_lastCloudError = -1;
    do {
        m_retry = false;
        checkForRevokingApp();
    } while (m_retry && !headCanceled());
}

bool CloudBase::prepareUpload()
{
    // After a sign-in view was opened for a lost grant, the checks run once
    // more; a second loss ends the preparation (the view stays for the user).
    // A cancel ends it between any two steps.
    for (int round = 0; round < 2; ++round) {
        checkGrantRepeatedly();
        if (headCanceled())
            return false;
        if (m_lastCloudError == 2) {
            disconnectCloud();
            if (!signInAgain())
                return false;
            continue;
        }
        if (m_lastCloudError != 0)
            return false;

        isConnected(false);
        bool exists = false;
        do {
            ensureValidToken();
            m_retry = false;
            exists = !headCanceled() && checkUploadFolderExists();
        } while (!exists && m_retry && !headCanceled());
        if (headCanceled())
            return false;

        if (m_lastCloudError == 0)
            return exists || createUploadFolder();
        if (m_lastCloudError != 2 && m_lastCloudError != 401)
            return false;
        disconnectCloud();
        if (!signInAgain())
            return false;
    }
    return false;
}

bool CloudBase::createUploadFolder()
{
    UploadTask* task = headTask();
    if (!task)
        return false;
    const QString targetPath = task->targetPath;
    if (task->pendingFolders.isEmpty())
        task->pendingFolders.append(targetPath.startsWith(QLatin1Char('/')) ? targetPath.mid(1) : targetPath);
    // One request per missing folder of the path, outermost first; the
    // provider takes each from the list as it is created.
    for (int folders = task->pendingFolders.size(); folders > 0; --folders) {
        task = headTask();
        if (!task || task->pendingFolders.isEmpty() || headCanceled())
            break;
        const QString folder = task->pendingFolders.first();
        const int pending = task->pendingFolders.size();
        logger()->logLine(LOG_INF, "%s: Creating upload folder %s", name(), folder.toUtf8().constData());
        // UTF-8 whatever the process's locale: the body is JSON.
        const QByteArray body = createFolderBody(folder).toUtf8();
        const int rc = sendRequest(QNetworkAccessManager::PostOperation, QUrl(createFolderUrl()),
                                   UPLOAD_CREATE_FOLDER_REQUEST, true, &body, true);
        // A failure sent again on failedRetry's answer is over when the
        // request sent again made the folder: the provider took it off.
        task = headTask();
        const bool madeWhenRetried = task && task->pendingFolders.size() < pending;
        if (rc != 0 && !madeWhenRetried) {
            const QString text = tr("%1 failed to create \"%2\" folder").arg(QLatin1String(name()), targetPath);
            logger()->logLine(LOG_INF, "%s", text.toUtf8().constData());
            emit networkError(text);
            return false;
        }
    }
    task = headTask();
    if (!task || headCanceled())
        return false;
    task->pendingFolders.clear();
    logger()->logLine(LOG_INF, "folder created successfully");
    return true;
}

void CloudBase::onUploadReplyProgress(qint64 bytesSent, qint64 bytesTotal)
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply)
        return;
    UploadTask& task = taskForReply(reply);
    if (task.reply != reply)
        return;
    if (task.canceled) {
        reply->abort();
        return;
    }
    if (bytesSent <= 0 || bytesTotal <= 0)
        return;
    const qint64 summary = task.offset + bytesSent;
    const unsigned percent = task.fileSize ? unsigned(summary * 100.0 / double(task.fileSize)) : 0;
    logger()->logLine(LOG_INF, "%s: progress task.offset = %llu, bytesSent = %llu, summary = %llu, %u %%", name(),
                      (unsigned long long)task.offset, (unsigned long long)bytesSent, (unsigned long long)summary,
                      percent);
    emit uploadProgress(task.filePath, summary, qint64(task.fileSize));
}

// ---------------------------------------------------------------------------
// The upload queue's view of the account

const char* CloudBase::uploadAccountName() const
{
    return name();
}

void CloudBase::setUploading(bool uploading)
{
    m_mode = uploading ? UPLOADING_MODE : NO_MODE;
}

const char* CloudBase::preparationNeeded(UploadTask& task)
{
    if (accessToken().isEmpty())
        return "access token";
    return readyToUpload(&task) ? nullptr : "readyToUpload()";
}

bool CloudBase::prepareUploads(CloudError& why)
{
    m_lastError = CloudError();
    const bool ready = prepareUpload();
    why = m_lastError;
    return ready;
}

void CloudBase::startTask(UploadTask& task)
{
    startUpload(&task);
}

void CloudBase::advanceTask(UploadTask& task, const QJsonObject& json)
{
    handleUploadReply(&task, json);
}

void CloudBase::resumeTask(UploadTask& task, const CloudError& why)
{
    resumeUpload(&task, why);
}

bool CloudBase::taskCommits(const UploadTask& task)
{
    return commitsUpload(task);
}

void CloudBase::renewToken()
{
    ensureValidToken();
}

CloudError CloudBase::uploadFailure(QNetworkReply* reply, const QByteArray& body)
{
    return replyFailure(reply, body);
}

bool CloudBase::askUploadRetry(const QString& why)
{
    bool retry = false;
    emit failedRetry(why, retry);
    return retry;
}

void CloudBase::reportStarted(const UploadTask& task)
{
    emit uploadStarted(task.filePath, task.targetPath);
}

void CloudBase::reportEnded(const UploadOutcome& outcome)
{
    switch (outcome.ending) {
    case UploadOutcome::Finished: emit uploadFinished(outcome.filePath, outcome.targetPath); break;
    case UploadOutcome::Canceled: emit uploadCanceled(outcome.filePath, outcome.targetPath); break;
    case UploadOutcome::Failed:
        emit uploadFailed(outcome.filePath, outcome.error.text(), int(outcome.error.kind()));
        break;
    }
    emit uploadEnded(outcome);
}
