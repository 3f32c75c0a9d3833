#include "drivelisting.h"

#include "apicall.h"
#include "driveanswers.h"
#include "drivepathfinder.h"

#include <QJsonArray>
#include <QUrl>

namespace {

// Every value percent-encoded ("+" included, which a server would read as
// a space), as a search expression must be.
QByteArray item(const char* key, const QString& value)
{
    return QByteArray(key) + '=' + QUrl::toPercentEncoding(value);
}

} // namespace

DriveListing::DriveListing(ApiRoad& road, Kind kind, const CloudEntry& folder, const QString& text, QObject* parent)
    : PagedListing(road, parent), m_kind(kind), m_folder(folder)
{
    QStringList terms;
    if (kind == Search) {
        for (const QString& word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts))
            terms << QStringLiteral("name contains '%1'").arg(DriveAnswers::quotedTerm(word));
    } else {
        if (kind == Named)
            terms << QStringLiteral("name = '%1'").arg(DriveAnswers::quotedTerm(text));
        terms << QStringLiteral("'%1' in parents").arg(DriveAnswers::quotedTerm(folder.id));
    }
    terms << QStringLiteral("trashed = false");
    m_expression = terms.join(QLatin1String(" and "));
}

QUrl DriveListing::listUrl(const QString& expression, const QString& pageToken, int pageSize)
{
    QByteArrayList query{item("q", expression), item("orderBy", QStringLiteral("folder,name")),
                         item("pageSize", QString::number(pageSize)), item("fields", QLatin1String(kFields))};
    if (!pageToken.isEmpty())
        query << item("pageToken", pageToken);
    return QUrl::fromEncoded("https://" + QByteArray(DriveAnswers::kApiHost) + "/drive/v3/files?" + query.join('&'));
}

ApiCall* DriveListing::pageCall(const QString& cursor)
{
    return new ApiCall(road(), QNetworkRequest(listUrl(m_expression, cursor)), std::nullopt, this);
}

CloudEntries DriveListing::readPage(const QJsonObject& answer, QString* next)
{
    CloudEntries entries;
    const QJsonArray files = answer.value(QStringLiteral("files")).toArray();
    entries.reserve(files.size());
    for (const QJsonValue& file : files) {
        CloudEntry entry = DriveAnswers::entry(file.toObject());
        // Under a folder whose path is known, so are its entries' paths.
        if (m_kind != Search && (m_folder.id == QLatin1String("root") || !m_folder.path.isEmpty()))
            entry.path = m_folder.path + QLatin1Char('/') + entry.name;
        entries.append(entry);
    }
    *next = answer.value(QStringLiteral("nextPageToken")).toString();
    return entries;
}

bool DriveListing::cursorExpired(const ApiCall& call) const
{
    return DriveAnswers::pageTokenRefused(call.failedBody());
}

void DriveListing::completePage(const CloudEntries& page)
{
    if (!m_folders) {
        deliver(page);
        return;
    }
    auto* finder = new DrivePathFinder(road(), *m_folders, this);
    finder->find(page, [this, finder](const CloudEntries& found) {
        finder->deleteLater();
        deliver(found);
    });
}
