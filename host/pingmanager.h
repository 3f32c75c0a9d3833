#pragma once

#include <QString>
#include <QStringList>

namespace QoviLumen {

// The player's usage-ping service. Every ping is recorded; a ping whose host
// is the configured ping host is also sent as an HTTP GET.
class PingManager
{
public:
    // waitForReply: block (in a local event loop, a few seconds at most)
    // until the ping was answered. Answers whether the ping was sent.
    static bool sendPing(const QString& url, bool waitForReply);

    static void setPingHost(const QString& host);
    static QStringList recordedPings();
    static void clearRecordedPings();
};

} // namespace QoviLumen
