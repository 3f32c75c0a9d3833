#include "qovisettings.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

#include <vector>

namespace {

const char* const kSection = "Player";

qvtl::string bytes(const QByteArray& data)
{
    return qvtl::string(data.constData(), static_cast<std::size_t>(data.size()));
}

QByteArray toBytes(const qvtl::string& text)
{
    return QByteArray(text.data(), static_cast<int>(text.size()));
}

QByteArray toBytes(const std::vector<unsigned char>& data)
{
    return QByteArray(reinterpret_cast<const char*>(data.data()), static_cast<int>(data.size()));
}

int modeOf(const QString& path)
{
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return static_cast<int>(info.st_mode & 07777);
}

bool writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

qvtl::RefCountedPtr<qvs::QoviSettings> openStore()
{
    return qvs::CreateQoviSettings("Settings/test-component", qvs::QOVISETTINGS_TYPE_USER);
}

} // namespace

class SettingsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void stringRoundTrip_data();
    void stringRoundTrip();
    void bufferRoundTrip_data();
    void bufferRoundTrip();
    void missingIsNotEmpty();
    void sectionsAndKindsKeptApart();
    void replaceAndDelete();
    void invalidUtf8IsRefused();

    void groupsPersistAcrossStores();
    void openGroupDoesNotCreate();
    void storePathsRefused_data();
    void storePathsRefused();

    void ownerOnlyPermissions();
    void widerModesNarrowed();
    void damagedValuesReadAsNothing_data();
    void damagedValuesReadAsNothing();
    void damagedStoreReadsAsNothing();
    void unreadableFileReadsAsNothing();

private:
    QString root() const { return m_config + QStringLiteral("/QoviSettings"); }
    QString valuesPath() const { return root() + QStringLiteral("/values.json"); }
    QString storePath() const { return root() + QStringLiteral("/stores/Settings/test-component.json"); }

    QTemporaryDir m_home;
    QString m_config;
};

void SettingsTest::initTestCase()
{
    // A home of our own keeps parallel test programs off each other's files.
    QVERIFY(m_home.isValid());
    qputenv("HOME", QFile::encodeName(m_home.path()));
    QStandardPaths::setTestModeEnabled(true);
    m_config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    QVERIFY(m_config.startsWith(m_home.path()));
}

void SettingsTest::init()
{
    QDir(root()).removeRecursively();
}

void SettingsTest::cleanupTestCase()
{
    QDir(root()).removeRecursively();
}

void SettingsTest::stringRoundTrip_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::newRow("ascii") << QByteArray("user@example.com");
    QTest::newRow("multi-byte") << QByteArray("Gr\xC3\xBC\xC3\x9F" "e \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x8E\xAC");
    QTest::newRow("embedded NUL") << QByteArray("before\0after", 12);
    QTest::newRow("quotes and escapes") << QByteArray("{\"a\":\"\\n\"}\t\r\n");
    QTest::newRow("empty") << QByteArray();
}

void SettingsTest::stringRoundTrip()
{
    QFETCH(QByteArray, value);
    QVERIFY(qvs::StoreUTF8String(kSection, "dbEmail", bytes(value)));
    qvtl::string read("untouched");
    QVERIFY(qvs::FetchUTF8String(kSection, "dbEmail", read));
    QCOMPARE(toBytes(read), value);
}

void SettingsTest::bufferRoundTrip_data()
{
    QTest::addColumn<QByteArray>("value");
    QByteArray everyByte;
    for (int i = 0; i < 256; ++i)
        everyByte.append(static_cast<char>(i));
    QTest::newRow("every byte value") << everyByte;
    QTest::newRow("single NUL") << QByteArray(1, '\0');
    QTest::newRow("high bytes") << QByteArray(16, '\xFF');
    QTest::newRow("invalid UTF-8") << QByteArray("\xC3\x28\xA0\xA1\xF0\x28\x8C\xBC", 8);
    QTest::newRow("empty") << QByteArray();
}

void SettingsTest::bufferRoundTrip()
{
    QFETCH(QByteArray, value);
    QVERIFY(qvs::StoreBuffer(kSection, "QoviCloud Dropbox", value.constData(), static_cast<std::size_t>(value.size())));
    std::vector<unsigned char> read{1, 2, 3};
    QVERIFY(qvs::FetchBuffer(kSection, "QoviCloud Dropbox", read));
    QCOMPARE(toBytes(read), value);
}

void SettingsTest::missingIsNotEmpty()
{
    qvtl::string text("untouched");
    QVERIFY(!qvs::FetchUTF8String(kSection, "gdEmail", text));
    QCOMPARE(text.str(), std::string("untouched"));
    std::vector<unsigned char> data{7};
    QVERIFY(!qvs::FetchBuffer(kSection, "QoviCloud Google Drive", data));
    QCOMPARE(data, std::vector<unsigned char>{7});

    QVERIFY(qvs::StoreUTF8String(kSection, "gdEmail", ""));
    QVERIFY(qvs::StoreBuffer(kSection, "QoviCloud Google Drive", nullptr, 0));
    QVERIFY(qvs::FetchUTF8String(kSection, "gdEmail", text));
    QVERIFY(text.empty());
    QVERIFY(qvs::FetchBuffer(kSection, "QoviCloud Google Drive", data));
    QVERIFY(data.empty());
}

void SettingsTest::sectionsAndKindsKeptApart()
{
    QVERIFY(qvs::StoreUTF8String("Player", "key", "text"));
    QVERIFY(qvs::StoreBuffer("Other", "key", "\x01\x02", 2));

    qvtl::string text;
    std::vector<unsigned char> data;
    QVERIFY(!qvs::FetchUTF8String("Other", "key", text));
    QVERIFY(!qvs::FetchBuffer("Player", "key", data));
    QVERIFY(qvs::FetchUTF8String("Player", "key", text));
    QCOMPARE(text.str(), std::string("text"));
    QVERIFY(qvs::FetchBuffer("Other", "key", data));
    QCOMPARE(toBytes(data), QByteArray("\x01\x02"));

    // Storing the other kind under a name replaces the value.
    QVERIFY(qvs::StoreBuffer("Player", "key", "\x03", 1));
    QVERIFY(!qvs::FetchUTF8String("Player", "key", text));
    QVERIFY(qvs::FetchBuffer("Player", "key", data));
    QCOMPARE(toBytes(data), QByteArray("\x03"));
}

void SettingsTest::replaceAndDelete()
{
    QVERIFY(qvs::StoreUTF8String(kSection, "dbEmail", "first@example.com"));
    QVERIFY(qvs::StoreUTF8String(kSection, "dbEmail", "second@example.com"));
    QVERIFY(qvs::StoreUTF8String(kSection, "gdEmail", "kept@example.com"));
    qvtl::string text;
    QVERIFY(qvs::FetchUTF8String(kSection, "dbEmail", text));
    QCOMPARE(text.str(), std::string("second@example.com"));

    QVERIFY(qvs::DeleteSetting(kSection, "dbEmail"));
    QVERIFY(!qvs::FetchUTF8String(kSection, "dbEmail", text));
    QVERIFY(qvs::FetchUTF8String(kSection, "gdEmail", text));
    QCOMPARE(text.str(), std::string("kept@example.com"));
    // Deleting what is not there leaves it not there.
    QVERIFY(qvs::DeleteSetting(kSection, "dbEmail"));
    QVERIFY(qvs::DeleteSetting("No such section", "dbEmail"));
}

void SettingsTest::invalidUtf8IsRefused()
{
    QVERIFY(!qvs::StoreUTF8String(kSection, "dbEmail", qvtl::string("\xFF\xFE", 2)));
    QVERIFY(!qvs::StoreBuffer(qvtl::string("\xC3", 1), "name", "x", 1));
    qvtl::string text;
    QVERIFY(!qvs::FetchUTF8String(kSection, "dbEmail", text));
    QVERIFY(!QFile::exists(valuesPath()));
}

void SettingsTest::groupsPersistAcrossStores()
{
    {
        qvtl::RefCountedPtr<qvs::QoviSettings> store = openStore();
        QVERIFY(store);
        qvtl::RefCountedPtr<qvs::QoviSettingsGroup> group;
        QVERIFY(store->CreateGroup("CloudConnect", group));
        QVERIFY(group);
        bool value = true;
        QVERIFY(!group->GetBool("CloudConnectVisible", value));
        QVERIFY(value);
        QVERIFY(group->SetBool("CloudConnectVisible", false));
        QVERIFY(store->CreateGroup("Other", group));
        QVERIFY(group->SetBool("CloudConnectVisible", true));
    }

    qvtl::RefCountedPtr<qvs::QoviSettings> fresh = openStore();
    QVERIFY(fresh);
    QCOMPARE(fresh->holdCount(), 1);
    qvtl::RefCountedPtr<qvs::QoviSettingsGroup> group;
    QVERIFY(fresh->OpenGroup("CloudConnect", group));
    bool value = true;
    QVERIFY(group->GetBool("CloudConnectVisible", value));
    QVERIFY(!value);
    QVERIFY(fresh->OpenGroup("Other", group));
    QVERIFY(group->GetBool("CloudConnectVisible", value));
    QVERIFY(value);

    // Another store path is another store.
    qvtl::RefCountedPtr<qvs::QoviSettings> other =
        qvs::CreateQoviSettings("Settings/other-component", qvs::QOVISETTINGS_TYPE_USER);
    QVERIFY(other);
    QVERIFY(!other->OpenGroup("CloudConnect", group));
}

void SettingsTest::openGroupDoesNotCreate()
{
    qvtl::RefCountedPtr<qvs::QoviSettings> store = openStore();
    QVERIFY(store);
    qvtl::RefCountedPtr<qvs::QoviSettingsGroup> group;
    QVERIFY(!store->OpenGroup("CloudConnect", group));
    QVERIFY(!group);
    QVERIFY(!store->OpenGroup("CloudConnect", group));
    QVERIFY(store->CreateGroup("CloudConnect", group));
    // An existing group is opened as it is, its values kept.
    QVERIFY(group->SetBool("CloudConnectVisible", true));
    QVERIFY(store->CreateGroup("CloudConnect", group));
    bool value = false;
    QVERIFY(group->GetBool("CloudConnectVisible", value));
    QVERIFY(value);
}

void SettingsTest::storePathsRefused_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<int>("type");
    QTest::newRow("empty") << QByteArray() << int(qvs::QOVISETTINGS_TYPE_USER);
    QTest::newRow("no component id") << QByteArray("Settings/") << int(qvs::QOVISETTINGS_TYPE_USER);
    QTest::newRow("absolute") << QByteArray("/tmp/x") << int(qvs::QOVISETTINGS_TYPE_USER);
    QTest::newRow("climbs out") << QByteArray("Settings/../../x") << int(qvs::QOVISETTINGS_TYPE_USER);
    QTest::newRow("empty part") << QByteArray("Settings//x") << int(qvs::QOVISETTINGS_TYPE_USER);
    QTest::newRow("not UTF-8") << QByteArray("Settings/\xFF") << int(qvs::QOVISETTINGS_TYPE_USER);
    QTest::newRow("other type") << QByteArray("Settings/x") << 0;
}

void SettingsTest::storePathsRefused()
{
    QFETCH(QByteArray, path);
    QFETCH(int, type);
    QVERIFY(!qvs::CreateQoviSettings(bytes(path), static_cast<qvs::QOVISETTINGSTYPE>(type)));
}

void SettingsTest::ownerOnlyPermissions()
{
    QVERIFY(qvs::StoreBuffer(kSection, "QoviCloud Dropbox", "secret", 6));
    qvtl::RefCountedPtr<qvs::QoviSettings> store = openStore();
    qvtl::RefCountedPtr<qvs::QoviSettingsGroup> group;
    QVERIFY(store->CreateGroup("CloudConnect", group));

    QCOMPARE(modeOf(root()), 0700);
    QCOMPARE(modeOf(root() + QStringLiteral("/stores")), 0700);
    QCOMPARE(modeOf(root() + QStringLiteral("/stores/Settings")), 0700);
    QCOMPARE(modeOf(valuesPath()), 0600);
    QCOMPARE(modeOf(storePath()), 0600);
    // No temporary file is left beside the values.
    QCOMPARE(QDir(root()).entryList(QDir::Files), QStringList{QStringLiteral("values.json")});
}

void SettingsTest::widerModesNarrowed()
{
    QVERIFY(writeFile(valuesPath(), "{}"));
    QVERIFY(::chmod(QFile::encodeName(root()).constData(), 0755) == 0);
    QVERIFY(::chmod(QFile::encodeName(valuesPath()).constData(), 0644) == 0);

    QVERIFY(qvs::StoreUTF8String(kSection, "dbEmail", "user@example.com"));
    QCOMPARE(modeOf(root()), 0700);
    QCOMPARE(modeOf(valuesPath()), 0600);
}

void SettingsTest::damagedValuesReadAsNothing_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("not JSON") << QByteArray("{\"Player\": {\"QoviCloud Dropbox\": ");
    QTest::newRow("empty file") << QByteArray();
    QTest::newRow("binary noise") << QByteArray("\x00\xFF\x10\x80", 4);
    QTest::newRow("array") << QByteArray("[1, 2, 3]");
    QTest::newRow("section not an object") << QByteArray("{\"Player\": 5}");
    QTest::newRow("entry not an object") << QByteArray("{\"Player\": {\"QoviCloud Dropbox\": \"AAAA\"}}");
    QTest::newRow("bad base64") << QByteArray("{\"Player\": {\"QoviCloud Dropbox\": {\"binary\": \"@@@\"}}}");
    QTest::newRow("wrong value type") << QByteArray("{\"Player\": {\"QoviCloud Dropbox\": {\"binary\": 12}}}");
}

void SettingsTest::damagedValuesReadAsNothing()
{
    QFETCH(QByteArray, content);
    QVERIFY(writeFile(valuesPath(), content));

    std::vector<unsigned char> data{9};
    QVERIFY(!qvs::FetchBuffer(kSection, "QoviCloud Dropbox", data));
    QCOMPARE(data, std::vector<unsigned char>{9});
    qvtl::string text("untouched");
    QVERIFY(!qvs::FetchUTF8String(kSection, "QoviCloud Dropbox", text));
    QCOMPARE(text.str(), std::string("untouched"));

    // A damaged file does not stand in the way of new values.
    QVERIFY(qvs::StoreBuffer(kSection, "QoviCloud Dropbox", "ok", 2));
    QVERIFY(qvs::FetchBuffer(kSection, "QoviCloud Dropbox", data));
    QCOMPARE(toBytes(data), QByteArray("ok"));
}

void SettingsTest::damagedStoreReadsAsNothing()
{
    QVERIFY(writeFile(storePath(), "{\"CloudConnect\": {\"CloudConnectVisible\": \"yes\"}, \"Broken\": 1}"));
    qvtl::RefCountedPtr<qvs::QoviSettings> store = openStore();
    QVERIFY(store);
    qvtl::RefCountedPtr<qvs::QoviSettingsGroup> group;
    QVERIFY(!store->OpenGroup("Broken", group));
    QVERIFY(store->OpenGroup("CloudConnect", group));
    bool value = false;
    QVERIFY(!group->GetBool("CloudConnectVisible", value));

    QVERIFY(writeFile(storePath(), "garbage"));
    QVERIFY(!group->GetBool("CloudConnectVisible", value));
    QVERIFY(!store->OpenGroup("CloudConnect", group));
    QVERIFY(store->CreateGroup("CloudConnect", group));
    QVERIFY(group->SetBool("CloudConnectVisible", true));
    QVERIFY(group->GetBool("CloudConnectVisible", value));
    QVERIFY(value);
}

void SettingsTest::unreadableFileReadsAsNothing()
{
    // A folder where the file should be cannot be read, even by root.
    QVERIFY(QDir().mkpath(valuesPath()));
    QVERIFY(QDir().mkpath(storePath()));

    std::vector<unsigned char> data;
    QVERIFY(!qvs::FetchBuffer(kSection, "QoviCloud Dropbox", data));
    qvtl::string text;
    QVERIFY(!qvs::FetchUTF8String(kSection, "dbEmail", text));
    QVERIFY(!qvs::StoreBuffer(kSection, "QoviCloud Dropbox", "x", 1));

    qvtl::RefCountedPtr<qvs::QoviSettings> store = openStore();
    QVERIFY(store);
    qvtl::RefCountedPtr<qvs::QoviSettingsGroup> group;
    QVERIFY(!store->OpenGroup("CloudConnect", group));
    QVERIFY(!store->CreateGroup("CloudConnect", group));
}

QTEST_GUILESS_MAIN(SettingsTest)
#include "tst_qovisettings.moc"
