#pragma once

#include <QNetworkReply>

#include <memory>

struct StreamTransfer;

// The reply of a request that the upload transport streams from a worker
// thread. It looks to the account like any other reply: progress, abort,
// finished, status, headers, body.
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

    // Main thread, from the transport: the worker moved bytes, or is done.
    void progressed(qint64 sent, qint64 total);
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
