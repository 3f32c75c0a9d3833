#include "dropboxlookup.h"

#include "apicall.h"
#include "dropboxanswers.h"
#include "dropboxfiles.h"

DropboxLookup::DropboxLookup(DropboxFiles& files, const QString& path, QObject* parent)
    : EntryLookup(files.road(), path, parent), m_files(files)
{
}

void DropboxLookup::begin()
{
    const QStringList names = namesOf(m_path);
    if (names.isEmpty()) {
        found(m_files.top());
        return;
    }
    const QString path = QLatin1Char('/') + names.join(QLatin1Char('/'));
    call(m_files.rpcCall("/2/files/get_metadata", {{"path", path}}, this), [this](const QJsonObject& answer) {
        const CloudEntry entry = DropboxAnswers::entry(answer);
        if (entry.id.isEmpty())
            notFound();
        else
            found(entry);
    });
}
