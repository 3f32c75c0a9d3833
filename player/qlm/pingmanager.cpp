#include "pingmanager.h"

#include "pingsender.h"

#include <QUrl>

namespace QoviLumen {

namespace {

struct PingRecord {
    QString host;
    QStringList pings;
};

PingRecord& record()
{
    static PingRecord pingRecord;
    return pingRecord;
}

} // namespace

bool PingManager::sendPing(const QString& url, bool waitForReply)
{
    record().pings.append(url);
    const QUrl address(url);
    if (record().host.isEmpty() || address.host() != record().host)
        return false;
    PingSender* sender = PingSender::instance();
    return sender && sender->send(address, waitForReply);
}

void PingManager::setPingHost(const QString& host)
{
    record().host = host;
}

QStringList PingManager::recordedPings()
{
    return record().pings;
}

void PingManager::clearRecordedPings()
{
    record().pings.clear();
}

} // namespace QoviLumen
