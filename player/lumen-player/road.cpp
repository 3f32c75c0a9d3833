#include "road.h"

#include "console.h"
#include "pingmanager.h"

Road::Road(QObject* plugin, CLOUD_TYPE cloud, int files) : m_plugin(plugin), m_cloud(cloud)
{
    m_needed = {{Connected, 1}, {RegisterPinged, 1}, {Queued, files}, {ImportPinged, files}, {Downloaded, files}};
    m_timeout.setSingleShot(true);
    connect(&m_timeout, &QTimer::timeout, this, &Road::onTimeout);
}

Road::~Road()
{
    QoviLumen::PingManager::setOutcomeObserver(nullptr);
}

QString Road::cloudName() const
{
    return m_cloud == DROPBOX_CLOUD ? QStringLiteral("Dropbox") : QStringLiteral("Google Drive");
}

int Road::run(const std::function<void()>& start, int timeoutSeconds)
{
    m_clock.start();
    m_timeoutSeconds = timeoutSeconds;
    m_pingsSeen = QoviLumen::PingManager::recordedPings().size();
    // A ping's answer comes without any event of the road's own.
    QoviLumen::PingManager::setOutcomeObserver(
        [this] { QMetaObject::invokeMethod(this, &Road::readNewPings, Qt::QueuedConnection); });
    // Across the bundle's boundary signals are reached by their signatures.
    if (!m_plugin || !connect(m_plugin, SIGNAL(cloudConnected(CLOUD_TYPE, QString)), this,
                              SLOT(onCloudConnected(CLOUD_TYPE, QString)))) {
        Console::say(QStringLiteral("demo: the plug-in lacks the signal cloudConnected(CLOUD_TYPE,QString)"));
        return 1;
    }
    m_timeout.start(timeoutSeconds * 1000);
    start();
    watch();
    const int status = m_finished ? (reached(Downloaded) ? 0 : 1) : m_loop.exec();
    m_timeout.stop();
    return status;
}

void Road::onCloudConnected(CLOUD_TYPE type, const QString& email)
{
    reach(Connected);
    step(QStringLiteral("e-mail address received: the plug-in emitted cloudConnected(%1, %2)")
             .arg(type == DROPBOX_CLOUD ? QStringLiteral("Dropbox") : QStringLiteral("Google Drive"), email));
    // The plug-in pings right after it has told the player.
    QMetaObject::invokeMethod(this, &Road::readNewPings, Qt::QueuedConnection);
}

void Road::fileQueued(const QUrl& address)
{
    m_queued.append(address);
    reach(Queued);
    step(QStringLiteral("file picked: the plug-in queued %1 in the player's download manager")
             .arg(address.toString()));
    QMetaObject::invokeMethod(this, &Road::readNewPings, Qt::QueuedConnection);
}

void Road::fileDownloaded(const QString& name, qint64 bytes)
{
    readNewPings();
    Console::say(QStringLiteral("downloaded: %1 (%2 bytes)").arg(name).arg(bytes));
    reach(Downloaded);
}

void Road::downloadFailed(const QString& name, const QString& why)
{
    step(QStringLiteral("the download of %1 failed: %2").arg(name, why));
}

void Road::reach(Milestone milestone)
{
    ++m_reached[milestone];
    finishWhenComplete();
}

void Road::readNewPings()
{
    const QStringList pings = QoviLumen::PingManager::recordedPings();
    const QStringList outcomes = QoviLumen::PingManager::pingOutcomes();
    // In their order: one whose answer is awaited holds back those after it.
    for (; m_pingsSeen < pings.size() && !outcomes.value(m_pingsSeen).isEmpty(); ++m_pingsSeen) {
        const QString& ping = pings.at(m_pingsSeen);
        say(QStringLiteral("usage ping %1").arg(outcomes.at(m_pingsSeen)));
        if (ping.contains(QLatin1String("-Register-")))
            reach(RegisterPinged);
        else if (ping.contains(QLatin1String("-Import-")))
            reach(ImportPinged);
    }
    finishWhenComplete();
}

void Road::finishWhenComplete()
{
    if (m_finished)
        return;
    for (auto it = m_needed.cbegin(); it != m_needed.cend(); ++it) {
        if (m_reached.value(it.key()) < it.value())
            return;
    }
    m_finished = true;
    say(QStringLiteral("the whole road was seen"));
    m_loop.exit(0);
}

void Road::onTimeout()
{
    static const std::pair<Milestone, const char*> names[] = {
        {Connected, "the connection (cloudConnected)"},
        {RegisterPinged, "the Register ping"},
        {Queued, "a queued file"},
        {ImportPinged, "the Import ping"},
        {Downloaded, "the download"},
    };
    QStringList missing;
    for (const auto& [milestone, name] : names) {
        if (m_reached.value(milestone) < m_needed.value(milestone))
            missing.append(QLatin1String(name));
    }
    m_finished = true;
    Console::say(QStringLiteral("demo: timed out after %1 s waiting for %2; the last step seen: %3")
                     .arg(m_timeoutSeconds)
                     .arg(missing.join(QStringLiteral(", ")), m_lastStep.isEmpty() ? QStringLiteral("none") : m_lastStep));
    m_loop.exit(1);
}

void Road::step(const QString& text)
{
    // A ping that ended before this step is told before it.
    readNewPings();
    say(text);
}

void Road::say(const QString& text)
{
    m_lastStep = text;
    Console::say(QStringLiteral("[%1 s] %2").arg(m_clock.elapsed() / 1000.0, 5, 'f', 1).arg(text));
}
