#pragma once

#include "listingsource.h"
#include "pagedlisting.h"

#include <QObject>

class ApiRoad;
class EntryLookup;
class FileDownload;
class TokenSource;

// The files of one account, as the native chooser and qovi-cloud see them:
// folders and searches page by page, what is at a path, the entries of a
// choice, and downloads. Every job it makes is its caller's, not started.
class CloudFiles : public QObject, public ListingSource
{
    Q_OBJECT
public:
    ~CloudFiles() override;

    ApiRoad& road() { return *m_road; }
    // The connection to the service's API opened ahead of the first call.
    virtual void preconnect() = 0;

    PagedListing* list(const CloudEntry& folder, QObject* parent) override = 0;
    PagedListing* search(const QString& text, QObject* parent) override = 0;
    virtual EntryLookup* lookup(const QString& path, QObject* parent) = 0;
    // Whether a folder can be listed by its path alone, without a lookup:
    // the entry to list then, else an entry without a path.
    virtual CloudEntry folderAt(const QString& path) const;
    // Into localPath, continuing what it holds.
    virtual FileDownload* download(const CloudEntry& file, const QString& localPath, QObject* parent) = 0;

protected:
    CloudFiles(ApiRoad* road, QObject* parent);

private:
    ApiRoad* m_road; // a child
};
