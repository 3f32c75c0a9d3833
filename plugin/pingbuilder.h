#pragma once

#include "cloudtypes.h"

#include <QString>

#include <string>

namespace QoviLumen {

// Builds the usage-ping addresses of account events and imports.
class PingBuilder
{
public:
    static const char* const kPingHost;

    // The empty string when the platform or the action has no ping.
    static QString address(int platform, ACTION_TYPE action, CLOUD_TYPE cloud, const std::string& geo,
                           const QString& info);
};

} // namespace QoviLumen
