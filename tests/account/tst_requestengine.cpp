// The account's request engine against the stand-in of the services: how
// requests are built and kept, when their replies are processed, and what
// each outcome of each request kind leads to.
#include "accounttest.h"
#include "fakecloud.h"
#include "testcloud.h"

#include <QDir>
#include <QElapsedTimer>
#include <QNetworkReply>
#include <QPointer>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

#include <memory>

using namespace accounttest;

namespace {

const QString kApiHost = QStringLiteral("api.dropboxapi.com");
const QString kAccountPath = QStringLiteral("/2/users/get_current_account");
const QString kSpacePath = QStringLiteral("/2/users/get_space_usage");
constexpr quint64 kUnknown = ~quint64(0);

QJsonObject statusFault(const QString& path, int status, int times)
{
    return {{"kind", "status"}, {"path", path}, {"status", status}, {"times", times}};
}

// A 400 whose body says the token is no longer known: the grant is gone.
QJsonObject lostGrantFault(const QString& path, int times)
{
    QJsonObject fault = statusFault(path, 400, times);
    fault.insert("body", QJsonObject{{"error_summary", "invalid_access_token/.."},
                                     {"error", QJsonObject{{".tag", "invalid_access_token"}}}});
    return fault;
}

QUrl urlForKind(int kind)
{
    switch (kind) {
    case FREESPACE_REQUEST: return TestCloud::apiUrl("/2/users/get_space_usage");
    case CHECK_FOLDER_REQUEST: return TestCloud::apiUrl("/2/files/list_folder");
    case UPLOAD_CREATE_FOLDER_REQUEST: return TestCloud::apiUrl("/2/files/create_folder_v2");
    default: return TestCloud::apiUrl("/2/users/get_current_account");
    }
}

QByteArray bodyForKind(int kind)
{
    switch (kind) {
    case CHECK_FOLDER_REQUEST: return "{\"path\": \"\"}";
    case UPLOAD_CREATE_FOLDER_REQUEST: return "{\"path\": \"/Probe\"}";
    default: return QByteArray();
    }
}

} // namespace

class RequestEngineTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void requestBuilding_data();
    void requestBuilding();
    void otherOperationsSendNothing_data();
    void otherOperationsSendNothing();
    void resentRequestKeepsItsBodyAndTakesTheCurrentToken();
    void synchronousRequestIsProcessedBeforeItReturns();
    void timedOutReplyIsNeverProcessed();
    void webTrafficGoesToTheProvider();
    void cachedAnswersAreMarked();
    void badReplyBodies_data();
    void badReplyBodies();
    void failedRetry_data();
    void failedRetry();
    void failedAsynchronousRequestAsksNobody();
    void authenticationAndCancellation_data();
    void authenticationAndCancellation();
    void certificateErrors_data();
    void certificateErrors();

private:
    FakeCloud m_cloud;
    std::unique_ptr<TestCloud> m_account;
};

void RequestEngineTest::initTestCase()
{
    prepareProcess();
    QVERIFY(m_cloud.start(false));
}

void RequestEngineTest::init()
{
    m_cloud.reset();
    clearStoredState();
    openLog();
    m_account = std::make_unique<TestCloud>();
}

void RequestEngineTest::cleanup()
{
    m_account.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void RequestEngineTest::cleanupTestCase()
{
    clearStoredState();
}

void RequestEngineTest::requestBuilding_data()
{
    QTest::addColumn<int>("operation");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("nullBody");
    QTest::addColumn<bool>("json");
    QTest::addColumn<bool>("withToken");
    QTest::addColumn<bool>("jsonType");
    QTest::addColumn<bool>("bodySent");
    QTest::addColumn<bool>("kept");

    const int get = QNetworkAccessManager::GetOperation;
    const int post = QNetworkAccessManager::PostOperation;
    const QByteArray object = "{\"include\": true}";
    QTest::newRow("GET given a JSON body") << get << object << false << true << true << false << false << false;
    QTest::newRow("POST, JSON body") << post << object << false << true << true << true << true << true;
    QTest::newRow("POST, body not marked JSON") << post << object << false << false << true << false << true << true;
    QTest::newRow("POST, empty body") << post << QByteArray("") << false << true << true << false << false << true;
    QTest::newRow("POST, no body") << post << QByteArray() << true << true << true << false << false << false;
    QTest::newRow("POST without a token") << post << object << false << true << false << true << true << true;
}

void RequestEngineTest::requestBuilding()
{
    QFETCH(int, operation);
    QFETCH(QByteArray, body);
    QFETCH(bool, nullBody);
    QFETCH(bool, json);
    QFETCH(bool, withToken);
    QFETCH(bool, jsonType);
    QFETCH(bool, bodySent);
    QFETCH(bool, kept);

    const QString token = withToken ? issueToken(m_cloud) : QString();
    if (withToken)
        storeToken(token);
    QUrl url = TestCloud::apiUrl("/2/users/get_current_account");
    url.setQuery(QStringLiteral("probe=a%20b"));

    QVariant cacheControl;
    connect(m_account->manager(), &QNetworkAccessManager::finished, this,
            [&cacheControl](QNetworkReply* reply) {
                cacheControl = reply->request().attribute(QNetworkRequest::CacheLoadControlAttribute);
            });
    QSignalSpy finished(m_account->manager(), &QNetworkAccessManager::finished);
    const int rc = m_account->sendRequest(QNetworkAccessManager::Operation(operation), url, EMAIL_REQUEST, false,
                                          nullBody ? nullptr : &body, json);
    QCOMPARE(rc, 0);
    // The copy is taken when the request leaves, for as long as it may be re-sent.
    QCOMPARE(m_account->keptBodies().size(), std::size_t(kept ? 1 : 0));
    if (kept)
        QCOMPARE(*m_account->keptBodies().begin()->second, body);
    QVERIFY(finished.wait(5000));
    QCOMPARE(cacheControl.toInt(), int(QNetworkRequest::PreferCache));

    const QJsonArray requests = answeredRequests(m_cloud, kApiHost, kAccountPath);
    QCOMPARE(requests.size(), 1);
    const QJsonObject request = requests.first().toObject();
    QCOMPARE(request.value("method").toString(),
             QString::fromLatin1(operation == QNetworkAccessManager::GetOperation ? "GET" : "POST"));
    QCOMPARE(header(request, "Authorization").trimmed(), (QStringLiteral("Bearer ") + token).trimmed());
    QCOMPARE(header(request, "Content-Type") == QLatin1String("application/json"), jsonType);
    QCOMPARE(request.value("body_size").toInt(), bodySent ? body.size() : 0);
    if (bodySent)
        QCOMPARE(request.value("body").toString().toUtf8(), body);

    const QString method = operation == QNetworkAccessManager::GetOperation ? "GET" : "POST";
    QVERIFY(logContains(QStringLiteral("Dropbox: EMAIL_REQUEST, %1, ASync, "
                                       "https://api.dropboxapi.com/2/users/get_current_account?probe=a b")
                            .arg(method)));
}

void RequestEngineTest::otherOperationsSendNothing_data()
{
    QTest::addColumn<int>("operation");
    QTest::addColumn<bool>("sync");
    QTest::newRow("PUT") << int(QNetworkAccessManager::PutOperation) << false;
    QTest::newRow("DELETE, synchronous") << int(QNetworkAccessManager::DeleteOperation) << true;
    QTest::newRow("HEAD") << int(QNetworkAccessManager::HeadOperation) << false;
    QTest::newRow("custom") << int(QNetworkAccessManager::CustomOperation) << true;
}

void RequestEngineTest::otherOperationsSendNothing()
{
    QFETCH(int, operation);
    QFETCH(bool, sync);
    storeToken(issueToken(m_cloud));
    const QByteArray body = "{\"path\": \"\"}";
    const QStringList before = logMessages();

    QCOMPARE(m_account->sendRequest(QNetworkAccessManager::Operation(operation),
                                    TestCloud::apiUrl("/2/users/get_current_account"), EMAIL_REQUEST, sync, &body, true),
             99);
    QCOMPARE(logMessages(), before);
    QVERIFY(m_account->keptBodies().empty());
    QVERIFY(m_account->manager()->findChildren<QNetworkReply*>().isEmpty());

    // The stand-in saw nothing: a request sent afterwards is the only one.
    QSignalSpy finished(m_account->manager(), &QNetworkAccessManager::finished);
    QCOMPARE(m_account->sendRequest(QNetworkAccessManager::PostOperation,
                                    TestCloud::apiUrl("/2/users/get_current_account"), EMAIL_REQUEST, false, nullptr,
                                    false),
             0);
    QVERIFY(finished.wait(5000));
    const QJsonArray requests = answeredRequests(m_cloud, kApiHost);
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.first().toObject().value("method").toString(), QStringLiteral("POST"));
}

void RequestEngineTest::resentRequestKeepsItsBodyAndTakesTheCurrentToken()
{
    const QString first = issueToken(m_cloud);
    const QString second = issueToken(m_cloud);
    QVERIFY(first != second);
    storeToken(first);
    m_cloud.addFault(statusFault(QStringLiteral("/2/files/create_folder_v2"), 500, 1));

    int asked = 0;
    connect(m_account.get(), &CloudBase::failedRetry, this, [&asked, &second](const QString&, bool& retry) {
        storeToken(second); // the user signed in again meanwhile
        retry = ++asked == 1;
    });
    const QByteArray body = "{\"path\": \"/Resent\", \"autorename\": false}";
    const int rc = m_account->sendRequest(QNetworkAccessManager::PostOperation,
                                          TestCloud::apiUrl("/2/files/create_folder_v2"),
                                          UPLOAD_CREATE_FOLDER_REQUEST, true, &body, true);
    QCOMPARE(rc, int(QNetworkReply::InternalServerError)); // the first request's outcome
    QCOMPARE(asked, 1);

    const QJsonArray requests = answeredRequests(m_cloud, kApiHost, QStringLiteral("/2/files/create_folder_v2"));
    QCOMPARE(requests.size(), 2);
    QCOMPARE(requests.at(0).toObject().value("status").toInt(), 500);
    QCOMPARE(requests.at(1).toObject().value("status").toInt(), 200);
    for (const QJsonValue& request : requests) {
        QCOMPARE(request.toObject().value("body").toString().toUtf8(), body);
        QCOMPARE(header(request.toObject(), "Content-Type"), QStringLiteral("application/json"));
    }
    QCOMPARE(header(requests.at(0).toObject(), "Authorization"), QStringLiteral("Bearer ") + first);
    QCOMPARE(header(requests.at(1).toObject(), "Authorization"), QStringLiteral("Bearer ") + second);
    // Taken out for the second request, dropped when that one succeeded.
    QVERIFY(m_account->keptBodies().empty());
}

void RequestEngineTest::synchronousRequestIsProcessedBeforeItReturns()
{
    storeToken(issueToken(m_cloud));
    QCOMPARE(m_account->readEmail(), QString());
    QStringList announced;
    QString storedWhenAnnounced;
    connect(m_account.get(), &CloudBase::connectedToCloud, this,
            [&](CLOUD_TYPE type, const QString& email) {
                announced << QStringLiteral("%1 %2").arg(int(type)).arg(email);
                storedWhenAnnounced = m_account->readEmail();
            });

    QVERIFY(m_account->requestUserEmail());
    // Nothing else ran since: the nested wait already processed the reply.
    QCOMPARE(announced, QStringList{QStringLiteral("0 ") + kAlice});
    QCOMPARE(storedWhenAnnounced, kAlice);
    QCOMPARE(m_account->readEmail(), kAlice);
    QCOMPARE(m_account->lastCloudError(), 0);
    QVERIFY(logInOrder({QStringLiteral("Dropbox: requestUserEmail"),
                        QStringLiteral("Dropbox: EMAIL_REQUEST, POST, Sync, "
                                       "https://api.dropboxapi.com/2/users/get_current_account"),
                        QStringLiteral("Dropbox: processReplyFinished for EMAIL_REQUEST - ok"),
                        QStringLiteral("Successfully"), QStringLiteral("Dropbox: handleEmailReply"),
                        QStringLiteral("Dropbox: Got email alice@example.com"),
                        QStringLiteral("Dropbox: emit signal connectedToCloud")}));
    // The wait released its reply.
    QTRY_VERIFY(m_account->manager()->findChildren<QNetworkReply*>().isEmpty());
}

void RequestEngineTest::timedOutReplyIsNeverProcessed()
{
    storeToken(issueToken(m_cloud));
    m_cloud.addFault({{"kind", "delay"}, {"path", kAccountPath}, {"seconds", 1.0}, {"times", 1}});
    QSignalSpy connected(m_account.get(), &CloudBase::connectedToCloud);

    QCOMPARE(m_account->sendRequest(QNetworkAccessManager::PostOperation,
                                    TestCloud::apiUrl("/2/users/get_current_account"), EMAIL_REQUEST, false, nullptr,
                                    false),
             0);
    QPointer<QNetworkReply> reply = m_account->replyInFlight(EMAIL_REQUEST);
    QVERIFY(reply);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(m_account->waitForReply(reply, 200), int(QNetworkReply::TimeoutError));
    QVERIFY2(timer.elapsed() < 900, "the wait ended with its timer, not with the answer");
    QTRY_VERIFY(reply.isNull()); // released, and so aborted

    // Past the moment the stand-in answers: still nothing processed.
    QTest::qWait(1000);
    QVERIFY(!logHasLineStartingWith(QStringLiteral("Dropbox: processReplyFinished")));
    QVERIFY(m_account->authorizationReplies.isEmpty());
    QCOMPARE(connected.size(), 0);
    QCOMPARE(m_account->readEmail(), QString());

    // The time-out left no state behind for the next wait.
    QVERIFY(m_account->requestUserEmail());
    QCOMPARE(connected.size(), 1);
    QVERIFY(!logContains(QStringLiteral("Time out flag is in invalid state, something wrong in logic!")));
}

void RequestEngineTest::webTrafficGoesToTheProvider()
{
    const QString page = QStringLiteral(
        "<html><body><script>"
        "window.location.href = 'qovi://cloud_callback#access_token=t0k3n&uid=42';"
        "</script></body></html>");
    m_cloud.control("POST", QStringLiteral("/hosts"),
                    {{"host", "signin.lumen-test.example"}, {"content_type", "text/html"}, {"body", page}});

    m_account->view()->setUrl(QUrl(QStringLiteral("http://signin.lumen-test.example/start")));
    const auto& seen = m_account->authorizationReplies;
    QTRY_VERIFY_WITH_TIMEOUT(std::any_of(seen.begin(), seen.end(),
                                         [](const TestCloud::AuthorizationReply& r) { return r.error != 0; }),
                             10000);
    QCOMPARE(seen.first().error, 0);
    QCOMPARE(seen.first().url, QStringLiteral("http://signin.lumen-test.example/start"));
    const auto callback = std::find_if(seen.begin(), seen.end(),
                                       [](const TestCloud::AuthorizationReply& r) { return r.error != 0; });
    QCOMPARE(callback->error, int(QNetworkReply::ProtocolUnknownError));
    QCOMPARE(callback->url, QStringLiteral("qovi://cloud_callback#access_token=t0k3n&uid=42"));

    // A reply of the account's manager that no request kind or task claims
    // is web traffic too, whatever sent it.
    const int before = seen.size();
    QNetworkReply* direct =
        m_account->manager()->get(QNetworkRequest(QUrl(QStringLiteral("http://signin.lumen-test.example/other"))));
    QTRY_COMPARE(seen.size(), before + 1);
    QCOMPARE(seen.last().error, 0);
    QCOMPARE(seen.last().url, QStringLiteral("http://signin.lumen-test.example/other"));
    delete direct; // not the engine's to release

    QVERIFY(!logHasLineStartingWith(QStringLiteral("Dropbox: processReplyFinished")));
}

void RequestEngineTest::cachedAnswersAreMarked()
{
    // Drive's account information is a GET with a validator: the kind of
    // answer the account's disk cache can give again.
    storeToken(issueToken(m_cloud, QStringLiteral("google")));
    const QUrl about(QStringLiteral("https://www.googleapis.com/drive/v3/about?fields=user"));
    QSignalSpy connected(m_account.get(), &CloudBase::connectedToCloud);

    QCOMPARE(m_account->sendRequest(QNetworkAccessManager::GetOperation, about, EMAIL_REQUEST, true, nullptr, false),
             0);
    QCOMPARE(m_account->sendRequest(QNetworkAccessManager::GetOperation, about, EMAIL_REQUEST, true, nullptr, false),
             0);

    QVERIFY(logInOrder({QStringLiteral("Dropbox: processReplyFinished for EMAIL_REQUEST - ok"),
                        QStringLiteral("Dropbox: processReplyFinished for EMAIL_REQUEST - ok (from cache)")}));
    QCOMPARE(logCount(QStringLiteral("Dropbox: processReplyFinished for EMAIL_REQUEST - ok")), 1);
    // Processed like an answer from the network.
    QCOMPARE(connected.size(), 2);
    QCOMPARE(connected.last().at(1).toString(), kAlice);
    const QDir cache(QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + QStringLiteral("/QoviClouds"));
    QVERIFY(!cache.entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
}

void RequestEngineTest::badReplyBodies_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("emailArrives");
    QTest::addColumn<bool>("objectSkipped");
    QTest::addColumn<bool>("errorDecoded");

    QTest::newRow("not JSON") << QByteArray("<html>maintenance</html>") << false << false << true;
    QTest::newRow("JSON array") << QByteArray("[{\"email\": \"alice@example.com\"}]") << false << true << true;
    QTest::newRow("empty") << QByteArray() << false << false << false;
    QByteArray huge = "{\"email\": \"alice@example.com\", \"padding\": \"";
    huge += QByteArray(8 * 1024 * 1024, 'x');
    huge += "\"}";
    QTest::newRow("huge") << huge << true << false << true;
}

void RequestEngineTest::badReplyBodies()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, emailArrives);
    QFETCH(bool, objectSkipped);
    QFETCH(bool, errorDecoded);
    storeToken(issueToken(m_cloud));
    QJsonObject fault = statusFault(kAccountPath, 200, 1);
    fault.insert("body", QString::fromLatin1(body));
    m_cloud.addFault(fault);
    QSignalSpy connected(m_account.get(), &CloudBase::connectedToCloud);

    QVERIFY(m_account->requestUserEmail()); // the request itself went well
    QCOMPARE(connected.size(), emailArrives ? 1 : 0);
    QCOMPARE(m_account->readEmail(), emailArrives ? kAlice : QString());
    QCOMPARE(logContains(QStringLiteral("Email is EMPTY")), !emailArrives);
    QCOMPARE(logContains(QStringLiteral("Json object is empty! Skipped.")), objectSkipped);
    // Only a body is given to the provider to decode.
    QCOMPARE(m_account->lastCloudError() != -1, errorDecoded);
}

void RequestEngineTest::failedRetry_data()
{
    QTest::addColumn<bool>("space");
    QTest::addColumn<QJsonObject>("fault");
    QTest::addColumn<int>("yesAnswers"); // -1: nobody answers
    QTest::addColumn<int>("asked");
    QTest::addColumn<int>("sent");
    QTest::addColumn<bool>("emailStored");

    const QJsonObject failing = statusFault(kAccountPath, 500, 3);
    QTest::newRow("nobody answers") << false << failing << -1 << 1 << 1 << false;
    QTest::newRow("the answer is no") << false << failing << 0 << 1 << 1 << false;
    QTest::newRow("yes twice, then no") << false << failing << 2 << 3 << 3 << false;
    QTest::newRow("yes until it works") << false << statusFault(kAccountPath, 500, 2) << 99 << 2 << 3 << true;
    QTest::newRow("grant lost") << false << lostGrantFault(kAccountPath, 3) << 99 << 0 << 1 << false;
    QTest::newRow("space request") << true << statusFault(kSpacePath, 500, 3) << 99 << 0 << 1 << false;
}

void RequestEngineTest::failedRetry()
{
    QFETCH(bool, space);
    QFETCH(QJsonObject, fault);
    QFETCH(int, yesAnswers);
    QFETCH(int, asked);
    QFETCH(int, sent);
    QFETCH(bool, emailStored);

    storeToken(issueToken(m_cloud));
    storeSignInCookie();
    if (space)
        storeEmail(kAlice);
    m_cloud.addFault(fault);
    QStringList questions;
    if (yesAnswers >= 0) {
        connect(m_account.get(), &CloudBase::failedRetry, this,
                [&questions, yesAnswers](const QString& message, bool& retry) {
                    questions << message;
                    retry = questions.size() <= yesAnswers;
                });
    } else {
        connect(m_account.get(), &CloudBase::failedRetry, this,
                [&questions](const QString& message, bool&) { questions << message; });
    }

    if (space) {
        QCOMPARE(m_account->getFreeSpace(true), kUnknown);
    } else {
        QVERIFY(!m_account->requestUserEmail()); // the first reply's outcome counts
        QCOMPARE(m_account->readEmail(), emailStored ? kAlice : QString());
    }
    QCOMPARE(questions.size(), asked);
    for (const QString& question : qAsConst(questions))
        QVERIFY2(question.startsWith(QLatin1String("Failed for processing EMAIL_REQUEST: ")), qPrintable(question));
    QTest::qWait(100); // a stray re-send would show by now
    QCOMPARE(answeredRequests(m_cloud, kApiHost, space ? kSpacePath : kAccountPath).size(), sent);
}

void RequestEngineTest::failedAsynchronousRequestAsksNobody()
{
    storeToken(issueToken(m_cloud));
    m_cloud.addFault(statusFault(kAccountPath, 500, 1));
    int asked = 0;
    connect(m_account.get(), &CloudBase::failedRetry, this, [&asked](const QString&, bool& retry) {
        ++asked;
        retry = true;
    });
    QSignalSpy finished(m_account->manager(), &QNetworkAccessManager::finished);
    QCOMPARE(m_account->sendRequest(QNetworkAccessManager::PostOperation,
                                    TestCloud::apiUrl("/2/users/get_current_account"), EMAIL_REQUEST, false, nullptr,
                                    false),
             0);
    QVERIFY(finished.wait(5000));
    QTRY_VERIFY(m_account->manager()->findChildren<QNetworkReply*>().isEmpty()); // released
    QTest::qWait(100);
    QCOMPARE(asked, 0);
    QCOMPARE(answeredRequests(m_cloud, kApiHost, kAccountPath).size(), 1);
    QVERIFY(logHasLineStartingWith(QStringLiteral("Dropbox: processReplyFinished for EMAIL_REQUEST - fail, code 401, ")));
}

void RequestEngineTest::authenticationAndCancellation_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("outcome"); // a stand-in fault, or "cancel"
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("newToken");   // whether a refresh gets one
    QTest::addColumn<int>("refreshes");
    QTest::addColumn<bool>("refreshGetsReply");
    QTest::addColumn<int>("asked");
    QTest::addColumn<bool>("askedWithText");
    QTest::addColumn<int>("disconnected");
    QTest::addColumn<QString>("spaceSignal"); // "none", "unknown" or "known"
    QTest::addColumn<int>("sent");            // -1: not checked

    const int none = CloudBase::NO_MODE;
    const int uploading = CloudBase::UPLOADING_MODE;
    // clang-format off
    QTest::newRow("account, expired token")     << int(EMAIL_REQUEST) << "expired" << none << false << 0 << false << 0 << false << 0 << "none" << 1;
    QTest::newRow("account, cancelled")         << int(EMAIL_REQUEST) << "cancel"  << none << false << 0 << false << 0 << false << 0 << "none" << -1;
    QTest::newRow("space, expired token")       << int(FREESPACE_REQUEST) << "expired" << none << false << 1 << true << 0 << false << 0 << "none" << 1;
    QTest::newRow("space, expired, refreshed")  << int(FREESPACE_REQUEST) << "expired" << none << true  << 1 << true << 0 << false << 0 << "known" << 2;
    QTest::newRow("space, grant revoked")       << int(FREESPACE_REQUEST) << "revoked" << none << false << 1 << true << 0 << false << 1 << "none" << 1;
    QTest::newRow("space, cancelled")           << int(FREESPACE_REQUEST) << "cancel"  << none << false << 0 << false << 0 << false << 0 << "unknown" << -1;
    QTest::newRow("refresh, expired token")     << int(REFRESH_TOKEN_REQUEST) << "expired" << none << false << 0 << false << 0 << false << 0 << "none" << 1;
    QTest::newRow("refresh, cancelled")         << int(REFRESH_TOKEN_REQUEST) << "cancel"  << none << false << 0 << false << 1 << true << 0 << "none" << -1;
    QTest::newRow("grant check, expired token") << int(REVOKE_STATUS_REQUEST) << "expired" << none << false << 1 << false << 0 << false << 0 << "none" << 1;
    QTest::newRow("grant check, cancelled")     << int(REVOKE_STATUS_REQUEST) << "cancel"  << none << false << 0 << false << 1 << true << 0 << "none" << -1;
    QTest::newRow("grant check, cancelled while uploading") << int(REVOKE_STATUS_REQUEST) << "cancel" << uploading << false << 0 << false << 1 << false << 0 << "none" << -1;
    QTest::newRow("folder check, expired token") << int(CHECK_FOLDER_REQUEST) << "expired" << none << false << 1 << true << 0 << false << 0 << "none" << 1;
    QTest::newRow("folder check, expired, refreshed") << int(CHECK_FOLDER_REQUEST) << "expired" << none << true << 1 << true << 0 << false << 0 << "none" << 2;
    QTest::newRow("folder check, cancelled")    << int(CHECK_FOLDER_REQUEST) << "cancel"  << none << false << 0 << false << 1 << true << 0 << "none" << -1;
    QTest::newRow("folder creation, expired token") << int(UPLOAD_CREATE_FOLDER_REQUEST) << "expired" << none << false << 1 << true << 0 << false << 0 << "none" << 1;
    QTest::newRow("folder creation, cancelled") << int(UPLOAD_CREATE_FOLDER_REQUEST) << "cancel" << none << false << 0 << false << 1 << true << 0 << "none" << -1;
    // clang-format on
}

void RequestEngineTest::authenticationAndCancellation()
{
    QFETCH(int, kind);
    QFETCH(QString, outcome);
    QFETCH(int, mode);
    QFETCH(bool, newToken);
    QFETCH(int, refreshes);
    QFETCH(bool, refreshGetsReply);
    QFETCH(int, asked);
    QFETCH(bool, askedWithText);
    QFETCH(int, disconnected);
    QFETCH(QString, spaceSignal);
    QFETCH(int, sent);

    signIn(m_cloud);
    if (newToken)
        m_account->refreshAnswer = issueToken(m_cloud);
    m_account->setMode(mode);
    const QUrl url = urlForKind(kind);
    if (outcome != QLatin1String("cancel"))
        m_cloud.addFault({{"kind", outcome}, {"host", url.host()}, {"path", url.path()}, {"times", 1}});

    QStringList questions;
    connect(m_account.get(), &CloudBase::failedRetry, this,
            [&questions](const QString& message, bool&) { questions << message; });
    QSignalSpy space(m_account.get(), &CloudBase::freeSpaceReceived);
    QSignalSpy disconnects(m_account.get(), &CloudBase::cloudDisconnected);
    QSignalSpy finished(m_account->manager(), &QNetworkAccessManager::finished);

    const QByteArray body = bodyForKind(kind);
    QCOMPARE(m_account->sendRequest(QNetworkAccessManager::PostOperation, url, kind, false,
                                    body.isNull() ? nullptr : &body, true),
             0);
    if (outcome == QLatin1String("cancel")) {
        QNetworkReply* reply = m_account->replyInFlight(kind);
        QVERIFY(reply);
        reply->abort();
    }
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), std::max(sent, 1), 5000);
    QTest::qWait(100); // anything that follows from the reply has happened by now

    QCOMPARE(m_account->refreshCalls.size(), refreshes);
    for (const TestCloud::RefreshCall& call : qAsConst(m_account->refreshCalls)) {
        QCOMPARE(call.withReply, refreshGetsReply);
        QCOMPARE(call.kindOfReply, refreshGetsReply ? kind : -1);
    }
    QCOMPARE(questions.size(), asked);
    const QString prefix = QStringLiteral("Failed for processing %1: ").arg(CloudBase::requestTypeName(kind));
    for (const QString& question : qAsConst(questions))
        QCOMPARE(question.startsWith(prefix), askedWithText);
    for (const QString& question : qAsConst(questions))
        QCOMPARE(question.isEmpty(), !askedWithText);
    QCOMPARE(disconnects.size(), disconnected);
    if (disconnected) {
        QVERIFY(!hasStoredToken());
        QVERIFY(m_account->view()->isVisible()); // signing in again is up to the user
    }
    if (spaceSignal == QLatin1String("none")) {
        QCOMPARE(space.size(), 0);
    } else {
        QCOMPARE(space.size(), 1);
        const quint64 value = space.first().at(0).toULongLong();
        QCOMPARE(value == kUnknown, spaceSignal == QLatin1String("unknown"));
    }
    if (sent >= 0)
        QCOMPARE(answeredRequests(m_cloud, url.host(), url.path()).size(), sent);
}

void RequestEngineTest::certificateErrors_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<int>("sslError"); // 0: none expected
    QTest::newRow("valid") << "normal" << 0;
    QTest::newRow("expired") << "expired" << int(QSslError::CertificateExpired);
    QTest::newRow("wrong host") << "wrong_host" << int(QSslError::HostNameMismatch);
}

void RequestEngineTest::certificateErrors()
{
    QFETCH(QString, mode);
    QFETCH(int, sslError);
    storeToken(issueToken(m_cloud));
    m_cloud.control("POST", QStringLiteral("/tls"), {{"mode", mode}, {"hosts", QJsonArray{kApiHost}}});
    int asked = 0;
    connect(m_account.get(), &CloudBase::failedRetry, this, [&asked](const QString&, bool&) { ++asked; });

    const bool ok = m_account->requestUserEmail();
    QCOMPARE(ok, sslError == 0);
    QCOMPARE(m_account->readEmail(), ok ? kAlice : QString());
    QCOMPARE(logContains(QStringLiteral("Dropbox: onNetworkSslErrors")), !ok);
    if (!ok) {
        QVERIFY(logHasLineStartingWith(QStringLiteral("code - %1, message - ").arg(sslError)));
        QVERIFY(logHasLineStartingWith(
            QStringLiteral("Dropbox: processReplyFinished for EMAIL_REQUEST - fail, code %1, ")
                .arg(int(QNetworkReply::SslHandshakeFailedError))));
        QCOMPARE(asked, 1);
    }
}

ACCOUNT_TEST_MAIN(RequestEngineTest)
#include "tst_requestengine.moc"
