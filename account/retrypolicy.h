#pragma once

#include "clouderror.h"

#include <QtGlobal>

// How long to wait before trying a request again after a transient
// failure: what the service asked for (Retry-After), else a first pause
// that doubles with each retry, never more than a minute.
class RetryPolicy
{
public:
    static constexpr int kMaxRetries = 4;
    static constexpr int kFirstPauseMs = 1000;
    static constexpr int kLongestPauseMs = 60000;

    // Before the retry-th attempt again (1 for the first retry).
    static int pauseBefore(const CloudError& why, int retry, int firstPauseMs = kFirstPauseMs)
    {
        if (why.retryAfterMs() >= 0)
            return qMin(why.retryAfterMs(), kLongestPauseMs);
        const qint64 pause = qint64(firstPauseMs) << qMin(qMax(retry - 1, 0), 16);
        return int(qMin<qint64>(pause, kLongestPauseMs));
    }
};
