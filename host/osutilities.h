#pragma once

#include <string>

class QWidget;

namespace QoviLumen {

// What the player tells its plug-ins about the machine and itself. The host
// application sets the values at start-up.
class OSUtilities
{
public:
    enum Platform { UnknownPlatform = 0, MacPlatform = 1, WindowsPlatform = 2 };

    // The player's window to which plug-in dialogs belong, or null.
    static QWidget* getPlayerPluginWidget();
    static int getPlatform();
    static std::string getGeo();
    static std::string getComponentIdUTF8();
    // Rewrites em and ex lengths of the widget's style sheet in pixels of
    // its font, so that the sheet renders alike on every platform.
    static void FixEmExStyleSheet(QWidget* widget);

    static void setPlayerPluginWidget(QWidget* widget);
    static void setPlatform(int platform);
    static void setGeo(const std::string& geo);
    static void setComponentId(const std::string& componentId);
};

} // namespace QoviLumen
