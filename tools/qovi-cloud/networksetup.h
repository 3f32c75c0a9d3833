#pragma once

#include <QString>

// How qovi-cloud reaches the services: through an HTTP proxy when one is
// given, trusting a further certificate authority when one is given (as the
// tests and the demo do for the local stand-in).
class NetworkSetup
{
public:
    // False, with what is wrong in *problem, when an option is unusable.
    static bool apply(const QString& proxy, const QString& caCertificate, QString* problem);
};
