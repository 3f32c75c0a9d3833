#pragma once

#include <QString>

// How the player reaches the network: an HTTP proxy for every request of the
// process, and certificate authorities trusted beside the system's. The
// plug-in knows nothing of either; it uses the process's defaults.
class HostNetwork
{
public:
    // "host:port"; false with a reason when the text is not one.
    static bool useProxy(const QString& address, QString* problem);
    // A PEM file of one or more authorities; false with a reason when it
    // holds none.
    static bool trustAuthorities(const QString& path, QString* problem);
};
