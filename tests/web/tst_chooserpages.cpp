// The chooser pages of the plug-in in the real web engine, against the local
// stand-in of the services' chooser libraries: what the page asks the
// service for, and what it hands back through the bridge.
#include "cloudview.h"
#include "fakecloud.h"
#include "filepicker.h"

#include <QNetworkAccessManager>
#include <QNetworkCookieJar>
#include <QSignalSpy>
#include <QTest>
#include <QUrlQuery>
#include <QWebFrame>

namespace {

// The view wired to its bridge the way an account wires them.
class ChooserHarness : public QObject
{
public:
    ChooserHarness(CLOUD_TYPE kind, const QStringList& types) : view(kind, nullptr), picker(this)
    {
        network.setCookieJar(new QNetworkCookieJar(&network));
        view.page()->setNetworkAccessManager(&network);
        picker.setAppKey(QStringLiteral("pagetestkey"));
        picker.setSupportedExtensions(types);
        QWebFrame* frame = view.page()->mainFrame();
        connect(frame, &QWebFrame::javaScriptWindowObjectCleared, this, [this, frame] {
            frame->addToJavaScriptWindowObject(QStringLiteral("qoviFilePicker"), &picker, QWebFrame::QtOwnership);
        });
        connect(&view, &QWebView::loadFinished, this,
                [frame] { frame->evaluateJavaScript(QStringLiteral("connectSlots()")); });
        connect(&view, &CloudView::webViewCreated, this,
                [this] { view.popupView()->page()->setNetworkAccessManager(&network); });
        connect(&view, &CloudView::chooserClosed, &view, &CloudView::closePopupView);
        connect(&picker, &FilePicker::openSelectedFiles, this, [this](const QVariantList& files) {
            events << QStringLiteral("selected");
            selection = files;
        });
        connect(&picker, &FilePicker::closed, this, [this] { events << QStringLiteral("closed"); });
    }
    ~ChooserHarness() override { view.closePopupView(); }

    QVariant script(const QString& text) { return view.page()->mainFrame()->evaluateJavaScript(text); }

    QNetworkAccessManager network;
    CloudView view;
    FilePicker picker;
    QStringList events;
    QVariantList selection;
};

const QStringList kDropboxTypes{".qovi", ".mkv", ".avi", ".mov", ".mp4"};
const QStringList kGoogleTypes{"video/x-matroska", "video/qovi", "video/x-msvideo", "video/avi", "video/mp4",
                               "video/quicktime"};

} // namespace

class ChooserPagesTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void dropboxPick();
    void dropboxCancel();
    void googlePick();
    void googleCancel();

private:
    FakeCloud m_cloud;
};

void ChooserPagesTest::initTestCase()
{
    QVERIFY(m_cloud.start());
    CloudView::registerChooserPages();
}

void ChooserPagesTest::init()
{
    m_cloud.reset();
    m_cloud.control("POST", "/auto", {{"enabled", true}, {"delay_ms", 30}});
}

void ChooserPagesTest::dropboxPick()
{
    m_cloud.control("POST", "/auto", {{"dropbox_pick", "clip.mkv"}});
    ChooserHarness chooser(DROPBOX_CLOUD, kDropboxTypes);
    QVERIFY(chooser.view.openChooser());
    QTRY_VERIFY_WITH_TIMEOUT(!chooser.events.isEmpty(), 20000);
    QCOMPARE(chooser.events, QStringList{"selected"}); // the chooser's own window closes it, not the page

    QCOMPARE(chooser.selection.size(), 1);
    const QVariantMap entry = chooser.selection.first().toMap();
    QCOMPARE(entry.keys(), (QStringList{"fileName", "fileSize", "filelink", "thumbnail"}));
    QCOMPARE(entry.value("fileName").toString(), QStringLiteral("clip.mkv"));
    QCOMPARE(entry.value("fileSize").type(), QVariant::Double);
    QCOMPARE(entry.value("fileSize").toULongLong(), 2ULL << 20);
    QVERIFY(entry.value("filelink").toString().startsWith("https://dl.dropboxusercontent.com/"));
    QCOMPARE(entry.value("thumbnail").type(), QVariant::String);

    // The key and the file types reached the service; the page was wired.
    const QJsonArray asked = m_cloud.requests("www.dropbox.com", "/chooser");
    QVERIFY(!asked.isEmpty());
    const QUrlQuery query(QUrl(asked.first().toObject().value("url").toString()));
    QCOMPARE(query.queryItemValue("app_key"), QStringLiteral("pagetestkey"));
    QCOMPARE(query.queryItemValue("origin", QUrl::FullyDecoded), QStringLiteral("http://www.qovi.com"));
    QCOMPARE(query.queryItemValue("extensions", QUrl::FullyDecoded), kDropboxTypes.join(' '));
    QCOMPARE(chooser.script("connected").toBool(), true);
    QCOMPARE(chooser.script("JSON.stringify(qoviFilePicker.data)").toString(), QStringLiteral("{}"));
    QTRY_VERIFY(!chooser.view.popupView());
}

void ChooserPagesTest::dropboxCancel()
{
    m_cloud.control("POST", "/auto", {{"chooser", "cancel"}});
    ChooserHarness chooser(DROPBOX_CLOUD, kDropboxTypes);
    QVERIFY(chooser.view.openChooser());
    QTRY_VERIFY_WITH_TIMEOUT(!chooser.events.isEmpty(), 20000);
    QCOMPARE(chooser.events, QStringList{"closed"});
    QVERIFY(chooser.selection.isEmpty());
}

void ChooserPagesTest::googlePick()
{
    m_cloud.control("POST", "/auto", {{"google_pick", "holiday.mov"}});
    ChooserHarness chooser(GDRIVE_CLOUD, kGoogleTypes);
    QVERIFY(chooser.view.openChooser());
    QTRY_VERIFY_WITH_TIMEOUT(chooser.events.contains("closed"), 30000);
    QCOMPARE(chooser.events, (QStringList{"selected", "closed"}));

    QCOMPARE(chooser.selection.size(), 1);
    const QVariantMap entry = chooser.selection.first().toMap();
    QCOMPARE(entry.keys(), (QStringList{"fileName", "fileSize", "filelink", "id", "mimeType", "thumbnail", "token"}));
    QCOMPARE(entry.value("fileName").toString(), QStringLiteral("holiday.mov"));
    QCOMPARE(entry.value("mimeType").toString(), QStringLiteral("video/quicktime"));
    QVERIFY(!entry.value("id").toString().isEmpty());
    QVERIFY(!entry.value("token").toString().isEmpty());
    QVERIFY(entry.value("fileSize").toULongLong() > 0);

    // The client id went to the sign-in, the types to the picker.
    const QJsonArray signIn = m_cloud.requests("accounts.google.com", "/o/oauth2/auth");
    QVERIFY(!signIn.isEmpty());
    QCOMPARE(QUrlQuery(QUrl(signIn.first().toObject().value("url").toString())).queryItemValue("client_id"),
             QStringLiteral("pagetestkey"));
    QCOMPARE(chooser.script("connected").toBool(), true);
}

void ChooserPagesTest::googleCancel()
{
    m_cloud.control("POST", "/auto", {{"chooser", "cancel"}});
    ChooserHarness chooser(GDRIVE_CLOUD, kGoogleTypes);
    QVERIFY(chooser.view.openChooser());
    QTRY_VERIFY_WITH_TIMEOUT(!chooser.events.isEmpty(), 30000);
    QCOMPARE(chooser.events, QStringList{"closed"});
    QVERIFY(chooser.selection.isEmpty());
}

QTEST_MAIN(ChooserPagesTest)
#include "tst_chooserpages.moc"
