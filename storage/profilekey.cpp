#include "profilekey.h"

#include "cloudlog.h"
#include "keyringclient.h"
#include "profilelock.h"
#include "qovisettings.h"

#include <QDir>
#include <QStandardPaths>
#include <QStringList>

namespace {

// The UI thread waits this long, once per request, for the keyring.
constexpr int kAnswerBoundMs = 2000;
// A keyring that did not give a key is asked again after this pause: a
// locked one would otherwise prompt the user at every write.
constexpr qint64 kAskAgainMs = 5000;
constexpr int kUsersLockBoundMs = 2000;
const char* const kSection = "QoviCloud Keyring";
const char* const kUsersKey = "users";

QStringList storedUsers()
{
    qvtl::string text;
    if (!qvs::FetchUTF8String(kSection, kUsersKey, text) || text.str().empty())
        return {};
    return QString::fromStdString(text.str()).split(QLatin1Char('\n'));
}

bool storeUsers(const QStringList& users)
{
    if (users.isEmpty())
        return qvs::DeleteSetting(kSection, kUsersKey);
    return qvs::StoreUTF8String(kSection, kUsersKey, qvtl::string(users.join(QLatin1Char('\n')).toStdString()));
}

} // namespace

ProfileKey& ProfileKey::instance()
{
    static ProfileKey key;
    return key;
}

const SecretKey* ProfileKey::forReading()
{
    return obtain(false);
}

const SecretKey* ProfileKey::forWriting()
{
    const SecretKey* key = obtain(true);
    if (!key && !m_fallbackLogged) {
        m_fallbackLogged = true;
        CloudLog::instance()->logLine(LOG_WRN, "Token store: no desktop keyring answers (%s); tokens are protected "
                                      "only by a key in the program", m_why.toUtf8().constData());
    }
    return key;
}

bool ProfileKey::keyringAnswers()
{
    return obtain(false) || m_missing;
}

const SecretKey* ProfileKey::obtain(bool create)
{
    if (m_key.isSet())
        return &m_key;
    if (!KeyringClient::hasSession()) {
        m_why = QStringLiteral("no D-Bus session");
        m_failed = true;
        return nullptr;
    }
    KeyringClient& keyring = KeyringClient::instance();
    QString why;
    // An answer that came after its caller stopped waiting.
    KeyringClient::Answer answer = keyring.take(0, m_key, why);
    if (answer == KeyringClient::Answer::Idle && mayAskAgain(create)) {
        if (keyring.start(create ? KeyringClient::Request::ReadOrCreate : KeyringClient::Request::Read, entryName(),
                          lockPath("keyring.lock"))) {
            m_lastAsked.start();
            answer = keyring.take(kAnswerBoundMs, m_key, why);
        }
    }
    switch (answer) {
    case KeyringClient::Answer::Key:
        m_missing = m_failed = false;
        return &m_key;
    case KeyringClient::Answer::Missing:
        m_missing = true;
        m_failed = false;
        m_why = why;
        break;
    case KeyringClient::Answer::Pending:
        m_failed = true;
        m_why = QStringLiteral("the desktop keyring did not answer within %1 ms").arg(kAnswerBoundMs);
        break;
    case KeyringClient::Answer::Failed:
        m_failed = true;
        m_why = QStringLiteral("the desktop keyring: ") + why;
        break;
    case KeyringClient::Answer::Idle:
    case KeyringClient::Answer::Removed:
        break;
    }
    return nullptr;
}

bool ProfileKey::mayAskAgain(bool create) const
{
    if (!m_lastAsked.isValid() || m_lastAsked.hasExpired(kAskAgainMs))
        return true;
    // "None yet" is no reason to wait before making the key.
    return create && m_missing;
}

void ProfileKey::addUser(const QString& user)
{
    if (m_users.contains(user))
        return;
    const ProfileLock lock(lockPath("users.lock"), kUsersLockBoundMs);
    QStringList users = storedUsers();
    if (!users.contains(user))
        users.append(user);
    if (lock.isHeld() && storeUsers(users))
        m_users.insert(user);
}

void ProfileKey::removeUser(const QString& user)
{
    m_users.remove(user);
    const ProfileLock lock(lockPath("users.lock"), kUsersLockBoundMs);
    if (!lock.isHeld())
        return;
    QStringList users = storedUsers();
    const bool wasUser = users.removeAll(user) > 0;
    if (!wasUser || !storeUsers(users) || !users.isEmpty())
        return;
    deleteKey();
}

void ProfileKey::deleteKey()
{
    m_key.wipe();
    m_missing = false;
    if (!KeyringClient::hasSession())
        return;
    KeyringClient& keyring = KeyringClient::instance();
    SecretKey late;
    QString why;
    keyring.take(kAnswerBoundMs, late, why); // a request still running ends first
    late.wipe();
    KeyringClient::Answer answer = KeyringClient::Answer::Pending;
    if (keyring.start(KeyringClient::Request::Remove, entryName(), QString()))
        answer = keyring.take(kAnswerBoundMs, late, why);
    if (answer != KeyringClient::Answer::Removed)
        CloudLog::instance()->logLine(LOG_WRN, "Token store: the profile's key stays in the desktop keyring (%s)",
                                      answer == KeyringClient::Answer::Failed ? why.toUtf8().constData()
                                                                              : "no answer in time");
    m_lastAsked.invalidate();
}

QString ProfileKey::entryName()
{
    // One key per profile: the configuration folder names it.
    return QStringLiteral("token key of ")
        + QDir::cleanPath(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
}

QString ProfileKey::lockPath(const char* name) const
{
    const QString location = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    if (location.isEmpty())
        return {};
    return location + QStringLiteral("/QoviCloud/") + QLatin1String(name);
}
