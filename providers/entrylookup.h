#pragma once

#include "clouderror.h"
#include "cloudentry.h"
#include "cloudjob.h"

#include <QPointer>

class ApiCall;
class ApiRoad;

// The file or folder at a path of an account ("/Videos/clip.mkv"; "/" is
// the top), found by the service's calls. Ends once; NotFound when nothing
// is there.
class EntryLookup : public CloudJob
{
    Q_OBJECT
public:
    CloudEntry entry() const { return m_entry; }
    CloudError error() const { return m_error; }
    // The names of a path, outermost first; empty for the top.
    static QStringList namesOf(const QString& path);

signals:
    void retrying(const CloudError& why, int pauseMs, int attempt);

protected:
    EntryLookup(ApiRoad& road, const QString& path, QObject* parent);

    void stop() override;
    // Runs a call and hands its answer over; a failure ends the lookup.
    void call(ApiCall* call, const std::function<void(const QJsonObject&)>& then);
    void found(const CloudEntry& entry);
    void fail(const CloudError& error);
    void notFound();

    ApiRoad& road() { return m_road; }
    ApiRoad& m_road;
    const QString m_path;

private:
    QPointer<ApiCall> m_call;
    CloudEntry m_entry;
    CloudError m_error;
};
