#include "downloader.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

namespace {

const char* const kDriveHost = "www.googleapis.com";
const char* const kDrivePath = "/drive/v3/files/";

// ".../drive/v3/files/<id>/<size>/<name>": the file's id, size and name.
bool driveFile(const QUrl& address, QString* id, qint64* size, QString* name)
{
    if (address.host() != QLatin1String(kDriveHost) || !address.path().startsWith(QLatin1String(kDrivePath)))
        return false;
    const QStringList parts = address.path(QUrl::FullyEncoded).mid(int(qstrlen(kDrivePath))).split(QLatin1Char('/'));
    if (parts.size() != 3)
        return false;
    bool number = false;
    *id = parts.at(0);
    *size = parts.at(1).toLongLong(&number);
    *name = QUrl::fromPercentEncoding(parts.at(2).toUtf8());
    return number && !id->isEmpty();
}

// A name to save under: no folders, nothing hidden.
QString safeName(QString name)
{
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    while (name.startsWith(QLatin1Char('.')))
        name.remove(0, 1);
    return name.isEmpty() ? QStringLiteral("download") : name;
}

bool isVideoName(const QString& name)
{
    static const QMimeDatabase types;
    return types.mimeTypeForFile(name, QMimeDatabase::MatchExtension).name().startsWith(QLatin1String("video/"));
}

} // namespace

struct Downloader::Job {
    Download info;
    qint64 expected = -1; // the size the address gives; -1 unknown
    QString driveId;      // empty: fetched as given
    bool tokenRefused = false;
    QPointer<QNetworkReply> reply;
    std::unique_ptr<QFile> file;
    QElapsedTimer clock;
    QTimer stall;
    QString abandoned; // why the player ended the attempt itself
};

Downloader::Downloader(QString folder, TokenSource googleToken, QObject* parent)
    : QObject(parent), m_folder(std::move(folder)), m_googleToken(std::move(googleToken))
{
}

Downloader::~Downloader()
{
    for (const std::unique_ptr<Job>& job : m_downloads) {
        if (job->reply) {
            job->reply->disconnect(this);
            job->reply->abort();
        }
    }
}

const Downloader::Download& Downloader::download(int id) const
{
    return m_downloads.at(size_t(id))->info;
}

int Downloader::add(const QUrl& address)
{
    auto job = std::make_unique<Job>();
    job->info.address = address;
    if (driveFile(address, &job->driveId, &job->expected, &job->info.name)) {
        job->info.service = QStringLiteral("Google Drive");
    } else {
        job->info.service = address.host().contains(QLatin1String("dropbox")) ? QStringLiteral("Dropbox")
                                                                               : address.host();
        job->info.name = address.fileName(QUrl::FullyDecoded);
    }
    job->info.name = safeName(job->info.name);
    job->stall.setSingleShot(true);
    const int id = count();
    connect(&job->stall, &QTimer::timeout, this, [this, id] {
        const Download& stalled = download(id);
        const QString of = stalled.announced >= 0 ? tr(" of %1").arg(stalled.announced) : QString();
        abandon(id, tr("no byte arrived for %1 s (%2%3 bytes received)")
                        .arg(m_stallLimitMs / 1000.0)
                        .arg(stalled.received)
                        .arg(of));
    });
    m_downloads.push_back(std::move(job));
    emit added(id);
    start(id);
    return id;
}

bool Downloader::retry(int id)
{
    if (id < 0 || id >= count() || m_downloads[size_t(id)]->info.state != Failed)
        return false;
    m_downloads[size_t(id)]->tokenRefused = false;
    start(id);
    return true;
}

void Downloader::start(int id)
{
    Job& job = *m_downloads[size_t(id)];
    job.info.state = Running;
    job.info.received = 0;
    job.info.announced = job.expected;
    job.info.why.clear();
    job.abandoned.clear();
    QNetworkRequest request(job.info.address);
    if (!job.driveId.isEmpty()) {
        request.setUrl(QUrl(QStringLiteral("https://%1%2%3?alt=media")
                                .arg(QLatin1String(kDriveHost), QLatin1String(kDrivePath), job.driveId)));
        const QString token = m_googleToken ? m_googleToken(job.tokenRefused) : QString();
        if (token.isEmpty()) {
            fail(id, tr("no Google Drive token from the plug-in"));
            return;
        }
        request.setRawHeader("Authorization", "Bearer " + token.toLatin1());
    }
    QDir().mkpath(m_folder);
    job.file = std::make_unique<QFile>(QDir(m_folder).filePath(job.info.name + QStringLiteral(".part")));
    if (!job.file->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        fail(id, tr("cannot write %1: %2").arg(job.file->fileName(), job.file->errorString()));
        return;
    }
    job.clock.start();
    job.reply = m_network.get(request);
    connect(job.reply, &QNetworkReply::metaDataChanged, this, [this, id] { checkAnswer(id); });
    connect(job.reply, &QNetworkReply::readyRead, this, [this, id] { received(id); });
    connect(job.reply, &QNetworkReply::finished, this, [this, id] { finished(id); });
    job.stall.start(m_stallLimitMs);
    emit changed(id);
}

void Downloader::checkAnswer(int id)
{
    Job& job = *m_downloads[size_t(id)];
    if (!job.reply)
        return;
    const int status = job.reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status < 200 || status > 299)
        return; // the ending says what the service answered
    const QString type = job.reply->header(QNetworkRequest::ContentTypeHeader).toString();
    if (type.startsWith(QLatin1String("text/html"), Qt::CaseInsensitive) && isVideoName(job.info.name)) {
        abandon(id, tr("the service answered a web page, not the video"));
        return;
    }
    const QVariant header = job.reply->header(QNetworkRequest::ContentLengthHeader);
    if (!header.isValid())
        return;
    const qint64 length = header.toLongLong();
    if (job.expected >= 0 && length != job.expected) {
        abandon(id, tr("the service announced %1 bytes, not the %2 of the file").arg(length).arg(job.expected));
        return;
    }
    job.info.announced = length;
    emit changed(id);
}

void Downloader::received(int id)
{
    Job& job = *m_downloads[size_t(id)];
    if (!job.reply)
        return;
    const QByteArray bytes = job.reply->readAll();
    if (job.file->write(bytes) != bytes.size()) {
        abandon(id, tr("cannot write %1: %2").arg(job.file->fileName(), job.file->errorString()));
        return;
    }
    job.stall.start(m_stallLimitMs);
    job.info.received += bytes.size();
    job.info.bytesPerSecond = job.info.received * 1000.0 / qMax<qint64>(1, job.clock.elapsed());
    emit changed(id);
}

void Downloader::abandon(int id, const QString& why)
{
    Job& job = *m_downloads[size_t(id)];
    job.abandoned = why;
    // Ends in finished(), at once, unless the reply has already finished.
    if (job.reply)
        job.reply->abort();
}

void Downloader::finished(int id)
{
    Job& job = *m_downloads[size_t(id)];
    QNetworkReply* reply = job.reply;
    if (!reply)
        return;
    job.stall.stop();
    if (reply->error() == QNetworkReply::NoError && job.abandoned.isEmpty())
        received(id);
    reply->deleteLater();
    job.reply = nullptr;
    job.file->close();
    if (!job.abandoned.isEmpty()) {
        fail(id, job.abandoned);
        return;
    }
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 401 && !job.driveId.isEmpty() && !job.tokenRefused) {
        // The service refused the token: a fresh one, once.
        job.tokenRefused = true;
        start(id);
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        fail(id, status ? tr("the service answered %1 (%2)").arg(status).arg(reply->errorString()) : reply->errorString());
        return;
    }
    if (job.info.announced >= 0 && job.info.received != job.info.announced) {
        fail(id, tr("received %1 of %2 bytes").arg(job.info.received).arg(job.info.announced));
        return;
    }
    job.info.path = freePath(job.info.name);
    if (!job.file->rename(job.info.path)) {
        fail(id, tr("cannot keep it as %1").arg(job.info.path));
        return;
    }
    job.info.state = Done;
    emit changed(id);
    emit ended(id);
}

void Downloader::fail(int id, const QString& why)
{
    Job& job = *m_downloads[size_t(id)];
    if (job.file) {
        job.file->remove();
        job.file.reset();
    }
    job.info.state = Failed;
    job.info.why = why;
    emit changed(id);
    emit ended(id);
}

QString Downloader::freePath(const QString& name) const
{
    const QDir folder(m_folder);
    QString path = folder.filePath(name);
    const QFileInfo info(name);
    for (int n = 1; QFileInfo::exists(path); ++n) {
        const QString suffix = info.suffix().isEmpty() ? QString() : QLatin1Char('.') + info.suffix();
        path = folder.filePath(QStringLiteral("%1 (%2)%3").arg(info.completeBaseName()).arg(n).arg(suffix));
    }
    return path;
}
