// Token records and web sessions under the profile's key from a real desktop
// keyring: GNOME Keyring's daemon in a private D-Bus session that the test
// command starts (with-keyring). Each step runs in a process of its own, as
// the player and qovi-cloud do; a row's output is every step's lines.
#include "cloudlog.h"
#include "cookiesmanager.h"
#include "googledrive.h"
#include "keyringclient.h"
#include "privatediskcache.h"
#include "profilekey.h"
#include "qovisettings.h"
#include "sealedrecord.h"
#include "testtable.h"
#include "tokenstorage.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QNetworkCookie>
#include <QSettings>
#include <QtTest>

#include <cstdio>
#include <sys/stat.h>

// A secret as the Secret Service passes it: session, parameters, value, type.
struct Secret {
    QDBusObjectPath session;
    QByteArray parameters;
    QByteArray value;
    QString contentType;
};

QDBusArgument& operator<<(QDBusArgument& argument, const Secret& secret)
{
    argument.beginStructure();
    argument << secret.session << secret.parameters << secret.value << secret.contentType;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, Secret& secret)
{
    argument.beginStructure();
    argument >> secret.session >> secret.parameters >> secret.value >> secret.contentType;
    argument.endStructure();
    return argument;
}

Q_DECLARE_METATYPE(Secret)

namespace {

const char* const kSection = "Player";
const char* const kCookieValue = "lumen-cookie-secret";

std::string recordName(const QString& kind)
{
    return TokenStorage().settingName(CLOUD_TYPE(kind.toInt()));
}

QByteArray storedRecord(const QString& kind)
{
    std::vector<unsigned char> bytes;
    if (!qvs::FetchBuffer(kSection, recordName(kind), bytes))
        return {};
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), int(bytes.size()));
}

bool storeRecord(const QString& kind, const QByteArray& bytes)
{
    return qvs::StoreBuffer(kSection, recordName(kind), bytes.constData(), std::size_t(bytes.size()));
}

QDBusMessage secretsCall(const QString& interface, const QString& method, const QVariantList& arguments)
{
    QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.secrets", "/org/freedesktop/secrets",
                                                      interface, method);
    call.setArguments(arguments);
    return QDBusConnection::sessionBus().call(call);
}

const QDBusObjectPath kLogin("/org/freedesktop/secrets/collection/login");

// What the user's password does at the keyring's prompt, without a prompt:
// the daemon (and every client's session with it) stays as it was.
bool unlockKeyring()
{
    qDBusRegisterMetaType<Secret>();
    const QDBusMessage opened = secretsCall("org.freedesktop.Secret.Service", "OpenSession",
                                            {"plain", QVariant::fromValue(QDBusVariant(QString()))});
    const Secret password{opened.arguments().value(1).value<QDBusObjectPath>(), {}, "lumen-test", "text/plain"};
    return secretsCall("org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface", "UnlockWithMasterPassword",
                       {QVariant::fromValue(kLogin), QVariant::fromValue(password)}).type() == QDBusMessage::ReplyMessage;
}

// One step of a child: "op:argument:argument", answering its line.
QString runOp(const QStringList& op)
{
    const TokenStorage tokens;
    const CLOUD_TYPE kind = CLOUD_TYPE(op.value(1).toInt());
    std::string text;
    if (op[0] == "save")
        return QString("save %1").arg(tokens.saveToken(kSection, kind, op.value(2).toStdString()));
    if (op[0] == "read") {
        const bool found = tokens.readToken(kSection, kind, text);
        return QString("read %1 %2").arg(found).arg(QString::fromStdString(text));
    }
    if (op[0] == "remove")
        return QString("remove %1").arg(tokens.removeToken(kSection, kind));
    if (op[0] == "form") {
        const QByteArray stored = storedRecord(op[1]);
        return QString("form ") + (stored.isEmpty() ? "none" : SealedRecord::isSealed(stored) ? "sealed" : "older");
    }
    if (op[0] == "flip") {
        QByteArray stored = storedRecord(op[1]);
        stored[stored.size() / 2] = char(stored[stored.size() / 2] ^ 0x01);
        return QString("flip %1").arg(storeRecord(op[1], stored));
    }
    if (op[0] == "move")
        return QString("move %1").arg(storeRecord(op[2], storedRecord(op[1])));
    if (op[0] == "key" || op[0] == "drop-key") {
        SecretKey key;
        QString why;
        KeyringClient& keyring = KeyringClient::instance();
        keyring.start(op[0] == "key" ? KeyringClient::Request::Read : KeyringClient::Request::Remove,
                      ProfileKey::entryName(), QString());
        const KeyringClient::Answer answer = keyring.take(10000, key, why);
        return op[0] + (answer == KeyringClient::Answer::Key ? " present"
                        : answer == KeyringClient::Answer::Missing || answer == KeyringClient::Answer::Removed ? " missing"
                        : " failed " + why);
    }
    if (op[0].startsWith("cookie")) {
        CookiesManager jar(GoogleDrive::service(), kSection, nullptr);
        QNetworkCookie cookie("HSID", kCookieValue);
        cookie.setDomain(".google.com");
        cookie.setExpirationDate(QDateTime::currentDateTimeUtc().addDays(30));
        if (op[0] == "cookie-save")
            jar.setCookiesFromUrl({cookie}, QUrl("https://accounts.google.com/ServiceLogin"));
        if (op[0] == "cookie-clear")
            jar.clearCookies();
        return QString("%1 %2").arg(op[0]).arg(jar.allJarCookies().value(0).value().constData());
    }
    if (op[0] == "cache")
        return QString("cache ") + (PrivateDiskCache(nullptr).cacheDirectory().isEmpty() ? "none" : "made");
    if (op[0] == "unlock")
        return QString("unlock %1").arg(unlockKeyring());
    if (op[0] == "at") { // both children of a step at the same moment
        QThread::msleep(ulong(qMax<qint64>(0, op[1].toLongLong() - QDateTime::currentMSecsSinceEpoch())));
        return QString();
    }
    QThread::msleep(op.value(1).toULong()); // "wait:ms"
    return "waited";
}

int runChild(const QStringList& ops)
{
    CloudLog::instance()->open("stderr", LOG_ALL, false);
    QElapsedTimer clock; // "elapsed": whether the step before waited for the keyring's bound
    qint64 last = 0;
    for (const QString& op : ops) {
        clock.start();
        const QString line = op == "elapsed" ? QString(last < 1000 ? "no wait" : "waited") : runOp(op.split(':'));
        last = clock.elapsed();
        if (!line.isEmpty())
            std::printf("%s\n", qPrintable(line));
        std::fflush(stdout);
    }
    return 0;
}

int mode(const QString& path)
{
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777) : -1;
}

} // namespace

class KeyringTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY2(KeyringClient::hasSession(), "run by with-keyring, in a session of its own");
        m_home = qEnvironmentVariable("HOME");
    }

    void init()
    {
        for (const char* folder : {"config", "cache"})
            QDir(m_home + '/' + folder).removeRecursively();
        QDir(m_copy.path()).removeRecursively();
        QDir().mkpath(m_copy.path());
        m_copied = false;
        QString log;
        QCOMPARE(step("drop-key", log), QString("drop-key missing"));
    }

    void secrets_data()
    {
        // steps: " ; " between processes; output: " | " between lines; logged: part
        // of the steps' log, or nothing that says "refused"
        const auto row = testtable::table<QString, QString, QString>("steps", "output", "logged");
        const QString keyring = "Dropbox: tokens protected by the desktop keyring";
        const QString program = "Dropbox: tokens protected only by a key in the program (no keyring available)";
        const QString refused = "Token store: the record \"QoviCloud Dropbox\" of \"Player\" is refused: ";
        row("first use creates the key", "key ; save:0:T form:0 key ; read:0",
            "key missing | save 1 | form sealed | key present | read 1 T", "");
        row("older record migrates and still signs in", "parent:older ; status ; form:0 read:0",
            "Dropbox: connected as alice@example.com | " + keyring + " | form sealed | read 1 T", "");
        row("one byte flipped", "save:0:T flip:0 ; read:0", "save 1 | flip 1 | read 1 ",
            refused + "it fails authentication");
        row("record of another account", "save:1:T move:1:0 ; read:0 read:1", "save 1 | move 1 | read 1  | read 1 T",
            refused + "it fails authentication");
        row("key removed", "save:0:T drop-key ; read:0", "save 1 | drop-key missing | read 1 ",
            refused + "its key is not to be had (the desktop keyring holds no key for this profile)");
        row("no D-Bus session", "nobus save:0:T elapsed save:1:T read:0 form:0 ; nobus status",
            "save 1 | no wait | save 1 | read 1 T | form older | Dropbox: not connected | " + program,
            "Token store: no desktop keyring answers (no D-Bus session); tokens are protected only by a key in the program");
        row("locked keyring, unlocked later", "parent:lock ; save:0:T form:0 unlock wait:5100 save:0:T form:0",
            "save 1 | form older | unlock 1 | waited | save 1 | form sealed", "(the desktop keyring: it is locked)");
        row("two processes write at once", "at:soon save:0:A & at:soon save:1:B ; read:0 read:1",
            "save 1 | save 1 | read 1 A | read 1 B", "");
        row("connected profile copied to another keyring", "save:0:T ; parent:older ; copy status ; copy read:0",
            "save 1 | Dropbox: not connected | " + keyring + " | read 1 ", refused + "it fails authentication");
        row("web sessions sealed", "cookie-save ; cookie-load ; parent:cookie-file",
            QString("cookie-save %1 | cookie-load %1 | cookie file holds the value 0").arg(kCookieValue), "");
        row("sign-out removes the key with its last user",
            "save:0:A save:1:B cookie-save ; remove:0 key ; remove:1 key ; cookie-clear key",
            QString("save 1 | save 1 | cookie-save %1 | remove 1 | key present | "
                    "remove 1 | key present | cookie-clear  | key missing").arg(kCookieValue), "");
        row("owner-only folders and files", "save:0:T cookie-save cache ; parent:modes",
            QString("save 1 | cookie-save %1 | cache made | wider than owner-only: none").arg(kCookieValue), "");
    }

    void secrets()
    {
        const auto [steps, output, logged] = testtable::fetch<QString, QString, QString>("steps", "output", "logged");
        QStringList lines;
        QString log;
        for (const QString& each : steps.split(" ; ")) {
            const QString out = step(each, log);
            if (!out.isEmpty())
                lines << out;
        }
        QCOMPARE(lines.join(" | "), output);
        if (logged.isEmpty())
            QVERIFY2(!log.contains("refused"), qPrintable(log));
        else
            QVERIFY2(log.contains(logged) && log.count(logged) == 1, qPrintable(log));
    }

private:
    // Runs a step: a child's operations, qovi-cloud status ("status") or a
    // change the test makes itself ("parent:..."); "a & b" runs two children at
    // once. Answers the lines printed, collecting the log.
    QString step(const QString& step, QString& log)
    {
        const QString config = (m_copied ? m_copy.path() : m_home) + "/config";
        if (step == "parent:older") { // a profile signed in to Dropbox, its record in the older form
            QSettings cookies(config + "/Qovi\\Settings/Player.conf", QSettings::IniFormat);
            cookies.setValue("db/blid", "blid=session; expires=Fri, 01-Jan-2100 00:00:00 GMT; domain=.dropbox.com; path=/");
            return qvs::StoreUTF8String(kSection, "dbEmail", "alice@example.com")
                && (storedRecord("0").size() || storeRecord("0", QByteArray::fromStdString(TokenStorage().encrypt("T"))))
                ? "" : "not stored";
        }
        if (step == "parent:lock") {
            const QVariant login = QVariant::fromValue(QList<QDBusObjectPath>{kLogin});
            return secretsCall("org.freedesktop.Secret.Service", "Lock", {login}).type() == QDBusMessage::ReplyMessage
                ? "" : "not locked";
        }
        if (step == "parent:cookie-file") {
            QFile file(config + "/Qovi\\Settings/Player.conf");
            const bool holds = file.open(QIODevice::ReadOnly) && file.readAll().contains(kCookieValue);
            return QString("cookie file holds the value %1").arg(holds);
        }
        if (step == "parent:modes") {
            QStringList wider;
            for (const QString& root : {config, m_home + "/cache"}) {
                QDirIterator entries(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
                while (entries.hasNext()) {
                    const QString path = entries.next();
                    if (mode(path) != (entries.fileInfo().isDir() ? 0700 : 0600))
                        wider << QString("%1 %2").arg(path.mid(m_home.size())).arg(mode(path), 0, 8);
                }
            }
            return "wider than owner-only: " + (wider.isEmpty() ? QString("none") : wider.join(", "));
        }
        if (step.startsWith("copy ") && !m_copied) {
            m_copied = QProcess::execute("cp", {"-a", m_home + "/config", m_copy.path() + "/config"}) == 0;
            if (!m_copied)
                return "not copied";
        }
        QProcess first;
        QProcess second;
        const QString soon = "at:" + QString::number(QDateTime::currentMSecsSinceEpoch() + 500);
        const QStringList both = QString(step).replace("at:soon", soon).split(" & ");
        start(first, both[0]);
        if (both.size() > 1)
            start(second, both[1]);
        QString out = child(first, both[0], log);
        if (both.size() > 1)
            out += " | " + child(second, both[1], log);
        return out;
    }

    QString child(QProcess& process, const QString& step, QString& log)
    {
        if (!process.waitForFinished(60000))
            return "no end: " + step;
        log += QString::fromUtf8(process.readAllStandardError());
        QStringList lines = QString::fromUtf8(process.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        if (step.endsWith("status")) // the lines about Dropbox
            lines = lines.filter(QRegularExpression("^Dropbox: (connected|not connected|tokens)"));
        return lines.join(" | ");
    }

    void start(QProcess& process, QString step)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        QStringList command{QCoreApplication::applicationFilePath(), "--child"};
        if (step.startsWith("nobus ")) {
            environment.remove("DBUS_SESSION_BUS_ADDRESS");
            step.remove(0, 6);
        } else if (step.startsWith("copy ")) { // another home, another keyring
            environment.insert("HOME", m_copy.path());
            environment.insert("XDG_RUNTIME_DIR", m_copy.path() + "/run");
            for (const char* folder : {"config", "cache", "data"})
                environment.insert(QString("XDG_%1_HOME").arg(folder).toUpper(), m_copy.path() + '/' + folder);
            command.prepend(WITH_KEYRING);
            step.remove(0, 5);
        }
        if (step == "status")
            command = QStringList{command.first() == WITH_KEYRING ? WITH_KEYRING : "", QOVI_CLOUD, "status"};
        command.removeAll("");
        process.setProcessEnvironment(environment);
        const QString program = command.takeFirst();
        process.start(program, command + (step == "status" ? QStringList() : step.split(' ')));
    }

    QString m_home;
    QTemporaryDir m_copy; // another user's home, with a keyring of its own
    bool m_copied = false;
};

int main(int argc, char** argv)
{
    if (argc > 1 && qstrcmp(argv[1], "--child") == 0) {
        QCoreApplication app(argc, argv);
        return runChild(QCoreApplication::arguments().mid(2));
    }
    QCoreApplication app(argc, argv);
    KeyringTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_keyring.moc"
