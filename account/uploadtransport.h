#pragma once

#include <QNetworkAccessManager>
#include <QObject>

#include <deque>
#include <memory>
#include <mutex>
#include <thread>

class ContentDigest;
class QIODevice;
class StreamReply;
struct StreamTransfer;
typedef void CURLM;

// Where upload and download bodies travel: libcurl on a worker thread of
// its own. An upload's body is read from its file in place, a download's
// written to its file as it arrives, as fast as the socket goes, so memory
// stays flat whatever the file's size and the peer's speed; consecutive
// requests share one kept-alive connection. The application proxy and the
// process's certificate authorities apply as for every other request, and
// every certificate error refuses the connection.
class UploadTransport : public QObject
{
    Q_OBJECT
public:
    explicit UploadTransport(QObject* parent);
    ~UploadTransport() override;

    // POST or PUT with `length` bytes of the open file from `offset` as the
    // body (no file: an empty body). The reply belongs to the caller.
    StreamReply* send(QNetworkAccessManager::Operation operation, const QNetworkRequest& request, QIODevice* file,
                      qint64 offset, qint64 length, const std::shared_ptr<ContentDigest>& digest = nullptr);

    // A GET whose successful answer's body (2xx) is written to the open file
    // from `offset` on; any other answer's body is kept as an API answer's
    // is. The reply tells the bytes written as its download progress.
    StreamReply* fetch(const QNetworkRequest& request, QIODevice* file, qint64 offset);

private:
    struct Job;

    StreamReply* queue(const std::shared_ptr<StreamTransfer>& transfer, QNetworkAccessManager::Operation operation,
                       const QNetworkRequest& request);

    void run();
    void startQueued();
    void endCanceled();
    void collectFinished();
    void report(const std::shared_ptr<StreamTransfer>& transfer, bool done);
    static size_t readBody(char* buffer, size_t size, size_t count, void* job);
    static size_t takeHeader(char* buffer, size_t size, size_t count, void* job);
    static size_t takeBody(char* buffer, size_t size, size_t count, void* job);
    static int moved(void* job, long long downTotal, long long downNow, long long upTotal, long long upNow);

    CURLM* m_multi;
    std::mutex m_mutex;
    std::deque<std::shared_ptr<StreamTransfer>> m_queue; // guarded by m_mutex
    std::deque<std::unique_ptr<Job>> m_active;           // worker only
    bool m_stopping = false;                             // guarded by m_mutex
    std::thread m_worker;
};
