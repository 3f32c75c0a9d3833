#include "demoplayer.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>

int main(int argc, char** argv)
{
    // Without a display the player still runs, on the offscreen platform.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("lumen-player"));

    QCommandLineParser options;
    options.setApplicationDescription(QStringLiteral("The Lumen demo player."));
    options.addHelpOption();
    const QCommandLineOption pluginFolder(QStringLiteral("plugins"), QStringLiteral("Folder of plug-in bundles."),
                                          QStringLiteral("folder"),
                                          QDir(QApplication::applicationDirPath() + "/../plugins").absolutePath());
    options.addOption(pluginFolder);
    options.process(app);

    DemoPlayer player(options.value(pluginFolder));
    return player.run();
}
