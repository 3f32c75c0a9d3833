// The upload driver: one task at a time from the head of the queue, its
// preparation, its progress, and what each outcome of its requests does to
// the queue. The test provider uploads through the stand-in's Dropbox
// upload sessions.
#include "accounttest.h"
#include "fakecloud.h"
#include "testcloud.h"

#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace accounttest;

namespace {

const QString kApiHost = QStringLiteral("api.dropboxapi.com");
const QString kContentHost = QStringLiteral("content.dropboxapi.com");
const QString kStartPath = QStringLiteral("/2/files/upload_session/start");
const QString kAppendPath = QStringLiteral("/2/files/upload_session/append_v2");
const QString kCreateFolderPath = QStringLiteral("/2/files/create_folder_v2");
constexpr qint64 kMiB = 1024 * 1024;

} // namespace

class UploadDriverTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void queueRunsHeadFirstAndSkipsCancelledTasks();
    void progressFiguresAndCancelledTransfer();
    void failedPreparationKeepsTheQueue_data();
    void failedPreparationKeepsTheQueue();
    void lostGrantReopensSignInOnce();
    void failedUploadRequest_data();
    void failedUploadRequest();
    void expiredTokenRestartsTheTaskFromItsBeginning();
    void taskTheProviderCannotStartIsGivenUp();

private:
    QString makeFile(const QString& name, int size, int seed);
    UploadTask task(const QString& path, const QString& targetPath = QStringLiteral("Movies"));
    void recordEvents();
    QStringList eventsOf(const QString& fileName) const;
    bool idle() const;
    QByteArray stored(const QString& cloudPath);

    FakeCloud m_cloud;
    std::unique_ptr<TestCloud> m_account;
    std::unique_ptr<QTemporaryDir> m_folder;
    QStringList m_events;
    QList<QPointer<QIODevice>> m_files;
};

void UploadDriverTest::initTestCase()
{
    prepareProcess();
    QVERIFY(m_cloud.start(false));
}

void UploadDriverTest::init()
{
    m_cloud.reset();
    clearStoredState();
    openLog();
    m_folder = std::make_unique<QTemporaryDir>();
    m_events.clear();
    m_files.clear();
    m_account = std::make_unique<TestCloud>();
    recordEvents();
}

void UploadDriverTest::cleanup()
{
    m_account.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    // Every file the account was given is released, whatever became of it.
    for (const QPointer<QIODevice>& file : qAsConst(m_files))
        QVERIFY(file.isNull());
    m_folder.reset();
}

void UploadDriverTest::cleanupTestCase()
{
    clearStoredState();
}

QString UploadDriverTest::makeFile(const QString& name, int size, int seed)
{
    QFile file(m_folder->filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(patternBytes(size, seed)) != size)
        qFatal("cannot write %s", qPrintable(file.fileName()));
    return file.fileName();
}

UploadTask UploadDriverTest::task(const QString& path, const QString& targetPath)
{
    auto* file = new QFile(path);
    if (!file->open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(path));
    m_files << file;
    UploadTask task;
    task.file = file;
    task.filePath = path;
    task.targetPath = targetPath;
    task.fileSize = quint64(file->size());
    task.bytesLeft = file->size();
    return task;
}

void UploadDriverTest::recordEvents()
{
    // One line per signal, named by the file's name.
    auto name = [](const QString& path) { return QFileInfo(path).fileName(); };
    TestCloud* account = m_account.get();
    connect(account, &CloudBase::uploadStarted, this, [this, name](const QString& file, const QString& target) {
        m_events << QStringLiteral("started %1 into %2").arg(name(file), target);
    });
    connect(account, &CloudBase::uploadFinished, this, [this, name](const QString& file, const QString& target) {
        m_events << QStringLiteral("finished %1 into %2").arg(name(file), target);
    });
    connect(account, &CloudBase::uploadCanceled, this, [this, name](const QString& file, const QString&) {
        m_events << QStringLiteral("canceled %1").arg(name(file));
    });
    connect(account, &CloudBase::uploadFailed, this,
            [this, name](const QString& file, const QString& text, int code) {
                m_events << QStringLiteral("failed %1 (%2): %3").arg(name(file)).arg(code).arg(text);
            });
    connect(account, &CloudBase::uploadProgress, this, [this, name](const QString& file, qint64 sent, qint64 total) {
        m_events << QStringLiteral("progress %1 %2/%3").arg(name(file)).arg(sent).arg(total);
    });
    connect(account, &CloudBase::networkError, this,
            [this](const QString& text) { m_events << QStringLiteral("network error: ") + text; });
}

QStringList UploadDriverTest::eventsOf(const QString& fileName) const
{
    QStringList events;
    for (const QString& event : m_events) {
        if (event.section(QLatin1Char(' '), 1, 1) == fileName && !event.startsWith(QLatin1String("progress")))
            events << event.section(QLatin1Char(' '), 0, 0);
    }
    return events;
}

bool UploadDriverTest::idle() const
{
    return m_account->uploadQueue().empty() && m_account->mode() == CloudBase::NO_MODE;
}

QByteArray UploadDriverTest::stored(const QString& cloudPath)
{
    int status = 0;
    const QByteArray bytes = m_cloud.dropboxFile(kAlice, cloudPath, &status);
    return status == 200 ? bytes : QByteArray("<missing>");
}

void UploadDriverTest::queueRunsHeadFirstAndSkipsCancelledTasks()
{
    signIn(m_cloud);
    const QString skipped = makeFile(QStringLiteral("skipped.mp4"), 1000, 1);
    const QString first = makeFile(QStringLiteral("first.mp4"), 200 * 1024, 2);
    const QString second = makeFile(QStringLiteral("second.mp4"), 10 * 1024, 3);
    UploadTask cancelled = task(skipped);
    cancelled.canceled = true;
    m_account->queueTask(cancelled);
    m_account->queueTask(task(first));
    m_account->queueTask(task(second, QStringLiteral("/Movies")));

    m_account->processUploadQueue();
    // Skipped in the same run, and the next task on its way.
    QVERIFY(logContains(QStringLiteral("Uploading - task %1 was canceled, skipped").arg(skipped)));
    QCOMPARE(eventsOf(QStringLiteral("first.mp4")), QStringList{"started"});
    QVERIFY(m_events.contains(QStringLiteral("started first.mp4 into Movies")));
    QVERIFY(eventsOf(QStringLiteral("second.mp4")).isEmpty());
    QCOMPARE(m_account->uploadQueue().size(), std::size_t(2));
    QCOMPARE(m_account->mode(), int(CloudBase::UPLOADING_MODE));

    QTRY_VERIFY_WITH_TIMEOUT(idle(), 20000);
    QCOMPARE(eventsOf(QStringLiteral("first.mp4")), (QStringList{"started", "finished"}));
    QCOMPARE(eventsOf(QStringLiteral("second.mp4")), (QStringList{"started", "finished"}));
    QVERIFY(m_events.indexOf(QStringLiteral("started second.mp4 into /Movies"))
            > m_events.indexOf(QStringLiteral("finished first.mp4 into Movies")));
    const QStringList skippedEvents = eventsOf(QStringLiteral("skipped.mp4"));
    QVERIFY(!skippedEvents.contains(QStringLiteral("started")));
    QVERIFY(!skippedEvents.contains(QStringLiteral("finished")));
    QVERIFY(logInOrder({QStringLiteral("Dropbox: Uploading is finished"), QStringLiteral("---")}));

    // Finished means the service has the file, whole.
    QCOMPARE(stored(QStringLiteral("/Movies/first.mp4")), patternBytes(200 * 1024, 2));
    QCOMPARE(stored(QStringLiteral("/Movies/second.mp4")), patternBytes(10 * 1024, 3));
    QCOMPARE(stored(QStringLiteral("/Movies/skipped.mp4")), QByteArray("<missing>"));
}

void UploadDriverTest::progressFiguresAndCancelledTransfer()
{
    signIn(m_cloud);
    const QString big = makeFile(QStringLiteral("big.mp4"), int(40 * kMiB), 4);
    const QString next = makeFile(QStringLiteral("next.mp4"), 10 * 1024, 5);
    // 16 MiB confirmed by the first request, then 1 MiB at a time.
    m_account->chunkPlan = [](const UploadTask& t) { return t.offset == 0 ? 16 * kMiB : kMiB; };
    // The user cancels once 17 MiB are through.
    connect(m_account.get(), &CloudBase::uploadProgress, this, [this, big](const QString& file, qint64 sent, qint64) {
        if (file == big && sent == 17 * kMiB)
            m_account->markCanceled(big);
    });

    m_account->enqueueUpload(task(big));
    m_account->enqueueUpload(task(next));
    QTRY_VERIFY_WITH_TIMEOUT(idle(), 60000);

    QVERIFY(m_events.contains(QStringLiteral("progress big.mp4 %1/%2").arg(17 * kMiB).arg(40 * kMiB)));
    QVERIFY(logContains(
        QStringLiteral("Dropbox: progress task.offset = 16777216, bytesSent = 1048576, summary = 17825792, 42 %")));
    for (const QString& event : qAsConst(m_events)) {
        if (!event.startsWith(QLatin1String("progress big.mp4")))
            continue;
        const QStringList figures = event.section(QLatin1Char(' '), 2).split(QLatin1Char('/'));
        QCOMPARE(figures.at(1).toLongLong(), 40 * kMiB); // the file's size, never the request's
        QVERIFY(figures.at(0).toLongLong() > 0);
        QVERIFY(figures.at(0).toLongLong() <= 18 * kMiB);
    }
    QVERIFY(!logHasLineStartingWith(QStringLiteral("Dropbox: progress task.offset = 0, bytesSent = 0,")));
    QVERIFY(!logMessages().filter(QStringLiteral("bytesSent = 0,")).size());

    // Cancelled in flight: reported, not finished, and the next one ran.
    QCOMPARE(eventsOf(QStringLiteral("big.mp4")), (QStringList{"started", "canceled"}));
    QCOMPARE(eventsOf(QStringLiteral("next.mp4")), (QStringList{"started", "finished"}));
    QVERIFY(m_events.indexOf(QStringLiteral("started next.mp4 into Movies"))
            > m_events.indexOf(QStringLiteral("canceled big.mp4")));
    QCOMPARE(stored(QStringLiteral("/Movies/big.mp4")), QByteArray("<missing>"));
    QCOMPARE(stored(QStringLiteral("/Movies/next.mp4")), patternBytes(10 * 1024, 5));
}

void UploadDriverTest::failedPreparationKeepsTheQueue_data()
{
    QTest::addColumn<QString>("targetPath");
    QTest::addColumn<bool>("token");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("networkError");

    QTest::newRow("folder not created") << "/Movies" << true << "readyToUpload()"
                                        << "Dropbox failed to create \"/Movies\" folder";
    QTest::newRow("folder not created, no slash") << "Movies" << true << "readyToUpload()"
                                                  << "Dropbox failed to create \"Movies\" folder";
    QTest::newRow("no token") << "Movies" << false << "access token" << "";
}

void UploadDriverTest::failedPreparationKeepsTheQueue()
{
    QFETCH(QString, targetPath);
    QFETCH(bool, token);
    QFETCH(QString, reason);
    QFETCH(QString, networkError);

    storeSignInCookie();
    storeEmail(kAlice);
    if (token)
        storeToken(issueToken(m_cloud));
    m_account->requireFolder = true;
    m_cloud.addFault({{"kind", "status"}, {"path", kCreateFolderPath}, {"status", 500}, {"times", 1}});
    const QString first = makeFile(QStringLiteral("a.mp4"), 5000, 6);
    const QString second = makeFile(QStringLiteral("b.mp4"), 7000, 7);
    m_account->queueTask(task(first, targetPath));
    m_account->queueTask(task(second, targetPath));

    m_account->processUploadQueue();
    QVERIFY(logContains(QStringLiteral("Dropbox: Uploading - need to prepare, reason is: ") + reason));
    QCOMPARE(m_events, networkError.isEmpty() ? QStringList() : QStringList{QStringLiteral("network error: ") + networkError});
    if (token) {
        QCOMPARE(m_account->createdFolderNames, QStringList{QStringLiteral("Movies")});
        QVERIFY(logContains(QStringLiteral("Dropbox: Creating upload folder Movies")));
    }
    QCOMPARE(m_account->uploadQueue().size(), std::size_t(2));
    QCOMPARE(m_account->mode(), int(CloudBase::UPLOADING_MODE));
    if (!token)
        return;

    // The next run prepares again; the second task then finds the folder.
    m_account->processUploadQueue();
    QTRY_VERIFY_WITH_TIMEOUT(idle(), 20000);
    QCOMPARE(eventsOf(QStringLiteral("a.mp4")), (QStringList{"started", "finished"}));
    QCOMPARE(eventsOf(QStringLiteral("b.mp4")), (QStringList{"started", "finished"}));
    QCOMPARE(m_account->createdFolderNames, (QStringList{"Movies", "Movies"}));
    QCOMPARE(answeredRequests(m_cloud, kApiHost, kCreateFolderPath).size(), 2);
    QCOMPARE(stored(QStringLiteral("/Movies/a.mp4")), patternBytes(5000, 6));
    QCOMPARE(stored(QStringLiteral("/Movies/b.mp4")), patternBytes(7000, 7));
}

void UploadDriverTest::lostGrantReopensSignInOnce()
{
    // Every grant check says the grant is gone, the new sign-in's as well.
    signIn(m_cloud);
    m_account->requireFolder = true;
    m_cloud.addFault({{"kind", "revoked"}, {"path", "/2/users/get_current_account"}});
    QSignalSpy disconnected(m_account.get(), &CloudBase::cloudDisconnected);
    m_account->queueTask(task(makeFile(QStringLiteral("a.mp4"), 5000, 8)));

    m_account->processUploadQueue(); // returns: no endless sign-in loop
    QCOMPARE(disconnected.size(), 2);
    QVERIFY(m_account->view()->isVisible());
    QCOMPARE(answeredRequests(m_cloud, kApiHost, QStringLiteral("/2/users/get_current_account")).size(), 2);
    QCOMPARE(m_account->uploadQueue().size(), std::size_t(1));
    QCOMPARE(m_account->mode(), int(CloudBase::UPLOADING_MODE));
    QVERIFY(m_events.isEmpty());
}

void UploadDriverTest::failedUploadRequest_data()
{
    QTest::addColumn<bool>("retry");
    QTest::newRow("user retries") << true;
    QTest::newRow("user gives up") << false;
}

void UploadDriverTest::failedUploadRequest()
{
    QFETCH(bool, retry);
    signIn(m_cloud);
    m_cloud.addFault({{"kind", "status"}, {"host", kContentHost}, {"path", kAppendPath}, {"status", 500}, {"times", 1}});
    QStringList questions;
    connect(m_account.get(), &CloudBase::failedRetry, this, [&questions, retry](const QString& text, bool& answer) {
        questions << text;
        answer = retry;
    });
    const QString first = makeFile(QStringLiteral("a.mp4"), 200 * 1024, 9);
    const QString second = makeFile(QStringLiteral("b.mp4"), 10 * 1024, 10);
    m_account->enqueueUpload(task(first));
    m_account->enqueueUpload(task(second));
    QTRY_VERIFY_WITH_TIMEOUT(idle(), 20000);

    QCOMPARE(questions.size(), 1);
    QVERIFY2(questions.first().startsWith(QLatin1String("Failed for processing UPLOAD_APPEND_REQUEST: ")),
             qPrintable(questions.first()));
    QCOMPARE(eventsOf(QStringLiteral("b.mp4")), (QStringList{"started", "finished"}));
    QCOMPARE(stored(QStringLiteral("/Movies/b.mp4")), patternBytes(10 * 1024, 10));
    if (retry) {
        // Started again from its first byte, in a new session.
        QCOMPARE(eventsOf(QStringLiteral("a.mp4")), (QStringList{"started", "started", "finished"}));
        QCOMPARE(stored(QStringLiteral("/Movies/a.mp4")), patternBytes(200 * 1024, 9));
        QCOMPARE(answeredRequests(m_cloud, kContentHost, kStartPath).size(), 3);
    } else {
        QCOMPARE(eventsOf(QStringLiteral("a.mp4")), (QStringList{"started", "failed"}));
        QVERIFY(m_events.contains(QStringLiteral("failed a.mp4 (%1): %2")
                                      .arg(int(QNetworkReply::InternalServerError))
                                      .arg(questions.first())));
        QCOMPARE(stored(QStringLiteral("/Movies/a.mp4")), QByteArray("<missing>"));
    }
}

void UploadDriverTest::expiredTokenRestartsTheTaskFromItsBeginning()
{
    signIn(m_cloud);
    // The token runs out between two chunks of the file.
    m_cloud.addFault({{"kind", "expired"}, {"host", kContentHost}, {"path", kAppendPath}, {"skip", 1}, {"times", 1}});
    const QString path = makeFile(QStringLiteral("a.mp4"), 300 * 1024, 11);
    m_account->enqueueUpload(task(path));
    QTRY_VERIFY_WITH_TIMEOUT(idle(), 20000);

    QCOMPARE(m_account->ensureValidTokenCalls, 1);
    QCOMPARE(eventsOf(QStringLiteral("a.mp4")), (QStringList{"started", "started", "finished"}));
    QCOMPARE(answeredRequests(m_cloud, kContentHost, kStartPath).size(), 2);
    QCOMPARE(stored(QStringLiteral("/Movies/a.mp4")), patternBytes(300 * 1024, 11));
}

void UploadDriverTest::taskTheProviderCannotStartIsGivenUp()
{
    signIn(m_cloud);
    const QString first = makeFile(QStringLiteral("a.mp4"), 5000, 12);
    const QString second = makeFile(QStringLiteral("b.mp4"), 5000, 13);
    m_account->refuseFile = first;
    m_account->queueTask(task(first));
    m_account->queueTask(task(second));

    m_account->processUploadQueue();
    QCOMPARE(eventsOf(QStringLiteral("a.mp4")), QStringList{"failed"});
    QCOMPARE(m_events.first(), QStringLiteral("failed a.mp4 (-1): Dropbox: the upload could not be started"));
    QTRY_VERIFY_WITH_TIMEOUT(idle(), 20000);
    QCOMPARE(eventsOf(QStringLiteral("b.mp4")), (QStringList{"started", "finished"}));
    QCOMPARE(answeredRequests(m_cloud, kContentHost, kStartPath).size(), 1);
}

ACCOUNT_TEST_MAIN(UploadDriverTest)
#include "tst_uploaddriver.moc"
