#include "apicall.h"

#include "apiroad.h"
#include "cloudlog.h"
#include "requestengine.h"
#include "retrypolicy.h"
#include "tokensource.h"

#include <QJsonDocument>
#include <QNetworkReply>

ApiCall::ApiCall(ApiRoad& road, const QNetworkRequest& request, std::optional<QByteArray> jsonBody, QObject* parent)
    : QObject(parent), m_road(road), m_request(request), m_body(std::move(jsonBody))
{
    m_pause.setSingleShot(true);
    connect(&m_pause, &QTimer::timeout, this, [this] { authorize(QByteArray()); });
}

ApiCall::~ApiCall()
{
    if (m_reply) {
        m_reply->disconnect(this);
        RequestEngine::abandon(m_reply);
    }
}

void ApiCall::start()
{
    if (!m_ended && !m_reply && !m_pause.isActive())
        authorize(QByteArray());
}

void ApiCall::cancel()
{
    if (m_ended)
        return;
    m_pause.stop();
    if (m_reply) {
        m_reply->disconnect(this);
        RequestEngine::abandon(m_reply);
    }
    end(CloudError(CloudError::Canceled));
}

void ApiCall::authorize(const QByteArray& refused)
{
    m_road.tokens().authorize(refused, this, [this](const QByteArray& authorization, const CloudError& error) {
        if (m_ended)
            return;
        if (error.isError())
            end(error);
        else
            send(authorization);
    });
}

void ApiCall::send(const QByteArray& authorization)
{
    m_authorization = authorization;
    m_reply = m_road.send(m_request, authorization, m_body ? &*m_body : nullptr);
    connect(m_reply, &QNetworkReply::finished, this, &ApiCall::onFinished);
}

void ApiCall::onFinished()
{
    QNetworkReply* reply = m_reply;
    m_reply = nullptr;
    reply->deleteLater();
    RequestEngine::judgeSize(reply);
    const QByteArray body = reply->isOpen() ? reply->readAll() : QByteArray();
    CloudError failure = m_road.engine().failureOf(reply);
    if (!failure.isError()) {
        const QJsonDocument document = QJsonDocument::fromJson(body);
        if (document.isObject()) {
            m_answer = document.object();
            end(CloudError());
            return;
        }
        failure = CloudError(CloudError::BadReply, tr("not a JSON object"));
    } else {
        failure = m_road.failureOf(reply, body);
    }
    ICloudLog* log = CloudLog::instance();
    log->logLine(LOG_WRN, "%s: %s failed: %s", m_road.serviceName(),
                 m_request.url().path().toUtf8().constData(), failure.text().toUtf8().constData());
    if (failure.kind() == CloudError::Unauthorized && !m_renewed) {
        // Once: a token refused right after its renewal is refused for good.
        m_renewed = true;
        authorize(m_authorization);
        return;
    }
    if (failure.isTransient() && m_retries < RetryPolicy::kMaxRetries) {
        ++m_retries;
        const int pause = RetryPolicy::pauseBefore(failure, m_retries, m_road.firstPauseMs());
        emit retrying(failure, pause, m_retries);
        m_pause.start(pause);
        return;
    }
    m_failedBody = body;
    end(failure);
}

void ApiCall::end(const CloudError& error)
{
    if (m_ended)
        return;
    m_ended = true;
    m_error = error;
    emit ended();
}
