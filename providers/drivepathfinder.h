#pragma once

#include "clouderror.h"
#include "cloudentry.h"

#include <QHash>
#include <QObject>
#include <QPointer>

#include <functional>

class ApiCall;
class ApiRoad;

// The paths of Drive entries that a search found, which the service gives
// without them: each folder above them asked for once (files.get), what it
// learns kept for the next pages. A folder it cannot learn leaves the paths
// below it empty; it never fails the search.
class DrivePathFinder : public QObject
{
    Q_OBJECT
public:
    // At most this many folders asked for per page.
    static constexpr int kMaxLookups = 100;

    // known: folder id -> path ("" for the top), shared across pages.
    DrivePathFinder(ApiRoad& road, QHash<QString, QString>& known, QObject* parent);
    ~DrivePathFinder() override;

    // Fills in the entries' paths; `done` runs once, later.
    void find(const CloudEntries& entries, std::function<void(const CloudEntries&)> done);

private:
    void next();
    void learn(const QJsonObject& folder);
    void finish();

    ApiRoad& m_road;
    QHash<QString, QString>& m_known;
    CloudEntries m_entries;
    QStringList m_wanted; // folders to learn, the next one last
    std::function<void(const CloudEntries&)> m_done;
    QPointer<ApiCall> m_call;
    int m_lookups = 0;
};
