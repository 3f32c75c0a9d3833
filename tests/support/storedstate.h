#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

class FakeCloud;

// What the account-level tests share: a clean stored state in the test-mode
// locations, a log file per test case, the stored facts of a Dropbox sign-in
// as the player keeps them, and the stand-in's request record.
namespace teststate {

extern const char* const kApplication; // "Player", as the plug-in names it

// Test-mode locations, the accounts' metatypes, nothing stored.
void prepareProcess();
// Token records, e-mail addresses, cookies and the HTTP cache.
void clearStoredState();

// Opens the process-wide log on a new file for the current test case, or
// for a part of it.
void openLog(const QString& part = QString());
// The messages of the current log, one a line, without level and stamp.
QStringList logMessages();
bool logContains(const QString& message);
int logCount(const QString& message);
// A line begun by one message and ended by another carries the second
// message's time stamp between the two: "first<stamp>second".
int logCount(const QString& first, const QString& second);
bool logHasLineStartingWith(const QString& prefix);
// Whether the log holds these messages in this order (others may come between).
bool logInOrder(const QStringList& expected);

// The Dropbox account's stored facts.
void storeDropboxToken(const QString& accessToken, const QString& accountId = QString());
QString storedTokenRecord();
void storeEmail(const QString& email);
QString storedEmail();
void storeSignInCookie();
bool hasSignInCookie();
// A signed-in Dropbox account without the web: a token the stand-in issued,
// stored as the provider stores it, the e-mail address and a sign-in
// cookie. Answers the access token.
QString signInDirectly(FakeCloud& cloud, const QString& email);

// The requests the stand-in received for one host and path, once each has
// been answered; the tunnels' CONNECT lines are left out.
QJsonArray requests(FakeCloud& cloud, const QString& host, const QString& path = QString());
QString header(const QJsonObject& request, const QString& name);
QByteArray body(const QJsonObject& request);

} // namespace teststate
