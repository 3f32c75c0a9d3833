// qovi-cloud end to end: signed in through the web window against the
// stand-in, then a 100 MB upload whose bytes the stand-in checks.
#include "fakecloud.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

class QoviCloudTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void signInThenUpload();
    void missingFileIsRefusedBeforeAnythingIsSent();
    void notSignedIn();

private:
    int run(const QStringList& arguments, QByteArray* output = nullptr, int timeoutMs = 120000);

    FakeCloud m_cloud;
    QTemporaryDir m_home; // the tool's own settings, cookies and cache
};

void QoviCloudTest::initTestCase()
{
    QVERIFY(m_cloud.start());
}

int QoviCloudTest::run(const QStringList& arguments, QByteArray* output, int timeoutMs)
{
    QProcess tool;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("HOME", m_home.path());
    environment.insert("XDG_CONFIG_HOME", m_home.filePath("config"));
    environment.insert("XDG_CACHE_HOME", m_home.filePath("cache"));
    environment.insert("XDG_DATA_HOME", m_home.filePath("data"));
    tool.setProcessEnvironment(environment);
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start(QOVI_CLOUD, QStringList{"--proxy", QStringLiteral("127.0.0.1:%1").arg(m_cloud.port()), "--ca-cert",
                                       FAKECLOUD_DIR "/ca.pem"} + arguments);
    if (!tool.waitForFinished(timeoutMs)) {
        tool.kill();
        tool.waitForFinished();
        return -1;
    }
    if (output)
        *output = tool.readAll();
    return tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1;
}

void QoviCloudTest::signInThenUpload()
{
    m_cloud.reset();
    m_cloud.control("POST", "/auto", {{"enabled", true}, {"delay_ms", 50}});
    QByteArray output;
    QCOMPARE(run({"connect"}, &output), 0);
    QVERIFY2(output.contains("Dropbox: connected as alice@example.com"), output.constData());
    QCOMPARE(run({"status"}, &output), 0);
    QVERIFY2(output.contains("Dropbox: connected as alice@example.com"), output.constData());
    QCOMPARE(run({"space"}, &output), 0);
    QVERIFY2(output.contains(" bytes free"), output.constData());

    QTemporaryDir files;
    QFile movie(files.filePath("film.mkv"));
    QVERIFY(movie.open(QIODevice::WriteOnly));
    QCryptographicHash sha(QCryptographicHash::Sha256);
    for (int block = 0; block < 100; ++block) {
        const QByteArray bytes = QByteArray(1000000, char('a' + block % 26)) + QByteArray::number(block);
        movie.write(bytes.left(1000000));
        sha.addData(bytes.left(1000000));
    }
    movie.close();
    QCOMPARE(run({"upload", movie.fileName(), "--to", "/Videos"}, &output), 0);
    QVERIFY2(output.contains("uploaded: " + movie.fileName().toUtf8() + " -> /Videos"), output.constData());
    QVERIFY(output.contains("film.mkv 100%"));

    const QJsonArray listed = m_cloud.control("GET", "/files?service=dropbox&email=alice@example.com").value("files").toArray();
    bool found = false;
    for (const QJsonValue& file : listed) {
        if (file.toObject().value("path").toString() == "/Videos/film.mkv") {
            found = true;
            QCOMPARE(file.toObject().value("size").toDouble(), 100000000.0);
            QCOMPARE(file.toObject().value("sha256").toString().toLatin1(), sha.result().toHex());
        }
    }
    QVERIFY(found);
}

void QoviCloudTest::missingFileIsRefusedBeforeAnythingIsSent()
{
    QTemporaryDir files;
    QFile real(files.filePath("real.mp4"));
    QVERIFY(real.open(QIODevice::WriteOnly));
    real.write("x");
    real.close();
    m_cloud.control("DELETE", "/record");
    QByteArray output;
    QCOMPARE(run({"upload", real.fileName(), files.filePath("gone.mp4"), "--to", "/Videos"}, &output), 2);
    QVERIFY2(output.contains("cannot upload " + files.filePath("gone.mp4").toUtf8() + ": no such file"), output.constData());
    QVERIFY(m_cloud.requests().isEmpty());
    QCOMPARE(run({"upload", real.fileName()}, &output), 2);
    QVERIFY(output.contains("usage: qovi-cloud upload FILE... --to FOLDER"));
}

void QoviCloudTest::notSignedIn()
{
    QTemporaryDir elsewhere;
    QFile file(elsewhere.filePath("a.mov"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    const QString home = m_home.path();
    QVERIFY(QDir(home).removeRecursively());
    QVERIFY(QDir().mkpath(home));
    QByteArray output;
    QCOMPARE(run({"upload", file.fileName(), "--to", "/Videos"}, &output), 3);
    QVERIFY2(output.contains("Dropbox is not connected"), output.constData());
    QCOMPARE(run({"status"}, &output), 0);
    QVERIFY(output.contains("Dropbox: not connected"));
}

QTEST_GUILESS_MAIN(QoviCloudTest)
#include "tst_qovicloud.moc"
