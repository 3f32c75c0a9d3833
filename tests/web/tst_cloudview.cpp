// The sign-in and chooser window: its shape per service, the web settings it
// turns on, the pop-ups pages open, and the chooser pages it loads.
#include "cloudlog.h"
#include "cloudview.h"

#include <QFile>
#include <QNetworkProxy>
#include <QStyle>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QWebFrame>
#include <QWebSettings>

namespace {

const QString kOpener = QStringLiteral(
    "<html><body><script>"
    "function openPopup(name) { return window.open('about:blank', name) !== null; }"
    "</script></body></html>");

} // namespace

class CloudViewTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void windowShape_data();
    void windowShape();
    void constructionTurnsOnGlobalAttributes();
    void popupsAndTheirClosing();
    void popupClosedByTheUser();
    void chooserPages_data();
    void chooserPages();
    void missingChooserPage();

private:
    QWebView* openPopup(CloudView& view, const QString& name);
};

void CloudViewTest::initTestCase()
{
    // Nothing here needs the services; the pages' libraries must not leave
    // the machine: a proxy on a closed local port refuses them.
    QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), 9));
}

void CloudViewTest::windowShape_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QSize>("minimum");
    QTest::addColumn<QSize>("maximum");
    QTest::addColumn<bool>("dialog");
    QTest::addColumn<int>("modality");
    QTest::newRow("Dropbox") << 0 << QSize(640, 480) << QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX) << true
                             << int(Qt::NonModal);
    QTest::newRow("Google Drive") << 1 << QSize(802, 652) << QSize(802, 652) << false << int(Qt::ApplicationModal);
    QTest::newRow("other") << 7 << QSize(0, 0) << QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX) << false
                           << int(Qt::NonModal);
}

void CloudViewTest::windowShape()
{
    QFETCH(int, kind);
    QFETCH(QSize, minimum);
    QFETCH(QSize, maximum);
    QFETCH(bool, dialog);
    QFETCH(int, modality);
    CloudView view(CLOUD_TYPE(kind), nullptr);
    QCOMPARE(view.minimumSize(), minimum);
    QCOMPARE(view.maximumSize(), maximum);
    QCOMPARE((view.windowFlags() & Qt::WindowType_Mask) == Qt::Dialog, dialog);
    if (dialog) {
        QVERIFY(view.windowFlags().testFlag(Qt::WindowTitleHint));
        QVERIFY(view.windowFlags().testFlag(Qt::WindowCloseButtonHint));
        QVERIFY(view.windowFlags().testFlag(Qt::WindowMinMaxButtonsHint));
    }
    QCOMPARE(int(view.windowModality()), modality);
    QCOMPARE(view.contextMenuPolicy(), Qt::NoContextMenu);
    view.resize(300, 200);
    QCOMPARE(view.size().expandedTo(minimum), view.size());
}

void CloudViewTest::constructionTurnsOnGlobalAttributes()
{
    QWebSettings* global = QWebSettings::globalSettings();
    for (auto attribute : {QWebSettings::JavascriptCanOpenWindows, QWebSettings::LocalContentCanAccessRemoteUrls,
                           QWebSettings::SpatialNavigationEnabled})
        global->setAttribute(attribute, false);
    CloudView view(CLOUD_TYPE(42), nullptr);
    QVERIFY(global->testAttribute(QWebSettings::JavascriptCanOpenWindows));
    QVERIFY(global->testAttribute(QWebSettings::LocalContentCanAccessRemoteUrls));
    QVERIFY(global->testAttribute(QWebSettings::SpatialNavigationEnabled));
}

QWebView* CloudViewTest::openPopup(CloudView& view, const QString& name)
{
    const bool opened = view.page()->mainFrame()->evaluateJavaScript("openPopup('" + name + "')").toBool();
    return opened ? view.popupView() : nullptr;
}

void CloudViewTest::popupsAndTheirClosing()
{
    CloudView view(DROPBOX_CLOUD, nullptr);
    view.setHtml(kOpener, QUrl("http://www.qovi.com/"));
    QSignalSpy created(&view, &CloudView::webViewCreated);
    QSignalSpy chooserClosed(&view, &CloudView::chooserClosed);

    QPointer<QWebView> first = openPopup(view, "one");
    QVERIFY(first);
    QCOMPARE(created.count(), 1);
    QCOMPARE(first->parentWidget(), static_cast<QWidget*>(&view));
    QVERIFY(first->testAttribute(Qt::WA_DeleteOnClose));
    QCOMPARE(first->windowModality(), Qt::ApplicationModal);
    QCOMPARE(first->minimumSize(), QSize(640, 480));
    QCOMPARE(first->contextMenuPolicy(), Qt::NoContextMenu);
    QCOMPARE(first->style()->objectName().toLower(), QStringLiteral("fusion"));
    QVERIFY(first->settings()->testAttribute(QWebSettings::JavascriptEnabled));

    QPointer<QWebView> second = openPopup(view, "two");
    QVERIFY(second && second != first);
    QCOMPARE(view.popupView(), second.data());
    QVERIFY(first); // the earlier pop-up stays until it is closed

    // A page asking to close its window: the view reports the chooser closed
    // and the pop-up waits for the account to close it.
    second->page()->mainFrame()->evaluateJavaScript("window.close()");
    QTRY_COMPARE(chooserClosed.count(), 1);
    QVERIFY(second);
    view.closePopupView();
    QTRY_VERIFY(!second);
    QVERIFY(!view.popupView());
    view.closePopupView(); // nothing left to close
}

void CloudViewTest::popupClosedByTheUser()
{
    CloudView view(GDRIVE_CLOUD, nullptr);
    view.setHtml(kOpener, QUrl("http://www.qovi.com/"));
    QPointer<QWebView> popup = openPopup(view, "signin");
    QVERIFY(popup);
    QCOMPARE(popup->size(), QSize(802, 652));
    popup->close();
    QTRY_VERIFY(!popup);
    QVERIFY(!view.popupView());
    view.closePopupView();
}

void CloudViewTest::chooserPages_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("library");
    QTest::newRow("Dropbox") << 0 << "https://www.dropbox.com/static/api/2/dropins.js";
    QTest::newRow("Google Drive") << 1 << "https://apis.google.com/js/api.js";
}

void CloudViewTest::chooserPages()
{
    QFETCH(int, kind);
    QFETCH(QString, library);
    CloudView::registerChooserPages();
    CloudView view(CLOUD_TYPE(kind), nullptr);
    QSignalSpy loaded(&view, &QWebView::loadFinished);
    QVERIFY(view.openChooser());
    QVERIFY(loaded.count() == 1 || loaded.wait());
    QCOMPARE(view.page()->mainFrame()->baseUrl(), QUrl(CloudView::kChooserBaseUrl));
    const QString html = view.page()->mainFrame()->toHtml();
    QVERIFY(html.contains(library));
    QVERIFY(html.contains("function connectSlots()"));

    QFile page(kind == 0 ? ":/QoviCloudConnect/dropboxchooser.html" : ":/QoviCloudConnect/gdrivechooser.html");
    QVERIFY(page.open(QIODevice::ReadOnly));
    const QByteArray bytes = page.readAll();
    QCOMPARE(bytes.count("\r\n"), bytes.count('\n'));
    for (char c : bytes)
        QVERIFY(uchar(c) < 0x80);

    CloudView other(CLOUD_TYPE(3), nullptr);
    QVERIFY(!other.openChooser());
}

void CloudViewTest::missingChooserPage()
{
    QTemporaryDir dir;
    const QString logPath = dir.filePath("log.txt");
    QVERIFY(CloudLog::instance()->open(qPrintable(logPath), LOG_ALL, false));
    Q_CLEANUP_RESOURCE(chooserpages);
    CloudView view(DROPBOX_CLOUD, nullptr);
    view.setHtml("<p>before</p>");
    QVERIFY(!view.openChooser());
    QVERIFY(view.page()->mainFrame()->toPlainText().contains("before"));
    CloudView::registerChooserPages();
    QVERIFY(view.openChooser());

    QFile log(logPath);
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QByteArray text = log.readAll();
    QVERIFY(text.contains("[ERR] "));
    QVERIFY(text.contains("Dropbox: Can't open chooser html\n"));
    QCOMPARE(text.count("Dropbox: opening chooser\n"), 2);
    CloudLog::instance()->open("stderr", LOG_NONE, false);
}

QTEST_MAIN(CloudViewTest)
#include "tst_cloudview.moc"
