#include "teststate.h"

#include "cloudcredential.h"
#include "cloudlog.h"
#include "cloudbase.h"
#include "clouderror.h"
#include "fakecloud.h"
#include "osutilities.h"
#include "pingmanager.h"
#include "qovisettings.h"
#include "tokenstorage.h"
#include "uploadoutcome.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QFile>
#include <QJsonDocument>
#include <QNetworkCookie>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSettings>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>

#include <algorithm>
#include <memory>

namespace teststate {

const char* const kApplication = "Player";
const QString kAlice = QStringLiteral("alice@example.com");

namespace {

QString g_logPath;

const char* emailKey(CLOUD_TYPE kind)
{
    return kind == DROPBOX_CLOUD ? "dbEmail" : "gdEmail";
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

QTemporaryDir& logFolder()
{
    static QTemporaryDir folder;
    folder.setAutoRemove(qEnvironmentVariableIsEmpty("KEEP_TEST_LOGS"));
    return folder;
}

} // namespace

void prepareProcess()
{
    QStandardPaths::setTestModeEnabled(true);
    qRegisterMetaType<CLOUD_TYPE>("CLOUD_TYPE");
    qRegisterMetaType<QNetworkReply*>();
    qRegisterMetaType<UploadOutcome>();
    clearStoredState();
}

void clearStoredState()
{
    cookieSettings()->clear();
    removeFolder(QStandardPaths::GenericConfigLocation, QStringLiteral("QoviSettings"));
    removeFolder(QStandardPaths::CacheLocation, QStringLiteral("QoviClouds"));
}

void startCase(FakeCloud& cloud)
{
    cloud.reset();
    clearStoredState();
    openLog();
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

QStringList logLines()
{
    static const QRegularExpression tag(QStringLiteral("^\\[([A-Z]{3})\\] \\d+:\\d\\d:\\d\\d\\.\\d\\d\\d "));
    QFile file(g_logPath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (QString& line : lines)
        line.replace(tag, QStringLiteral("\\1 "));
    return lines;
}

bool logged(const QString& levelAndMessage)
{
    return logLines().contains(levelAndMessage);
}

int logCount(const QString& levelAndMessage)
{
    return logLines().count(levelAndMessage);
}

bool loggedInOrder(const QStringList& expected)
{
    const QStringList lines = logLines();
    int at = 0;
    for (const QString& line : expected) {
        at = lines.indexOf(line, at);
        if (at < 0) {
            qWarning() << "not in the log in this order:" << line;
            return false;
        }
        ++at;
    }
    return true;
}

void storeToken(CLOUD_TYPE kind, const QByteArray& record)
{
    TokenStorage().saveToken(kApplication, kind, record.toStdString());
}

QByteArray storedToken(CLOUD_TYPE kind)
{
    std::string record;
    if (!TokenStorage().readToken(kApplication, kind, record))
        return QByteArray();
    return QByteArray::fromStdString(record);
}

void storeEmail(CLOUD_TYPE kind, const QString& email)
{
    qvs::StoreUTF8String(kApplication, emailKey(kind), email.toUtf8().toStdString());
}

QString storedEmail(CLOUD_TYPE kind)
{
    qvtl::string email;
    if (!qvs::FetchUTF8String(kApplication, emailKey(kind), email))
        return QString();
    return QString::fromUtf8(email.data(), int(email.size()));
}

void storeSignInCookie(CLOUD_TYPE kind)
{
    // What the jar keeps of the service's web session.
    const bool dropbox = kind == DROPBOX_CLOUD;
    QNetworkCookie cookie(dropbox ? "blid" : "HSID", "lumen-test-session");
    cookie.setDomain(dropbox ? QStringLiteral(".dropbox.com") : QStringLiteral(".google.com"));
    cookie.setPath(QStringLiteral("/"));
    cookie.setExpirationDate(QDateTime::currentDateTimeUtc().addDays(30));
    cookieSettings()->setValue(dropbox ? QStringLiteral("db/blid") : QStringLiteral("gd/HSID.google.com"),
                               cookie.toRawForm(QNetworkCookie::Full));
}

qvtl::RefCountedPtr<qvs::QoviSettingsGroup> settingsGroup()
{
    auto store = qvs::CreateQoviSettings("Settings/" + QoviLumen::OSUtilities::getComponentIdUTF8(),
                                         qvs::QOVISETTINGS_TYPE_USER);
    qvtl::RefCountedPtr<qvs::QoviSettingsGroup> group;
    if (store)
        store->CreateGroup("CloudConnect", group);
    return group;
}

void storeSignInRoad(const char* road)
{
    if (auto group = settingsGroup())
        group->SetString("SignInRoad", road);
}

bool hasSignInCookie(CLOUD_TYPE kind)
{
    auto settings = cookieSettings();
    settings->beginGroup(kind == DROPBOX_CLOUD ? QStringLiteral("db") : QStringLiteral("gd"));
    const QStringList keys = settings->childKeys();
    const QString name = kind == DROPBOX_CLOUD ? QStringLiteral("blid") : QStringLiteral("HSID");
    return std::any_of(keys.cbegin(), keys.cend(), [&name](const QString& key) { return key.startsWith(name); });
}

QJsonObject storedRecord(CLOUD_TYPE kind)
{
    return QJsonDocument::fromJson(storedToken(kind)).object();
}

QString clientId(CLOUD_TYPE kind)
{
    return QString::fromStdString(cloudCredential(kApplication, kind, -1));
}

QString signIn(FakeCloud& cloud, CLOUD_TYPE kind, const QString& email)
{
    const bool dropbox = kind == DROPBOX_CLOUD;
    QJsonObject token = cloud.control("POST", QStringLiteral("/tokens/issue"), {{"service", dropbox ? "dropbox" : "google"},
                                                                               {"email", email}, {"client_id", clientId(kind)}});
    const QString accessToken = token.value(QStringLiteral("access_token")).toString();
    QJsonObject record{{QStringLiteral("access_token"), accessToken}};
    if (dropbox) {
        record.insert(QStringLiteral("account_id"), token.value(QStringLiteral("account_id")).toString().section(':', 1));
    } else {
        record.insert(QStringLiteral("refresh_token"), token.value(QStringLiteral("refresh_token")));
        record.insert(QStringLiteral("expires_in"), token.value(QStringLiteral("expires_in")).toDouble(3599));
        record.insert(QStringLiteral("received_time"), double(QDateTime::currentMSecsSinceEpoch()));
    }
    storeToken(kind, QJsonDocument(record).toJson());
    storeEmail(kind, email);
    storeSignInCookie(kind);
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

QJsonObject fault(const QString& host, const QString& path, const QString& kind, const QJsonObject& more)
{
    QJsonObject fault = more;
    fault.insert(QStringLiteral("host"), host);
    fault.insert(QStringLiteral("path"), path);
    fault.insert(QStringLiteral("kind"), kind);
    return fault;
}

QStringList pingPaths()
{
    QStringList paths;
    for (const QString& ping : QoviLumen::PingManager::recordedPings())
        paths.append(QUrl(ping).path());
    return paths;
}

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

QByteArray pattern(qint64 size, int seed)
{
    QByteArray bytes(int(size), Qt::Uninitialized);
    quint32 state = 2166136261u ^ quint32(seed);
    for (int i = 0; i < bytes.size(); ++i) {
        state = state * 1664525u + 1013904223u;
        bytes[i] = char(state >> 24);
    }
    return bytes;
}

QString writeFile(const QString& path, qint64 size, int seed)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    const qint64 block = 4 * 1024 * 1024;
    for (qint64 written = 0; written < size; written += block)
        file.write(pattern(qMin(block, size - written), seed + int(written / block)));
    return path;
}

QList<UploadOutcome> uploadAll(CloudBase& account, const QStringList& paths, const QString& folder)
{
    QSignalSpy ended(&account, &CloudBase::uploadEnded);
    for (const QString& path : paths)
        account.uploadFile(path, folder);
    waitFor([&] { return ended.size() >= paths.size(); }, 60000);
    waitFor([] { return false; }, 50);
    QList<UploadOutcome> outcomes;
    for (const QList<QVariant>& signal : ended)
        outcomes.append(signal.at(0).value<UploadOutcome>());
    return outcomes;
}

bool waitFor(const std::function<bool()>& condition, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    // A running event loop, not QTest::qWait, which sleeps between its
    // rounds and would starve the network's cross-thread traffic.
    while (!condition()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

bool waitForFreePort(quint16 port)
{
    QTcpServer probe;
    if (waitFor([&] { return probe.listen(QHostAddress::LocalHost, port); }, 65000))
        return true;
    qWarning("127.0.0.1:%u is still taken: %s", unsigned(port), qPrintable(probe.errorString()));
    return false;
}

} // namespace teststate
