#pragma once

#include "clouderror.h"
#include "uploadoutcome.h"
#include "uploadtask.h"

class QByteArray;
class QJsonObject;
class QNetworkReply;
class QString;

// What an upload queue needs of its account, and nothing else: the
// provider's upload operations, the preparation before the first file, and
// where the queue reports.
class UploadHost
{
public:
    virtual ~UploadHost() = default;

    virtual const char* uploadAccountName() const = 0;
    // The account is uploading, or is not any more.
    virtual void setUploading(bool uploading) = 0;
    // Why the task cannot start without preparation (for the log), or null.
    virtual const char* preparationNeeded(UploadTask& task) = 0;
    // The checks before uploading, waited for; false with the reason.
    virtual bool prepareUploads(CloudError& why) = 0;
    // Sends the task's first request (task.reply), or sets task.failure.
    virtual void startTask(UploadTask& task) = 0;
    // After a successful reply: the next request, or the file released.
    virtual void advanceTask(UploadTask& task, const QJsonObject& json) = 0;
    // After a failed request: what continues the upload.
    virtual void resumeTask(UploadTask& task, const CloudError& why) = 0;
    // Whether the request in flight may store the file for good.
    virtual bool taskCommits(const UploadTask& task) = 0;
    virtual void renewToken() = 0;
    virtual CloudError uploadFailure(QNetworkReply* reply, const QByteArray& body) = 0;
    // Asks whoever listens whether to try again; false when nobody says yes.
    virtual bool askUploadRetry(const QString& why) = 0;
    virtual void reportStarted(const UploadTask& task) = 0;
    // Once per task: the signal of its ending, then the outcome.
    virtual void reportEnded(const UploadOutcome& outcome) = 0;
};
