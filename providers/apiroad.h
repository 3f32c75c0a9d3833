#pragma once

#include "clouderror.h"

#include <QNetworkAccessManager>
#include <QObject>

class QNetworkReply;
class QNetworkRequest;
class RequestEngine;
class TokenSource;
class UploadTransport;

// How the listing and download jobs reach one service's API: a network
// manager of their own, without cache or cookies (file names are nobody's
// business on disk), each request watched as the account's are (stall,
// the 4 MiB limit on an answer, every certificate error refused), and
// authorized by the account's tokens.
class ApiRoad : public QObject
{
    Q_OBJECT
public:
    using Describe = CloudError (*)(const QNetworkReply* reply, const QByteArray& body);

    ApiRoad(const char* serviceName, TokenSource& tokens, Describe describe, QObject* parent = nullptr);
    ~ApiRoad() override;

    const char* serviceName() const { return m_name; }
    TokenSource& tokens() { return m_tokens; }
    RequestEngine& engine() { return *m_engine; }
    // Where download bodies go: straight to their file, on a worker thread.
    UploadTransport& transport();

    // Opens the connection to a host ahead of the first request, which then
    // finds it ready (the proxy's tunnel and TLS done meanwhile).
    void preconnect(const QString& host);
    // Sends a GET, or a POST of a JSON body, with the given Authorization.
    // The reply belongs to the caller.
    QNetworkReply* send(const QNetworkRequest& request, const QByteArray& authorization, const QByteArray* jsonBody);
    // What went wrong with a finished reply: the road's reason before the
    // service's reading of its body.
    CloudError failureOf(const QNetworkReply* reply, const QByteArray& body) const;

    // How long a request may go without a byte moving, and the first pause
    // before a transient failure is tried again.
    void setLimits(int stallMs, int firstPauseMs);
    int firstPauseMs() const { return m_firstPauseMs; }

private:
    const char* m_name;
    TokenSource& m_tokens;
    Describe m_describe;
    QNetworkAccessManager m_manager;
    RequestEngine* m_engine;
    UploadTransport* m_transport = nullptr;
    int m_firstPauseMs;
};
