#pragma once

#include "cloudtypes.h"

#include <QNetworkCookieJar>
#include <QString>

// The cookie jar of one account. It keeps the service's web session between
// runs and notices, from the addresses of the responses that set cookies,
// when the user signs in to or out of the service's web site.
class CookiesManager : public QNetworkCookieJar
{
    Q_OBJECT
public:
    // How the jar recognises one service's sign-in and sign-out.
    struct CookieRule {
        int kind;
        const char* group;
        const char* hostMarker;
        const char* signInPathMarker;
        const char* signOutPathMarker;
        const char* signInQueryMarker;
        const char* signInCookie;
    };

    CookiesManager(CLOUD_TYPE kind, const QString& applicationName, QObject* parent);

    bool setCookiesFromUrl(const QList<QNetworkCookie>& cookies, const QUrl& url) override;
    virtual QList<QNetworkCookie> allJarCookies() const;
    virtual void setAllJarCookies(const QList<QNetworkCookie>& cookies);

    bool loadCookies();
    bool saveCookies();
    bool clearCookies();
    bool isLoggedIn() const;

    static const CookieRule& cookieRule(CLOUD_TYPE kind);
    static bool removeSettingsGroup(const QString& application, const QString& group);
    static bool settingsGroupHasKey(const QString& application, const QString& group, const QString& text);

signals:
    void loggedIn();
    void loggedOut();

private:
    bool saveDropboxCookies(const QList<QNetworkCookie>& cookies);
    bool saveGoogleCookies(const QList<QNetworkCookie>& cookies);

    CLOUD_TYPE m_kind;
    QString m_applicationName;
};
