#pragma once

#include "cloudentry.h"
#include "cloudjob.h"

// The entries of a folder or of a search, page by page: the first page once
// started, each next one only when asked for. Done once the last page
// arrived.
class ListingJob : public CloudJob
{
    Q_OBJECT
public:
    // Asks for the next page; nothing while one is on its way or when none is left.
    virtual void fetchMore() = 0;
    // Whether another page can be asked for now.
    virtual bool canFetchMore() const = 0;
    // Whether a page is on its way.
    virtual bool isBusy() const = 0;

signals:
    // A page is on its way now.
    void pageRequested();
    void pageArrived(const CloudEntries& entries);

protected:
    using CloudJob::CloudJob;
};
