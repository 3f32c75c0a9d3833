// The player a person sees: its window with the plug-in's buttons and menu,
// the preference of the button, downloads that really arrive and are
// checked (size, kind, stalls), the Google Drive token taken from the
// plug-in, pings on the wire at the ping host, and once, the whole Google
// Drive road under a real X server.
#include "demoplayer.h"
#include "downloader.h"
#include "fakecloud.h"
#include "osutilities.h"
#include "pingmanager.h"
#include "playertoolbutton.h"
#include "playerwindow.h"
#include "teststate.h"

#include <QMenu>
#include <QNetworkProxy>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QToolBar>

using namespace teststate;

class WindowTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init() { m_cloud.reset(); }
    void buttonsMenuAndPreference();
    void downloads_data();
    void downloads();
    void pingsReachTheWire_data();
    void pingsReachTheWire();
    void googleRoadUnderX();
    void todaysRoad();
    void fetchOption();

private:
    FakeCloud m_cloud;
    QTemporaryDir m_folder;
};

void WindowTest::initTestCase()
{
    QVERIFY(m_cloud.start());
    QoviLumen::OSUtilities::setPlatform(QoviLumen::OSUtilities::MacPlatform);
}

void WindowTest::buttonsMenuAndPreference()
{
    PlayerWindow::storeCloudButtonShown(true);
    DemoPlayer player(LUMEN_PLUGIN_DIR, m_folder.filePath("downloads"));
    QCOMPARE(player.run(), 0);
    PlayerWindow* window = player.window();
    window->show();
    // One cloud button in each bar, one menu of the player's two actions.
    const QList<QoviLumen::PlayerToolButton*> buttons = window->pluginButtons();
    QCOMPARE(buttons.size(), 2);
    QCOMPARE(buttons[0]->parentWidget(), window->controlBar());
    QCOMPARE(buttons[1]->parentWidget(), window->fullscreenBar());
    QVERIFY(buttons[0]->menu() && buttons[0]->menu() == buttons[1]->menu());
    QStringList labels;
    for (QAction* action : buttons[0]->menu()->actions())
        labels << action->text();
    QCOMPARE(labels, (QStringList{"Import from Dropbox...", "Import from Google Drive..."}));
    // The preference hides and shows them while they exist.
    for (bool shown : {false, true}) {
        window->cloudButtonPreference()->setChecked(shown);
        QCOMPARE(PlayerWindow::cloudButtonShown(), shown);
        for (QoviLumen::PlayerToolButton* button : buttons)
            QCOMPARE(button->isVisible(), shown);
    }
    // How the plug-in signs in: in the browser unless unchecked.
    QVERIFY(window->signInRoadPreference()->isChecked());
    for (bool browser : {false, true}) {
        window->signInRoadPreference()->setChecked(browser);
        QCOMPARE(PlayerWindow::signInRoad(), QLatin1String(browser ? "browser" : "embedded"));
    }
}

void WindowTest::downloads_data()
{
    QTest::addColumn<bool>("drive");
    QTest::addColumn<QJsonObject>("fault");
    QTest::addColumn<bool>("done");
    QTest::addColumn<QList<bool>>("asked"); // tokens asked of the plug-in: after a refusal or not
    QTest::addColumn<QString>("why");
    QTest::addColumn<bool>("kept"); // a failed one keeps what arrived, to continue it
    const QList<bool> none, one{false}, two{false, false}, refused{false, true};
    QTest::newRow("Dropbox link") << false << QJsonObject() << true << none << "" << false;
    QTest::newRow("Dropbox, cut once, continued") << false
                                                  << QJsonObject{{"kind", "drop"}, {"where", "response"}, {"times", 1}}
                                                  << true << none << "" << false;
    QTest::newRow("Dropbox, cut again and again") << false << QJsonObject{{"kind", "drop"}, {"where", "response"}}
                                                  << false << none << "" << true;
    QTest::newRow("Dropbox, a pause shorter than the stall limit")
        << false << QJsonObject{{"kind", "pause"}, {"where", "response"}, {"after", 1000}, {"seconds", 0.7}} << true
        << none << "" << false;
    QTest::newRow("Dropbox, a web page for the video")
        << false << QJsonObject{{"kind", "status"}, {"status", 200}, {"body", "<html><body>Error</body></html>"},
                                {"content_type", "text/html"}}
        << false << none << "the service answered a web page, not the video" << false;
    QTest::newRow("Dropbox, a length the answer never reaches: the file found whole")
        << false << QJsonObject{{"kind", "bad_length"}} << true << none << "" << false;
    QTest::newRow("Dropbox, an answer that stalls again and again")
        << false << QJsonObject{{"kind", "stall"}, {"after", 0}} << false << none
        << "no byte arrived for 1 s (0 of 300000 bytes received)" << false;
    QTest::newRow("Dropbox, a certificate nobody trusts")
        << false << QJsonObject{{"tls", "untrusted"}} << false << none << "SSL certificate problem" << false;
    QTest::newRow("Drive media") << true << QJsonObject() << true << one << "" << false;
    QTest::newRow("Drive, another size than the address's")
        << true << QJsonObject{{"kind", "status"}, {"status", 200}, {"body", "{}"}, {"content_type", "video/x-matroska"}}
        << false << one << "the service announced 2 bytes, not the 300000 of the file" << false;
    QTest::newRow("Drive, an answer that never ends")
        << true << QJsonObject{{"kind", "endless"}} << false << one << "more than the 300000 bytes" << false;
    QTest::newRow("Drive, cut once, continued") << true
                                                << QJsonObject{{"kind", "drop"}, {"where", "response"}, {"times", 1}}
                                                << true << two << "" << false;
    QTest::newRow("Drive, token refused once") << true << QJsonObject{{"kind", "expired"}, {"times", 1}} << true
                                               << refused << "" << false;
    QTest::newRow("Drive, token refused again") << true << QJsonObject{{"kind", "expired"}} << false << refused << ""
                                                << false;
}

void WindowTest::downloads()
{
    QFETCH(bool, drive);
    QFETCH(QJsonObject, fault);
    QFETCH(bool, done);
    QFETCH(QList<bool>, asked);
    QFETCH(QString, why);
    QFETCH(bool, kept);
    const QString token = signIn(m_cloud, drive ? GDRIVE_CLOUD : DROPBOX_CLOUD);
    QList<bool> tokens;
    const QString folder = m_folder.filePath(QTest::currentDataTag());
    Downloader downloads(folder, [&](bool refused) {
        tokens << refused;
        return token;
    });
    downloads.setStallLimit(1000);
    QUrl address;
    QByteArray bytes;
    if (drive) {
        const QJsonObject file = m_cloud.control("POST", "/files", {{"service", "google"}, {"name", "clip one.mkv"},
                                                                    {"parent", "root"}, {"size", 300000}});
        address = QUrl(QStringLiteral("https://www.googleapis.com/drive/v3/files/%1/300000/clip%20one.mkv")
                           .arg(file["id"].toString()));
        bytes = m_cloud.driveFile(kAlice, "clip one.mkv");
        fault["path"] = "/drive/v3/files/" + file["id"].toString();
    } else {
        m_cloud.control("POST", "/files", {{"service", "dropbox"}, {"path", "/clip one.mkv"}, {"size", 300000}});
        address = QUrl(m_cloud.control("GET", "/links?email=" + kAlice + "&path=/clip%20one.mkv")["link"].toString());
        bytes = m_cloud.dropboxFile(kAlice, "/clip one.mkv");
        fault["path"] = "/1/view/*";
    }
    if (fault.contains("kind"))
        m_cloud.addFault(fault);
    if (fault.contains("tls"))
        m_cloud.setTls(fault["tls"].toString());
    QSignalSpy ended(&downloads, &Downloader::ended);
    QSignalSpy changed(&downloads, &Downloader::changed);
    const int id = downloads.add(address);
    QVERIFY(waitFor([&] { return ended.size() == 1; }));
    const Downloader::Download& download = downloads.download(id);
    QCOMPARE(download.state == Downloader::Done, done);
    QCOMPARE(download.name, QStringLiteral("clip one.mkv"));
    QCOMPARE(tokens, asked);
    const QString path = fault.value("path").toString().remove('*');
    const auto ranges = [&] {
        QStringList sent;
        for (const QJsonValue& request : requests(m_cloud, QString(), QString())) {
            if (request["path"].toString().startsWith(path) && !request["query"].toString().contains("fields"))
                sent << header(request.toObject(), "Range");
        }
        return sent;
    };
    if (!done) {
        QVERIFY(!download.why.isEmpty());
        QVERIFY2(download.why.contains(why), qPrintable(download.why));
        QCOMPARE(QDir(folder).entryList(QDir::Files).size(), kept ? 1 : 0); // the .part, to continue
        // Tried again without the fault, it arrives, from where it stopped.
        m_cloud.control("DELETE", "/faults");
        m_cloud.setTls("normal");
        const int before = ranges().size();
        QVERIFY(downloads.retry(id));
        QVERIFY(waitFor([&] { return ended.size() == 2; }));
        QCOMPARE(download.state, Downloader::Done);
        QCOMPARE(ranges().mid(before).value(0).isEmpty(), !kept);
    }
    QFile file(download.path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), bytes);
    QVERIFY(changed.size() >= 2); // progress before the end
    QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList{"clip one.mkv"});
    if (fault.value("times").toInt() == 1 && fault.value("kind") == "drop")
        QVERIFY(ranges().value(1).startsWith("bytes=")); // continued, not started over
}

void WindowTest::pingsReachTheWire_data()
{
    QTest::addColumn<QString>("pingHost");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("outcome"); // what the record says became of it
    QTest::newRow("the service's host") << "ping.qovi.com" << "http://ping.qovi.com/hint/q10-test-ping"
                                        << "sent to http://ping.qovi.com/hint/q10-test-ping, answered 204";
    QTest::newRow("another ping host") << "pings.example" << "http://ping.qovi.com/hint/q10-test-ping"
                                       << "sent to http://pings.example/hint/q10-test-ping, answered 204";
    QTest::newRow("addressed elsewhere") << "ping.qovi.com" << "http://elsewhere.example/hint/q10-test-ping"
                                         << "not sent (not addressed to the ping service): "
                                            "http://elsewhere.example/hint/q10-test-ping";
}

void WindowTest::pingsReachTheWire()
{
    QFETCH(QString, pingHost);
    QFETCH(QString, address);
    QFETCH(QString, outcome);
    m_cloud.control("POST", "/hosts", {{"host", "pings.example"}, {"status", 204}, {"body", ""}});
    QoviLumen::PingManager::clearRecordedPings();
    QoviLumen::PingManager::setPingHost(pingHost);
    const bool sent = QoviLumen::PingManager::sendPing(address, true);
    QoviLumen::PingManager::setPingHost(QString());
    QCOMPARE(QoviLumen::PingManager::pingOutcomes(), QStringList{outcome});
    const QJsonArray pings = requests(m_cloud, QString(), "/hint/q10-test-ping");
    QCOMPARE(sent, !pings.isEmpty());
    QCOMPARE(pings.size(), sent ? 1 : 0);
    if (sent) {
        QCOMPARE(pings[0]["host"].toString(), QUrl(outcome.section(' ', 2, 2)).host());
        QCOMPARE(pings[0]["method"].toString(), QStringLiteral("GET"));
    }
}

void WindowTest::googleRoadUnderX()
{
    // A display of our own; the player clicks the button and the menu on it.
    QProcess display;
    display.start("Xvfb", {":97", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"});
    if (!display.waitForStarted(5000) || display.waitForFinished(1500))
        QSKIP("Xvfb could not start here: the road under a real X server was not run");
    m_cloud.control("POST", "/auto", {{"enabled", true}, {"delay_ms", 50}});
    m_cloud.control("POST", "/hosts", {{"host", "pings.example"}, {"status", 204}, {"body", ""}});
    QProcess player;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DISPLAY", ":97");
    environment.insert("QT_QPA_PLATFORM", "xcb");
    environment.insert("XDG_CONFIG_HOME", m_folder.filePath("x/config"));
    environment.insert("XDG_CACHE_HOME", m_folder.filePath("x/cache"));
    environment.insert("XDG_DATA_HOME", m_folder.filePath("x/data"));
    environment.remove("XDG_RUNTIME_DIR"); // Qt would warn of it
    player.setProcessEnvironment(environment);
    player.start(LUMEN_PLAYER, {"--proxy", QStringLiteral("127.0.0.1:%1").arg(m_cloud.port()), "--ca-cert",
                                FAKECLOUD_DIR "/ca.pem", "--import", "gdrive", "--downloads", m_folder.filePath("x/dl"),
                                "--pictures", m_folder.filePath("x/pictures"), "--ping-host", "pings.example"});
    const bool ended = player.waitForFinished(120000);
    display.terminate();
    display.waitForFinished(5000);
    QVERIFY(ended);
    const QByteArray out = player.readAllStandardOutput();
    QVERIFY2(player.exitCode() == 0, out.constData());
    QVERIFY(out.contains("a click on \"Import from Google Drive...\""));
    QVERIFY(out.contains("e-mail address received: the plug-in emitted cloudConnected(Google Drive, alice@example.com)"));
    QVERIFY(out.contains("usage ping sent to http://pings.example/hint/q10-macplayer-cloud-connect-Register-GoogleDrive"
                         "-Geo-US, answered 204"));
    QVERIFY(out.contains("downloaded: Big Buck Bunny.mp4 (5242880 bytes)"));
    QVERIFY2(player.readAllStandardError().isEmpty(), "Qt's own warnings reach the user");
    QVERIFY(out.trimmed().split('\n').last().startsWith("queued: https://www.googleapis.com/drive/v3/files/"));
}

void WindowTest::todaysRoad()
{
    // The demo's road against today's rules: the sign-in in its browser,
    // then the native chooser, two files of a subfolder.
    const QNetworkProxy shared = QNetworkProxy::applicationProxy(); // the suite's stand-in, after this one
    FakeCloud live;
    QVERIFY(live.start(true, FakeCloud::Rules::Live));
    live.control("POST", "/auto", {{"delay_ms", 50}});
    live.control("POST", "/files", {{"service", "google"}, {"name", "trailer.mp4"}, {"parent", "Videos"},
                                    {"mimeType", "video/mp4"}, {"size", 1000}});
    QProcess player;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_CONFIG_HOME", m_folder.filePath("live/config"));
    player.setProcessEnvironment(environment);
    player.start(LUMEN_PLAYER, {"--proxy", QStringLiteral("127.0.0.1:%1").arg(live.port()), "--ca-cert",
                                FAKECLOUD_DIR "/ca.pem", "--import", "gdrive", "--sign-in-road", "browser",
                                "--downloads", m_folder.filePath("live/dl"), "--pictures", m_folder.filePath("live/p")});
    QVERIFY(player.waitForFinished(120000));
    live.stop();
    QNetworkProxy::setApplicationProxy(shared);
    const QByteArray out = player.readAllStandardOutput();
    QVERIFY2(player.exitCode() == 0, out.constData());
    for (const char* step : {"the browser came back to the plug-in on 127.0.0.1:", "Videos is open: holiday.mov, trailer.mp4",
                             "the search found: holiday.mov", "Ctrl+A selects holiday.mov and trailer.mp4",
                             "downloaded: holiday.mov (3145728 bytes)", "downloaded: trailer.mp4 (1000 bytes)"})
        QVERIFY2(out.contains(step), step);
    QVERIFY(out.trimmed().split('\n').last().endsWith("/1000/trailer.mp4"));
}

void WindowTest::fetchOption()
{
    // The player's downloads list alone, as the download benchmark runs it,
    // in a player that imported nothing yet: a Drive token still comes from
    // the account the profile keeps.
    signIn(m_cloud, GDRIVE_CLOUD);
    const QJsonObject drive = m_cloud.control("POST", "/files", {{"service", "google"}, {"name", "clip two.mkv"},
                                                                 {"parent", "root"}, {"size", 2000}});
    m_cloud.control("POST", "/files", {{"service", "dropbox"}, {"path", "/clip one.mkv"}, {"size", 3000}});
    const QString link = m_cloud.control("GET", "/links?email=" + kAlice + "&path=/clip%20one.mkv")["link"].toString();
    const QList<QPair<QString, QString>> cases{
        {link, "downloaded: clip one.mkv (3000 bytes)"},
        {"https://www.googleapis.com/drive/v3/files/" + drive["id"].toString() + "/2000/clip%20two.mkv",
         "downloaded: clip two.mkv (2000 bytes)"},
        {"ftp://example.com/clip.mkv", "--fetch takes an http or https address, not ftp://example.com/clip.mkv"}};
    // The player's profile is this test's (kept where test mode keeps it).
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_CONFIG_HOME", QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
    for (const auto& [address, said] : cases) {
        QProcess player;
        player.setProcessEnvironment(environment);
        player.start(LUMEN_PLAYER, {"--proxy", QStringLiteral("127.0.0.1:%1").arg(m_cloud.port()), "--ca-cert",
                                    FAKECLOUD_DIR "/ca.pem", "--downloads", m_folder.filePath("fetch"), "--fetch",
                                    address});
        QVERIFY(player.waitForFinished(30000));
        const QByteArray out = player.readAllStandardOutput();
        QVERIFY2(out.trimmed().endsWith(said.toUtf8()), out.constData());
        QCOMPARE(player.exitCode(), address.startsWith("ftp") ? 2 : 0);
    }
    QCOMPARE(QFileInfo(m_folder.filePath("fetch/clip two.mkv")).size(), qint64(2000));
}

LUMEN_TEST_MAIN(WindowTest)
#include "tst_window.moc"
