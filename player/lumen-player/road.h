#pragma once

#include "cloudtypes.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include <functional>

// One import from one cloud, watched from the player's side through what
// the player can see: the plug-in's signals and windows, the download
// manager, the downloads and the ping record. One line per step; the run
// ends once every milestone was reached as often as needed, or the time is up.
class Road : public QObject
{
    Q_OBJECT
public:
    enum Milestone { Connected, RegisterPinged, Queued, ImportPinged, Downloaded };

    ~Road() override;

    // Starts the import and waits for the whole road; the exit status.
    int run(const std::function<void()>& start, int timeoutSeconds);
    // Told by the download manager of each address queued, and by the
    // downloads of how each ended.
    void fileQueued(const QUrl& address);
    void fileDownloaded(const QString& name, qint64 bytes);
    void downloadFailed(const QString& name, const QString& why);
    QList<QUrl> queuedAddresses() const { return m_queued; }

protected:
    // plugin: the object with the plug-in's slots and signals; files: how
    // many files the road picks.
    Road(QObject* plugin, CLOUD_TYPE cloud, int files);

    // After the start, what the road watches besides the plug-in's signals.
    virtual void watch() {}
    bool reached(Milestone milestone) const { return m_reached.value(milestone) > 0; }
    void step(const QString& text);
    void say(const QString& text);
    QString cloudName() const;

    QPointer<QObject> m_plugin;
    const CLOUD_TYPE m_cloud;

private slots:
    void onCloudConnected(CLOUD_TYPE type, const QString& email);

private:
    void reach(Milestone milestone);
    void readNewPings();
    void finishWhenComplete();
    void onTimeout();

    QMap<Milestone, int> m_needed;
    QMap<Milestone, int> m_reached;
    QEventLoop m_loop;
    QTimer m_timeout;
    QElapsedTimer m_clock;
    int m_timeoutSeconds = 0;
    QString m_lastStep;
    int m_pingsSeen = 0;
    bool m_finished = false;
    QList<QUrl> m_queued;
};
