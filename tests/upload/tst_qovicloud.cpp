// qovi-cloud end to end against the stand-in: signed in through the web
// window, a 100 MB upload whose bytes the stand-in checks, exit statuses and
// their messages, and signals that end any wait at once.
#include "fakecloud.h"
#include "testbrowser.h"
#include "teststate.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonDocument>
#include <QProcess>
#include <QUrlQuery>
#include <QTemporaryDir>

#include <csignal>

using namespace teststate;

class QoviCloudTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void signInThenUpload();
    void exitStatuses_data();
    void exitStatuses();
    void signalsEndAnyWait_data();
    void signalsEndAnyWait();
    void todaysRules_data();
    void todaysRules();

private:
    void start(QProcess& tool, const QStringList& arguments);
    int run(const QStringList& arguments, QByteArray* out = nullptr, QByteArray* err = nullptr);
    // `connect`, with a browser that follows the address the tool prints.
    int connectInBrowser(const QStringList& arguments, QByteArray* out);

    FakeCloud m_cloud;
    FakeCloud m_live; // today's rules
    FakeCloud* m_target = &m_cloud;
    QTemporaryDir m_home; // the tool's own settings, cookies and cache
    QTemporaryDir m_files;
};

void QoviCloudTest::initTestCase()
{
    QVERIFY(m_cloud.start());
    m_cloud.control("POST", "/auto", {{"enabled", true}, {"delay_ms", 50}});
    QByteArray out;
    QCOMPARE(connectInBrowser({}, &out), 0);
    QVERIFY2(out.contains("Dropbox: connected as alice@example.com"), out.constData());
}

int QoviCloudTest::connectInBrowser(const QStringList& arguments, QByteArray* out)
{
    QProcess tool;
    start(tool, QStringList{"connect"} + arguments);
    QByteArray printed;
    const auto address = [&] {
        printed += tool.readAllStandardOutput();
        const int at = printed.indexOf(" sign in at ");
        const int end = printed.indexOf('\n', at);
        return at < 0 || end < 0 ? QUrl() : QUrl(QString::fromUtf8(printed.mid(at + 12, end - at - 12)));
    };
    if (!waitFor([&] { return !address().isEmpty() || tool.state() == QProcess::NotRunning; }))
        return -1;
    TestBrowser browser;
    if (!address().isEmpty())
        browser.open(address());
    if (!tool.waitForFinished(30000))
        return -1;
    *out = printed + tool.readAllStandardOutput() + tool.readAllStandardError();
    return tool.exitCode();
}

void QoviCloudTest::start(QProcess& tool, const QStringList& arguments)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("HOME", m_home.path());
    environment.insert("XDG_CONFIG_HOME", m_home.filePath("config"));
    environment.insert("XDG_CACHE_HOME", m_home.filePath("cache"));
    environment.insert("XDG_DATA_HOME", m_home.filePath("data"));
    environment.insert("XDG_RUNTIME_DIR", m_home.path());
    tool.setProcessEnvironment(environment);
    tool.start(QOVI_CLOUD, QStringList{"--proxy", QStringLiteral("127.0.0.1:%1").arg(m_target->port()), "--ca-cert",
                                       FAKECLOUD_DIR "/ca.pem"} + arguments);
    QVERIFY(tool.waitForStarted());
}

int QoviCloudTest::run(const QStringList& arguments, QByteArray* out, QByteArray* err)
{
    QProcess tool;
    start(tool, arguments);
    if (!tool.waitForFinished(120000)) {
        tool.kill();
        tool.waitForFinished();
        return -1;
    }
    if (out)
        *out = tool.readAllStandardOutput();
    if (err)
        *err = tool.readAllStandardError();
    return tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1;
}

void QoviCloudTest::signInThenUpload()
{
    m_cloud.control("DELETE", "/faults");
    QByteArray out;
    QCOMPARE(run({"status"}, &out), 0);
    QVERIFY(out.contains("Dropbox: connected as alice@example.com\nGoogle Drive: not connected"));
    QCOMPARE(run({"space"}, &out), 0);
    QVERIFY2(out.contains("Dropbox: 2.00 TiB free"), out.constData());

    const QString movie = writeFile(m_files.filePath("film.mkv"), 100000000, 7);
    QByteArray err;
    QCOMPARE(run({"upload", movie, "--to", "/Videos"}, &out, &err), 0);
    QVERIFY2(out.contains(("uploaded: " + movie + " -> /Videos/film.mkv (95.4 MiB)").toUtf8()), out.constData());
    QVERIFY(out.contains("film.mkv 100%"));
    QVERIFY(err.isEmpty());
    QFile local(movie);
    QVERIFY(local.open(QIODevice::ReadOnly));
    const QByteArray sha = QCryptographicHash::hash(local.readAll(), QCryptographicHash::Sha256).toHex();
    const QJsonArray listed = m_cloud.control("GET", "/files?service=dropbox&email=" + kAlice)["files"].toArray();
    QVERIFY(std::any_of(listed.begin(), listed.end(), [&](const QJsonValue& file) {
        return file["path"].toString() == "/Videos/film.mkv" && file["sha256"].toString().toLatin1() == sha;
    }));
}

void QoviCloudTest::exitStatuses_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QJsonObject>("fault");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");
    const QString missing = QDir::tempPath() + "/lumen-no-such-file.mp4";
    QTest::newRow("version") << QStringList{"--version"} << QJsonObject() << 0 << "qovi-cloud 1.0" << "";
    QTest::newRow("help of a command") << QStringList{"help", "upload"} << QJsonObject() << 0
                                       << "Exit status: 0 all uploaded" << "";
    QTest::newRow("unknown command") << QStringList{"fly"} << QJsonObject() << 2 << ""
                                     << "qovi-cloud: unknown command fly; see qovi-cloud --help";
    QTest::newRow("no target folder") << QStringList{"upload", missing} << QJsonObject() << 2 << ""
                                      << "usage: qovi-cloud upload FILE... --to FOLDER";
    QTest::newRow("missing file") << QStringList{"upload", missing, "--to", "/V"} << QJsonObject() << 2 << ""
                                  << "cannot upload " + missing + ": no such file";
    QTest::newRow("not connected") << QStringList{"space", "--cloud", "gdrive"} << QJsonObject() << 3 << ""
                                   << "Google Drive is not connected";
    QTest::newRow("space answered HTML")
        << QStringList{"space"}
        << QJsonObject{{"path", "/2/users/get_space_usage"}, {"kind", "status"}, {"status", 200}, {"body", "<html>"},
                       {"content_type", "text/html"}}
        << 1 << "" << "Dropbox did not tell its free space: the service gave an unusable answer (not a JSON object)";
    QTest::newRow("no space left")
        << QStringList{"upload", "@file", "--to", "/V"}
        << QJsonObject{{"path", "/2/files/upload_session/finish"}, {"kind", "no_space"}} << 1 << "failed: @file"
        << "@file: not enough space in the account (path/insufficient_space/";
}

void QoviCloudTest::exitStatuses()
{
    QFETCH(QStringList, arguments);
    QFETCH(QJsonObject, fault);
    QFETCH(int, status);
    QFETCH(QString, out);
    QFETCH(QString, err);
    m_cloud.control("DELETE", "/faults");
    if (!fault.isEmpty())
        m_cloud.addFault(fault);
    const QString file = writeFile(m_files.filePath("clip.mkv"), 1000, 1);
    arguments.replaceInStrings("@file", file);
    out.replace("@file", file);
    err.replace("@file", file);
    QByteArray printed;
    QByteArray complained;
    QCOMPARE(run(arguments, &printed, &complained), status);
    QVERIFY2(printed.contains(out.toUtf8()), printed.constData());
    QVERIFY2(complained.contains(err.toUtf8()), complained.constData());
    if (!err.isEmpty()) // said once
        QCOMPARE(complained.count(err.toUtf8()), 1);
}

void QoviCloudTest::signalsEndAnyWait_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("signal");
    QTest::newRow("Ctrl-C during a space query") << QStringList{"space"} << "/2/users/get_space_usage" << SIGINT;
    QTest::newRow("SIGTERM during an upload") << QStringList{"upload", "@file", "--to", "/V"}
                                              << "/2/files/upload_session/append_v2" << SIGTERM;
}

void QoviCloudTest::signalsEndAnyWait()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, path);
    QFETCH(int, signal);
    m_cloud.control("DELETE", "/faults");
    m_cloud.control("DELETE", "/record");
    m_cloud.addFault({{"path", path}, {"kind", "delay"}, {"seconds", 25}});
    arguments.replaceInStrings("@file", writeFile(m_files.filePath("clip.mkv"), 1000, 1));
    QProcess tool;
    start(tool, arguments);
    QVERIFY(waitFor([&] { return !m_cloud.requests(QString(), path).isEmpty(); }));
    ::kill(pid_t(tool.processId()), signal);
    QVERIFY2(tool.waitForFinished(10000), "the wait outlived the signal"); // it would last 25 s
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.exitCode(), 130);
}

void QoviCloudTest::todaysRules_data()
{
    QTest::addColumn<QString>("cloud");
    QTest::addColumn<QString>("then"); // after connecting
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("said");
    QTest::newRow("Google Drive connects") << "gdrive" << "" << 0 << "Google Drive: connected as alice@example.com";
    QTest::newRow("space five hours later") << "dropbox" << "clock" << 0 << " free";
    QTest::newRow("space with a revoked refresh token")
        << "dropbox" << "revoke" << 3 << "Dropbox: the sign-in was withdrawn; connect again";
    QTest::newRow("disconnect") << "gdrive" << "disconnect" << 0 << "Google Drive: not connected";
}

void QoviCloudTest::todaysRules()
{
    QFETCH(QString, cloud);
    QFETCH(QString, then);
    QFETCH(int, status);
    QFETCH(QString, said);
    if (m_live.port() == 0)
        QVERIFY(m_live.start(true, FakeCloud::Rules::Live));
    m_live.reset();
    m_target = &m_live;
    const QString service = cloud == "dropbox" ? "dropbox" : "google";
    const QString tokenPath = cloud == "dropbox" ? "/oauth2/token" : "/token";
    QByteArray out;
    QCOMPARE(connectInBrowser({"--cloud", cloud}, &out), 0);
    // Nothing secret on the terminal: not the code, verifier or tokens.
    const QJsonObject exchange = m_live.requests(QString(), tokenPath).at(0).toObject();
    const QJsonObject tokens = QJsonDocument::fromJson(exchange["response_body"].toString().toUtf8()).object();
    const QUrlQuery form(QString::fromUtf8(body(exchange)));
    for (const QString& secret : {tokens["access_token"].toString(), tokens["refresh_token"].toString(),
                                  form.queryItemValue("code", QUrl::FullyDecoded), form.queryItemValue("code_verifier")}) {
        QVERIFY(secret.size() > 8);
        QVERIFY(!out.contains(secret.toUtf8()));
    }
    if (then == "clock")
        m_live.control("POST", "/clock", {{"advance", 5 * 3600}});
    if (then == "revoke")
        m_live.control("POST", "/revoke", {{"service", service}, {"token", tokens["refresh_token"]}});
    if (then == "disconnect")
        QCOMPARE(run({"disconnect", "--cloud", cloud}), 0);
    QByteArray err;
    if (!then.isEmpty())
        QCOMPARE(run(then == "disconnect" ? QStringList{"status"} : QStringList{"space", "--cloud", cloud}, &out, &err),
                 status);
    QVERIFY2((out + err).contains(said.toUtf8()), (out + err).constData());
    if (then == "clock") // renewed once, on the wire once
        QCOMPARE(requests(m_live, QString(), tokenPath).size(), 2);
    m_target = &m_cloud;
}

LUMEN_TEST_MAIN(QoviCloudTest)
#include "tst_qovicloud.moc"
