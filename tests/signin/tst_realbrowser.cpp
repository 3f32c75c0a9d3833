// A sign-in to each service in a real browser: the plug-in asks the desktop
// to open the address (an X server's session, where the desktop's way is
// $BROWSER), and Debian's chromium signs in through the stand-in's proxy.
#include "dropbox.h"
#include "dropboxoauth.h"
#include "fakecloud.h"
#include "googledrive.h"
#include "testaccount.h"
#include "teststate.h"

#include <QFile>
#include <QGuiApplication>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>

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
    if (QStandardPaths::findExecutable(QStringLiteral("chromium")).isEmpty())
        QSKIP("chromium is not installed (scripts/setup installs it): the sign-in in a real browser was not run");
    QVERIFY(m_cloud.start(true, FakeCloud::Rules::Live));
    qputenv("LUMEN_TEST_PROXY", QByteArray("127.0.0.1:") + QByteArray::number(m_cloud.port()));
    qputenv("BROWSER", SIGNIN_DIR "/headless-chromium");
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
    const QString page = m_folder.filePath(QString::number(kind) + ".html");
    qputenv("LUMEN_TEST_BROWSER_OUT", QFile::encodeName(page));
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
    QVERIFY2(failed.isEmpty(), qPrintable(failed.value(0).value(0).toString()));
    QCOMPARE(connected[0][1].toString(), kAlice);
    QVERIFY(cloud->isConnected(false));
    QFile dom(page);
    QVERIFY(waitFor([&] { return dom.size() > 0; }, 30000));
    QVERIFY(dom.open(QIODevice::ReadOnly));
    QVERIFY(dom.readAll().contains("Signed in to Lumen. You can close this tab."));
}

LUMEN_TEST_MAIN(RealBrowserTest)
#include "tst_realbrowser.moc"
