#include "signinattempt.h"

#include "clouderror.h"
#include "cloudlog.h"
#include "loopbacklistener.h"
#include "oauthclient.h"
#include "requestengine.h"

#include <QDesktopServices>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QMessageAuthenticationCode>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpSocket>
#include <QUrlQuery>

namespace {

ICloudLog* logger()
{
    return CloudLog::instance();
}

// Every key and value percent-encoded, '+' included.
QByteArray formBody(const QUrlQuery& form)
{
    QByteArray body;
    for (const auto& [key, value] : form.queryItems(QUrl::FullyDecoded)) {
        if (!body.isEmpty())
            body += '&';
        body += QUrl::toPercentEncoding(key) + '=' + QUrl::toPercentEncoding(value);
    }
    return body;
}

// A comparison whose time does not tell how much of the state was right.
bool sameState(const QString& given, const QString& expected)
{
    const QByteArray key = "lumen";
    return QMessageAuthenticationCode::hash(given.toUtf8(), key, QCryptographicHash::Sha256)
        == QMessageAuthenticationCode::hash(expected.toUtf8(), key, QCryptographicHash::Sha256);
}

QString pageText(const SignInOutcome& outcome)
{
    switch (outcome.ending) {
    case SignInOutcome::SignedIn: return SignInAttempt::tr("Signed in to Lumen. You can close this tab.");
    case SignInOutcome::Canceled:
        return SignInAttempt::tr("The sign-in was canceled in Lumen. You can close this tab.");
    default: return SignInAttempt::tr("Lumen was not signed in: %1. You can close this tab.").arg(outcome.reason);
    }
}

} // namespace

SignInAttempt::SignInAttempt(const char* accountName, const OAuthClient& client, QNetworkAccessManager* manager,
                             RequestEngine& engine, QObject* parent)
    : QObject(parent),
      m_name(accountName),
      m_client(client),
      m_manager(manager),
      m_engine(engine),
      m_listener(new LoopbackListener(this))
{
    m_limit.setSingleShot(true);
    m_requestLimit.setSingleShot(true);
    connect(&m_limit, &QTimer::timeout, this, [this] {
        const int minutes = m_limitMs / 60000;
        const QString limit = minutes > 1 ? tr("%1 minutes").arg(minutes)
            : minutes == 1               ? tr("1 minute")
                                         : tr("%1 seconds").arg(m_limitMs / 1000.0);
        fail(SignInOutcome::TimedOut, tr("nobody finished the sign-in in the browser within %1").arg(limit));
    });
    connect(&m_requestLimit, &QTimer::timeout, this,
            [this] { fail(SignInOutcome::Failed, CloudError(CloudError::TimedOut).text()); });
    connect(m_listener, &LoopbackListener::redirect, this, &SignInAttempt::onRedirect);
}

SignInAttempt::~SignInAttempt()
{
    if (m_reply) {
        m_reply->disconnect(this);
        RequestEngine::abandon(m_reply);
    }
}

void SignInAttempt::start()
{
    const quint16 port = m_client.redirectPort();
    if (!m_listener->listen(port)) {
        const QString reason = port
            ? tr("port %1 on 127.0.0.1, where the service sends the browser back, is taken by another program; "
                 "close it and connect again")
                  .arg(port)
            : tr("no port on 127.0.0.1 could be opened for the browser's return (%1)").arg(m_listener->errorString());
        QMetaObject::invokeMethod(this, [this, reason] { fail(SignInOutcome::Failed, reason); }, Qt::QueuedConnection);
        return;
    }
    m_redirectUri = m_listener->redirectUri();
    m_address = m_client.authorizationUrl(m_redirectUri, m_state, m_pkce.challenge());
    m_limit.start(m_limitMs);
    logger()->logLine(LOG_INF, "%s: sign-in in the browser, waiting on 127.0.0.1:%u", m_name,
                      unsigned(m_listener->port()));
    // Without a display (offscreen) there is no desktop to ask.
    const QString platform = QGuiApplication::platformName();
    const bool opened = platform != QLatin1String("offscreen") && platform != QLatin1String("minimal")
        && QDesktopServices::openUrl(m_address);
    if (!opened)
        logger()->logLine(LOG_WRN, "%s: no browser could be opened; the address is for the user to open", m_name);
    emit waiting(m_address, opened);
}

void SignInAttempt::cancel()
{
    fail(SignInOutcome::Canceled, CloudError::words(CloudError::Canceled));
}

void SignInAttempt::onRedirect(QTcpSocket* connection, const QUrl& address)
{
    const QUrlQuery query(address);
    if (m_answered || m_ended) {
        logger()->logLine(LOG_WRN, "%s: a second answer to the sign-in was refused", m_name);
        LoopbackListener::answer(connection, 409, QStringLiteral("Lumen"),
                                 tr("This sign-in has already been answered. You can close this tab."));
        return;
    }
    if (!sameState(query.queryItemValue(QStringLiteral("state"), QUrl::FullyDecoded), m_state)) {
        // Not this sign-in's answer (another page may send the browser here):
        // refused, and the sign-in goes on waiting for its own.
        logger()->logLine(LOG_WRN, "%s: an answer without the sign-in's state was refused", m_name);
        LoopbackListener::answer(connection, 400, QStringLiteral("Lumen"),
                                 tr("This answer does not belong to the sign-in under way in Lumen; nothing was "
                                    "changed."));
        return;
    }
    m_answered = true;
    m_browser = connection;
    logger()->logLine(LOG_INF, "%s: the browser came back from the service", m_name);
    const QString error = query.queryItemValue(QStringLiteral("error"), QUrl::FullyDecoded);
    const QString code = query.queryItemValue(QStringLiteral("code"), QUrl::FullyDecoded);
    if (!error.isEmpty()) {
        const QString description = query.queryItemValue(QStringLiteral("error_description"), QUrl::FullyDecoded);
        fail(SignInOutcome::Refused, description.isEmpty() ? error : QStringLiteral("%1: %2").arg(error, description));
    } else if (code.isEmpty()) {
        fail(SignInOutcome::Failed, tr("the service sent the browser back without a code"));
    } else {
        exchange(code);
    }
}

QNetworkReply* SignInAttempt::post(const QUrl& url, const QByteArray& form)
{
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/x-www-form-urlencoded"));
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    return m_manager->post(request, form);
}

void SignInAttempt::exchange(const QString& code)
{
    const QUrlQuery form = m_client.codeExchangeForm(code, m_pkce.verifier(), m_redirectUri);
    m_reply = post(m_client.tokenEndpoint(), formBody(form));
    m_engine.watch(m_reply);
    m_requestLimit.start(kRequestLimitMs);
    connect(m_reply, &QNetworkReply::finished, this, &SignInAttempt::onExchanged);
}

QByteArray SignInAttempt::finishedBody(QNetworkReply* reply, QString* failure, QString* refusal)
{
    m_requestLimit.stop();
    RequestEngine::judgeSize(reply);
    const QByteArray body = reply->isOpen() ? reply->readAll() : QByteArray();
    reply->deleteLater();
    m_reply.clear();
    if (m_engine.errorOf(reply) == QNetworkReply::NoError)
        return body;
    const QJsonObject answer = QJsonDocument::fromJson(body).object();
    const QString error = answer.value(QStringLiteral("error")).toString();
    const QString description = answer.value(QStringLiteral("error_description")).toString();
    if (!error.isEmpty())
        *refusal = description.isEmpty() ? error : QStringLiteral("%1: %2").arg(error, description);
    *failure = m_engine.failureOf(reply).text();
    return QByteArray();
}

void SignInAttempt::onExchanged()
{
    QString failure;
    QString refusal;
    const QJsonObject answer = QJsonDocument::fromJson(finishedBody(m_reply, &failure, &refusal)).object();
    if (!refusal.isEmpty())
        return fail(SignInOutcome::Refused, refusal);
    if (!failure.isEmpty())
        return fail(SignInOutcome::Failed, failure);
    m_record = m_client.recordOf(answer);
    if (m_record.value(QStringLiteral("access_token")).toString().isEmpty())
        return fail(SignInOutcome::Failed, CloudError(CloudError::BadReply, tr("no access token")).text());

    QByteArray body;
    QNetworkRequest request = m_client.accountRequest(m_record, &body);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    m_reply = body.isNull() ? m_manager->get(request) : m_manager->post(request, body);
    m_engine.watch(m_reply);
    m_requestLimit.start(kRequestLimitMs);
    connect(m_reply, &QNetworkReply::finished, this, &SignInAttempt::onAccount);
}

void SignInAttempt::onAccount()
{
    QString failure;
    QString refusal;
    const QJsonObject account = QJsonDocument::fromJson(finishedBody(m_reply, &failure, &refusal)).object();
    if (!failure.isEmpty())
        return fail(SignInOutcome::Failed, tr("the account could not be read: %1").arg(failure));
    if (account.isEmpty())
        return fail(SignInOutcome::Failed, tr("the account could not be read: %1").arg(CloudError::words(CloudError::BadReply)));
    SignInOutcome outcome;
    outcome.ending = SignInOutcome::SignedIn;
    outcome.record = m_record;
    outcome.account = account;
    end(outcome);
}

void SignInAttempt::fail(SignInOutcome::Ending ending, const QString& reason)
{
    SignInOutcome outcome;
    outcome.ending = ending;
    outcome.reason = reason;
    end(outcome);
}

void SignInAttempt::end(SignInOutcome outcome)
{
    if (m_ended)
        return;
    m_ended = true;
    m_limit.stop();
    m_requestLimit.stop();
    if (m_reply) {
        m_reply->disconnect(this);
        RequestEngine::abandon(m_reply);
    }
    if (m_browser)
        LoopbackListener::answer(m_browser, 200, QStringLiteral("Lumen"), pageText(outcome));
    m_listener->close();
    emit ended(outcome);
}
