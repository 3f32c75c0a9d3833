// The process-wide log and the token store. Each sequence of log calls runs in
// a child process: from a log never opened to what the log writes at exit.
#include "cloudlog.h"
#include "qovisettings.h"
#include "testtable.h"
#include "tokenstorage.h"

#include <QtTest>

#include <thread>

// Heap allocations of the calling thread while counting (negative: not
// counting). glibc's operator new goes through malloc; under
// AddressSanitizer, which owns malloc, its allocation hook counts instead.
static thread_local long t_allocations = -1;
extern "C" {
#if defined(__SANITIZE_ADDRESS__)
void __sanitizer_malloc_hook(const volatile void*, std::size_t) { t_allocations += t_allocations >= 0; }
#else
void* __libc_malloc(std::size_t size);
void* malloc(std::size_t size) noexcept
{
    t_allocations += t_allocations >= 0;
    return __libc_malloc(size);
}
#endif
}

namespace {

const QString kStamp = QStringLiteral("\\d+:\\d\\d:\\d\\d\\.\\d\\d\\d");
const QString kHeader = QStringLiteral("BOM[INF] STAMP Log file version: 1.0\n[INF] STAMP File name: ");
const QString kCompleted = QStringLiteral("[INF] STAMP CloudLog was completed.\n");
// The store's key: records stored by earlier versions must stay readable.
const QString kKey = QStringLiteral("4f7de7fcab3031a09ff7bf7c9183f87b");
const char* const kSection = "Player";

// In the child: log calls as "L<level> text" (a line), "P<level> text" (a
// piece), "O<mask> path" and "H<mask> path" (open without or with the
// header; "-": a null path) and "E" ("end" on both standard streams); "c*N"
// in a text stands for N times c. The exit status counts the failed opens.
int runLogSteps(int count, char** steps)
{
    int failedOpens = 0;
    for (int i = 0; i < count; ++i) {
        char* at = nullptr;
        const int number = int(std::strtol(steps[i] + 1, &at, 10));
        std::string text;
        for (at += *at == ' '; *at;) {
            char* end = nullptr;
            const char c = *at;
            text.append(std::size_t(at[1] == '*' ? std::strtol(at + 2, &end, 10) : 1), c);
            at = end ? end : at + 1;
        }
        switch (steps[i][0]) {
        case 'L': CloudLog::instance()->logLine(number, "%s", text.c_str()); break;
        case 'P': CloudLog::instance()->log(number, "%s", text.c_str()); break;
        case 'E': std::fputs("end\n", stdout), std::fputs("end\n", stderr); break;
        default:
            const char* path = text == "-" ? nullptr : text.c_str();
            failedOpens += !CloudLog::instance()->open(path, number, steps[i][0] == 'H');
        }
    }
    return failedOpens;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Whole-text match of a written form where STAMP stands for a time stamp,
// BOM for the byte-order mark and "c*N" for N times c.
bool matches(const QString& text, const QString& expected)
{
    QString pattern = QRegularExpression::escape(expected).replace(QRegularExpression("\\\\\\*(\\d+)"), "{\\1}");
    pattern.replace(QLatin1String("STAMP"), kStamp).replace(QLatin1String("BOM"), QLatin1String("\\xef\\xbb\\xbf"));
    if (QRegularExpression("\\A(?:" + pattern + ")\\z").match(text).hasMatch())
        return true;
    qWarning() << "got" << text.left(300) << "expected" << expected.left(300);
    return false;
}

QByteArray opensslEncrypt(const QByteArray& plain, const QStringList& options = {})
{
    QProcess openssl;
    openssl.start("openssl", QStringList{"enc", "-aes-128-cbc", "-K", kKey, "-iv", QString(32, '0')} + options);
    openssl.write(plain);
    openssl.closeWriteChannel();
    if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0)
        return "<openssl failed>";
    return openssl.readAllStandardOutput();
}

} // namespace

class StorageTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        // The records here are of the form kept where no keyring answers; the
        // keyring's own are tst_keyring's.
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
    void init()
    {
        QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + "/QoviSettings").removeRecursively();
    }

    void logWrites_data()
    {
        // written: "name: content" of each file, then of each stream written to
        const auto row = testtable::table<QString, QString, int>("steps", "written", "failedOpens");
        const QString all = "|L0 l0|L1 l1|L2 crt|L3 l3|L4 err|L6 l6|L8 wrn|L16 inf|L32 l32|L64 dbg|L128 prg";
        row("two-level mask", "O24 a" + all, "a: [WRN] STAMP wrn\n[INF] STAMP inf\n" + kCompleted, 0);
        row("every level but 0, unknown ones untagged", "O1 a" + all,
            "a: [UNK]STAMP l1\n[CRT] STAMP crt\n[UNK]STAMP l3\n[ERR] STAMP err\n[UNK]STAMP l6\n[WRN] STAMP wrn\n"
            "[INF] STAMP inf\n[UNK]STAMP l32\n[DBG] STAMP dbg\n[PRG] STAMP prg\n" + kCompleted, 0);
        row("shared bits", "O2 a" + all, "a: [CRT] STAMP crt\n[UNK]STAMP l3\n[UNK]STAMP l6\n", 0);
        row("none", "O0 a" + all, "a: ", 0);
        row("pieces continued by a line", "O1 a|P16 mode |L16 UP|P8 a1|P4 b|L64 c|L16 ---\n",
            "a: [INF] STAMP mode STAMPUP\n[WRN] STAMP a1STAMPbSTAMPc\n[INF] STAMP ---\n\n" + kCompleted, 0);
        row("dropped piece leaves the line start", "O8 a|P16 dropped|P0 dropped|L8 kept", "a: [WRN] STAMP kept\n", 0);
        row("unfinished piece goes on in the next file", "O1 a|P16 unfinished|O1 b|L8 next|L8 after",
            "a: [INF] STAMP unfinished|b: STAMPnext\n[WRN] STAMP after\n" + kCompleted, 0);
        // 65,535 characters a line after the tag: an 11-character stamp, a blank, the message.
        row("long messages cut", "O16 a|L16 a*65522Z|L16 a*65522ZY|L16 b*70000",
            "a: [INF] STAMP a*65522Z\n[INF] STAMP a*65522Z\n[INF] STAMP b*65523\n" + kCompleted, 0);
        row("header", "H1 a", "a: " + kHeader + "a\n\n" + kCompleted, 0);
        row("header without info is the mark alone", "H12 a", "a: BOM", 0);
        row("same path again changes only the mask", "H1 a|L4 one|H8 a|L4 dropped|L8 two",
            "a: " + kHeader + "a\n\n[ERR] STAMP one\n[WRN] STAMP two\n", 0);
        row("failed open keeps the new mask",
            "O1 a|L16 before|O8 no/log|L8 lost|P16 dropped|O1 b|L8 after|O8 no/log|P8 piece|O1 c|L8 continued",
            "a: [INF] STAMP before\n|b: [WRN] STAMP after\n|c: STAMPcontinued\n" + kCompleted, 2);
        row("null or empty path changes nothing", "O8 a|H1 -|H1 |L16 dropped|L8 kept", "a: [WRN] STAMP kept\n", 2);
        row("closed log discards everything", "P0 a|L1 b|P2 c|L16 d|P-1 e|L64 f|P8 g|E|O1 a|L16 first",
            "a: [INF] STAMP first\n" + kCompleted + "|stderr: end\n|stdout: end\n", 0);
        row("stderr left open when the log moves on", "H1 stderr|L8 to stderr|O1 a|E",
            "a: " + kCompleted + "|stderr: " + kHeader + "stderr\n\n[WRN] STAMP to stderr\nend\n|stdout: end\n", 0);
        row("stdout left open when the log moves on", "H1 stdout|L8 to stdout|O1 a|E",
            "a: " + kCompleted + "|stderr: end\n|stdout: " + kHeader + "stdout\n\n[WRN] STAMP to stdout\nend\n", 0);
    }

    void logWrites()
    {
        const auto [steps, written, failedOpens] = testtable::fetch<QString, QString, int>("steps", "written", "failedOpens");
        QTemporaryDir dir;
        QProcess child;
        child.setWorkingDirectory(dir.path());
        child.start(QCoreApplication::applicationFilePath(), QStringList{"--log-steps"} + steps.split('|'));
        QVERIFY(child.waitForFinished(30000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), failedOpens);
        QStringList found;
        for (const QString& name : QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name))
            found << name + ": " + QString::fromLatin1(readFile(dir.filePath(name)));
        const QByteArray streams[] = {"stderr: " + child.readAllStandardError(),
                                      "stdout: " + child.readAllStandardOutput()};
        for (const QByteArray& stream : streams)
            if (!stream.endsWith(": ")) // written to
                found << QString::fromLatin1(stream);
        QVERIFY(matches(found.join('|'), written));
    }

    void noHeapAllocationPerCall()
    {
        const QString path = m_logs.filePath("allocations.log");
        QVERIFY(CloudLog::instance()->open(qPrintable(path), LOG_ALL, false));
        CloudLog::instance()->logLine(LOG_INF, "warm-up"); // the stream's buffer comes with its first write
        const std::string huge(70000, 'h');
        t_allocations = 0;
        const QByteArray probe(100, 'x');
        QVERIFY(t_allocations > 0); // the counter counts
        t_allocations = 0;
        for (int i = 0; i < 50; ++i) {
            CloudLog::instance()->logLine(LOG_INF, "%s %d %u %x %c %5.2f", "text", -i, 42u, 0xBEEFu, 'c', 3.25);
            CloudLog::instance()->log(LOG_WRN, "piece %d", i);
            CloudLog::instance()->logLine(LOG_ERR, "%s", huge.c_str());
            CloudLog::instance()->logLine(0, "dropped");
        }
        const long allocations = t_allocations;
        t_allocations = -1;
        QCOMPARE(allocations, 0L);
        QCOMPARE(readFile(path).count('\n'), 1 + 100);
    }

    void threadsDoNotInterleave()
    {
        const QString path = m_logs.filePath("threads.log");
        QVERIFY(CloudLog::instance()->open(qPrintable(path), LOG_ALL, false));
        std::vector<std::thread> threads;
        for (char letter = 'A'; letter < 'G'; ++letter) {
            threads.emplace_back([letter] {
                const std::string run(300, letter);
                for (int i = 0; i < 400; ++i) {
                    CloudLog::instance()->log(LOG_DBG, "%s", run.c_str());
                    CloudLog::instance()->logLine(LOG_DBG, "%s", run.c_str());
                }
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        // Pieces of different calls may meet on a line, but a piece is never
        // split: a line opens with a tagged piece and goes on with untagged ones.
        const QRegularExpression line(QString("\\A\\[DBG\\] %1 ([A-F])\\1{299}(?:%1([A-F])\\2{299})*\\z").arg(kStamp));
        int pieces = 0;
        for (const QString& text : QString::fromLatin1(readFile(path)).chopped(1).split('\n')) {
            QVERIFY2(line.match(text).hasMatch(), qPrintable(text.left(80)));
            pieces += text.count(':') / 2; // a stamp a piece, two colons a stamp
        }
        QCOMPARE(pieces, 6 * 400 * 2);
    }

    void tokenMatchesOpenssl_data()
    {
        const auto row = testtable::table<int, QByteArray, QByteArray>("kind", "setting", "token");
        for (int length : {0, 1, 15, 16, 17, 33, 1000})
            QTest::addRow("%d bytes", length) << int(GDRIVE_CLOUD) << QByteArray("QoviCloud Google Drive")
                                              << QByteArray("T\0k\xFF\x80n!", 7).repeated(150).left(length);
        row("dropbox record", int(DROPBOX_CLOUD), QByteArray("QoviCloud Dropbox"),
            QByteArray("{\n    \"access_token\": \"sl.AbC-123_xyz\",\n    \"account_id\": \"dbid:AAH4f\"\n}\n"));
        row("unknown kind", 5, QByteArray("Unknown Cloud"), QByteArray("a\0b\xFF\x80\xC3\xA9", 7));
    }

    void tokenMatchesOpenssl()
    {
        const auto [kind, setting, token] = testtable::fetch<int, QByteArray, QByteArray>("kind", "setting", "token");
        QVERIFY(m_store.saveToken(kSection, CLOUD_TYPE(kind), token.toStdString()));
        std::vector<unsigned char> stored;
        QVERIFY(qvs::FetchBuffer(kSection, setting.constData(), stored));
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(stored.data()), int(stored.size())), opensslEncrypt(token));
        std::string read;
        QVERIFY(m_store.readToken(kSection, CLOUD_TYPE(kind), read));
        QCOMPARE(QByteArray::fromStdString(read), token);
    }

    void damagedValuesReadEmpty_data()
    {
        const auto row = testtable::table<QByteArray>("bytes");
        row("empty", QByteArray(""));
        row("shorter than a block", QByteArray("\x01\x02\x03\x04\x05"));
        row("not whole blocks", opensslEncrypt("seventeen bytes!!").append('x'));
        // A last byte of zero is no padding.
        row("bad padding", opensslEncrypt(QByteArray("fifteen bytes!!").append('\0'), {"-nopad"}));
    }

    void damagedValuesReadEmpty()
    {
        QFETCH(QByteArray, bytes);
        QVERIFY(qvs::StoreBuffer(kSection, "QoviCloud Dropbox", bytes.constData(), std::size_t(bytes.size())));
        std::string read("untouched");
        QVERIFY(m_store.readToken(kSection, DROPBOX_CLOUD, read));
        QCOMPARE(read, std::string());
    }

    void removal()
    {
        QVERIFY(m_store.saveToken(kSection, DROPBOX_CLOUD, "dropbox"));
        QVERIFY(m_store.saveToken(kSection, GDRIVE_CLOUD, "google"));
        QVERIFY(m_store.saveToken("Elsewhere", DROPBOX_CLOUD, "elsewhere"));
        QVERIFY(m_store.removeToken(kSection, DROPBOX_CLOUD));
        std::string read("untouched");
        QVERIFY(!m_store.readToken(kSection, DROPBOX_CLOUD, read) && read == "untouched");
        QVERIFY(!m_store.removeToken(kSection, DROPBOX_CLOUD));
        // Other kinds and sections are kept.
        QVERIFY(m_store.readToken(kSection, GDRIVE_CLOUD, read) && read == "google");
        QVERIFY(m_store.readToken("Elsewhere", DROPBOX_CLOUD, read) && read == "elsewhere");
        // A text value under the record's name is no record, and stays.
        QVERIFY(qvs::StoreUTF8String(kSection, "QoviCloud Dropbox", "not a record"));
        QVERIFY(!m_store.removeToken(kSection, DROPBOX_CLOUD));
        qvtl::string text;
        QVERIFY(qvs::FetchUTF8String(kSection, "QoviCloud Dropbox", text) && text.str() == "not a record");
    }

private:
    QTemporaryDir m_logs;
    TokenStorage m_store;
};

int main(int argc, char** argv)
{
    if (argc > 1 && qstrcmp(argv[1], "--log-steps") == 0)
        return runLogSteps(argc - 2, argv + 2);
    QCoreApplication app(argc, argv);
    StorageTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_storage.moc"
