#pragma once

#include <QStringList>
#include <QWidget>

class QHBoxLayout;

// Where the chooser is: the names from the account's top down to the folder
// shown, each a button that goes there.
class BreadcrumbBar : public QWidget
{
    Q_OBJECT
public:
    explicit BreadcrumbBar(QWidget* parent = nullptr);

    // The names, top first; the last one is where the chooser is.
    void setCrumbs(const QStringList& names);

signals:
    // The crumb at that depth (0: the top) was clicked.
    void crumbClicked(int depth);

private:
    QHBoxLayout* m_layout;
};
