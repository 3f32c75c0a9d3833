#include "filedownload.h"

#include "apicall.h"
#include "apiroad.h"
#include "cloudlog.h"
#include "requestengine.h"
#include "retrypolicy.h"
#include "streamreply.h"
#include "tokensource.h"
#include "uploadtransport.h"

#include <QNetworkReply>
#include <QRegularExpression>

#include <limits>

namespace {

ICloudLog* logger()
{
    return CloudLog::instance();
}

// "bytes a-b/total" of a 206 answer; false when it is not one.
bool contentRange(const QByteArray& header, qint64* first, qint64* total)
{
    static const QRegularExpression form(QStringLiteral("^bytes (\\d+)-(\\d+)/(\\d+|\\*)$"));
    const QRegularExpressionMatch match = form.match(QString::fromLatin1(header.trimmed()));
    if (!match.hasMatch())
        return false;
    *first = match.captured(1).toLongLong();
    *total = match.captured(3) == QLatin1String("*") ? -1 : match.captured(3).toLongLong();
    return true;
}

} // namespace

FileDownload::FileDownload(ApiRoad& road, const CloudEntry& file, const QString& localPath, LinkCall linkCall,
                           QObject* parent)
    : CloudJob(parent), m_road(road), m_entry(file), m_file(localPath), m_linkCall(std::move(linkCall)),
      m_authorized(false)
{
    m_pause.setSingleShot(true);
    connect(&m_pause, &QTimer::timeout, this, &FileDownload::locate);
}

FileDownload::FileDownload(ApiRoad& road, const CloudEntry& file, const QString& localPath, const QUrl& address,
                           QObject* parent)
    : CloudJob(parent), m_road(road), m_entry(file), m_file(localPath), m_address(address), m_authorized(true)
{
    m_pause.setSingleShot(true);
    connect(&m_pause, &QTimer::timeout, this, &FileDownload::locate);
}

FileDownload::~FileDownload()
{
    stop();
}

void FileDownload::begin()
{
    if (!m_file.open(QIODevice::ReadWrite)) {
        fail(CloudError(CloudError::LocalFile, tr("cannot write %1: %2").arg(m_file.fileName(), m_file.errorString())));
        return;
    }
    m_have = m_file.size();
    if (m_entry.size >= 0 && m_have > m_entry.size) {
        // Not a part of this file: it starts over.
        m_file.resize(0);
        m_have = 0;
    }
    if (m_entry.size >= 0 && m_have == m_entry.size) {
        complete();
        return;
    }
    locate();
}

void FileDownload::stop()
{
    m_pause.stop();
    delete m_call.data();
    if (m_reply) {
        m_reply->disconnect(this);
        RequestEngine::abandon(m_reply);
    }
    m_file.close(); // what arrived stays for the next attempt
}

void FileDownload::locate()
{
    if (m_authorized || !m_address.isEmpty()) {
        authorizeAndFetch(QByteArray());
        return;
    }
    m_call = m_linkCall(this);
    connect(m_call, &ApiCall::retrying, this, &FileDownload::retrying);
    connect(m_call, &ApiCall::ended, this, [this] {
        ApiCall* call = m_call;
        m_call = nullptr;
        call->deleteLater();
        const QUrl link(call->answer().value(QStringLiteral("link")).toString(), QUrl::StrictMode);
        if (call->error().isError())
            fail(call->error());
        else if (link.scheme() != QLatin1String("https"))
            fail(CloudError(CloudError::BadReply, tr("no link to the file's bytes")));
        else {
            m_address = link;
            fetch(QByteArray());
        }
    });
    m_call->start();
}

void FileDownload::authorizeAndFetch(const QByteArray& refused)
{
    m_road.tokens().authorize(refused, this, [this](const QByteArray& authorization, const CloudError& error) {
        if (hasEnded())
            return;
        if (error.isError())
            fail(error);
        else
            fetch(authorization);
    });
}

void FileDownload::fetch(const QByteArray& authorization)
{
    QNetworkRequest request(m_address);
    m_authorization = authorization;
    if (!authorization.isEmpty())
        request.setRawHeader("Authorization", authorization);
    if (m_have > 0)
        request.setRawHeader("Range", "bytes=" + QByteArray::number(m_have) + '-');
    m_attemptStart = m_have;
    m_reply = m_road.transport().fetch(request, &m_file, m_have);
    m_road.engine().watch(m_reply, 0, std::numeric_limits<qint64>::max());
    connect(m_reply, &QNetworkReply::downloadProgress, this,
            [this](qint64 position, qint64) { emit progressed(position, m_entry.size); });
    connect(m_reply, &QNetworkReply::finished, this, &FileDownload::onFinished);
}

bool FileDownload::acceptRange(QNetworkReply* reply, int status)
{
    if (status == 200) {
        m_attemptStart = 0; // the whole file, from its first byte
        return true;
    }
    qint64 first = 0;
    qint64 total = 0;
    if (!contentRange(reply->rawHeader("Content-Range"), &first, &total) || first != m_attemptStart
        || (m_entry.size >= 0 && total >= 0 && total != m_entry.size)) {
        fail(CloudError(CloudError::BadReply, tr("the service answered another part of the file (%1)")
                                                  .arg(QString::fromLatin1(reply->rawHeader("Content-Range")))));
        return false;
    }
    return true;
}

void FileDownload::onFinished()
{
    QNetworkReply* reply = m_reply;
    m_reply = nullptr;
    reply->deleteLater();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if ((status == 200 || status == 206) && !acceptRange(reply, status))
        return;
    // The bytes land in the file in order: its size is how far it is,
    // however the attempt ended (a cut, a stall, an abort).
    const qint64 before = m_have;
    m_have = m_file.size();
    const CloudError failure = m_road.engine().failureOf(reply).isError()
        ? m_road.failureOf(reply, reply->isOpen() ? reply->readAll() : QByteArray())
        : CloudError();
    if (status == 416 && m_entry.size >= 0 && m_have == m_entry.size) {
        complete();
        return;
    }
    if (m_have > before)
        m_retries = 0; // bytes arrived: a new count of failures without progress
    if (failure.isError()) {
        logger()->logLine(LOG_WRN, "%s: download of %s: %s", m_road.serviceName(), m_entry.name.toUtf8().constData(),
                          failure.text().toUtf8().constData());
        if (failure.kind() == CloudError::Unauthorized && m_authorized && !m_renewed) {
            m_renewed = true;
            authorizeAndFetch(m_authorization);
        } else if ((failure.kind() == CloudError::NotFound || status == 410 || status == 403) && m_linkCall
                   && !m_relinked) {
            // A temporary link lives a few hours: a new one, once.
            m_relinked = true;
            m_address.clear();
            locate();
        } else {
            tryAgain(failure);
        }
        return;
    }
    if (m_entry.size >= 0 && m_have < m_entry.size) {
        tryAgain(CloudError(CloudError::Incomplete, tr("%1 of %2 bytes").arg(m_have).arg(m_entry.size)));
        return;
    }
    complete();
}

void FileDownload::tryAgain(const CloudError& why)
{
    if (!why.isTransient() || m_retries >= RetryPolicy::kMaxRetries) {
        fail(why);
        return;
    }
    ++m_retries;
    const int pause = RetryPolicy::pauseBefore(why, m_retries, m_road.firstPauseMs());
    emit retrying(why, pause, m_retries);
    m_pause.start(pause);
}

void FileDownload::fail(const CloudError& error)
{
    m_error = error;
    stop();
    finish(Failed, error.text());
}

void FileDownload::complete()
{
    // The size the service stored, checked: a longer local file is cut to it.
    if (m_entry.size >= 0 && m_have != m_entry.size) {
        fail(CloudError(CloudError::Incomplete, tr("%1 of %2 bytes").arg(m_have).arg(m_entry.size)));
        return;
    }
    if (!m_file.resize(m_have) || !m_file.flush()) {
        fail(CloudError(CloudError::LocalFile, m_file.errorString()));
        return;
    }
    m_file.close();
    finish(Done);
}
