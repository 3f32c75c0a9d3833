#include "dropboxlisting.h"

#include "apicall.h"
#include "dropboxanswers.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QUrl>

namespace {

QNetworkRequest apiRequest(const char* path)
{
    return QNetworkRequest(QUrl(QStringLiteral("https://%1%2").arg(QLatin1String(DropboxAnswers::kApiHost),
                                                                    QLatin1String(path))));
}

QByteArray json(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

DropboxListing::DropboxListing(ApiRoad& road, Kind kind, const QString& pathOrText, QObject* parent)
    : PagedListing(road, parent), m_kind(kind), m_subject(pathOrText)
{
}

ApiCall* DropboxListing::pageCall(const QString& cursor)
{
    const bool search = m_kind == Search;
    if (!cursor.isEmpty())
        return new ApiCall(road(), apiRequest(search ? "/2/files/search/continue_v2" : "/2/files/list_folder/continue"),
                           json({{"cursor", cursor}}), this);
    if (search) {
        const QJsonObject options{{"max_results", kSearchPage}, {"file_status", "active"}, {"filename_only", true}};
        return new ApiCall(road(), apiRequest("/2/files/search_v2"), json({{"query", m_subject}, {"options", options}}),
                           this);
    }
    return new ApiCall(road(), apiRequest("/2/files/list_folder"), json({{"path", m_subject}, {"limit", kPageSize}}),
                       this);
}

CloudEntries DropboxListing::readPage(const QJsonObject& answer, QString* next)
{
    CloudEntries entries;
    if (m_kind == Search) {
        for (const QJsonValue& match : answer.value(QStringLiteral("matches")).toArray())
            entries.append(DropboxAnswers::entry(
                match.toObject().value(QStringLiteral("metadata")).toObject().value(QStringLiteral("metadata")).toObject()));
    } else {
        for (const QJsonValue& metadata : answer.value(QStringLiteral("entries")).toArray())
            entries.append(DropboxAnswers::entry(metadata.toObject()));
    }
    const bool more = answer.value(QStringLiteral("has_more")).toBool();
    *next = more ? answer.value(QStringLiteral("cursor")).toString() : QString();
    return entries;
}

bool DropboxListing::cursorExpired(const ApiCall& call) const
{
    return DropboxAnswers::cursorReset(call.failedBody());
}
