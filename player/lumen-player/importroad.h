#pragma once

#include "cloudtypes.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QTimer>
#include <QUrl>

#include <functional>

class QNetworkReply;
class QWebView;
class WebWindowWatcher;

// The first import of a file from one cloud, watched from the player's
// side: somebody asks the plug-in to import, and this follows the road
// (chooser page, sign-in, consent, the redirect with the token or code, the
// e-mail address, the connection, the chooser again, the pick, the queued
// address, the usage pings and the download) through what the player can
// see: the plug-in's signals, its web windows and their traffic, the
// download manager, the downloads and the ping record. One line per step.
class ImportRoad : public QObject
{
    Q_OBJECT
public:
    // plugin: the object with the plug-in's slots and signals.
    ImportRoad(QObject* plugin, WebWindowWatcher* watcher, CLOUD_TYPE cloud);
    ~ImportRoad() override;

    // Starts the import and waits until the file is queued, pinged and
    // downloaded, or the time is up. The exit status: 0 when the whole road
    // was seen.
    int run(const std::function<void()>& start, int timeoutSeconds);
    // Told by the download manager of each address queued, and by the
    // downloads of how each ended.
    void fileQueued(const QUrl& address);
    void fileDownloaded(const QString& name, qint64 bytes);
    void downloadFailed(const QString& name, const QString& why);
    QList<QUrl> queuedAddresses() const { return m_queued; }

private slots:
    void onOpenChooser(CLOUD_TYPE type);
    void onCloudConnected(CLOUD_TYPE type, const QString& email);

private:
    enum Milestone { Connected, RegisterPinged, Queued, ImportPinged, Downloaded };

    bool connectPlugin();
    void onWindowShown(QWebView* view);
    void onWindowHidden(QWebView* view);
    void onPageLoaded(QWebView* view, bool ok);
    void onRequestStarted(QNetworkReply* reply);
    void onReplyFinished(QNetworkReply* reply);
    void onTimeout();
    void readNewPings();
    void finishWhenComplete();
    void step(const QString& text);
    void say(const QString& text);
    void picture(QWebView* view, const QString& label);
    QString windowName(QWebView* view) const;

    QPointer<QObject> m_plugin;
    WebWindowWatcher* m_watcher;
    CLOUD_TYPE m_cloud;
    QEventLoop m_loop;
    QTimer m_timeout;
    QElapsedTimer m_clock;
    int m_timeoutSeconds = 0;
    QString m_lastStep;
    QSet<int> m_reached;
    int m_pingsSeen = 0;
    QString m_granted; // the token or code the consent gave
    bool m_signInSeen = false;
    bool m_finished = false;
    QList<QUrl> m_queued;
};
