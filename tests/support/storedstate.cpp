#include "storedstate.h"

#include "cloudlog.h"
#include "cloudtypes.h"
#include "fakecloud.h"
#include "qovisettings.h"
#include "tokenstorage.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QNetworkCookie>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>

namespace teststate {

const char* const kApplication = "Player";

namespace {

const char* const kEmailKey = "dbEmail";
QString g_logPath;

QTemporaryDir& logFolder()
{
    static QTemporaryDir folder;
    folder.setAutoRemove(qEnvironmentVariableIsEmpty("KEEP_TEST_LOGS"));
    return folder;
}

std::unique_ptr<QSettings> cookieSettings()
{
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Qovi\\Settings"),
                                       QLatin1String(kApplication));
}

void removeFolder(QStandardPaths::StandardLocation location, const QString& name)
{
    const QString base = QStandardPaths::writableLocation(location);
    // Never outside the test-mode locations.
    if (base.contains(QLatin1String(".qttest")))
        QDir(base + QLatin1Char('/') + name).removeRecursively();
}

} // namespace

void prepareProcess()
{
    QStandardPaths::setTestModeEnabled(true);
    qRegisterMetaType<CLOUD_TYPE>("CLOUD_TYPE");
    qRegisterMetaType<QNetworkReply*>();
    clearStoredState();
}

void clearStoredState()
{
    cookieSettings()->clear();
    removeFolder(QStandardPaths::GenericConfigLocation, QStringLiteral("QoviSettings"));
    removeFolder(QStandardPaths::CacheLocation, QStringLiteral("QoviClouds"));
}

void openLog(const QString& part)
{
    QString name = QString::fromLatin1(QTest::currentTestFunction());
    if (QTest::currentDataTag())
        name += QLatin1Char('-') + QString::fromLatin1(QTest::currentDataTag());
    if (!part.isEmpty())
        name += QLatin1Char('-') + part;
    name.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9_-]")), QStringLiteral("_"));
    g_logPath = logFolder().filePath(name + QStringLiteral(".log"));
    QFile::remove(g_logPath);
    CloudLog::instance()->open(QFile::encodeName(g_logPath).constData(), LOG_ALL, false);
}

QStringList logMessages()
{
    static const QRegularExpression prefix(QStringLiteral("^\\[[A-Z]{3}\\] \\d+:\\d\\d:\\d\\d\\.\\d\\d\\d "));
    QFile file(g_logPath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    for (QString& line : lines)
        line.remove(prefix);
    return lines;
}

bool logContains(const QString& message)
{
    return logMessages().contains(message);
}

int logCount(const QString& message)
{
    return logMessages().count(message);
}

int logCount(const QString& first, const QString& second)
{
    const QRegularExpression line(QLatin1Char('^') + QRegularExpression::escape(first)
                                  + QStringLiteral("\\d+:\\d\\d:\\d\\d\\.\\d\\d\\d")
                                  + QRegularExpression::escape(second) + QLatin1Char('$'));
    const QStringList messages = logMessages();
    return int(std::count_if(messages.cbegin(), messages.cend(),
                             [&line](const QString& message) { return line.match(message).hasMatch(); }));
}

bool logHasLineStartingWith(const QString& prefix)
{
    const QStringList messages = logMessages();
    return std::any_of(messages.cbegin(), messages.cend(),
                       [&prefix](const QString& message) { return message.startsWith(prefix); });
}

bool logInOrder(const QStringList& expected)
{
    const QStringList messages = logMessages();
    int at = 0;
    for (const QString& message : expected) {
        at = messages.indexOf(message, at);
        if (at < 0) {
            qWarning() << "not in the log in this order:" << message;
            return false;
        }
        ++at;
    }
    return true;
}

void storeDropboxToken(const QString& accessToken, const QString& accountId)
{
    QJsonObject record{{QStringLiteral("access_token"), accessToken}};
    if (!accountId.isEmpty())
        record.insert(QStringLiteral("account_id"), accountId);
    TokenStorage().saveToken(kApplication, DROPBOX_CLOUD, QJsonDocument(record).toJson().toStdString());
}

QString storedTokenRecord()
{
    std::string record;
    if (!TokenStorage().readToken(kApplication, DROPBOX_CLOUD, record))
        return QString();
    return QString::fromStdString(record);
}

void storeEmail(const QString& email)
{
    qvs::StoreUTF8String(kApplication, kEmailKey, email.toUtf8().toStdString());
}

QString storedEmail()
{
    qvtl::string email;
    if (!qvs::FetchUTF8String(kApplication, kEmailKey, email))
        return QString();
    return QString::fromUtf8(email.data(), int(email.size()));
}

void storeSignInCookie()
{
    // What the jar keeps of a Dropbox web session.
    QNetworkCookie cookie("blid", "lumen-test-session");
    cookie.setDomain(QStringLiteral(".dropbox.com"));
    cookie.setPath(QStringLiteral("/"));
    cookie.setExpirationDate(QDateTime::currentDateTimeUtc().addDays(30));
    cookieSettings()->setValue(QStringLiteral("db/blid"), cookie.toRawForm(QNetworkCookie::Full));
}

bool hasSignInCookie()
{
    auto settings = cookieSettings();
    settings->beginGroup(QStringLiteral("db"));
    return settings->childKeys().contains(QStringLiteral("blid"));
}

QString signInDirectly(FakeCloud& cloud, const QString& email)
{
    const QJsonObject token =
        cloud.control("POST", QStringLiteral("/tokens/issue"), {{"service", "dropbox"}, {"email", email}});
    const QString accessToken = token.value(QStringLiteral("access_token")).toString();
    storeDropboxToken(accessToken, token.value(QStringLiteral("account_id")).toString().section(':', 1));
    storeEmail(email);
    storeSignInCookie();
    return accessToken;
}

QJsonArray requests(FakeCloud& cloud, const QString& host, const QString& path)
{
    // The stand-in completes an entry just after it wrote the answer.
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        QJsonArray found;
        for (const QJsonValue& request : cloud.requests(host, path)) {
            if (request.toObject().value(QStringLiteral("method")).toString() != QLatin1String("CONNECT"))
                found.append(request);
        }
        const bool answered = std::all_of(found.begin(), found.end(), [](const QJsonValue& request) {
            return request.toObject().value(QStringLiteral("complete")).toBool();
        });
        if (answered || timer.elapsed() > 5000)
            return found;
        QTest::qWait(20);
    }
}

QString header(const QJsonObject& request, const QString& name)
{
    for (const QJsonValue& pair : request.value(QStringLiteral("headers")).toArray()) {
        const QJsonArray entry = pair.toArray();
        if (entry.at(0).toString().compare(name, Qt::CaseInsensitive) == 0)
            return entry.at(1).toString();
    }
    return QString();
}

QByteArray body(const QJsonObject& request)
{
    return request.value(QStringLiteral("body")).toString().toUtf8();
}

} // namespace teststate
