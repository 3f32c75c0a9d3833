#include "clitool.h"

#include "cloudentry.h"
#include "dropbox.h"
#include "dropboxfiles.h"
#include "drivefiles.h"
#include "googledrive.h"
#include "interruptwatcher.h"
#include "toolconsole.h"
#include "tokenstorage.h"
#include "networksetup.h"
#include "progressbar.h"
#include "retryanswerer.h"
#include "uploadqueue.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QMap>
#include <QTimer>

#include <cstdio>

namespace {

const char* const kApplicationName = "Player"; // the player's accounts
// The sign-in in the browser ends itself after 5 minutes; this only guards.
constexpr int kConnectLimitMs = 5 * 60 * 1000 + 30000;

const char* const kSummary =
    "qovi-cloud: the player's cloud accounts from the command line.\n"
    "\n"
    "Usage: qovi-cloud [options] COMMAND [arguments]\n"
    "\n"
    "Commands:\n"
    "  status                      which accounts are connected\n"
    "  connect                     sign in, in your web browser\n"
    "  disconnect                  sign out\n"
    "  space                       free space of the account\n"
    "  upload FILE... --to FOLDER  upload files into a folder of the account\n"
    "  ls [FOLDER]                 the files and folders in a folder\n"
    "  search TEXT                 the files and folders whose names hold TEXT\n"
    "  download REMOTE [LOCAL]     download a file, continuing a partial one\n"
    "  help [COMMAND]              this text, or one command's\n"
    "\n"
    "Options:\n"
    "  --cloud dropbox|gdrive      the account (default: dropbox)\n"
    "  --proxy HOST:PORT           send all traffic through this HTTP proxy\n"
    "  --ca-cert FILE              also trust this certificate authority (PEM)\n"
    "  --version, --help\n"
    "\n"
    "Exit status: 0 done, 1 failed, 2 wrong usage or unreadable file,\n"
    "3 not connected, 130 interrupted (Ctrl-C or SIGTERM end any wait at once).\n";

const QMap<QString, const char*>& commandHelp()
{
    static const QMap<QString, const char*> help{
        {"status", "qovi-cloud status\n"
                   "  Says for each account whether it is connected, and as whom, then\n"
                   "  what protects its tokens.\n"
                   "  Example: qovi-cloud status\n"
                   "  Exit status: 0.\n"},
        {"connect", "qovi-cloud connect [--cloud dropbox|gdrive]\n"
                    "  Prints the service's sign-in address, opens it in your web browser\n"
                    "  when it can, and waits until you signed in and allowed access there\n"
                    "  (at most 5 minutes).\n"
                    "  Example: qovi-cloud connect --cloud gdrive\n"
                    "  Exit status: 0 connected, 1 not signed in (refused, timed out, failed),\n"
                    "  130 interrupted.\n"},
        {"disconnect", "qovi-cloud disconnect [--cloud dropbox|gdrive]\n"
                       "  Signs the account out: its tokens, e-mail address and web session go.\n"
                       "  Example: qovi-cloud disconnect --cloud gdrive\n"
                       "  Exit status: 0.\n"},
        {"space", "qovi-cloud space [--cloud dropbox|gdrive]\n"
                  "  Prints the account's free space.\n"
                  "  Example: qovi-cloud space\n"
                  "  Exit status: 0, 1 when the service did not tell, 3 not connected, 130 interrupted.\n"},
        {"upload", "qovi-cloud upload FILE... --to FOLDER [--cloud dropbox|gdrive]\n"
                   "  Uploads the files, one after the other, into FOLDER (\"/Videos\",\n"
                   "  \"/Videos/2026\"), with a progress bar each. A file whose name is\n"
                   "  taken is stored under a new name; the line says which.\n"
                   "  Example: qovi-cloud upload holiday.mp4 clip.mkv --to /Videos\n"
                   "  Exit status: 0 all uploaded, 1 one or more failed or canceled,\n"
                   "  2 a file cannot be read (nothing is sent), 3 not connected, 130 interrupted.\n"},
        {"ls", "qovi-cloud ls [FOLDER] [--long] [--json] [--recursive] [--cloud dropbox|gdrive]\n"
               "  Lists the files and folders in FOLDER (default: the top of the account),\n"
               "  folders with a / after the name, as the pages come from the service.\n"
               "  --long      the size (1.50 GiB) and the date before each name\n"
               "  --json      one JSON object per line (name, path, id, type, size,\n"
               "              modified, mimeType), for scripts\n"
               "  --recursive the folders inside too, each entry with its whole path\n"
               "  Example: qovi-cloud ls /Videos --long\n"
               "  Exit status: 0, 1 failed or nothing at FOLDER, 3 not connected, 130 interrupted.\n"},
        {"search", "qovi-cloud search TEXT [--long] [--json] [--cloud dropbox|gdrive]\n"
                   "  Finds the files and folders, anywhere in the account, whose names hold\n"
                   "  every word of TEXT, in any case.\n"
                   "  Example: qovi-cloud search \"big buck\" --long\n"
                   "  Exit status: 0 (nothing found included), 1 failed, 3 not connected, 130 interrupted.\n"},
        {"download", "qovi-cloud download REMOTE [LOCAL] [--cloud dropbox|gdrive]\n"
                     "  Downloads the file at REMOTE (\"/Videos/clip.mkv\") to LOCAL (default:\n"
                     "  its name, here; a folder: its name in there), with a progress bar. The\n"
                     "  bytes go to LOCAL.part as they arrive, which becomes LOCAL once it has\n"
                     "  the size the service stored. A cut connection is continued where it\n"
                     "  stopped; after a failure or Ctrl-C, LOCAL.part stays, and the same\n"
                     "  command later continues it.\n"
                     "  Example: qovi-cloud download \"/Videos/Big Buck Bunny.mp4\" ~/Videos\n"
                     "  Exit status: 0 downloaded, 1 failed, 2 wrong usage or LOCAL exists,\n"
                     "  3 not connected, 130 interrupted.\n"},
    };
    return help;
}

// The text of an argument as it was given; false, with each byte that is
// not part of UTF-8 written as \xHH, when it is not UTF-8.
bool decodeArgument(const QByteArray& bytes, QString* text)
{
    *text = QString::fromUtf8(bytes);
    if (text->toUtf8() == bytes)
        return true;
    text->clear();
    for (int at = 0; at < bytes.size();) {
        const uchar lead = uchar(bytes[at]);
        const int length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
        const QByteArray sequence = bytes.mid(at, length);
        const QString decoded = QString::fromUtf8(sequence);
        if (length > 0 && sequence.size() == length && decoded.toUtf8() == sequence) {
            *text += decoded;
            at += length;
        } else {
            *text += QStringLiteral("\\x") + QString::number(lead, 16).toUpper().rightJustified(2, QLatin1Char('0'));
            ++at;
        }
    }
    return false;
}

QString nameOf(const CloudBase* account)
{
    return QLatin1String(account->service().name);
}

} // namespace

CliTool::CliTool() : m_interrupts(std::make_unique<InterruptWatcher>())
{
    connect(m_interrupts.get(), &InterruptWatcher::interrupted, this, &CliTool::onInterrupted);
}

CliTool::~CliTool()
{
    m_dropbox.reset();
    m_drive.reset();
    // What the accounts released for later must go while Qt is still up.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void CliTool::onInterrupted()
{
    // Every wait ends at once; each command returns as soon as its own
    // loop sees the flag.
    m_interrupted = true;
    for (CloudBase* account : {m_dropbox.get(), m_drive.get()}) {
        if (account)
            account->interrupt();
    }
}

int CliTool::run(const QList<QByteArray>& given)
{
    QStringList arguments;
    for (const QByteArray& bytes : given) {
        QString text;
        if (!decodeArgument(bytes, &text))
            m_unreadable.insert(text);
        arguments.append(text);
    }
    const int status = runCommand(arguments);
    // A signal that came while nothing waited still ends the command as
    // interrupted.
    return InterruptWatcher::signalled() ? ToolConsole::Interrupted : status;
}

int CliTool::runCommand(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Help."));
    const QCommandLineOption version(QStringLiteral("version"), QStringLiteral("Version."));
    const QCommandLineOption cloud(QStringLiteral("cloud"), QStringLiteral("dropbox or gdrive."), QStringLiteral("name"),
                                   QStringLiteral("dropbox"));
    const QCommandLineOption target(QStringLiteral("to"), QStringLiteral("Target folder."), QStringLiteral("folder"));
    const QCommandLineOption proxy(QStringLiteral("proxy"), QStringLiteral("HTTP proxy."), QStringLiteral("host:port"));
    const QCommandLineOption caCertificate(QStringLiteral("ca-cert"), QStringLiteral("Authority."), QStringLiteral("file"));
    const QCommandLineOption longForm({QStringLiteral("l"), QStringLiteral("long")}, QStringLiteral("Sizes and dates."));
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("One JSON object per line."));
    const QCommandLineOption recursive({QStringLiteral("R"), QStringLiteral("recursive")}, QStringLiteral("Folders inside too."));
    parser.addOptions({help, version, cloud, target, proxy, caCertificate, longForm, json, recursive});
    if (!ToolConsole::parse(parser, arguments))
        return ToolConsole::Usage;
    const QStringList positional = parser.positionalArguments();
    const QString command = positional.value(0);
    if (parser.isSet(version)) {
        ToolConsole::say(QStringLiteral("qovi-cloud %1").arg(QCoreApplication::applicationVersion()));
        return ToolConsole::Ok;
    }
    if (command == QLatin1String("help") || parser.isSet(help)) {
        const QString topic = command == QLatin1String("help") ? positional.value(1) : command;
        if (!topic.isEmpty() && !commandHelp().contains(topic)) {
            ToolConsole::complain(QStringLiteral("no command %1; see qovi-cloud --help").arg(topic));
            return ToolConsole::Usage;
        }
        std::fputs(topic.isEmpty() ? kSummary : commandHelp().value(topic), stdout);
        return ToolConsole::Ok;
    }
    if (command.isEmpty()) {
        ToolConsole::complain(QStringLiteral("no command; see qovi-cloud --help"));
        return ToolConsole::Usage;
    }
    if (!commandHelp().contains(command)) {
        ToolConsole::complain(QStringLiteral("unknown command %1; see qovi-cloud --help").arg(command));
        return ToolConsole::Usage;
    }
    if (!configureNetwork(parser.value(proxy), parser.value(caCertificate)))
        return ToolConsole::Usage;
    if (command == QLatin1String("status"))
        return status();
    CloudBase* chosen = account(parser.value(cloud));
    if (!chosen) {
        ToolConsole::complain(QStringLiteral("unknown cloud %1 (dropbox or gdrive)").arg(parser.value(cloud)));
        return ToolConsole::Usage;
    }
    if (command == QLatin1String("connect"))
        return connectAccount(chosen);
    if (command == QLatin1String("disconnect")) {
        chosen->disconnectCloud();
        ToolConsole::say(QStringLiteral("%1: signed out").arg(nameOf(chosen)));
        return ToolConsole::Ok;
    }
    if (command == QLatin1String("space"))
        return space(chosen);
    if (command != QLatin1String("upload")) {
        FileCommands::Format format;
        format.longForm = parser.isSet(longForm);
        format.json = parser.isSet(json);
        format.recursive = parser.isSet(recursive);
        return files(chosen, command, positional.mid(1), format);
    }
    if (positional.size() < 2 || !parser.isSet(target)) {
        ToolConsole::complain(QStringLiteral("usage: qovi-cloud upload FILE... --to FOLDER"));
        return ToolConsole::Usage;
    }
    return upload(chosen, positional.mid(1), parser.value(target));
}

bool CliTool::configureNetwork(const QString& proxy, const QString& caCertificate)
{
    QString problem;
    if (NetworkSetup::apply(proxy, caCertificate, &problem))
        return true;
    ToolConsole::complain(problem);
    return false;
}

CloudBase* CliTool::account(const QString& cloud)
{
    std::unique_ptr<CloudBase>* slot = cloud == QLatin1String("dropbox") ? &m_dropbox
        : cloud == QLatin1String("gdrive")                              ? &m_drive
                                                                         : nullptr;
    if (!slot)
        return nullptr;
    if (!*slot) {
        if (slot == &m_dropbox)
            *slot = std::make_unique<DropBox>(kApplicationName);
        else
            *slot = std::make_unique<GoogleDrive>(kApplicationName);
        // A terminal has no web window to sign in with: the browser it is.
        (*slot)->setSignInRoad(CloudBase::BrowserRoad);
    }
    return slot->get();
}

int CliTool::status()
{
    for (const char* cloud : {"dropbox", "gdrive"}) {
        CloudBase* chosen = account(QLatin1String(cloud));
        if (chosen->isConnected(false))
            ToolConsole::say(QStringLiteral("%1: connected as %2").arg(nameOf(chosen), chosen->readEmail()));
        else
            ToolConsole::say(QStringLiteral("%1: not connected").arg(nameOf(chosen)));
    }
    const TokenStorage tokens;
    for (const char* cloud : {"dropbox", "gdrive"}) {
        CloudBase* chosen = account(QLatin1String(cloud));
        const bool keyring =
            tokens.protection(kApplicationName, chosen->cloudType()) == TokenStorage::Protection::Keyring;
        ToolConsole::say(QStringLiteral("%1: %2").arg(nameOf(chosen), keyring ? QStringLiteral("tokens protected by the desktop keyring")
            : QStringLiteral("tokens protected only by a key in the program (no keyring available)")));
    }
    return ToolConsole::Ok;
}

int CliTool::files(CloudBase* chosen, const QString& command, const QStringList& arguments,
                   const FileCommands::Format& format)
{
    const int most = command == QLatin1String("download") ? 2 : 1;
    const int least = command == QLatin1String("ls") ? 0 : 1;
    if (arguments.size() < least || arguments.size() > most) {
        ToolConsole::complain(QStringLiteral("usage: %1").arg(QString::fromLatin1(commandHelp().value(command)).section('\n', 0, 0)));
        return ToolConsole::Usage;
    }
    for (const QString& given : arguments) {
        if (m_unreadable.contains(given)) {
            ToolConsole::complain(QStringLiteral("%1: the name is not UTF-8").arg(given));
            return ToolConsole::Usage;
        }
    }
    if (!requireConnected(chosen))
        return ToolConsole::NotConnected;
    CloudFiles* files = nullptr;
    if (auto* dropbox = qobject_cast<DropBox*>(chosen))
        files = dropbox->files();
    else if (auto* drive = qobject_cast<GoogleDrive*>(chosen))
        files = drive->files();
    FileCommands commands(*files, *m_interrupts);
    if (command == QLatin1String("ls"))
        return commands.list(arguments.value(0), format);
    if (command == QLatin1String("search"))
        return commands.search(arguments.join(QLatin1Char(' ')), format);
    return commands.download(arguments.value(0), arguments.value(1));
}

bool CliTool::requireConnected(CloudBase* chosen)
{
    if (chosen->isConnected(false))
        return true;
    ToolConsole::complain(QStringLiteral("%1 is not connected; sign in from the player or with qovi-cloud connect").arg(nameOf(chosen)));
    return false;
}

int CliTool::space(CloudBase* chosen)
{
    if (!requireConnected(chosen))
        return ToolConsole::NotConnected;
    const quint64 free = chosen->getFreeSpace(true);
    if (m_interrupted)
        return ToolConsole::Interrupted;
    if (chosen->lastError().kind() == CloudError::SignInWithdrawn) {
        ToolConsole::complain(QStringLiteral("%1: %2").arg(nameOf(chosen), chosen->lastError().text()));
        return ToolConsole::NotConnected;
    }
    if (free == CloudBase::kUnknownSpace) {
        ToolConsole::complain(QStringLiteral("%1 did not tell its free space: %2").arg(nameOf(chosen), chosen->lastError().text()));
        return ToolConsole::Failed;
    }
    ToolConsole::say(QStringLiteral("%1: %2 free").arg(nameOf(chosen), CloudEntry::readableSize(free)));
    return ToolConsole::Ok;
}

int CliTool::connectAccount(CloudBase* chosen)
{
    QEventLoop loop;
    QString email;
    QString failure;
    connect(chosen, &CloudBase::connectedToCloud, &loop, [&](CLOUD_TYPE, const QString& address) {
        email = address;
        loop.quit();
    });
    connect(chosen, &CloudBase::signInFailed, &loop, [&](const QString& reason) {
        failure = reason;
        loop.quit();
    });
    // One line for the address, one for the wait; nothing secret is in either.
    connect(chosen, &CloudBase::signInWaiting, &loop, [&](const QUrl& address, bool opened) {
        ToolConsole::say(QStringLiteral("%1: sign in at %2").arg(nameOf(chosen), address.toString(QUrl::FullyEncoded)));
        ToolConsole::say(opened ? QStringLiteral("waiting for you to sign in in the browser that opened (5 minutes; Ctrl-C cancels)")
                   : QStringLiteral("waiting for you to open that address in a browser and sign in (5 minutes; "
                                    "Ctrl-C cancels)"));
    });
    connect(m_interrupts.get(), &InterruptWatcher::interrupted, &loop, &QEventLoop::quit);
    QTimer::singleShot(kConnectLimitMs, &loop, [&] {
        failure = QStringLiteral("%1: nobody signed in within %2 minutes").arg(nameOf(chosen)).arg(kConnectLimitMs / 60000);
        loop.quit();
    });
    if (!chosen->connectToCloud()) {
        ToolConsole::complain(QStringLiteral("%1 cannot show its sign-in").arg(nameOf(chosen)));
        return ToolConsole::Failed;
    }
    if (email.isEmpty() && failure.isEmpty() && !m_interrupted)
        loop.exec();
    if (m_interrupted)
        return ToolConsole::Interrupted;
    if (email.isEmpty()) {
        ToolConsole::complain(failure.isEmpty() ? QStringLiteral("%1: not signed in").arg(nameOf(chosen)) : failure);
        return ToolConsole::Failed;
    }
    ToolConsole::say(QStringLiteral("%1: connected as %2").arg(nameOf(chosen), email));
    return ToolConsole::Ok;
}

int CliTool::upload(CloudBase* chosen, const QStringList& files, const QString& folder)
{
    // A name that is not UTF-8 cannot be given to the account, which takes
    // names as text, nor stored under the same name by either service.
    for (const QString& given : files + QStringList{folder}) {
        if (m_unreadable.contains(given)) {
            ToolConsole::complain(given == folder ? QStringLiteral("cannot upload into %1: the name is not UTF-8").arg(given)
                                     : QStringLiteral("cannot upload %1: its name is not UTF-8; rename it").arg(given));
            return ToolConsole::Usage;
        }
    }
    for (const QString& file : files) {
        const QFileInfo info(file);
        if (!info.isFile() || !info.isReadable()) {
            ToolConsole::complain(QStringLiteral("cannot upload %1: %2").arg(file, info.exists() ? "not a readable file" : "no such file"));
            return ToolConsole::Usage;
        }
    }
    if (!requireConnected(chosen))
        return ToolConsole::NotConnected;

    RetryAnswerer retries(*chosen, *m_interrupts);
    connect(&retries, &RetryAnswerer::retrying, this, &ToolConsole::complain);
    QEventLoop loop;
    QMap<QString, std::shared_ptr<ProgressBar>> bars;
    int pending = 0;
    int failures = 0;
    connect(chosen, &CloudBase::uploadProgress, &loop, [&](const QString& file, qint64 sent, qint64 total) {
        if (auto bar = bars.value(file))
            bar->update(sent, total);
    });
    // Each file ends once: its bar closes with the outcome, and a failure's
    // reason goes to standard error.
    connect(chosen, &CloudBase::uploadEnded, &loop, [&](const UploadOutcome& outcome) {
        const auto bar = bars.value(outcome.filePath);
        switch (outcome.ending) {
        case UploadOutcome::Finished:
            bar->finish(QStringLiteral("uploaded: %1 -> %2 (%3)")
                            .arg(outcome.filePath, outcome.storedPath, CloudEntry::readableSize(outcome.storedSize)));
            break;
        case UploadOutcome::Canceled:
            ++failures;
            bar->finish(QStringLiteral("canceled: %1").arg(outcome.filePath));
            if (outcome.error.isError())
                ToolConsole::complain(QStringLiteral("%1: %2").arg(outcome.filePath, outcome.error.text()));
            break;
        case UploadOutcome::Failed:
            ++failures;
            bar->finish(QStringLiteral("failed: %1").arg(outcome.filePath));
            ToolConsole::complain(QStringLiteral("%1: %2").arg(outcome.filePath, outcome.error.text()));
            break;
        }
        if (--pending == 0)
            loop.quit();
    });

    for (const QString& file : files) {
        if (m_interrupted)
            break;
        bars.insert(file, std::make_shared<ProgressBar>(QFileInfo(file).fileName(), stdout));
        ++pending;
        QString error;
        if (!chosen->uploadFile(file, folder, &error)) {
            ToolConsole::complain(error);
            ++failures;
            --pending;
        }
    }
    if (pending > 0 && !m_interrupted)
        loop.exec();
    if (m_interrupted)
        return ToolConsole::Interrupted;
    return failures == 0 ? ToolConsole::Ok : ToolConsole::Failed;
}
