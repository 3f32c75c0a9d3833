#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QString>
#include <QUrl>
#include <QUrlQuery>

// What the browser sign-in and the token renewal need to know of one
// service's OAuth 2.0 registration: its addresses, parameters and answers.
// The providers implement one per service.
class OAuthClient
{
public:
    virtual ~OAuthClient() = default;

    // The loopback port the registration names; 0 when any port will do.
    virtual quint16 redirectPort() const = 0;
    // The authorization address, with the redirect, state and S256 challenge.
    virtual QUrl authorizationUrl(const QString& redirectUri, const QString& state,
                                  const QString& challenge) const = 0;
    virtual QUrl tokenEndpoint() const = 0;
    virtual QUrlQuery codeExchangeForm(const QString& code, const QString& verifier,
                                       const QString& redirectUri) const = 0;
    virtual QUrlQuery refreshForm(const QString& refreshToken) const = 0;
    // What is kept of the code exchange's answer: at least "access_token",
    // "refresh_token" and "expires_in".
    virtual QJsonObject recordOf(const QJsonObject& answer) const = 0;
    // The request whose answer tells the account's e-mail address, made with
    // a new record; a POST when *body is set.
    virtual QNetworkRequest accountRequest(const QJsonObject& record, QByteArray* body) const = 0;
};
