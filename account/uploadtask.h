#pragma once

#include <QString>
#include <QtGlobal>

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
};
