#include "uploadjob.h"

#include "requestengine.h"

#include <QIODevice>
#include <QNetworkReply>

UploadJob::UploadJob(UploadTask task) : m_task(std::move(task))
{
    m_pause.setSingleShot(true);
    connect(&m_pause, &QTimer::timeout, this, &UploadJob::resumeDue);
}

UploadJob::~UploadJob()
{
    if (m_task.reply)
        RequestEngine::abandon(m_task.reply);
    delete m_task.file;
}

void UploadJob::setState(State state)
{
    if (m_state != Ended)
        m_state = state;
}

void UploadJob::resumeAfter(int delayMs)
{
    setState(Waiting);
    m_pause.start(qMax(0, delayMs));
}

void UploadJob::releaseFile()
{
    // An aborted request may still hold the file as its body until the
    // event loop has seen it off.
    if (m_task.file) {
        m_task.file->close();
        m_task.file->deleteLater();
    }
    m_task.file = nullptr;
}

bool UploadJob::end(UploadOutcome::Ending ending, const CloudError& error, UploadOutcome* outcome)
{
    if (m_state == Ended)
        return false;
    m_state = Ended;
    m_pause.stop();
    if (m_task.reply) {
        RequestEngine::abandon(m_task.reply);
        m_task.reply = nullptr;
    }
    releaseFile();
    outcome->ending = ending;
    outcome->filePath = m_task.filePath;
    outcome->targetPath = m_task.targetPath;
    outcome->storedPath = m_task.storedPath;
    outcome->storedSize = m_task.storedSize;
    outcome->error = error;
    return true;
}
