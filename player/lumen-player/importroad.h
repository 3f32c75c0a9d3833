#pragma once

#include "road.h"

class QNetworkReply;
class QWebView;
class WebWindowWatcher;

// The first import of a file from one cloud on the embedded road, watched
// from the player's side: somebody asks the plug-in to import, and this
// follows the road (chooser page, sign-in, consent, the redirect with the
// token or code, the e-mail address, the connection, the chooser again, the
// pick, the queued address, the usage pings and the download) through what
// the player can see: the plug-in's signals, its web windows and their
// traffic, the download manager, the downloads and the ping record.
class ImportRoad : public Road
{
    Q_OBJECT
public:
    // plugin: the object with the plug-in's slots and signals.
    ImportRoad(QObject* plugin, WebWindowWatcher* watcher, CLOUD_TYPE cloud);

protected:
    void watch() override;

private slots:
    void onOpenChooser(CLOUD_TYPE type);

private:
    void onWindowShown(QWebView* view);
    void onWindowHidden(QWebView* view);
    void onPageLoaded(QWebView* view, bool ok);
    void onRequestStarted(QNetworkReply* reply);
    void onReplyFinished(QNetworkReply* reply);
    void picture(QWebView* view, const QString& label);
    QString windowName(QWebView* view) const;

    WebWindowWatcher* m_watcher;
    QString m_granted; // the token or code the consent gave
    bool m_signInSeen = false;
};
