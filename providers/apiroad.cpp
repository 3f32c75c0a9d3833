#include "apiroad.h"

#include "requestengine.h"
#include "retrypolicy.h"
#include "uploadtransport.h"

#include <QNetworkReply>
#include <QNetworkRequest>

ApiRoad::ApiRoad(const char* serviceName, TokenSource& tokens, Describe describe, QObject* parent)
    : QObject(parent),
      m_name(serviceName),
      m_tokens(tokens),
      m_describe(describe),
      m_engine(new RequestEngine(&m_manager, serviceName, this)),
      m_firstPauseMs(RetryPolicy::kFirstPauseMs)
{
    connect(&m_manager, &QNetworkAccessManager::sslErrors, m_engine, &RequestEngine::onSslErrors);
}

ApiRoad::~ApiRoad()
{
    delete m_transport; // its worker lets go of what is left before the manager goes
}

UploadTransport& ApiRoad::transport()
{
    if (!m_transport)
        m_transport = new UploadTransport(nullptr);
    return *m_transport;
}

QNetworkReply* ApiRoad::send(const QNetworkRequest& given, const QByteArray& authorization, const QByteArray* jsonBody)
{
    QNetworkRequest request(given);
    request.setRawHeader("Authorization", authorization);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    QNetworkReply* reply = nullptr;
    if (jsonBody) {
        request.setRawHeader("Content-Type", "application/json");
        reply = m_manager.post(request, *jsonBody);
    } else {
        reply = m_manager.get(request);
    }
    m_engine->watch(reply);
    return reply;
}

void ApiRoad::preconnect(const QString& host)
{
    m_manager.connectToHostEncrypted(host);
}

CloudError ApiRoad::failureOf(const QNetworkReply* reply, const QByteArray& body) const
{
    const CloudError road = m_engine->failureOf(reply);
    return RequestEngine::serviceExplains(road) ? m_describe(reply, body) : road;
}

void ApiRoad::setLimits(int stallMs, int firstPauseMs)
{
    m_engine->setStallLimit(stallMs);
    m_firstPauseMs = firstPauseMs;
}
