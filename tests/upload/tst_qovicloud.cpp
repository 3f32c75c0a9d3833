// qovi-cloud end to end against the stand-in: signed in through the web
// window, a 100 MB upload whose bytes the stand-in checks, exit statuses and
// their messages, the retries of the upload's preparation, and signals that
// end any wait at once, one that blocks in the kernel included.
#include "dropboxoauth.h"
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
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

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
    void downloadInterruptedThenContinued_data();
    void downloadInterruptedThenContinued();
    void todaysRules_data();
    void todaysRules();

private:
    // Arguments with a backslash escape ("\\377") reach the tool as those
    // bytes; with "@nobody" the tool runs in a home where nobody signed in.
    void start(QProcess& tool, QStringList arguments, QString home = QString());
    int run(const QStringList& arguments, QByteArray* out = nullptr, QByteArray* err = nullptr);
    // `connect`, with a browser that follows the address the tool prints.
    int connectInBrowser(const QStringList& arguments, QByteArray* out);

    FakeCloud m_cloud;
    FakeCloud m_live; // today's rules
    FakeCloud* m_target = &m_cloud;
    QTemporaryDir m_home; // the tool's own settings, cookies and cache
    QTemporaryDir m_nobody;
    QTemporaryDir m_pipes; // a home whose settings files are named pipes
    QTemporaryDir m_liveHome;
    QTemporaryDir m_files;
};

void QoviCloudTest::initTestCase()
{
    for (const char* settings : {"config/QoviSettings/values.json", "config/Qovi\\Settings/Player.conf"}) {
        QVERIFY(QDir().mkpath(QFileInfo(m_pipes.filePath(settings)).path()));
        QCOMPARE(::mkfifo(QFile::encodeName(m_pipes.filePath(settings)), 0600), 0);
    }
    QVERIFY(m_cloud.start());
    m_cloud.control("POST", "/auto", {{"enabled", true}, {"delay_ms", 50}});
    for (const char* cloud : {"dropbox", "gdrive"}) {
        QByteArray out;
        QVERIFY2(connectInBrowser({"--cloud", cloud}, &out) == 0, out.constData());
        QVERIFY2(out.contains(" connected as alice@example.com"), out.constData());
    }
}

int QoviCloudTest::connectInBrowser(const QStringList& arguments, QByteArray* out)
{
    if (!waitForFreePort(DropboxOAuth::kRedirectPort))
        return -1;
    QProcess tool;
    start(tool, QStringList{"connect"} + arguments);
    const auto printedAddress = [&] {
        *out += tool.readAllStandardOutput();
        const QByteArray line = out->mid(out->indexOf(" sign in at ") + 12);
        return out->contains(" sign in at ") && line.contains('\n') ? QUrl(line.left(line.indexOf('\n'))) : QUrl();
    };
    out->clear();
    TestBrowser browser;
    if (waitFor([&] { return !printedAddress().isEmpty() || tool.state() == QProcess::NotRunning; }))
        browser.open(printedAddress());
    if (!tool.waitForFinished(30000))
        return -1;
    *out += tool.readAllStandardOutput() + tool.readAllStandardError();
    return tool.exitCode();
}

void QoviCloudTest::start(QProcess& tool, QStringList arguments, QString home)
{
    if (home.isEmpty())
        home = arguments.removeAll("@nobody") ? m_nobody.path()
             : arguments.removeAll("@pipes")  ? m_pipes.path()
             : m_target == &m_live            ? m_liveHome.path()
                                              : m_home.path();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("HOME", home);
    environment.insert("XDG_CONFIG_HOME", home + "/config");
    environment.insert("XDG_CACHE_HOME", home + "/cache");
    environment.insert("XDG_DATA_HOME", home + "/data");
    environment.remove("XDG_RUNTIME_DIR"); // as under cron or a bare ssh session
    tool.setProcessEnvironment(environment);
    arguments = QStringList{QOVI_CLOUD, "--proxy", QStringLiteral("127.0.0.1:%1").arg(m_target->port()), "--ca-cert",
                            FAKECLOUD_DIR "/ca.pem"} + arguments;
    if (arguments.filter("\\").isEmpty()) {
        tool.start(arguments.takeFirst(), arguments);
    } else {
        // QProcess passes only text: the shell's printf makes the bytes.
        const char* const script = "for a; do set -- \"$@\" \"$(printf %b \"$a\")\"; shift; done; exec \"$@\"";
        tool.start("/bin/sh", QStringList{"-c", script, "sh"} + arguments);
    }
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
    QVERIFY(out.contains("Dropbox: connected as alice@example.com\n"));
    QVERIFY(out.contains("Google Drive: connected as alice@example.com\n"));
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
    QTest::addColumn<QJsonArray>("faults");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err"); // empty: nothing at all on standard error
    const QString missing = QDir::tempPath() + "/lumen-no-such-file.mp4";
    const QStringList toDrive{"upload", "@file", "--to", "/V", "--cloud", "gdrive"};
    const QString drive503 = "Google Drive: the service failed (Service Unavailable); trying again in 1 s (1 of 4)";
    const auto fault = [](const char* path, const char* method, int status, int times) {
        return QJsonObject{{"path", path}, {"method", method}, {"kind", "status"}, {"status", status}, {"times", times}};
    };
    const auto rateLimit = [](const char* path, int times) {
        return QJsonObject{{"path", path}, {"method", "GET"}, {"kind", "rate_limit"}, {"retry_after", 0}, {"times", times}};
    };
    QTest::newRow("version") << QStringList{"--version"} << QJsonArray() << 0 << "qovi-cloud 1.0\n" << "";
    QTest::newRow("help of a command") << QStringList{"help", "upload"} << QJsonArray() << 0
                                       << "Exit status: 0 all uploaded" << "";
    QTest::newRow("unknown command") << QStringList{"fly"} << QJsonArray() << 2 << ""
                                     << "qovi-cloud: unknown command fly; see qovi-cloud --help";
    QTest::newRow("no target folder") << QStringList{"upload", missing} << QJsonArray() << 2 << ""
                                      << "usage: qovi-cloud upload FILE... --to FOLDER";
    QTest::newRow("missing file") << QStringList{"upload", missing, "--to", "/V"} << QJsonArray() << 2 << ""
                                  << "cannot upload " + missing + ": no such file";
    QTest::newRow("name not UTF-8") << QStringList{"upload", "@dir/clip-\\0377.mkv", "--to", "/V"} << QJsonArray() << 2
                                    << "" << "cannot upload @dir/clip-\\xFF.mkv: its name is not UTF-8; rename it";
    // Named pipes would block a reader for ever: they are left alone.
    QTest::newRow("settings files that are named pipes") << QStringList{"@pipes", "status"} << QJsonArray() << 0
                                                         << "Dropbox: not connected" << "";
    QTest::newRow("not connected") << QStringList{"@nobody", "space", "--cloud", "gdrive"} << QJsonArray() << 3 << ""
                                   << "Google Drive is not connected";
    QTest::newRow("space answered HTML")
        << QStringList{"space"}
        << QJsonArray{QJsonObject{{"path", "/2/users/get_space_usage"}, {"kind", "status"}, {"status", 200},
                                  {"body", "<html>"}, {"content_type", "text/html"}}}
        << 1 << "" << "Dropbox did not tell its free space: the service gave an unusable answer (not a JSON object)";
    QTest::newRow("no space left")
        << QStringList{"upload", "@file", "--to", "/V"}
        << QJsonArray{QJsonObject{{"path", "/2/files/upload_session/finish"}, {"kind", "no_space"}}} << 1
        << "failed: @file" << "@file: not enough space in the account (path/insufficient_space/";
    // The preparation's synchronous requests, each failing once.
    QTest::newRow("grant check 503") << toDrive << QJsonArray{fault("/drive/v2/about", "GET", 503, 1)} << 0
                                     << "uploaded: @file" << drive503;
    QTest::newRow("folder search 503") << toDrive << QJsonArray{fault("/drive/v3/files", "GET", 503, 1)} << 0
                                       << "uploaded: @file" << drive503;
    QTest::newRow("folder creation 503")
        << QStringList{"upload", "@file", "--to", "/Made", "--cloud", "gdrive"}
        << QJsonArray{fault("/drive/v2/files", "POST", 503, 1)} << 0 << "uploaded: @file" << drive503;
    QTest::newRow("token refresh 503")
        << toDrive
        << QJsonArray{QJsonObject{{"path", "/drive/v2/about"}, {"kind", "expired"}, {"times", 1}},
                      fault("/token", "POST", 503, 1)}
        << 0 << "uploaded: @file" << drive503;
    QTest::newRow("Retry-After 0, four retries, then the failure")
        << toDrive << QJsonArray{rateLimit("/drive/v3/files", -1)} << 1 << "failed: @file"
        << "too many requests; the service asked to wait (Rate Limit Exceeded); trying again at once (4 of 4)";
    // Files: listed as their pages come, searched, downloaded.
    const auto listFault = [](const char* kind) {
        return QJsonArray{QJsonObject{{"path", "/2/files/list_folder"}, {"kind", kind}, {"status", 400}, {"times", 1},
                                      {"retry_after", 0}}};
    };
    QTest::newRow("ls the top") << QStringList{"ls"} << QJsonArray() << 0 << "Documents/\nholiday.mov\nVideos/\n" << "";
    QTest::newRow("ls --long") << QStringList{"ls", "/Videos", "--long"} << QJsonArray() << 0 << "  2.00 MiB  " << "";
    QTest::newRow("ls --json --recursive") << QStringList{"ls", "--json", "--recursive"} << QJsonArray() << 0
                                           << "\"path\":\"/Videos/clip.mkv\",\"size\":2097152,\"type\":\"file\"}"
                                           << "";
    QTest::newRow("ls a file") << QStringList{"ls", "/Videos/clip.mkv"} << QJsonArray() << 0 << "clip.mkv\n" << "";
    QTest::newRow("ls of Drive, a path walked") << QStringList{"ls", "/Videos", "--cloud", "gdrive"} << QJsonArray()
                                                << 0 << "holiday.mov\n" << "";
    QTest::newRow("ls nothing there") << QStringList{"ls", "/Nope"} << QJsonArray() << 1 << ""
                                      << "qovi-cloud: Dropbox: nothing at /Nope\n";
    QTest::newRow("ls 429, then the page") << QStringList{"ls"} << listFault("rate_limit") << 0 << "Videos/"
                                           << "; trying again at once (1 of 4)";
    QTest::newRow("ls refused") << QStringList{"ls"} << listFault("status") << 1 << ""
                                << "Dropbox: / could not be listed: the request failed";
    // The stored tokens, without the account: Google's renewed with its refresh token.
    QTest::newRow("ls of Drive, the token refused once")
        << QStringList{"ls", "--cloud", "gdrive"}
        << QJsonArray{QJsonObject{{"path", "/drive/v3/files"}, {"kind", "expired"}, {"times", 1}}} << 0 << "Videos/\n"
        << "";
    QTest::newRow("ls of Dropbox, the token refused")
        << QStringList{"ls"} << QJsonArray{QJsonObject{{"path", "/2/files/list_folder"}, {"kind", "expired"}}} << 1
        << "" << "Dropbox: / could not be listed: the sign-in was withdrawn; connect again";
    QTest::newRow("search") << QStringList{"search", "CLIP", "--cloud", "gdrive"} << QJsonArray() << 0 << "clip.mkv\n"
                            << "";
    QTest::newRow("help of download") << QStringList{"help", "download"} << QJsonArray() << 0
                                      << "Exit status: 0 downloaded" << "";
    QTest::newRow("download without REMOTE") << QStringList{"download"} << QJsonArray() << 2 << ""
                                             << "usage: qovi-cloud download REMOTE [LOCAL]";
    QTest::newRow("download onto a file") << QStringList{"download", "/Videos/clip.mkv", "@file"} << QJsonArray() << 2
                                          << "" << "@file exists; remove it or name another LOCAL";
    QTest::newRow("download a folder") << QStringList{"download", "/Videos", "@dir/Videos"} << QJsonArray() << 2 << ""
                                       << "/Videos is a folder";
    QTest::newRow("download, not connected") << QStringList{"@nobody", "download", "/a.mkv", "@dir/a.mkv"}
                                             << QJsonArray() << 3 << "" << "Dropbox is not connected";
    QTest::newRow("retries counted per operation")
        << toDrive << QJsonArray{fault("/drive/v2/about", "GET", 503, 1), rateLimit("/drive/v3/files", 4)} << 0
        << "uploaded: @file" << "(Rate Limit Exceeded); trying again at once (4 of 4)";
}

void QoviCloudTest::exitStatuses()
{
    QFETCH(QStringList, arguments);
    QFETCH(QJsonArray, faults);
    QFETCH(int, status);
    QFETCH(QString, out);
    QFETCH(QString, err);
    m_cloud.control("DELETE", "/faults");
    for (QJsonValue fault : faults) {
        QJsonObject object = fault.toObject();
        if (object["times"].toInt() < 0)
            object.remove("times"); // every time
        m_cloud.addFault(object);
    }
    const QString file = writeFile(m_files.filePath("clip.mkv"), 1000, 1);
    // A file whose name Qt cannot spell: made by its bytes.
    const QByteArray odd = m_files.path().toUtf8() + "/clip-\xff.mkv";
    if (std::FILE* made = std::fopen(odd.constData(), "w"))
        std::fclose(made);
    for (QString* text : {&out, &err}) {
        text->replace("@file", file);
        text->replace("@dir", m_files.path());
    }
    arguments.replaceInStrings("@file", file);
    arguments.replaceInStrings("@dir", m_files.path());
    QByteArray printed;
    QByteArray complained;
    const int ended = run(arguments, &printed, &complained);
    ::unlink(odd.constData()); // Qt could not remove it
    QCOMPARE(ended, status);
    QVERIFY2(printed.contains(out.toUtf8()), printed.constData());
    if (err.isEmpty())
        QVERIFY2(complained.isEmpty(), complained.constData());
    else // said once
        QVERIFY2(complained.count(err.toUtf8()) == 1, complained.constData());
}

void QoviCloudTest::signalsEndAnyWait_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QJsonObject>("fault");
    QTest::addColumn<QString>("until"); // signalled once the fault's request came, or this was said
    QTest::addColumn<int>("signal");
    const auto delay = [](const char* path) { return QJsonObject{{"path", path}, {"kind", "delay"}, {"seconds", 25}}; };
    QTest::newRow("Ctrl-C during a space query") << QStringList{"space"} << delay("/2/users/get_space_usage")
                                                 << QString() << SIGINT;
    QTest::newRow("SIGTERM during an upload") << QStringList{"upload", "@file", "--to", "/V"}
                                              << delay("/2/files/upload_session/append_v2") << QString() << SIGTERM;
    QTest::newRow("SIGTERM during a retry's pause")
        << QStringList{"upload", "@file", "--to", "/V", "--cloud", "gdrive"}
        << QJsonObject{{"path", "/drive/v3/files"}, {"method", "GET"}, {"kind", "rate_limit"}, {"retry_after", 25}}
        << "trying again in 25 s" << SIGTERM;
}

void QoviCloudTest::signalsEndAnyWait()
{
    QFETCH(QStringList, arguments);
    QFETCH(QJsonObject, fault);
    QFETCH(QString, until);
    QFETCH(int, signal);
    m_cloud.control("DELETE", "/faults");
    m_cloud.control("DELETE", "/record");
    if (!fault.isEmpty())
        m_cloud.addFault(fault);
    arguments.replaceInStrings("@file", writeFile(m_files.filePath("clip.mkv"), 1000, 1));
    QProcess tool;
    start(tool, arguments);
    QByteArray said;
    QVERIFY(waitFor([&] {
        said += tool.readAllStandardError();
        if (!until.isEmpty())
            return said.contains(until.toUtf8());
        return !m_cloud.requests(QString(), fault["path"].toString()).isEmpty();
    }));
    QVERIFY(tool.processId() > 0); // kill(0) would end the test's own group
    ::kill(pid_t(tool.processId()), signal);
    // The wait would last 25 s or more; the signal ends it at once.
    QVERIFY2(tool.waitForFinished(2500), "the wait outlived the signal");
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.exitCode(), 130);
}

void QoviCloudTest::downloadInterruptedThenContinued_data()
{
    QTest::addColumn<QString>("cloud");
    QTest::addColumn<QString>("path"); // where the file's bytes come from
    QTest::newRow("Dropbox, a temporary link") << "dropbox" << "/apitl/1/*";
    QTest::newRow("Google Drive, the file's media") << "gdrive" << "/drive/v3/files/*";
}

void QoviCloudTest::downloadInterruptedThenContinued()
{
    QFETCH(QString, cloud);
    QFETCH(QString, path);
    const bool drive = cloud == "gdrive";
    m_cloud.control("DELETE", "/faults");
    m_cloud.control("POST", "/files/generate", {{"service", drive ? "google" : "dropbox"}, {"folder", ""},
                                                {"count", 1}, {"size", 40000000}, {"prefix", "film " + cloud}});
    const QString name = "film " + cloud + " 00001.bin";
    const QString local = m_files.filePath(name);
    // The stand-in stops sending half-way: Ctrl-C then.
    m_cloud.addFault({{"path", path}, {"kind", "pause"}, {"where", "response"}, {"after", 20000000}, {"seconds", 20},
                      {"times", 1}});
    QProcess tool;
    start(tool, {"download", "/" + name, local, "--cloud", cloud});
    QVERIFY(waitFor([&] { return QFileInfo(local + ".part").size() >= 10000000; }));
    ::kill(pid_t(tool.processId()), SIGINT);
    QVERIFY(tool.waitForFinished(2500));
    QCOMPARE(tool.exitCode(), 130);
    const qint64 kept = QFileInfo(local + ".part").size();
    QVERIFY2(tool.readAllStandardError().contains(" of 38.1 MiB; run the command again to continue"), "not said");
    QVERIFY(!QFileInfo::exists(local));
    // The next run continues it from there, and the file is the stored one.
    m_cloud.control("DELETE", "/record");
    QByteArray out;
    QCOMPARE(run({"download", "/" + name, local, "--cloud", cloud}, &out), 0);
    QVERIFY2(out.contains(("downloaded: /" + name + " -> " + local + " (38.1 MiB)").toUtf8()), out.constData());
    QJsonArray fetched;
    for (const QJsonValue& request : requests(m_cloud, QString(), QString())) {
        if (request["path"].toString().startsWith(path.chopped(1)) && !request["query"].toString().contains("fields"))
            fetched.append(request);
    }
    QCOMPARE(fetched.size(), 1);
    QCOMPARE(header(fetched[0].toObject(), "Range"), QStringLiteral("bytes=%1-").arg(kept));
    QFile file(local);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCryptographicHash sha(QCryptographicHash::Sha256);
    QVERIFY(sha.addData(&file));
    QString stored;
    for (const QJsonValue& entry : m_cloud.control("GET", "/files?service=" + QString(drive ? "google" : "dropbox"))["files"].toArray()) {
        if (entry["name"].toString() == name)
            stored = entry["sha256"].toString();
    }
    QCOMPARE(QString::fromLatin1(sha.result().toHex()), stored);
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
    QVERIFY2(connectInBrowser({"--cloud", cloud}, &out) == 0, out.constData());
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
