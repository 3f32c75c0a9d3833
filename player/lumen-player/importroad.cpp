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

QString cloudName(CLOUD_TYPE type)
{
    switch (type) {
    case DROPBOX_CLOUD: return QStringLiteral("Dropbox");
    case GDRIVE_CLOUD: return QStringLiteral("Google Drive");
    }
    return QString::number(int(type));
}

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
    : m_plugin(plugin), m_watcher(watcher), m_cloud(cloud)
{
    connect(m_watcher, &WebWindowWatcher::windowShown, this, &ImportRoad::onWindowShown);
    connect(m_watcher, &WebWindowWatcher::windowHidden, this, &ImportRoad::onWindowHidden);
    connect(m_watcher, &WebWindowWatcher::pageLoaded, this, &ImportRoad::onPageLoaded);
    connect(m_watcher, &WebWindowWatcher::requestStarted, this, &ImportRoad::onRequestStarted);
    connect(m_watcher, &WebWindowWatcher::replyFinished, this, &ImportRoad::onReplyFinished);
    m_timeout.setSingleShot(true);
    connect(&m_timeout, &QTimer::timeout, this, &ImportRoad::onTimeout);
}

ImportRoad::~ImportRoad()
{
    QoviLumen::PingManager::setOutcomeObserver(nullptr);
}

int ImportRoad::run(const std::function<void()>& start, int timeoutSeconds)
{
    m_clock.start();
    m_timeoutSeconds = timeoutSeconds;
    m_pingsSeen = QoviLumen::PingManager::recordedPings().size();
    // A ping's answer comes without any event of the road's own.
    QoviLumen::PingManager::setOutcomeObserver(
        [this] { QMetaObject::invokeMethod(this, &ImportRoad::readNewPings, Qt::QueuedConnection); });
    if (!m_plugin || !connectPlugin()) {
        Console::say(QStringLiteral("demo: the plug-in lacks the signal openChooser(CLOUD_TYPE) or "
                                    "cloudConnected(CLOUD_TYPE,QString)"));
        return 1;
    }
    m_timeout.start(timeoutSeconds * 1000);
    start();
    // The accounts and their windows exist now; their pages load later.
    for (QWebView* view : WebWindowWatcher::accountWindows())
        m_watcher->watch(view);
    const int status = m_finished ? (m_reached.contains(Downloaded) ? 0 : 1) : m_loop.exec();
    m_timeout.stop();
    return status;
}

bool ImportRoad::connectPlugin()
{
    // Across the bundle's boundary signals are reached by their signatures.
    const bool chooser = connect(m_plugin, SIGNAL(openChooser(CLOUD_TYPE)), this, SLOT(onOpenChooser(CLOUD_TYPE)));
    const bool connected = connect(m_plugin, SIGNAL(cloudConnected(CLOUD_TYPE, QString)), this,
                                   SLOT(onCloudConnected(CLOUD_TYPE, QString)));
    return chooser && connected;
}

void ImportRoad::onOpenChooser(CLOUD_TYPE type)
{
    step(QStringLiteral("the plug-in emitted openChooser(%1): its account opens the chooser").arg(cloudName(type)));
}

void ImportRoad::onWindowShown(QWebView* view)
{
    if (!isAccountWindow(view)) {
        step(QStringLiteral("the chooser page opened a pop-up window"));
    } else if (m_signInSeen && !m_reached.contains(Connected)) {
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
                     .arg(m_reached.contains(Connected) ? QStringLiteral("connected now: ") : QString(),
                          address.toString()));
        return;
    }
    if (!account && !m_reached.contains(Connected) && m_cloud == DROPBOX_CLOUD)
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
               && !m_reached.contains(Connected)) {
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

void ImportRoad::onCloudConnected(CLOUD_TYPE type, const QString& email)
{
    m_reached.insert(Connected);
    step(QStringLiteral("e-mail address received: the plug-in emitted cloudConnected(%1, %2)")
             .arg(cloudName(type), email));
    // The plug-in pings right after it has told the player.
    QMetaObject::invokeMethod(this, &ImportRoad::readNewPings, Qt::QueuedConnection);
}

void ImportRoad::fileQueued(const QUrl& address)
{
    m_queued.append(address);
    m_reached.insert(Queued);
    step(QStringLiteral("file picked: the plug-in queued %1 in the player's download manager")
             .arg(address.toString()));
    QMetaObject::invokeMethod(this, &ImportRoad::readNewPings, Qt::QueuedConnection);
}

void ImportRoad::fileDownloaded(const QString& name, qint64 bytes)
{
    m_reached.insert(Downloaded);
    readNewPings();
    Console::say(QStringLiteral("downloaded: %1 (%2 bytes)").arg(name).arg(bytes));
    finishWhenComplete();
}

void ImportRoad::downloadFailed(const QString& name, const QString& why)
{
    step(QStringLiteral("the download of %1 failed: %2").arg(name, why));
}

void ImportRoad::readNewPings()
{
    const QStringList pings = QoviLumen::PingManager::recordedPings();
    const QStringList outcomes = QoviLumen::PingManager::pingOutcomes();
    // In their order: one whose answer is awaited holds back those after it.
    for (; m_pingsSeen < pings.size() && !outcomes.value(m_pingsSeen).isEmpty(); ++m_pingsSeen) {
        const QString& ping = pings.at(m_pingsSeen);
        say(QStringLiteral("usage ping %1").arg(outcomes.at(m_pingsSeen)));
        if (ping.contains(QLatin1String("-Register-")))
            m_reached.insert(RegisterPinged);
        else if (ping.contains(QLatin1String("-Import-")))
            m_reached.insert(ImportPinged);
    }
    finishWhenComplete();
}

void ImportRoad::finishWhenComplete()
{
    if (m_finished)
        return;
    for (Milestone milestone : {Connected, RegisterPinged, Queued, ImportPinged, Downloaded}) {
        if (!m_reached.contains(milestone))
            return;
    }
    m_finished = true;
    say(QStringLiteral("the whole road was seen"));
    m_loop.exit(0);
}

void ImportRoad::onTimeout()
{
    static const std::pair<Milestone, const char*> milestones[] = {
        {Connected, "the connection (cloudConnected)"},
        {RegisterPinged, "the Register ping"},
        {Queued, "a queued file"},
        {ImportPinged, "the Import ping"},
        {Downloaded, "the download"},
    };
    QStringList missing;
    for (const auto& [milestone, name] : milestones) {
        if (!m_reached.contains(milestone))
            missing.append(QLatin1String(name));
    }
    m_finished = true;
    Console::say(QStringLiteral("demo: timed out after %1 s waiting for %2; the last step seen: %3")
                     .arg(m_timeoutSeconds)
                     .arg(missing.join(QStringLiteral(", ")), m_lastStep.isEmpty() ? QStringLiteral("none") : m_lastStep));
    m_loop.exit(1);
}

void ImportRoad::step(const QString& text)
{
    // A ping that ended before this step is told before it.
    readNewPings();
    say(text);
}

void ImportRoad::say(const QString& text)
{
    m_lastStep = text;
    Console::say(QStringLiteral("[%1 s] %2").arg(m_clock.elapsed() / 1000.0, 5, 'f', 1).arg(text));
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
