#include "storedtokens.h"

#include "dropboxoauth.h"
#include "googleoauth.h"
#include "qovisettings.h"
#include "requestengine.h"
#include "tokenrefresh.h"

#include <QDateTime>
#include <QNetworkReply>
#include <QPointer>

StoredTokens::StoredTokens(std::string section, CLOUD_TYPE kind, QObject* parent)
    : QObject(parent),
      m_section(std::move(section)),
      m_kind(kind),
      m_record(m_storage, m_section, kind),
      m_engine(new RequestEngine(&m_manager, kind == DROPBOX_CLOUD ? "Dropbox" : "Google Drive", this))
{
    connect(&m_manager, &QNetworkAccessManager::sslErrors, m_engine, &RequestEngine::onSslErrors);
    if (kind == DROPBOX_CLOUD)
        m_client = std::make_unique<DropboxOAuth>(m_section);
    else
        m_client = std::make_unique<GoogleOAuth>(m_section);
    m_refresh = new TokenRefresh(kind == DROPBOX_CLOUD ? "Dropbox" : "Google Drive", *m_client, m_record, &m_manager,
                                 *m_engine, this);
}

StoredTokens::~StoredTokens()
{
    delete m_refresh; // its request abandoned before the manager goes
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
    // The embedded road's Google record tells its lifetime too: renewed once it ran
    // out (a browser road's record is renewed ahead of that).
    const QJsonObject record = m_record.object();
    const double lifetimeMs = record.value(QStringLiteral("expires_in")).toDouble() * 1000;
    const double receivedMs = record.value(QStringLiteral("received_time")).toDouble();
    return lifetimeMs > 0 && receivedMs > 0 && double(QDateTime::currentMSecsSinceEpoch()) >= receivedMs + lifetimeMs;
}

void StoredTokens::authorize(const QByteArray& refused, QObject* context, Answer then)
{
    if (!refused.isEmpty())
        m_refresh->markRefused(refused);
    const bool spent = refused.isEmpty() ? m_refresh->due() || expired() : refused == header();
    if (!spent) {
        then(header(), CloudError());
        return;
    }
    const QPointer<QObject> alive(context);
    m_refresh->renew([this, alive, then](const CloudError& error) {
        if (alive)
            then(error.isError() ? QByteArray() : header(), error);
    });
}
