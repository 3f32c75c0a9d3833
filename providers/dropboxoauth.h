#pragma once

#include "oauthclient.h"

#include <string>

// Dropbox's OAuth 2.0 code flow for a desktop app: PKCE without a client
// secret, offline access (a refresh token), and the one loopback redirect
// the app's registration names.
class DropboxOAuth : public OAuthClient
{
public:
    // The registered redirect: Dropbox matches it exactly, port included.
    static constexpr quint16 kRedirectPort = 53190;

    explicit DropboxOAuth(std::string applicationName);

    quint16 redirectPort() const override { return kRedirectPort; }
    QUrl authorizationUrl(const QString& redirectUri, const QString& state, const QString& challenge) const override;
    QUrl tokenEndpoint() const override;
    QUrlQuery codeExchangeForm(const QString& code, const QString& verifier, const QString& redirectUri) const override;
    QUrlQuery refreshForm(const QString& refreshToken) const override;
    QJsonObject recordOf(const QJsonObject& answer) const override;
    QNetworkRequest accountRequest(const QJsonObject& record, QByteArray* body) const override;

private:
    QString appKey() const;

    const std::string m_applicationName;
};
