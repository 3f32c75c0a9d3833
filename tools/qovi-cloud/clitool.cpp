#include "clitool.h"

#include "dropbox.h"
#include "googledrive.h"
#include "interruptwatcher.h"
#include "progressbar.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QMap>
#include <QNetworkProxy>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTimer>

#include <cstdio>

namespace {

const char* const kApplicationName = "Player"; // the player's accounts
constexpr int kConnectLimitMs = 180000;

void say(const QString& line)
{
    std::fprintf(stdout, "%s\n", qPrintable(line));
    std::fflush(stdout);
}

void complain(const QString& line)
{
    std::fprintf(stderr, "qovi-cloud: %s\n", qPrintable(line));
}

} // namespace

CliTool::CliTool() = default;

CliTool::~CliTool()
{
    m_dropbox.reset();
    m_drive.reset();
    // What the accounts released for later must go while Qt is still up.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

int CliTool::run(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "The player's cloud accounts from the command line.\n"
        "  status                     which accounts are connected\n"
        "  connect                    sign in (in a web window)\n"
        "  space                      free space of the account\n"
        "  upload FILE... --to FOLDER upload files into a folder of the account"));
    parser.addHelpOption();
    const QCommandLineOption cloud(QStringLiteral("cloud"), QStringLiteral("dropbox (default) or gdrive."),
                                   QStringLiteral("name"), QStringLiteral("dropbox"));
    const QCommandLineOption target(QStringLiteral("to"), QStringLiteral("Target folder of an upload."),
                                    QStringLiteral("folder"));
    const QCommandLineOption proxy(QStringLiteral("proxy"), QStringLiteral("HTTP proxy for all traffic."),
                                   QStringLiteral("host:port"));
    const QCommandLineOption caCertificate(QStringLiteral("ca-cert"),
                                           QStringLiteral("An extra certificate authority to trust (PEM)."),
                                           QStringLiteral("file"));
    parser.addOptions({cloud, target, proxy, caCertificate});
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("status, connect, space or upload"));
    if (!parser.parse(arguments)) {
        complain(parser.errorText());
        return Usage;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        say(parser.helpText());
        return Ok;
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty()) {
        complain(QStringLiteral("no command; see --help"));
        return Usage;
    }
    if (!configureNetwork(parser.value(proxy), parser.value(caCertificate)))
        return Usage;

    const QString command = positional.first();
    if (command == QLatin1String("status"))
        return status();
    CloudBase* chosen = account(parser.value(cloud));
    if (!chosen) {
        complain(QStringLiteral("unknown cloud %1").arg(parser.value(cloud)));
        return Usage;
    }
    if (command == QLatin1String("connect"))
        return connectAccount(chosen);
    if (command == QLatin1String("space"))
        return space(chosen);
    if (command == QLatin1String("upload")) {
        if (positional.size() < 2 || !parser.isSet(target)) {
            complain(QStringLiteral("usage: qovi-cloud upload FILE... --to FOLDER"));
            return Usage;
        }
        return upload(chosen, positional.mid(1), parser.value(target));
    }
    complain(QStringLiteral("unknown command %1").arg(command));
    return Usage;
}

bool CliTool::configureNetwork(const QString& proxy, const QString& caCertificate)
{
    if (!proxy.isEmpty()) {
        const int colon = proxy.lastIndexOf(QLatin1Char(':'));
        bool ok = false;
        const quint16 port = colon > 0 ? proxy.mid(colon + 1).toUShort(&ok) : 0;
        if (!ok || port == 0) {
            complain(QStringLiteral("--proxy wants host:port, not %1").arg(proxy));
            return false;
        }
        QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, proxy.left(colon), port));
    }
    if (!caCertificate.isEmpty()) {
        const QList<QSslCertificate> authorities = QSslCertificate::fromPath(caCertificate);
        if (authorities.isEmpty()) {
            complain(QStringLiteral("no certificate in %1").arg(caCertificate));
            return false;
        }
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.addCaCertificates(authorities);
        QSslConfiguration::setDefaultConfiguration(tls);
    }
    return true;
}

CloudBase* CliTool::account(const QString& cloud)
{
    if (cloud == QLatin1String("dropbox")) {
        if (!m_dropbox)
            m_dropbox = std::make_unique<DropBox>(kApplicationName);
        return m_dropbox.get();
    }
    if (cloud == QLatin1String("gdrive")) {
        if (!m_drive)
            m_drive = std::make_unique<GoogleDrive>(kApplicationName);
        return m_drive.get();
    }
    return nullptr;
}

int CliTool::status()
{
    for (const char* cloud : {"dropbox", "gdrive"}) {
        CloudBase* chosen = account(QLatin1String(cloud));
        const QString name = QLatin1String(CloudBase::cloudTypeName(chosen->cloudType()));
        if (chosen->isConnected(false))
            say(QStringLiteral("%1: connected as %2").arg(name, chosen->readEmail()));
        else
            say(QStringLiteral("%1: not connected").arg(name));
    }
    return Ok;
}

int CliTool::space(CloudBase* chosen)
{
    const QString name = QLatin1String(CloudBase::cloudTypeName(chosen->cloudType()));
    if (!chosen->isConnected(false)) {
        complain(QStringLiteral("%1 is not connected; sign in from the player or with qovi-cloud connect").arg(name));
        return NotConnected;
    }
    const quint64 free = chosen->getFreeSpace(true);
    if (free == CloudBase::kUnknownSpace) {
        complain(QStringLiteral("%1 did not tell its free space").arg(name));
        return Failed;
    }
    say(QStringLiteral("%1: %2 bytes free").arg(name).arg(free));
    return Ok;
}

int CliTool::connectAccount(CloudBase* chosen)
{
    const QString name = QLatin1String(CloudBase::cloudTypeName(chosen->cloudType()));
    QEventLoop loop;
    QString email;
    connect(chosen, &CloudBase::connectedToCloud, &loop, [&](CLOUD_TYPE, const QString& address) {
        email = address;
        loop.quit();
    });
    InterruptWatcher interrupts;
    connect(&interrupts, &InterruptWatcher::interrupted, &loop, &QEventLoop::quit);
    QTimer::singleShot(kConnectLimitMs, &loop, &QEventLoop::quit);
    if (!chosen->connectToCloud()) {
        complain(QStringLiteral("%1 cannot show its sign-in").arg(name));
        return Failed;
    }
    loop.exec();
    if (email.isEmpty()) {
        complain(QStringLiteral("%1: not signed in").arg(name));
        return Failed;
    }
    say(QStringLiteral("%1: connected as %2").arg(name, email));
    return Ok;
}

int CliTool::upload(CloudBase* chosen, const QStringList& files, const QString& folder)
{
    const QString name = QLatin1String(CloudBase::cloudTypeName(chosen->cloudType()));
    for (const QString& file : files) {
        const QFileInfo info(file);
        if (!info.isFile() || !info.isReadable()) {
            complain(QStringLiteral("cannot upload %1: %2").arg(file, info.exists() ? "not a readable file" : "no such file"));
            return Usage;
        }
    }
    if (!chosen->isConnected(false)) {
        complain(QStringLiteral("%1 is not connected; sign in from the player or with qovi-cloud connect").arg(name));
        return NotConnected;
    }

    QEventLoop loop;
    QMap<QString, std::shared_ptr<ProgressBar>> bars;
    int pending = files.size();
    int failures = 0;
    bool interrupted = false;
    auto done = [&](const QString& file, const QString& outcome) {
        if (auto bar = bars.value(file))
            bar->finish(outcome);
        if (--pending == 0)
            loop.quit();
    };
    connect(chosen, &CloudBase::uploadProgress, &loop, [&](const QString& file, qint64 sent, qint64 total) {
        if (auto bar = bars.value(file))
            bar->update(sent, total);
    });
    connect(chosen, &CloudBase::uploadFinished, &loop, [&](const QString& file, const QString& targetPath) {
        done(file, QStringLiteral("uploaded: %1 -> %2").arg(file, targetPath));
    });
    connect(chosen, &CloudBase::uploadCanceled, &loop, [&](const QString& file, const QString&) {
        ++failures;
        done(file, QStringLiteral("canceled: %1").arg(file));
    });
    connect(chosen, &CloudBase::uploadFailed, &loop, [&](const QString& file, const QString& why, int) {
        ++failures;
        done(file, QStringLiteral("failed: %1: %2").arg(file, why));
    });
    // Nobody to ask here: a failed step is reported and not retried.
    connect(chosen, &CloudBase::failedRetry, &loop, [](const QString& message, bool&) {
        if (!message.isEmpty())
            complain(message);
    });
    // A session the service left hanging cannot finish: give it up.
    connect(chosen, &CloudBase::networkError, &loop, [&](const QString& message) {
        complain(message);
        if (!chosen->uploadQueue().empty())
            chosen->cancelUpload(chosen->uploadQueue().front().filePath);
    });
    InterruptWatcher interrupts;
    connect(&interrupts, &InterruptWatcher::interrupted, &loop, [&] {
        interrupted = true;
        for (const QString& file : files)
            chosen->cancelUpload(file);
    });

    for (const QString& file : files) {
        bars.insert(file, std::make_shared<ProgressBar>(QFileInfo(file).fileName(), stdout));
        QString error;
        if (!chosen->uploadFile(file, folder, &error)) {
            complain(error);
            ++failures;
            --pending;
        }
    }
    if (pending > 0)
        loop.exec();
    if (interrupted)
        return Interrupted;
    return failures == 0 ? Ok : Failed;
}
