// The cookie jar: which responses mean a sign-in or a sign-out, and what
// is kept of the web sessions between runs.
#include "cookiesmanager.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QNetworkCookie>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

namespace {

const QString kApplication = QStringLiteral("Player");
const QUrl kChooser("https://www.dropbox.com/chooser?origin=http%3A%2F%2Fwww.qovi.com&app_key=k");

QNetworkCookie cookie(const QByteArray& name, const QString& domain, bool persistent = true,
                      const QByteArray& value = "v")
{
    QNetworkCookie c(name, value);
    c.setDomain(domain);
    c.setPath(QStringLiteral("/"));
    if (persistent)
        c.setExpirationDate(QDateTime::currentDateTimeUtc().addYears(1));
    return c;
}

QStringList storedKeys(const QString& group)
{
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Qovi\\Settings"), kApplication);
    settings.beginGroup(group);
    return settings.childKeys();
}

void store(const QString& group, const QString& key, const QByteArray& value)
{
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Qovi\\Settings"), kApplication);
    settings.setValue(group + QLatin1Char('/') + key, value);
}

QStringList names(const QList<QNetworkCookie>& cookies)
{
    QStringList list;
    for (const QNetworkCookie& c : cookies)
        list << QString::fromUtf8(c.name());
    return list;
}

} // namespace

class CookiesManagerTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init();

    void dropboxSignIn_data();
    void dropboxSignIn();
    void signInNeedsTheChooserAddress_data();
    void signInNeedsTheChooserAddress();
    void signOutClearsBeforeStoring();
    void googleSavesEveryResponseByNameAndDomain();
    void dropboxKeepsOneCookiePerName();
    void loading();
    void isLoggedIn();
    void unsupportedKindAndEmptyApplication();
    void storedFileIsPrivate();
};

void CookiesManagerTest::init()
{
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Qovi\\Settings"), kApplication);
    settings.clear();
}

void CookiesManagerTest::dropboxSignIn_data()
{
    QTest::addColumn<bool>("blidHeld");
    QTest::addColumn<bool>("blidPersistent");
    QTest::addColumn<bool>("signal");
    QTest::addColumn<QStringList>("stored");
    QTest::newRow("persistent blid") << true << true << true << QStringList{"blid", "locale"};
    QTest::newRow("no blid") << false << true << false << QStringList{"locale"};
    QTest::newRow("blid without expiry") << true << false << false << QStringList{};
}

void CookiesManagerTest::dropboxSignIn()
{
    QFETCH(bool, blidHeld);
    QFETCH(bool, blidPersistent);
    QFETCH(bool, signal);
    QFETCH(QStringList, stored);
    CookiesManager jar(DROPBOX_CLOUD, kApplication, nullptr);
    QList<QNetworkCookie> held{cookie("locale", ".dropbox.com"), cookie("t", ".dropbox.com", false)};
    if (blidHeld)
        held.prepend(cookie("blid", ".dropbox.com", blidPersistent));
    jar.setAllJarCookies(held);
    QSignalSpy loggedIn(&jar, &CookiesManager::loggedIn);

    // The response's own cookie is not part of what the sign-in is judged by.
    QVERIFY(jar.setCookiesFromUrl({cookie("fresh", ".dropbox.com")}, kChooser));
    QCOMPARE(loggedIn.count(), signal ? 1 : 0);
    QStringList keys = storedKeys("db");
    keys.sort();
    QCOMPARE(keys, stored);
    QVERIFY(names(jar.allJarCookies()).contains("fresh"));
}

void CookiesManagerTest::signInNeedsTheChooserAddress_data()
{
    QTest::addColumn<QUrl>("url");
    QTest::addColumn<bool>("signal");
    QTest::newRow("chooser with origin") << kChooser << true;
    QTest::newRow("upper-case address") << QUrl("https://WWW.DROPBOX.COM/Chooser?ORIGIN=x") << true;
    QTest::newRow("chooser without origin") << QUrl("https://www.dropbox.com/chooser?app_key=k") << false;
    QTest::newRow("other path") << QUrl("https://www.dropbox.com/login?origin=x") << false;
    QTest::newRow("other host") << QUrl("https://www.example.com/chooser?origin=x") << false;
}

void CookiesManagerTest::signInNeedsTheChooserAddress()
{
    QFETCH(QUrl, url);
    QFETCH(bool, signal);
    CookiesManager jar(DROPBOX_CLOUD, kApplication, nullptr);
    jar.setAllJarCookies({cookie("blid", ".dropbox.com")});
    QSignalSpy loggedIn(&jar, &CookiesManager::loggedIn);
    jar.setCookiesFromUrl({}, url);
    QCOMPARE(loggedIn.count(), signal ? 1 : 0);
    QCOMPARE(storedKeys("db").isEmpty(), !signal);
}

void CookiesManagerTest::signOutClearsBeforeStoring()
{
    CookiesManager jar(DROPBOX_CLOUD, kApplication, nullptr);
    jar.setAllJarCookies({cookie("blid", ".dropbox.com"), cookie("locale", ".dropbox.com")});
    QVERIFY(jar.saveCookies());
    QVERIFY(jar.isLoggedIn());
    QSignalSpy loggedOut(&jar, &CookiesManager::loggedOut);
    QSignalSpy loggedIn(&jar, &CookiesManager::loggedIn);

    jar.setCookiesFromUrl({cookie("goodbye", ".dropbox.com")}, QUrl("https://www.dropbox.com/logout"));
    QCOMPARE(loggedOut.count(), 1);
    QCOMPARE(loggedIn.count(), 0);
    QVERIFY(storedKeys("db").isEmpty());
    QCOMPARE(names(jar.allJarCookies()), QStringList{"goodbye"});
    QVERIFY(!jar.isLoggedIn());
}

void CookiesManagerTest::googleSavesEveryResponseByNameAndDomain()
{
    CookiesManager jar(GDRIVE_CLOUD, kApplication, nullptr);
    QSignalSpy loggedIn(&jar, &CookiesManager::loggedIn);
    jar.setAllJarCookies({cookie("HSID", ".google.com"), cookie("HSID", "accounts.google.com"),
                          cookie("NID", ".google.com", false)});
    jar.setCookiesFromUrl({}, QUrl("https://www.googleapis.com/drive/v2/about"));
    QStringList keys = storedKeys("gd");
    keys.sort();
    QCOMPARE(keys, (QStringList{"HSID.google.com", "HSIDaccounts.google.com"}));
    QCOMPARE(loggedIn.count(), 0);
    QVERIFY(jar.isLoggedIn());

    // Keys only grow; a sign-out on the accounts host empties the group.
    jar.setAllJarCookies({cookie("SID", ".google.com")});
    jar.setCookiesFromUrl({}, QUrl("https://apis.google.com/js/api.js"));
    QCOMPARE(storedKeys("gd").size(), 3);
    QSignalSpy loggedOut(&jar, &CookiesManager::loggedOut);
    jar.setCookiesFromUrl({}, QUrl("https://accounts.google.com/Logout?continue=x"));
    QCOMPARE(loggedOut.count(), 1);
    QVERIFY(storedKeys("gd").isEmpty());
}

void CookiesManagerTest::dropboxKeepsOneCookiePerName()
{
    CookiesManager jar(DROPBOX_CLOUD, kApplication, nullptr);
    jar.setAllJarCookies({cookie("blid", ".dropbox.com"), cookie("lang", ".dropbox.com", true, "first"),
                          cookie("lang", "www.dropbox.com", true, "second")});
    QVERIFY(jar.saveCookies());
    QCOMPARE(storedKeys("db").size(), 2);
    CookiesManager reloaded(DROPBOX_CLOUD, kApplication, nullptr);
    QStringList values;
    for (const QNetworkCookie& c : reloaded.allJarCookies())
        values << QString::fromUtf8(c.name() + '=' + c.value());
    values.sort();
    QCOMPARE(values, (QStringList{"blid=v", "lang=second"}));
}

void CookiesManagerTest::loading()
{
    const QByteArray locale = cookie("locale", ".dropbox.com").toRawForm(QNetworkCookie::Full);
    store("db", "locale", locale);
    store("db", "blidx", cookie("blidx", ".dropbox.com").toRawForm(QNetworkCookie::Full));
    QVERIFY(CookiesManager(DROPBOX_CLOUD, kApplication, nullptr).allJarCookies().isEmpty());

    store("db", "blid", cookie("blid", ".dropbox.com").toRawForm(QNetworkCookie::Full));
    store("db", "broken", QByteArray());
    QStringList loaded = names(CookiesManager(DROPBOX_CLOUD, kApplication, nullptr).allJarCookies());
    loaded.sort();
    QCOMPARE(loaded, (QStringList{"blid", "blidx", "locale"}));

    store("gd", "SIDx", cookie("SID", "x.google.com").toRawForm(QNetworkCookie::Full));
    QCOMPARE(names(CookiesManager(GDRIVE_CLOUD, kApplication, nullptr).allJarCookies()), QStringList{"SID"});
}

void CookiesManagerTest::isLoggedIn()
{
    CookiesManager dropbox(DROPBOX_CLOUD, kApplication, nullptr);
    CookiesManager drive(GDRIVE_CLOUD, kApplication, nullptr);
    QVERIFY(!dropbox.isLoggedIn() && !drive.isLoggedIn());
    store("gd", "HSIDwww.google.com", "HSID=1");
    QVERIFY(drive.isLoggedIn());
    QVERIFY(!dropbox.isLoggedIn());
    store("db", "xblid", "xblid=1");
    QVERIFY(dropbox.isLoggedIn());
}

void CookiesManagerTest::unsupportedKindAndEmptyApplication()
{
    QCOMPARE(QString(CookiesManager::cookieRule(CLOUD_TYPE(9)).group), QStringLiteral("unsupported"));
    QCOMPARE(QString(CookiesManager::cookieRule(GDRIVE_CLOUD).signInCookie), QStringLiteral("HSID"));

    CookiesManager nameless(DROPBOX_CLOUD, QString(), nullptr);
    nameless.setAllJarCookies({cookie("blid", ".dropbox.com")});
    QVERIFY(!nameless.clearCookies());
    QCOMPARE(nameless.allJarCookies().size(), 1);
    QVERIFY(!nameless.isLoggedIn());
    QVERIFY(!CookiesManager::removeSettingsGroup(kApplication, QString()));
    QVERIFY(!CookiesManager::settingsGroupHasKey(kApplication, QStringLiteral("db"), QString()));

    CookiesManager other(CLOUD_TYPE(5), kApplication, nullptr);
    other.setAllJarCookies({cookie("blid", ".dropbox.com")});
    QVERIFY(!other.saveCookies());
    QVERIFY(!other.isLoggedIn());
}

void CookiesManagerTest::storedFileIsPrivate()
{
    CookiesManager jar(DROPBOX_CLOUD, kApplication, nullptr);
    jar.setAllJarCookies({cookie("blid", ".dropbox.com")});
    QVERIFY(jar.saveCookies());
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Qovi\\Settings"), kApplication);
    settings.sync();
    const QFileInfo file(settings.fileName());
    QVERIFY(file.exists());
    QCOMPARE(file.permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther),
             QFile::Permissions());
}

QTEST_GUILESS_MAIN(CookiesManagerTest)
#include "tst_cookiesmanager.moc"
