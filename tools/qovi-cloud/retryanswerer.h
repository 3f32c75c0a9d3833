#pragma once

#include <QObject>
#include <QString>

class CloudBase;
class CloudError;
class InterruptWatcher;

// Answers an account's failedRetry questions about its synchronous requests
// (the upload preparation's grant check, folder search and creation, token
// refresh) by the policy of the uploads themselves: a transient failure is
// tried again after a pause (the service's Retry-After, else 1 s doubling),
// at most UploadQueue::kMaxRetries times per operation. Any other question,
// such as the queue's own after its retries, gets no; so does every
// question once the process was interrupted, and a signal ends a pause.
class RetryAnswerer : public QObject
{
    Q_OBJECT
public:
    RetryAnswerer(CloudBase& account, InterruptWatcher& interrupts);

    static int pauseBefore(const CloudError& why, int retry);

signals:
    // One line for each retry: what failed, and when it is tried again.
    void retrying(const QString& line);

private:
    void answer(const QString& question, bool& retry);
    void nextOperation();

    CloudBase& m_account;
    InterruptWatcher& m_interrupts;
    QString m_operation; // the request kind the retries count for
    int m_retries = 0;
};
