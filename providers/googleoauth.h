#pragma once

#include "oauthclient.h"

#include <string>

// Google's OAuth 2.0 code flow for an installed app: the system browser, a
// loopback redirect on any port, PKCE S256, offline access.
class GoogleOAuth : public OAuthClient
{
public:
    explicit GoogleOAuth(std::string applicationName);

    quint16 redirectPort() const override { return 0; }
    QUrl authorizationUrl(const QString& redirectUri, const QString& state, const QString& challenge) const override;
    QUrl tokenEndpoint() const override;
    QUrlQuery codeExchangeForm(const QString& code, const QString& verifier, const QString& redirectUri) const override;
    QUrlQuery refreshForm(const QString& refreshToken) const override;
    QJsonObject recordOf(const QJsonObject& answer) const override;
    QNetworkRequest accountRequest(const QJsonObject& record, QByteArray* body) const override;

private:
    QString credential(int kind) const;

    const std::string m_applicationName;
};
