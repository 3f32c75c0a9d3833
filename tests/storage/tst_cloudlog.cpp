#include "allocationcounter.h"
#include "cloudlog.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

// The log is one object for the whole process, so every case opens a file of
// its own and reads only that file.

namespace {

const QByteArray kByteOrderMark("\xEF\xBB\xBF");
const QString kStamp = QStringLiteral("\\d+:\\d\\d:\\d\\d\\.\\d\\d\\d");

ICloudLog* theLog()
{
    return CloudLog::instance();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// Whole-content match; "STAMP" in the pattern stands for one time stamp.
bool matches(const QByteArray& content, QString pattern)
{
    pattern.replace(QStringLiteral("STAMP"), kStamp);
    const QRegularExpression expression(QStringLiteral("\\A") + pattern + QStringLiteral("\\z"));
    const bool ok = expression.match(QString::fromLatin1(content)).hasMatch();
    if (!ok)
        qWarning() << "content" << content.left(300) << "does not match" << pattern.left(300);
    return ok;
}

// Sends one of the standard streams to a file for as long as it lives.
class StreamCapture
{
public:
    StreamCapture(std::FILE* stream, const QString& path)
        : m_stream(stream)
        , m_path(path)
    {
        std::fflush(m_stream);
        m_saved = ::dup(fileno(m_stream));
        const int target = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(target, fileno(m_stream));
        ::close(target);
    }
    ~StreamCapture() { restore(); }

    QByteArray finish()
    {
        restore();
        return readFile(m_path);
    }

private:
    void restore()
    {
        if (m_saved < 0)
            return;
        std::fflush(m_stream);
        ::dup2(m_saved, fileno(m_stream));
        ::close(m_saved);
        m_saved = -1;
    }

    std::FILE* m_stream;
    QString m_path;
    int m_saved = -1;
};

} // namespace

class CloudLogTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    // Must stay first: it needs a log that was never opened.
    void freshLogDiscardsEverything();

    void headerBytes();
    void levelFilter_data();
    void levelFilter();
    void pieceContinuedByLine();
    void unfinishedPieceCarriesOver();
    void droppedPieceLeavesLineStart();
    void longMessagesCut();
    void reopenSamePathChangesMaskOnly();
    void headerWithoutInfoIsOnlyByteOrderMark();
    void failedOpenKeepsNewMask();
    void nullOrEmptyPathChangesNothing();
    void standardStreams_data();
    void standardStreams();
    void threadsDoNotInterleave();
    void noHeapAllocationPerCall();
    void stampFormats_data();
    void stampFormats();
    void elapsedClock_data();
    void elapsedClock();
    void completionLineAtExit();

private:
    QString freshPath() { return m_dir.filePath(QStringLiteral("log-%1.txt").arg(++m_files)); }

    QTemporaryDir m_dir;
    int m_files = 0;
};

void CloudLogTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(m_dir.isValid());
}

void CloudLogTest::init()
{
    if (QByteArray(QTest::currentTestFunction()) == "freshLogDiscardsEverything")
        return;
    // Whatever an earlier case left open, each case starts at a line start.
    QVERIFY(theLog()->open(qPrintable(freshPath()), LOG_ALL, false));
    theLog()->logLine(LOG_INF, "start of case");
}

void CloudLogTest::freshLogDiscardsEverything()
{
    const QString stdoutPath = m_dir.filePath(QStringLiteral("fresh-stdout"));
    const QString stderrPath = m_dir.filePath(QStringLiteral("fresh-stderr"));
    QTemporaryDir workDir;
    const QString previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(workDir.path()));
    QByteArray out;
    QByteArray err;
    {
        StreamCapture outCapture(stdout, stdoutPath);
        StreamCapture errCapture(stderr, stderrPath);
        for (int level : {0, LOG_ALL, LOG_CRT, LOG_ERR, LOG_WRN, LOG_INF, 32, LOG_DBG, LOG_PRG, -1}) {
            theLog()->log(level, "piece %d", level);
            theLog()->logLine(level, "line %d", level);
            theLog()->log(level, "unfinished %d", level);
        }
        out = outCapture.finish();
        err = errCapture.finish();
    }
    QVERIFY(QDir::setCurrent(previousDir));
    QVERIFY(out.isEmpty());
    QVERIFY(err.isEmpty());
    QVERIFY(QDir(workDir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());

    // Nothing was kept back either, and the dropped pieces left the log at a
    // line start.
    const QString path = freshPath();
    QVERIFY(theLog()->open(qPrintable(path), LOG_ALL, false));
    theLog()->logLine(LOG_INF, "first");
    QVERIFY(matches(readFile(path), "\\[INF\\] STAMP first\n"));
}

void CloudLogTest::headerBytes()
{
    const QString path = freshPath();
    QVERIFY(theLog()->open(qPrintable(path), LOG_ALL, true));
    const QByteArray content = readFile(path);
    QVERIFY(content.startsWith(kByteOrderMark));
    QVERIFY(matches(content.mid(3),
                    "\\[INF\\] STAMP Log file version: 1\\.0\n"
                    "\\[INF\\] STAMP File name: " + QRegularExpression::escape(path) + "\n\n"));
}

void CloudLogTest::levelFilter_data()
{
    QTest::addColumn<int>("mask");
    QTest::addColumn<int>("level");
    QTest::addColumn<QString>("tag"); // empty: nothing written

    QTest::newRow("24 drops error") << 24 << LOG_ERR << QString();
    QTest::newRow("24 writes warning") << 24 << LOG_WRN << QStringLiteral("[WRN] ");
    QTest::newRow("24 writes info") << 24 << LOG_INF << QStringLiteral("[INF] ");
    QTest::newRow("24 drops debug") << 24 << LOG_DBG << QString();
    QTest::newRow("all writes critical") << LOG_ALL << LOG_CRT << QStringLiteral("[CRT] ");
    QTest::newRow("all writes error") << LOG_ALL << LOG_ERR << QStringLiteral("[ERR] ");
    QTest::newRow("all writes debug") << LOG_ALL << LOG_DBG << QStringLiteral("[DBG] ");
    QTest::newRow("all writes progress") << LOG_ALL << LOG_PRG << QStringLiteral("[PRG] ");
    QTest::newRow("all writes 32 as unknown") << LOG_ALL << 32 << QStringLiteral("[UNK]");
    QTest::newRow("all writes 1 as unknown") << LOG_ALL << 1 << QStringLiteral("[UNK]");
    QTest::newRow("all writes 6 as unknown") << LOG_ALL << 6 << QStringLiteral("[UNK]");
    QTest::newRow("shared bit writes 3 as unknown") << LOG_CRT << 3 << QStringLiteral("[UNK]");
    QTest::newRow("all never writes 0") << LOG_ALL << 0 << QString();
    QTest::newRow("255 never writes 0") << 255 << 0 << QString();
    QTest::newRow("none drops critical") << LOG_NONE << LOG_CRT << QString();
    QTest::newRow("debug drops progress") << LOG_DBG << LOG_PRG << QString();
    QTest::newRow("critical and error write critical") << (LOG_CRT | LOG_ERR) << LOG_CRT << QStringLiteral("[CRT] ");
}

void CloudLogTest::levelFilter()
{
    QFETCH(int, mask);
    QFETCH(int, level);
    QFETCH(QString, tag);
    const QString path = freshPath();
    QVERIFY(theLog()->open(qPrintable(path), mask, false));
    theLog()->logLine(level, "payload %d", 7);
    const QByteArray content = readFile(path);
    if (tag.isEmpty())
        QCOMPARE(content, QByteArray());
    else
        QVERIFY(matches(content, QRegularExpression::escape(tag) + "STAMP payload 7\n"));
}

void CloudLogTest::pieceContinuedByLine()
{
    const QString path = freshPath();
    QVERIFY(theLog()->open(qPrintable(path), LOG_ALL, false));
    theLog()->log(LOG_INF, "Current mode is ");
    theLog()->logLine(LOG_INF, "%s", "UPLOADING_MODE");
    theLog()->log(LOG_WRN, "a%d", 1);
    theLog()->log(LOG_ERR, "b");
    theLog()->logLine(LOG_DBG, "c");
    theLog()->logLine(LOG_INF, "---\n");
    QVERIFY(matches(readFile(path),
                    "\\[INF\\] STAMP Current mode is STAMPUPLOADING_MODE\n"
                    "\\[WRN\\] STAMP a1STAMPbSTAMPc\n"
                    "\\[INF\\] STAMP ---\n\n"));
}

void CloudLogTest::unfinishedPieceCarriesOver()
{
    QVERIFY(theLog()->open(qPrintable(freshPath()), LOG_ALL, false));
    theLog()->log(LOG_INF, "never finished");
    const QString path = freshPath();
    QVERIFY(theLog()->open(qPrintable(path), LOG_ALL, false));
    theLog()->logLine(LOG_WRN, "next");
    theLog()->logLine(LOG_WRN, "after");
    QVERIFY(matches(readFile(path), "STAMPnext\n\\[WRN\\] STAMP after\n"));
}

void CloudLogTest::droppedPieceLeavesLineStart()
{
    const QString path = freshPath();
    QVERIFY(theLog()->open(qPrintable(path), LOG_WRN, false));
    theLog()->log(LOG_INF, "dropped");
    theLog()->log(0, "dropped too");
    theLog()->logLine(LOG_WRN, "kept");
    QVERIFY(matches(readFile(path), "\\[WRN\\] STAMP kept\n"));
}

void CloudLogTest::longMessagesCut()
{
    // A body holds 65,535 characters: an 11-character stamp (below ten
    // hours), a blank, then the message. The message limit of 65,534 lies
    // beyond what a body can show, whatever the stamp.
    const int room = 65535 - 11 - 1;
    const std::string fits = std::string(static_cast<std::size_t>(room - 1), 'a') + "Z";
    const std::string overflows = fits + "Y";
    const std::string huge(70000, 'b');

    const QString path = freshPath();
    QVERIFY(theLog()->open(qPrintable(path), LOG_ALL, false));
    theLog()->logLine(LOG_INF, "%s", fits.c_str());
    theLog()->logLine(LOG_INF, "%s", overflows.c_str());
    theLog()->logLine(LOG_INF, "%s", huge.c_str());

    const QList<QByteArray> lines = readFile(path).split('\n');
    QCOMPARE(lines.size(), 4);
    QVERIFY(lines[3].isEmpty());
    QVERIFY(matches(lines[0], "\\[INF\\] STAMP a{" + QString::number(room - 1) + "}Z"));
    QVERIFY(matches(lines[1], "\\[INF\\] STAMP a{" + QString::number(room - 1) + "}Z"));
    QVERIFY(matches(lines[2], "\\[INF\\] STAMP b{" + QString::number(room) + "}"));
    QCOMPARE(lines[2].size(), 6 + 65535);
}

void CloudLogTest::reopenSamePathChangesMaskOnly()
{
    const QString path = freshPath();
    QVERIFY(theLog()->open(qPrintable(path), LOG_ALL, true));
    theLog()->logLine(LOG_ERR, "one");
    QVERIFY(theLog()->open(qPrintable(path), LOG_WRN, true));
    theLog()->logLine(LOG_ERR, "dropped");
    theLog()->logLine(LOG_WRN, "two");
    const QByteArray content = readFile(path);
    QVERIFY(content.startsWith(kByteOrderMark));
    QVERIFY(matches(content.mid(3),
                    "\\[INF\\] STAMP Log file version: 1\\.0\n"
                    "\\[INF\\] STAMP File name: [^\n]*\n\n"
                    "\\[ERR\\] STAMP one\n"
                    "\\[WRN\\] STAMP two\n"));
}

void CloudLogTest::headerWithoutInfoIsOnlyByteOrderMark()
{
    const QString path = freshPath();
    QVERIFY(theLog()->open(qPrintable(path), LOG_WRN | LOG_ERR, true));
    QCOMPARE(readFile(path), kByteOrderMark);
}

void CloudLogTest::failedOpenKeepsNewMask()
{
    const QString first = freshPath();
    const QByteArray unopenable = QFile::encodeName(m_dir.filePath(QStringLiteral("missing/folder/log.txt")));
    QVERIFY(theLog()->open(qPrintable(first), LOG_ALL, false));
    theLog()->logLine(LOG_INF, "before");

    QVERIFY(!theLog()->open(unopenable.constData(), LOG_WRN, true));
    theLog()->logLine(LOG_WRN, "lost");
    // Dropped under the new mask, so the line start stays; the old mask
    // would have taken it and left the line open.
    theLog()->log(LOG_INF, "filtered");
    const QString second = freshPath();
    QVERIFY(theLog()->open(qPrintable(second), LOG_ALL, false));
    theLog()->logLine(LOG_WRN, "after");

    // Accepted pieces still move the line start while nothing is open.
    QVERIFY(!theLog()->open(unopenable.constData(), LOG_WRN, false));
    theLog()->log(LOG_WRN, "open piece");
    const QString third = freshPath();
    QVERIFY(theLog()->open(qPrintable(third), LOG_ALL, false));
    theLog()->logLine(LOG_WRN, "continued");

    QVERIFY(matches(readFile(first), "\\[INF\\] STAMP before\n"));
    QVERIFY(matches(readFile(second), "\\[WRN\\] STAMP after\n"));
    QVERIFY(matches(readFile(third), "STAMPcontinued\n"));
    QVERIFY(!QFile::exists(QFile::decodeName(unopenable)));
}

void CloudLogTest::nullOrEmptyPathChangesNothing()
{
    const QString path = freshPath();
    QVERIFY(theLog()->open(qPrintable(path), LOG_WRN, false));
    QVERIFY(!theLog()->open(nullptr, LOG_ALL, true));
    QVERIFY(!theLog()->open("", LOG_ALL, true));
    theLog()->logLine(LOG_INF, "dropped");
    theLog()->logLine(LOG_WRN, "kept");
    QVERIFY(matches(readFile(path), "\\[WRN\\] STAMP kept\n"));
}

void CloudLogTest::standardStreams_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("stderr") << QStringLiteral("stderr");
    QTest::newRow("stdout") << QStringLiteral("stdout");
}

void CloudLogTest::standardStreams()
{
    QFETCH(QString, name);
    std::FILE* stream = name == QLatin1String("stderr") ? stderr : stdout;
    const QString captured = m_dir.filePath(name + QStringLiteral("-captured"));
    const QString next = freshPath();
    bool stillOpen = false;
    QByteArray content;
    {
        StreamCapture capture(stream, captured);
        const bool opened = theLog()->open(qPrintable(name), LOG_ALL, true);
        theLog()->logLine(LOG_WRN, "to %s", qPrintable(name));
        // Moving on to a file leaves the standard stream open.
        const bool movedOn = theLog()->open(qPrintable(next), LOG_ALL, false);
        stillOpen = opened && movedOn && ::fcntl(fileno(stream), F_GETFD) != -1
            && std::fputs("still open\n", stream) >= 0 && std::fflush(stream) == 0;
        content = capture.finish();
    }
    QVERIFY(stillOpen);
    QVERIFY(content.startsWith(kByteOrderMark));
    QVERIFY(matches(content.mid(3),
                    "\\[INF\\] STAMP Log file version: 1\\.0\n"
                    "\\[INF\\] STAMP File name: " + name + "\n\n"
                    "\\[WRN\\] STAMP to " + name + "\n"
                    "still open\n"));
}

void CloudLogTest::threadsDoNotInterleave()
{
    constexpr int threadCount = 6;
    constexpr int linesEach = 400;
    const QString path = freshPath();
    QVERIFY(theLog()->open(qPrintable(path), LOG_ALL, false));

    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([t] {
            const std::string run(300, static_cast<char>('A' + t));
            for (int i = 0; i < linesEach; ++i) {
                CloudLog::instance()->log(LOG_DBG, "%s", run.c_str());
                CloudLog::instance()->logLine(LOG_DBG, "%s", run.c_str());
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();

    // Pieces of different calls may meet on a line, but a piece is never
    // split: a line opens with a tagged piece and goes on with untagged ones.
    const QString run = QStringLiteral("([A-Z])\\1{299}");
    const QRegularExpression opening(QStringLiteral("\\A\\[DBG\\] %1 %2").arg(kStamp, run));
    const QRegularExpression continuing(QStringLiteral("\\A%1%2").arg(kStamp, run));
    int pieces = 0;
    for (const QByteArray& line : readFile(path).split('\n')) {
        QString rest = QString::fromLatin1(line);
        for (bool first = true; !rest.isEmpty(); first = false) {
            const QRegularExpressionMatch match = (first ? opening : continuing).match(rest);
            if (!match.hasMatch())
                QFAIL(qPrintable(QStringLiteral("broken piece: ") + rest.left(80)));
            rest = rest.mid(match.capturedLength());
            ++pieces;
        }
    }
    QCOMPARE(pieces, threadCount * linesEach * 2);
}

void CloudLogTest::noHeapAllocationPerCall()
{
    const QString path = freshPath();
    QVERIFY(theLog()->open(qPrintable(path), LOG_ALL, false));
    theLog()->logLine(LOG_INF, "warm-up"); // the stream's own buffer comes with its first write
    const std::string huge(70000, 'h');
    {
        AllocationCounter probe;
        std::vector<int> block(100);
        QVERIFY(probe.count() > 0);
    }
    long allocations = -1;
    {
        AllocationCounter counter;
        for (int i = 0; i < 50; ++i) {
            theLog()->logLine(LOG_INF, "%s %d %u %x %c %5.2f", "text", -i, 42u, 0xBEEFu, 'c', 3.25);
            theLog()->log(LOG_WRN, "piece %d", i);
            theLog()->logLine(LOG_ERR, "end %s", "of line");
            theLog()->logLine(0, "dropped");
        }
        theLog()->logLine(LOG_INF, "%s", huge.c_str());
        allocations = counter.count();
    }
    QCOMPARE(allocations, 0L);
    QCOMPARE(readFile(path).count('\n'), 1 + 100 + 1);
    if (!AllocationCounter::countsMalloc())
        qInfo("only operator new was counted: the sanitizer owns malloc");
}

void CloudLogTest::stampFormats_data()
{
    QTest::addColumn<uint>("milliseconds");
    QTest::addColumn<int>("style");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("clock zero") << 0u << int(CloudLog::CLOCK_STAMP) << QByteArray("0:00:00.000");
    QTest::newRow("clock seconds") << 7042u << int(CloudLog::CLOCK_STAMP) << QByteArray("0:00:07.042");
    QTest::newRow("clock hours kept whole") << 97389500u << int(CloudLog::CLOCK_STAMP) << QByteArray("27:03:09.500");
    QTest::newRow("clock largest count") << 4294967295u << int(CloudLog::CLOCK_STAMP) << QByteArray("1193:02:47.295");
    QTest::newRow("seconds") << 7042u << int(CloudLog::SECONDS_STAMP) << QByteArray("7.042");
    QTest::newRow("minutes") << 97389500u << int(CloudLog::MINUTES_STAMP) << QByteArray("1623:09.500");
}

void CloudLogTest::stampFormats()
{
    QFETCH(uint, milliseconds);
    QFETCH(int, style);
    QFETCH(QByteArray, expected);
    char out[128] = {};
    CloudLog::formatStamp(milliseconds, static_cast<CloudLog::StampStyle>(style), out, sizeof out);
    QCOMPARE(QByteArray(out), expected);
}

void CloudLogTest::elapsedClock_data()
{
    QTest::addColumn<qlonglong>("startSeconds");
    QTest::addColumn<qlonglong>("nowSeconds");
    QTest::addColumn<qlonglong>("nowMicroseconds");
    QTest::addColumn<uint>("expected");

    // The start's microseconds take no part: the first stamp shows the
    // millisecond within its second.
    QTest::newRow("first stamp") << 1700000000LL << 1700000000LL << 900123LL << 900u;
    QTest::newRow("seconds later") << 1700000000LL << 1700000003LL << 42999LL << 3042u;
    QTest::newRow("27 hours") << 0LL << 97389LL << 500000LL << 97389500u;
    QTest::newRow("wraps after 49.7 days") << 0LL << 4320000LL << 0LL << 25032704u;
}

void CloudLogTest::elapsedClock()
{
    QFETCH(qlonglong, startSeconds);
    QFETCH(qlonglong, nowSeconds);
    QFETCH(qlonglong, nowMicroseconds);
    QFETCH(uint, expected);
    QCOMPARE(uint(CloudLog::elapsedMilliseconds(long(startSeconds), long(nowSeconds), long(nowMicroseconds))),
             expected);
}

void CloudLogTest::completionLineAtExit()
{
    const QString path = freshPath();
    QProcess helper;
    helper.start(QStringLiteral(CLOUDLOG_EXIT_HELPER), {path});
    QVERIFY(helper.waitForFinished(30000));
    QCOMPARE(helper.exitStatus(), QProcess::NormalExit);
    QCOMPARE(helper.exitCode(), 0);
    QVERIFY(matches(readFile(path),
                    "\\[INF\\] STAMP last line before exit\n"
                    "\\[INF\\] STAMP CloudLog was completed\\.\n"));
}

QTEST_GUILESS_MAIN(CloudLogTest)
#include "tst_cloudlog.moc"
