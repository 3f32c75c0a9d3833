#include "qlmmenu.h"

#include "osutilities.h"

namespace QoviLumen {

const QString QLMMenu::kStyleSheet = QStringLiteral(
    "QMenu {   border: 1px solid #303030;   background: rgba(0, 0, 0, 92%);   color: black;   padding-top: 7px;   padding-bottom: 7px;}"
    "QMenu::item {   color: #FFFFFF;   padding-left: 2.7em;   padding-right: 17px;   border: 1px solid transparent;   height: 1.3em;}"
    "QMenu::item:checked {   color: #36B1EA;}"
    "QMenu::item:selected {   background-color: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #08C3F4, stop:1 #0C9EC4);   color: #FFFFFF;}"
    "QMenu::item:disabled {background-color: #000000;color: #BEBEBE;}"
    "QMenu::separator {   height: 1px;   background: #212121;   margin-top: 3px;   margin-bottom: 3px;}"
    "QMenu::right-arrow {   border-image: url(:/Menu/Arrow/Right);\tmargin-right: 3px;\twidth: 0.7em;\theight: 0.7em;}"
    "QMenu::indicator:non-exclusive:checked {   margin-left: 3px;   border-image: url(:/Menu/Check);\tmargin-top: 0.15em;\tmargin-bottom: 0.15em;}"
    "QMenu::indicator:exclusive:checked {   margin-left: 3px;   border-image: url(:/Menu/Check);\tmargin-top: 0.15em;\tmargin-bottom: 0.15em;}");

QLMMenu::QLMMenu(QWidget* parent) : QMenu(parent)
{
    setStyleSheet(kStyleSheet);
    OSUtilities::FixEmExStyleSheet(this);
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground, true);
}

} // namespace QoviLumen
