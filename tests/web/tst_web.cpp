// The web side of the accounts: window shapes and pop-ups, the cookie jar's
// rules, the chooser bridge's filter, the chooser pages in the real web
// engine against the stand-in, and the services' credentials.
#include "cloudcredential.h"
#include "cookiesmanager.h"
#include "dropbox.h"
#include "filepicker.h"
#include "googledrive.h"
#include "testaccount.h"
#include "teststate.h"

#include <QUrlQuery>
#include <QNetworkCookie>
#include <QSettings>
#include <QWebFrame>
#include <QWebSettings>

using namespace teststate;

namespace {

QNetworkCookie cookie(const QString& text)
{
    // "name@domain", "+" at the end for a persistent one.
    const bool persistent = text.endsWith('+');
    const QString bare = persistent ? text.chopped(1) : text;
    QNetworkCookie c(bare.section('@', 0, 0).toUtf8(), "v");
    c.setDomain(bare.section('@', 1));
    c.setPath("/");
    if (persistent)
        c.setExpirationDate(QDateTime::currentDateTimeUtc().addYears(1));
    return c;
}

QList<QNetworkCookie> cookies(const QStringList& texts)
{
    QList<QNetworkCookie> all;
    for (const QString& text : texts)
        all.append(cookie(text));
    return all;
}

QVariantMap entry(const QString& link, const QVariant& id = QVariant())
{
    QVariantMap map{{"filelink", link}, {"fileName", "a.mkv"}, {"fileSize", 1.0}};
    if (id.isValid())
        map.insert("id", id);
    return map;
}

} // namespace

class WebTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(m_cloud.start()); }
    void init()
    {
        startCase(m_cloud);
        m_cloud.control("POST", "/auto", {{"enabled", true}, {"delay_ms", 30}});
    }

    void windows()
    {
        // Either view turns on three web attributes for every view of the process.
        const auto attributes = {QWebSettings::JavascriptCanOpenWindows, QWebSettings::LocalContentCanAccessRemoteUrls,
                                 QWebSettings::SpatialNavigationEnabled};
        for (const ServiceDescriptor* service : {&DropBox::service(), &GoogleDrive::service()}) {
            for (const auto attribute : attributes)
                QWebSettings::globalSettings()->setAttribute(attribute, false);
            CloudView view(*service, nullptr);
            for (const auto attribute : attributes)
                QVERIFY(QWebSettings::globalSettings()->testAttribute(attribute));
        }
        TestAccount<DropBox> dropbox;
        TestAccount<GoogleDrive> drive;
        QCOMPARE(dropbox.view()->minimumSize(), QSize(640, 480));
        QVERIFY(dropbox.view()->maximumSize().width() > 640);
        QCOMPARE(dropbox.view()->windowModality(), Qt::NonModal);
        QCOMPARE(drive.view()->minimumSize(), QSize(802, 652));
        QCOMPARE(drive.view()->maximumSize(), QSize(802, 652));
        QCOMPARE(drive.view()->windowModality(), Qt::ApplicationModal);
        QCOMPARE(drive.view()->contextMenuPolicy(), Qt::NoContextMenu);

        // A page's window.open makes a pop-up shaped like its window; its
        // window.close() is the view's chooserClosed.
        CloudView* view = dropbox.view();
        QSignalSpy closed(view, &CloudView::chooserClosed);
        view->setHtml("<script>var w = window.open('about:blank');</script>");
        QVERIFY(waitFor([&] { return view->popupView(); }));
        QPointer<QWebView> popup = view->popupView();
        QCOMPARE(popup->minimumSize(), QSize(640, 480));
        QCOMPARE(popup->windowModality(), Qt::ApplicationModal);
        QCOMPARE(popup->page()->networkAccessManager(), dropbox.manager());
        QCOMPARE(popup->contextMenuPolicy(), Qt::NoContextMenu);
        popup->page()->mainFrame()->evaluateJavaScript("window.close()");
        QVERIFY(waitFor([&] { return closed.size() == 1; }));
        // A second pop-up takes the pointer; the first stays open until it is closed.
        view->page()->mainFrame()->evaluateJavaScript("window.open('about:blank')");
        QVERIFY(waitFor([&] { return view->popupView() != popup; }));
        QPointer<QWebView> second = view->popupView();
        view->closePopupView();
        QVERIFY(waitFor([&] { return !second; }));
        QVERIFY(popup && popup->isVisible());
        popup->close();
        QVERIFY(waitFor([&] { return !popup; }));
        QVERIFY(!view->popupView());
    }

    void chooserTypes_data()
    {
        const auto row = table<int, QString, QStringList>("kind", "application", "types");
        row("Dropbox, the player", 0, kApplication, {".qovi", ".mkv", ".avi", ".mov", ".mp4"});
        row("Dropbox, another application", 0, "Converter", {});
        row("Drive, the player", 1, kApplication,
            {"video/x-matroska", "video/qovi", "video/x-msvideo", "video/avi",        "video/mp4",  "video/quicktime"});
        row("Drive, another application", 1, "Converter", {});
    }

    void chooserTypes()
    {
        const auto [kind, application, types] = fetch<int, QString, QStringList>("kind", "application", "types");
        const std::string name = application.toStdString();
        const auto account = kind == DROPBOX_CLOUD ? std::unique_ptr<CloudBase>(std::make_unique<DropBox>(name))
                                                   : std::make_unique<GoogleDrive>(name);
        QCOMPARE(account->findChild<FilePicker*>()->supportedExtensions(), types);
    }

    void cookieRules_data()
    {
        // stored: "key", or "key@domain of the cookie kept under it"
        const auto row = table<int, QStringList, QString, QStringList, int, int, QStringList>("kind", "held", "url", "answered",
                                                                                              "in", "out", "stored");
        const QString chooser = "https://www.dropbox.com/chooser?origin=http%3A%2F%2Fwww.qovi.com&app_key=k";
        row("Dropbox sign-in", 0, {"blid@.dropbox.com+", "locale@.dropbox.com+", "t@.dropbox.com"}, chooser, {}, 1, 0,
            {"blid", "locale"});
        row("Dropbox, one name twice: the later kept", 0,
            {"blid@.dropbox.com+", "locale@.dropbox.com+", "locale@www.dropbox.com+"}, chooser, {}, 1, 0,
            {"blid", "locale@www.dropbox.com"});
        row("Dropbox, no blid", 0, {"locale@.dropbox.com+"}, chooser, {}, 0, 0, {"locale"});
        row("Dropbox, blid without expiry", 0, {"blid@.dropbox.com"}, chooser, {}, 0, 0, {});
        row("Dropbox, upper case", 0, {"blid@.dropbox.com+"}, "https://WWW.DROPBOX.COM/Chooser?ORIGIN=x", {}, 1, 0,
            {"blid"});
        row("Dropbox, no origin", 0, {"blid@.dropbox.com+"}, "https://www.dropbox.com/chooser?app_key=k", {}, 0, 0, {});
        row("Dropbox sign-out", 0, {"blid@.dropbox.com+"}, "https://www.dropbox.com/logout", {"gone@.dropbox.com+"}, 0, 1,
            {});
        row("Google keeps this answer's cookies", 1, {"SID@.google.com+"}, "https://accounts.google.com/o/oauth2/auth",
            {"HSID@.google.com+", "SID@accounts.google.com+", "NID@.google.com"}, 0, 0,
            {"HSID.google.com", "SID.accounts.google.com", "SID.google.com"});
        row("Google sign-out", 1, {"HSID@.google.com+"}, "https://accounts.google.com/Logout", {}, 0, 1, {});
    }

    void cookieRules()
    {
        auto [kind, held, url, answered, in, out, stored] = fetch<int, QStringList, QString, QStringList, int, int, QStringList>(
            "kind", "held", "url", "answered", "in", "out", "stored");
        CookiesManager jar(kind == 0 ? DropBox::service() : GoogleDrive::service(), kApplication, nullptr);
        jar.setAllJarCookies(cookies(held));
        if (out)
            jar.saveCookies();
        QSignalSpy loggedIn(&jar, &CookiesManager::loggedIn);
        QSignalSpy loggedOut(&jar, &CookiesManager::loggedOut);
        jar.setCookiesFromUrl(cookies(answered), QUrl(url));
        QCOMPARE(loggedIn.size(), in);
        QCOMPARE(loggedOut.size(), out);
        QSettings settings(QSettings::NativeFormat, QSettings::UserScope, "Qovi\\Settings", kApplication);
        settings.beginGroup(kind == 0 ? "db" : "gd");
        QStringList keys = settings.childKeys();
        keys.sort();
        for (QString& key : stored) {
            const QString domain = key.section('@', 1);
            key = key.section('@', 0, 0);
            const QByteArray kept = settings.value(key).toByteArray();
            QVERIFY(domain.isEmpty() || QNetworkCookie::parseCookies(kept).value(0).domain() == domain);
        }
        QCOMPARE(keys, stored);
        QCOMPARE(jar.isLoggedIn(), stored.join(',').contains(kind == 0 ? "blid" : "HSID"));
        if (out) // the sign-out's own cookies come after the clearing
            QCOMPARE(jar.allJarCookies().size(), answered.size());
    }

    void storedSessionsLoad()
    {
        QSettings settings(QSettings::NativeFormat, QSettings::UserScope, "Qovi\\Settings", kApplication);
        settings.setValue("db/lid", cookie("lid@.dropbox.com+").toRawForm());
        settings.setValue("gd/SID.google.com", cookie("SID@.google.com+").toRawForm());
        settings.setValue("gd/junk", QByteArray("\x01\x02"));
        settings.sync();
        // Dropbox loads nothing without its sign-in cookie; Google whatever parses.
        QVERIFY(CookiesManager(DropBox::service(), kApplication, nullptr).allJarCookies().isEmpty());
        QCOMPARE(CookiesManager(GoogleDrive::service(), kApplication, nullptr).allJarCookies().size(), 1);
        settings.setValue("db/blid", cookie("blid@.dropbox.com+").toRawForm());
        settings.sync();
        QCOMPARE(CookiesManager(DropBox::service(), kApplication, nullptr).allJarCookies().size(), 2);
        QVERIFY(!CookiesManager(DropBox::service(), QString(), nullptr).clearCookies());
    }

    void bridgeFilter_data()
    {
        const auto add = table<QVariantList, int, int, int>("chosen", "passed", "refused", "dropped");
        const QVariant ok = entry("https://dl.dropboxusercontent.com/ok");
        const auto row = [&](const char* name, const QVariant& chosen, bool accepted) {
            add(name, {chosen, ok}, accepted ? 2 : 1, accepted ? 0 : 1, 0);
        };
        const QString dl = "https://dl.dropboxusercontent.com/1/view/x/a.mkv";
        row("direct link", entry(dl), true);
        row("Drive document", entry("https://drive.google.com/file/d/1Ab_-9/view", "1Ab_-9"), true);
        row("local file", entry("file:///etc/passwd"), false);
        row("script", entry("javascript:alert(1)"), false);
        row("in clear", entry("http://dl.dropboxusercontent.com/1/view/x"), false);
        row("foreign host", entry("https://evil.example.com/a.mkv"), false);
        row("look-alike host", entry("https://dl.dropboxusercontent.com.evil.com/a"), false);
        row("user info", entry("https://evil.com@dl.dropboxusercontent.com/a"), false);
        row("id that climbs", entry(dl, "../../etc"), false);
        row("not a map", dl, false);
        row("link of 10,000,000 characters", entry(dl + "?" + QString(10000000, 'a')), false);
        QVariantMap named = entry(dl);
        named["fileName"] = QString(FilePicker::kMaxFieldLength + 1, 'n');
        row("name past the bound", named, false);
        named["fileName"] = QVariantMap{{"a", 1}};
        row("field that is not plain", named, false);
        QVariantMap crowded = entry(dl);
        for (int i = 0; crowded.size() <= FilePicker::kMaxEntryFields; ++i)
            crowded.insert(QString::number(i), i);
        row("more fields than an entry has", crowded, false);
        // A page that hands over a flood: the player gets a person's worth, at once.
        const int most = FilePicker::kMaxChosenFiles;
        add("a flood of 100,000", QVector<QVariant>(100000, entry(dl)).toList(), most, 0, 100000 - most);
    }

    void bridgeFilter()
    {
        const auto [chosen, passed, refused, dropped] = fetch<QVariantList, int, int, int>("chosen", "passed", "refused", "dropped");
        FilePicker picker(nullptr);
        picker.setDownloadHosts(DropBox::service().downloadHosts + GoogleDrive::service().downloadHosts);
        QSignalSpy selected(&picker, &FilePicker::openSelectedFiles);
        picker.onFileSelected(chosen);
        QCOMPARE(selected.size(), 1);
        QCOMPARE(selected[0][0].toList().size(), passed);
        if (refused || dropped)
            QVERIFY(logged(QStringLiteral("WRN Chooser: %1 entries refused, %2 beyond the first %3 dropped")
                               .arg(refused).arg(dropped).arg(FilePicker::kMaxChosenFiles)));
    }

    void bridgeOnlyOnTheChooserPage()
    {
        m_cloud.control("POST", "/auto", {{"enabled", false}});
        TestAccount<DropBox> account;
        QWebFrame* frame = account.view()->page()->mainFrame();
        QSignalSpy loaded(account.view(), &QWebView::loadFinished);
        QVERIFY(account.showChooser());
        QVERIFY(waitFor([&] { return loaded.size() >= 1; }));
        QCOMPARE(frame->evaluateJavaScript("typeof qoviFilePicker").toString(), QStringLiteral("object"));
        QCOMPARE(frame->evaluateJavaScript("JSON.stringify(qoviFilePicker.data)").toString(), QStringLiteral("{}"));
        // Wherever the page goes from there, the bridge does not follow.
        for (const char* away : {"location = 'https://www.dropbox.com/login'", "location = 'http://www.qovi.com/cloudconnect/'"}) {
            loaded.clear();
            frame->evaluateJavaScript(away);
            QVERIFY(waitFor([&] { return loaded.size() >= 1; }));
            QCOMPARE(frame->evaluateJavaScript("typeof qoviFilePicker").toString(), QStringLiteral("undefined"));
        }
    }

    void dropboxChooser_data()
    {
        const auto row = table<QString>("action");
        row("pick", "pick");
        row("cancel", "cancel");
    }

    void dropboxChooser()
    {
        QFETCH(QString, action);
        m_cloud.control("POST", "/auto", {{"chooser", action}, {"dropbox_pick", "clip.mkv"}});
        TestAccount<DropBox> account;
        QSignalSpy selected(&account, &CloudBase::openSelectedFiles);
        account.view()->show();
        account.openChooserFlow();
        if (action == "cancel") {
            QVERIFY(waitFor([&] { return !account.view()->isVisible(); }));
            QCOMPARE(selected.size(), 0);
            return;
        }
        QVERIFY(waitFor([&] { return selected.size() == 1; }));
        const QVariantList files = selected[0][0].toList();
        QCOMPARE(files.size(), 1);
        const QVariantMap file = files[0].toMap();
        QCOMPARE(file.keys(), (QStringList{"fileName", "fileSize", "filelink", "thumbnail"}));
        QCOMPARE(file["fileSize"].toULongLong(), 2ULL << 20);
        const QUrlQuery asked(QUrl(m_cloud.requests("www.dropbox.com", "/chooser").at(0)["url"].toString()));
        QCOMPARE(asked.queryItemValue("app_key"), QString::fromStdString(cloudCredential(kApplication, DROPBOX_CLOUD, -1)));
        QCOMPARE(asked.queryItemValue("extensions", QUrl::FullyDecoded), QStringLiteral(".qovi .mkv .avi .mov .mp4"));
        QCOMPARE(account.view()->page()->mainFrame()->evaluateJavaScript("connected").toBool(), true);
    }

    void googleChooser_data()
    {
        const auto row = table<QString, QStringList>("action", "events");
        row("two picked", "fcPick(DOCS_HERE.slice(0, 2))", {"selected 2", "closed"});
        row("cancel", "fcCancel()", {"closed"});
    }

    void googleChooser()
    {
        const auto [action, events] = fetch<QString, QStringList>("action", "events");
        // The page signs in by itself; the automatic picker finds nothing to pick.
        m_cloud.control("POST", "/auto", {{"google_pick", "nothing-of-that-name"}});
        TestAccount<GoogleDrive> account;
        QStringList seen;
        connect(&account, &CloudBase::openSelectedFiles, this, [&](const QVariantList& files) {
            seen << QStringLiteral("selected %1").arg(files.size());
            for (const QVariant& file : files)
                QCOMPARE(file.toMap().keys(),
                         (QStringList{"fileName", "fileSize", "filelink", "id", "mimeType", "thumbnail", "token"}));
        });
        connect(account.view(), &CloudView::webViewClosed, this, [&] { seen << "closed"; });
        account.view()->show();
        QVERIFY(account.showChooser());
        // The picker frame lists the files; a person acts on them.
        QWebFrame* picker = nullptr;
        QVERIFY(waitFor([&] {
            for (QWebFrame* frame : account.view()->page()->mainFrame()->childFrames()) {
                if (frame->evaluateJavaScript("typeof fcPick").toString() == "function")
                    picker = frame;
            }
            return picker;
        }));
        picker->evaluateJavaScript(action);
        QVERIFY(waitFor([&] { return seen.contains("closed"); }));
        QCOMPARE(seen, events);
    }

    void googlePickerWaitsForBothHalves()
    {
        m_cloud.control("POST", "/auto", {{"enabled", false}});
        TestAccount<GoogleDrive> account;
        QWebFrame* page = account.view()->page()->mainFrame();
        QVERIFY(account.showChooser());
        QVERIFY(waitFor([&] { return page->evaluateJavaScript("pickerApiLoaded").toBool(); }));
        page->evaluateJavaScript("var built = 0; google.picker.PickerBuilder = function () {"
                                 "  var b = {build: function () { built++; return {setVisible: function () {}}; }};"
                                 "  ['addView', 'enableFeature', 'setSize', 'hideTitleBar', 'setOAuthToken', 'setCallback']"
                                 "    .forEach(function (n) { b[n] = function () { return b; }; }); return b; };");
        for (const char* order : {"pickerApiLoaded = false; oauthToken = null; handleAuthResult({access_token: 't'});",
                                  "pickerApiLoaded = false; oauthToken = null; onPickerApiLoad();"}) {
            page->evaluateJavaScript("built = 0;");
            page->evaluateJavaScript(order);
            QCOMPARE(page->evaluateJavaScript("built").toInt(), 0);
            page->evaluateJavaScript(QString(order).contains("handle") ? "onPickerApiLoad()"
                                                                      : "handleAuthResult({access_token: 't'})");
            QCOMPARE(page->evaluateJavaScript("built").toInt(), 1);
        }
        page->evaluateJavaScript("built = 0; oauthToken = null; handleAuthResult({error: 'denied'});");
        QCOMPARE(page->evaluateJavaScript("built").toInt(), 0);
    }

    void credentials()
    {
        const std::string key = cloudCredential("Player", DROPBOX_CLOUD, -1);
        QCOMPARE(key.size(), size_t(15));
        QCOMPARE(cloudCredential("Player", DROPBOX_CLOUD, 0), key);
        QVERIFY(cloudCredential("Converter", DROPBOX_CLOUD, -1) != key);
        QVERIFY(QString::fromStdString(cloudCredential("Player", GDRIVE_CLOUD, -1)).endsWith(".apps.googleusercontent.com"));
        QCOMPARE(cloudCredential("Player", GDRIVE_CLOUD, 0).size(), size_t(24));
        for (const auto& [application, kind, which] : {std::tuple{"Player", 1, 5}, std::tuple{"Player", 2, -1},
                                                        std::tuple{"player", 0, -1}})
            QCOMPARE(cloudCredential(application, CLOUD_TYPE(kind), which), std::string());
    }

private:
    FakeCloud m_cloud;
};

LUMEN_TEST_MAIN(WebTest)
#include "tst_web.moc"
