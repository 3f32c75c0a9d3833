#include "dropboxfiles.h"

#include "apicall.h"
#include "apiroad.h"
#include "dropboxanswers.h"
#include "dropboxchoice.h"
#include "dropboxlisting.h"
#include "dropboxlookup.h"
#include "filedownload.h"

#include <QJsonDocument>
#include <QUrl>

DropboxFiles::DropboxFiles(TokenSource& tokens, QObject* parent)
    : CloudFiles(new ApiRoad("Dropbox", tokens, &DropboxAnswers::describe), parent)
{
}

QString DropboxFiles::serviceName() const
{
    return QStringLiteral("Dropbox");
}

void DropboxFiles::preconnect()
{
    road().preconnect(QLatin1String(DropboxAnswers::kApiHost));
}

CloudEntry DropboxFiles::top() const
{
    CloudEntry top;
    top.folder = true; // its path is the empty one
    return top;
}

PagedListing* DropboxFiles::list(const CloudEntry& folder, QObject* parent)
{
    return new DropboxListing(road(), DropboxListing::Folder, folder.path, parent);
}

PagedListing* DropboxFiles::search(const QString& text, QObject* parent)
{
    return new DropboxListing(road(), DropboxListing::Search, text, parent);
}

ChoiceJob* DropboxFiles::choose(const CloudEntries& files, QObject* parent)
{
    return new DropboxChoice(*this, files, parent);
}

EntryLookup* DropboxFiles::lookup(const QString& path, QObject* parent)
{
    return new DropboxLookup(*this, path, parent);
}

CloudEntry DropboxFiles::folderAt(const QString& path) const
{
    CloudEntry folder = top();
    const QStringList names = EntryLookup::namesOf(path);
    if (!names.isEmpty())
        folder.path = QLatin1Char('/') + names.join(QLatin1Char('/'));
    folder.name = names.value(names.size() - 1);
    return folder;
}

FileDownload* DropboxFiles::download(const CloudEntry& file, const QString& localPath, QObject* parent)
{
    return new FileDownload(road(), file, localPath, [this, file](QObject* owner) { return linkCall(file, owner); },
                            parent);
}

ApiCall* DropboxFiles::linkCall(const CloudEntry& file, QObject* parent)
{
    return rpcCall("/2/files/get_temporary_link", {{"path", file.id.isEmpty() ? file.path : file.id}}, parent);
}

ApiCall* DropboxFiles::rpcCall(const char* path, const QJsonObject& arguments, QObject* parent)
{
    const QUrl address(QStringLiteral("https://%1%2").arg(QLatin1String(DropboxAnswers::kApiHost), QLatin1String(path)));
    return new ApiCall(road(), QNetworkRequest(address), QJsonDocument(arguments).toJson(QJsonDocument::Compact), parent);
}
