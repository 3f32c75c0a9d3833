// A sign-in to each service in a real browser: the account asks the desktop
// to open the address (on an X server, xdg-open and the default https
// handler), and Debian's chromium signs in through the stand-in's proxy.
#include "dropbox.h"
#include "dropboxoauth.h"
#include "fakecloud.h"
#include "googledrive.h"
#include "testaccount.h"
#include "teststate.h"

#include <QDir>
#include <QGuiApplication>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <csignal>

using namespace teststate;

class RealBrowserTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void signIn_data();
    void signIn();

private:
    FakeCloud m_cloud;
    QTemporaryDir m_folder;
};

void RealBrowserTest::initTestCase()
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        QSKIP("no X server could start here: the sign-in in a real browser was not run");
    if (QStandardPaths::findExecutable("chromium").isEmpty())
        QSKIP("chromium is not installed (scripts/setup installs it): the sign-in in a real browser was not run");
    QVERIFY(m_cloud.start(true, FakeCloud::Rules::Live));
    qputenv("LUMEN_TEST_PROXY", "127.0.0.1:" + QByteArray::number(m_cloud.port()));
    // The user's default browser: xdg-open asks the default https handler,
    // Qt without xdg-open asks $BROWSER.
    qputenv("BROWSER", SIGNIN_DIR "/headless-chromium");
    const QString data = qEnvironmentVariable("XDG_DATA_HOME", QDir::homePath() + "/.local/share");
    const QString config = qEnvironmentVariable("XDG_CONFIG_HOME", QDir::homePath() + "/.config");
    QFile entry(data + "/applications/lumen-test-browser.desktop");
    QFile defaults(config + "/mimeapps.list");
    QVERIFY(QDir().mkpath(data + "/applications") && QDir().mkpath(config));
    QVERIFY(entry.open(QIODevice::WriteOnly) && defaults.open(QIODevice::WriteOnly));
    entry.write("[Desktop Entry]\nType=Application\nName=Test browser\nExec=" SIGNIN_DIR "/headless-chromium %u\n");
    defaults.write("[Default Applications]\nx-scheme-handler/https=lumen-test-browser.desktop\n");
}

void RealBrowserTest::signIn_data()
{
    QTest::addColumn<int>("kind");
    QTest::newRow("Dropbox") << int(DROPBOX_CLOUD);
    QTest::newRow("Google Drive") << int(GDRIVE_CLOUD);
}

void RealBrowserTest::signIn()
{
    QFETCH(int, kind);
    clearStoredState();
    openLog();
    QFile pid(m_folder.filePath(QString::number(kind) + ".pid"));
    qputenv("LUMEN_TEST_BROWSER_PID", QFile::encodeName(pid.fileName()));
    std::unique_ptr<CloudBase> cloud;
    if (kind == DROPBOX_CLOUD)
        cloud = std::make_unique<TestAccount<DropBox>>();
    else
        cloud = std::make_unique<TestAccount<GoogleDrive>>();
    cloud->setSignInRoad(CloudBase::BrowserRoad);
    QVERIFY(waitForFreePort(DropboxOAuth::kRedirectPort));
    QSignalSpy waiting(cloud.get(), &CloudBase::signInWaiting);
    QSignalSpy connected(cloud.get(), &CloudBase::connectedToCloud);
    QSignalSpy failed(cloud.get(), &CloudBase::signInFailed);
    QVERIFY(cloud->connectToCloud());
    QVERIFY(waitFor([&] { return !connected.isEmpty() || !failed.isEmpty(); }, 90000));
    // The launcher passes the end on to the browser.
    const int launcher = pid.open(QIODevice::ReadOnly) ? pid.readAll().trimmed().toInt() : 0;
    if (launcher > 1)
        ::kill(pid_t(launcher), SIGTERM);
    QVERIFY2(failed.isEmpty(), qPrintable(failed.value(0).value(0).toString()));
    QVERIFY(waiting[0][1].toBool()); // the desktop opened it
    QCOMPARE(connected[0][1].toString(), kAlice);
    QVERIFY(cloud->isConnected(false));
    QVERIFY(!hasSignInCookie(CLOUD_TYPE(kind))); // the browser's session is its own
}

LUMEN_TEST_MAIN(RealBrowserTest)
#include "tst_realbrowser.moc"
