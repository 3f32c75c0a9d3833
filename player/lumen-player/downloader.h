#pragma once

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QUrl>

#include <functional>
#include <memory>
#include <vector>

class QFile;
class QNetworkReply;

// The player's downloads: every address queued in its download manager is
// fetched into the downloads folder, checked against the size announced for
// it, and can be tried again when it failed. Google Drive addresses name a
// file of the Drive API; its media is fetched with a bearer token the
// player obtains from the cloud plug-in.
class Downloader : public QObject
{
    Q_OBJECT
public:
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

signals:
    void added(int id);
    void changed(int id);
    // The attempt ended, done or failed.
    void ended(int id);

private:
    struct Job;

    void start(int id);
    void received(int id);
    void finished(int id);
    void fail(int id, const QString& why);
    QString freePath(const QString& name) const;

    QString m_folder;
    TokenSource m_googleToken;
    QNetworkAccessManager m_network;
    std::vector<std::unique_ptr<Job>> m_downloads;
};
