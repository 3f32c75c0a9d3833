#include "entrylookup.h"

#include "apicall.h"

#include <QTimer>

EntryLookup::EntryLookup(ApiRoad& road, const QString& path, QObject* parent)
    : CloudJob(parent), m_road(road), m_path(path)
{
}

QStringList EntryLookup::namesOf(const QString& path)
{
    return path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
}

void EntryLookup::stop()
{
    delete m_call.data();
}

void EntryLookup::call(ApiCall* call, const std::function<void(const QJsonObject&)>& then)
{
    m_call = call;
    connect(call, &ApiCall::retrying, this, &EntryLookup::retrying);
    connect(call, &ApiCall::ended, this, [this, call, then] {
        call->deleteLater();
        m_call = nullptr;
        if (call->error().kind() == CloudError::NotFound)
            notFound();
        else if (call->error().isError())
            fail(call->error());
        else
            then(call->answer());
    });
    call->start();
}

void EntryLookup::found(const CloudEntry& entry)
{
    m_entry = entry;
    // Told from the event loop, as any other ending, even when found at once.
    QTimer::singleShot(0, this, [this] { finish(Done); });
}

void EntryLookup::fail(const CloudError& error)
{
    m_error = error;
    finish(Failed, error.text());
}

void EntryLookup::notFound()
{
    fail(CloudError(CloudError::NotFound, tr("nothing at %1").arg(m_path)));
}
