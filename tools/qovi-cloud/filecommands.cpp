#include "filecommands.h"

#include "cloudfiles.h"
#include "driveanswers.h"
#include "entrylookup.h"
#include "filedownload.h"
#include "interruptwatcher.h"
#include "toolconsole.h"
#include "pagedlisting.h"
#include "progressbar.h"
#include "retryline.h"

#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <memory>

namespace {

QJsonObject jsonOf(const CloudEntry& entry)
{
    QJsonObject object{{"name", entry.name}, {"id", entry.id},
                       {"type", entry.folder ? QStringLiteral("folder") : QStringLiteral("file")}};
    if (!entry.path.isEmpty())
        object.insert(QStringLiteral("path"), entry.path);
    if (entry.size >= 0)
        object.insert(QStringLiteral("size"), double(entry.size));
    if (entry.modified.isValid())
        object.insert(QStringLiteral("modified"), entry.modified.toUTC().toString(Qt::ISODate));
    if (!entry.mimeType.isEmpty())
        object.insert(QStringLiteral("mimeType"), entry.mimeType);
    return object;
}

} // namespace

FileCommands::FileCommands(CloudFiles& files, InterruptWatcher& interrupts) : m_files(files), m_interrupts(interrupts)
{
}

QString FileCommands::service() const
{
    return m_files.serviceName();
}

QString FileCommands::line(const CloudEntry& entry, const Format& format, bool path)
{
    if (format.json)
        return QString::fromUtf8(QJsonDocument(jsonOf(entry)).toJson(QJsonDocument::Compact));
    QString name = path && !entry.path.isEmpty() ? entry.path : entry.name;
    if (entry.folder)
        name += QLatin1Char('/');
    if (!format.longForm)
        return name;
    const QString size = entry.size >= 0 ? CloudEntry::readableSize(quint64(entry.size)) : QStringLiteral("-");
    const QString date = entry.modified.isValid()
        ? entry.modified.toLocalTime().toString(QStringLiteral("yyyy-MM-dd hh:mm"))
        : QStringLiteral("-");
    return QStringLiteral("%1  %2  %3").arg(size, 10).arg(date, 16).arg(name);
}

void FileCommands::sayRetry(const CloudError& why, int pauseMs, int attempt)
{
    ToolConsole::complain(RetryLine::text(service(), why, pauseMs, attempt));
}

bool FileCommands::runToEnd(CloudJob* job)
{
    QEventLoop loop;
    connect(job, &CloudJob::ended, &loop, &QEventLoop::quit);
    connect(&m_interrupts, &InterruptWatcher::interrupted, job, &CloudJob::cancel);
    job->start();
    if (!job->hasEnded() && !InterruptWatcher::signalled())
        loop.exec();
    job->cancel(); // an interruption before the loop ran
    return !InterruptWatcher::signalled();
}

bool FileCommands::lookup(const QString& path, CloudEntry* entry)
{
    const std::unique_ptr<EntryLookup> lookup(m_files.lookup(path, nullptr));
    connect(lookup.get(), &EntryLookup::retrying, this, &FileCommands::sayRetry);
    if (!runToEnd(lookup.get()))
        return false;
    if (lookup->ending() != CloudJob::Done) {
        ToolConsole::complain(lookup->error().kind() == CloudError::NotFound
                     ? QStringLiteral("%1: nothing at %2").arg(service(), path)
                     : QStringLiteral("%1: %2: %3").arg(service(), path, lookup->reason()));
        return false;
    }
    *entry = lookup->entry();
    return true;
}

bool FileCommands::print(CloudJob* job, const Format& format, bool paths, CloudEntries* folders)
{
    auto* listing = static_cast<PagedListing*>(job);
    connect(listing, &PagedListing::retrying, this, &FileCommands::sayRetry);
    connect(listing, &PagedListing::pageArrived, this, [&](const CloudEntries& entries) {
        for (const CloudEntry& entry : entries) {
            ToolConsole::say(line(entry, format, paths));
            if (entry.folder && folders)
                folders->append(entry);
        }
        std::fflush(stdout);
        // Every page of it, one after the other.
        QMetaObject::invokeMethod(listing, &PagedListing::fetchMore, Qt::QueuedConnection);
    });
    return runToEnd(listing);
}

int FileCommands::list(const QString& folder, const Format& format)
{
    const QString path = folder.isEmpty() ? QStringLiteral("/") : folder;
    // Where a path is enough to list a folder, the first page is one call away.
    CloudEntry top = m_files.folderAt(path);
    if (!top.folder && !lookup(path, &top))
        return InterruptWatcher::signalled() ? ToolConsole::Interrupted : ToolConsole::Failed;
    if (!top.folder) {
        ToolConsole::say(line(top, format, false));
        return ToolConsole::Ok;
    }
    CloudEntries pending{top};
    while (!pending.isEmpty()) {
        const CloudEntry current = pending.takeFirst();
        CloudEntries folders;
        const std::unique_ptr<PagedListing> listing(m_files.list(current, nullptr));
        if (!print(listing.get(), format, format.recursive, format.recursive ? &folders : nullptr))
            return ToolConsole::Interrupted;
        const CloudError::Kind why = listing->error().kind();
        if (listing->ending() == CloudJob::Failed && current == top && top.id.isEmpty()
            && (why == CloudError::NotFound || why == CloudError::PathConflict)) {
            // Listed by its path alone, it may be a file, or nothing.
            CloudEntry found;
            if (!lookup(path, &found))
                return InterruptWatcher::signalled() ? ToolConsole::Interrupted : ToolConsole::Failed;
            if (!found.folder) {
                ToolConsole::say(line(found, format, false));
                return ToolConsole::Ok;
            }
        }
        if (listing->ending() != CloudJob::Done) {
            ToolConsole::complain(QStringLiteral("%1: %2 could not be listed: %3")
                         .arg(service(), current.path.isEmpty() ? QStringLiteral("/") : current.path, listing->reason()));
            return ToolConsole::Failed;
        }
        pending = folders + pending; // depth first, in the listing's order
    }
    return ToolConsole::Ok;
}

int FileCommands::search(const QString& text, const Format& format)
{
    const std::unique_ptr<PagedListing> listing(m_files.search(text, nullptr));
    if (!print(listing.get(), format, true, nullptr))
        return ToolConsole::Interrupted;
    if (listing->ending() != CloudJob::Done) {
        ToolConsole::complain(QStringLiteral("%1: the search failed: %2").arg(service(), listing->reason()));
        return ToolConsole::Failed;
    }
    return ToolConsole::Ok;
}

int FileCommands::download(const QString& remote, const QString& local)
{
    // Where it goes is checked before anything is asked of the service.
    QString target = local.isEmpty() ? QFileInfo(remote).fileName() : local;
    if (QFileInfo(target).isDir())
        target = QDir(target).filePath(QFileInfo(remote).fileName());
    if (target.isEmpty() || QFileInfo::exists(target)) {
        ToolConsole::complain(target.isEmpty() ? QStringLiteral("usage: qovi-cloud download REMOTE [LOCAL]")
                                  : QStringLiteral("%1 exists; remove it or name another LOCAL").arg(target));
        return ToolConsole::Usage;
    }
    CloudEntry file;
    if (!lookup(remote, &file))
        return InterruptWatcher::signalled() ? ToolConsole::Interrupted : ToolConsole::Failed;
    if (file.folder || DriveAnswers::isGoogleDocument(file)) {
        ToolConsole::complain(file.folder ? QStringLiteral("%1 is a folder").arg(remote)
                             : QStringLiteral("%1 is a Google document: it has no file to download").arg(remote));
        return ToolConsole::Usage;
    }
    const QString part = target + QStringLiteral(".part");
    const std::unique_ptr<FileDownload> download(m_files.download(file, part, nullptr));
    ProgressBar bar(file.name, stdout);
    connect(download.get(), &FileDownload::retrying, this, &FileCommands::sayRetry);
    connect(download.get(), &FileDownload::progressed, this, [&bar](qint64 done, qint64 total) { bar.update(done, total); });
    if (QFileInfo(part).size() > 0)
        ToolConsole::say(QStringLiteral("continuing %1 from %2").arg(part, CloudEntry::readableSize(quint64(QFileInfo(part).size()))));
    const bool ran = runToEnd(download.get());
    const QString kept = QStringLiteral("%1 holds %2 of %3; run the command again to continue")
                             .arg(part, CloudEntry::readableSize(quint64(download->received())),
                                  CloudEntry::readableSize(quint64(qMax<qint64>(file.size, 0))));
    if (!ran) {
        bar.finish(QStringLiteral("interrupted: %1").arg(remote));
        ToolConsole::complain(kept);
        return ToolConsole::Interrupted;
    }
    if (download->ending() != CloudJob::Done) {
        bar.finish(QStringLiteral("failed: %1").arg(remote));
        ToolConsole::complain(QStringLiteral("%1: %2").arg(remote, download->reason()));
        if (download->received() > 0)
            ToolConsole::complain(kept);
        return ToolConsole::Failed;
    }
    if (!QFile::rename(part, target)) {
        ToolConsole::complain(QStringLiteral("cannot name %1 %2").arg(part, target));
        return ToolConsole::Failed;
    }
    bar.finish(QStringLiteral("downloaded: %1 -> %2 (%3)")
                   .arg(remote, target, CloudEntry::readableSize(quint64(download->received()))));
    return ToolConsole::Ok;
}
