#include "qovisettings.h"
#include "tokenstorage.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <openssl/evp.h>

#include <memory>
#include <thread>
#include <vector>

Q_DECLARE_METATYPE(std::string)

namespace {

const std::string kSection = "Player";

std::string pattern(int length)
{
    std::string text;
    for (int i = 0; i < length; ++i)
        text.push_back(static_cast<char>((i * 37 + 11) % 256));
    return text;
}

// The raw bytes of a setting, as the settings store keeps them.
bool storedBytes(const std::string& name, std::string& bytes)
{
    std::vector<unsigned char> data;
    if (!qvs::FetchBuffer(kSection, name, data))
        return false;
    bytes.assign(data.cbegin(), data.cend());
    return true;
}

bool storeBytes(const std::string& name, const std::string& bytes)
{
    return qvs::StoreBuffer(kSection, name, bytes.data(), bytes.size());
}

// An independent AES-128-CBC encryption: the openssl command with the same
// key and an all-zero vector.
bool opensslEncrypt(const TokenStorage::Key& key, const std::string& plainText, std::string& cipherText)
{
    const QByteArray hexKey = QByteArray(reinterpret_cast<const char*>(key.data()), int(key.size())).toHex();
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("enc"), QStringLiteral("-aes-128-cbc"), QStringLiteral("-K"),
                   QString::fromLatin1(hexKey), QStringLiteral("-iv"), QString(32, QLatin1Char('0'))});
    if (!openssl.waitForStarted(30000))
        return false;
    openssl.write(plainText.data(), qint64(plainText.size()));
    openssl.closeWriteChannel();
    if (!openssl.waitForFinished(30000) || openssl.exitStatus() != QProcess::NormalExit || openssl.exitCode() != 0)
        return false;
    const QByteArray output = openssl.readAllStandardOutput();
    cipherText.assign(output.constData(), std::size_t(output.size()));
    return true;
}

// One block that is valid cipher text for its length but decrypts to a
// final byte of zero, which is no PKCS #7 padding.
std::string badlyPaddedBlock(const TokenStorage::Key& key)
{
    const unsigned char plain[16] = {'n', 'o', 't', ' ', 'p', 'a', 'd', 'd', 'e', 'd', '!', '!', '!', '!', '!', 0};
    const unsigned char zeroVector[16] = {};
    unsigned char out[32] = {};
    int written = 0;
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    if (!context || EVP_EncryptInit_ex(context.get(), EVP_aes_128_cbc(), nullptr, key.data(), zeroVector) != 1
        || EVP_CIPHER_CTX_set_padding(context.get(), 0) != 1
        || EVP_EncryptUpdate(context.get(), out, &written, plain, sizeof plain) != 1 || written != 16)
        return {};
    return std::string(reinterpret_cast<const char*>(out), 16);
}

} // namespace

class TokenStorageTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void keyAgreesAcrossThreads();
    void saveThenRead_data();
    void saveThenRead();
    void readMissingLeavesText();
    void cipherMatchesOpenssl_data();
    void cipherMatchesOpenssl();
    void sameTextSameBytes();
    void settingNames_data();
    void settingNames();
    void kindsKeptApart();
    void sectionsKeptApart();
    void removeStored();
    void removeMissingDeletesNothing();
    void undecryptableReadsEmpty_data();
    void undecryptableReadsEmpty();

private:
    QString root() const
    {
        return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/QoviSettings");
    }

    QTemporaryDir m_home;
    TokenStorage m_storage;
};

void TokenStorageTest::initTestCase()
{
    // A home of our own keeps parallel test programs off each other's files.
    QVERIFY(m_home.isValid());
    qputenv("HOME", QFile::encodeName(m_home.path()));
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(root().startsWith(m_home.path()));
}

void TokenStorageTest::init()
{
    QDir(root()).removeRecursively();
}

void TokenStorageTest::cleanupTestCase()
{
    QDir(root()).removeRecursively();
}

void TokenStorageTest::keyAgreesAcrossThreads()
{
    // First use of the key seed happens here, from several threads at once.
    std::vector<TokenStorage::Key> keys(6);
    std::vector<std::thread> threads;
    for (TokenStorage::Key& key : keys)
        threads.emplace_back([&key] { key = TokenStorage().createKey(); });
    for (std::thread& thread : threads)
        thread.join();
    for (const TokenStorage::Key& key : keys)
        QVERIFY(key == keys.front());
    QVERIFY(keys.front() != TokenStorage::Key{});
}

void TokenStorageTest::saveThenRead_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<std::string>("token");
    QTest::newRow("empty") << int(DROPBOX_CLOUD) << std::string();
    QTest::newRow("dropbox record") << int(DROPBOX_CLOUD)
                                    << std::string("{\n    \"access_token\": \"sl.AbC-123_xyz\",\n"
                                                   "    \"account_id\": \"dbid:AAH4f99T0taONIb\"\n}\n");
    QTest::newRow("google record") << int(GDRIVE_CLOUD)
                                   << std::string("{\"access_token\":\"ya29.a0Af\",\"expires_in\":3599,"
                                                  "\"received_time\":1700000000123,\"refresh_token\":\"1//0g\"}");
    QTest::newRow("NUL and high bytes") << int(GDRIVE_CLOUD) << std::string("a\0b\xFF\x80\xC3\xA9", 7);
    QTest::newRow("one block exactly") << int(DROPBOX_CLOUD) << pattern(16);
    QTest::newRow("long") << 5 << pattern(5000);
}

void TokenStorageTest::saveThenRead()
{
    QFETCH(int, kind);
    QFETCH(std::string, token);
    QVERIFY(m_storage.saveToken(kSection, CLOUD_TYPE(kind), token));
    std::string read("untouched");
    QVERIFY(m_storage.readToken(kSection, CLOUD_TYPE(kind), read));
    QCOMPARE(read, token);
    // Stored encrypted, not as the text itself.
    std::string stored;
    QVERIFY(storedBytes(m_storage.settingName(CLOUD_TYPE(kind)), stored));
    QVERIFY(stored.find("access_token") == std::string::npos);
}

void TokenStorageTest::readMissingLeavesText()
{
    std::string read("untouched");
    QVERIFY(!m_storage.readToken(kSection, DROPBOX_CLOUD, read));
    QCOMPARE(read, std::string("untouched"));
}

void TokenStorageTest::cipherMatchesOpenssl_data()
{
    QTest::addColumn<int>("length");
    for (int length : {0, 1, 15, 16, 17, 31, 32, 33, 1000})
        QTest::addRow("%d bytes", length) << length;
}

void TokenStorageTest::cipherMatchesOpenssl()
{
    QFETCH(int, length);
    if (QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty())
        QSKIP("no openssl command to compare with");
    const std::string text = pattern(length);
    QVERIFY(m_storage.saveToken(kSection, GDRIVE_CLOUD, text));
    std::string stored;
    QVERIFY(storedBytes("QoviCloud Google Drive", stored));
    QCOMPARE(stored.size(), std::size_t(16 * (length / 16 + 1)));

    std::string expected;
    QVERIFY(opensslEncrypt(m_storage.createKey(), text, expected));
    QVERIFY(stored == expected);
    QVERIFY(m_storage.decrypt(expected) == text);
}

void TokenStorageTest::sameTextSameBytes()
{
    const std::string token("{\"access_token\":\"same\"}");
    std::string first;
    std::string second;
    QVERIFY(m_storage.saveToken(kSection, DROPBOX_CLOUD, token));
    QVERIFY(storedBytes("QoviCloud Dropbox", first));
    QVERIFY(m_storage.saveToken(kSection, DROPBOX_CLOUD, "{\"access_token\":\"other\"}"));
    QVERIFY(m_storage.saveToken(kSection, DROPBOX_CLOUD, token));
    QVERIFY(storedBytes("QoviCloud Dropbox", second));
    QCOMPARE(first.size(), std::size_t(32));
    QVERIFY(first == second);
    QVERIFY(m_storage.encrypt(token) == first);
}

void TokenStorageTest::settingNames_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<std::string>("name");
    QTest::newRow("dropbox") << 0 << std::string("QoviCloud Dropbox");
    QTest::newRow("google drive") << 1 << std::string("QoviCloud Google Drive");
    QTest::newRow("two") << 2 << std::string("Unknown Cloud");
    QTest::newRow("negative") << -1 << std::string("Unknown Cloud");
    QTest::newRow("large") << 1000000 << std::string("Unknown Cloud");
}

void TokenStorageTest::settingNames()
{
    QFETCH(int, kind);
    QFETCH(std::string, name);
    QCOMPARE(m_storage.settingName(CLOUD_TYPE(kind)), name);
}

void TokenStorageTest::kindsKeptApart()
{
    QVERIFY(m_storage.saveToken(kSection, DROPBOX_CLOUD, "dropbox"));
    QVERIFY(m_storage.saveToken(kSection, GDRIVE_CLOUD, "google"));
    QVERIFY(m_storage.saveToken(kSection, CLOUD_TYPE(2), "other"));
    QVERIFY(m_storage.saveToken(kSection, CLOUD_TYPE(-7), "replaced"));

    std::string read;
    QVERIFY(m_storage.readToken(kSection, DROPBOX_CLOUD, read));
    QCOMPARE(read, std::string("dropbox"));
    QVERIFY(m_storage.readToken(kSection, GDRIVE_CLOUD, read));
    QCOMPARE(read, std::string("google"));
    QVERIFY(m_storage.readToken(kSection, CLOUD_TYPE(42), read));
    QCOMPARE(read, std::string("replaced"));
    std::string stored;
    QVERIFY(storedBytes("Unknown Cloud", stored));
    QVERIFY(m_storage.decrypt(stored) == "replaced");

    QVERIFY(m_storage.removeToken(kSection, GDRIVE_CLOUD));
    QVERIFY(m_storage.readToken(kSection, DROPBOX_CLOUD, read));
    QCOMPARE(read, std::string("dropbox"));
}

void TokenStorageTest::sectionsKeptApart()
{
    QVERIFY(m_storage.saveToken("Player", DROPBOX_CLOUD, "player"));
    QVERIFY(m_storage.saveToken("Other", DROPBOX_CLOUD, "other"));
    std::string read;
    QVERIFY(m_storage.readToken("Player", DROPBOX_CLOUD, read));
    QCOMPARE(read, std::string("player"));
    QVERIFY(m_storage.removeToken("Other", DROPBOX_CLOUD));
    QVERIFY(!m_storage.readToken("Other", DROPBOX_CLOUD, read));
    QVERIFY(m_storage.readToken("Player", DROPBOX_CLOUD, read));
}

void TokenStorageTest::removeStored()
{
    QVERIFY(m_storage.saveToken(kSection, DROPBOX_CLOUD, "token"));
    QVERIFY(m_storage.removeToken(kSection, DROPBOX_CLOUD));
    std::string read("untouched");
    QVERIFY(!m_storage.readToken(kSection, DROPBOX_CLOUD, read));
    QCOMPARE(read, std::string("untouched"));
    QVERIFY(!m_storage.removeToken(kSection, DROPBOX_CLOUD));
}

void TokenStorageTest::removeMissingDeletesNothing()
{
    // A text value under the record's name is no record; a delete call would
    // remove it all the same.
    QVERIFY(qvs::StoreUTF8String(kSection, "QoviCloud Dropbox", "not a record"));
    QVERIFY(!m_storage.removeToken(kSection, DROPBOX_CLOUD));
    qvtl::string text;
    QVERIFY(qvs::FetchUTF8String(kSection, "QoviCloud Dropbox", text));
    QCOMPARE(text.str(), std::string("not a record"));
}

void TokenStorageTest::undecryptableReadsEmpty_data()
{
    QTest::addColumn<std::string>("bytes");
    QTest::addColumn<bool>("badPadding");
    QTest::newRow("empty value") << std::string() << false;
    QTest::newRow("shorter than a block") << std::string("\x01\x02\x03\x04\x05") << false;
    QTest::newRow("not whole blocks") << pattern(17) << false;
    QTest::newRow("bad padding") << std::string() << true;
}

void TokenStorageTest::undecryptableReadsEmpty()
{
    QFETCH(std::string, bytes);
    QFETCH(bool, badPadding);
    if (badPadding) {
        bytes = badlyPaddedBlock(m_storage.createKey());
        QCOMPARE(bytes.size(), std::size_t(16));
    }
    QVERIFY(storeBytes("QoviCloud Dropbox", bytes));
    std::string read("untouched");
    QVERIFY(m_storage.readToken(kSection, DROPBOX_CLOUD, read));
    QCOMPARE(read, std::string());
    QVERIFY(m_storage.decrypt(bytes).empty());
}

QTEST_GUILESS_MAIN(TokenStorageTest)
#include "tst_tokenstorage.moc"
