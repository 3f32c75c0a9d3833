// The account's requests: how they are sent, waited for and received, and
// how a web page's failed load is told.
#include "cloudbase.h"

#include "cloudlog.h"
#include "requestengine.h"
#include "streamreply.h"
#include "tokenrefresh.h"
#include "uploadqueue.h"
#include "uploadtransport.h"

#include <QJsonDocument>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace {

const char* const kFormType = "application/x-www-form-urlencoded";

ICloudLog* logger()
{
    return CloudLog::instance();
}

bool isCertificateFailure(const CloudError& error)
{
    return error.kind() == CloudError::CertificateUntrusted || error.kind() == CloudError::CertificateWrongHost
        || error.kind() == CloudError::CertificateExpired;
}

} // namespace

QString CloudBase::authorizationValue() const
{
    return QStringLiteral("Bearer ") + accessToken();
}

QString CloudBase::failureText(int kind, QNetworkReply* reply) const
{
    if (!reply)
        return QString();
    const CloudError failure = m_engine->failureOf(reply);
    const QString reason = failure.isError() ? failure.text() : reply->errorString();
    return QStringLiteral("Failed for processing %1: %2").arg(QLatin1String(requestTypeName(kind)), reason);
}

int CloudBase::sendRequest(QNetworkAccessManager::Operation operation, const QUrl& url, int kind, bool sync,
                           const QByteArray* body, bool json)
{
    if (m_engine->isInterrupted())
        return kNothingSent;
    if (browserTokenDue())
        return sendAfterRenewal(operation, url, kind, sync, body, json);
    QNetworkRequest request(url);
    request.setRawHeader(m_authorizationKey, authorizationValue().toLatin1());
    const bool post = operation == QNetworkAccessManager::PostOperation;
    if (post && body && !body->isEmpty() && json)
        request.setRawHeader(m_contentTypeKey, "application/json");
    else if (post && body && !body->isEmpty())
        request.setRawHeader(m_contentTypeKey, kFormType); // what Qt sends anyway, without its warning
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::PreferCache);

    QNetworkReply* reply = nullptr;
    if (operation == QNetworkAccessManager::GetOperation)
        reply = m_networkManager->get(request);
    else if (post)
        reply = m_networkManager->post(request, body ? *body : QByteArray());
    else
        return kNothingSent;
    if (!reply)
        return kNothingSent;
    if (post && body)
        m_engine->keepBody(reply, *body);

    reply->setProperty(m_requestIdKey, kind);
    reply->setProperty(m_syncRequestKey, sync);
    if (m_repeatsAfterRefresh > 0)
        reply->setProperty(kRepeatAfterRefreshKey, true);
    m_engine->watch(reply);
    logger()->logLine(LOG_INF, "%s: %s, %s, %sSync, %s", name(), requestTypeName(kind), post ? "POST" : "GET",
                      sync ? "" : "A", QUrl::fromPercentEncoding(url.toEncoded()).toUtf8().constData());
    return sync ? waitForReply(reply, kRequestTimeoutMs) : 0;
}

int CloudBase::waitForReply(QNetworkReply* reply, int timeoutMs)
{
    const int result = m_engine->wait(reply, timeoutMs);
    if (result == QNetworkReply::TimeoutError) {
        // No answer, so no cloud error either: a caller must not read the
        // previous request's 0 as this one's success.
        m_lastCloudError = -1;
        if (!m_lastError.isError())
            m_lastError = CloudError(CloudError::TimedOut);
    }
    return result;
}

void CloudBase::watchReply(QNetworkReply* reply)
{
    m_engine->watch(reply);
}

QNetworkReply* CloudBase::sendUploadBody(QNetworkAccessManager::Operation operation, const QNetworkRequest& request,
                                         QIODevice* file, qint64 offset, qint64 length,
                                         const std::shared_ptr<ContentDigest>& digest)
{
    if (!m_transport)
        m_transport = new UploadTransport(this);
    QNetworkReply* reply = m_transport->send(operation, request, file, offset, length, digest);
    reply->setParent(this);
    // Not the manager's own: it reports to the same place as the manager does.
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onNetworkFinished(reply); });
    return reply;
}

void CloudBase::onNetworkFinished(QNetworkReply* reply)
{
    if (!reply || RequestEngine::isAbandoned(reply))
        return;
    const bool fromCache = reply->attribute(QNetworkRequest::SourceIsFromCacheAttribute).toBool();
    const QVariant requestId = reply->property(m_requestIdKey);
    UploadTask& task = taskForReply(reply);
    if (requestId.isValid() || task.reply == reply) {
        processReplyFinished(reply, requestId, task, fromCache);
        return;
    }
    if (isCertificateFailure(m_engine->failureOf(reply)))
        reportWebFailure(reply);
    handleAuthorizationReply(reply->error(), reply->url().toString());
}

void CloudBase::reportWebFailure(QNetworkReply* reply)
{
    // A page the user would be shown, refused for its certificate: said once
    // per host, and the sign-in cannot go on.
    const QString host = reply->url().host();
    if (m_refusedHosts.contains(host))
        return;
    m_refusedHosts.append(host);
    m_lastError = m_engine->failureOf(reply);
    const QString text = tr("%1: %2 refused: %3").arg(QLatin1String(name()), host, m_lastError.text());
    logger()->logLine(LOG_ERR, "%s", text.toUtf8().constData());
    emit networkError(text);
    if (m_mode == CONNECTING_MODE || m_mode == CHOOSER_OPENING_MODE)
        emit signInFailed(text);
}

int CloudBase::requestKindOf(QNetworkReply* reply, const QVariant& requestId, const UploadTask& task) const
{
    if (requestId.isValid())
        return requestId.toInt();
    return task.reply == reply ? task.requestKind : -1;
}

CloudError CloudBase::replyFailure(QNetworkReply* reply, const QByteArray& body)
{
    CloudError failure = readFailure(reply, body);
    // A token the service refused is renewed before its next use.
    if (m_refresh && (failure.kind() == CloudError::Unauthorized || failure.kind() == CloudError::GrantRevoked))
        m_refresh->markRefused(reply->request().rawHeader(m_authorizationKey));
    return failure;
}

CloudError CloudBase::readFailure(QNetworkReply* reply, const QByteArray& body)
{
    const CloudError road = m_engine->failureOf(reply);
    return RequestEngine::serviceExplains(road) ? describeError(reply, body) : road;
}

QJsonObject CloudBase::parseJsonReply(const QByteArray& body)
{
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (document.isNull() || document.isEmpty())
        return QJsonObject();
    const QJsonObject object = document.object();
    if (object.isEmpty()) {
        logger()->logLine(LOG_ERR, "Json object is empty! Skipped.");
        logger()->logLine(LOG_INF, "---\n");
    }
    return object;
}

bool CloudBase::resendRequest(QNetworkReply* reply)
{
    if (!reply)
        return false;
    const QVariant requestId = reply->property(m_requestIdKey);
    const UploadTask& task = taskForReply(reply);
    if (!requestId.isValid() && task.reply != reply)
        return false;

    const QNetworkAccessManager::Operation operation = reply->operation();
    const QUrl url = reply->request().url();
    const int kind = requestKindOf(reply, requestId, task);
    const QVariant syncProperty = reply->property(m_syncRequestKey);
    const bool sync = !syncProperty.isValid() || syncProperty.toBool();
    const std::unique_ptr<QByteArray> body = m_engine->takeBody(reply);
    const bool json = reply->request().rawHeader(m_contentTypeKey) == "application/json";
    sendRequest(operation, url, kind, sync, body.get(), json);
    return true;
}

void CloudBase::onNetworkSslErrors(QNetworkReply* reply, const QList<QSslError>& errors)
{
    m_engine->onSslErrors(reply, errors);
}

void CloudBase::interrupt()
{
    // Uploads first: each ends as canceled, not as failed by the aborts below.
    m_uploads->cancelAll();
    cancelSignIn();
    m_engine->interrupt();
}
