#include "cloudview.h"

#include "cloudlog.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QStyle>
#include <QFile>
#include <QStyleFactory>
#include <QWebFrame>
#include <QWebSettings>

const char* const CloudView::kChooserBaseUrl = "http://www.qovi.com/cloudconnect/";

namespace {

// Widgets do not own the style they are given: one Fusion style serves every
// pop-up and goes with the application object.
QStyle* popupStyle()
{
    static QPointer<QStyle> style;
    if (!style) {
        style = QStyleFactory::create(QStringLiteral("Fusion"));
        if (style)
            style->setParent(QCoreApplication::instance());
    }
    return style;
}

} // namespace

CloudView::CloudView(CLOUD_TYPE kind, QWidget* parent) : QWebView(parent), m_kind(kind)
{
    shapeWindow(this, kind);
    if (kind == GDRIVE_CLOUD)
        setWindowModality(Qt::ApplicationModal);

    QWebSettings* settings = QWebSettings::globalSettings();
    settings->setAttribute(QWebSettings::JavascriptCanOpenWindows, true);
    settings->setAttribute(QWebSettings::LocalContentCanAccessRemoteUrls, true);
    settings->setAttribute(QWebSettings::SpatialNavigationEnabled, true);
    setContextMenuPolicy(Qt::NoContextMenu);
}

void CloudView::registerChooserPages()
{
    Q_INIT_RESOURCE(chooserpages);
}

const char* CloudView::cloudName(CLOUD_TYPE kind)
{
    switch (kind) {
    case DROPBOX_CLOUD: return "Dropbox";
    case GDRIVE_CLOUD: return "Google Drive";
    }
    return "";
}

void CloudView::shapeWindow(QWebView* view, CLOUD_TYPE kind)
{
    if (kind == DROPBOX_CLOUD) {
        view->setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint
                             | Qt::WindowMinMaxButtonsHint);
        view->setMinimumSize(640, 480);
    } else if (kind == GDRIVE_CLOUD) {
        view->setFixedSize(802, 652);
    }
}

bool CloudView::openChooser()
{
    CloudLog::instance()->logLine(LOG_INF, "%s: opening chooser", cloudName(m_kind));
    const char* page = nullptr;
    switch (m_kind) {
    case DROPBOX_CLOUD: page = ":/QoviCloudConnect/dropboxchooser.html"; break;
    case GDRIVE_CLOUD: page = ":/QoviCloudConnect/gdrivechooser.html"; break;
    default: return false;
    }
    QFile file(QString::fromLatin1(page));
    if (!file.open(QIODevice::ReadOnly)) {
        CloudLog::instance()->logLine(LOG_ERR, "%s: Can't open chooser html", cloudName(m_kind));
        return false;
    }
    const QByteArray bytes = file.readAll();
    setHtml(QString::fromUtf8(bytes.constData()), QUrl(QString::fromLatin1(kChooserBaseUrl)));
    return true;
}

void CloudView::closePopupView()
{
    if (m_popupView)
        m_popupView->close();
    m_popupView = nullptr;
}

void CloudView::closeEvent(QCloseEvent* event)
{
    QWebView::closeEvent(event);
    emit webViewClosed();
}

QWebView* CloudView::createWindow(QWebPage::WebWindowType)
{
    CloudLog::instance()->logLine(LOG_INF, "%s: CloudView::createWindow", cloudName(m_kind));
    CloudLog::instance()->logLine(LOG_INF, "---\n");

    auto* popup = new QWebView(this);
    m_popupView = popup;
    connect(popup->page(), &QWebPage::windowCloseRequested, this, &CloudView::chooserClosed);
    popup->settings()->setAttribute(QWebSettings::JavascriptEnabled, true);
    popup->settings()->setAttribute(QWebSettings::JavascriptCanOpenWindows, true);
    popup->setStyle(popupStyle());
    setContextMenuPolicy(Qt::NoContextMenu);
    popup->setContextMenuPolicy(Qt::NoContextMenu);
    popup->setWindowModality(Qt::ApplicationModal);
    emit webViewCreated();
    shapeWindow(popup, m_kind);
    popup->setAttribute(Qt::WA_DeleteOnClose);
    return popup;
}
