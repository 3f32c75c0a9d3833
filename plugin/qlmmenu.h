#pragma once

#include <QMenu>

namespace QoviLumen {

// The drop-down menu of the plug-in's tool-bar button.
class QLMMenu : public QMenu
{
    Q_OBJECT
public:
    explicit QLMMenu(QWidget* parent);

    static const QString kStyleSheet;
};

} // namespace QoviLumen
