// The account's browser road: a sign-in in the user's browser and the
// renewal of the tokens it gave, both jobs of their own beside the account.
#include "cloudbase.h"

#include "cloudlog.h"
#include "oauthclient.h"
#include "requestengine.h"
#include "signinattempt.h"
#include "tokenrefresh.h"

#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>

namespace {

ICloudLog* logger()
{
    return CloudLog::instance();
}

} // namespace

void CloudBase::setOAuthClient(std::unique_ptr<OAuthClient> client)
{
    m_oauth = std::move(client);
    m_refresh = new TokenRefresh(name(), *m_oauth, m_record, oauthManager(), *m_engine, this);
    connect(m_refresh, &TokenRefresh::ended, this, &CloudBase::onTokenRenewalEnded);
}

QNetworkAccessManager* CloudBase::oauthManager()
{
    if (!m_oauthManager) {
        // Apart from the web view's manager: these answers are the road's own,
        // never web traffic, never cached.
        m_oauthManager = new QNetworkAccessManager(this);
        connect(m_oauthManager, &QNetworkAccessManager::sslErrors, m_engine, &RequestEngine::onSslErrors);
    }
    return m_oauthManager;
}

bool CloudBase::startSignIn()
{
    return m_road == BrowserRoad && m_oauth ? browserSignIn() : openCloudView();
}

bool CloudBase::signInAgain()
{
    return m_road == EmbeddedRoad && openCloudView();
}

bool CloudBase::browserSignIn()
{
    if (m_mode == NO_MODE)
        m_mode = CONNECTING_MODE;
    if (m_attempt && !m_attempt->hasEnded()) {
        // Asked again while the user is at it: the same address once more.
        emit signInWaiting(m_attempt->address(), false);
        return true;
    }
    m_attempt = new SignInAttempt(name(), *m_oauth, oauthManager(), *m_engine, this);
    m_attempt->setLimit(m_signInLimitMs);
    connect(m_attempt, &SignInAttempt::waiting, this, &CloudBase::signInWaiting);
    connect(m_attempt, &SignInAttempt::ended, this, &CloudBase::onSignInEnded);
    m_attempt->start();
    return true;
}

void CloudBase::cancelSignIn()
{
    if (m_attempt)
        m_attempt->cancel();
}

void CloudBase::onSignInEnded(const SignInOutcome& outcome)
{
    m_attempt->deleteLater();
    if (outcome.ending != SignInOutcome::SignedIn) {
        const QString text = outcome.ending == SignInOutcome::Refused
            ? tr("%1 refused the sign-in: %2").arg(QLatin1String(name()), outcome.reason)
            : tr("%1: the sign-in did not complete: %2").arg(QLatin1String(name()), outcome.reason);
        logger()->logLine(LOG_ERR, "%s", text.toUtf8().constData());
        m_lastError = CloudError(outcome.ending == SignInOutcome::Canceled ? CloudError::Canceled : CloudError::Refused,
                                 outcome.reason);
        if (m_mode == CONNECTING_MODE)
            m_mode = NO_MODE;
        emit signInFailed(text);
        return;
    }
    if (parseEmail(outcome.account).isEmpty()) {
        const QString text = tr("%1: the service did not tell the account's e-mail address").arg(QLatin1String(name()));
        logger()->logLine(LOG_ERR, "%s", text.toUtf8().constData());
        m_lastError = CloudError(CloudError::BadReply, text);
        emit signInFailed(text);
        return;
    }
    QJsonObject record = outcome.record;
    TokenRecord::markMadeInBrowser(record);
    TokenRecord::stampReceivedTime(record);
    if (!m_record.save(QJsonDocument(record).toJson()))
        logger()->logLine(LOG_ERR, "%s: the token record could not be stored; it is used from memory", name());
    logger()->logLine(LOG_INF, "%s: signed in in the browser", name());
    handleEmailReply(outcome.account);
    switch (m_mode) {
    case CHOOSER_OPENING_MODE: openChooserFlow(); break;
    case CONNECTING_MODE: m_mode = NO_MODE; break;
    default: break;
    }
}

bool CloudBase::madeInBrowser() const
{
    return m_refresh && m_refresh->applies();
}

bool CloudBase::browserTokenDue() const
{
    return m_refresh && m_refresh->due();
}

bool CloudBase::browserTokenValid()
{
    return !browserTokenDue() || renewAskingToRetry();
}

QString CloudBase::renewBrowserToken(QNetworkReply* failed)
{
    // Read before the renewal: the failed reply may be released meanwhile.
    const int failedKind = failed ? failed->property(m_requestIdKey).toInt() : -1;
    const bool failedSync = failed && failed->property(m_syncRequestKey).toBool();
    // Asked without a refused request, the caller knows the token is spent.
    if ((!failed || browserTokenDue()) && !renewAskingToRetry())
        return QString();
    m_lastCloudError = 0; // the last answer processed is the renewal's
    if (failed)
        repeatRequest(failedKind, failedSync);
    return accessToken();
}

void CloudBase::renewAccessToken(std::function<void(const CloudError&)> then)
{
    if (madeInBrowser()) {
        m_refresh->renew(std::move(then));
        return;
    }
    if (!sendRefreshTokenSyncRequest(nullptr).isEmpty()) {
        then(CloudError());
        return;
    }
    // The embedded road's Dropbox token has no renewal: the user signs in again.
    then(m_lastError.isError() ? m_lastError : CloudError(CloudError::Unauthorized));
}

bool CloudBase::renewAskingToRetry()
{
    // A renewal that failed is tried again while the user asks for it, as
    // any other request that the account waits for.
    for (;;) {
        const CloudError error = m_refresh->renewAndWait();
        if (!error.isError())
            return true;
        if (error.kind() == CloudError::SignInWithdrawn || error.kind() == CloudError::Canceled)
            return false;
        m_lastError = error;
        m_retry = false;
        emit failedRetry(tr("Failed for processing %1: %2")
                             .arg(QLatin1String(requestTypeName(REFRESH_TOKEN_REQUEST)), error.text()),
                         m_retry);
        if (!m_retry)
            return false;
    }
}

void CloudBase::repeatRequest(int kind, bool sync)
{
    logger()->logLine(LOG_INF, "%s: repeat previous %s", name(), requestTypeName(kind));
    logger()->logLine(LOG_INF, "---\n");
    const RepeatAfterRefresh repeat(*this);
    switch (kind) {
    case FREESPACE_REQUEST: getFreeSpace(sync); break;
    case CHECK_FOLDER_REQUEST: checkUploadFolderExists(); break;
    case UPLOAD_CREATE_FOLDER_REQUEST: createUploadFolder(); break;
    default: break; // the other requests' callers start them again themselves
    }
}

void CloudBase::onTokenRenewalEnded(const CloudError& error)
{
    if (error.kind() != CloudError::SignInWithdrawn)
        return;
    // The refresh token is refused: the sign-in is over, and nothing opens
    // by itself; the user connects again when they choose to.
    m_lastError = error;
    disconnectCloud();
    m_lastCloudError = -1; // already signed out: the callers need not do it again
    const QString text = QStringLiteral("%1: %2").arg(QLatin1String(name()), error.text());
    logger()->logLine(LOG_ERR, "%s", text.toUtf8().constData());
    emit networkError(text);
}

int CloudBase::sendAfterRenewal(QNetworkAccessManager::Operation operation, const QUrl& url, int kind, bool sync,
                                const QByteArray* body, bool json)
{
    if (sync) {
        const CloudError error = m_refresh->renewAndWait();
        if (!error.isError())
            return sendRequest(operation, url, kind, sync, body, json);
        m_lastError = error;
        return QNetworkReply::AuthenticationRequiredError;
    }
    // Sent once the renewal under way (or started now) has ended.
    const bool hasBody = body != nullptr;
    const QByteArray kept = hasBody ? *body : QByteArray();
    m_refresh->renew([this, operation, url, kind, hasBody, kept, json](const CloudError& error) {
        if (!error.isError()) {
            sendRequest(operation, url, kind, false, hasBody ? &kept : nullptr, json);
            return;
        }
        m_lastError = error;
        if (kind == FREESPACE_REQUEST) {
            m_freeSpace = kUnknownSpace;
            emit freeSpaceReceived(m_freeSpace);
        }
    });
    return 0;
}
