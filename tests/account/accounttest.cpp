#include "accounttest.h"

#include "cloudlog.h"
#include "cloudtypes.h"
#include "fakecloud.h"
#include "qovisettings.h"
#include "testcloud.h"
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

namespace accounttest {

const QString kAlice = QStringLiteral("alice@example.com");

namespace {

QString g_logPath;

QTemporaryDir& logFolder()
{
    static QTemporaryDir folder;
    return folder;
}

QString application()
{
    return QString::fromLatin1(TestCloud::kApplication);
}

std::unique_ptr<QSettings> cookieSettings()
{
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Qovi\\Settings"),
                                       application());
}

void removeFolder(QStandardPaths::StandardLocation location, const QString& name)
{
    const QString base = QStandardPaths::writableLocation(location);
    // Never outside the test-mode locations.
    if (base.contains(QLatin1String(".qttest")))
        QDir(base + QLatin1Char('/') + name).removeRecursively();
}

} // namespace

PrivateHome::PrivateHome()
{
    qputenv("HOME", QFile::encodeName(m_folder.path()));
}

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

void openLog()
{
    QString name = QString::fromLatin1(QTest::currentTestFunction());
    if (QTest::currentDataTag())
        name += QLatin1Char('-') + QString::fromLatin1(QTest::currentDataTag());
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
            qWarning() << "not found in order:" << message;
            return false;
        }
        ++at;
    }
    return true;
}

QString issueToken(FakeCloud& cloud, const QString& service, const QString& email)
{
    return cloud.control("POST", QStringLiteral("/tokens/issue"), {{"service", service}, {"email", email}})
        .value(QStringLiteral("access_token"))
        .toString();
}

void storeToken(const QString& accessToken)
{
    const QJsonObject record{{QStringLiteral("access_token"), accessToken}};
    TokenStorage().saveToken(TestCloud::kApplication, DROPBOX_CLOUD, QJsonDocument(record).toJson().toStdString());
}

bool hasStoredToken()
{
    std::string record;
    return TokenStorage().readToken(TestCloud::kApplication, DROPBOX_CLOUD, record) && !record.empty();
}

void storeEmail(const QString& email)
{
    qvs::StoreUTF8String(TestCloud::kApplication, TestCloud::kEmailKey, email.toUtf8().toStdString());
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

QString signIn(FakeCloud& cloud, const QString& email)
{
    const QString token = issueToken(cloud, QStringLiteral("dropbox"), email);
    storeToken(token);
    storeEmail(email);
    storeSignInCookie();
    return token;
}

QJsonArray answeredRequests(FakeCloud& cloud, const QString& host, const QString& path)
{
    // The stand-in completes an entry just after it wrote the answer.
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        QJsonArray requests;
        // The tunnels' CONNECT lines are not requests to the services.
        for (const QJsonValue& request : cloud.requests(host, path)) {
            if (request.toObject().value(QStringLiteral("method")).toString() != QLatin1String("CONNECT"))
                requests.append(request);
        }
        const bool answered = std::all_of(requests.begin(), requests.end(), [](const QJsonValue& request) {
            return request.toObject().value(QStringLiteral("complete")).toBool();
        });
        if (answered || timer.elapsed() > 5000)
            return requests;
        QTest::qWait(20);
    }
}

QString header(const QJsonObject& request, const QByteArray& name)
{
    const QJsonArray headers = request.value(QStringLiteral("headers")).toArray();
    for (const QJsonValue& pair : headers) {
        const QJsonArray entry = pair.toArray();
        if (entry.at(0).toString().compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
            return entry.at(1).toString();
    }
    return QString();
}

QByteArray patternBytes(int size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = 2166136261u ^ quint32(seed);
    for (int i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;
        bytes[i] = char(state >> 24);
    }
    return bytes;
}

} // namespace accounttest
