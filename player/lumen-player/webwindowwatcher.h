#pragma once

#include <QDir>
#include <QList>
#include <QObject>
#include <QPixmap>
#include <QPointer>

class QNetworkAccessManager;
class QNetworkReply;
class QWebView;

// Watches the web windows of the process from outside: every web view that
// is shown as a window (the plug-in's account windows and the pop-ups their
// pages open) and any web view it is told of, with their page loads, and the
// traffic of the network managers their pages use. It keeps a picture of
// every page a shown window loaded.
class WebWindowWatcher : public QObject
{
    Q_OBJECT
public:
    explicit WebWindowWatcher(QString pictureFolder, QObject* parent = nullptr);
    ~WebWindowWatcher() override;

    // The account windows of the plug-in, whether shown or not.
    static QList<QWebView*> accountWindows();
    void watch(QWebView* view);
    // Saves a picture of the window; the file's absolute path, or the empty text.
    QString takePicture(QWebView* view, const QString& label);
    QString savePicture(const QPixmap& picture, const QString& label);
    QStringList pictures() const { return m_pictures; }

signals:
    void windowShown(QWebView* view);
    void windowHidden(QWebView* view);
    void pageLoaded(QWebView* view, bool ok);
    // A request was made, and a reply finished, on a watched page's manager.
    void requestStarted(QNetworkReply* reply);
    void replyFinished(QNetworkReply* reply);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void watchManager(QNetworkAccessManager* manager);
    void announceRequest(QObject* child);

    QDir m_pictureFolder;
    QStringList m_pictures;
    QList<QPointer<QWebView>> m_views;
    QList<QPointer<QNetworkAccessManager>> m_managers;
};
