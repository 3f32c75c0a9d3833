#pragma once

#include <QNetworkReply>

#include <memory>

struct StreamTransfer;

// The reply of a request that the transport streams from a worker thread.
// It looks to the account like any other reply: progress, abort, finished,
// status, headers, body (a download's body is in its file, not here).
class StreamReply : public QNetworkReply
{
    Q_OBJECT
public:
    StreamReply(QNetworkAccessManager::Operation operation, const QNetworkRequest& request,
                std::shared_ptr<StreamTransfer> transfer, QObject* parent);
    ~StreamReply() override;

    void abort() override;
    qint64 bytesAvailable() const override;
    bool isSequential() const override { return true; }

    // Main thread, from the transport: the worker moved bytes (sent, or
    // written to a download's file), or is done.
    void progressed(qint64 moved, qint64 total);
    void complete();

signals:
    void canceled();

protected:
    qint64 readData(char* data, qint64 maxSize) override;

private:
    void fail(NetworkError code, const QString& text);
    void end();

    std::shared_ptr<StreamTransfer> m_transfer;
    QByteArray m_body;
    qint64 m_read = 0;
};
