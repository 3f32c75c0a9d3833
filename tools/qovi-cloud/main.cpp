#include "clitool.h"

#include <QApplication>

#include <cstdio>

namespace {

// Qt's own debug output and warnings (a missing XDG_RUNTIME_DIR, say) mean
// nothing to the user; errors, and the warnings of the player's own
// libraries, are said.
void sayErrors(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    const bool ours = context.category && qstrncmp(context.category, "lumen.", 6) == 0;
    if (type == QtCriticalMsg || type == QtFatalMsg || (type == QtWarningMsg && ours))
        std::fprintf(stderr, "qovi-cloud: %s\n", qPrintable(message));
}

} // namespace

int main(int argc, char** argv)
{
    qInstallMessageHandler(sayErrors);
    // The accounts keep a web window for sign-in; without a display it is
    // drawn off screen.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Qt's own event dispatcher costs less per cross-thread wake-up than the
    // GLib one, and an upload makes tens of thousands of them.
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("qovi-cloud"));
    QApplication::setApplicationVersion(QStringLiteral(LUMEN_VERSION));
    // The bytes as given (what Qt left of them): file names need not be text.
    QList<QByteArray> arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QByteArray(argv[i]));
    int status = 0;
    {
        CliTool tool;
        status = tool.run(arguments);
    }
    return status;
}
