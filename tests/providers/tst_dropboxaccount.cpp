// A signed-in Dropbox account against the local stand-in of Dropbox, in the
// real web engine: signing out through the service's log-out page in each
// mode, a grant the user revoked, and the account's free space.
#include "fakecloud.h"
#include "providertest.h"
#include "testdropbox.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>
#include <QWebView>

using namespace providertest;

namespace {

const QString kAlice = QString::fromLatin1(FakeCloud::kDropboxUser);
const QString kApiHost = QStringLiteral("api.dropboxapi.com");

} // namespace

class DropboxAccountTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void signOutThroughTheLogoutPage_data();
    void signOutThroughTheLogoutPage();
    void revokedGrantIsProviderErrorTwo();
    void revokedGrantDuringASpaceQueryDisconnects();
    void freeSpaceOfTheUser();

private:
    FakeCloud m_cloud;
    std::unique_ptr<TestDropBox> m_account;
    QString m_token;
};

void DropboxAccountTest::initTestCase()
{
    prepareProcess();
    QVERIFY(m_cloud.start());
}

void DropboxAccountTest::init()
{
    m_cloud.reset();
    // Pages that act by themselves would sign the user in again.
    m_cloud.control("POST", QStringLiteral("/auto"), {{"enabled", false}});
    clearStoredState();
    openLog();
    m_token = signInDirectly(m_cloud, kAlice);
    m_account = std::make_unique<TestDropBox>();
    QVERIFY(m_account->isConnected(false));
}

void DropboxAccountTest::cleanup()
{
    m_account.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    clearStoredState();
}

void DropboxAccountTest::signOutThroughTheLogoutPage_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("modeName");
    QTest::addColumn<bool>("disconnects");
    QTest::addColumn<bool>("closesTheWindow");
    QTest::newRow("chooser") << 0 << "CHOOSER_OPENING_MODE" << true << true;
    QTest::newRow("uploading") << 1 << "UPLOADING_MODE" << false << false;
    QTest::newRow("connecting") << 2 << "CONNECTING_MODE" << true << false;
    QTest::newRow("no mode") << -1 << " ???" << false << false;
}

void DropboxAccountTest::signOutThroughTheLogoutPage()
{
    QFETCH(int, mode);
    QFETCH(QString, modeName);
    QFETCH(bool, disconnects);
    QFETCH(bool, closesTheWindow);
    m_account->setMode(mode);
    m_account->view()->show();
    QSignalSpy logout(m_account.get(), &CloudBase::userLogout);
    QSignalSpy disconnected(m_account.get(), &CloudBase::cloudDisconnected);

    m_account->view()->setUrl(QUrl(QStringLiteral("https://www.dropbox.com/logout")));

    QTRY_COMPARE_WITH_TIMEOUT(logout.count(), 1, 10000);
    QCOMPARE(logCount(QStringLiteral("Dropbox: onLoggedOut")), 1);
    QCOMPARE(logCount(QStringLiteral("Current mode is "), modeName), 1);
    // The jar forgets the web session whatever the mode.
    QVERIFY(!hasSignInCookie());
    QCOMPARE(disconnected.count(), disconnects ? 1 : 0);
    QCOMPARE(storedTokenRecord().isEmpty(), disconnects);
    QCOMPARE(storedEmail(), disconnects ? QString() : kAlice);
    QCOMPARE(m_account->view()->isVisible(), !closesTheWindow);
    QCOMPARE(m_account->mode(), mode);
    QVERIFY(!m_account->isConnected(false));
}

void DropboxAccountTest::revokedGrantIsProviderErrorTwo()
{
    int questions = 0;
    connect(m_account.get(), &CloudBase::failedRetry, this, [&questions] { ++questions; });
    QVERIFY(m_account->checkForRevokingApp());
    QCOMPARE(m_account->lastCloudError(), 0);
    QCOMPARE(logCount(QStringLiteral("Dropbox: checkForRevokingApp - It's Ok")), 1);

    m_cloud.control("POST", QStringLiteral("/revoke"), {{"service", "dropbox"}, {"email", kAlice}});
    QVERIFY(!m_account->checkForRevokingApp());
    QCOMPARE(m_account->lastCloudError(), 2);
    QVERIFY(logInOrder({QStringLiteral("Dropbox: returned error:"),
                        QStringLiteral("Authorization issue (invalid_access_token), need to refresh token"),
                        QStringLiteral("Dropbox: checkForRevokingApp - Can't to send request")}));
    // Nothing to retry until the user signs in again.
    QCOMPARE(questions, 0);

    // Both checks asked about the stored account, with the stored token.
    const QJsonArray asked = requests(m_cloud, kApiHost, QStringLiteral("/2/users/get_account"));
    QCOMPARE(asked.size(), 2);
    const QString accountId = dropboxUser(m_cloud, kAlice).value("account_id").toString();
    for (const QJsonValue& request : asked) {
        QCOMPARE(body(request.toObject()), QStringLiteral("{\"account_id\": \"%1\"}").arg(accountId).toUtf8());
        QCOMPARE(header(request.toObject(), "Authorization"), QStringLiteral("Bearer ") + m_token);
        QCOMPARE(header(request.toObject(), "Content-Type"), QStringLiteral("application/json"));
    }
}

void DropboxAccountTest::revokedGrantDuringASpaceQueryDisconnects()
{
    m_cloud.control("POST", QStringLiteral("/revoke"), {{"service", "dropbox"}, {"email", kAlice}});
    QSignalSpy disconnected(m_account.get(), &CloudBase::cloudDisconnected);

    QCOMPARE(m_account->getFreeSpace(true), CloudBase::kUnknownSpace);

    QCOMPARE(m_account->lastCloudError(), 2);
    QCOMPARE(disconnected.count(), 1);
    QCOMPARE(storedTokenRecord(), QString());
    QCOMPARE(storedEmail(), QString());
    QVERIFY(!hasSignInCookie());
    // Without a web session the sign-in starts again from the chooser page.
    QVERIFY(logInOrder({QStringLiteral("Dropbox: clean cookies, token, email"),
                        QStringLiteral("Dropbox: opening chooser")}));
}

void DropboxAccountTest::freeSpaceOfTheUser()
{
    const QJsonObject alice = dropboxUser(m_cloud, kAlice);
    const auto allocated = quint64(alice.value("allocated").toDouble());
    const auto used = quint64(alice.value("used").toDouble());
    QVERIFY(allocated > used && used > 0);

    QCOMPARE(m_account->getFreeSpace(true), allocated - used);
    QCOMPARE(logCount(QStringLiteral("Disk space: used = %1, free = %2").arg(used).arg(allocated - used)), 1);

    // A new file counts at once: space answers are not taken from the cache.
    m_cloud.control("POST", QStringLiteral("/files"),
                    {{"service", "dropbox"}, {"email", kAlice}, {"path", "/Videos/new.mp4"}, {"size", 4096}});
    QSignalSpy received(m_account.get(), &CloudBase::freeSpaceReceived);
    QCOMPARE(m_account->getFreeSpace(false), allocated - used); // the last known value
    QTRY_COMPARE_WITH_TIMEOUT(received.count(), 1, 10000);
    QCOMPARE(received.at(0).at(0).toULongLong(), allocated - used - 4096);

    // A POST without a body and without a content type, with the bearer token.
    const QJsonArray asked = requests(m_cloud, kApiHost, QStringLiteral("/2/users/get_space_usage"));
    QCOMPARE(asked.size(), 2);
    for (const QJsonValue& request : asked) {
        QCOMPARE(request.toObject().value("method").toString(), QStringLiteral("POST"));
        QCOMPARE(body(request.toObject()), QByteArray());
        QCOMPARE(header(request.toObject(), "Content-Type"), QString());
        QCOMPARE(header(request.toObject(), "Authorization"), QStringLiteral("Bearer ") + m_token);
    }
}

QTEST_MAIN(DropboxAccountTest)
#include "tst_dropboxaccount.moc"
