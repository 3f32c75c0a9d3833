#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <atomic>
#include <functional>
#include <thread>

typedef void CURLM;

// One GET on a thread of its own, through libcurl. The body of an answer
// that is taken goes into a file as it arrives, so memory stays flat
// whatever the file's size and the peer's speed, and the main thread hears
// how far it got only every so often: a Qt network reply hands it every
// read of the socket, twice over with a bounded buffer. The application's
// proxy applies, and exactly the authorities Qt's default configuration
// trusts; every certificate error refuses the connection.
class HttpFetch : public QObject
{
    Q_OBJECT
public:
    using Headers = QList<QPair<QByteArray, QByteArray>>;
    struct Head {
        int status = 0;
        QByteArray reason;
        Headers headers;
        // The last of that name, whatever its case; empty when none.
        QByteArray header(const QByteArray& name) const;
    };
    // What becomes of an answer, decided on the fetch's thread as soon as its
    // head arrived: its body written into the file from `offset` (the file
    // cut there first), left out (an error's page), or the fetch ended with
    // a reason.
    struct Verdict {
        bool take = false;
        qint64 offset = 0;
        qint64 most = -1; // bytes of body it may bring; -1: any
        QString refusal;
    };
    // Runs on the fetch's thread: it may only read what it captured.
    using Judge = std::function<Verdict(const Head&)>;
    enum Ending { Complete, Refused, Aborted, NetworkFailed, WriteFailed };

    static constexpr int kReportEveryMs = 100;
    // An answer's head larger than this is not one.
    static constexpr int kMostHeadBytes = 256 * 1024;

    // The file at `path` must exist; it is written, never created.
    HttpFetch(const QUrl& url, const Headers& headers, const QString& path, Judge judge, QObject* parent = nullptr);
    // An unfinished fetch is stopped and waited for, without finished().
    ~HttpFetch() override;

    // Ends it early; finished() follows.
    void abort();

    // Bytes of the body written to the file so far.
    qint64 written() const { return m_written.load(); }
    // The head, once it arrived and was judged; null before.
    const Head* head() const { return m_judged.load() ? &m_head : nullptr; }
    const Verdict& verdict() const { return m_verdict; }
    // After finished():
    Ending ending() const { return m_ending; }
    QString errorText() const { return m_error; }
    // A cut or a failing network, as opposed to one that refused.
    bool transient() const { return m_transient; }

signals:
    // More bytes were written, or the head arrived, since it was last said.
    void progressed();
    void finished();

private:
    struct Call;

    void run(Call call);
    void report();
    void end();
    static size_t takeHeader(char* buffer, size_t size, size_t count, void* fetch);
    static size_t takeBody(char* buffer, size_t size, size_t count, void* fetch);
    static int checkAbort(void* fetch, long long, long long, long long, long long);

    Judge m_judge;
    int m_fd = -1;
    CURLM* m_multi = nullptr;
    QTimer m_reporter;
    qint64 m_reported = -1;
    bool m_headReported = false;

    // Written by the worker; read by the main thread once it said so.
    Head m_head;
    Verdict m_verdict;
    Ending m_ending = Complete;
    QString m_error;
    bool m_transient = false;
    int m_writeError = 0;
    int m_headBytes = 0;
    QString m_refusal; // the verdict's, or the fetch's own

    std::atomic<qint64> m_written{0};
    std::atomic<bool> m_judged{false};
    std::atomic<bool> m_aborted{false};
    std::thread m_worker;
};
