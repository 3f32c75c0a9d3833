#include "drivefiles.h"

#include "apiroad.h"
#include "driveanswers.h"
#include "drivechoice.h"
#include "drivelisting.h"
#include "drivelookup.h"
#include "filedownload.h"

#include <QUrl>

DriveFiles::DriveFiles(TokenSource& tokens, QObject* parent)
    : CloudFiles(new ApiRoad("Google Drive", tokens, &DriveAnswers::describe), parent)
{
}

QString DriveFiles::serviceName() const
{
    return QStringLiteral("Google Drive");
}

void DriveFiles::preconnect()
{
    road().preconnect(QLatin1String(DriveAnswers::kApiHost));
}

CloudEntry DriveFiles::top() const
{
    CloudEntry top;
    top.id = QStringLiteral("root");
    top.folder = true;
    top.mimeType = QLatin1String(DriveAnswers::kFolderType);
    return top;
}

PagedListing* DriveFiles::list(const CloudEntry& folder, QObject* parent)
{
    return new DriveListing(road(), DriveListing::Folder, folder, QString(), parent);
}

PagedListing* DriveFiles::search(const QString& text, QObject* parent)
{
    auto* listing = new DriveListing(road(), DriveListing::Search, top(), text, parent);
    listing->findPaths(&m_folderPaths);
    return listing;
}

ChoiceJob* DriveFiles::choose(const CloudEntries& files, QObject* parent)
{
    return new DriveChoice(files, parent);
}

EntryLookup* DriveFiles::lookup(const QString& path, QObject* parent)
{
    return new DriveLookup(*this, path, parent);
}

FileDownload* DriveFiles::download(const CloudEntry& file, const QString& localPath, QObject* parent)
{
    return new FileDownload(road(), file, localPath, mediaUrl(file.id), parent);
}

QUrl DriveFiles::mediaUrl(const QString& fileId)
{
    return QUrl(QStringLiteral("https://%1/drive/v3/files/%2?alt=media")
                    .arg(QLatin1String(DriveAnswers::kApiHost),
                         QString::fromLatin1(QUrl::toPercentEncoding(fileId))));
}
