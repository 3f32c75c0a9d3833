#include "downloader.h"

#include "httpfetch.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QElapsedTimer>
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

// What an attempt knows before its answer comes.
struct Expected {
    qint64 size = -1;   // the address's; -1 unknown
    qint64 from = 0;    // where the .part file stops
    bool named = false; // the address names the file: an answer's name is not taken
    QString name;
};

// What an answer's head says of the file.
struct Reading {
    bool file = false;  // the file's bytes, to be taken
    qint64 offset = 0;  // where they go in the .part file
    qint64 announced = -1;
    QString name;
    QString refusal;
};

Reading readHead(const HttpFetch::Head& head, const Expected& expected)
{
    Reading reading;
    reading.name = expected.name;
    reading.announced = expected.size;
    if (head.status < 200 || head.status > 299)
        return reading; // the ending says what the service answered
    qint64 first = 0;
    qint64 total = 0;
    const QByteArray range = head.header("Content-Range");
    if (head.status == 206) {
        if (!contentRange(range, &first, &total) || first != expected.from || (expected.size >= 0 && total != expected.size)) {
            reading.refusal = Downloader::tr("the service answered another part of the file (%1)").arg(QString::fromLatin1(range));
            return reading;
        }
        reading.offset = first;
        reading.announced = total;
    }
    // The whole file instead of the rest starts over, at offset 0.
    const QString named = dispositionName(head.header("Content-Disposition"));
    if (!expected.named && !named.isEmpty())
        reading.name = safeName(named); // a link need not carry the file's name; its answer does
    if (head.header("Content-Type").toLower().startsWith("text/html") && isVideoName(reading.name)) {
        reading.refusal = Downloader::tr("the service answered a web page, not the video");
        return reading;
    }
    bool number = false;
    const qint64 length = head.header("Content-Length").toLongLong(&number);
    if (head.status != 206 && number) {
        if (expected.size >= 0 && length != expected.size) {
            reading.refusal =
                Downloader::tr("the service announced %1 bytes, not the %2 of the file").arg(length).arg(expected.size);
            return reading;
        }
        reading.announced = length;
    }
    reading.file = true;
    return reading;
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
    Expected expecting;   // of the attempt in flight
    std::unique_ptr<HttpFetch> fetch;
    bool headTaken = false;
    QElapsedTimer clock;
    QTimer stall;
    QString abandoned; // why the player ended the attempt itself
    bool transient = false;
};

Downloader::Downloader(QString folder, TokenSource googleToken, QObject* parent)
    : QObject(parent), m_folder(std::move(folder)), m_googleToken(std::move(googleToken))
{
}

// The fetches in flight stop with their jobs, without a word.
Downloader::~Downloader() = default;

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
        progressed(id); // bytes that came since they were last counted start it again
        if (m_downloads[size_t(id)]->stall.isActive())
            return;
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
    job.headTaken = false;
    QUrl url = job.info.address;
    HttpFetch::Headers headers;
    if (!job.driveId.isEmpty()) {
        url = QUrl(QStringLiteral("https://%1%2%3?alt=media")
                       .arg(QLatin1String(kDriveHost), QLatin1String(kDrivePath), job.driveId));
        const QString token = m_googleToken ? m_googleToken(job.tokenRefused) : QString();
        if (token.isEmpty()) {
            fail(id, tr("no Google Drive token from the plug-in"), true);
            return;
        }
        headers.append({"Authorization", "Bearer " + token.toLatin1()});
    }
    QDir().mkpath(m_folder);
    if (job.partName.isEmpty())
        job.partName = QDir(m_folder).filePath(job.info.name + QStringLiteral(".part"));
    // What an earlier attempt left is continued, not fetched again.
    QFile part(job.partName);
    if (!part.open(QIODevice::ReadWrite)) {
        fail(id, tr("cannot write %1: %2").arg(part.fileName(), part.errorString()));
        return;
    }
    job.attemptStart = part.size();
    part.close();
    job.info.received = job.attemptStart;
    if (job.attemptStart > 0)
        headers.append({"Range", "bytes=" + QByteArray::number(job.attemptStart) + '-'});
    job.expecting = Expected{job.expected, job.attemptStart, !job.driveId.isEmpty(), job.info.name};
    job.fetch = std::make_unique<HttpFetch>(
        url, headers, job.partName,
        [expected = job.expecting](const HttpFetch::Head& head) {
            const Reading reading = readHead(head, expected);
            // No more than the file's bytes, whether the answer said how many or not.
            const qint64 most = reading.announced >= 0 ? reading.announced - reading.offset : -1;
            return HttpFetch::Verdict{reading.file, reading.offset, most, reading.refusal};
        },
        this);
    connect(job.fetch.get(), &HttpFetch::progressed, this, [this, id] { progressed(id); });
    connect(job.fetch.get(), &HttpFetch::finished, this, [this, id] { finished(id); });
    job.clock.start();
    job.stall.start(m_stallLimitMs);
    emit changed(id);
}

void Downloader::progressed(int id)
{
    Job& job = *m_downloads[size_t(id)];
    if (!job.fetch)
        return;
    if (!job.headTaken && job.fetch->head()) {
        job.headTaken = true;
        const Reading reading = readHead(*job.fetch->head(), job.expecting);
        job.info.name = reading.name;
        if (reading.file) {
            job.info.announced = reading.announced;
            job.attemptStart = reading.offset; // 0: the whole file came instead of the rest
        }
    }
    const qint64 received = job.attemptStart + job.fetch->written();
    if (received != job.info.received)
        job.stall.start(m_stallLimitMs);
    job.info.received = received;
    job.info.bytesPerSecond = (received - job.attemptStart) * 1000.0 / qMax<qint64>(1, job.clock.elapsed());
    emit changed(id);
}

void Downloader::abandon(int id, const QString& why, bool transient)
{
    Job& job = *m_downloads[size_t(id)];
    job.abandoned = why;
    job.transient = transient;
    if (job.fetch)
        job.fetch->abort(); // ends in finished()
}

QString Downloader::failure(const Job& job, bool* transient) const
{
    *transient = job.transient;
    if (!job.abandoned.isEmpty())
        return job.abandoned;
    const HttpFetch& fetch = *job.fetch;
    *transient = fetch.transient();
    switch (fetch.ending()) {
    case HttpFetch::Refused:
    case HttpFetch::NetworkFailed:
    case HttpFetch::Aborted:
        return fetch.errorText();
    case HttpFetch::WriteFailed:
        return tr("cannot write %1: %2").arg(job.partName, fetch.errorText());
    case HttpFetch::Complete:
        break;
    }
    const HttpFetch::Head* head = fetch.head();
    if (!head)
        return tr("the service sent no answer");
    *transient = head->status >= 500;
    if (head->status < 200 || head->status > 299)
        return tr("the service answered %1 (%2)").arg(head->status).arg(QString::fromLatin1(head->reason));
    return QString();
}

void Downloader::finished(int id)
{
    Job& job = *m_downloads[size_t(id)];
    if (!job.fetch)
        return;
    progressed(id);
    job.stall.stop();
    bool transient = false;
    const QString why = failure(job, &transient);
    // Its answer is read here; it goes once this signal of its is over.
    HttpFetch* ended = job.fetch.release();
    ended->deleteLater();
    const int status = ended->head() ? ended->head()->status : 0;
    const bool moved = job.info.received > job.attemptStart;
    job.attempts = moved ? 1 : job.attempts + 1;
    qint64 first = 0;
    qint64 total = 0;
    if (status == 416 && contentRange(ended->head()->header("Content-Range"), &first, &total)
        && job.info.received == total && (job.expected < 0 || total == job.expected)) {
        job.info.announced = total; // it was whole already
        keep(id);
        return;
    }
    if (job.abandoned.isEmpty() && status == 401 && !job.driveId.isEmpty() && !job.tokenRefused) {
        // The service refused the token: a fresh one, once.
        job.tokenRefused = true;
        start(id);
        return;
    }
    // Cut, stalled, or the service failing for a while: continued from
    // where the file stops, unless nothing arrives again and again.
    if (!why.isEmpty()) {
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
    if (!QFile::rename(job.partName, job.info.path)) {
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
    if (!job.partName.isEmpty() && (!resumable || QFileInfo(job.partName).size() == 0)) {
        QFile::remove(job.partName);
        job.partName.clear();
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
