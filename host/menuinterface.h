#pragma once

class QObject;

namespace QoviLumen {

class MenuInterface
{
public:
    virtual ~MenuInterface() {}
    // The object carrying the plug-in's public slots for the player's menus.
    virtual QObject* menuObject() = 0;
};

} // namespace QoviLumen
