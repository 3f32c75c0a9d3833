#include "cloudview.h"

#include "cloudlog.h"
#include "cloudpage.h"

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

CloudView::CloudView(const ServiceDescriptor& service, QWidget* parent)
    : QWebView(parent), m_service(service), m_page(new CloudPage(this))
{
    setPage(m_page);
    shapeWindow(this, service.window);
    if (service.window.modal)
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

void CloudView::shapeWindow(QWebView* view, const WindowShape& shape)
{
    if (shape.flags)
        view->setWindowFlags(shape.flags);
    if (!shape.minimumSize.isEmpty())
        view->setMinimumSize(shape.minimumSize);
    if (!shape.fixedSize.isEmpty())
        view->setFixedSize(shape.fixedSize);
}

bool CloudView::showsChooser() const
{
    return m_page->showsOwnDocument();
}

bool CloudView::openChooser()
{
    CloudLog::instance()->logLine(LOG_INF, "%s: opening chooser", m_service.name);
    if (!m_service.chooserPage)
        return false;
    QFile file(QString::fromLatin1(m_service.chooserPage));
    if (!file.open(QIODevice::ReadOnly)) {
        CloudLog::instance()->logLine(LOG_ERR, "%s: Can't open chooser html", m_service.name);
        return false;
    }
    const QByteArray bytes = file.readAll();
    m_page->expectOwnDocument();
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
    CloudLog::instance()->logLine(LOG_INF, "%s: CloudView::createWindow", m_service.name);
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
    shapeWindow(popup, m_service.window);
    popup->setAttribute(Qt::WA_DeleteOnClose);
    return popup;
}
