#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGINT and SIGTERM into a Qt signal on the main thread, so that an
// interrupted command can cancel its work cleanly instead of dying mid-way.
// A process whose main thread is stuck in a system call never gets there:
// the first signal also arms a watchdog that ends it with status 130 a few
// seconds later, unless it ended by then.
class InterruptWatcher : public QObject
{
    Q_OBJECT
public:
    static constexpr int kWatchdogSeconds = 3;

    explicit InterruptWatcher(QObject* parent = nullptr);
    ~InterruptWatcher() override;

    // Whether SIGINT or SIGTERM came, at any time since the watcher began.
    static bool signalled();
    // Sleeps without running the event loop; a signal ends the pause at
    // once (and is reported through interrupted() first). False then.
    bool pause(int milliseconds);

signals:
    void interrupted();

private:
    void drain();

    int m_pipe[2] = {-1, -1};
    QSocketNotifier* m_notifier = nullptr;
};
