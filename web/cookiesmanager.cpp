#include "cookiesmanager.h"

#include "cloudlog.h"
#include "privatefolder.h"
#include "profilekey.h"
#include "sealedrecord.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QNetworkCookie>
#include <QSettings>
#include <QStandardPaths>
#include <QUrl>

#include <algorithm>
#include <memory>

namespace {

// The stored web sessions are credentials: their file and folder are the
// user's alone, from before the first value is written (QSettings keeps the
// mode of an existing file when it rewrites it).
void makePrivate(const QString& path)
{
    if (!PrivateFolder::make(QFileInfo(path).absolutePath()))
        return;
    QFile file(path);
    if (!file.exists() && !file.open(QIODevice::WriteOnly))
        return;
    PrivateFolder::narrowFile(path);
}

// What a sealed cookie is bound to, and the group's name among the users
// of the profile's key.
QByteArray cookiePlace(const QString& application, const QString& group, const QString& key)
{
    return "cookies|" + application.toUtf8() + '|' + group.toUtf8() + '|' + key.toUtf8();
}

QString keyUser(const QString& application, const QString& group)
{
    return QStringLiteral("cookies|") + application + QLatin1Char('|') + group;
}

// Sealed under the profile's key where the keyring gives one; the raw form
// of old elsewhere.
QByteArray storedForm(const QString& application, const QString& group, const QString& key, const QByteArray& raw)
{
    ProfileKey& profileKey = ProfileKey::instance();
    if (const SecretKey* secret = profileKey.forWriting()) {
        const QByteArray sealed = SealedRecord::seal(*secret, cookiePlace(application, group, key), raw);
        if (!sealed.isEmpty()) {
            profileKey.addUser(keyUser(application, group));
            return sealed;
        }
    }
    return raw;
}

// Empty for a sealed value that does not open here.
QByteArray rawForm(const QString& application, const QString& group, const QString& key, const QByteArray& stored)
{
    if (!SealedRecord::isSealed(stored))
        return stored;
    QByteArray raw;
    const SecretKey* secret = ProfileKey::instance().forReading();
    if (!secret || !SealedRecord::open(*secret, cookiePlace(application, group, key), stored, raw))
        return {};
    return raw;
}

std::unique_ptr<QSettings> openSettings(const QString& application, bool forWriting)
{
    // QSettings reads its file as it opens it: a named pipe (or any file but
    // a regular one) in its place would block the program for ever. Such a
    // file is left alone, and the sessions live in memory only.
    const QFileInfo file(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
                         + QStringLiteral("/Qovi\\Settings/") + application + QStringLiteral(".conf"));
    if (file.exists() && !file.isFile()) {
        CloudLog::instance()->logLine(LOG_WRN, "Cookies: %s is not a regular file; the web sessions are not kept",
                                      file.filePath().toUtf8().constData());
        return std::make_unique<QSettings>(QString(), QSettings::IniFormat);
    }
    auto settings = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                                QStringLiteral("Qovi\\Settings"), application);
    if (forWriting)
        makePrivate(settings->fileName());
    return settings;
}

} // namespace

CookiesManager::CookiesManager(const ServiceDescriptor& service, const QString& applicationName, QObject* parent)
    : QNetworkCookieJar(parent), m_rule(service.cookieRule), m_applicationName(applicationName)
{
    loadCookies();
}

QList<QNetworkCookie> CookiesManager::allJarCookies() const
{
    return allCookies();
}

void CookiesManager::setAllJarCookies(const QList<QNetworkCookie>& cookies)
{
    setAllCookies(cookies);
}

bool CookiesManager::setCookiesFromUrl(const QList<QNetworkCookie>& cookies, const QUrl& url)
{
    const QString host = url.host(QUrl::FullyDecoded).toLower();
    const QString path = url.path(QUrl::FullyDecoded).toLower();
    const QString query = url.query(QUrl::PrettyDecoded).toLower();

    // A sign-out must not keep this response's cookies; a session sign-in is
    // judged by the session the jar already holds.
    if (host.contains(QLatin1String(m_rule.hostMarker)) && path.contains(QLatin1String(m_rule.signOutPathMarker))) {
        clearCookies();
        emit loggedOut();
    } else if (m_rule.keeping == CookieRule::KeepSessionOnSignIn && host.contains(QLatin1String(m_rule.hostMarker))
               && path.contains(QLatin1String(m_rule.signInPathMarker))
               && query.contains(QLatin1String(m_rule.signInQueryMarker))) {
        if (saveCookies())
            emit loggedIn();
    } else if (m_rule.keeping == CookieRule::KeepEveryCookie) {
        // This response's own cookies go in first: saving before them would
        // lose the last cookies of a sign-in when nothing answers after it.
        const bool stored = QNetworkCookieJar::setCookiesFromUrl(cookies, url);
        saveCookies();
        return stored;
    }
    return QNetworkCookieJar::setCookiesFromUrl(cookies, url);
}

bool CookiesManager::loadCookies()
{
    auto settings = openSettings(m_applicationName, false);
    settings->beginGroup(QLatin1String(m_rule.group));
    const QStringList keys = settings->childKeys();
    if (m_rule.keeping == CookieRule::KeepSessionOnSignIn && !keys.contains(QLatin1String(m_rule.signInCookie)))
        return false;

    const QString group = QLatin1String(m_rule.group);
    QList<QNetworkCookie> cookies;
    QStringList rawKeys;
    for (const QString& key : keys) {
        const QByteArray stored = settings->value(key).toByteArray();
        const QList<QNetworkCookie> parsed =
            QNetworkCookie::parseCookies(rawForm(m_applicationName, group, key, stored));
        if (!parsed.isEmpty()) {
            cookies.append(parsed.first());
            if (!SealedRecord::isSealed(stored))
                rawKeys.append(key);
        }
    }
    if (cookies.isEmpty())
        return false;
    setAllJarCookies(cookies);
    settings.reset();
    sealRawValues(rawKeys);
    return true;
}

void CookiesManager::sealRawValues(const QStringList& keys)
{
    // Values kept in the older raw form go over to the sealed form as
    // soon as the keyring gives a key.
    if (keys.isEmpty() || !ProfileKey::instance().forWriting())
        return;
    auto settings = openSettings(m_applicationName, true);
    const QString group = QLatin1String(m_rule.group);
    settings->beginGroup(group);
    for (const QString& key : keys)
        settings->setValue(key, storedForm(m_applicationName, group, key, settings->value(key).toByteArray()));
}

bool CookiesManager::saveCookies()
{
    const QList<QNetworkCookie> cookies = allJarCookies();
    if (cookies.isEmpty())
        return false;
    switch (m_rule.keeping) {
    case CookieRule::KeepSessionOnSignIn: return saveSession(cookies);
    case CookieRule::KeepEveryCookie: return saveEveryCookie(cookies);
    case CookieRule::KeepNothing: break;
    }
    return false;
}

bool CookiesManager::saveSession(const QList<QNetworkCookie>& cookies)
{
    const QByteArray signInCookie(m_rule.signInCookie);
    for (const QNetworkCookie& cookie : cookies) {
        if (cookie.name() == signInCookie && !cookie.expirationDate().isValid())
            return false;
    }
    auto settings = openSettings(m_applicationName, true);
    const QString group = QLatin1String(m_rule.group);
    settings->beginGroup(group);
    settings->remove(QString());
    bool signedIn = false;
    for (const QNetworkCookie& cookie : cookies) {
        signedIn = signedIn || cookie.name() == signInCookie;
        const QString key = QString::fromUtf8(cookie.name());
        if (!cookie.isSessionCookie())
            settings->setValue(key, storedForm(m_applicationName, group, key, cookie.toRawForm(QNetworkCookie::Full)));
    }
    return signedIn;
}

bool CookiesManager::saveEveryCookie(const QList<QNetworkCookie>& cookies)
{
    auto settings = openSettings(m_applicationName, true);
    const QString group = QLatin1String(m_rule.group);
    settings->beginGroup(group);
    for (const QNetworkCookie& cookie : cookies) {
        const QString key = QString::fromUtf8(cookie.name()) + cookie.domain();
        const QByteArray raw = cookie.toRawForm(QNetworkCookie::Full);
        const QByteArray stored = settings->value(key).toByteArray();
        // A cookie sealed as it is needs no new seal, nor a rewrite of the file.
        const bool kept = SealedRecord::isSealed(stored) && rawForm(m_applicationName, group, key, stored) == raw;
        if (!cookie.isSessionCookie() && !kept)
            settings->setValue(key, storedForm(m_applicationName, group, key, raw));
    }
    return true;
}

bool CookiesManager::clearCookies()
{
    if (!removeSettingsGroup(m_applicationName, QLatin1String(m_rule.group)))
        return false;
    setAllJarCookies({});
    return true;
}

bool CookiesManager::isLoggedIn() const
{
    return settingsGroupHasKey(m_applicationName, QLatin1String(m_rule.group), QLatin1String(m_rule.signInCookie));
}

bool CookiesManager::removeSettingsGroup(const QString& application, const QString& group)
{
    if (application.isEmpty() || group.isEmpty())
        return false;
    auto settings = openSettings(application, true);
    settings->beginGroup(group);
    settings->remove(QString());
    settings.reset();
    ProfileKey::instance().removeUser(keyUser(application, group));
    return true;
}

bool CookiesManager::settingsGroupHasKey(const QString& application, const QString& group, const QString& text)
{
    if (application.isEmpty() || group.isEmpty() || text.isEmpty())
        return false;
    auto settings = openSettings(application, false);
    settings->beginGroup(group);
    const QStringList keys = settings->childKeys();
    return std::any_of(keys.cbegin(), keys.cend(), [&text](const QString& key) { return key.contains(text); });
}
