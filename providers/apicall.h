#pragma once

#include "clouderror.h"

#include <QJsonObject>
#include <QNetworkRequest>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <optional>

class ApiRoad;
class QNetworkReply;

// One call of a service's API that answers a JSON object (a page of a
// listing, a file's metadata, a temporary link), tried again as the uploads
// are: a transient failure after a pause, at most RetryPolicy::kMaxRetries
// times; a refused token once, after it was renewed. Ends exactly once.
class ApiCall : public QObject
{
    Q_OBJECT
public:
    // A GET, or a POST of the JSON body when one is given.
    ApiCall(ApiRoad& road, const QNetworkRequest& request, std::optional<QByteArray> jsonBody, QObject* parent);
    ~ApiCall() override;

    void start();
    // Ends the call at once as canceled; nothing when it has ended.
    void cancel();

    bool hasEnded() const { return m_ended; }
    // None when the service answered; Canceled when canceled.
    CloudError error() const { return m_error; }
    QJsonObject answer() const { return m_answer; }
    // The failed answer's body, for what only its caller can read in it.
    QByteArray failedBody() const { return m_failedBody; }

signals:
    // A transient failure, tried again after pauseMs (attempt of kMaxRetries).
    void retrying(const CloudError& why, int pauseMs, int attempt);
    void ended();

private:
    void authorize(const QByteArray& refused);
    void send(const QByteArray& authorization);
    void onFinished();
    void end(const CloudError& error);

    ApiRoad& m_road;
    const QNetworkRequest m_request;
    const std::optional<QByteArray> m_body;
    QPointer<QNetworkReply> m_reply;
    QByteArray m_authorization;
    QTimer m_pause;
    int m_retries = 0;
    bool m_renewed = false;
    bool m_ended = false;
    CloudError m_error;
    QJsonObject m_answer;
    QByteArray m_failedBody;
};
