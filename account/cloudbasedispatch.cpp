// The dispatch of the account's web-API replies by request kind and outcome.
#include "cloudbase.h"

#include "cloudlog.h"
#include "requestengine.h"
#include "uploadqueue.h"

#include <QJsonDocument>
#include <QNetworkReply>

namespace {

ICloudLog* logger()
{
    return CloudLog::instance();
}

} // namespace

bool CloudBase::checkUsable(QNetworkReply* reply, int kind, const QJsonObject& json)
{
    if (isUploadKind(kind))
        return true; // the provider judges its own answers
    QString missing;
    if (json.isEmpty())
        missing = tr("not a JSON object");
    else if (kind == REFRESH_TOKEN_REQUEST && json.value(m_accessTokenKey).toString().isEmpty())
        missing = tr("no access token");
    else if (!usableReply(kind, json))
        missing = tr("not what a %1 answer holds").arg(QLatin1String(requestTypeName(kind)));
    if (missing.isEmpty())
        return true;
    RequestEngine::markFailed(reply, CloudError(CloudError::BadReply, missing));
    return false;
}

void CloudBase::processReplyFinished(QNetworkReply* reply, const QVariant& requestId, UploadTask& task,
                                     bool fromCache)
{
    if (!reply)
        return;
    const int kind = requestKindOf(reply, requestId, task);
    if (kind == -1) {
        logger()->logLine(LOG_ERR, "%s: processReplyFinished - invalid request id %d", name(), kind);
        return;
    }
    const QVariant syncProperty = reply->property(m_syncRequestKey);
    const bool sync = !syncProperty.isValid() || syncProperty.toBool();
    // Progress signals come throttled: an answer may end before one told its size.
    RequestEngine::judgeSize(reply);
    const QByteArray body = reply->isOpen() ? reply->readAll() : QByteArray();
    QJsonObject json;
    int error = m_engine->errorOf(reply);
    if (error == QNetworkReply::NoError) {
        json = parseJsonReply(body);
        if (!checkUsable(reply, kind, json))
            error = kUnusableReply;
    }
    const char* cacheNote = fromCache ? " (from cache)" : "";
    if (error == QNetworkReply::NoError)
        logger()->logLine(LOG_INF, "%s: processReplyFinished for %s - ok%s", name(), requestTypeName(kind), cacheNote);
    else
        logger()->logLine(LOG_ERR, "%s: processReplyFinished for %s - fail%s, code %d, %s", name(),
                          requestTypeName(kind), cacheNote, error, failureText(kind, reply).toUtf8().constData());

    const QString errText = error == QNetworkReply::NoError ? QString() : failureText(kind, reply);
    m_lastCloudError = -1;
    std::string message;
    if (!body.isEmpty())
        m_lastCloudError = parseErrorReply(body, message);
    if (error != QNetworkReply::NoError)
        m_lastError = replyFailure(reply, body);
    if (isUploadKind(kind)) {
        m_uploads->replyFinished(reply, task, error, json, body);
        return;
    }

    switch (error) {
    case QNetworkReply::NoError:
        logger()->logLine(LOG_INF, "Successfully");
        m_engine->dropBody(reply);
        break;
    case QNetworkReply::AuthenticationRequiredError:
        logger()->logLine(LOG_WRN, "Authorization issue (%s), need to refresh token", message.c_str());
        logger()->logLine(LOG_INF, "---\n");
        break;
    case QNetworkReply::OperationCanceledError:
        break;
    default:
        if (sync) {
            failSynchronousRequest(reply, kind, errText);
            return;
        }
        // Nobody waits for it, but whoever asked for the space hears the end.
        if (kind == FREESPACE_REQUEST) {
            m_freeSpace = kUnknownSpace;
            emit freeSpaceReceived(m_freeSpace);
        }
        reply->deleteLater();
        return;
    }
    dispatchReply(reply, kind, error, sync, json, errText, task, body);
}

void CloudBase::failSynchronousRequest(QNetworkReply* reply, int kind, const QString& errText)
{
    m_retry = false;
    if (kind == FREESPACE_REQUEST)
        m_freeSpace = kUnknownSpace;
    else if (m_lastCloudError != 2)
        emit failedRetry(errText, m_retry);
    if (m_retry)
        resendRequest(reply);
}

void CloudBase::dispatchReply(QNetworkReply* reply, int kind, int error, bool sync, const QJsonObject& json,
                              const QString& errText, UploadTask&, const QByteArray&)
{
    const bool ok = error == QNetworkReply::NoError;
    const bool authentication = error == QNetworkReply::AuthenticationRequiredError;
    switch (kind) {
    case EMAIL_REQUEST:
        if (ok)
            handleEmailReply(json);
        break;
    case FREESPACE_REQUEST:
        if (ok) {
            handleSpaceReply(json, sync);
        } else if (authentication) {
            refreshForSpace(reply);
        } else {
            m_freeSpace = kUnknownSpace;
            if (!sync)
                emit freeSpaceReceived(m_freeSpace);
        }
        break;
    case REFRESH_TOKEN_REQUEST:
        if (ok) {
            handleTokenReply(json);
        } else if (!authentication) {
            m_retry = false;
            if (m_lastCloudError != 2)
                emit failedRetry(errText, m_retry);
        }
        break;
    case REVOKE_STATUS_REQUEST:
        if (authentication)
            sendRefreshTokenSyncRequest(nullptr);
        else if (!ok)
            askAfterCancel(errText);
        break;
    case CHECK_FOLDER_REQUEST:
    case UPLOAD_CREATE_FOLDER_REQUEST:
        if (ok) {
            if (kind == CHECK_FOLDER_REQUEST)
                handleUploadFolderExistsReply(json);
            else
                handleCreateFolderReply(json);
        } else if (authentication) {
            if (refusedAfterRefresh(reply))
                break;
            logger()->logLine(LOG_WRN, "Need to refresh token");
            logger()->logLine(LOG_INF, "---\n");
            sendRefreshTokenSyncRequest(reply);
            return;
        } else {
            askAfterCancel(errText);
        }
        break;
    default:
        return;
    }
    if (!sync)
        reply->deleteLater();
}

void CloudBase::handleSpaceReply(const QJsonObject& json, bool sync)
{
    const quint64 used = parseUsedSpace(json);
    const quint64 total = parseTotalSpace(json);
    m_freeSpace = total >= used ? total - used : 0;
    logger()->logLine(LOG_INF, "Disk space: used = %llu, free = %llu", (unsigned long long)used,
                      (unsigned long long)m_freeSpace);
    logger()->logLine(LOG_INF, "---\n");
    if (!sync)
        emit freeSpaceReceived(m_freeSpace);
}

void CloudBase::refreshForSpace(QNetworkReply* reply)
{
    // One refresh per failed space request: the provider repeats the request
    // when it gets a token; otherwise the answer stays unknown until the
    // next request, and a revoked grant sends the user to sign in again.
    if (refusedAfterRefresh(reply)) {
        m_freeSpace = kUnknownSpace;
        if (!reply->property(m_syncRequestKey).toBool())
            emit freeSpaceReceived(m_freeSpace);
        return;
    }
    if (!sendRefreshTokenSyncRequest(reply).isEmpty())
        return;
    if (m_lastCloudError == 2) {
        disconnectCloud();
        signInAgain();
    }
}

bool CloudBase::refusedAfterRefresh(QNetworkReply* reply)
{
    // A request repeated with a renewed token and refused again is not
    // refreshed again: a service that refuses every token it issues would
    // otherwise be asked for new ones for ever, each inside the last.
    if (!reply->property(kRepeatAfterRefreshKey).toBool())
        return false;
    logger()->logLine(LOG_ERR, "%s: %s refused with a renewed token too", name(),
                      requestTypeName(reply->property(m_requestIdKey).toInt()));
    m_lastError = CloudError(CloudError::Unauthorized, tr("the service refused the renewed sign-in"));
    return true;
}

void CloudBase::askAfterCancel(const QString& errText)
{
    m_lastCloudError = -1;
    if (m_mode == UPLOADING_MODE)
        m_retry = askRetry(nullptr);
    else
        emit failedRetry(errText, m_retry);
}

bool CloudBase::askRetry(UploadTask* task)
{
    QString text;
    if (task && headTask()) {
        if (task != headTask() || !task->reply)
            return false;
        text = failureText(task->requestKind, task->reply);
        RequestEngine::abandon(task->reply);
        task->reply = nullptr;
        if (task->canceled)
            return false;
    }
    bool retry = false;
    emit failedRetry(text, retry);
    return retry;
}

// ---------------------------------------------------------------------------
// Provider operations the account has its own answer for

CloudError CloudBase::describeError(const QNetworkReply* reply, const QByteArray&)
{
    return CloudError::fromReply(reply);
}

bool CloudBase::usableReply(int, const QJsonObject&)
{
    return true;
}
