#include "commonmenubar.h"

#include <QAction>
#include <QMap>
#include <QPointer>

namespace QoviLumen {

namespace {

QMap<unsigned int, QPointer<QAction>>& actions()
{
    static QMap<unsigned int, QPointer<QAction>> registry;
    return registry;
}

} // namespace

QAction* CommonMenuBar::getAction(unsigned int id)
{
    return actions().value(id);
}

void CommonMenuBar::registerAction(unsigned int id, QAction* action)
{
    actions().insert(id, action);
}

} // namespace QoviLumen
