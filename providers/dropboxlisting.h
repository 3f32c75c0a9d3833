#pragma once

#include "pagedlisting.h"

// A Dropbox folder (files/list_folder, then list_folder/continue with the
// cursor) or a search of the whole account by name (files/search_v2, then
// search/continue_v2).
class DropboxListing : public PagedListing
{
    Q_OBJECT
public:
    static constexpr int kPageSize = 1000;   // list_folder takes 1 to 2000
    static constexpr int kSearchPage = 200;  // search_v2 takes 1 to 1000

    enum Kind { Folder, Search };
    // A folder by its path ("" is the top), or the text searched for.
    DropboxListing(ApiRoad& road, Kind kind, const QString& pathOrText, QObject* parent);

protected:
    ApiCall* pageCall(const QString& cursor) override;
    CloudEntries readPage(const QJsonObject& answer, QString* next) override;
    bool cursorExpired(const ApiCall& call) const override;

private:
    const Kind m_kind;
    const QString m_subject;
};
