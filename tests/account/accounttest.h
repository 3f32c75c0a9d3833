#pragma once

#include <QApplication>
#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include "storedstate.h"

class FakeCloud;

// What the account tests share: a clean stored state (settings, cookies,
// cache, all in the test-mode locations), a log file per case, the three
// stored facts of a sign-in, and the stand-in's request record.
namespace accounttest {

extern const QString kAlice; // the user the stand-in knows from the start

// A home folder of the process's own, set before anything looks for one:
// the test-mode locations under it are then this process's alone, not
// shared with other test programs running at the same time.
class PrivateHome
{
public:
    PrivateHome();

private:
    QTemporaryDir m_folder;
};

using teststate::clearStoredState;
using teststate::logContains;
using teststate::logCount;
using teststate::logHasLineStartingWith;
using teststate::logInOrder;
using teststate::logMessages;
using teststate::prepareProcess;
using teststate::storeEmail;
using teststate::storeSignInCookie;

// Opens the process-wide log on a new file for the current case.
inline void openLog()
{
    teststate::openLog();
}

// The three things a connected account has stored.
QString issueToken(FakeCloud& cloud, const QString& service = QStringLiteral("dropbox"),
                   const QString& email = kAlice);
void storeToken(const QString& accessToken);
bool hasStoredToken();
// All three for the user, with a fresh token; answers the token.
QString signIn(FakeCloud& cloud, const QString& email = kAlice);

// The stand-in's record for one host and path, once every request in it
// has been answered.
inline QJsonArray answeredRequests(FakeCloud& cloud, const QString& host, const QString& path = QString())
{
    return teststate::requests(cloud, host, path);
}
inline QString header(const QJsonObject& request, const QByteArray& name)
{
    return teststate::header(request, QString::fromLatin1(name));
}

QByteArray patternBytes(int size, int seed);

} // namespace accounttest

// QTEST_MAIN with a private home folder.
#define ACCOUNT_TEST_MAIN(TestObject)                                                                                  \
    int main(int argc, char** argv)                                                                                    \
    {                                                                                                                  \
        accounttest::PrivateHome home;                                                                                 \
        QApplication app(argc, argv);                                                                                  \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                                       \
        TestObject test;                                                                                               \
        QTEST_SET_MAIN_SOURCE_PATH                                                                                     \
        return QTest::qExec(&test, argc, argv);                                                                        \
    }
