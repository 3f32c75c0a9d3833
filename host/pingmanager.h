#pragma once

#include <QString>
#include <QStringList>

#include <functional>

namespace QoviLumen {

// The player's usage-ping service. Every ping is recorded; a ping addressed
// to the player's ping service (or to the ping host itself) is sent as an
// HTTP GET to the configured ping host, with its path and query.
class PingManager
{
public:
    // The host the plug-ins address their pings to.
    static const char* const kServiceHost;

    // waitForReply: block (in a local event loop, a few seconds at most)
    // until the ping was answered. Answers whether the ping was sent.
    static bool sendPing(const QString& url, bool waitForReply);

    // Where pings go; empty: none is sent.
    static void setPingHost(const QString& host);
    static QStringList recordedPings();
    // What became of each recorded ping, in the same order, in words: empty
    // while its answer is awaited ("sent to <address>, answered 204").
    static QStringList pingOutcomes();
    // Told on the main thread each time a ping's outcome becomes known.
    static void setOutcomeObserver(std::function<void()> observer);
    static void clearRecordedPings();
};

} // namespace QoviLumen
