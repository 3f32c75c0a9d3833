// The Google Drive account against the stand-in: sign-in through the web
// view, token age and refresh, the upload folders of a path, preparation
// that fails, and the resumable upload with the faults of a hostile road.
#include "googledrive.h"
#include "testaccount.h"
#include "teststate.h"

#include <QDateTime>
#include <QNetworkProxy>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUrlQuery>

#include <csignal>
#include <sys/resource.h>

using namespace teststate;

namespace {

const QString kApi = QStringLiteral("www.googleapis.com");
const QString kAccounts = QStringLiteral("accounts.google.com");
const QString kToken = QStringLiteral("/o/oauth2/token");
const QString kAbout = QStringLiteral("/drive/v2/about");
const QString kSearch = QStringLiteral("/drive/v3/files");
const QString kCreate = QStringLiteral("/drive/v2/files");
const QString kUpload = QStringLiteral("/upload/drive/v3/files");
const qint64 kHour = 3600 * 1000;

QJsonObject putFault(const QString& kind, QJsonObject more = {})
{
    more.insert("method", "PUT");
    return fault(kApi, kUpload, kind, more);
}

} // namespace

class GoogleDriveTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(m_cloud.start()); }
    void init()
    {
        startCase(m_cloud);
        m_account = std::make_unique<TestAccount<GoogleDrive>>();
        m_account->setUploadLimits(800, 3, 20);
        m_account->setRequestStallLimit(800);
    }
    void cleanup() { m_account.reset(); }

    void errorBodies_data()
    {
        const auto row = table<QByteArray, int, int>("body", "code", "kind");
        const auto apiError = [](int code, const char* reason) {
            return QJsonDocument(QJsonObject{{"error", QJsonObject{{"code", code}, {"message", "M"},
                                                                    {"errors", QJsonArray{QJsonObject{{"reason", reason}}}}}}})
                .toJson();
        };
        row("quota", apiError(403, "storageQuotaExceeded"), 403, int(CloudError::QuotaExceeded));
        row("rate", apiError(429, "userRateLimitExceeded"), 429, int(CloudError::RateLimited));
        row("credentials", apiError(401, "authError"), 401, int(CloudError::Unauthorized));
        row("refused grant", QByteArray(R"({"error": "invalid_grant"})"), 2, int(CloudError::GrantRevoked));
        row("other error string", QByteArray(R"({"error": "access_denied"})"), -1, int(CloudError::None));
        row("no error member", QByteArray("{\"kind\": \"drive#about\"}"), 0, int(CloudError::None));
        row("not JSON", QByteArray("<html>502</html>"), 1, int(CloudError::None));
        row("empty", QByteArray(), 1, int(CloudError::None));
    }

    void errorBodies()
    {
        const auto [body, code, kind] = fetch<QByteArray, int, int>("body", "code", "kind");
        std::string message = "untouched";
        QCOMPARE(m_account->parseErrorReply(body, message), code);
        QCOMPARE(QString::fromStdString(message), code >= 400 ? QStringLiteral("M") : QStringLiteral("untouched"));
        // The same body as an answer with a status the network layer gave.
        QCOMPARE(int(m_account->describeBody(body).kind()), kind);
    }

    void signInThroughTheWebView()
    {
        m_cloud.control("POST", "/auto", {{"enabled", true}, {"delay_ms", 50}});
        QSignalSpy connected(m_account.get(), &CloudBase::connectedToCloud);
        QVERIFY(m_account->connectToCloud());
        QVERIFY(waitFor([&] { return connected.size() == 1; }));
        QCOMPARE(connected[0][1].toString(), kAlice);
        QVERIFY(!m_account->view()->isVisible());
        QVERIFY(m_account->isConnected(false));
        QVERIFY(!storedRecord(GDRIVE_CLOUD)["refresh_token"].toString().isEmpty());
        QVERIFY(storedRecord(GDRIVE_CLOUD)["received_time"].toDouble() > 0);

        // The first free port; the items in their order.
        const QString asked = requests(m_cloud, kAccounts, "/o/oauth2/auth").at(0)["query"].toString();
        const QString redirect = QStringLiteral("http://localhost:30000");
        QVERIFY2(asked.endsWith("&access_type=offline&response_type=code&redirect_uri=" + redirect
                                + "&client_id=" + clientId(GDRIVE_CLOUD)),
                 qPrintable(asked));
        const QJsonArray exchanges = requests(m_cloud, kAccounts, kToken);
        QCOMPARE(exchanges.size(), 1);
        const QUrlQuery form(QString::fromUtf8(body(exchanges[0].toObject())));
        QCOMPARE(form.query().remove(QRegularExpression("=[^&]*")), "code&client_id&client_secret&redirect_uri&grant_type");
        QCOMPARE(form.queryItemValue("redirect_uri", QUrl::FullyDecoded), redirect);
        QCOMPARE(header(exchanges[0].toObject(), "Authorization"), QString());
        QCOMPARE(header(requests(m_cloud, kApi, kAbout).at(0).toObject(), "Authorization"),
                 "Bearer " + storedRecord(GDRIVE_CLOUD)["access_token"].toString());
        QVERIFY(loggedInOrder({"INF Google Drive: getGoogleTokens ... ", "INF successfully get Google Drive token",
                               "INF Google Drive: Got email alice@example.com"}));

        // A second sign-in of a user who allowed the app already keeps all of it.
        m_account = std::make_unique<TestAccount<GoogleDrive>>();
        QSignalSpy again(m_account.get(), &CloudBase::connectedToCloud);
        QVERIFY(m_account->connectToCloud());
        QVERIFY(waitFor([&] { return again.size() == 1; }));
        m_account.reset();
        QVERIFY(TestAccount<GoogleDrive>().isConnected(false));
    }

    void loopbackPort()
    {
        QTcpServer first, second; // another program's
        for (QTcpServer* server : {&first, &second}) {
            server->setProxy(QNetworkProxy::NoProxy);
            QVERIFY(server->listen(QHostAddress::Any, quint16(server == &first ? 30000 : 30001)));
        }
        QVERIFY(m_account->authorizationUrl().endsWith("&redirect_uri=http://localhost:30002&client_id="
                                                       + clientId(GDRIVE_CLOUD)));
        QCOMPARE(logLines(), (QStringList{"INF Searching unused port...", "WRN Port 30000 already in use",
                                          "WRN Port 30001 already in use", "INF Port 30002 will be used"}));
    }

    void loopbackLoads_data()
    {
        const auto row = table<int, QString, QString>("error", "url", "line"); // line: empty for nothing at all
        const QString code = QStringLiteral("http://localhost:30000/?code=4/C0DE&scope=https://www.googleapis.com/auth/drive");
        row("code in a page that loaded", 0, code, QString());
        row("code in a load of an unknown scheme", 301, code, QString());
        row("refusal", 1, "http://localhost:30000/?error=access_denied",
            "ERR Google Drive: Error during authorization - access_denied");
        row("refusal from another host", 1, "http://127.0.0.1:30000/?error=access_denied", QString());
    }

    void loopbackLoads()
    {
        const auto [error, url, line] = fetch<int, QString, QString>("error", "url", "line");
        m_account->view()->show();
        m_account->authorizationReply(error, url);
        QCOMPARE(logLines(), line.isEmpty() ? QStringList() : QStringList{line});
        QCOMPARE(m_account->view()->isVisible(), line.isEmpty());
        QCOMPARE(m_cloud.requests().size(), 0);
    }

    void codeWithAStoredRecord_data()
    {
        const auto row = table<bool, int>("refused", "exchanges");
        row("record that works is kept", false, 0);
        row("refused record is replaced", true, 1);
    }

    void codeWithAStoredRecord()
    {
        const auto [refused, exchanges] = fetch<bool, int>("refused", "exchanges");
        const QString old = signIn(m_cloud, GDRIVE_CLOUD);
        if (refused)
            m_cloud.control("POST", "/revoke", {{"service", "google"}, {"email", kAlice}});
        m_cloud.control("POST", "/auto", {{"enabled", true}, {"delay_ms", 50}});
        QSignalSpy connected(m_account.get(), &CloudBase::connectedToCloud);
        QSignalSpy failed(m_account.get(), &CloudBase::signInFailed);
        QVERIFY(m_account->connectToCloud());
        QVERIFY(waitFor([&] { return connected.size() + failed.size() > 0; }));
        QCOMPARE(connected.size(), 1);
        QCOMPARE(requests(m_cloud, kAccounts, kToken).size(), exchanges);
        QCOMPARE(storedRecord(GDRIVE_CLOUD)["access_token"].toString() == old, !refused);
    }

    void tokenAgeHasNoMargin()
    {
        signIn(m_cloud, GDRIVE_CLOUD);
        QJsonObject stored = storedRecord(GDRIVE_CLOUD);
        stored["expires_in"] = 3600;
        // Whether a record counts as expired when read `past` ms after its
        // lifetime's end, read within the one millisecond it was made for.
        const auto expiredAt = [&](qint64 past) {
            for (int attempt = 0; attempt < 1000; ++attempt) {
                const qint64 at = QDateTime::currentMSecsSinceEpoch() + 20;
                stored["received_time"] = double(at - kHour - past);
                storeToken(GDRIVE_CLOUD, QJsonDocument(stored).toJson());
                while (QDateTime::currentMSecsSinceEpoch() < at) {
                }
                const bool expired = m_account->isTokenExpired();
                if (QDateTime::currentMSecsSinceEpoch() == at)
                    return expired;
            }
            qFatal("the record could not be read within one millisecond");
        };
        QCOMPARE(expiredAt(0), false);
        QCOMPARE(expiredAt(1), true);
        // Expired: renewed before use, and the new record keeps the refresh token.
        QVERIFY(m_account->getFreeSpace(true) != CloudBase::kUnknownSpace);
        QCOMPARE(requests(m_cloud, kAccounts, kToken).size(), 0); // a space query does not look at the age
        m_account->setMode(CloudBase::CHOOSER_OPENING_MODE);
        m_account->openChooserFlow();
        QCOMPARE(requests(m_cloud, kAccounts, kToken).size(), 1);
        QCOMPARE(storedRecord(GDRIVE_CLOUD)["refresh_token"], stored["refresh_token"]);
        QVERIFY(!m_account->isTokenExpired());
    }

    void tokenRenewal_data()
    {
        // refused: the token endpoint fails; refreshes: more than none for a
        // signed-in account whose token's lifetime is over.
        const auto row = table<QString, bool, int, QString>("call", "refused", "refreshes", "line");
        row("no record: nothing to renew", "ensureValidToken", false, 0, "INF Google Drive: token is valid yet");
        row("refused, nobody retries", "refresh", true, 1, "INF Google Drive: sendRefreshTokenSyncRequest - Failed");
        row("chooser after a refused refresh", "openChooserFlow", true, 1,
            "WRN Google Drive: token expired, need to refresh");
        row("after a failed grant check", "refresh after REVOKE_STATUS_REQUEST", false, 1,
            "INF Google Drive: repeat previous REVOKE_STATUS_REQUEST");
    }

    void tokenRenewal()
    {
        const auto [call, refused, refreshes, line] =
            fetch<QString, bool, int, QString>("call", "refused", "refreshes", "line");
        if (refreshes) {
            signIn(m_cloud, GDRIVE_CLOUD);
            QJsonObject stored = storedRecord(GDRIVE_CLOUD);
            stored["received_time"] = double(QDateTime::currentMSecsSinceEpoch() - 2 * kHour);
            storeToken(GDRIVE_CLOUD, QJsonDocument(stored).toJson());
        }
        if (refused)
            m_cloud.addFault(fault(kAccounts, kToken, "status", {{"status", 500}}));
        if (call == "ensureValidToken") {
            QVERIFY(m_account->ensureValidToken());
        } else if (call == "openChooserFlow") {
            m_account->openChooserFlow();
        } else {
            // A reply of another manager: the account only reads what it was for.
            QNetworkAccessManager elsewhere;
            std::unique_ptr<QNetworkReply> failed;
            if (call.contains("REVOKE")) {
                failed.reset(elsewhere.get(QNetworkRequest(QUrl("http://127.0.0.1:1/"))));
                failed->setProperty("request_id", REVOKE_STATUS_REQUEST);
            }
            QCOMPARE(m_account->sendRefreshTokenSyncRequest(failed.get()).isEmpty(), refused);
        }
        QCOMPARE(requests(m_cloud, kAccounts, kToken).size(), refreshes);
        QVERIFY(logged(line));
        // Nothing else is sent, and no chooser opens.
        QCOMPARE(requests(m_cloud, kApi).size(), 0);
        QCOMPARE(logCount("INF Google Drive: opening chooser"), 0);
    }

    void refreshRepeatsTheRefusedRequest_data()
    {
        // always: every token refused, even the renewed one; unsaved: the
        // renewed token cannot be written (a full disk).
        const auto row = table<QString, bool, bool>("path", "always", "unsaved");
        row("space", kAbout, false, false);
        row("folder search", kSearch, false, false);
        row("space refused after the refresh too", kAbout, true, false);
        row("renewed token that cannot be saved", kAbout, false, true);
    }

    void refreshRepeatsTheRefusedRequest()
    {
        const auto [path, always, unsaved] = fetch<QString, bool, bool>("path", "always", "unsaved");
        signIn(m_cloud, GDRIVE_CLOUD);
        if (unsaved) // the stored token really is spent: only the renewed one works
            m_cloud.control("POST", "/tokens/expire", {{"service", "google"}, {"email", kAlice}});
        else
            m_cloud.addFault(fault(kApi, path, "expired", always ? QJsonObject() : QJsonObject{{"times", 1}}));
        rlimit limit{};
        QVERIFY(::getrlimit(RLIMIT_FSIZE, &limit) == 0);
        const rlimit none{0, limit.rlim_max};
        const auto previous = std::signal(SIGXFSZ, SIG_IGN);
        if (unsaved) // no file grows: the settings, the log, the cache
            QVERIFY(::setrlimit(RLIMIT_FSIZE, &none) == 0);
        if (path == kAbout) {
            const quint64 free = m_account->getFreeSpace(true);
            ::setrlimit(RLIMIT_FSIZE, &limit);
            std::signal(SIGXFSZ, previous);
            QCOMPARE(free == CloudBase::kUnknownSpace, always);
        } else {
            const QList<UploadOutcome> outcomes = uploadAll({writeFile(m_files.filePath("m.mkv"), 10, 1)}, "/Videos");
            QCOMPARE(outcomes.value(0).ending, UploadOutcome::Finished);
        }
        // One refresh per refused request, however often the renewed token is refused.
        QCOMPARE(requests(m_cloud, kAccounts, kToken).size(), 1);
        QCOMPARE(requests(m_cloud, kApi, path).size(), 2);
        if (always)
            QCOMPARE(int(m_account->lastError().kind()), int(CloudError::Unauthorized));
    }

    void spaceFigures_data()
    {
        const auto row = table<QJsonObject, quint64>("answer", "free");
        row("strings", QJsonObject{{"quotaBytesTotal", "1000"}, {"quotaBytesUsed", "10"}}, quint64(990));
        row("numbers read as 0", QJsonObject{{"quotaBytesTotal", 1000}, {"quotaBytesUsed", 10}}, quint64(0));
        row("used past the total", QJsonObject{{"quotaBytesTotal", "10"}, {"quotaBytesUsed", "1000"}}, quint64(0));
    }

    void spaceFigures()
    {
        const auto [answer, free] = fetch<QJsonObject, quint64>("answer", "free");
        signIn(m_cloud, GDRIVE_CLOUD);
        m_cloud.addFault(fault(kApi, kAbout, "status", {{"status", 200}, {"body", answer}}));
        QCOMPARE(m_account->getFreeSpace(true), free);
    }

    void foldersOfAPath_data()
    {
        // search: the first search's query, as sent; empty: none.
        const auto add = table<QString, QStringList, QString, int>("target", "created", "search", "error");
        const auto row = [&add](const char* name, const QString& target, const QStringList& created, const QString& searched,
                                CloudError::Kind error = CloudError::None) {
            const QString search = "orderBy=folder&q=name%20%3D%20%27" + searched + "%27%20and%20trashed%20%3D%20false";
            add(name, target, created, searched.isEmpty() ? QString() : search, error);
        };
        row("existing", "/Videos", {}, "Videos");
        row("nested", "/Films/2026/", {"Films", "2026"}, "Films");
        row("quote and backslash", "/it's a \\ \"test\"", {"it's a \\ \"test\""}, "it%5C%27s%20a%20%5C%5C%20%22test%22");
        row("inside an existing one", "Videos/Extra", {"Extra"}, "Videos");
        row("doubled slashes and dots", "//Films/.//2026//", {"Films", "2026"}, "Films");
        row("the top", "/", {}, QString());
        row("a file in the way", "/Videos/holiday.mov", {}, "Videos", CloudError::PathConflict);
        row("climbing out", "/a/../b", {}, QString(), CloudError::LocalFile);
    }

    void foldersOfAPath()
    {
        const auto [target, created, search, error] =
            fetch<QString, QStringList, QString, int>("target", "created", "search", "error");
        signIn(m_cloud, GDRIVE_CLOUD);
        const QString path = writeFile(m_files.filePath("movie.mkv"), 1000, 3);
        if (error == int(CloudError::LocalFile)) { // refused before anything is sent
            QString problem;
            QVERIFY(!m_account->uploadFile(path, target, &problem));
            QVERIFY(problem.contains(target));
            QVERIFY(requests(m_cloud, kApi).isEmpty());
            return;
        }
        const UploadOutcome first = uploadAll({path}, target).value(0);
        QCOMPARE(int(first.error.kind()), error);
        const QJsonArray searches = requests(m_cloud, kApi, kSearch);
        QCOMPARE(searches.isEmpty() ? QString() : searches.at(0)["query"].toString(), search);
        if (error != int(CloudError::None)) {
            QVERIFY(first.error.text().contains(target));
            QVERIFY(requests(m_cloud, kApi, kUpload).isEmpty());
            QVERIFY(requests(m_cloud, kApi, kCreate).isEmpty());
            return;
        }
        QCOMPARE(uploadAll({path}, target).value(0).ending, UploadOutcome::Finished); // found this time
        const QJsonArray creations = requests(m_cloud, kApi, kCreate);
        QCOMPARE(creations.size(), created.size());
        QString parent = QStringLiteral("root");
        for (int i = 0; i < created.size(); ++i) {
            const QJsonObject asked = QJsonDocument::fromJson(body(creations[i].toObject())).object();
            QCOMPARE(asked["title"].toString(), created[i]);
            QVERIFY(i == 0 || asked["parents"][0]["id"].toString() == parent);
            parent = driveItem(created[i])["id"].toString();
        }
        const QStringList folders = target.split('/', Qt::SkipEmptyParts).filter(QRegularExpression("^(?!\\.$)"));
        const QJsonObject movie = driveItem("movie.mkv");
        QCOMPARE(movie["parents"].toArray().size(), 1);
        QCOMPARE(movie["parents"][0].toString(), folders.isEmpty() ? rootFolder() : driveItem(folders.last())["id"].toString());
    }

    void folderMadeTwiceAtOnce()
    {
        // Another upload made the folder while this one searched: this one's
        // search found nothing, it makes one too, and takes the first made.
        signIn(m_cloud, GDRIVE_CLOUD);
        m_cloud.control("POST", "/files", {{"service", "google"}, {"name", "Shared"}, {"parent", "root"}, {"folder", true}});
        m_cloud.addFault(fault(kApi, kSearch, "status",
                               {{"status", 200}, {"body", QJsonObject{{"files", QJsonArray{}}}}, {"times", 1}}));
        const QString first = driveItem("Shared")["id"].toString();
        QCOMPARE(uploadAll({writeFile(m_files.filePath("a.mkv"), 10, 1)}, "/Shared").value(0).ending,
                 UploadOutcome::Finished);
        QCOMPARE(requests(m_cloud, kApi, kCreate).size(), 1);
        QCOMPARE(driveItem("a.mkv").value("parents").toArray().first().toString(), first);
    }

    void firstOfTwoFoldersOfTheName()
    {
        signIn(m_cloud, GDRIVE_CLOUD);
        m_cloud.control("POST", "/files", {{"service", "google"}, {"name", "Videos"}, {"parent", "root"}, {"folder", true}});
        const QString path = writeFile(m_files.filePath("movie.mkv"), 1000, 3);
        QCOMPARE(uploadAll({path}, "/Videos").value(0).ending, UploadOutcome::Finished);
        const QByteArray answer = requests(m_cloud, kApi, kSearch).at(0)["response_body"].toString().toUtf8();
        const QJsonArray found = QJsonDocument::fromJson(answer).object()["files"].toArray();
        QCOMPARE(found.size(), 2);
        QCOMPARE(driveItem("movie.mkv").value("parents").toArray().at(0).toString(), found[0]["id"].toString());
    }

    void preparationEndsEveryWaitingFile_data()
    {
        // said: told beside the endings
        const auto row = table<QJsonObject, bool, int, QString>("fault", "expired", "error", "said");
        const QJsonObject html{{"status", 200}, {"body", "<html>x</html>"}, {"content_type", "text/html"}};
        row("account check answers HTML", fault(kApi, kAbout, "status", html), false, CloudError::BadReply, {});
        row("folder search answers HTML", fault(kApi, kSearch, "status", html), false, CloudError::BadReply, {});
        row("folder search stalls", fault(kApi, kSearch, "stall"), false, CloudError::TimedOut, {});
        row("token endpoint fails", fault(kAccounts, kToken, "status", {{"status", 500}}), true, CloudError::ServiceFailed,
            {});
        row("folder creation fails", fault(kApi, kCreate, "status", {{"status", 500}}), false, CloudError::ServiceFailed,
            "Google Drive failed to create \"/New folder\" folder");
    }

    void preparationEndsEveryWaitingFile()
    {
        const auto [fault, expired, error, said] = fetch<QJsonObject, bool, int, QString>("fault", "expired", "error", "said");
        signIn(m_cloud, GDRIVE_CLOUD);
        if (expired)
            m_cloud.control("POST", "/tokens/expire", {{"service", "google"}, {"email", kAlice}});
        m_cloud.addFault(fault);
        QSignalSpy told(m_account.get(), &CloudBase::networkError);
        const QList<UploadOutcome> outcomes = uploadAll(
            {writeFile(m_files.filePath("a.mkv"), 10, 1), writeFile(m_files.filePath("b.mkv"), 10, 2)}, "/New folder");
        QCOMPARE(outcomes.size(), 2);
        for (const UploadOutcome& outcome : outcomes) {
            QCOMPARE(outcome.ending, UploadOutcome::Failed);
            QCOMPARE(int(outcome.error.kind()), error);
        }
        QVERIFY(requests(m_cloud, kApi, kUpload).isEmpty());
        QVERIFY(driveItem("New folder").isEmpty()); // no folder made on a bad answer
        QCOMPARE(told.size(), said.isEmpty() ? 0 : 1);
        QCOMPARE(told.value(0).value(0).toString(), said);
        QVERIFY(said.isEmpty() || logged("INF " + said));
    }

    void resumableUpload_data()
    {
        const auto add = table<QJsonArray, int, int>("faults", "ending", "error");
        const auto row = [&add](const char* name, const QJsonArray& faults, CloudError::Kind error = CloudError::None) {
            add(name, faults, error ? UploadOutcome::Failed : UploadOutcome::Finished, error);
        };
        const QJsonObject start = fault(kApi, kUpload, "status", {{"method", "POST"}, {"status", 200}});
        const auto address = [&](const char* location) {
            QJsonObject fault = start;
            fault["headers"] = QJsonObject{{"Location", location}};
            return QJsonArray{fault};
        };
        row("plain", {});
        row("PUT dropped halfway", {putFault("drop", {{"where", "request"}, {"times", 1}})});
        row("PUT answer stalls", {putFault("delay", {{"when", "after"}, {"seconds", 5}, {"times", 1}})});
        row("PUT answered 308 once", {putFault("status", {{"status", 308}, {"times", 1}})});
        // A data PUT cut after 1 MiB, letting `skip` PUTs through first: with the
        // status query after each cut, the first, third and fifth PUT are cut.
        const auto cut = [](int skip) {
            return putFault("drop", {{"where", "request"}, {"after", 1024 * 1024}, {"skip", skip}, {"times", 1}});
        };
        row("three cuts, each after progress", {cut(0), cut(1), cut(2)});
        row("cut, then refused after the status query", // it said the file is not stored
            {cut(0), putFault("no_space", {{"skip", 1}, {"times", 1}})}, CloudError::QuotaExceeded);
        row("session expired", {putFault("status", {{"status", 404}, {"times", 1}})});
        row("PUT answered 308 always", {putFault("status", {{"status", 308}})}, CloudError::Incomplete);
        row("PUT answered HTML", {putFault("status", {{"status", 200}, {"body", "<html>ok</html>"}, {"content_type", "text/html"}})},
            CloudError::BadReply);
        row("quota", {putFault("no_space")}, CloudError::QuotaExceeded);
        row("local file address", address("file:///tmp/lumen-overwritten"), CloudError::Refused);
        row("address in clear", address("http://www.googleapis.com/upload/drive/v3/files?upload_id=x"),
            CloudError::Refused);
        row("foreign host", address("https://evil.example.com/upload/x"), CloudError::Refused);
        row("no address", {start}, CloudError::BadReply);
    }

    void resumableUpload()
    {
        const auto [faults, ending, error] = fetch<QJsonArray, int, int>("faults", "ending", "error");
        signIn(m_cloud, GDRIVE_CLOUD);
        for (const QJsonValue& fault : faults)
            m_cloud.addFault(fault.toObject());
        const QString path = writeFile(m_files.filePath("movie.mkv"), 3 * 1024 * 1024 + 7, 5);
        const QList<UploadOutcome> outcomes = uploadAll({path}, "/Videos");
        QCOMPARE(outcomes.size(), 1);
        QCOMPARE(int(outcomes[0].ending), ending);
        QCOMPARE(int(outcomes[0].error.kind()), error);
        const QByteArray local = fileBytes(path);
        QCOMPARE(m_cloud.driveFile(kAlice, "movie.mkv") == local, ending == UploadOutcome::Finished);
        if (ending == UploadOutcome::Finished)
            QCOMPARE(outcomes[0].storedPath, QStringLiteral("/Videos/movie.mkv"));
        QVERIFY(!QFile::exists("/tmp/lumen-overwritten"));
        const QJsonObject start = requests(m_cloud, kApi, kUpload).at(0).toObject();
        QCOMPARE(header(start, "X-Upload-Content-Type"), QStringLiteral("video/x-matroska"));
        QCOMPARE(header(start, "X-Upload-Content-Length"), QString::number(local.size()));
        QVERIFY(logged("INF Mime - video/x-matroska"));
        for (const QJsonValue& request : m_cloud.requests()) {
            QVERIFY(request["host"].toString() != "evil.example.com");
            QVERIFY(request["method"].toString() != "PUT" || request["tunnel"].toBool());
            // The session address alone identifies the upload.
            QVERIFY(request["method"].toString() != "PUT" || header(request.toObject(), "Authorization").isEmpty());
        }
    }

private:
    QList<UploadOutcome> uploadAll(const QStringList& paths, const QString& folder)
    {
        return teststate::uploadAll(*m_account, paths, folder);
    }

    // The first of the stand-in's files or users whose field has the value.
    QJsonObject standIn(const QString& list, const QString& query, const QString& field, const QString& value)
    {
        for (const QJsonValue& item : m_cloud.control("GET", "/" + list + "?service=google" + query).value(list).toArray()) {
            if (item[field].toString() == value)
                return item.toObject();
        }
        return {};
    }
    QJsonObject driveItem(const QString& name) { return standIn("files", "&email=" + kAlice, "name", name); }
    QString rootFolder() { return standIn("users", QString(), "email", kAlice)["root_id"].toString(); }

    FakeCloud m_cloud;
    QTemporaryDir m_files;
    std::unique_ptr<TestAccount<GoogleDrive>> m_account;
};

LUMEN_TEST_MAIN(GoogleDriveTest)
#include "tst_googledrive.moc"
