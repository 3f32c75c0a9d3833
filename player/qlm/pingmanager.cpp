#include "pingmanager.h"

#include "pingsender.h"

#include <QUrl>

namespace QoviLumen {

const char* const PingManager::kServiceHost = "ping.qovi.com";

namespace {

struct PingRecord {
    QString host;
    QStringList pings;
    QStringList outcomes;
    std::function<void()> observer;
    int generation = 0; // a cleared record ignores endings of its older pings
};

PingRecord& record()
{
    static PingRecord pingRecord;
    return pingRecord;
}

void settle(int index, const QString& outcome)
{
    record().outcomes[index] = outcome;
    if (record().observer)
        record().observer();
}

} // namespace

bool PingManager::sendPing(const QString& url, bool waitForReply)
{
    PingRecord& pings = record();
    const int index = pings.pings.size();
    pings.pings.append(url);
    pings.outcomes.append(QString());
    QUrl address(url);
    if (pings.host.isEmpty()) {
        settle(index, QStringLiteral("not sent (no ping host): %1").arg(url));
        return false;
    }
    if (address.host() != QLatin1String(kServiceHost) && address.host() != pings.host) {
        settle(index, QStringLiteral("not sent (not addressed to the ping service): %1").arg(url));
        return false;
    }
    PingSender* sender = PingSender::instance();
    if (!sender) {
        settle(index, QStringLiteral("not sent (no application): %1").arg(url));
        return false;
    }
    address.setHost(pings.host);
    const QString target = address.toString();
    const int generation = pings.generation;
    return sender->send(address, waitForReply, [index, generation, target](const QString& ending) {
        if (record().generation == generation)
            settle(index, QStringLiteral("sent to %1, %2").arg(target, ending));
    });
}

void PingManager::setPingHost(const QString& host)
{
    record().host = host;
}

QStringList PingManager::recordedPings()
{
    return record().pings;
}

QStringList PingManager::pingOutcomes()
{
    return record().outcomes;
}

void PingManager::setOutcomeObserver(std::function<void()> observer)
{
    record().observer = std::move(observer);
}

void PingManager::clearRecordedPings()
{
    ++record().generation;
    record().pings.clear();
    record().outcomes.clear();
}

} // namespace QoviLumen
