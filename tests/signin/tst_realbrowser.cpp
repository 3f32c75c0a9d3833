// A sign-in to each service in a real browser: the plug-in asks the desktop
// to open the address (an X server's session, where the desktop's way is
// $BROWSER), and Debian's chromium signs in through the stand-in's proxy.
#include "dropbox.h"
#include "dropboxoauth.h"
#include "fakecloud.h"
#include "googledrive.h"
#include "testaccount.h"
#include "teststate.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <csignal>
#include <sys/types.h>

using namespace teststate;

class RealBrowserTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void signIn_data();
    void signIn();

private:
    static void endBrowser(const QString& pidFile);
    FakeCloud m_cloud;
    QTemporaryDir m_folder;
};

void RealBrowserTest::initTestCase()
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        QSKIP("no X server could start here: the sign-in in a real browser was not run");
    if (QStandardPaths::findExecutable(QStringLiteral("chromium")).isEmpty())
        QSKIP("chromium is not installed (scripts/setup installs it): the sign-in in a real browser was not run");
    QVERIFY(m_cloud.start(true, FakeCloud::Rules::Live));
    qputenv("LUMEN_TEST_PROXY", QByteArray("127.0.0.1:") + QByteArray::number(m_cloud.port()));
    // The user's default browser, as the desktop's addresses open it
    // (xdg-open asks the default handler of https; Qt without it, $BROWSER).
    qputenv("BROWSER", SIGNIN_DIR "/headless-chromium");
    const QString data = qEnvironmentVariable("XDG_DATA_HOME", QDir::homePath() + "/.local/share");
    const QString config = qEnvironmentVariable("XDG_CONFIG_HOME", QDir::homePath() + "/.config");
    QVERIFY(QDir().mkpath(data + "/applications") && QDir().mkpath(config));
    QFile entry(data + "/applications/lumen-test-browser.desktop");
    QVERIFY(entry.open(QIODevice::WriteOnly));
    entry.write("[Desktop Entry]\nType=Application\nName=Test browser\nExec=" SIGNIN_DIR "/headless-chromium %u\n"
                "MimeType=x-scheme-handler/http;x-scheme-handler/https;\n");
    QFile defaults(config + "/mimeapps.list");
    QVERIFY(defaults.open(QIODevice::WriteOnly));
    defaults.write("[Default Applications]\nx-scheme-handler/https=lumen-test-browser.desktop\n"
                   "x-scheme-handler/http=lumen-test-browser.desktop\n");
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
    const QString pidFile = m_folder.filePath(QString::number(kind) + ".pid");
    qputenv("LUMEN_TEST_BROWSER_PID", QFile::encodeName(pidFile));
    std::unique_ptr<CloudBase> cloud;
    if (kind == DROPBOX_CLOUD)
        cloud = std::make_unique<TestAccount<DropBox>>();
    else
        cloud = std::make_unique<TestAccount<GoogleDrive>>();
    cloud->setSignInRoad(CloudBase::BrowserRoad);
    QSignalSpy waiting(cloud.get(), &CloudBase::signInWaiting);
    QSignalSpy connected(cloud.get(), &CloudBase::connectedToCloud);
    QSignalSpy failed(cloud.get(), &CloudBase::signInFailed);
    QVERIFY(cloud->connectToCloud());
    QVERIFY(waitFor([&] { return !waiting.isEmpty() || !failed.isEmpty(); }));
    QVERIFY2(failed.isEmpty(), qPrintable(failed.value(0).value(0).toString()));
    QVERIFY(waiting[0][1].toBool()); // the desktop opened it
    QVERIFY(waitFor([&] { return !connected.isEmpty() || !failed.isEmpty(); }, 90000));
    endBrowser(pidFile);
    QVERIFY2(failed.isEmpty(), qPrintable(failed.value(0).value(0).toString()));
    QCOMPARE(connected[0][1].toString(), kAlice);
    QVERIFY(cloud->isConnected(false));
    // The browser signed in to the service itself: no web session here.
    QVERIFY(!hasSignInCookie(CLOUD_TYPE(kind)));
}

void RealBrowserTest::endBrowser(const QString& pidFile)
{
    QFile file(pidFile);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const pid_t pid = pid_t(file.readAll().trimmed().toLongLong());
    if (pid > 1)
        ::kill(pid, SIGTERM); // the launcher passes it on to the browser
}

LUMEN_TEST_MAIN(RealBrowserTest)
#include "tst_realbrowser.moc"
