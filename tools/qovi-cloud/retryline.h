#pragma once

#include "clouderror.h"
#include "retrypolicy.h"

#include <QString>

// How qovi-cloud says that a failure is tried again: "Dropbox: the service
// failed (...); trying again in 1 s (1 of 4)".
class RetryLine
{
public:
    static QString text(const QString& service, const CloudError& why, int pauseMs, int attempt)
    {
        const QString when = pauseMs == 0 ? QStringLiteral("at once")
                                          : QStringLiteral("in %1 s").arg(pauseMs / 1000.0, 0, 'g', 3);
        return QStringLiteral("%1: %2; trying again %3 (%4 of %5)")
            .arg(service, why.text(), when)
            .arg(attempt)
            .arg(RetryPolicy::kMaxRetries);
    }
};
