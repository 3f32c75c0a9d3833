#include "cloudjob.h"

void CloudJob::start()
{
    if (m_started || hasEnded())
        return;
    m_started = true;
    begin();
}

void CloudJob::cancel()
{
    if (hasEnded())
        return;
    stop();
    finish(Canceled);
}

void CloudJob::finish(Ending ending, const QString& reason)
{
    if (hasEnded() || ending == Running)
        return;
    m_ending = ending;
    m_reason = reason;
    emit ended();
}
