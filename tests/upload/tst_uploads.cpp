// Uploads into Dropbox through the account's queue, against the stand-in:
// sessions cut into chunks, every fault the road and the service can bring,
// cancels at each step; each file ends exactly once, with the truth.
#include "dropbox.h"
#include "testaccount.h"
#include "teststate.h"

#include <QTemporaryDir>

using namespace teststate;

namespace {

const QString kContent = QStringLiteral("content.dropboxapi.com");
const QString kStart = QStringLiteral("/2/files/upload_session/start");
const QString kAppend = QStringLiteral("/2/files/upload_session/append_v2");
const QString kFinish = QStringLiteral("/2/files/upload_session/finish");
const qint64 kChunk = 16777216;

QJsonObject fault(const QString& path, const QString& kind, const QJsonObject& more = {})
{
    return teststate::fault(kContent, path, kind, more);
}

QJsonObject argument(const QJsonObject& request)
{
    return QJsonDocument::fromJson(header(request, "Dropbox-API-Arg").toUtf8()).object();
}

} // namespace

class UploadsTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(m_cloud.start()); }
    void init()
    {
        startCase(m_cloud);
        signIn(m_cloud, DROPBOX_CLOUD);
        m_account = std::make_unique<TestAccount<DropBox>>();
        m_account->setUploadLimits(800, 3, 20);
    }
    void cleanup() { m_account.reset(); }

    void driverRuns_data()
    {
        const auto row = table<int, int, QStringList>("files", "mode", "lines");
        row("empty queue", 0, int(CloudBase::NO_MODE), {"INF Dropbox: Uploading is finished", "INF ---"});
        row("head canceled before its start", 2, int(CloudBase::UPLOADING_MODE),
            {"INF Uploading - task " + m_files.filePath("f0.mkv") + " was canceled, skipped"});
    }

    void driverRuns()
    {
        const auto [files, mode, lines] = fetch<int, int, QStringList>("files", "mode", "lines");
        QStringList paths;
        for (int i = 0; i < files; ++i) {
            paths << file(QStringLiteral("f%1.mkv").arg(i), 100);
            m_account->uploadFile(paths.last(), "/Videos");
        }
        if (files)
            m_account->headTask()->canceled = true; // before the driver ever took it
        QSignalSpy started(m_account.get(), &CloudBase::uploadStarted);
        m_account->processUploadQueue();
        QCOMPARE(m_account->mode(), mode);
        QVERIFY(loggedInOrder(lines));
        // The next file starts in the same run; an empty queue prepares nothing.
        QCOMPARE(started.size(), files ? 1 : 0);
        QCOMPARE(started.value(0).value(0).toString(), paths.value(1));
        if (!files)
            QVERIFY(m_cloud.requests().isEmpty());
    }

    void progressReported_data()
    {
        const auto row = table<qint64, qint64, bool>("sent", "total", "reported");
        row("1 MiB of the second chunk", qint64(1 << 20), kChunk, true);
        row("nothing sent yet", qint64(0), kChunk, false);
        row("no total yet", qint64(1 << 20), qint64(0), false);
    }

    void progressReported()
    {
        const auto [sent, total, reported] = fetch<qint64, qint64, bool>("sent", "total", "reported");
        const qint64 size = 40 << 20;
        // The second append is sent whole and then held: 16 MiB are confirmed.
        m_account->setUploadLimits(60000, 3, 20);
        m_cloud.addFault(fault(kAppend, "delay", {{"when", "after"}, {"seconds", 20}, {"skip", 1}, {"times", 1}}));
        const QString path = file("big.mkv", size);
        QSignalSpy progress(m_account.get(), &CloudBase::uploadProgress);
        m_account->uploadFile(path, "/Videos");
        QVERIFY(waitFor([&] { return !progress.isEmpty() && progress.last().at(1).toLongLong() == 2 * kChunk; }));
        const UploadTask* task = m_account->headTask();
        QCOMPARE(task->offset, kChunk);
        progress.clear();
        const int lines = logLines().filter("Dropbox: progress").size();
        emit task->reply->uploadProgress(sent, total);
        QCOMPARE(progress.size(), reported ? 1 : 0);
        QCOMPARE(logLines().filter("Dropbox: progress").size(), lines + (reported ? 1 : 0));
        if (reported) {
            QCOMPARE(progress[0], (QList<QVariant>{path, kChunk + sent, size}));
            QVERIFY(logged("INF Dropbox: progress task.offset = 16777216, bytesSent = 1048576, summary = 17825792, 42 %"));
        }
    }

    void chunkBoundaries_data()
    {
        const auto row = table<qint64, QList<qint64>>("size", "appends");
        row("empty", qint64(0), {0});
        row("one chunk exactly", kChunk, {kChunk});
        row("one byte more", kChunk + 1, {kChunk, 1});
        row("40,000,000 bytes", qint64(40000000), {kChunk, kChunk, 6445568});
    }

    void chunkBoundaries()
    {
        const auto [size, appends] = fetch<qint64, QList<qint64>>("size", "appends");
        m_account->setUploadLimits(10000, 3, 20); // 16 MiB a request, on a busy machine too
        const QString path = file("film.mkv", size);
        const QList<UploadOutcome> outcomes = uploadAll({path}, "/Videos/");
        QCOMPARE(outcomes.size(), 1);
        QVERIFY2(outcomes[0].ending == UploadOutcome::Finished, qPrintable(outcomes[0].error.text()));
        QCOMPARE(outcomes[0].storedPath, QStringLiteral("/Videos/film.mkv"));
        QCOMPARE(outcomes[0].storedSize, quint64(size));

        const QJsonArray sent = requests(m_cloud, kContent, kAppend);
        QCOMPARE(sent.size(), appends.size());
        QStringList names; // only the headers the session needs, in its order
        for (const QJsonValue& pair : sent[0]["headers"].toArray())
            names << pair[0].toString();
        QCOMPARE(names, (QStringList{"Host", "Authorization", "Content-Type", "Dropbox-API-Arg", "Content-Length"}));
        // The argument: indented JSON without its line feeds; the log keeps them.
        const QByteArray opened = requests(m_cloud, kContent, kStart).at(0)["response_body"].toString().toUtf8();
        const QString session = QJsonDocument::fromJson(opened).object()["session_id"].toString();
        const QString json = QStringLiteral("{\n    \"close\": false,\n    \"cursor\": {\n        \"offset\": 0,\n"
                                            "        \"session_id\": \"%1\"\n    }\n}").arg(session);
        QCOMPARE(header(sent[0].toObject(), "Dropbox-API-Arg"), QString(json).remove('\n'));
        QVERIFY(logLines().join('\n').contains("INF Json - " + json));
        qint64 offset = 0;
        for (int i = 0; i < sent.size(); ++i) {
            QCOMPARE(qint64(sent[i]["body_size"].toDouble()), appends[i]);
            QCOMPARE(qint64(argument(sent[i].toObject())["cursor"].toObject()["offset"].toDouble()), offset);
            offset += appends[i];
        }
        const QJsonObject finish = argument(requests(m_cloud, kContent, kFinish).at(0).toObject());
        QCOMPARE(qint64(finish["cursor"].toObject()["offset"].toDouble()), size);
        QCOMPARE(finish["commit"].toObject()["path"].toString(), QStringLiteral("/Videos/film.mkv"));
        QVERIFY(stored("/Videos/film.mkv") == fileBytes(path));
    }

    void faults_data()
    {
        // kept: the file is stored; starts: sessions opened, a new one only for
        // a refused token or a lost session.
        const auto add = table<QJsonObject, int, int, bool, int>("fault", "ending", "error", "kept", "starts");
        const auto row = [&add](const char* name, const QJsonObject& fault, CloudError::Kind error, bool kept, int starts = 1) {
            add(name, fault, error ? UploadOutcome::Failed : UploadOutcome::Finished, error, kept, starts);
        };
        const auto answer = [](const QString& path, const QJsonObject& body) {
            return fault(path, "status", {{"status", 200}, {"body", body}});
        };
        const QJsonObject once{{"times", 1}};
        row("503 twice", fault(kAppend, "status", {{"status", 503}, {"times", 2}}), CloudError::None, true);
        row("connection dropped in an append", fault(kAppend, "drop", {{"where", "request"}, {"times", 1}}),
            CloudError::None, true);
        row("append answer longer than it says", fault(kAppend, "bad_length", once), CloudError::None, true);
        row("append answer stalls", fault(kAppend, "delay", {{"when", "after"}, {"seconds", 5}, {"times", 1}}), CloudError::None,
            true);
        row("every append answer stalls", fault(kAppend, "stall"), CloudError::TimedOut, false);
        row("token refused on every append", fault(kAppend, "expired"), CloudError::Unauthorized, false, 2);
        const QJsonObject expired{{"error_summary", "lookup_failed/not_found/.."}, {"error", QJsonObject{{".tag", "lookup_failed"}}}};
        row("upload session expired", fault(kAppend, "status", {{"status", 409}, {"body", expired}, {"times", 1}}), CloudError::None,
            true, 2);
        row("revoked grant", fault(kStart, "revoked"), CloudError::GrantRevoked, false);
        row("no space", fault(kFinish, "no_space"), CloudError::InsufficientSpace, false);
        row("start answer is not JSON", fault(kStart, "status", {{"status", 200}, {"body", "<html>"}, {"content_type", "text/html"}}),
            CloudError::BadReply, false);
        row("start answer without a session", answer(kStart, {{"other", 1}}), CloudError::BadReply, false);
        row("endless start answer", fault(kStart, "endless"), CloudError::ReplyTooLarge, false);
        row("finish answer without a path", answer(kFinish, {{"size", 65536}}), CloudError::BadReply, false);
        row("finish answer without a size", answer(kFinish, {{"path_display", "/Videos/film.mkv"}}), CloudError::BadReply,
            false);
        row("finish answer with another content hash",
            answer(kFinish, {{"path_display", "/Videos/film.mkv"}, {"size", 65536}, {"content_hash", QString(64, 'a')}}),
            CloudError::FileChanged, false);
        row("finish answer cut after the commit", fault(kFinish, "drop", {{"where", "response"}, {"times", 1}}),
            CloudError::MaybeStored, true);
        row("finish answer never ends", fault(kFinish, "bad_length", once), CloudError::MaybeStored, true);
    }

    void faults()
    {
        const auto [fault, ending, error, kept, starts] =
            fetch<QJsonObject, int, int, bool, int>("fault", "ending", "error", "kept", "starts");
        m_cloud.addFault(fault);
        const QString path = file("film.mkv", 65536);
        int asked = 0; // QSignalSpy cannot record a bool&
        connect(m_account.get(), &CloudBase::failedRetry, this, [&asked](const QString&, bool&) { ++asked; });
        const QList<UploadOutcome> outcomes = uploadAll({path});
        QCOMPARE(outcomes.size(), 1);
        QCOMPARE(int(outcomes[0].ending), ending);
        QCOMPARE(int(outcomes[0].error.kind()), error);
        if (error != int(CloudError::None))
            QVERIFY(logged(QStringLiteral("ERR Dropbox: upload of %1 failed: %2").arg(path, outcomes[0].error.text())));
        QCOMPARE(stored("/Videos/film.mkv") == fileBytes(path), kept);
        // Retries go on in the session; a refused token starts the file again once.
        QCOMPARE(requests(m_cloud, kContent, kStart).size(), starts);
        if (ending == UploadOutcome::Finished)
            QCOMPARE(asked, 0);
    }

    void fileChangedWhileSent()
    {
        // The file is rewritten as its first bytes go: stored torn, it is not uploaded.
        const QString path = file("film.mkv", 20 * 1024 * 1024);
        bool rewritten = false;
        connect(m_account.get(), &CloudBase::uploadProgress, this, [&] {
            QFile local(path);
            if (rewritten || !local.open(QIODevice::ReadWrite) || !local.seek(19 * 1024 * 1024))
                return;
            rewritten = local.write(pattern(1000, 9)) == 1000;
        });
        const QList<UploadOutcome> outcomes = uploadAll({path});
        QVERIFY(rewritten);
        QCOMPARE(outcomes.value(0).ending, UploadOutcome::Failed);
        QCOMPARE(int(outcomes.value(0).error.kind()), int(CloudError::FileChanged));
    }

    void retryAfterIsHonoured()
    {
        m_cloud.addFault(fault(kAppend, "rate_limit", {{"retry_after", 1}, {"times", 1}}));
        const QList<UploadOutcome> outcomes = uploadAll({file("clip.mkv", 1000)});
        QCOMPARE(outcomes.value(0).ending, UploadOutcome::Finished);
        const QJsonArray appends = requests(m_cloud, kContent, kAppend);
        QCOMPARE(appends.size(), 2);
        QVERIFY(appends[1]["time"].toDouble() - appends[0]["time"].toDouble() >= 0.95);
    }

    void namesAsStored_data()
    {
        const auto row = table<QString, QString, QString>("name", "folder", "storedAs");
        row("taken name", "holiday.mov", "/", "/holiday (1).mov");
        row("not ASCII", QStringLiteral("été 🎬 Ωmega.mp4"), QStringLiteral("/Vidéos"),
            QStringLiteral("/Vidéos/été 🎬 Ωmega.mp4"));
    }

    void namesAsStored()
    {
        const auto [name, folder, storedAs] = fetch<QString, QString, QString>("name", "folder", "storedAs");
        const QList<UploadOutcome> outcomes = uploadAll({file(name, 3000)}, folder);
        QCOMPARE(outcomes.value(0).ending, UploadOutcome::Finished);
        QCOMPARE(outcomes[0].storedPath, storedAs);
        QCOMPARE(stored(storedAs), pattern(3000, 1));
        // The header is ASCII; names go as \u escapes.
        for (const QJsonValue& request : requests(m_cloud, kContent)) {
            const QByteArray argument = header(request.toObject(), "Dropbox-API-Arg").toUtf8();
            QVERIFY(std::all_of(argument.begin(), argument.end(), [](char c) { return uchar(c) <= 0x7E; }));
        }
    }

    void cancelAtEachStep_data()
    {
        const auto row = table<QString, bool>("path", "maybeStored");
        row("starting", kStart, false);
        row("appending", kAppend, false);
        row("committing", kFinish, true);
    }

    void cancelAtEachStep()
    {
        QFETCH(QString, path);
        QFETCH(bool, maybeStored);
        // The step hangs until the cancel, which must not wait for it.
        m_account->setUploadLimits(60000, 3, 20);
        m_cloud.addFault(fault(path, "delay", {{"seconds", 20}, {"times", 1}}));
        const QString first = file("first.mkv", 2000, 1);
        const QString second = file("second.mkv", 2000, 2);
        QSignalSpy ended(m_account.get(), &CloudBase::uploadEnded);
        QSignalSpy canceled(m_account.get(), &CloudBase::uploadCanceled);
        m_account->uploadFile(first, "/Videos");
        m_account->uploadFile(second, "/Videos");
        QVERIFY(waitFor([&] { return !m_cloud.requests(kContent, path).isEmpty() || ended.size() > 0; }));
        QVERIFY(m_account->cancelUpload(first));
        QVERIFY(!m_account->cancelUpload(first)); // once
        QVERIFY(waitFor([&] { return ended.size() == 2; }));
        QTest::qWait(50);
        QCOMPARE(ended.size(), 2);
        QCOMPARE(canceled.size(), 1);
        const auto outcome = [&](int i) { return ended[i][0].value<UploadOutcome>(); };
        QCOMPARE(outcome(0).filePath, first);
        QCOMPARE(outcome(0).ending, UploadOutcome::Canceled);
        QCOMPARE(outcome(0).error.kind(), maybeStored ? CloudError::MaybeStored : CloudError::None);
        QCOMPARE(outcome(1).ending, UploadOutcome::Finished);
        QCOMPARE(stored("/Videos/second.mkv"), pattern(2000, 2));
    }

    void handlersMayCancelInsideTheSignals()
    {
        // Whoever is told of a failure may cancel or queue from inside the
        // signal; nothing of the ended upload may be touched after that.
        m_cloud.addFault(fault(kStart, "status", {{"status", 200}, {"body", "<html>"}, {"content_type", "text/html"}}));
        const QString path = file("film.mkv", 100);
        connect(m_account.get(), &CloudBase::failedRetry, this, [&](const QString&, bool&) {
            m_account->cancelUpload(path);
            m_account->cancelUpload(path);
        });
        connect(m_account.get(), &CloudBase::uploadEnded, this, [&](const UploadOutcome&) { m_account->cancelUpload(path); });
        const QList<UploadOutcome> outcomes = uploadAll({path});
        QCOMPARE(outcomes.size(), 1);
        QCOMPARE(outcomes[0].ending, UploadOutcome::Canceled);
        QVERIFY(m_account->uploadQueue().isEmpty());
    }

private:
    QString file(const QString& name, qint64 size, int seed = 1) { return writeFile(m_files.filePath(name), size, seed); }
    QList<UploadOutcome> uploadAll(const QStringList& paths, const QString& folder = QStringLiteral("/Videos"))
    {
        return teststate::uploadAll(*m_account, paths, folder);
    }
    QByteArray stored(const QString& path) { return m_cloud.dropboxFile(kAlice, path); }

    FakeCloud m_cloud;
    QTemporaryDir m_files;
    std::unique_ptr<TestAccount<DropBox>> m_account;
};

LUMEN_TEST_MAIN(UploadsTest)
#include "tst_uploads.moc"
