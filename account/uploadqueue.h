#pragma once

#include "clouderror.h"
#include "retrypolicy.h"
#include "uploadoutcome.h"
#include "uploadtask.h"

#include <QList>
#include <QObject>

#include <list>

class QNetworkReply;
class RequestEngine;
class UploadHost;
class UploadJob;

// An account's uploads, head first, and the driver that takes them through
// preparation, the provider's requests, pauses and retries to one ending
// each. One job is in flight at a time.
class UploadQueue : public QObject
{
    Q_OBJECT
public:
    static constexpr int kMaxRetries = RetryPolicy::kMaxRetries;
    static constexpr int kFirstPauseMs = RetryPolicy::kFirstPauseMs;
    static constexpr int kLongestPauseMs = RetryPolicy::kLongestPauseMs;

    UploadQueue(UploadHost& host, RequestEngine& engine, QObject* parent);
    ~UploadQueue() override;

    bool isEmpty() const { return m_jobs.empty(); }
    int size() const { return int(m_jobs.size()); }
    // The head task; null when the queue is empty.
    UploadTask* head();
    QList<const UploadTask*> tasks() const;
    // The task whose request this is; a shared empty task when none.
    UploadTask& taskForReply(QNetworkReply* reply);

    // Appends a task and starts the driver when nothing is in flight.
    void add(UploadTask task);
    // Cancels the first unfinished upload of the file; it ends at once.
    bool cancel(const QString& filePath);
    void cancelAll();
    // The driver: prepares and starts the head, or reports the queue done.
    void process();
    // A finished reply of an upload request, after the account logged it.
    void replyFinished(QNetworkReply* reply, UploadTask& task, int error, const QJsonObject& json,
                       const QByteArray& body);

    // How long a request may go without a byte moving, how many times a
    // transient failure is tried again, and the first pause before that.
    void setLimits(int stallMs, int maxRetries, int firstPauseMs);

private:
    void drive();
    bool prepared(UploadJob* job);
    bool start(UploadJob* job);
    void watch(UploadJob* job);
    void succeeded(UploadJob* job, const QJsonObject& json, bool committing);
    void failed(UploadJob* job, const CloudError& why, bool committing);
    void refused(UploadJob* job, const CloudError& why);
    void resume(UploadJob* job);
    void finish(UploadJob* job, UploadOutcome::Ending ending, const CloudError& error = CloudError());
    void failAll(const CloudError& why);
    void processSoon();
    int pauseBefore(const CloudError& why, int retry) const;
    UploadJob* jobOf(const UploadTask& task) const;

    UploadHost& m_host;
    RequestEngine& m_engine;
    std::list<UploadJob*> m_jobs; // children of the queue, head first
    bool m_driving = false;
    bool m_driveAgain = false;
    int m_stallLimitMs = 30000;
    int m_maxRetries = kMaxRetries;
    int m_firstPauseMs = kFirstPauseMs;
};
