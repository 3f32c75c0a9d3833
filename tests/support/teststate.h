#pragma once

#include "cloudtypes.h"
#include "fakecloud.h"
#include "qovisettings.h"
#include "testtable.h"

#include <QApplication>
#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QString>
#include <QStringList>
#include <QTest>

#include <functional>

class CloudBase;
struct UploadOutcome;

// What the suites share: a clean stored state in the test-mode locations,
// a log file per case, the stored facts of a sign-in as the accounts keep
// them, and the stand-in's record.
namespace teststate {

using testtable::table;
using testtable::fetch;

extern const char* const kApplication; // "Player", as the plug-in names its accounts
extern const QString kAlice;           // a user the stand-in knows from the start

// Test-mode locations, the metatypes of the accounts' signals, nothing stored.
void prepareProcess();
// Token records, e-mail addresses, cookies and the HTTP cache of both accounts.
void clearStoredState();

// A case's start: the stand-in back to its start state, nothing stored, a log of its own.
void startCase(FakeCloud& cloud);
// Opens the process-wide log on a new file for the current case.
void openLog(const QString& part = QString());
// The log's lines as "LVL message" (level tag kept, time stamp dropped).
QStringList logLines();
bool logged(const QString& levelAndMessage);
int logCount(const QString& levelAndMessage);
// Whether these lines come in this order (others may come between).
bool loggedInOrder(const QStringList& expected);

// The stored facts of a sign-in.
void storeToken(CLOUD_TYPE kind, const QByteArray& record);
QByteArray storedToken(CLOUD_TYPE kind);
void storeEmail(CLOUD_TYPE kind, const QString& email);
QString storedEmail(CLOUD_TYPE kind);
void storeSignInCookie(CLOUD_TYPE kind);
// The plug-in's setting of how it signs in: "browser" or "embedded".
void storeSignInRoad(const char* road);
bool hasSignInCookie(CLOUD_TYPE kind);
// The stored token record as JSON (empty when there is none or it is not JSON).
QJsonObject storedRecord(CLOUD_TYPE kind);
// The plug-in's client id (Dropbox's app key) with the service.
QString clientId(CLOUD_TYPE kind);
// The player's settings group "CloudConnect".
qvtl::RefCountedPtr<qvs::QoviSettingsGroup> settingsGroup();
// All three for a user, with tokens the stand-in issued and stored as the
// provider stores them; answers the access token.
QString signIn(FakeCloud& cloud, CLOUD_TYPE kind, const QString& email = kAlice);

// The requests the stand-in received for a host and path, each answered;
// the tunnels' CONNECT lines left out.
QJsonArray requests(FakeCloud& cloud, const QString& host, const QString& path = QString());
QString header(const QJsonObject& request, const QString& name);
QByteArray body(const QJsonObject& request);
// A fault for the stand-in: `kind` on requests to host and path, with more of its fields.
QJsonObject fault(const QString& host, const QString& path, const QString& kind, const QJsonObject& more = {});
// The paths of the pings recorded since they were last cleared.
QStringList pingPaths();

// Bytes that differ from position to position and from seed to seed.
QByteArray pattern(qint64 size, int seed);
// A file's bytes; "<unreadable>" when it cannot be read.
QByteArray fileBytes(const QString& path);
// Writes a file of pattern bytes; answers its path.
QString writeFile(const QString& path, qint64 size, int seed);
// Queues the files on the account and answers how each upload ended, in
// the order they ended (a second ending of one file would show too).
QList<UploadOutcome> uploadAll(CloudBase& account, const QStringList& paths, const QString& folder);
// Runs the event loop until the condition holds or the time is up.
bool waitFor(const std::function<bool()>& condition, int timeoutMs = 20000);
// Waits until a listener can take the port on 127.0.0.1. A connection of
// any program that happened to get it as its own end keeps it for a minute
// after it closed (TIME_WAIT), which would fail a sign-in that needs it.
bool waitForFreePort(quint16 port);

} // namespace teststate

#define LUMEN_TEST_MAIN(TestObject)                                                                                    \
    int main(int argc, char** argv)                                                                                    \
    {                                                                                                                  \
        QApplication app(argc, argv);                                                                                  \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                                       \
        teststate::prepareProcess();                                                                                   \
        TestObject test;                                                                                               \
        QTEST_SET_MAIN_SOURCE_PATH                                                                                     \
        return QTest::qExec(&test, argc, argv);                                                                        \
    }
