#pragma once

#include <QPointer>
#include <QToolButton>

class QMenu;

namespace QoviLumen {

// The button class of the player's tool bars; plug-ins style and wire the
// buttons the player makes for them.
class PlayerToolButton : public QToolButton
{
    Q_OBJECT
public:
    enum MenuMode { NoMenu = 0, MenuOnHold = 1, MenuOnArrow = 2, MenuOnClick = 4 };

    explicit PlayerToolButton(QWidget* parent = nullptr);

    void setButtonMenu(QMenu* menu);
    QMenu* buttonMenu() const;
    void setButtonMenuMode(int mode);
    int buttonMenuMode() const { return m_menuMode; }

public slots:
    void setVisibleSlot(bool visible);

private:
    void applyMenu();

    QPointer<QMenu> m_menu;
    int m_menuMode = NoMenu;
};

} // namespace QoviLumen
