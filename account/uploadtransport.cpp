#include "uploadtransport.h"

#include "contentdigest.h"

#include "streamreply.h"
#include "streamtransfer.h"

#include <QFileDevice>
#include <QIODevice>
#include <QNetworkProxy>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QSslConfiguration>

#include <curl/curl.h>

#include <chrono>
#include <fcntl.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Progress is told at most this often: each report is a cross-thread event.
constexpr auto kReportEvery = std::chrono::milliseconds(100);
constexpr long kUploadBuffer = 64 * 1024; // larger buffers cost more in page copies than they save in calls
constexpr long kDownloadBuffer = 128 * 1024;
constexpr qint64 kMaxAnswerBytes = 4 * 1024 * 1024;

void initLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

QByteArray proxyOf()
{
    const QNetworkProxy proxy = QNetworkProxy::applicationProxy();
    if (proxy.type() != QNetworkProxy::HttpProxy)
        return QByteArray();
    return proxy.hostName().toLatin1() + ':' + QByteArray::number(proxy.port());
}

// Exactly the authorities Qt's default configuration trusts: the ones a host
// put there, or, when it holds none, the system's.
QByteArray authoritiesOf()
{
    QByteArray pem;
    for (const QSslCertificate& certificate : QSslConfiguration::defaultConfiguration().caCertificates())
        pem += certificate.toPem();
    return pem;
}

int duplicateHandle(QIODevice* file)
{
    auto* fileDevice = qobject_cast<QFileDevice*>(file);
    if (!fileDevice || fileDevice->handle() < 0)
        return -1;
    return ::fcntl(fileDevice->handle(), F_DUPFD_CLOEXEC, 0);
}

} // namespace

struct UploadTransport::Job {
    UploadTransport* transport;
    std::shared_ptr<StreamTransfer> transfer;
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    char error[CURL_ERROR_SIZE] = {};
    Clock::time_point reported;
    qint64 reportedBytes = -1;

    ~Job()
    {
        curl_slist_free_all(headers);
        if (easy)
            curl_easy_cleanup(easy);
        for (int* fd : {&transfer->fd, &transfer->sinkFd}) {
            if (*fd >= 0)
                ::close(*fd);
            *fd = -1;
        }
    }
};

UploadTransport::UploadTransport(QObject* parent) : QObject(parent)
{
    initLibrary();
    m_multi = curl_multi_init();
    m_worker = std::thread([this] { run(); });
}

UploadTransport::~UploadTransport()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    curl_multi_wakeup(m_multi);
    m_worker.join();
    curl_multi_cleanup(m_multi);
}

StreamReply* UploadTransport::send(QNetworkAccessManager::Operation operation, const QNetworkRequest& request,
                                   QIODevice* file, qint64 offset, qint64 length,
                                   const std::shared_ptr<ContentDigest>& digest)
{
    auto transfer = std::make_shared<StreamTransfer>();
    transfer->digest = digest;
    transfer->method = operation == QNetworkAccessManager::PutOperation ? "PUT" : "POST";
    transfer->url = request.url().toEncoded();
    const QVariant type = request.header(QNetworkRequest::ContentTypeHeader);
    if (type.isValid() && !request.hasRawHeader("Content-Type"))
        transfer->headers.append({"Content-Type", type.toByteArray()});
    for (const QByteArray& name : request.rawHeaderList()) {
        if (name.compare("Content-Length", Qt::CaseInsensitive) != 0) // curl sends the body's own
            transfer->headers.append({name, request.rawHeader(name)});
    }
    transfer->fd = length > 0 ? duplicateHandle(file) : -1;
    transfer->offset = offset;
    transfer->length = transfer->fd >= 0 ? length : 0;
    if (length > 0 && transfer->fd < 0)
        transfer->canceled = true; // nothing to read from: it ends as it starts
    return queue(transfer, operation, request);
}

StreamReply* UploadTransport::fetch(const QNetworkRequest& request, QIODevice* file, qint64 offset)
{
    auto transfer = std::make_shared<StreamTransfer>();
    transfer->method = "GET";
    transfer->url = request.url().toEncoded();
    for (const QByteArray& name : request.rawHeaderList())
        transfer->headers.append({name, request.rawHeader(name)});
    transfer->sinkFd = duplicateHandle(file);
    transfer->sinkOffset = offset;
    if (transfer->sinkFd < 0)
        transfer->canceled = true; // nowhere to write: it ends as it starts
    return queue(transfer, QNetworkAccessManager::GetOperation, request);
}

StreamReply* UploadTransport::queue(const std::shared_ptr<StreamTransfer>& transfer,
                                    QNetworkAccessManager::Operation operation, const QNetworkRequest& request)
{
    transfer->proxy = proxyOf();
    transfer->authorities = authoritiesOf();
    transfer->maxReplyBytes = kMaxAnswerBytes;
    auto* reply = new StreamReply(operation, request, transfer, nullptr);
    transfer->reply = reply;
    connect(reply, &StreamReply::canceled, this, [this] { curl_multi_wakeup(m_multi); });
    if (transfer->canceled) {
        QMetaObject::invokeMethod(reply, &StreamReply::complete, Qt::QueuedConnection);
        return reply;
    }
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back(transfer);
    }
    curl_multi_wakeup(m_multi);
    return reply;
}

// ---------------------------------------------------------------------------
// The worker thread

void UploadTransport::run()
{
    for (;;) {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stopping)
                break;
        }
        startQueued();
        endCanceled();
        int running = 0;
        curl_multi_perform(m_multi, &running);
        collectFinished();
        curl_multi_poll(m_multi, nullptr, 0, 1000, nullptr);
    }
    for (const std::unique_ptr<Job>& job : m_active)
        curl_multi_remove_handle(m_multi, job->easy);
    m_active.clear();
}

void UploadTransport::startQueued()
{
    std::deque<std::shared_ptr<StreamTransfer>> queued;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        queued.swap(m_queue);
    }
    for (std::shared_ptr<StreamTransfer>& transfer : queued) {
        auto job = std::make_unique<Job>();
        job->transport = this;
        job->transfer = std::move(transfer);
        StreamTransfer& t = *job->transfer;
        CURL* easy = job->easy = curl_easy_init();
        curl_easy_setopt(easy, CURLOPT_URL, t.url.constData());
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
        if (t.method == "GET") {
            curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
            curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kDownloadBuffer);
        } else if (t.method == "PUT") {
            curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
            curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, curl_off_t(t.length));
        } else {
            curl_easy_setopt(easy, CURLOPT_POST, 1L);
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(t.length));
        }
        curl_easy_setopt(easy, CURLOPT_READFUNCTION, &UploadTransport::readBody);
        curl_easy_setopt(easy, CURLOPT_READDATA, job.get());
        curl_easy_setopt(easy, CURLOPT_UPLOAD_BUFFERSIZE, kUploadBuffer);
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &UploadTransport::takeHeader);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, job.get());
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &UploadTransport::takeBody);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, job.get());
        curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &UploadTransport::moved);
        curl_easy_setopt(easy, CURLOPT_XFERINFODATA, job.get());
        curl_easy_setopt(easy, CURLOPT_PRIVATE, job.get());
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, job->error);
        // Only the headers the request names: none of curl's own defaults.
        for (const auto& [name, value] : t.headers)
            job->headers = curl_slist_append(job->headers, (name + ": " + value).constData());
        job->headers = curl_slist_append(job->headers, "Expect:");
        job->headers = curl_slist_append(job->headers, "Accept:");
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, job->headers);
        // The application's proxy or none: never one from the environment.
        curl_easy_setopt(easy, CURLOPT_PROXY, t.proxy.constData());
        curl_easy_setopt(easy, CURLOPT_HTTPPROXYTUNNEL, t.proxy.isEmpty() ? 0L : 1L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
        if (!t.authorities.isEmpty()) {
            curl_blob blob{t.authorities.data(), size_t(t.authorities.size()), CURL_BLOB_NOCOPY};
            curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
            curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr);
        }
        job->reported = Clock::now();
        curl_multi_add_handle(m_multi, easy);
        m_active.push_back(std::move(job));
    }
}

void UploadTransport::endCanceled()
{
    for (auto it = m_active.begin(); it != m_active.end();) {
        if ((*it)->transfer->canceled) {
            curl_multi_remove_handle(m_multi, (*it)->easy);
            it = m_active.erase(it);
        } else {
            ++it;
        }
    }
}

void UploadTransport::collectFinished()
{
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(m_multi, &left)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        Job* done = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &done);
        StreamTransfer& t = *done->transfer;
        t.curlCode = message->data.result;
        long verify = 0;
        curl_easy_getinfo(message->easy_handle, CURLINFO_SSL_VERIFYRESULT, &verify);
        t.verifyResult = verify;
        t.curlMessage = done->error[0] ? done->error : curl_easy_strerror(message->data.result);
        curl_multi_remove_handle(m_multi, message->easy_handle);
        report(done->transfer, true);
        for (auto it = m_active.begin(); it != m_active.end(); ++it) {
            if (it->get() == done) {
                m_active.erase(it);
                break;
            }
        }
    }
}

void UploadTransport::report(const std::shared_ptr<StreamTransfer>& transfer, bool done)
{
    const bool download = transfer->method == "GET";
    const qint64 base = transfer->status == 206 ? transfer->sinkOffset : 0;
    const qint64 sent = download ? base + transfer->received : transfer->sent;
    const qint64 total = download ? base + transfer->receiving : transfer->length;
    // Runs on the main thread, where the reply lives; a reply deleted
    // meanwhile is simply not told.
    QMetaObject::invokeMethod(
        this,
        [transfer, sent, total, done] {
            if (!transfer->reply || transfer->canceled)
                return;
            if (done)
                transfer->reply->complete();
            else
                transfer->reply->progressed(sent, total);
        },
        Qt::QueuedConnection);
}

size_t UploadTransport::readBody(char* buffer, size_t size, size_t count, void* data)
{
    auto* job = static_cast<Job*>(data);
    StreamTransfer& t = *job->transfer;
    if (t.canceled)
        return CURL_READFUNC_ABORT;
    const qint64 wanted = qMin<qint64>(qint64(size * count), t.length - t.sent);
    if (wanted <= 0)
        return 0;
    // Straight from the file into curl's buffer: no copy of our own.
    const ssize_t read = ::pread(t.fd, buffer, size_t(wanted), off_t(t.offset + t.sent));
    if (read <= 0)
        return CURL_READFUNC_ABORT; // the file ended early or failed
    if (t.digest)
        t.digest->read(t.offset + t.sent, buffer, read);
    t.sent += read;
    return size_t(read);
}

size_t UploadTransport::takeHeader(char* buffer, size_t size, size_t count, void* data)
{
    StreamTransfer& t = *static_cast<Job*>(data)->transfer;
    const QByteArray line = QByteArray(buffer, int(size * count)).trimmed();
    if (line.startsWith("HTTP/")) {
        // A new status line (after a 100 Continue, say) starts the answer over.
        t.status = line.split(' ').value(1).toInt();
        t.replyHeaders.clear();
    } else if (const int colon = line.indexOf(':'); colon > 0) {
        t.replyHeaders.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
    }
    return size * count;
}

size_t UploadTransport::takeBody(char* buffer, size_t size, size_t count, void* data)
{
    StreamTransfer& t = *static_cast<Job*>(data)->transfer;
    if (t.canceled)
        return 0;
    if (t.sinkFd >= 0 && t.status >= 200 && t.status < 300) {
        // Straight into the file: nothing of it is held here. A range goes
        // where it belongs; any other answer is the whole file, over
        // whatever the file held.
        const qint64 base = t.status == 206 ? t.sinkOffset : 0;
        if (base == 0 && t.received == 0 && t.sinkOffset > 0 && ::ftruncate(t.sinkFd, 0) != 0) {
            t.sinkFailed = true;
            return 0;
        }
        size_t written = 0;
        while (written < size * count) {
            const ssize_t done = ::pwrite(t.sinkFd, buffer + written, size * count - written,
                                          off_t(base + t.received + qint64(written)));
            if (done <= 0) {
                t.sinkFailed = true;
                return 0; // ends the transfer
            }
            written += size_t(done);
        }
        t.received += qint64(written);
        return written;
    }
    if (t.body.size() + qint64(size * count) > t.maxReplyBytes) {
        t.tooLarge = true;
        return 0; // ends the transfer
    }
    t.body.append(buffer, int(size * count));
    return size * count;
}

int UploadTransport::moved(void* data, long long downTotal, long long, long long, long long upNow)
{
    auto* job = static_cast<Job*>(data);
    StreamTransfer& t = *job->transfer;
    if (t.canceled)
        return 1;
    const bool download = t.method == "GET";
    // A download's progress is where its file ends now.
    const qint64 moved = download ? (t.status == 206 ? t.sinkOffset : 0) + t.received : upNow;
    if (download && t.status >= 200 && t.status < 300)
        t.receiving = downTotal;
    const Clock::time_point now = Clock::now();
    if (moved != job->reportedBytes && (now - job->reported >= kReportEvery || (!download && moved == t.length))) {
        job->reported = now;
        job->reportedBytes = moved;
        job->transport->report(job->transfer, false);
    }
    return 0;
}
