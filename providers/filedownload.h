#pragma once

#include "clouderror.h"
#include "cloudentry.h"
#include "cloudjob.h"

#include <QFile>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include <functional>

class ApiCall;
class ApiRoad;
class QNetworkReply;

// One file of an account downloaded into a local file as its bytes arrive
// (none of them held in memory, whatever the file's size and the peer's
// speed), continuing what the local file already holds with a byte range
// instead of starting over: after a cut, after an interruption, in the next
// run. Ends once: done with the local file exactly the stored size, failed,
// or canceled with what arrived kept.
class FileDownload : public CloudJob
{
    Q_OBJECT
public:
    // Where the bytes are: a link the service makes for the file (a call
    // answering {"link": …}, made again once the link is refused), or the
    // file's own address, fetched with the account's Authorization.
    using LinkCall = std::function<ApiCall*(QObject* parent)>;

    FileDownload(ApiRoad& road, const CloudEntry& file, const QString& localPath, LinkCall linkCall, QObject* parent);
    FileDownload(ApiRoad& road, const CloudEntry& file, const QString& localPath, const QUrl& address,
                 QObject* parent);
    ~FileDownload() override;

    // Bytes the local file holds of the stored file.
    qint64 received() const { return m_have; }
    CloudError error() const { return m_error; }

signals:
    void progressed(qint64 received, qint64 total);
    void retrying(const CloudError& why, int pauseMs, int attempt);

protected:
    void begin() override;
    void stop() override;

private:
    void locate();
    void fetch(const QByteArray& authorization);
    void authorizeAndFetch(const QByteArray& refused);
    void onFinished();
    bool acceptRange(QNetworkReply* reply, int status);
    void tryAgain(const CloudError& why);
    void fail(const CloudError& error);
    void complete();

    ApiRoad& m_road;
    const CloudEntry m_entry;
    QFile m_file;
    LinkCall m_linkCall;
    QUrl m_address;
    bool m_authorized;
    QPointer<ApiCall> m_call;
    QPointer<QNetworkReply> m_reply;
    QByteArray m_authorization;
    QTimer m_pause;
    qint64 m_have = 0;
    qint64 m_attemptStart = 0;
    int m_retries = 0;
    bool m_renewed = false;
    bool m_relinked = false;
    CloudError m_error;
};
