// qovi-cloud: ls, search and download run here, on the accounts' stored
// tokens and the services' APIs alone, without the web engine the accounts
// carry for their sign-in windows: a listing then starts as fast as curl's.
// Every other command, and help, is the accounts' own program,
// qovi-cloud-account, which this process becomes.
#include "drivefiles.h"
#include "dropboxfiles.h"
#include "filecommands.h"
#include "interruptwatcher.h"
#include "toolconsole.h"
#include "networksetup.h"
#include "storedtokens.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

const char* const kApplicationName = "Player"; // the player's accounts

void sayErrors(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    const bool ours = context.category && qstrncmp(context.category, "lumen.", 6) == 0;
    if (type == QtCriticalMsg || type == QtFatalMsg || (type == QtWarningMsg && ours))
        ToolConsole::complain(message);
}

// Whether the command line is one of the file commands, in UTF-8, asking for
// no help: the rest goes to the accounts' program.
bool isFileCommand(int argc, char** argv)
{
    static const char* const valued[] = {"--cloud", "--proxy", "--ca-cert", "--to"};
    for (int i = 1; i < argc; ++i) {
        const QByteArray argument(argv[i]);
        if (QString::fromUtf8(argument).toUtf8() != argument)
            return false; // names that are not UTF-8 are said as the other commands say them
        if (argument == "-h" || argument == "--help" || argument == "--version")
            return false;
        if (std::any_of(std::begin(valued), std::end(valued), [&](const char* option) { return argument == option; })) {
            ++i;
            continue;
        }
        if (!argument.startsWith('-'))
            return argument == "ls" || argument == "search" || argument == "download";
    }
    return false;
}

int runAccountProgram(char** argv)
{
    const QByteArray self = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath().toLocal8Bit();
    const QByteArray program = self.left(self.lastIndexOf('/') + 1) + "qovi-cloud-account";
    ::execv(program.constData(), argv);
    std::fprintf(stderr, "qovi-cloud: cannot run %s: %s\n", program.constData(), std::strerror(errno));
    return ToolConsole::Failed;
}

int run(const QStringList& arguments, InterruptWatcher& interrupts)
{
    QCommandLineParser parser;
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    const QCommandLineOption cloud(QStringLiteral("cloud"), QString(), QStringLiteral("name"), QStringLiteral("dropbox"));
    const QCommandLineOption proxy(QStringLiteral("proxy"), QString(), QStringLiteral("host:port"));
    const QCommandLineOption authority(QStringLiteral("ca-cert"), QString(), QStringLiteral("file"));
    const QCommandLineOption longForm(QStringList{QStringLiteral("l"), QStringLiteral("long")});
    const QCommandLineOption json(QStringLiteral("json"));
    const QCommandLineOption recursive(QStringList{QStringLiteral("R"), QStringLiteral("recursive")});
    parser.addOptions({cloud, proxy, authority, longForm, json, recursive});
    if (!ToolConsole::parse(parser, arguments))
        return ToolConsole::Usage;
    const QStringList positional = parser.positionalArguments();
    const QString command = positional.value(0);
    const QStringList rest = positional.mid(1);
    static const QMap<QString, QString> usage{{"ls", "ls [FOLDER] [--long] [--json] [--recursive]"},
                                              {"search", "search TEXT [--long] [--json]"},
                                              {"download", "download REMOTE [LOCAL]"}};
    const int least = command == QLatin1String("ls") ? 0 : 1;
    const int most = command == QLatin1String("download") ? 2 : command == QLatin1String("ls") ? 1 : INT_MAX;
    if (rest.size() < least || rest.size() > most) {
        ToolConsole::complain(QStringLiteral("usage: qovi-cloud %1 [--cloud dropbox|gdrive]").arg(usage.value(command)));
        return ToolConsole::Usage;
    }
    QString problem;
    if (!NetworkSetup::apply(parser.value(proxy), parser.value(authority), &problem)) {
        ToolConsole::complain(problem);
        return ToolConsole::Usage;
    }
    const QString service = parser.value(cloud);
    if (service != QLatin1String("dropbox") && service != QLatin1String("gdrive")) {
        ToolConsole::complain(QStringLiteral("unknown cloud %1 (dropbox or gdrive)").arg(service));
        return ToolConsole::Usage;
    }
    const bool drive = service == QLatin1String("gdrive");
    StoredTokens tokens(kApplicationName, drive ? GDRIVE_CLOUD : DROPBOX_CLOUD);
    std::unique_ptr<CloudFiles> files;
    if (drive)
        files = std::make_unique<DriveFiles>(tokens);
    else
        files = std::make_unique<DropboxFiles>(tokens);
    // The tunnel and TLS are made while the stored tokens are read.
    files->preconnect();
    if (!tokens.connected()) {
        ToolConsole::complain(QStringLiteral("%1 is not connected; sign in from the player or with qovi-cloud connect")
                     .arg(QLatin1String(drive ? "Google Drive" : "Dropbox")));
        return ToolConsole::NotConnected;
    }
    FileCommands commands(*files, interrupts);
    FileCommands::Format format;
    format.longForm = parser.isSet(longForm);
    format.json = parser.isSet(json);
    format.recursive = parser.isSet(recursive);
    if (command == QLatin1String("ls"))
        return commands.list(rest.value(0), format);
    if (command == QLatin1String("search"))
        return commands.search(rest.join(QLatin1Char(' ')), format);
    return commands.download(rest.value(0), rest.value(1));
}

} // namespace

int main(int argc, char** argv)
{
    if (!isFileCommand(argc, argv))
        return runAccountProgram(argv);
    qInstallMessageHandler(sayErrors);
    // Qt's own event dispatcher costs less per cross-thread wake-up than the
    // GLib one, and a download makes thousands of them.
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("qovi-cloud"));
    InterruptWatcher interrupts;
    const int status = run(QCoreApplication::arguments(), interrupts);
    std::fflush(stdout);
    return InterruptWatcher::signalled() ? ToolConsole::Interrupted : status;
}
