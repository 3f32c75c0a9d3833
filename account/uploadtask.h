#pragma once

#include "clouderror.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <memory>

class ContentDigest;
class QIODevice;
class QNetworkReply;

// One queued upload: a local file going into a folder of the account's cloud.
struct UploadTask {
    QIODevice* file = nullptr;     // open for reading; released by the provider once uploaded
    QString filePath;
    QString targetPath = QStringLiteral("Qovi");
    QString folderId;
    quint64 fileSize = 0;
    bool canceled = false;
    qint64 chunkSize = 0;
    qint64 bytesLeft = 0;
    qint64 offset = 0;             // bytes the service has confirmed
    int chunkCount = 0;
    QString sessionId;
    QNetworkReply* reply = nullptr; // the request in flight
    int requestKind = -1;
    int lastError = 0;

    // Set by the provider with the reply that completes the upload: where
    // the service says it stored the file, and how many bytes it holds.
    QString storedPath;
    quint64 storedSize = 0;
    // Set by the provider instead of a next request when a reply cannot be
    // used; the upload ends with it (or is resumed, if it is transient).
    CloudError failure;

    // The file as it was queued, and the digest of its bytes as they were
    // read for sending, in the provider's kind: a file changed while it was
    // sent must not be reported uploaded.
    QDateTime fileModified;
    std::shared_ptr<ContentDigest> digest;

    // Folders of the target path still to be created, outermost first, and
    // the folder they go into (empty: the root).
    QStringList pendingFolders;
    QString parentFolderId;
};
