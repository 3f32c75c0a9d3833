#pragma once

class QAction;

namespace QoviLumen {

// The player's menu actions, by id, for plug-ins that show them.
class CommonMenuBar
{
public:
    // Null when the player has no action with the id (or it was deleted).
    static QAction* getAction(unsigned int id);
    static void registerAction(unsigned int id, QAction* action);
};

} // namespace QoviLumen
