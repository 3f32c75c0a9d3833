#include "downloader.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
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

// The name an answer gives its file (Content-Disposition), empty when none.
QString dispositionName(const QByteArray& header)
{
    static const QRegularExpression encoded(QStringLiteral("filename\\*=UTF-8''([^;]+)"),
                                            QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression quoted(QStringLiteral("filename=\"([^\"]*)\""),
                                           QRegularExpression::CaseInsensitiveOption);
    const QString text = QString::fromUtf8(header);
    const QRegularExpressionMatch utf8 = encoded.match(text);
    if (utf8.hasMatch())
        return QUrl::fromPercentEncoding(utf8.captured(1).trimmed().toUtf8());
    return quoted.match(text).captured(1);
}

// "bytes a-b/total" or "bytes */total"; false when it is neither.
bool contentRange(const QByteArray& header, qint64* first, qint64* total)
{
    static const QRegularExpression form(QStringLiteral("^bytes (?:(\\d+)-\\d+|\\*)/(\\d+)$"));
    const QRegularExpressionMatch match = form.match(QString::fromLatin1(header.trimmed()));
    *first = match.captured(1).isEmpty() ? -1 : match.captured(1).toLongLong();
    *total = match.captured(2).toLongLong();
    return match.hasMatch();
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
    int attempts = 0;     // in a row, without a byte
    qint64 attemptStart = 0;
    QString partName;     // the .part file's, chosen once
    QPointer<QNetworkReply> reply;
    std::unique_ptr<QFile> file;
    QElapsedTimer clock;
    qint64 takenAt = 0; // ms on the clock when arrived bytes were last taken
    QTimer stall;
    QString abandoned; // why the player ended the attempt itself
    bool transient = false;
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
        Job& held = *m_downloads[size_t(id)];
        if (held.reply && held.reply->bytesAvailable() > 0) {
            received(id, true); // bytes came since they were last taken: not a stall yet
            return;
        }
        const Download& stalled = download(id);
        const QString of = stalled.announced >= 0 ? tr(" of %1").arg(stalled.announced) : QString();
        abandon(id,
                tr("no byte arrived for %1 s (%2%3 bytes received)")
                    .arg(m_stallLimitMs / 1000.0)
                    .arg(stalled.received)
                    .arg(of),
                true);
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
    m_downloads[size_t(id)]->attempts = 0;
    start(id);
    return true;
}

void Downloader::start(int id)
{
    Job& job = *m_downloads[size_t(id)];
    job.info.state = Running;
    job.info.announced = job.expected;
    job.info.why.clear();
    job.abandoned.clear();
    job.transient = false;
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
    if (job.partName.isEmpty())
        job.partName = QDir(m_folder).filePath(job.info.name + QStringLiteral(".part"));
    // What an earlier attempt left is continued, not fetched again.
    job.file = std::make_unique<QFile>(job.partName);
    if (!job.file->open(QIODevice::ReadWrite) || !job.file->seek(job.file->size())) {
        fail(id, tr("cannot write %1: %2").arg(job.file->fileName(), job.file->errorString()));
        return;
    }
    job.attemptStart = job.file->size();
    job.info.received = job.attemptStart;
    if (job.attemptStart > 0)
        request.setRawHeader("Range", "bytes=" + QByteArray::number(job.attemptStart) + '-');
    job.clock.start();
    job.takenAt = 0;
    job.reply = m_network.get(request);
    // Qt holds no more than this of the answer: the rest waits in the network.
    job.reply->setReadBufferSize(kReadBufferBytes);
    connect(job.reply, &QNetworkReply::metaDataChanged, this, [this, id] { checkAnswer(id); });
    connect(job.reply, &QNetworkReply::readyRead, this, [this, id] { received(id, false); });
    connect(job.reply, &QNetworkReply::finished, this, [this, id] { finished(id); });
    job.stall.start(m_stallLimitMs);
    emit changed(id);
}

bool Downloader::acceptRange(Job& job, int status)
{
    qint64 first = 0;
    qint64 total = 0;
    const bool range = contentRange(job.reply->rawHeader("Content-Range"), &first, &total);
    if (status == 206 && (!range || first != job.attemptStart))
        return false;
    if (status == 206 && job.expected >= 0 && total != job.expected)
        return false;
    if (status == 206)
        job.info.announced = total;
    if (status == 200 && job.attemptStart > 0) {
        // The whole file instead of the rest: it starts over.
        job.file->resize(0);
        job.file->seek(0);
        job.attemptStart = 0;
        job.info.received = 0;
    }
    return true;
}

void Downloader::checkAnswer(int id)
{
    Job& job = *m_downloads[size_t(id)];
    if (!job.reply)
        return;
    const int status = job.reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status < 200 || status > 299)
        return; // the ending says what the service answered
    if (!acceptRange(job, status)) {
        abandon(id, tr("the service answered another part of the file (%1)")
                        .arg(QString::fromLatin1(job.reply->rawHeader("Content-Range"))));
        return;
    }
    const QString named = dispositionName(job.reply->rawHeader("Content-Disposition"));
    if (job.driveId.isEmpty() && !named.isEmpty())
        job.info.name = safeName(named); // a link need not carry the file's name; its answer does
    const QString type = job.reply->header(QNetworkRequest::ContentTypeHeader).toString();
    if (type.startsWith(QLatin1String("text/html"), Qt::CaseInsensitive) && isVideoName(job.info.name)) {
        abandon(id, tr("the service answered a web page, not the video"));
        return;
    }
    const QVariant header = job.reply->header(QNetworkRequest::ContentLengthHeader);
    if (!header.isValid() || status == 206)
        return;
    const qint64 length = header.toLongLong();
    if (job.expected >= 0 && length != job.expected) {
        abandon(id, tr("the service announced %1 bytes, not the %2 of the file").arg(length).arg(job.expected));
        return;
    }
    job.info.announced = length;
    emit changed(id);
}

void Downloader::received(int id, bool all)
{
    Job& job = *m_downloads[size_t(id)];
    if (!job.reply)
        return;
    // Written in large pieces, one write and one update each rather than
    // one per network read, while Qt's bounded buffer keeps the rest; a
    // slow answer is still taken every so often.
    if (!all && job.reply->bytesAvailable() < kWriteBytes && job.clock.elapsed() - job.takenAt < kTakeEveryMs)
        return;
    job.takenAt = job.clock.elapsed();
    const QByteArray bytes = job.reply->readAll();
    const int status = job.reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status < 200 || status > 299)
        return; // an error's page is not the file's
    if (job.file->write(bytes) != bytes.size()) {
        abandon(id, tr("cannot write %1: %2").arg(job.file->fileName(), job.file->errorString()));
        return;
    }
    job.stall.start(m_stallLimitMs);
    job.info.received += bytes.size();
    job.info.bytesPerSecond =
        (job.info.received - job.attemptStart) * 1000.0 / qMax<qint64>(1, job.clock.elapsed());
    emit changed(id);
}

void Downloader::abandon(int id, const QString& why, bool transient)
{
    Job& job = *m_downloads[size_t(id)];
    job.abandoned = why;
    job.transient = transient;
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
    // What arrived before a cut or a stall is the file's too: the next
    // attempt continues after it.
    if (job.abandoned.isEmpty() || job.transient)
        received(id, true);
    reply->deleteLater();
    job.reply = nullptr;
    job.file->close();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const bool moved = job.info.received > job.attemptStart;
    job.attempts = moved ? 1 : job.attempts + 1;
    qint64 first = 0;
    qint64 total = 0;
    if (status == 416 && contentRange(reply->rawHeader("Content-Range"), &first, &total)
        && job.info.received == total && (job.expected < 0 || total == job.expected)) {
        job.info.announced = total; // it was whole already
        keep(id);
        return;
    }
    const QNetworkReply::NetworkError error = reply->error();
    // Cut, stalled, or the service failing for a while: continued from
    // where the file stops, unless nothing arrives again and again.
    const bool transient = job.abandoned.isEmpty() ? (status >= 500 || error == QNetworkReply::RemoteHostClosedError
                                                      || error == QNetworkReply::TimeoutError
                                                      || error == QNetworkReply::TemporaryNetworkFailureError)
                                                   : job.transient;
    const QString why = !job.abandoned.isEmpty() ? job.abandoned
        : status                                 ? tr("the service answered %1 (%2)").arg(status).arg(reply->errorString())
                                                 : reply->errorString();
    if (job.abandoned.isEmpty() && status == 401 && !job.driveId.isEmpty() && !job.tokenRefused) {
        // The service refused the token: a fresh one, once.
        job.tokenRefused = true;
        start(id);
        return;
    }
    if (!job.abandoned.isEmpty() || error != QNetworkReply::NoError) {
        if (transient && job.attempts < kMaxAttempts) {
            start(id);
            return;
        }
        fail(id, why, transient);
        return;
    }
    if (job.info.announced >= 0 && job.info.received < job.info.announced && job.attempts < kMaxAttempts) {
        start(id); // ended early without a word: the rest
        return;
    }
    if (job.info.announced >= 0 && job.info.received != job.info.announced) {
        fail(id, tr("received %1 of %2 bytes").arg(job.info.received).arg(job.info.announced), true);
        return;
    }
    keep(id);
}

void Downloader::keep(int id)
{
    Job& job = *m_downloads[size_t(id)];
    job.info.path = freePath(job.info.name);
    if (!job.file->rename(job.info.path)) {
        fail(id, tr("cannot keep it as %1").arg(job.info.path));
        return;
    }
    job.partName.clear();
    job.info.state = Done;
    emit changed(id);
    emit ended(id);
}

void Downloader::fail(int id, const QString& why, bool resumable)
{
    Job& job = *m_downloads[size_t(id)];
    // What arrived stays for the next try, unless it is not the file's.
    if (job.file && (!resumable || job.file->size() == 0)) {
        job.file->remove();
        job.partName.clear();
    }
    job.file.reset();
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
