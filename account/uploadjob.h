#pragma once

#include "uploadoutcome.h"
#include "uploadtask.h"

#include <QObject>
#include <QTimer>

// One file's upload from its queuing to its one ending. Nothing touches a
// job after it ended: its file is closed, its request abandoned, and the
// queue lets it go.
class UploadJob : public QObject
{
    Q_OBJECT
public:
    enum State { Queued, Preparing, Running, Waiting, Ended };

    explicit UploadJob(UploadTask task);
    ~UploadJob() override;

    UploadTask& task() { return m_task; }
    const UploadTask& task() const { return m_task; }
    State state() const { return m_state; }
    void setState(State state);
    bool hasEnded() const { return m_state == Ended; }

    // Attempts after transient failures since the last confirmed progress.
    int retries() const { return m_retries; }
    void countRetry() { ++m_retries; }
    void progressConfirmed() { m_retries = 0; }
    // The service refused the sign-in for this file; never reset, so that a
    // token refused again and again cannot restart the file for ever.
    int refusedSignIns() const { return m_refusedSignIns; }
    void countRefusedSignIn() { ++m_refusedSignIns; }
    // A request that may have stored the file went unanswered: from now on,
    // an ending other than finished says it may have been stored.
    bool handedOver() const { return m_handedOver; }
    void setHandedOver() { m_handedOver = true; }
    // The service answered since, and said it does not hold the file.
    void setNotStored() { m_handedOver = false; }

    // resumeDue() after delayMs, unless the job ends first.
    void resumeAfter(int delayMs);

    // Ends the job and says how; only the first call counts (false after).
    bool end(UploadOutcome::Ending ending, const CloudError& error, UploadOutcome* outcome);

signals:
    void resumeDue();

private:
    void releaseFile();

    UploadTask m_task;
    State m_state = Queued;
    int m_retries = 0;
    int m_refusedSignIns = 0;
    bool m_handedOver = false;
    QTimer m_pause;
};
