#include "requestengine.h"

#include "cloudlog.h"

#include <QEventLoop>
#include <QNetworkReply>
#include <QTimer>

namespace {

const char* const kAbandonedKey = "lumen_abandoned";
const char* const kFailureKey = "lumen_failure";
const char* const kWaitedKey = "lumen_waited";
const char* const kMaxBytesKey = "lumen_max_bytes";

// Of several certificate errors, the one a user can do the most about.
CloudError certificateFailure(const QList<QSslError>& errors)
{
    bool wrongHost = false;
    bool expired = false;
    bool untrusted = false;
    QStringList reasons;
    for (const QSslError& error : errors) {
        reasons.append(error.errorString());
        switch (error.error()) {
        case QSslError::HostNameMismatch: wrongHost = true; break;
        case QSslError::CertificateExpired:
        case QSslError::CertificateNotYetValid: expired = true; break;
        default: untrusted = true; break;
        }
    }
    const QString reason = reasons.join(QStringLiteral("; "));
    if (untrusted)
        return CloudError(CloudError::CertificateUntrusted, reason);
    if (wrongHost)
        return CloudError(CloudError::CertificateWrongHost, reason);
    return CloudError(expired ? CloudError::CertificateExpired : CloudError::CertificateUntrusted, reason);
}

} // namespace

RequestEngine::RequestEngine(QNetworkAccessManager* manager, const char* accountName, QObject* parent)
    : QObject(parent), m_manager(manager), m_accountName(accountName)
{
}

void RequestEngine::watch(QNetworkReply* reply, int stallMs, qint64 maxBytes)
{
    if (!reply || reply->isFinished())
        return;
    if (m_interrupted) {
        fail(reply, CloudError(CloudError::Canceled));
        return;
    }
    m_watched.removeAll(nullptr);
    m_watched.append(reply);
    reply->setProperty(kMaxBytesKey, maxBytes);
    if (stallMs <= 0)
        stallMs = m_stallLimitMs;
    auto* deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    deadline->setInterval(stallMs);
    connect(deadline, &QTimer::timeout, this, [this, reply, stallMs] {
        // A synchronous wait ends as its own time-out does: the reply is
        // never processed, as if the wait's limit had passed.
        if (reply->property(kWaitedKey).toBool()) {
            emit waitStalled(reply);
            return;
        }
        fail(reply, CloudError(CloudError::TimedOut, tr("nothing moved for %1 s").arg(stallMs / 1000.0)));
    });
    const auto restart = [deadline] { deadline->start(); };
    connect(reply, &QNetworkReply::uploadProgress, deadline, restart);
    connect(reply, &QNetworkReply::downloadProgress, deadline, [this, reply, deadline, maxBytes](qint64 received,
                                                                                                qint64 total) {
        deadline->start();
        if (received > maxBytes || total > maxBytes)
            fail(reply, CloudError(CloudError::ReplyTooLarge, tr("more than %1 bytes").arg(maxBytes)));
    });
    connect(reply, &QNetworkReply::finished, deadline, &QTimer::stop);
    deadline->start();
}

void RequestEngine::fail(QNetworkReply* reply, const CloudError& error)
{
    if (reply->isFinished())
        return;
    markFailed(reply, error);
    reply->abort();
}

int RequestEngine::wait(QNetworkReply* reply, int timeoutMs)
{
    if (!reply)
        return kNothingSent;
    const QPointer<QNetworkReply> alive(reply);
    bool timedOut = false;
    if (!reply->isFinished()) {
        QEventLoop loop;
        connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        connect(this, &RequestEngine::waitsInterrupted, &loop, &QEventLoop::quit);
        connect(this, &RequestEngine::waitStalled, &loop, [&timedOut, &loop, reply](QNetworkReply* stalled) {
            if (stalled != reply)
                return;
            timedOut = true;
            loop.quit();
        });
        reply->setProperty(kWaitedKey, true);
        QTimer limit;
        limit.setSingleShot(true);
        connect(&limit, &QTimer::timeout, &loop, [&timedOut, &loop] {
            timedOut = true;
            loop.quit();
        });
        if (timeoutMs > 0)
            limit.start(timeoutMs);
        CloudLog::instance()->logLine(LOG_INF, "---\n");
        if (!m_interrupted)
            loop.exec();
    }
    if (!alive)
        return QNetworkReply::OperationCanceledError;
    if (!reply->isFinished()) {
        // Its processing must never run now that nobody waits for it.
        abandon(reply);
        return timedOut ? QNetworkReply::TimeoutError : QNetworkReply::OperationCanceledError;
    }
    const int error = errorOf(reply);
    reply->deleteLater();
    return error;
}

void RequestEngine::interruptWaits()
{
    emit waitsInterrupted();
}

void RequestEngine::interrupt()
{
    m_interrupted = true;
    emit waitsInterrupted();
    const QList<QPointer<QNetworkReply>> watched = m_watched;
    for (const QPointer<QNetworkReply>& reply : watched) {
        if (reply)
            fail(reply, CloudError(CloudError::Canceled));
    }
}

void RequestEngine::abandon(QNetworkReply* reply)
{
    reply->setProperty(kAbandonedKey, true);
    reply->abort();
    reply->deleteLater();
}

bool RequestEngine::isAbandoned(const QNetworkReply* reply)
{
    return reply->property(kAbandonedKey).toBool();
}

void RequestEngine::markFailed(QNetworkReply* reply, const CloudError& error)
{
    // The first reason found is the truth; the abort that follows it is not.
    if (!reply->property(kFailureKey).isValid())
        reply->setProperty(kFailureKey, QVariant::fromValue(error));
}

void RequestEngine::judgeSize(QNetworkReply* reply)
{
    const QVariant maxBytes = reply->property(kMaxBytesKey);
    if (maxBytes.isValid() && reply->isOpen() && reply->bytesAvailable() > maxBytes.toLongLong())
        markFailed(reply, CloudError(CloudError::ReplyTooLarge, tr("more than %1 bytes").arg(maxBytes.toLongLong())));
}

CloudError RequestEngine::failureOf(const QNetworkReply* reply) const
{
    const QVariant marked = reply->property(kFailureKey);
    if (marked.isValid())
        return marked.value<CloudError>();
    return CloudError::fromReply(reply);
}

int RequestEngine::errorOf(const QNetworkReply* reply) const
{
    const QVariant marked = reply->property(kFailureKey);
    if (!marked.isValid())
        return reply->error();
    switch (marked.value<CloudError>().kind()) {
    case CloudError::TimedOut: return QNetworkReply::TimeoutError;
    case CloudError::Canceled: return QNetworkReply::OperationCanceledError;
    case CloudError::CertificateUntrusted:
    case CloudError::CertificateWrongHost:
    case CloudError::CertificateExpired: return QNetworkReply::SslHandshakeFailedError;
    default: return QNetworkReply::ProtocolFailure;
    }
}

bool RequestEngine::serviceExplains(const CloudError& road)
{
    switch (road.kind()) {
    case CloudError::None:
    case CloudError::Unauthorized:
    case CloudError::PathConflict:
    case CloudError::NotFound:
    case CloudError::ServiceFailed:
    case CloudError::RateLimited:
    case CloudError::Other:
        return true;
    default:
        return false;
    }
}

void RequestEngine::keepBody(QNetworkReply* reply, const QByteArray& body)
{
    if (m_bodies.count(reply) == 0)
        connect(reply, &QObject::destroyed, this, [this, reply] { m_bodies.erase(reply); });
    m_bodies[reply] = std::make_unique<QByteArray>(body);
}

std::unique_ptr<QByteArray> RequestEngine::takeBody(QNetworkReply* reply)
{
    auto kept = m_bodies.find(reply);
    if (kept == m_bodies.end())
        return nullptr;
    std::unique_ptr<QByteArray> body = std::move(kept->second);
    m_bodies.erase(kept);
    return body;
}

void RequestEngine::dropBody(QNetworkReply* reply)
{
    m_bodies.erase(reply);
}

void RequestEngine::onSslErrors(QNetworkReply* reply, const QList<QSslError>& errors)
{
    ICloudLog* log = CloudLog::instance();
    log->logLine(LOG_ERR, "%s: onNetworkSslErrors", m_accountName);
    for (const QSslError& error : errors)
        log->logLine(LOG_ERR, "code - %d, message - %s", int(error.error()), error.errorString().toUtf8().constData());
    markFailed(reply, certificateFailure(errors));
}
