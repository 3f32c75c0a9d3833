// The credentials table: which application and service get which value.
#include "cloudcredential.h"

#include <QTest>

class CloudCredentialTest : public QObject
{
    Q_OBJECT
private slots:
    void table_data();
    void table();
    void dropboxKeyIgnoresTheKind();
};

void CloudCredentialTest::table_data()
{
    QTest::addColumn<QString>("application");
    QTest::addColumn<int>("cloud");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("length"); // 0: the empty text
    QTest::addColumn<QString>("suffix");
    for (const char* application : {"Player", "Converter"}) {
        const QByteArray name(application);
        QTest::newRow(name + ", Dropbox key") << QString(name) << 0 << -1 << 15 << "";
        QTest::newRow(name + ", Google client id") << QString(name) << 1 << -1 << 72 << ".apps.googleusercontent.com";
        QTest::newRow(name + ", Google secret") << QString(name) << 1 << 0 << 24 << "";
        QTest::newRow(name + ", Google other kind") << QString(name) << 1 << 5 << 0 << "";
        QTest::newRow(name + ", unknown cloud") << QString(name) << 2 << -1 << 0 << "";
        QTest::newRow(name + ", negative cloud") << QString(name) << -1 << 0 << 0 << "";
    }
    QTest::newRow("letter case") << QStringLiteral("player") << 0 << -1 << 0 << "";
    QTest::newRow("other application") << QStringLiteral("Recorder") << 1 << -1 << 0 << "";
    QTest::newRow("empty application") << QString() << 0 << -1 << 0 << "";
}

void CloudCredentialTest::table()
{
    QFETCH(QString, application);
    QFETCH(int, cloud);
    QFETCH(int, kind);
    QFETCH(int, length);
    QFETCH(QString, suffix);
    const std::string value = cloudCredential(application.toStdString(), CLOUD_TYPE(cloud), kind);
    QCOMPARE(int(value.size()), length);
    QVERIFY(QString::fromStdString(value).endsWith(suffix));
    // Printable text, so a scrambling fault cannot pass for a value.
    for (char c : value)
        QVERIFY2(c > 0x20 && c < 0x7f, value.c_str());
}

void CloudCredentialTest::dropboxKeyIgnoresTheKind()
{
    const std::string key = cloudCredential("Player", DROPBOX_CLOUD, -1);
    QCOMPARE(cloudCredential("Player", DROPBOX_CLOUD, 0), key);
    QCOMPARE(cloudCredential("Player", DROPBOX_CLOUD, 7), key);
    QVERIFY(cloudCredential("Converter", DROPBOX_CLOUD, -1) != key);
    QVERIFY(cloudCredential("Player", GDRIVE_CLOUD, -1) != cloudCredential("Converter", GDRIVE_CLOUD, -1));
}

QTEST_GUILESS_MAIN(CloudCredentialTest)
#include "tst_cloudcredential.moc"
