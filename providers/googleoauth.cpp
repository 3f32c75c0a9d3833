#include "googleoauth.h"

#include "cloudcredential.h"
#include "driveanswers.h"

namespace {

// Google's endpoints for installed apps as documented today.
const char* const kAuthorization = "https://accounts.google.com/o/oauth2/v2/auth";
const char* const kToken = "https://oauth2.googleapis.com/token";

} // namespace

GoogleOAuth::GoogleOAuth(std::string applicationName) : m_applicationName(std::move(applicationName)) {}

QString GoogleOAuth::credential(int kind) const
{
    return QString::fromStdString(cloudCredential(m_applicationName, GDRIVE_CLOUD, kind));
}

QUrl GoogleOAuth::authorizationUrl(const QString& redirectUri, const QString& state, const QString& challenge) const
{
    QUrl url{QLatin1String(kAuthorization)};
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("client_id"), credential(-1));
    query.addQueryItem(QStringLiteral("redirect_uri"), redirectUri);
    query.addQueryItem(QStringLiteral("response_type"), QStringLiteral("code"));
    query.addQueryItem(QStringLiteral("scope"), DriveAnswers::apiAddress("/auth/drive"));
    query.addQueryItem(QStringLiteral("access_type"), QStringLiteral("offline"));
    query.addQueryItem(QStringLiteral("state"), state);
    query.addQueryItem(QStringLiteral("code_challenge"), challenge);
    query.addQueryItem(QStringLiteral("code_challenge_method"), QStringLiteral("S256"));
    url.setQuery(query);
    return url;
}

QUrl GoogleOAuth::tokenEndpoint() const
{
    return QUrl(QLatin1String(kToken));
}

QUrlQuery GoogleOAuth::codeExchangeForm(const QString& code, const QString& verifier,
                                        const QString& redirectUri) const
{
    // An installed app's secret is no secret; Google still asks for it.
    QUrlQuery form;
    form.addQueryItem(QStringLiteral("code"), code);
    form.addQueryItem(QStringLiteral("client_id"), credential(-1));
    form.addQueryItem(QStringLiteral("client_secret"), credential(0));
    form.addQueryItem(QStringLiteral("redirect_uri"), redirectUri);
    form.addQueryItem(QStringLiteral("grant_type"), QStringLiteral("authorization_code"));
    form.addQueryItem(QStringLiteral("code_verifier"), verifier);
    return form;
}

QUrlQuery GoogleOAuth::refreshForm(const QString& refreshToken) const
{
    QUrlQuery form;
    form.addQueryItem(QStringLiteral("refresh_token"), refreshToken);
    form.addQueryItem(QStringLiteral("client_id"), credential(-1));
    form.addQueryItem(QStringLiteral("client_secret"), credential(0));
    form.addQueryItem(QStringLiteral("grant_type"), QStringLiteral("refresh_token"));
    return form;
}

QJsonObject GoogleOAuth::recordOf(const QJsonObject& answer) const
{
    return answer;
}

QNetworkRequest GoogleOAuth::accountRequest(const QJsonObject& record, QByteArray*) const
{
    QNetworkRequest request(QUrl(DriveAnswers::apiAddress("/drive/v2/about")));
    request.setRawHeader("Authorization", "Bearer " + record.value(QStringLiteral("access_token")).toString().toUtf8());
    return request;
}
