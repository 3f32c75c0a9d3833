#pragma once

#include "clouderror.h"

#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QSslError>

#include <map>
#include <memory>

class QNetworkReply;

// How an account's requests travel: each reply is watched so that it ends
// (no byte moving for too long, or a body past its limit, fails it), waits
// are bounded and can be ended at once from outside, certificate errors
// are never tolerated, and bodies are kept for re-sending.
class RequestEngine : public QObject
{
    Q_OBJECT
public:
    static constexpr int kStallLimitMs = 30000;
    // An API answer is a few kilobytes; a body past this is not one.
    static constexpr qint64 kMaxReplyBytes = 4 * 1024 * 1024;
    static constexpr int kNothingSent = 99; // QNetworkReply::UnknownNetworkError

    RequestEngine(QNetworkAccessManager* manager, const char* accountName, QObject* parent);

    QNetworkAccessManager* manager() const { return m_manager; }

    // Watches a reply from now until it finishes: it fails as timed out when
    // no byte moves for stallMs (0: the engine's limit), and as too large
    // when its body passes maxBytes. Also ended by interrupt().
    void watch(QNetworkReply* reply, int stallMs = 0, qint64 maxBytes = kMaxReplyBytes);
    void setStallLimit(int stallMs) { m_stallLimitMs = stallMs; }

    // Runs a nested event loop until the reply finishes, timeoutMs passes
    // (0: no limit), the reply stalls or the waits are interrupted; then
    // releases the reply. A reply that did not finish is never processed.
    // The reply's error code, TimeoutError (4) for a wait that ran out, or
    // OperationCanceledError (5) for an interrupted one.
    int wait(QNetworkReply* reply, int timeoutMs);
    // Ends every wait under way at once; their replies are abandoned.
    void interruptWaits();
    // interruptWaits(), every watched reply aborted, and nothing sent any
    // more: the way out for a process that is asked to stop.
    void interrupt();
    bool isInterrupted() const { return m_interrupted; }

    // The reply is aborted and released, and nobody processes it.
    static void abandon(QNetworkReply* reply);
    static bool isAbandoned(const QNetworkReply* reply);

    // What went wrong with a finished reply, as far as the road tells: what
    // the engine saw (certificate, stall, size, a mark) before what the
    // network layer says. None for a reply without error.
    CloudError failureOf(const QNetworkReply* reply) const;
    // The same as a request result: TimeoutError for a stall,
    // SslHandshakeFailedError for a refused certificate, ProtocolFailure
    // (399) for an answer marked unusable, else the reply's own error.
    int errorOf(const QNetworkReply* reply) const;
    // Whether a failure the road saw is one the service's answer explains
    // better (its body and address tell what), or is the whole story.
    static bool serviceExplains(const CloudError& road);
    // Fails a reply that the network layer thought fine, or is about to be
    // aborted for a reason of ours.
    static void markFailed(QNetworkReply* reply, const CloudError& error);
    // Fails a finished reply whose body is past the limit it was watched with.
    static void judgeSize(QNetworkReply* reply);

    // Bodies kept for re-sending, until the request succeeds.
    void keepBody(QNetworkReply* reply, const QByteArray& body);
    std::unique_ptr<QByteArray> takeBody(QNetworkReply* reply);
    void dropBody(QNetworkReply* reply);
    const std::map<QNetworkReply*, std::unique_ptr<QByteArray>>& keptBodies() const { return m_bodies; }

public slots:
    // Every certificate error fails the request: a "tolerated" kind would let
    // anybody with a self-made intermediate read the tokens.
    void onSslErrors(QNetworkReply* reply, const QList<QSslError>& errors);

signals:
    void waitsInterrupted();
    // A reply that a synchronous wait waits for went quiet for too long.
    void waitStalled(QNetworkReply* reply);

private:
    void fail(QNetworkReply* reply, const CloudError& error);

    QNetworkAccessManager* m_manager;
    const char* m_accountName;
    int m_stallLimitMs = kStallLimitMs;
    bool m_interrupted = false;
    QList<QPointer<QNetworkReply>> m_watched;
    std::map<QNetworkReply*, std::unique_ptr<QByteArray>> m_bodies;
};
