#pragma once

#include "clouderror.h"
#include "listingjob.h"

#include <QPointer>
#include <QSet>

class ApiCall;
class ApiRoad;

// A listing that the service gives page by page, each page bounded and
// each next one named by the last (a cursor, a page token): the first page
// once started, the next only when asked for. A cursor the service no
// longer takes starts the listing over, and what was shown already is not
// shown again.
class PagedListing : public ListingJob
{
    Q_OBJECT
public:
    // Listings started over because the service forgot where they were,
    // before one fails with it.
    static constexpr int kMaxRestarts = 3;

    ~PagedListing() override;

    void fetchMore() override;
    bool canFetchMore() const override;
    bool isBusy() const override { return !m_call.isNull() || m_completing; }
    CloudError error() const { return m_error; }

signals:
    void retrying(const CloudError& why, int pauseMs, int attempt);

protected:
    PagedListing(ApiRoad& road, QObject* parent);

    // The call for the first page (an empty cursor) or the one after.
    virtual ApiCall* pageCall(const QString& cursor) = 0;
    // A page's entries, and the cursor of the next page (empty: the last).
    virtual CloudEntries readPage(const QJsonObject& answer, QString* next) = 0;
    // Whether a failed page says that its cursor is no longer known.
    virtual bool cursorExpired(const ApiCall& call) const = 0;
    // What a page still needs before it is shown; `deliver` once it is done.
    virtual void completePage(const CloudEntries& page) { deliver(page); }
    void deliver(const CloudEntries& page);

    void begin() override;
    void stop() override;
    ApiRoad& road() { return m_road; }

private:
    void request(const QString& cursor);
    void onPage();

    ApiRoad& m_road;
    QPointer<ApiCall> m_call;
    QString m_next;
    bool m_more = false;
    int m_restarts = 0;
    bool m_completing = false;
    QSet<QString> m_shown;
    CloudError m_error;
};
