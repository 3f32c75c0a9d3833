#pragma once

#include <QPixmap>
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

protected:
    // The player's buttons draw the images their style sheet names
    // ("image: url(...)" for the normal, ::hover and ::hover:pressed
    // states), scaled to the button.
    void changeEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void applyMenu();
    void readImages();

    QPointer<QMenu> m_menu;
    int m_menuMode = NoMenu;
    QPixmap m_normal;
    QPixmap m_hover;
    QPixmap m_pressed;
};

} // namespace QoviLumen
