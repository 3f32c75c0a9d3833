#pragma once

#include "servicedescriptor.h"

#include <QNetworkCookieJar>
#include <QString>

// The cookie jar of one account. It keeps the service's web session between
// runs (each value sealed under the profile's key where the desktop's
// keyring gives one, see TokenStorage) and notices, from the addresses of the responses that set cookies,
// when the user signs in to or out of the service's web site.
class CookiesManager : public QNetworkCookieJar
{
    Q_OBJECT
public:
    CookiesManager(const ServiceDescriptor& service, const QString& applicationName, QObject* parent);

    bool setCookiesFromUrl(const QList<QNetworkCookie>& cookies, const QUrl& url) override;
    virtual QList<QNetworkCookie> allJarCookies() const;
    virtual void setAllJarCookies(const QList<QNetworkCookie>& cookies);

    bool loadCookies();
    bool saveCookies();
    bool clearCookies();
    bool isLoggedIn() const;

    const CookieRule& cookieRule() const { return m_rule; }
    static bool removeSettingsGroup(const QString& application, const QString& group);
    static bool settingsGroupHasKey(const QString& application, const QString& group, const QString& text);

signals:
    void loggedIn();
    void loggedOut();

private:
    bool saveSession(const QList<QNetworkCookie>& cookies);
    bool saveEveryCookie(const QList<QNetworkCookie>& cookies);
    void sealRawValues(const QStringList& keys);

    CookieRule m_rule;
    QString m_applicationName;
};
