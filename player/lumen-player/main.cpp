#include "console.h"
#include "demoplayer.h"
#include "hostnetwork.h"
#include "osutilities.h"
#include "pingmanager.h"
#include "playerwindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QStandardPaths>

#include <cstdio>

namespace {

// Qt's own debug output and warnings (a missing XDG_RUNTIME_DIR, say) mean
// nothing to the user; errors, and the warnings of the player's own
// frameworks (a plug-in bundle skipped), are said.
void sayErrors(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    const bool ours = context.category && qstrncmp(context.category, "lumen.", 6) == 0;
    if (type == QtCriticalMsg || type == QtFatalMsg || (type == QtWarningMsg && ours))
        std::fprintf(stderr, "lumen-player: %s\n", qPrintable(message));
}

struct Options {
    QString pluginFolder;
    QString proxy;
    QString authorities;
    QString geography;
    QString pingHost;
    QString downloads;
    QString signInRoad;
    bool importing = false;
    QList<QUrl> fetches;
    bool interactive = false;
    DemoPlayer::ImportOptions import;
};

bool parseOptions(const QApplication& app, Options& options)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("The Lumen demo player."));
    parser.addHelpOption();
    const QString binFolder = QApplication::applicationDirPath();
    const QCommandLineOption plugins(QStringLiteral("plugins"), QStringLiteral("Folder of plug-in bundles."),
                                     QStringLiteral("folder"), QDir(binFolder + "/../plugins").absolutePath());
    const QCommandLineOption proxy(QStringLiteral("proxy"),
                                   QStringLiteral("HTTP proxy through which every request of the player goes."),
                                   QStringLiteral("host:port"));
    const QCommandLineOption authorities(QStringLiteral("ca-cert"),
                                         QStringLiteral("PEM file of certificate authorities to trust as well."),
                                         QStringLiteral("file"));
    const QCommandLineOption geography(QStringLiteral("geo"), QStringLiteral("The user's geography code."),
                                       QStringLiteral("code"), QStringLiteral("US"));
    const QCommandLineOption import(QStringLiteral("import"),
                                    QStringLiteral("Import a file from each of these clouds through the window, "
                                                   "as a person would, reporting each step (dropbox,gdrive)."),
                                    QStringLiteral("clouds"));
    const QCommandLineOption pingHost(QStringLiteral("ping-host"), QStringLiteral("Where usage pings go."),
                                      QStringLiteral("host"), QStringLiteral("ping.qovi.com"));
    const QCommandLineOption downloads(
        QStringLiteral("downloads"), QStringLiteral("The downloads folder."), QStringLiteral("folder"),
        QStandardPaths::writableLocation(QStandardPaths::DownloadLocation) + QStringLiteral("/Lumen"));
    const QCommandLineOption interactive(QStringLiteral("interactive"),
                                         QStringLiteral("The window, for a person (needs a display)."));
    const QCommandLineOption timeout(QStringLiteral("timeout"),
                                     QStringLiteral("Seconds the import or the fetch may take "
                                                    "(default 90, interactive 600)."),
                                     QStringLiteral("seconds"));
    const QCommandLineOption pictures(QStringLiteral("pictures"),
                                      QStringLiteral("Folder for the pictures of the web windows."),
                                      QStringLiteral("folder"), QDir(binFolder + "/../demo").absolutePath());
    const QCommandLineOption signInRoad(QStringLiteral("sign-in-road"),
                                        QStringLiteral("How the plug-in signs in, kept as the Preferences keep it: "
                                                       "browser or embedded (with --import: embedded, the road "
                                                       "whose web windows the demo follows, unless browser is "
                                                       "given: today's road, the sign-in in a browser window of "
                                                       "the demo's, then the native chooser)."),
                                        QStringLiteral("road"));
    const QCommandLineOption fetch(QStringLiteral("fetch"),
                                   QStringLiteral("Download this address through the downloads list, as the player "
                                                  "does what the plug-in queues, then end (may be given again)."),
                                   QStringLiteral("address"));
    parser.addOptions({plugins, proxy, authorities, geography, import, pingHost, downloads, interactive, timeout, pictures,
                       signInRoad, fetch});
    parser.process(app);
    options.signInRoad = parser.isSet(import) ? QStringLiteral("embedded") : QString();
    if (parser.isSet(signInRoad))
        options.signInRoad = parser.value(signInRoad);
    if (!options.signInRoad.isEmpty() && options.signInRoad != QLatin1String("browser")
        && options.signInRoad != QLatin1String("embedded")) {
        Console::say(QStringLiteral("lumen-player: --sign-in-road takes browser or embedded"));
        return false;
    }

    options.pluginFolder = parser.value(plugins);
    options.proxy = parser.value(proxy);
    options.authorities = parser.value(authorities);
    options.geography = parser.value(geography);
    options.importing = parser.isSet(import);
    options.pingHost = parser.value(pingHost);
    options.downloads = parser.value(downloads);
    if (options.importing) {
        options.import.clouds.clear();
        for (const QString& cloud : parser.value(import).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            if (cloud != QLatin1String("dropbox") && cloud != QLatin1String("gdrive")) {
                Console::say(QStringLiteral("lumen-player: --import takes dropbox, gdrive or both"));
                return false;
            }
            options.import.clouds.append(cloud == QLatin1String("dropbox") ? DROPBOX_CLOUD : GDRIVE_CLOUD);
        }
    }
    for (const QString& value : parser.values(fetch)) {
        const QUrl address(value, QUrl::StrictMode);
        const QString scheme = address.scheme();
        if (!address.isValid() || (scheme != QLatin1String("https") && scheme != QLatin1String("http"))) {
            Console::say(QStringLiteral("lumen-player: --fetch takes an http or https address, not %1").arg(value));
            return false;
        }
        options.fetches.append(address);
    }
    options.interactive = parser.isSet(interactive);
    options.import.pictureFolder = parser.value(pictures);
    options.import.timeoutSeconds = options.interactive ? 600 : 90;
    if (parser.isSet(timeout)) {
        bool number = false;
        options.import.timeoutSeconds = parser.value(timeout).toInt(&number);
        if (!number || options.import.timeoutSeconds <= 0) {
            Console::say(QStringLiteral("lumen-player: --timeout takes a positive number of seconds"));
            return false;
        }
    }
    return true;
}

// What the player tells its plug-ins, and how it reaches the network.
bool setUpHost(const Options& options)
{
    // The plug-in pings only from the macOS and Windows players.
    QoviLumen::OSUtilities::setPlatform(QoviLumen::OSUtilities::MacPlatform);
    QoviLumen::OSUtilities::setGeo(options.geography.toStdString());
    QoviLumen::PingManager::setPingHost(options.pingHost);
    QString problem;
    if (!options.proxy.isEmpty() && !HostNetwork::useProxy(options.proxy, &problem)) {
        Console::say(QStringLiteral("lumen-player: %1").arg(problem));
        return false;
    }
    if (!options.authorities.isEmpty() && !HostNetwork::trustAuthorities(options.authorities, &problem)) {
        Console::say(QStringLiteral("lumen-player: %1").arg(problem));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    qInstallMessageHandler(sayErrors);
    // Without a display the player still runs, on the offscreen platform.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("lumen-player"));

    Options options;
    if (!parseOptions(app, options) || !setUpHost(options))
        return 2;
    if (options.interactive && QApplication::platformName() == QLatin1String("offscreen")) {
        Console::say(QStringLiteral("lumen-player: --interactive needs a display"));
        return 2;
    }

    if (!options.signInRoad.isEmpty())
        PlayerWindow::storeSignInRoad(options.signInRoad);
    options.import.browserRoad = PlayerWindow::signInRoad() == QLatin1String("browser");
    DemoPlayer player(options.pluginFolder, options.downloads);
    const int status = player.run();
    if (status != 0)
        return status;
    if (options.interactive)
        return player.runForAPerson();
    if (!options.fetches.isEmpty())
        return player.fetch(options.fetches, options.import.timeoutSeconds);
    return options.importing ? player.importThroughTheWindow(options.import) : 0;
}
