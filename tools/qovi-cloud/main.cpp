#include "clitool.h"

#include <QApplication>

int main(int argc, char** argv)
{
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
    int status = 0;
    {
        CliTool tool;
        status = tool.run(QApplication::arguments());
    }
    return status;
}
