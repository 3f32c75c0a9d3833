#include "downloader.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>
#include <QNetworkRequest>

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

} // namespace

struct Downloader::Job {
    Download info;
    QString driveId; // empty: fetched as given
    bool tokenRefused = false;
    QPointer<QNetworkReply> reply;
    std::unique_ptr<QFile> file;
    QElapsedTimer clock;
};

Downloader::Downloader(QString folder, TokenSource googleToken, QObject* parent)
    : QObject(parent), m_folder(std::move(folder)), m_googleToken(std::move(googleToken))
{
}

Downloader::~Downloader()
{
    for (const std::unique_ptr<Job>& job : m_downloads) {
        if (job->reply)
            job->reply->abort();
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
    if (driveFile(address, &job->driveId, &job->info.announced, &job->info.name)) {
        job->info.service = QStringLiteral("Google Drive");
    } else {
        job->info.service = address.host().contains(QLatin1String("dropbox")) ? QStringLiteral("Dropbox")
                                                                               : address.host();
        job->info.name = address.fileName(QUrl::FullyDecoded);
    }
    job->info.name = safeName(job->info.name);
    m_downloads.push_back(std::move(job));
    const int id = count() - 1;
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
    job.info.why.clear();
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
    connect(job.reply, &QNetworkReply::readyRead, this, [this, id] { received(id); });
    connect(job.reply, &QNetworkReply::finished, this, [this, id] { finished(id); });
    emit changed(id);
}

void Downloader::received(int id)
{
    Job& job = *m_downloads[size_t(id)];
    const QByteArray bytes = job.reply->readAll();
    if (job.file->write(bytes) != bytes.size()) {
        job.reply->abort();
        return;
    }
    job.info.received += bytes.size();
    if (job.info.announced < 0) {
        const QVariant length = job.reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid())
            job.info.announced = length.toLongLong();
    }
    job.info.bytesPerSecond = job.info.received * 1000.0 / qMax<qint64>(1, job.clock.elapsed());
    emit changed(id);
}

void Downloader::finished(int id)
{
    Job& job = *m_downloads[size_t(id)];
    QNetworkReply* reply = job.reply;
    if (reply->error() == QNetworkReply::NoError)
        received(id);
    reply->deleteLater();
    job.reply = nullptr;
    job.file->close();
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
