#include "breadcrumbbar.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QToolButton>

BreadcrumbBar::BreadcrumbBar(QWidget* parent) : QWidget(parent), m_layout(new QHBoxLayout(this))
{
    m_layout->setContentsMargins(0, 0, 0, 0);
    m_layout->setSpacing(2);
}

void BreadcrumbBar::setCrumbs(const QStringList& names)
{
    while (QLayoutItem* item = m_layout->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    for (int depth = 0; depth < names.size(); ++depth) {
        if (depth > 0)
            m_layout->addWidget(new QLabel(QStringLiteral("\u203A"), this));
        auto* crumb = new QToolButton(this);
        crumb->setText(names.at(depth));
        crumb->setAutoRaise(true);
        crumb->setFocusPolicy(Qt::NoFocus); // the keyboard stays in the list
        crumb->setObjectName(QStringLiteral("crumb%1").arg(depth));
        // The last one is where the chooser is: nowhere to go.
        crumb->setEnabled(depth + 1 < names.size());
        connect(crumb, &QToolButton::clicked, this, [this, depth] { emit crumbClicked(depth); });
        m_layout->addWidget(crumb);
    }
    m_layout->addStretch(1);
}
