#include "playertoolbutton.h"

#include <QMenu>

namespace QoviLumen {

PlayerToolButton::PlayerToolButton(QWidget* parent) : QToolButton(parent) {}

void PlayerToolButton::setButtonMenu(QMenu* menu)
{
    m_menu = menu;
    applyMenu();
}

QMenu* PlayerToolButton::buttonMenu() const
{
    return m_menu;
}

void PlayerToolButton::setButtonMenuMode(int mode)
{
    m_menuMode = mode;
    applyMenu();
}

void PlayerToolButton::setVisibleSlot(bool visible)
{
    setVisible(visible);
}

void PlayerToolButton::applyMenu()
{
    setMenu(m_menuMode == NoMenu ? nullptr : m_menu.data());
    switch (m_menuMode) {
    case MenuOnHold: setPopupMode(QToolButton::DelayedPopup); break;
    case MenuOnArrow: setPopupMode(QToolButton::MenuButtonPopup); break;
    default: setPopupMode(QToolButton::InstantPopup); break;
    }
}

} // namespace QoviLumen
