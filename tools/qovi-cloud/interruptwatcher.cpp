#include "interruptwatcher.h"

#include <QDeadlineTimer>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

constexpr int kInterruptedStatus = 130;

int g_writeEnd = -1;
volatile std::sig_atomic_t g_signalled = 0;

void onWatchdog(int)
{
    _exit(kInterruptedStatus);
}

void onSignal(int)
{
    // Only async-signal-safe work here: wake the main loop, and arm the
    // watchdog once (a second signal must not postpone it).
    if (!g_signalled)
        alarm(InterruptWatcher::kWatchdogSeconds);
    g_signalled = 1;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_writeEnd, &byte, 1);
}

void handle(int signal, void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signal, &action, nullptr);
}

} // namespace

InterruptWatcher::InterruptWatcher(QObject* parent) : QObject(parent)
{
    if (::pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    g_writeEnd = m_pipe[1];
    m_notifier = new QSocketNotifier(m_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &InterruptWatcher::drain);
    handle(SIGALRM, onWatchdog);
    handle(SIGINT, onSignal);
    handle(SIGTERM, onSignal);
}

InterruptWatcher::~InterruptWatcher()
{
    // An armed watchdog stays: the process is on its way out.
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    g_writeEnd = -1;
    for (int fd : m_pipe) {
        if (fd >= 0)
            ::close(fd);
    }
}

bool InterruptWatcher::signalled()
{
    return g_signalled != 0;
}

bool InterruptWatcher::pause(int milliseconds)
{
    const QDeadlineTimer deadline(milliseconds);
    pollfd wake = {m_pipe[0], POLLIN, 0};
    for (;;) {
        const int ready = ::poll(&wake, 1, int(qMax<qint64>(0, deadline.remainingTime())));
        if (ready > 0 || g_signalled) {
            drain();
            return false;
        }
        if (ready == 0 || errno != EINTR)
            return true;
    }
}

void InterruptWatcher::drain()
{
    char bytes[16];
    while (::read(m_pipe[0], bytes, sizeof bytes) > 0) {
    }
    emit interrupted();
}
