// The settings stand-in: values and groups kept between stores, what it
// refuses, owner-only files, damaged files read as nothing, something other
// than a file refused unopened, and failed writes that keep the old file.
#include "qovisettings.h"
#include "testtable.h"

#include <QDir>
#include <QStandardPaths>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kSection = "Player";
const char* const kName = "QoviCloud Dropbox";
const QByteArray kPipe = "<named pipe>";

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly)
        && file.write(content) == content.size();
}

qvtl::RefCountedPtr<qvs::QoviSettings> openStore(const char* path = "Settings/test-component")
{
    return qvs::CreateQoviSettings(path, qvs::QOVISETTINGS_TYPE_USER);
}

} // namespace

class SettingsTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        m_root = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + "/QoviSettings";
    }

    void init() { QDir(m_root).removeRecursively(); }

    void roundTrips_data()
    {
        const auto row = testtable::table<bool, QByteArray>("buffer", "value");
        QByteArray everyByte(256, '\0');
        for (int i = 0; i < 256; ++i)
            everyByte[i] = char(i);
        row("text", false, QByteArray("user@example.com"));
        row("multi-byte text", false, QByteArray("Gr\xC3\xBC\xC3\x9F" "e \xE6\x97\xA5 \xF0\x9F\x8E\xAC"));
        row("text with NUL", false, QByteArray("before\0after", 12));
        row("quotes and escapes", false, QByteArray("{\"a\":\"\\n\"}\t\r\n"));
        row("empty text", false, QByteArray(""));
        row("every byte", true, everyByte);
        row("invalid UTF-8 buffer", true, QByteArray("\xC3\x28\xA0\xA1\xF0\x28\x8C\xBC"));
        row("empty buffer", true, QByteArray(""));
    }

    void roundTrips()
    {
        const auto [buffer, value] = testtable::fetch<bool, QByteArray>("buffer", "value");
        const qvtl::string asText(value.constData(), std::size_t(value.size()));
        QVERIFY(buffer ? qvs::StoreBuffer(kSection, kName, value.constData(), std::size_t(value.size()))
                       : qvs::StoreUTF8String(kSection, kName, asText));
        qvtl::string readText;
        std::vector<unsigned char> readBytes;
        // Only the kind stored, under that section and name, is there.
        QVERIFY(!qvs::FetchUTF8String("Other", kName, readText) && !qvs::FetchBuffer(kSection, "other", readBytes));
        QCOMPARE(qvs::FetchBuffer(kSection, kName, readBytes), buffer);
        QCOMPARE(qvs::FetchUTF8String(kSection, kName, readText), !buffer);
        QCOMPARE(buffer ? QByteArray(reinterpret_cast<const char*>(readBytes.data()), int(readBytes.size()))
                        : QByteArray::fromStdString(readText.str()),
                 value);
    }

    void replacedAndDeleted()
    {
        QVERIFY(qvs::StoreUTF8String(kSection, "dbEmail", "first@example.com"));
        QVERIFY(qvs::StoreUTF8String(kSection, "dbEmail", "second@example.com"));
        QVERIFY(qvs::StoreUTF8String(kSection, "gdEmail", "kept@example.com"));
        qvtl::string read;
        QVERIFY(qvs::FetchUTF8String(kSection, "dbEmail", read) && read.str() == "second@example.com");
        QVERIFY(qvs::DeleteSetting(kSection, "dbEmail") && !qvs::FetchUTF8String(kSection, "dbEmail", read));
        QVERIFY(qvs::DeleteSetting(kSection, "dbEmail")); // what is not there stays not there
        QVERIFY(qvs::FetchUTF8String(kSection, "gdEmail", read) && read.str() == "kept@example.com");
        // The other kind under a name replaces the value.
        QVERIFY(qvs::StoreBuffer(kSection, "gdEmail", "\x03", 1) && !qvs::FetchUTF8String(kSection, "gdEmail", read));
    }

    void refused_data()
    {
        const auto row = testtable::table<QByteArray, QByteArray>("call", "argument"); // call: what the argument goes into
        row("value not UTF-8", QByteArray("value"), QByteArray("\xFF\xFE"));
        row("section not UTF-8", QByteArray("section"), QByteArray("\xC3"));
        row("key not UTF-8", QByteArray("key"), QByteArray("a\xE6\x97"));
        const std::pair<const char*, const char*> paths[] = {{"empty", ""}, {"no component", "Settings/"},
            {"absolute", "/tmp/x"}, {"climbing out", "Settings/../../x"}, {"empty part", "Settings//x"},
            {"dot part", "Settings/./x"}, {"not UTF-8", "Settings/\xFF"}};
        for (const auto& [name, path] : paths)
            QTest::addRow("store path: %s", name) << QByteArray("store") << QByteArray(path);
        row("store of another type", QByteArray("other type"), QByteArray("Settings/x"));
    }

    void refused()
    {
        const auto [call, argument] = testtable::fetch<QByteArray, QByteArray>("call", "argument");
        const qvtl::string bad(argument.constData(), std::size_t(argument.size()));
        if (call == "value")
            QVERIFY(!qvs::StoreUTF8String(kSection, "dbEmail", bad));
        else if (call == "section")
            QVERIFY(!qvs::StoreBuffer(bad, kName, "x", 1));
        else if (call == "key")
            QVERIFY(!qvs::StoreBuffer(kSection, bad, "x", 1));
        else
            QVERIFY(!qvs::CreateQoviSettings(bad, call == "store" ? qvs::QOVISETTINGS_TYPE_USER
                                                                  : qvs::QOVISETTINGSTYPE(0)));
        QVERIFY(!QFileInfo::exists(m_root));
    }

    void groupsKeptBetweenStores()
    {
        qvtl::RefCountedPtr<qvs::QoviSettingsGroup> group;
        bool value = true;
        {
            qvtl::RefCountedPtr<qvs::QoviSettings> store = openStore();
            QVERIFY(store && !store->OpenGroup("CloudConnect", group) && !group);
            QVERIFY(!store->OpenGroup("CloudConnect", group) && !group); // opening does not create
            QVERIFY(store->CreateGroup("CloudConnect", group) && !group->GetBool("CloudConnectVisible", value));
            QVERIFY(value && group->SetBool("CloudConnectVisible", false));
            QVERIFY(store->CreateGroup("CloudConnect", group)); // an existing group keeps its values
            QVERIFY(group->GetBool("CloudConnectVisible", value) && !value);
            QVERIFY(store->CreateGroup("Other", group) && group->SetBool("CloudConnectVisible", true));
        }
        qvtl::RefCountedPtr<qvs::QoviSettings> fresh = openStore();
        QVERIFY(fresh->OpenGroup("CloudConnect", group) && group->GetBool("CloudConnectVisible", value) && !value);
        QVERIFY(fresh->OpenGroup("Other", group) && group->GetBool("CloudConnectVisible", value) && value);
        QVERIFY(!openStore("Settings/other-component")->OpenGroup("CloudConnect", group));
    }

    void ownerOnlyPermissions_data()
    {
        const auto row = testtable::table<bool>("wider"); // files and folders there before, open to everybody
        row("new files", false);
        row("wider modes narrowed", true);
    }

    void ownerOnlyPermissions()
    {
        QFETCH(bool, wider);
        const QStringList folders{m_root, m_root + "/stores", m_root + "/stores/Settings"};
        const QStringList files{m_root + "/values.json", m_root + "/stores/Settings/test-component.json"};
        for (const QString& path : wider ? files + folders : QStringList())
            QVERIFY((!path.endsWith(".json") || writeFile(path, "{}")) && ::chmod(QFile::encodeName(path), 0777) == 0);
        QVERIFY(qvs::StoreBuffer(kSection, kName, "secret", 6));
        qvtl::RefCountedPtr<qvs::QoviSettingsGroup> group;
        QVERIFY(openStore()->CreateGroup("CloudConnect", group) && group->SetBool("CloudConnectVisible", true));
        for (const QString& path : folders + files) {
            struct stat info {};
            QVERIFY(::stat(QFile::encodeName(path).constData(), &info) == 0);
            QCOMPARE(int(info.st_mode & 07777), path.endsWith(".json") ? 0600 : 0700);
        }
        // No temporary file is left beside the values.
        QCOMPARE(QDir(m_root).entryList(QDir::Files), QStringList{"values.json"});
    }

    void damagedFilesReadAsNothing_data()
    {
        // The same content in the values and in the store; null: a folder in the files' place.
        const auto row = testtable::table<QByteArray>("content");
        row("not JSON", QByteArray("{\"Player\": {\"QoviCloud Dropbox\": "));
        row("empty file", QByteArray(""));
        row("array", QByteArray("[1, 2, 3]"));
        row("section not an object", QByteArray("{\"Player\": 5, \"CloudConnect\": 5}"));
        row("entry not an object",
            QByteArray("{\"Player\": {\"QoviCloud Dropbox\": \"AAAA\"}, \"CloudConnect\": {\"CloudConnectVisible\": \"yes\"}}"));
        row("bad base64", QByteArray("{\"Player\": {\"QoviCloud Dropbox\": {\"binary\": \"@@@\"}}}"));
        row("wrong value type",
            QByteArray("{\"Player\": {\"QoviCloud Dropbox\": {\"binary\": 12}}, \"CloudConnect\": {\"CloudConnectVisible\": 1}}"));
        row("folder in the file's place", QByteArray());
        row("named pipe in the file's place", kPipe); // opening it for reading would wait for a writer
    }

    void damagedFilesReadAsNothing()
    {
        QFETCH(QByteArray, content);
        const bool usable = !content.isNull() && content != kPipe;
        for (const QString& path : {m_root + "/values.json", m_root + "/stores/Settings/test-component.json"}) {
            if (content == kPipe)
                QVERIFY(QDir().mkpath(m_root + "/stores/Settings") && ::mkfifo(QFile::encodeName(path), 0600) == 0);
            else
                QVERIFY(content.isNull() ? QDir().mkpath(path) : writeFile(path, content));
        }
        if (!usable)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^QoviSettings: .*/values.json is not a regular "
                                                                  "file; refused$"));
        std::vector<unsigned char> data{9};
        qvtl::string read("untouched");
        QVERIFY(!qvs::FetchBuffer(kSection, kName, data) && data == std::vector<unsigned char>{9});
        QVERIFY(!qvs::FetchUTF8String(kSection, kName, read) && read.str() == "untouched");
        qvtl::RefCountedPtr<qvs::QoviSettings> store = openStore();
        qvtl::RefCountedPtr<qvs::QoviSettingsGroup> group;
        bool value = false;
        QVERIFY(!store->OpenGroup("CloudConnect", group) || !group->GetBool("CloudConnectVisible", value));
        // A damaged file does not stand in the way of new values; what is no file does.
        QCOMPARE(qvs::StoreBuffer(kSection, kName, "ok", 2) && qvs::FetchBuffer(kSection, kName, data), usable);
        QCOMPARE(store->CreateGroup("CloudConnect", group) && group->SetBool("CloudConnectVisible", true)
                     && group->GetBool("CloudConnectVisible", value) && value,
                 usable);
    }

    void failedWriteKeepsTheFile_data()
    {
        const auto row = testtable::table<bool>("sizeLimit"); // else: a read-only folder
        row("file system full (file size limit)", true);
        row("read-only folder", false);
    }

    void failedWriteKeepsTheFile()
    {
        QFETCH(bool, sizeLimit);
        if (!sizeLimit && ::geteuid() == 0)
            QSKIP("the superuser writes into read-only folders");
        QVERIFY(qvs::StoreBuffer(kSection, kName, "old", 3));
        const QByteArray before = readFile(m_root + "/values.json");
        const QByteArray large(8192, 'x'); // written out only when the buffer is flushed
        rlimit limit{};
        QVERIFY(::getrlimit(RLIMIT_FSIZE, &limit) == 0);
        const rlimit small{1024, limit.rlim_max};
        const auto previous = std::signal(SIGXFSZ, SIG_IGN);
        QVERIFY(sizeLimit ? ::setrlimit(RLIMIT_FSIZE, &small) == 0 : ::chmod(QFile::encodeName(m_root), 0500) == 0);
        const bool stored = qvs::StoreBuffer(kSection, "large", large.constData(), std::size_t(large.size()));
        QVERIFY(sizeLimit ? ::setrlimit(RLIMIT_FSIZE, &limit) == 0 : ::chmod(QFile::encodeName(m_root), 0700) == 0);
        std::signal(SIGXFSZ, previous);
        QVERIFY(!stored);
        QCOMPARE(readFile(m_root + "/values.json"), before);
        QCOMPARE(QDir(m_root).entryList(QDir::Files), QStringList{"values.json"});
    }

private:
    QString m_root;
};

QTEST_GUILESS_MAIN(SettingsTest)
#include "tst_qovisettings.moc"
