#pragma once

#include "cloudtypes.h"

#include <QSize>
#include <QStringList>
#include <Qt>

// How the cookie jar keeps one service's web session and tells sign-in and
// sign-out from the addresses of the responses that set cookies.
struct CookieRule {
    enum Keeping {
        KeepNothing,
        // The whole session is rewritten, keyed by cookie name, whenever a
        // marked sign-in response arrives; nothing is loaded without the
        // sign-in cookie, and that save announces the sign-in.
        KeepSessionOnSignIn,
        // Every response's persistent cookies are kept, keyed by name and
        // domain; sign-in is never announced by the jar.
        KeepEveryCookie,
    };
    const char* group;
    const char* hostMarker;
    const char* signInPathMarker;
    const char* signOutPathMarker;
    const char* signInQueryMarker;
    const char* signInCookie;
    Keeping keeping;
};

// The shape of a service's sign-in and chooser windows, pop-ups included.
struct WindowShape {
    Qt::WindowFlags flags;
    QSize minimumSize;
    QSize fixedSize;   // empty: resizable
    bool modal;        // the main window is application-modal from the start
};

// What the web side needs to know of one cloud service. The providers fill
// one in for each service they implement.
struct ServiceDescriptor {
    CLOUD_TYPE kind;
    const char* name;          // for log lines and messages
    const char* chooserPage;   // resource path of its chooser page
    CookieRule cookieRule;
    WindowShape window;
    // The only hosts whose https addresses a chooser may hand over.
    QStringList downloadHosts;
};
