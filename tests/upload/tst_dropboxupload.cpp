// Dropbox upload sessions driven through the account's upload operations,
// against the local stand-in of Dropbox.
#include "cloudlog.h"
#include "dropbox.h"
#include "fakecloud.h"
#include "storedstate.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QJsonObject>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

const char* const kContentHost = "content.dropboxapi.com";
const QString kAppend = QStringLiteral("/2/files/upload_session/append_v2");
const QString kFinish = QStringLiteral("/2/files/upload_session/finish");

// Exposes the operations the tests look at.
class TestDropBox : public DropBox
{
public:
    TestDropBox() : DropBox("Player") {}
};

QByteArray header(const QJsonObject& request, const QString& name)
{
    return teststate::header(request, name).toUtf8();
}

QJsonObject argument(const QJsonObject& request)
{
    return QJsonDocument::fromJson(header(request, "Dropbox-API-Arg")).object();
}

// Files this process has open under a path: /proc knows.
int openDescriptors(const QString& path)
{
    int count = 0;
    for (const QFileInfo& fd : QDir("/proc/self/fd").entryInfoList(QDir::NoDotAndDotDot | QDir::System | QDir::Files))
        count += fd.symLinkTarget() == QFileInfo(path).absoluteFilePath();
    return count;
}

} // namespace

class DropboxUploadTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void sessionOfChunks_data();
    void sessionOfChunks();
    void emptyFileMakesOneEmptyAppend();
    void argumentHeaders();
    void unreadableFileIsRefused();
    void cancelMidFileStartsTheNext();
    void faultsEndInADefinedState_data();
    void faultsEndInADefinedState();
    void retryStartsTheFileAgain();
    void startReplyWithoutJson();
    void refusedTokenEndsTheTask();

private:
    QString makeFile(const QString& name, qint64 size);
    QJsonArray requests(const QString& path) { return m_cloud.requests(kContentHost, path); }

    FakeCloud m_cloud;
    QTemporaryDir m_files;
    std::unique_ptr<TestDropBox> m_account;
};

void DropboxUploadTest::initTestCase()
{
    teststate::prepareProcess();
    QVERIFY(m_cloud.start());
}

void DropboxUploadTest::init()
{
    m_cloud.reset();
    teststate::clearStoredState();
    teststate::signInDirectly(m_cloud, FakeCloud::kDropboxUser);
    m_account = std::make_unique<TestDropBox>();
    QVERIFY(m_account->isConnected(false));
}

void DropboxUploadTest::cleanup()
{
    m_account.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    teststate::clearStoredState();
}

QString DropboxUploadTest::makeFile(const QString& name, qint64 size)
{
    const QString path = m_files.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    QByteArray block(1 << 20, '\0');
    for (qint64 written = 0; written < size; written += block.size()) {
        for (int i = 0; i < block.size(); i += 4096)
            block[i] = char((written + i) / 4096 * 131 % 251); // every page differs
        file.write(block.constData(), qMin<qint64>(block.size(), size - written));
    }
    return path;
}

void DropboxUploadTest::sessionOfChunks_data()
{
    QTest::addColumn<QString>("folder");
    QTest::newRow("folder") << "/Videos";
    QTest::newRow("folder with final slash") << "/Videos/";
}

void DropboxUploadTest::sessionOfChunks()
{
    QFETCH(QString, folder);
    const QString path = makeFile("movie.mkv", 40000000);
    QSignalSpy started(m_account.get(), &CloudBase::uploadStarted);
    QSignalSpy progress(m_account.get(), &CloudBase::uploadProgress);
    QSignalSpy finished(m_account.get(), &CloudBase::uploadFinished);
    QVERIFY(m_account->uploadFile(path, folder));
    QCOMPARE(started.count(), 1);
    QVERIFY(finished.wait(60000));
    QCOMPARE(finished.first().at(0).toString(), path);
    QVERIFY(m_account->uploadQueue().empty());
    QCOMPARE(openDescriptors(path), 0);
    QVERIFY(!progress.isEmpty());
    QCOMPARE(progress.last().at(2).toLongLong(), 40000000LL);
    QVERIFY(progress.last().at(1).toLongLong() <= 40000000LL);

    const QJsonArray appends = requests(kAppend);
    QCOMPARE(appends.size(), 3);
    const qint64 sizes[] = {16777216, 16777216, 6445568};
    const qint64 offsets[] = {0, 16777216, 33554432};
    for (int i = 0; i < 3; ++i) {
        const QJsonObject request = appends.at(i).toObject();
        QCOMPARE(qint64(request.value("body_size").toDouble()), sizes[i]);
        QCOMPARE(qint64(argument(request).value("cursor").toObject().value("offset").toDouble()), offsets[i]);
        QCOMPARE(header(request, "Content-Type"), QByteArray("application/octet-stream"));
    }
    const QJsonArray finishes = requests(kFinish);
    QCOMPARE(finishes.size(), 1);
    const QJsonObject commit = argument(finishes.first().toObject());
    QCOMPARE(qint64(commit.value("cursor").toObject().value("offset").toDouble()), 40000000LL);
    QCOMPARE(commit.value("commit").toObject().value("path").toString(), QStringLiteral("/Videos/movie.mkv"));
    QCOMPARE(commit.value("commit").toObject().value("autorename").toBool(), true);

    QFile original(path);
    QVERIFY(original.open(QIODevice::ReadOnly));
    QCOMPARE(m_cloud.dropboxFile(FakeCloud::kDropboxUser, "/Videos/movie.mkv"), original.readAll());
}

void DropboxUploadTest::emptyFileMakesOneEmptyAppend()
{
    const QString path = makeFile("empty.mp4", 0);
    QSignalSpy finished(m_account.get(), &CloudBase::uploadFinished);
    QVERIFY(m_account->uploadFile(path, "/Videos"));
    QVERIFY(finished.wait(20000));
    const QJsonArray appends = requests(kAppend);
    QCOMPARE(appends.size(), 1);
    QCOMPARE(appends.first().toObject().value("body_size").toInt(), 0);
    QCOMPARE(int(argument(requests(kFinish).first().toObject()).value("cursor").toObject().value("offset").toDouble()), 0);
    int status = 0;
    QCOMPARE(m_cloud.dropboxFile(FakeCloud::kDropboxUser, "/Videos/empty.mp4", &status), QByteArray());
    QCOMPARE(status, 200);
}

void DropboxUploadTest::argumentHeaders()
{
    const QJsonObject append{{"cursor", QJsonObject{{"session_id", "abc"}, {"offset", 0}}}, {"close", false}};
    QCOMPARE(DropBox::argumentHeader(append),
             QByteArray("{    \"close\": false,    \"cursor\": {        \"offset\": 0,        \"session_id\": \"abc\"    }}"));

    const QString path = makeFile("short.avi", 10);
    QSignalSpy finished(m_account.get(), &CloudBase::uploadFinished);
    QVERIFY(m_account->uploadFile(path, "/Videos"));
    QVERIFY(finished.wait(20000));
    const QJsonObject start = requests("/2/files/upload_session/start").first().toObject();
    QCOMPARE(header(start, "Dropbox-API-Arg"), QByteArray("{\"close\": false}"));
    QVERIFY(header(start, "Authorization").startsWith("Bearer "));
    const QByteArray finish = header(requests(kFinish).first().toObject(), "Dropbox-API-Arg");
    QVERIFY(!finish.contains('\n'));
    QVERIFY2(finish.startsWith("{    \"commit\": {        \"autorename\": true,        \"mode\": \"add\",        \"mute\": false,"
                               "        \"path\": \"/Videos/short.avi\"    },    \"cursor\": {        \"offset\": 10,"),
             finish.constData());
}

void DropboxUploadTest::unreadableFileIsRefused()
{
    QString error;
    QVERIFY(!m_account->uploadFile(m_files.filePath("missing.mkv"), "/Videos", &error));
    QVERIFY(error.contains("does not exist"));
    QVERIFY(!m_account->uploadFile(m_files.path(), "/Videos", &error));
    QVERIFY(error.contains("is not a file"));
    QVERIFY(m_account->uploadQueue().empty());
    QVERIFY(requests(QString()).isEmpty());
}

void DropboxUploadTest::cancelMidFileStartsTheNext()
{
    const QString first = makeFile("first.mkv", 40000000);
    const QString second = makeFile("second.mkv", 1000);
    // A slow service, so that the first file is surely still going.
    m_cloud.addFault({{"kind", "delay"}, {"path", kAppend}, {"seconds", 0.4}, {"times", 1}});
    QSignalSpy canceled(m_account.get(), &CloudBase::uploadCanceled);
    QSignalSpy finished(m_account.get(), &CloudBase::uploadFinished);
    QVERIFY(m_account->uploadFile(first, "/Videos"));
    QVERIFY(m_account->uploadFile(second, "/Videos"));
    QCOMPARE(m_account->uploadQueue().size(), size_t(2));
    QTRY_VERIFY(m_account->uploadQueue().front().requestKind == UPLOAD_APPEND_REQUEST);
    QVERIFY(m_account->cancelUpload(first));
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(canceled.first().at(0).toString(), first);
    QCOMPARE(openDescriptors(first), 0);
    QVERIFY(finished.wait(20000));
    QCOMPARE(finished.first().at(0).toString(), second);
    int status = 0;
    m_cloud.dropboxFile(FakeCloud::kDropboxUser, "/Videos/first.mkv", &status);
    QCOMPARE(status, 404);
    QVERIFY(!m_account->cancelUpload(first));
}

void DropboxUploadTest::faultsEndInADefinedState_data()
{
    QTest::addColumn<QJsonObject>("fault");
    QTest::newRow("incorrect offset") << QJsonObject{{"kind", "status"}, {"path", kAppend}, {"status", 400},
                                                     {"body", QJsonObject{{"error_summary", "incorrect_offset/.."}}}};
    QTest::newRow("no space") << QJsonObject{{"kind", "no_space"}, {"path", kFinish}};
    QTest::newRow("dropped mid-append") << QJsonObject{{"kind", "drop"}, {"path", kAppend}};
    QTest::newRow("server error") << QJsonObject{{"kind", "status"}, {"path", kAppend}, {"status", 503}};
}

void DropboxUploadTest::faultsEndInADefinedState()
{
    QFETCH(QJsonObject, fault);
    m_cloud.addFault(fault);
    const QString path = makeFile("fault.mkv", 20000000);
    QSignalSpy failed(m_account.get(), &CloudBase::uploadFailed);
    QSignalSpy finished(m_account.get(), &CloudBase::uploadFinished);
    QSignalSpy asked(m_account.get(), &CloudBase::failedRetry);
    QVERIFY(m_account->uploadFile(path, "/Videos"));
    QVERIFY(failed.wait(30000));
    QCOMPARE(failed.first().at(0).toString(), path);
    QVERIFY(!failed.first().at(1).toString().isEmpty());
    QCOMPARE(asked.count(), 1); // nobody answered: given up
    QCOMPARE(finished.count(), 0);
    QVERIFY(m_account->uploadQueue().empty());
    QCOMPARE(openDescriptors(path), 0);
    int status = 0;
    m_cloud.dropboxFile(FakeCloud::kDropboxUser, "/Videos/fault.mkv", &status);
    QCOMPARE(status, 404);
}

void DropboxUploadTest::retryStartsTheFileAgain()
{
    m_cloud.addFault({{"kind", "status"}, {"path", kAppend}, {"status", 503}, {"times", 1}});
    const QString path = makeFile("again.mkv", 20000000);
    int asked = 0;
    connect(m_account.get(), &CloudBase::failedRetry, this, [&asked](const QString&, bool& retry) {
        ++asked;
        retry = true;
    });
    QSignalSpy finished(m_account.get(), &CloudBase::uploadFinished);
    QVERIFY(m_account->uploadFile(path, "/Videos"));
    QVERIFY(finished.wait(30000));
    QCOMPARE(asked, 1);
    QCOMPARE(requests("/2/files/upload_session/start").size(), 2);
    QFile original(path);
    QVERIFY(original.open(QIODevice::ReadOnly));
    QCOMPARE(m_cloud.dropboxFile(FakeCloud::kDropboxUser, "/Videos/again.mkv"), original.readAll());
}

void DropboxUploadTest::startReplyWithoutJson()
{
    m_cloud.addFault({{"kind", "status"}, {"path", "/2/files/upload_session/start"}, {"status", 200}, {"body", "not json"}});
    const QString path = makeFile("stuck.mkv", 1000);
    QSignalSpy told(m_account.get(), &CloudBase::networkError);
    QSignalSpy canceled(m_account.get(), &CloudBase::uploadCanceled);
    QVERIFY(m_account->uploadFile(path, "/Videos"));
    QVERIFY(told.wait(20000));
    QVERIFY(told.first().first().toString().contains(path));
    QCOMPARE(m_account->uploadQueue().size(), size_t(1)); // waiting, no append sent
    QVERIFY(requests(kAppend).isEmpty());
    QVERIFY(m_account->cancelUpload(path));
    QCOMPARE(canceled.count(), 1);
    QVERIFY(m_account->uploadQueue().empty());
    QCOMPARE(openDescriptors(path), 0);
}

void DropboxUploadTest::refusedTokenEndsTheTask()
{
    // The service refuses the token on every upload call; nothing may loop.
    m_cloud.addFault({{"kind", "revoked"}, {"path", "/2/files/upload_session/*"}});
    const QString path = makeFile("refused.mkv", 1000);
    const QString next = makeFile("next.mkv", 1000);
    QSignalSpy failed(m_account.get(), &CloudBase::uploadFailed);
    QVERIFY(m_account->uploadFile(path, "/Videos"));
    QVERIFY(m_account->uploadFile(next, "/Videos"));
    QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 2, 20000);
    QCOMPARE(failed.at(0).at(0).toString(), path);
    QCOMPARE(failed.at(0).at(2).toInt(), int(QNetworkReply::AuthenticationRequiredError));
    QCOMPARE(requests("/2/files/upload_session/start").size(), 4); // twice per file
    QVERIFY(m_account->uploadQueue().empty());
    QCOMPARE(openDescriptors(path), 0);
}

QTEST_MAIN(DropboxUploadTest)
#include "tst_dropboxupload.moc"
