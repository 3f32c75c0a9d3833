#pragma once

#include <QString>
#include <QStringList>

namespace QoviLumen {

class PlayerToolButton;

class ToolBarInterface
{
public:
    virtual ~ToolBarInterface() {}
    // The names of the buttons the plug-in wants in the named tool bar.
    virtual QStringList toolBarButtons(const QString& toolBarName) = 0;
    // Styles and wires a button the player made for one of those names.
    virtual void setupToolBarButton(const QString& buttonName, PlayerToolButton* button) = 0;
};

} // namespace QoviLumen
