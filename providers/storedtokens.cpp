#include "storedtokens.h"

#include "cloudcredential.h"
#include "cloudlog.h"
#include "qovisettings.h"
#include "requestengine.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QUrlQuery>

namespace {

const QString kAccessToken = QStringLiteral("access_token");
const QString kRefreshToken = QStringLiteral("refresh_token");
const QString kExpiresIn = QStringLiteral("expires_in");

} // namespace

StoredTokens::StoredTokens(std::string section, CLOUD_TYPE kind, QObject* parent)
    : QObject(parent),
      m_section(std::move(section)),
      m_kind(kind),
      m_record(m_storage, m_section, kind),
      m_engine(new RequestEngine(&m_manager, kind == DROPBOX_CLOUD ? "Dropbox" : "Google Drive", this))
{
    connect(&m_manager, &QNetworkAccessManager::sslErrors, m_engine, &RequestEngine::onSslErrors);
}

StoredTokens::~StoredTokens()
{
    if (m_reply) {
        m_reply->disconnect(this);
        RequestEngine::abandon(m_reply);
    }
}

const char* StoredTokens::emailKey(CLOUD_TYPE kind)
{
    return kind == DROPBOX_CLOUD ? "dbEmail" : "gdEmail";
}

QString StoredTokens::email() const
{
    qvtl::string email;
    if (!qvs::FetchUTF8String(m_section, emailKey(m_kind), email))
        return QString();
    return QString::fromUtf8(email.data(), int(email.size()));
}

bool StoredTokens::connected() const
{
    return !email().isEmpty() && !m_record.text().empty();
}

QByteArray StoredTokens::header() const
{
    return "Bearer " + m_record.accessToken().toUtf8();
}

bool StoredTokens::expired() const
{
    // A record that tells its lifetime is renewed once that has run out.
    const QJsonObject record = m_record.object();
    const double lifetimeMs = record.value(kExpiresIn).toDouble() * 1000;
    const double receivedMs = record.value(QStringLiteral("received_time")).toDouble();
    return lifetimeMs > 0 && receivedMs > 0 && double(QDateTime::currentMSecsSinceEpoch()) >= receivedMs + lifetimeMs;
}

void StoredTokens::authorize(const QByteArray& refused, QObject* context, Answer then)
{
    const bool spent = refused.isEmpty() ? expired() : refused == header();
    if (spent || m_reply)
        renew(context, std::move(then));
    else
        then(header(), CloudError());
}

void StoredTokens::renew(QObject* context, Answer then)
{
    m_waiting.emplace_back(context, std::move(then));
    if (m_reply)
        return;
    const QString refreshToken = m_record.value(kRefreshToken);
    if (refreshToken.isEmpty()) {
        // A token that cannot be renewed: the user signs in again.
        const CloudError refused(CloudError::Unauthorized);
        auto waiting = std::move(m_waiting);
        for (auto& [alive, answer] : waiting) {
            if (alive)
                answer(QByteArray(), refused);
        }
        return;
    }
    // Each service's token endpoint, with the form its sign-in calls for.
    const bool dropbox = m_kind == DROPBOX_CLOUD;
    QUrlQuery form;
    form.addQueryItem(QStringLiteral("grant_type"), QStringLiteral("refresh_token"));
    form.addQueryItem(kRefreshToken, refreshToken);
    form.addQueryItem(QStringLiteral("client_id"), QString::fromStdString(cloudCredential(m_section, m_kind, -1)));
    if (!dropbox)
        form.addQueryItem(QStringLiteral("client_secret"), QString::fromStdString(cloudCredential(m_section, m_kind, 0)));
    QNetworkRequest request(QUrl(dropbox ? QStringLiteral("https://api.dropboxapi.com/oauth2/token")
                                         : QStringLiteral("https://accounts.google.com/o/oauth2/token")));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/x-www-form-urlencoded"));
    CloudLog::instance()->logLine(LOG_INF, "%s: renewing the access token", dropbox ? "Dropbox" : "Google Drive");
    m_reply = m_manager.post(request, form.toString(QUrl::FullyEncoded).toLatin1());
    m_engine->watch(m_reply);
    connect(m_reply, &QNetworkReply::finished, this, &StoredTokens::onRenewed);
}

void StoredTokens::onRenewed()
{
    QNetworkReply* reply = m_reply;
    m_reply = nullptr;
    reply->deleteLater();
    const QJsonObject answer = QJsonDocument::fromJson(reply->isOpen() ? reply->readAll() : QByteArray()).object();
    CloudError error = m_engine->failureOf(reply);
    const QString token = answer.value(kAccessToken).toString();
    if (answer.value(QStringLiteral("error")).toString() == QLatin1String("invalid_grant"))
        error = CloudError(CloudError::GrantRevoked, answer.value(QStringLiteral("error_description")).toString());
    else if (!error.isError() && token.isEmpty())
        error = CloudError(CloudError::BadReply, tr("no access token"));
    if (!error.isError()) {
        // The rest of the record stays: the account id, the refresh token
        // unless a new one came.
        QJsonObject record = m_record.object();
        record.insert(kAccessToken, token);
        if (answer.contains(kExpiresIn))
            record.insert(kExpiresIn, answer.value(kExpiresIn).toDouble());
        if (!answer.value(kRefreshToken).toString().isEmpty())
            record.insert(kRefreshToken, answer.value(kRefreshToken));
        TokenRecord::stampReceivedTime(record);
        m_record.save(QJsonDocument(record).toJson());
    }
    auto waiting = std::move(m_waiting);
    for (auto& [alive, answerThen] : waiting) {
        if (alive)
            answerThen(error.isError() ? QByteArray() : header(), error);
    }
}
