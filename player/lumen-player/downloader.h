#pragma once

#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <vector>

// The player's downloads: every address queued in its download manager is
// fetched into the downloads folder, checked against the size announced for
// it, and can be tried again when it failed. Google Drive addresses name a
// file of the Drive API and its size; its media is fetched with a bearer
// token the player obtains from the cloud plug-in. A web page answered for
// a video is refused, and a download that goes a while without a byte
// fails, as the accounts' requests do. The bytes go to a ".part" file as
// they arrive, on a thread of their own: a cut connection, a stall or a
// failing service is continued where the file stops, with a byte range,
// a few times by itself and whenever the user tries again.
class Downloader : public QObject
{
    Q_OBJECT
public:
    static constexpr int kStallLimitMs = 30000;
    // Attempts in a row that bring no byte, before a download fails.
    static constexpr int kMaxAttempts = 3;

    enum State { Running, Done, Failed };
    struct Download {
        QUrl address;
        QString name;
        QString service;
        qint64 announced = -1; // the size the address or the answer announced; -1 unknown
        qint64 received = 0;
        double bytesPerSecond = 0;
        State state = Running;
        QString why;  // Failed: in plain words
        QString path; // Done: where it is
    };
    // A Google Drive access token; refused: the last one was refused.
    using TokenSource = std::function<QString(bool refused)>;

    Downloader(QString folder, TokenSource googleToken, QObject* parent = nullptr);
    ~Downloader() override;

    // Starts fetching an address; answers its number.
    int add(const QUrl& address);
    bool retry(int id);
    int count() const { return int(m_downloads.size()); }
    const Download& download(int id) const;
    QString folder() const { return m_folder; }
    // How long a download may go without a byte arriving.
    void setStallLimit(int milliseconds) { m_stallLimitMs = milliseconds; }

signals:
    void added(int id);
    void changed(int id);
    // The attempt ended, done or failed.
    void ended(int id);

private:
    struct Job;

    void start(int id);
    // Takes what the fetch in flight says of its answer and its bytes.
    void progressed(int id);
    void finished(int id);
    // Why an attempt that did not bring the file ended; empty: it did.
    QString failure(const Job& job, bool* transient) const;
    void keep(int id);
    // Ends the attempt in flight with a reason of the player's own; a
    // transient one is continued later, the others fail it.
    void abandon(int id, const QString& why, bool transient = false);
    // A resumable failure keeps what arrived for the next try.
    void fail(int id, const QString& why, bool resumable = false);
    QString freePath(const QString& name) const;

    QString m_folder;
    TokenSource m_googleToken;
    int m_stallLimitMs = kStallLimitMs;
    std::vector<std::unique_ptr<Job>> m_downloads;
};
