#include "pagedlisting.h"

#include "apicall.h"
#include "apiroad.h"
#include "cloudlog.h"

PagedListing::PagedListing(ApiRoad& road, QObject* parent) : ListingJob(parent), m_road(road) {}

PagedListing::~PagedListing()
{
    delete m_call.data();
}

void PagedListing::begin()
{
    request(QString());
}

void PagedListing::stop()
{
    delete m_call.data(); // its request abandoned, its ending never told
}

void PagedListing::fetchMore()
{
    if (canFetchMore())
        request(m_next);
}

bool PagedListing::canFetchMore() const
{
    return !hasEnded() && m_more && !m_call;
}

void PagedListing::request(const QString& cursor)
{
    m_more = false;
    m_call = pageCall(cursor);
    connect(m_call, &ApiCall::retrying, this, &PagedListing::retrying);
    connect(m_call, &ApiCall::ended, this, &PagedListing::onPage);
    emit pageRequested();
    m_call->start();
}

void PagedListing::onPage()
{
    ApiCall* call = m_call;
    m_call = nullptr;
    call->deleteLater();
    if (call->error().isError()) {
        if (!m_next.isEmpty() && cursorExpired(*call) && m_restarts < kMaxRestarts) {
            ++m_restarts;
            CloudLog::instance()->logLine(LOG_WRN, "%s: the listing's cursor expired; it starts over",
                                          m_road.serviceName());
            m_next.clear();
            request(QString());
            return;
        }
        m_error = call->error();
        finish(Failed, m_error.text());
        return;
    }
    const CloudEntries page = readPage(call->answer(), &m_next);
    m_completing = true;
    completePage(page);
}

void PagedListing::deliver(const CloudEntries& page)
{
    m_completing = false;
    if (hasEnded())
        return; // canceled meanwhile
    CloudEntries fresh;
    fresh.reserve(page.size());
    for (const CloudEntry& entry : page) {
        // After a restart the first pages come again.
        if (entry.id.isEmpty() || m_shown.contains(entry.id))
            continue;
        m_shown.insert(entry.id);
        fresh.append(entry);
    }
    m_more = !m_next.isEmpty();
    emit pageArrived(fresh);
    if (!m_more)
        finish(Done);
}
