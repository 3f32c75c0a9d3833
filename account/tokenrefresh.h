#pragma once

#include "clouderror.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>

#include <functional>
#include <vector>

class OAuthClient;
class QNetworkAccessManager;
class QNetworkReply;
class RequestEngine;
class TokenRecord;

// The renewal of the access token of a record made by a sign-in in the
// browser, with its refresh token. One renewal at a time: whoever finds the
// token due or refused while one is under way joins it instead of starting
// another. Each renewal ends exactly once.
class TokenRefresh : public QObject
{
    Q_OBJECT
public:
    // A token is renewed when less than this is left of its lifetime.
    static constexpr qint64 kMarginMs = 60000;
    static constexpr int kLimitMs = 30000;

    TokenRefresh(const char* accountName, const OAuthClient& client, TokenRecord& record,
                 QNetworkAccessManager* manager, RequestEngine& engine, QObject* parent = nullptr);
    ~TokenRefresh() override;

    // Whether the stored record is one this renewal keeps (made in the browser).
    bool applies() const;
    // Whether its access token must be renewed before use: it is refused,
    // or expires within the margin, or a renewal is under way.
    bool due() const;
    bool underWay() const { return !m_reply.isNull(); }
    // The service refused a request sent with this Authorization header;
    // its token is renewed before the next use unless it was already.
    void markRefused(const QByteArray& authorization);

    // Starts a renewal, or joins the one under way; `then` runs once when it ends.
    void renew(std::function<void(const CloudError&)> then = {});
    // renew(), and waits for its ending within the limit (the account's
    // synchronous operations cannot go on without the token).
    CloudError renewAndWait();

signals:
    // None when the record holds a new access token; SignInWithdrawn when
    // the service refused the refresh token.
    void ended(const CloudError& error);

private:
    void onFinished();
    void end(const CloudError& error);

    const char* m_name;
    const OAuthClient& m_client;
    TokenRecord& m_record;
    QNetworkAccessManager* m_manager;
    RequestEngine& m_engine;
    QPointer<QNetworkReply> m_reply;
    QString m_refusedToken;
    CloudError m_lastEnding;
    std::vector<std::function<void(const CloudError&)>> m_waiting;
};
