#include "importroad.h"

#include "console.h"
#include "pingmanager.h"
#include "webwindowwatcher.h"

#include <QDir>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrlQuery>
#include <QWebView>

namespace {

bool isWebScheme(const QUrl& url)
{
    return url.scheme() == QLatin1String("https") || url.scheme() == QLatin1String("http");
}

// Addresses in the report lose their query and fragment: they carry keys
// and tokens.
QString shortAddress(const QUrl& url)
{
    return url.toString(QUrl::RemoveQuery | QUrl::RemoveFragment);
}

QString secretStart(const QString& secret)
{
    return secret.left(6) + QStringLiteral("...");
}

bool isAccountWindow(const QWebView* view)
{
    return WebWindowWatcher::accountWindows().contains(const_cast<QWebView*>(view));
}

} // namespace

ImportRoad::ImportRoad(QObject* plugin, WebWindowWatcher* watcher, CLOUD_TYPE cloud)
    : Road(plugin, cloud, 1), m_watcher(watcher)
{
    connect(m_watcher, &WebWindowWatcher::windowShown, this, &ImportRoad::onWindowShown);
    connect(m_watcher, &WebWindowWatcher::windowHidden, this, &ImportRoad::onWindowHidden);
    connect(m_watcher, &WebWindowWatcher::pageLoaded, this, &ImportRoad::onPageLoaded);
    connect(m_watcher, &WebWindowWatcher::requestStarted, this, &ImportRoad::onRequestStarted);
    connect(m_watcher, &WebWindowWatcher::replyFinished, this, &ImportRoad::onReplyFinished);
    // Across the bundle's boundary signals are reached by their signatures.
    if (plugin)
        connect(plugin, SIGNAL(openChooser(CLOUD_TYPE)), this, SLOT(onOpenChooser(CLOUD_TYPE)));
}

void ImportRoad::watch()
{
    // The accounts and their windows exist now; their pages load later.
    for (QWebView* view : WebWindowWatcher::accountWindows())
        m_watcher->watch(view);
}

void ImportRoad::onOpenChooser(CLOUD_TYPE type)
{
    const QString name = type == DROPBOX_CLOUD ? QStringLiteral("Dropbox") : QStringLiteral("Google Drive");
    step(QStringLiteral("the plug-in emitted openChooser(%1): its account opens the chooser").arg(name));
}

void ImportRoad::onWindowShown(QWebView* view)
{
    if (!isAccountWindow(view)) {
        step(QStringLiteral("the chooser page opened a pop-up window"));
    } else if (m_signInSeen && !reached(Connected)) {
        step(QStringLiteral("signed in: the plug-in saw the web session (loggedIn()), closed the pop-up and "
                            "shows its window for the authorization page"));
    } else {
        step(QStringLiteral("the plug-in shows its web window"));
    }
}

void ImportRoad::onWindowHidden(QWebView* view)
{
    step(isAccountWindow(view) ? QStringLiteral("the plug-in's web window closed")
                               : QStringLiteral("the pop-up window closed"));
}

void ImportRoad::onPageLoaded(QWebView* view, bool ok)
{
    const bool account = isAccountWindow(view);
    const QUrl address = view->url();
    if (!ok) {
        // The load of the redirect fails by design, and the account window
        // ends up there; it was reported when it started.
        if (isWebScheme(address) && address.host() != QLatin1String("localhost") && !(account && !m_granted.isEmpty()))
            step(QStringLiteral("%1: %2 did not load").arg(windowName(view), shortAddress(address)));
        return;
    }
    if (!view->isVisible()) {
        // A page in a window nobody sees: only the chooser page is a step.
        if (account && address.host() == QLatin1String("www.qovi.com"))
            step(QStringLiteral("%1the chooser page finished loading from the plug-in's resources (base %2) "
                                "in the plug-in's web window, which stays hidden")
                     .arg(reached(Connected) ? QStringLiteral("connected now: ") : QString(),
                          address.toString()));
        return;
    }
    if (!account && !reached(Connected) && m_cloud == DROPBOX_CLOUD)
        m_signInSeen = true;
    const QString title = view->title();
    step(QStringLiteral("%1 loaded \"%2\" (%3)").arg(windowName(view), title, shortAddress(address)));
    picture(view, (account ? QStringLiteral("web window ") : QStringLiteral("pop-up ")) + title);
}

void ImportRoad::onRequestStarted(QNetworkReply* reply)
{
    const QUrl address = reply->url();
    const QString path = address.path();
    const bool withGrant = !m_granted.isEmpty()
        && reply->request().rawHeader("Authorization") == "Bearer " + m_granted.toLatin1();
    if (!isWebScheme(address)) {
        step(QStringLiteral("the web window follows the redirect to %1://%2, a load that fails: the plug-in reads "
                            "the service's answer from it")
                 .arg(address.scheme(), address.host()));
    } else if (address.host() == QLatin1String("localhost")) {
        step(QStringLiteral("the web window follows the redirect to %1, where nothing listens: the plug-in reads "
                            "the code from the refused load")
                 .arg(shortAddress(address)));
    } else if (path == QLatin1String("/o/oauth2/token") && reply->operation() == QNetworkAccessManager::PostOperation
               && !reached(Connected)) {
        step(QStringLiteral("code caught: the plug-in exchanges it for tokens (POST %1)").arg(shortAddress(address)));
    } else if (path == QLatin1String("/2/users/get_account") || path == QLatin1String("/drive/v2/about")) {
        step(QStringLiteral("the plug-in asks for the account's e-mail address (%1 %2)%3")
                 .arg(reply->operation() == QNetworkAccessManager::GetOperation ? "GET" : "POST", shortAddress(address),
                      withGrant ? QStringLiteral(", with the granted token read back from its store") : QString()));
    }
}

void ImportRoad::onReplyFinished(QNetworkReply* reply)
{
    const QUrl relative = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
    const QUrl target = reply->url().resolved(relative);
    if (!relative.isValid() || (isWebScheme(target) && target.host() != QLatin1String("localhost")))
        return;
    const QUrlQuery items(target.hasFragment() ? target.fragment() : target.query());
    const QString token = items.queryItemValue(QStringLiteral("access_token"));
    const QString code = items.queryItemValue(QStringLiteral("code"), QUrl::FullyDecoded);
    if (!token.isEmpty() || !code.isEmpty()) {
        m_granted = token;
        step(QStringLiteral("access allowed: %1 redirects to %2://%3 with %4 (%5)")
                 .arg(reply->url().host(), target.scheme(), target.authority(),
                      token.isEmpty() ? QStringLiteral("a code") : QStringLiteral("an access token"),
                      secretStart(token.isEmpty() ? code : token)));
    } else {
        step(QStringLiteral("access not given: %1 redirects to %2://%3 with error \"%4\"")
                 .arg(reply->url().host(), target.scheme(), target.authority(),
                      items.queryItemValue(QStringLiteral("error"), QUrl::FullyDecoded)));
    }
}

void ImportRoad::picture(QWebView* view, const QString& label)
{
    const QString path = m_watcher->takePicture(view, label);
    if (path.isEmpty())
        step(QStringLiteral("no picture of %1 could be saved").arg(windowName(view)));
    else
        step(QStringLiteral("picture of %1: %2").arg(windowName(view), path));
}

QString ImportRoad::windowName(QWebView* view) const
{
    return isAccountWindow(view) ? QStringLiteral("the plug-in's web window") : QStringLiteral("the pop-up window");
}
