#pragma once

#include "pkce.h"

#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>

class LoopbackListener;
class OAuthClient;
class QNetworkAccessManager;
class QNetworkReply;
class QTcpSocket;
class RequestEngine;

// How a sign-in in the user's browser ended.
struct SignInOutcome {
    enum Ending { SignedIn, Canceled, Refused, TimedOut, Failed };
    Ending ending = Failed;
    // Plain words; the service's own reason when it gave one.
    QString reason;
    // SignedIn: what the provider keeps of the tokens, and the account answer.
    QJsonObject record;
    QJsonObject account;
};

// One sign-in in the user's browser (authorization code with PKCE S256 and
// a state): a loopback listener takes exactly one redirect that carries the
// state, the code is exchanged and the account asked for, all within a time
// limit. It ends exactly once, and no listener outlives it.
class SignInAttempt : public QObject
{
    Q_OBJECT
public:
    static constexpr int kLimitMs = 5 * 60 * 1000;
    static constexpr int kRequestLimitMs = 30000;

    SignInAttempt(const char* accountName, const OAuthClient& client, QNetworkAccessManager* manager,
                  RequestEngine& engine, QObject* parent = nullptr);
    ~SignInAttempt() override;

    void setLimit(int milliseconds) { m_limitMs = milliseconds; }
    // Listens, then tells the address and opens it in the browser. The
    // ending never comes from inside start().
    void start();
    void cancel();
    bool hasEnded() const { return m_ended; }
    QUrl address() const { return m_address; }

signals:
    // The user continues in the browser at this address (opened there when
    // browserOpened; otherwise it is for the user to open).
    void waiting(const QUrl& address, bool browserOpened);
    void ended(const SignInOutcome& outcome);

private:
    void onRedirect(QTcpSocket* connection, const QUrl& address);
    QNetworkReply* post(const QUrl& url, const QByteArray& form);
    void exchange(const QString& code);
    void onExchanged();
    void onAccount();
    void fail(SignInOutcome::Ending ending, const QString& reason);
    void end(SignInOutcome outcome);
    // The body of a finished reply; a failure says why in *failure, with
    // *refusal the service's own reason when its body gave one.
    QByteArray finishedBody(QNetworkReply* reply, QString* failure, QString* refusal);

    const char* m_name;
    const OAuthClient& m_client;
    QNetworkAccessManager* m_manager;
    RequestEngine& m_engine;
    LoopbackListener* m_listener;
    const Pkce m_pkce = Pkce::make();
    const QString m_state = Pkce::randomText(24);
    QUrl m_address;
    QString m_redirectUri;
    QPointer<QTcpSocket> m_browser; // the redirect's connection, answered at the end
    QPointer<QNetworkReply> m_reply;
    QJsonObject m_record;
    QTimer m_limit;
    QTimer m_requestLimit;
    int m_limitMs = kLimitMs;
    bool m_answered = false; // the one redirect was taken
    bool m_ended = false;
};

Q_DECLARE_METATYPE(SignInOutcome)
