#include "tokenrefresh.h"

#include "cloudlog.h"
#include "oauthclient.h"
#include "requestengine.h"
#include "tokenrecord.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QUrlQuery>

namespace {

ICloudLog* logger()
{
    return CloudLog::instance();
}

const QString kAccessToken = QStringLiteral("access_token");
const QString kRefreshToken = QStringLiteral("refresh_token");
const QString kExpiresIn = QStringLiteral("expires_in");

} // namespace

TokenRefresh::TokenRefresh(const char* accountName, const OAuthClient& client, TokenRecord& record,
                           QNetworkAccessManager* manager, RequestEngine& engine, QObject* parent)
    : QObject(parent), m_name(accountName), m_client(client), m_record(record), m_manager(manager), m_engine(engine)
{
}

TokenRefresh::~TokenRefresh()
{
    if (m_reply) {
        m_reply->disconnect(this);
        RequestEngine::abandon(m_reply);
    }
}

bool TokenRefresh::applies() const
{
    return TokenRecord::madeInBrowser(m_record.object());
}

bool TokenRefresh::due() const
{
    const QJsonObject record = m_record.object();
    if (!TokenRecord::madeInBrowser(record))
        return false;
    if (underWay())
        return true;
    const QString token = record.value(kAccessToken).toString();
    if (token.isEmpty() || token == m_refusedToken)
        return true;
    const double lifetimeMs = record.value(kExpiresIn).toDouble() * 1000;
    if (!(lifetimeMs > 0))
        return false; // no lifetime told: renewed when the service refuses it
    // Never more than half the lifetime, so that a new token is never due.
    const double margin = qMin(double(kMarginMs), lifetimeMs / 2);
    const double expiresAt = record.value(QStringLiteral("received_time")).toDouble() + lifetimeMs;
    return double(QDateTime::currentMSecsSinceEpoch()) + margin >= expiresAt;
}

void TokenRefresh::markRefused(const QByteArray& authorization)
{
    const QString token = m_record.accessToken();
    // A request sent before the last renewal says nothing of the new token.
    if (applies() && authorization == "Bearer " + token.toUtf8())
        m_refusedToken = token;
}

void TokenRefresh::renew(std::function<void(const CloudError&)> then)
{
    if (then)
        m_waiting.push_back(std::move(then));
    if (underWay())
        return;
    const QString refreshToken = m_record.value(kRefreshToken);
    if (refreshToken.isEmpty()) {
        end(CloudError(CloudError::SignInWithdrawn, tr("no refresh token is kept")));
        return;
    }
    QByteArray body;
    for (const auto& [key, value] : m_client.refreshForm(refreshToken).queryItems(QUrl::FullyDecoded)) {
        if (!body.isEmpty())
            body += '&';
        body += QUrl::toPercentEncoding(key) + '=' + QUrl::toPercentEncoding(value);
    }
    QNetworkRequest request(m_client.tokenEndpoint());
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/x-www-form-urlencoded"));
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    logger()->logLine(LOG_INF, "%s: renewing the access token", m_name);
    m_reply = m_manager->post(request, body);
    m_engine.watch(m_reply);
    connect(m_reply, &QNetworkReply::finished, this, &TokenRefresh::onFinished);
}

CloudError TokenRefresh::renewAndWait()
{
    m_lastEnding = CloudError(CloudError::Canceled);
    renew();
    if (m_reply)
        m_engine.wait(m_reply, kLimitMs);
    return m_lastEnding;
}

void TokenRefresh::onFinished()
{
    QNetworkReply* reply = m_reply;
    RequestEngine::judgeSize(reply);
    const QByteArray body = reply->isOpen() ? reply->readAll() : QByteArray();
    reply->deleteLater();
    const QJsonObject answer = QJsonDocument::fromJson(body).object();
    if (m_engine.errorOf(reply) != QNetworkReply::NoError) {
        // OAuth's error string, or an API's error object with its message.
        const QJsonValue stated = answer.value(QStringLiteral("error"));
        const QString error = stated.isObject() ? QString() : stated.toString();
        const QString description = stated.isObject()
            ? stated.toObject().value(QStringLiteral("message")).toString()
            : answer.value(QStringLiteral("error_description")).toString(error);
        if (error == QLatin1String("invalid_grant"))
            end(CloudError(CloudError::SignInWithdrawn, description));
        else if (!description.isEmpty())
            end(CloudError(CloudError::fromReply(reply).kind(), description));
        else
            end(m_engine.failureOf(reply));
        return;
    }
    const QString token = answer.value(kAccessToken).toString();
    if (token.isEmpty()) {
        end(CloudError(CloudError::BadReply, tr("no access token")));
        return;
    }
    // Everything else the record holds stays: the account id, and the
    // refresh token unless the service replaced it.
    QJsonObject record = m_record.object();
    record.insert(kAccessToken, token);
    if (answer.contains(kExpiresIn))
        record.insert(kExpiresIn, answer.value(kExpiresIn).toDouble());
    if (!answer.value(kRefreshToken).toString().isEmpty())
        record.insert(kRefreshToken, answer.value(kRefreshToken));
    TokenRecord::stampReceivedTime(record);
    if (!m_record.save(QJsonDocument(record).toJson()))
        logger()->logLine(LOG_ERR, "%s: the renewed token could not be stored; it is used from memory", m_name);
    m_refusedToken.clear();
    end(CloudError());
}

void TokenRefresh::end(const CloudError& error)
{
    m_reply.clear();
    m_lastEnding = error;
    if (error.isError())
        logger()->logLine(LOG_WRN, "%s: the access token was not renewed: %s", m_name, error.text().toUtf8().constData());
    else
        logger()->logLine(LOG_INF, "%s: the access token was renewed", m_name);
    emit ended(error);
    // Whoever joined runs after the account heard the ending.
    const std::vector<std::function<void(const CloudError&)>> waiting = std::move(m_waiting);
    m_waiting.clear();
    for (const auto& then : waiting)
        then(error);
}
