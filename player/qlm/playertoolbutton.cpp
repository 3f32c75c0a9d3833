#include "playertoolbutton.h"

#include <QEvent>
#include <QMenu>
#include <QPainter>
#include <QRegularExpression>

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

void PlayerToolButton::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::StyleChange)
        readImages();
    QToolButton::changeEvent(event);
}

void PlayerToolButton::readImages()
{
    const QString sheet = styleSheet();
    const auto image = [&sheet](const QString& selector) {
        const QRegularExpression rule(QStringLiteral("QToolButton%1\\s*\\{[^}]*image:\\s*url\\(([^)]+)\\)")
                                          .arg(QRegularExpression::escape(selector)));
        const QRegularExpressionMatch match = rule.match(sheet);
        return match.hasMatch() ? QPixmap(match.captured(1).trimmed()) : QPixmap();
    };
    m_normal = image(QString());
    m_hover = image(QStringLiteral("::hover"));
    m_pressed = image(QStringLiteral("::hover:pressed"));
    update();
}

void PlayerToolButton::paintEvent(QPaintEvent* event)
{
    const QPixmap& picture = isDown() && !m_pressed.isNull() ? m_pressed
        : underMouse() && !m_hover.isNull()                  ? m_hover
                                                             : m_normal;
    if (picture.isNull()) {
        QToolButton::paintEvent(event);
        return;
    }
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const QSize size = picture.size().scaled(contentsRect().size(), Qt::KeepAspectRatio);
    QRect target(QPoint(), size);
    target.moveCenter(contentsRect().center());
    painter.drawPixmap(target, picture);
}

} // namespace QoviLumen
