#include "webwindowwatcher.h"

#include <QApplication>
#include <QChildEvent>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPixmap>
#include <QRegularExpression>
#include <QWebPage>
#include <QWebView>

#include <algorithm>

namespace {

// The class the plug-in gives its account windows; seen through Qt's
// meta-object, since the player does not link the plug-in.
const char* const kAccountWindowClass = "CloudView";

QString fileNamePart(const QString& label)
{
    static const QRegularExpression others(QStringLiteral("[^a-z0-9]+"));
    return label.toLower().replace(others, QStringLiteral("-")).remove(QRegularExpression(QStringLiteral("^-|-$")));
}

} // namespace

WebWindowWatcher::WebWindowWatcher(QString pictureFolder, QObject* parent)
    : QObject(parent), m_pictureFolder(std::move(pictureFolder))
{
    qApp->installEventFilter(this);
}

WebWindowWatcher::~WebWindowWatcher()
{
    qApp->removeEventFilter(this);
}

QList<QWebView*> WebWindowWatcher::accountWindows()
{
    QList<QWebView*> windows;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->inherits(kAccountWindowClass))
            windows.append(qobject_cast<QWebView*>(widget));
    }
    windows.removeAll(nullptr);
    return windows;
}

void WebWindowWatcher::watch(QWebView* view)
{
    const bool known = std::any_of(m_views.cbegin(), m_views.cend(),
                                   [view](const QPointer<QWebView>& watched) { return watched == view; });
    if (known)
        return;
    m_views.removeAll(nullptr);
    m_views.append(view);
    connect(view, &QWebView::loadFinished, this, [this, view](bool ok) { emit pageLoaded(view, ok); });
    watchManager(view->page()->networkAccessManager());
}

void WebWindowWatcher::watchManager(QNetworkAccessManager* manager)
{
    if (!manager || m_managers.contains(manager))
        return;
    m_managers.append(manager);
    connect(manager, &QNetworkAccessManager::finished, this, &WebWindowWatcher::replyFinished);
}

bool WebWindowWatcher::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::ChildAdded:
        // A reply is a child of its manager from its first moment: the
        // child event tells of each request when it is made.
        if (auto* manager = qobject_cast<QNetworkAccessManager*>(watched); manager && m_managers.contains(manager))
            announceRequest(static_cast<QChildEvent*>(event)->child());
        break;
    case QEvent::Show:
    case QEvent::Hide: {
        auto* view = qobject_cast<QWebView*>(watched);
        if (!view || !view->isWindow())
            break;
        watch(view);
        // The page may have moved to another manager since it was first seen.
        watchManager(view->page()->networkAccessManager());
        if (event->type() == QEvent::Show)
            emit windowShown(view);
        else
            emit windowHidden(view);
        break;
    }
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

void WebWindowWatcher::announceRequest(QObject* child)
{
    // The child is still being made: it is looked at once the current event
    // is done. A reply finishes in a later event, so this comes first.
    const QPointer<QObject> made(child);
    QMetaObject::invokeMethod(
        this,
        [this, made] {
            if (auto* reply = qobject_cast<QNetworkReply*>(made.data()))
                emit requestStarted(reply);
        },
        Qt::QueuedConnection);
}

QString WebWindowWatcher::takePicture(QWebView* view, const QString& label)
{
    return view ? savePicture(view->grab(), label) : QString();
}

QString WebWindowWatcher::savePicture(const QPixmap& picture, const QString& label)
{
    if (!m_pictureFolder.mkpath(QStringLiteral(".")))
        return QString();
    const QString name = QStringLiteral("%1-%2.png").arg(m_pictures.size() + 1, 2, 10, QLatin1Char('0')).arg(fileNamePart(label));
    const QString path = m_pictureFolder.absoluteFilePath(name);
    if (!picture.save(path, "PNG"))
        return QString();
    m_pictures.append(path);
    return path;
}
