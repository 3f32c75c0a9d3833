#include "uploadqueue.h"

#include "cloudlog.h"
#include "requestengine.h"
#include "uploadhost.h"
#include "uploadjob.h"

#include <QFileInfo>
#include <QIODevice>
#include <QNetworkReply>
#include <QPointer>
#include <QScopedValueRollback>

#include <algorithm>

namespace {

ICloudLog* logger()
{
    return CloudLog::instance();
}

QByteArray utf8(const QString& text)
{
    return text.toUtf8();
}

// The file goes again from its first byte, in a new session.
void rewind(UploadTask& task)
{
    task.offset = 0;
    task.bytesLeft = qint64(task.fileSize);
    task.chunkCount = 0;
    task.sessionId.clear();
    if (task.file)
        task.file->seek(0);
}

} // namespace

UploadQueue::UploadQueue(UploadHost& host, RequestEngine& engine, QObject* parent)
    : QObject(parent), m_host(host), m_engine(engine)
{
}

UploadQueue::~UploadQueue() = default; // the jobs are children: they go without a word

UploadTask* UploadQueue::head()
{
    return m_jobs.empty() ? nullptr : &m_jobs.front()->task();
}

QList<const UploadTask*> UploadQueue::tasks() const
{
    QList<const UploadTask*> list;
    for (const UploadJob* job : m_jobs)
        list.append(&job->task());
    return list;
}

UploadTask& UploadQueue::taskForReply(QNetworkReply* reply)
{
    for (UploadJob* job : m_jobs) {
        if (reply && job->task().reply == reply)
            return job->task();
    }
    static UploadTask none;
    none = UploadTask();
    return none;
}

UploadJob* UploadQueue::jobOf(const UploadTask& task) const
{
    const auto found =
        std::find_if(m_jobs.begin(), m_jobs.end(), [&task](const UploadJob* job) { return &job->task() == &task; });
    return found == m_jobs.end() ? nullptr : *found;
}

void UploadQueue::setLimits(int stallMs, int maxRetries, int firstPauseMs)
{
    m_stallLimitMs = stallMs;
    m_maxRetries = maxRetries;
    m_firstPauseMs = firstPauseMs;
}

void UploadQueue::add(UploadTask task)
{
    auto* job = new UploadJob(std::move(task));
    job->setParent(this);
    connect(job, &UploadJob::resumeDue, this, [this, job] { resume(job); });
    m_jobs.push_back(job);
    // From the event loop, not inside the caller: preparation waits for
    // answers, and whoever queues files should not wait with it.
    if (m_jobs.size() == 1)
        processSoon();
}

bool UploadQueue::cancel(const QString& filePath)
{
    const auto found = std::find_if(m_jobs.begin(), m_jobs.end(), [&filePath](const UploadJob* job) {
        return job->task().filePath == filePath && !job->task().canceled;
    });
    if (found == m_jobs.end())
        return false;
    UploadJob* job = *found;
    UploadTask& task = job->task();
    task.canceled = true;
    if (job->state() == UploadJob::Preparing) {
        // Its synchronous checks end now; the driver then ends the job.
        m_engine.interruptWaits();
        return true;
    }
    const bool committing = job->state() == UploadJob::Running && m_host.taskCommits(task);
    if (committing || job->handedOver())
        finish(job, UploadOutcome::Canceled,
               CloudError(CloudError::MaybeStored, tr("canceled after the file was handed over")));
    else
        finish(job, UploadOutcome::Canceled);
    return true;
}

void UploadQueue::cancelAll()
{
    const std::list<UploadJob*> jobs = m_jobs;
    for (UploadJob* job : jobs) {
        if (!job->hasEnded())
            cancel(job->task().filePath);
    }
}

void UploadQueue::processSoon()
{
    QMetaObject::invokeMethod(this, &UploadQueue::process, Qt::QueuedConnection);
}

void UploadQueue::process()
{
    // A nested wait of the driver may bring another call: it runs once the
    // current one is done, never inside it.
    if (m_driving) {
        m_driveAgain = true;
        return;
    }
    const QScopedValueRollback<bool> driving(m_driving, true);
    do {
        m_driveAgain = false;
        drive();
    } while (m_driveAgain);
}

void UploadQueue::drive()
{
    const char* name = m_host.uploadAccountName();
    while (!m_jobs.empty()) {
        UploadJob* job = m_jobs.front();
        if (job->state() == UploadJob::Running || job->state() == UploadJob::Waiting)
            return;
        m_host.setUploading(true);
        if (job->task().canceled) {
            logger()->logLine(LOG_INF, "Uploading - task %s was canceled, skipped", utf8(job->task().filePath).constData());
            finish(job, UploadOutcome::Canceled);
            continue;
        }
        if (prepared(job) && start(job))
            return;
    }
    logger()->logLine(LOG_INF, "%s: Uploading is finished", name);
    logger()->logLine(LOG_INF, "---\n");
    m_host.setUploading(false);
}

bool UploadQueue::prepared(UploadJob* job)
{
    const char* reason = m_host.preparationNeeded(job->task());
    if (!reason)
        return true;
    logger()->logLine(LOG_INF, "%s: Uploading - need to prepare, reason is: %s", m_host.uploadAccountName(), reason);
    logger()->logLine(LOG_INF, "---\n");
    job->setState(UploadJob::Preparing);
    const QPointer<UploadJob> alive(job);
    CloudError why;
    const bool ready = m_host.prepareUploads(why);
    if (!alive || job->hasEnded())
        return false;
    job->setState(UploadJob::Queued);
    if (job->task().canceled) {
        finish(job, UploadOutcome::Canceled);
        return false;
    }
    if (ready)
        return true;
    // The account cannot upload now: every file waiting is told why, rather
    // than left waiting for a run that nothing will start.
    if (!why.isError())
        why = CloudError(CloudError::Other, tr("the upload could not be prepared"));
    failAll(why);
    return false;
}

bool UploadQueue::start(UploadJob* job)
{
    UploadTask& task = job->task();
    task.failure = CloudError();
    m_host.startTask(task);
    if (!task.reply) {
        failed(job, task.failure.isError() ? task.failure : CloudError(CloudError::Other, tr("the upload could not be started")),
               false);
        return !job->hasEnded();
    }
    watch(job);
    job->setState(UploadJob::Running);
    m_host.reportStarted(task);
    return true;
}

void UploadQueue::watch(UploadJob* job)
{
    m_engine.watch(job->task().reply, m_stallLimitMs, RequestEngine::kMaxReplyBytes);
}

void UploadQueue::replyFinished(QNetworkReply* reply, UploadTask& task, int error, const QJsonObject& json,
                                const QByteArray& body)
{
    UploadJob* job = jobOf(task);
    if (!job || job->hasEnded())
        return;
    const bool committing = m_host.taskCommits(task);
    if (error == QNetworkReply::NoError) {
        succeeded(job, json, committing);
        return;
    }
    // The failed reply is done with either way; providers release only the
    // replies they handled.
    task.reply = nullptr;
    reply->deleteLater();
    const CloudError why = m_host.uploadFailure(reply, body);
    logger()->logLine(LOG_WRN, "%s: upload of %s: %s", m_host.uploadAccountName(), utf8(task.filePath).constData(),
                      utf8(why.text()).constData());
    if (error == QNetworkReply::AuthenticationRequiredError && why.kind() != CloudError::GrantRevoked)
        refused(job, why);
    else
        failed(job, why, committing);
}

void UploadQueue::succeeded(UploadJob* job, const QJsonObject& json, bool committing)
{
    UploadTask& task = job->task();
    QNetworkReply* const answered = task.reply;
    const qint64 confirmedBefore = task.offset;
    m_host.advanceTask(task, json);
    if (job->hasEnded())
        return;
    if (!task.file) {
        if (task.storedPath.isEmpty()) {
            failed(job, CloudError(CloudError::BadReply, tr("no stored path in the service's answer")), committing);
            return;
        }
        const QFileInfo now(task.filePath);
        if (quint64(now.size()) != task.fileSize || now.lastModified() != task.fileModified) {
            // Stored, but torn: what the service holds is neither the file
            // as it was nor as it is.
            finish(job, UploadOutcome::Failed,
                   CloudError(CloudError::FileChanged, tr("stored as %1, which may not match it").arg(task.storedPath)));
            return;
        }
        finish(job, UploadOutcome::Finished);
        return;
    }
    if (task.reply && task.reply != answered) {
        if (task.offset > confirmedBefore)
            job->progressConfirmed();
        // An answer that stores nothing and asks for more of the file says
        // that whatever went unanswered before did not store it.
        if (!committing)
            job->setNotStored();
        watch(job);
        return;
    }
    if (task.reply == answered && answered) {
        answered->deleteLater();
        task.reply = nullptr;
    }
    failed(job, task.failure.isError() ? task.failure : CloudError(CloudError::BadReply), committing);
}

void UploadQueue::refused(UploadJob* job, const CloudError& why)
{
    UploadTask& task = job->task();
    job->countRefusedSignIn();
    if (job->refusedSignIns() > 1) {
        finish(job, UploadOutcome::Failed, why);
        return;
    }
    // Once: a fresh token, and the file again from its first byte.
    const QPointer<UploadJob> alive(job);
    job->setState(UploadJob::Preparing);
    m_host.renewToken();
    if (!alive || job->hasEnded())
        return;
    job->setState(UploadJob::Queued);
    rewind(task);
    process();
}

void UploadQueue::failed(UploadJob* job, const CloudError& why, bool committing)
{
    UploadTask& task = job->task();
    if (committing && (why.kind() == CloudError::ConnectionLost || why.kind() == CloudError::TimedOut))
        job->setHandedOver();
    if (why.isTransient() && job->retries() < m_maxRetries) {
        job->countRetry();
        task.failure = why;
        const int pause = pauseBefore(why, job->retries());
        logger()->logLine(LOG_INF, "%s: upload of %s tried again in %d ms (%d of %d)", m_host.uploadAccountName(),
                          utf8(task.filePath).constData(), pause, job->retries(), m_maxRetries);
        job->resumeAfter(pause);
        return;
    }
    if (job->handedOver()) {
        finish(job, UploadOutcome::Failed, CloudError(CloudError::MaybeStored, why.text()));
        return;
    }
    // The user may still want it; without an answer it ends here.
    const QPointer<UploadJob> alive(job);
    const bool retry = m_host.askUploadRetry(why.text());
    if (!alive || job->hasEnded())
        return;
    if (retry) {
        job->progressConfirmed();
        task.failure = why;
        job->resumeAfter(0);
        return;
    }
    finish(job, UploadOutcome::Failed, why);
}

void UploadQueue::resume(UploadJob* job)
{
    if (job->hasEnded())
        return;
    UploadTask& task = job->task();
    const CloudError why = task.failure;
    task.failure = CloudError();
    m_host.resumeTask(task, why);
    if (task.reply) {
        watch(job);
        job->setState(UploadJob::Running);
        return;
    }
    job->setState(UploadJob::Queued);
    failed(job, task.failure.isError() ? task.failure : CloudError(CloudError::Other, tr("the upload could not be resumed")),
           false);
}

int UploadQueue::pauseBefore(const CloudError& why, int retry) const
{
    if (why.kind() == CloudError::WrongOffset)
        return 0;
    return RetryPolicy::pauseBefore(why, retry, m_firstPauseMs);
}

void UploadQueue::failAll(const CloudError& why)
{
    const std::list<UploadJob*> jobs = m_jobs;
    for (UploadJob* job : jobs)
        finish(job, UploadOutcome::Failed, why);
}

void UploadQueue::finish(UploadJob* job, UploadOutcome::Ending ending, const CloudError& error)
{
    UploadOutcome outcome;
    if (!job->end(ending, error, &outcome))
        return;
    m_jobs.remove(job);
    job->deleteLater();
    const QByteArray file = utf8(outcome.filePath);
    switch (ending) {
    case UploadOutcome::Finished:
        logger()->logLine(LOG_INF, "%s: uploaded %s as %s (%llu bytes)", m_host.uploadAccountName(), file.constData(),
                          utf8(outcome.storedPath).constData(), (unsigned long long)outcome.storedSize);
        break;
    case UploadOutcome::Canceled:
        logger()->logLine(LOG_INF, "%s: upload of %s canceled%s", m_host.uploadAccountName(), file.constData(),
                          error.isError() ? utf8(QStringLiteral(": ") + error.text()).constData() : "");
        break;
    case UploadOutcome::Failed:
        logger()->logLine(LOG_ERR, "%s: upload of %s failed: %s", m_host.uploadAccountName(), file.constData(),
                          utf8(error.text()).constData());
        break;
    }
    m_host.reportEnded(outcome);
    if (m_jobs.empty() || m_jobs.front()->state() == UploadJob::Queued)
        processSoon();
}
