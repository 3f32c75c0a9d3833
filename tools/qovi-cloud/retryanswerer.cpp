#include "retryanswerer.h"

#include "cloudbase.h"
#include "interruptwatcher.h"
#include "retryline.h"
#include "uploadqueue.h"

namespace {

// How the account words a failed synchronous request: "Failed for
// processing <KIND>: <reason>".
const QString kSyncFailure = QStringLiteral("Failed for processing ");

} // namespace

RetryAnswerer::RetryAnswerer(CloudBase& account, InterruptWatcher& interrupts)
    : m_account(account), m_interrupts(interrupts)
{
    connect(&account, &CloudBase::failedRetry, this, &RetryAnswerer::answer);
    // Whatever moved on since the last failure starts a new count.
    connect(&account, &CloudBase::uploadStarted, this, &RetryAnswerer::nextOperation);
    connect(&account, &CloudBase::uploadProgress, this, &RetryAnswerer::nextOperation);
    connect(&account, &CloudBase::uploadEnded, this, &RetryAnswerer::nextOperation);
}

int RetryAnswerer::pauseBefore(const CloudError& why, int retry)
{
    return RetryPolicy::pauseBefore(why, retry);
}

void RetryAnswerer::answer(const QString& question, bool& retry)
{
    if (!question.startsWith(kSyncFailure) || InterruptWatcher::signalled())
        return;
    const QString operation = question.mid(kSyncFailure.size()).section(QLatin1Char(':'), 0, 0);
    if (operation != m_operation) {
        m_operation = operation;
        m_retries = 0;
    }
    const CloudError why = m_account.lastError();
    if (!why.isTransient() || m_retries >= UploadQueue::kMaxRetries)
        return;
    ++m_retries;
    const int pause = pauseBefore(why, m_retries);
    emit retrying(RetryLine::text(QLatin1String(m_account.service().name), why, pause, m_retries));
    retry = m_interrupts.pause(pause);
}

void RetryAnswerer::nextOperation()
{
    m_operation.clear();
    m_retries = 0;
}
