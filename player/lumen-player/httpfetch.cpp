#include "httpfetch.h"

#include <QFile>
#include <QNetworkProxy>
#include <QSslCertificate>
#include <QSslConfiguration>

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

namespace {

constexpr long kBufferBytes = 128 * 1024;

struct EasyFree {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct ListFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

} // namespace

// What the worker needs, prepared on the main thread.
struct HttpFetch::Call {
    QByteArray url;
    QList<QByteArray> headers;
    QByteArray proxy;       // "host:port", empty for none
    QByteArray authorities; // PEM; empty: the system's
};

QByteArray HttpFetch::Head::header(const QByteArray& name) const
{
    QByteArray value;
    for (const QPair<QByteArray, QByteArray>& pair : headers) {
        if (pair.first.compare(name, Qt::CaseInsensitive) == 0)
            value = pair.second;
    }
    return value;
}

HttpFetch::HttpFetch(const QUrl& url, const Headers& headers, const QString& path, Judge judge, QObject* parent)
    : QObject(parent), m_judge(std::move(judge))
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    Call call;
    call.url = url.toEncoded();
    for (const QPair<QByteArray, QByteArray>& header : headers)
        call.headers.append(header.first + ": " + header.second);
    const QNetworkProxy proxy = QNetworkProxy::applicationProxy();
    if (proxy.type() == QNetworkProxy::HttpProxy)
        call.proxy = proxy.hostName().toLatin1() + ':' + QByteArray::number(proxy.port());
    for (const QSslCertificate& authority : QSslConfiguration::defaultConfiguration().caCertificates())
        call.authorities += authority.toPem();
    m_fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CLOEXEC);
    m_multi = curl_multi_init();
    connect(&m_reporter, &QTimer::timeout, this, &HttpFetch::report);
    m_reporter.start(kReportEveryMs);
    if (m_fd < 0) {
        m_ending = WriteFailed;
        m_error = QString::fromLocal8Bit(std::strerror(errno));
        QMetaObject::invokeMethod(this, &HttpFetch::end, Qt::QueuedConnection);
        return;
    }
    m_worker = std::thread(&HttpFetch::run, this, std::move(call));
}

HttpFetch::~HttpFetch()
{
    m_aborted = true;
    curl_multi_wakeup(m_multi);
    if (m_worker.joinable())
        m_worker.join();
    curl_multi_cleanup(m_multi);
    if (m_fd >= 0)
        ::close(m_fd);
}

void HttpFetch::abort()
{
    m_aborted = true;
    curl_multi_wakeup(m_multi);
}

void HttpFetch::report()
{
    const qint64 now = written();
    const bool headNew = head() && !m_headReported;
    if (now == m_reported && !headNew)
        return;
    m_reported = now;
    m_headReported = m_headReported || headNew;
    emit progressed();
}

void HttpFetch::end()
{
    if (m_worker.joinable())
        m_worker.join(); // it has said all it will
    m_reporter.stop();
    report();
    emit finished();
}

void HttpFetch::run(Call call)
{
    // Declared before the handle that points at them, so they outlive it.
    std::unique_ptr<curl_slist, ListFree> list;
    for (const QByteArray& header : call.headers)
        list.reset(curl_slist_append(list.release(), header.constData()));
    char error[CURL_ERROR_SIZE] = {};
    std::unique_ptr<CURL, EasyFree> easy(curl_easy_init());
    CURL* e = easy.get();
    curl_easy_setopt(e, CURLOPT_URL, call.url.constData());
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, list.get());
    curl_easy_setopt(e, CURLOPT_BUFFERSIZE, kBufferBytes);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &HttpFetch::takeHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &HttpFetch::takeBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &HttpFetch::checkAbort);
    curl_easy_setopt(e, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, error);
    // The application's proxy or none: never one from the environment.
    curl_easy_setopt(e, CURLOPT_PROXY, call.proxy.constData());
    curl_easy_setopt(e, CURLOPT_HTTPPROXYTUNNEL, call.proxy.isEmpty() ? 0L : 1L);
    curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!call.authorities.isEmpty()) {
        curl_blob blob{call.authorities.data(), size_t(call.authorities.size()), CURL_BLOB_NOCOPY};
        curl_easy_setopt(e, CURLOPT_CAINFO_BLOB, &blob);
        curl_easy_setopt(e, CURLOPT_CAPATH, nullptr);
    }
    curl_multi_add_handle(m_multi, e);
    CURLcode code = CURLE_OK;
    for (int running = 1; running;) {
        curl_multi_perform(m_multi, &running);
        if (m_aborted) {
            code = CURLE_ABORTED_BY_CALLBACK;
            break;
        }
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(m_multi, &left)) {
            if (message->msg == CURLMSG_DONE)
                code = message->data.result;
        }
        if (running)
            curl_multi_poll(m_multi, nullptr, 0, 1000, nullptr);
    }
    curl_multi_remove_handle(m_multi, e);
    if (m_aborted)
        m_ending = Aborted;
    else if (!m_refusal.isEmpty())
        m_ending = Refused;
    else if (m_writeError)
        m_ending = WriteFailed;
    else if (code != CURLE_OK)
        m_ending = NetworkFailed;
    m_error = m_ending == Refused ? m_refusal
        : m_ending == WriteFailed ? QString::fromLocal8Bit(std::strerror(m_writeError))
                                  : QString::fromUtf8(error[0] ? error : curl_easy_strerror(code));
    m_transient = code == CURLE_PARTIAL_FILE || code == CURLE_RECV_ERROR || code == CURLE_SEND_ERROR
        || code == CURLE_GOT_NOTHING || code == CURLE_OPERATION_TIMEDOUT || code == CURLE_SSL_CONNECT_ERROR;
    QMetaObject::invokeMethod(this, &HttpFetch::end, Qt::QueuedConnection);
}

size_t HttpFetch::takeHeader(char* buffer, size_t size, size_t count, void* data)
{
    auto* fetch = static_cast<HttpFetch*>(data);
    if (fetch->m_judged)
        return size * count; // trailers: the head is the main thread's to read now
    fetch->m_headBytes += int(size * count);
    if (fetch->m_headBytes > kMostHeadBytes) {
        fetch->m_refusal = tr("the service's answer began with more than %1 KiB of headers").arg(kMostHeadBytes / 1024);
        return 0;
    }
    const QByteArray line = QByteArray(buffer, int(size * count)).trimmed();
    Head& head = fetch->m_head;
    if (line.startsWith("HTTP/")) {
        // A new status line (after a 100 Continue) starts the answer over.
        head = Head();
        fetch->m_headBytes = int(size * count);
        const QList<QByteArray> parts = line.split(' ');
        head.status = parts.value(1).toInt();
        head.reason = parts.mid(2).join(' ');
    } else if (const int colon = line.indexOf(':'); colon > 0) {
        head.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
    } else if (line.isEmpty() && head.status >= 200) {
        fetch->m_verdict = fetch->m_judge(head);
        if (fetch->m_verdict.take && ::ftruncate(fetch->m_fd, off_t(fetch->m_verdict.offset)) != 0)
            fetch->m_writeError = errno;
        fetch->m_refusal = fetch->m_verdict.refusal;
        fetch->m_judged = true;
        if (fetch->m_writeError || !fetch->m_refusal.isEmpty())
            return 0; // ends the transfer
    }
    return size * count;
}

size_t HttpFetch::takeBody(char* buffer, size_t size, size_t count, void* data)
{
    auto* fetch = static_cast<HttpFetch*>(data);
    if (!fetch->m_verdict.take)
        return size * count; // not the file's: left out
    const qint64 most = fetch->m_verdict.most;
    if (most >= 0 && fetch->m_written.load() + qint64(size * count) > most) {
        fetch->m_refusal = tr("the service sent more than the %1 bytes it was to send").arg(most);
        return 0; // ends the transfer
    }
    size_t written = 0;
    const qint64 at = fetch->m_verdict.offset + fetch->m_written.load();
    while (written < size * count) {
        const ssize_t done = ::pwrite(fetch->m_fd, buffer + written, size * count - written, off_t(at + qint64(written)));
        if (done <= 0) {
            fetch->m_writeError = done < 0 ? errno : ENOSPC;
            return 0; // ends the transfer
        }
        written += size_t(done);
    }
    fetch->m_written += qint64(written);
    return written;
}

int HttpFetch::checkAbort(void* data, long long, long long, long long, long long)
{
    return static_cast<HttpFetch*>(data)->m_aborted ? 1 : 0;
}
