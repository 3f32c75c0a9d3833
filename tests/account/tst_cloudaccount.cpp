// The account's stored sign-in, its free space, and its end while requests
// are still on their way.
#include "accounttest.h"
#include "fakecloud.h"
#include "testcloud.h"

#include <QAbstractNetworkCache>
#include <QNetworkCookieJar>
#include <QNetworkReply>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWebPage>

#include <memory>

using namespace accounttest;

namespace {

constexpr quint64 kUnknown = ~quint64(0);
const QString kApiHost = QStringLiteral("api.dropboxapi.com");
const QString kSpacePath = QStringLiteral("/2/users/get_space_usage");

QJsonObject delayFault(const QString& host, const QString& path, double seconds)
{
    return {{"kind", "delay"}, {"host", host}, {"path", path}, {"seconds", seconds}};
}

} // namespace

class CloudAccountTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void isConnected_data();
    void isConnected();
    void freeSpace_data();
    void freeSpace();
    void freeSpaceUnknown_data();
    void freeSpaceUnknown();
    void destroyedWithRequestsInFlight();
    void viewOfThePlayerKeepsItsManager();

private:
    QString addSpaceUser(qint64 allocated, qint64 used);

    FakeCloud m_cloud;
    std::unique_ptr<TestCloud> m_account;
};

void CloudAccountTest::initTestCase()
{
    prepareProcess();
    QVERIFY(m_cloud.start(false));
}

void CloudAccountTest::init()
{
    m_cloud.reset();
    clearStoredState();
    openLog();
    m_account = std::make_unique<TestCloud>();
}

void CloudAccountTest::cleanup()
{
    m_account.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void CloudAccountTest::cleanupTestCase()
{
    clearStoredState();
}

void CloudAccountTest::isConnected_data()
{
    QTest::addColumn<bool>("cookies");
    QTest::addColumn<bool>("token");
    QTest::addColumn<bool>("email");
    QTest::addColumn<bool>("connected");
    QTest::addColumn<bool>("tokenKept");

    QTest::newRow("nothing stored") << false << false << false << false << false;
    QTest::newRow("token alone") << false << true << false << false << false;
    QTest::newRow("token and cookies, no e-mail") << true << true << false << false << false;
    QTest::newRow("token and e-mail, no cookies") << false << true << true << false << false;
    QTest::newRow("cookies and e-mail, no token") << true << false << true << false << false;
    QTest::newRow("all three") << true << true << true << true << true;
}

void CloudAccountTest::isConnected()
{
    QFETCH(bool, cookies);
    QFETCH(bool, token);
    QFETCH(bool, email);
    QFETCH(bool, connected);
    QFETCH(bool, tokenKept);
    if (cookies)
        storeSignInCookie();
    if (token)
        storeToken(QStringLiteral("stored-token"));
    if (email)
        storeEmail(kAlice);

    QCOMPARE(m_account->isConnected(false), connected);
    QVERIFY(logMessages().isEmpty()); // quiet unless asked
    QCOMPARE(hasStoredToken(), tokenKept);
    QCOMPARE(m_account->readEmail(), email ? kAlice : QString()); // the e-mail is never cleaned up

    // Verbose: the state after the clean-up, summed up.
    QCOMPARE(m_account->isConnected(true), connected);
    const QStringList expected{
        QStringLiteral("Dropbox: Check if cloud already connected"),
        cookies ? QStringLiteral("Cookies => found") : QStringLiteral("Cookies => not found"),
        tokenKept ? QStringLiteral("Token => exists") : QStringLiteral("Token => empty"),
        email ? QStringLiteral("User email => ") + kAlice : QStringLiteral("User email => empty"),
        connected ? QStringLiteral("Summary status => [connected]") : QStringLiteral("Summary status => [not connected]"),
        QStringLiteral("---"),
        QString(),
    };
    QCOMPARE(logMessages(), expected);
}

QString CloudAccountTest::addSpaceUser(qint64 allocated, qint64 used)
{
    static int serial = 0;
    const QString email = QStringLiteral("space%1@example.com").arg(++serial);
    m_cloud.control("POST", QStringLiteral("/users"),
                    {{"service", "dropbox"},
                     {"email", email},
                     {"allocated", double(allocated)},
                     {"used_extra", double(used)}});
    return email;
}

void CloudAccountTest::freeSpace_data()
{
    QTest::addColumn<qint64>("allocated");
    QTest::addColumn<qint64>("used");
    QTest::addColumn<bool>("sync");
    QTest::addColumn<quint64>("free");

    const qint64 tib = qint64(1) << 40;
    for (const bool sync : {true, false}) {
        const char* how = sync ? "sync" : "async";
        QTest::addRow("room left, %s", how) << qint64(5000) << qint64(1200) << sync << quint64(3800);
        QTest::addRow("beyond 32 bits, %s", how) << 3 * tib << qint64(1) << sync << quint64(3 * tib - 1);
        QTest::addRow("full, %s", how) << qint64(5000) << qint64(5000) << sync << quint64(0);
        QTest::addRow("over quota, %s", how) << qint64(1000) << qint64(5000) << sync << quint64(0);
    }
}

void CloudAccountTest::freeSpace()
{
    QFETCH(qint64, allocated);
    QFETCH(qint64, used);
    QFETCH(bool, sync);
    QFETCH(quint64, free);
    signIn(m_cloud, addSpaceUser(allocated, used));
    QSignalSpy received(m_account.get(), &CloudBase::freeSpaceReceived);

    const QString usage = QStringLiteral("Disk space: used = %1, free = %2").arg(used).arg(free);
    if (sync) {
        QCOMPARE(m_account->getFreeSpace(true), free);
        QVERIFY(logInOrder({usage, QStringLiteral("Successfully got free space = %1 bytes").arg(free)}));
        QTest::qWait(50);
        QCOMPARE(received.size(), 0); // a synchronous caller has its answer
    } else {
        // The answer comes later; the call gives what was known before.
        QCOMPARE(m_account->getFreeSpace(false), kUnknown);
        QVERIFY(logInOrder({QStringLiteral("Dropbox: FREESPACE_REQUEST, POST, ASync, "
                                           "https://api.dropboxapi.com/2/users/get_space_usage"),
                            QStringLiteral("Successfully")}));
        QVERIFY(received.wait(5000));
        QCOMPARE(received.size(), 1);
        QCOMPARE(received.first().at(0).value<quint64>(), free);
        QVERIFY(logContains(usage));
    }
    QCOMPARE(m_account->freeSpace(), free);
}

void CloudAccountTest::freeSpaceUnknown_data()
{
    QTest::addColumn<QString>("failure"); // "status", "cancel" or "not connected"
    QTest::addColumn<bool>("sync");
    QTest::addColumn<quint64>("answer");
    QTest::addColumn<bool>("signalled");
    QTest::addColumn<bool>("known"); // the last known value is kept

    QTest::newRow("server error, sync") << "status" << true << kUnknown << false << false;
    QTest::newRow("server error, async") << "status" << false << quint64(0) << false << true;
    QTest::newRow("cancelled, sync") << "cancel" << true << kUnknown << false << false;
    QTest::newRow("cancelled, async") << "cancel" << false << quint64(0) << true << false;
    QTest::newRow("not connected") << "not connected" << true << quint64(0) << false << true;
}

void CloudAccountTest::freeSpaceUnknown()
{
    QFETCH(QString, failure);
    QFETCH(bool, sync);
    QFETCH(quint64, answer);
    QFETCH(bool, signalled);
    QFETCH(bool, known);

    signIn(m_cloud, addSpaceUser(5000, 1000));
    QCOMPARE(m_account->getFreeSpace(true), quint64(4000)); // a known value to lose
    int asked = 0;
    connect(m_account.get(), &CloudBase::failedRetry, this, [&asked](const QString&, bool&) { ++asked; });
    QSignalSpy received(m_account.get(), &CloudBase::freeSpaceReceived);
    const int sentBefore = answeredRequests(m_cloud, kApiHost, kSpacePath).size();

    if (failure == QLatin1String("status")) {
        m_cloud.addFault({{"kind", "status"}, {"path", kSpacePath}, {"status", 503}, {"times", 1}});
    } else if (failure == QLatin1String("cancel")) {
        m_cloud.addFault(delayFault(kApiHost, kSpacePath, 2.0));
        // Cancelled while on its way, from inside the wait for a synchronous one.
        QTimer::singleShot(sync ? 100 : 0, m_account.get(), [this] {
            if (QNetworkReply* reply = m_account->replyInFlight(FREESPACE_REQUEST))
                reply->abort();
        });
    } else {
        storeEmail(QString());
    }

    const quint64 returned = m_account->getFreeSpace(sync);
    if (sync)
        QCOMPARE(returned, answer);
    else
        QCOMPARE(returned, quint64(4000)); // the answer is yet to come
    if (signalled) {
        QVERIFY(received.wait(5000));
        QCOMPARE(received.first().at(0).value<quint64>(), kUnknown);
    }
    QTest::qWait(200);
    QCOMPARE(received.size(), signalled ? 1 : 0);
    QCOMPARE(m_account->freeSpace(), known ? quint64(4000) : kUnknown);
    QCOMPARE(asked, 0); // a space request never asks the user
    if (sync && failure != QLatin1String("not connected"))
        QVERIFY(logContains(QStringLiteral("Failed to get free space")));
    if (failure == QLatin1String("not connected"))
        QCOMPARE(answeredRequests(m_cloud, kApiHost, kSpacePath).size(), sentBefore);
}

void CloudAccountTest::destroyedWithRequestsInFlight()
{
    // Everything the account can have on its way at once: an API request,
    // a synchronous-flagged one nobody waits for any more, an upload and a
    // page of its view. The stand-in holds each answer back.
    signIn(m_cloud);
    m_cloud.addFault(delayFault(kApiHost, kSpacePath, 3.0));
    m_cloud.addFault(delayFault(kApiHost, QStringLiteral("/2/users/get_current_account"), 3.0));
    m_cloud.addFault(delayFault(QStringLiteral("content.dropboxapi.com"), QStringLiteral("/2/files/upload_session/*"), 3.0));
    m_cloud.addFault(delayFault(QStringLiteral("www.dropbox.com"), QStringLiteral("/login"), 3.0));

    QTemporaryDir folder;
    QFile source(folder.filePath(QStringLiteral("movie.mp4")));
    QVERIFY(source.open(QIODevice::WriteOnly));
    source.write(patternBytes(300 * 1024, 1));
    source.close();
    auto* file = new QFile(source.fileName());
    QVERIFY(file->open(QIODevice::ReadOnly));
    UploadTask task;
    task.file = file;
    task.filePath = source.fileName();
    task.targetPath = QStringLiteral("Movies");
    task.fileSize = quint64(file->size());
    task.bytesLeft = file->size();

    QCOMPARE(m_account->getFreeSpace(false), kUnknown);
    QCOMPARE(m_account->sendRequest(QNetworkAccessManager::PostOperation,
                                    TestCloud::apiUrl("/2/users/get_current_account"), EMAIL_REQUEST, false, nullptr,
                                    false),
             0);
    m_account->enqueueUpload(task);
    QCOMPARE(m_account->uploadQueue().size(), std::size_t(1));
    m_account->view()->setUrl(QUrl(QStringLiteral("https://www.dropbox.com/login")));
    QTRY_COMPARE(m_cloud.requests(QString(), QStringLiteral("/login")).size(), 1);
    QTRY_COMPARE(m_cloud.requests(QString(), QStringLiteral("/2/files/upload_session/start")).size(), 1);

    QPointer<QNetworkAccessManager> manager = m_account->manager();
    QPointer<QNetworkCookieJar> jar = manager->cookieJar();
    QPointer<QAbstractNetworkCache> cache = manager->cache();
    QPointer<CloudView> view = m_account->view();
    QList<QPointer<QNetworkReply>> replies;
    for (QNetworkReply* reply : manager->findChildren<QNetworkReply*>())
        replies << reply;
    QVERIFY(replies.size() >= 3);

    m_account.reset();
    QVERIFY(view.isNull());
    // The manager goes with the next turn of the event loop, and with it
    // its replies, its jar and its cache.
    QTRY_VERIFY(manager.isNull());
    QVERIFY(jar.isNull());
    QVERIFY(cache.isNull());
    for (const QPointer<QNetworkReply>& reply : qAsConst(replies))
        QVERIFY(reply.isNull());
    QTest::qWait(200); // nothing of the account is reached any more
}

void CloudAccountTest::viewOfThePlayerKeepsItsManager()
{
    m_cloud.control("POST", QStringLiteral("/hosts"),
                    {{"host", "page.lumen-test.example"}, {"content_type", "text/html"},
                     {"body", "<html><body>still here</body></html>"}});
    auto parent = std::make_unique<QWidget>();
    QVERIFY(m_account->setViewParent(parent.get()));
    QPointer<CloudView> view = m_account->view();
    QPointer<QNetworkAccessManager> manager = m_account->manager();

    m_account.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(view);
    QVERIFY(manager);
    QCOMPARE(view->page()->networkAccessManager(), manager.data());

    // The view the player owns still loads pages through it.
    QSignalSpy loaded(view.data(), &QWebView::loadFinished);
    view->setUrl(QUrl(QStringLiteral("http://page.lumen-test.example/")));
    QVERIFY(loaded.wait(10000));
    QCOMPARE(loaded.first().at(0).toBool(), true);

    parent.reset();
    QVERIFY(view.isNull());
    QTRY_VERIFY(manager.isNull());
}

ACCOUNT_TEST_MAIN(CloudAccountTest)
#include "tst_cloudaccount.moc"
