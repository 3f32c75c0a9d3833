#include "drivepathfinder.h"

#include "apicall.h"
#include "driveanswers.h"

#include <QJsonArray>
#include <QTimer>
#include <QUrl>

DrivePathFinder::DrivePathFinder(ApiRoad& road, QHash<QString, QString>& known, QObject* parent)
    : QObject(parent), m_road(road), m_known(known)
{
}

DrivePathFinder::~DrivePathFinder()
{
    delete m_call.data();
}

void DrivePathFinder::find(const CloudEntries& entries, std::function<void(const CloudEntries&)> done)
{
    m_entries = entries;
    m_done = std::move(done);
    m_lookups = 0;
    for (const CloudEntry& entry : entries) {
        if (!entry.parentId.isEmpty() && !m_known.contains(entry.parentId) && !m_wanted.contains(entry.parentId))
            m_wanted.prepend(entry.parentId);
    }
    QTimer::singleShot(0, this, &DrivePathFinder::next);
}

void DrivePathFinder::next()
{
    while (!m_wanted.isEmpty() && m_known.contains(m_wanted.last()))
        m_wanted.removeLast();
    if (m_wanted.isEmpty() || m_lookups == kMaxLookups) {
        finish();
        return;
    }
    ++m_lookups;
    const QUrl address(QStringLiteral("https://%1/drive/v3/files/%2?fields=id,name,parents")
                           .arg(QLatin1String(DriveAnswers::kApiHost),
                                QString::fromLatin1(QUrl::toPercentEncoding(m_wanted.last()))));
    m_call = new ApiCall(m_road, QNetworkRequest(address), std::nullopt, this);
    connect(m_call, &ApiCall::ended, this, [this] {
        ApiCall* call = m_call;
        m_call = nullptr;
        call->deleteLater();
        if (call->error().isError()) {
            finish(); // the paths stay unknown; the search goes on
            return;
        }
        learn(call->answer());
        next();
    });
    m_call->start();
}

void DrivePathFinder::learn(const QJsonObject& folder)
{
    const QString id = m_wanted.last();
    const QString parent = folder.value(QStringLiteral("parents")).toArray().first().toString();
    if (parent.isEmpty()) {
        m_known.insert(id, QString()); // the top of the Drive
    } else if (m_known.contains(parent)) {
        m_known.insert(id, m_known.value(parent) + QLatin1Char('/') + folder.value(QStringLiteral("name")).toString());
    } else {
        m_wanted.append(parent); // learnt first, then this one again
    }
}

void DrivePathFinder::finish()
{
    m_wanted.clear();
    for (CloudEntry& entry : m_entries) {
        if (m_known.contains(entry.parentId))
            entry.path = m_known.value(entry.parentId) + QLatin1Char('/') + entry.name;
    }
    const auto done = std::move(m_done);
    m_done = nullptr;
    if (done)
        done(m_entries);
}
