#pragma once

#include "pagedlisting.h"

#include <QHash>

// Google Drive's files.list: the files of a folder (in its parents, not
// trashed), or those whose names hold every word of a text, each page with
// only the fields an entry needs, the next named by its page token.
class DriveListing : public PagedListing
{
    Q_OBJECT
public:
    static constexpr int kPageSize = 1000; // pageSize takes 1 to 1000
    static constexpr const char* kFields = "nextPageToken,files(id,name,mimeType,size,modifiedTime,parents)";

    enum Kind { Folder, Search, Named };
    // Folder: the folder's entries (their paths under its own when it has
    // one). Search: the words of the text. Named: the entries of that
    // exact name in the folder.
    DriveListing(ApiRoad& road, Kind kind, const CloudEntry& folder, const QString& text, QObject* parent);
    // A search's entries get their paths, learnt into `folders` (id -> path).
    void findPaths(QHash<QString, QString>* folders) { m_folders = folders; }

    // files.list's address for a search expression.
    static QUrl listUrl(const QString& expression, const QString& pageToken, int pageSize = kPageSize);

protected:
    ApiCall* pageCall(const QString& cursor) override;
    CloudEntries readPage(const QJsonObject& answer, QString* next) override;
    bool cursorExpired(const ApiCall& call) const override;
    void completePage(const CloudEntries& page) override;

private:
    const Kind m_kind;
    const CloudEntry m_folder;
    QString m_expression;
    QHash<QString, QString>* m_folders = nullptr;
};
