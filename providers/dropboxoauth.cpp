#include "dropboxoauth.h"

#include "cloudcredential.h"
#include "dropboxanswers.h"

DropboxOAuth::DropboxOAuth(std::string applicationName) : m_applicationName(std::move(applicationName)) {}

QString DropboxOAuth::appKey() const
{
    return QString::fromStdString(cloudCredential(m_applicationName, DROPBOX_CLOUD, -1));
}

QUrl DropboxOAuth::authorizationUrl(const QString& redirectUri, const QString& state, const QString& challenge) const
{
    QUrl url = DropboxAnswers::endpoint(DropboxAnswers::kWebHost, "/oauth2/authorize");
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("client_id"), appKey());
    query.addQueryItem(QStringLiteral("response_type"), QStringLiteral("code"));
    query.addQueryItem(QStringLiteral("redirect_uri"), redirectUri);
    query.addQueryItem(QStringLiteral("state"), state);
    query.addQueryItem(QStringLiteral("code_challenge"), challenge);
    query.addQueryItem(QStringLiteral("code_challenge_method"), QStringLiteral("S256"));
    // Without it the code gives a four-hour token and nothing to renew it with.
    query.addQueryItem(QStringLiteral("token_access_type"), QStringLiteral("offline"));
    url.setQuery(query);
    return url;
}

QUrl DropboxOAuth::tokenEndpoint() const
{
    return DropboxAnswers::endpoint(DropboxAnswers::kApiHost, "/oauth2/token");
}

QUrlQuery DropboxOAuth::codeExchangeForm(const QString& code, const QString& verifier,
                                         const QString& redirectUri) const
{
    QUrlQuery form;
    form.addQueryItem(QStringLiteral("code"), code);
    form.addQueryItem(QStringLiteral("grant_type"), QStringLiteral("authorization_code"));
    form.addQueryItem(QStringLiteral("client_id"), appKey());
    form.addQueryItem(QStringLiteral("redirect_uri"), redirectUri);
    form.addQueryItem(QStringLiteral("code_verifier"), verifier);
    return form;
}

QUrlQuery DropboxOAuth::refreshForm(const QString& refreshToken) const
{
    QUrlQuery form;
    form.addQueryItem(QStringLiteral("grant_type"), QStringLiteral("refresh_token"));
    form.addQueryItem(QStringLiteral("refresh_token"), refreshToken);
    form.addQueryItem(QStringLiteral("client_id"), appKey());
    return form;
}

QJsonObject DropboxOAuth::recordOf(const QJsonObject& answer) const
{
    // The account's readers find "access_token" and "account_id" (without
    // its "dbid:" prefix) where they always did.
    const QString accountId = answer.value(QStringLiteral("account_id")).toString();
    return QJsonObject{
        {QStringLiteral("access_token"), answer.value(QStringLiteral("access_token"))},
        {QStringLiteral("account_id"), accountId.section(QLatin1Char(':'), 1)},
        {QStringLiteral("refresh_token"), answer.value(QStringLiteral("refresh_token"))},
        {QStringLiteral("expires_in"), answer.value(QStringLiteral("expires_in"))},
    };
}

QNetworkRequest DropboxOAuth::accountRequest(const QJsonObject& record, QByteArray* body) const
{
    QNetworkRequest request(DropboxAnswers::endpoint(DropboxAnswers::kApiHost, "/2/users/get_account"));
    request.setRawHeader("Authorization", "Bearer " + record.value(QStringLiteral("access_token")).toString().toUtf8());
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    *body = QStringLiteral("{\"account_id\": \"dbid:%1\"}")
                .arg(record.value(QStringLiteral("account_id")).toString())
                .toUtf8();
    return request;
}
