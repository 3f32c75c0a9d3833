#include "liveroad.h"

#include "demobrowser.h"
#include "webwindowwatcher.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QToolButton>
#include <QWebFrame>

namespace {

QWidget* shownWindow(const char* className)
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible() && qstrcmp(widget->metaObject()->className(), className) == 0)
            return widget;
    }
    return nullptr;
}

} // namespace

LiveRoad::LiveRoad(QObject* plugin, WebWindowWatcher* pictures, CLOUD_TYPE cloud)
    : Road(plugin, cloud, 2), m_pictures(pictures)
{
    connect(&m_poll, &QTimer::timeout, this, &LiveRoad::poll);
}

LiveRoad::~LiveRoad() = default;

void LiveRoad::watch()
{
    // The plug-in's windows are its own: they are looked for, as a person would.
    m_poll.start(100);
}

void LiveRoad::poll()
{
    if (m_stage == SigningIn) {
        if (QWidget* window = shownWindow("SignInWindow"))
            signIn(window);
        return;
    }
    if (m_stage >= Top && m_stage < Picked)
        useChooser();
    if (m_stage == Browsing && (m_chooser = shownWindow("NativeChooser"))) {
        m_view = m_chooser->findChild<QTableView*>();
        step(QStringLiteral("the plug-in opens its native chooser: \"%1\"").arg(m_chooser->windowTitle()));
        m_stage = Top;
    }
}

void LiveRoad::signIn(QWidget* window)
{
    const QString address = window->findChild<QLineEdit*>()->text();
    step(QStringLiteral("the plug-in shows its window \"%1\": no browser opens on this display, so the address "
                        "is there to open (%2)")
             .arg(window->windowTitle(), QUrl(address).toString(QUrl::RemoveQuery)));
    picture(window, QStringLiteral("sign-in window ") + cloudName());
    for (QPushButton* button : window->findChildren<QPushButton*>()) {
        if (button->text() == QLatin1String("Copy"))
            QTest::mouseClick(button, Qt::LeftButton);
    }
    step(QStringLiteral("a click on Copy; the address opened in the user's browser"));
    m_browser = std::make_unique<DemoBrowser>();
    connect(m_browser.get(), &QWebView::loadFinished, this, &LiveRoad::onBrowserLoaded);
    m_browser->show();
    m_browser->load(QUrl(address));
    m_stage = Browsing;
}

void LiveRoad::onBrowserLoaded(bool ok)
{
    const QUrl address = m_browser->url();
    if (address.host() == QLatin1String("127.0.0.1")) {
        step(QStringLiteral("the browser came back to the plug-in on 127.0.0.1:%1, which answered \"%2\"")
                 .arg(address.port())
                 .arg(m_browser->page()->mainFrame()->toPlainText().simplified()));
        picture(m_browser.get(), QStringLiteral("browser back at the plug-in ") + cloudName());
        m_browser->close();
        return;
    }
    step(QStringLiteral("the browser loaded \"%1\" (%2)%3")
             .arg(m_browser->title(), address.toString(QUrl::RemoveQuery | QUrl::RemoveFragment),
                  ok ? QString() : QStringLiteral(", with an error")));
    picture(m_browser.get(), QStringLiteral("browser ") + m_browser->title());
}

QStringList LiveRoad::names() const
{
    QStringList shown;
    for (int row = 0; m_view && row < m_view->model()->rowCount(); ++row)
        shown << m_view->model()->index(row, 0).data().toString();
    return shown;
}

QString LiveRoad::lastCrumb() const
{
    QString last;
    for (int depth = 0; m_chooser && m_chooser->findChild<QToolButton*>(QStringLiteral("crumb%1").arg(depth)); ++depth)
        last = m_chooser->findChild<QToolButton*>(QStringLiteral("crumb%1").arg(depth))->text();
    return last;
}

void LiveRoad::doubleClick(const QString& name)
{
    const QPoint cell = m_view->visualRect(m_view->model()->index(names().indexOf(name), 0)).center();
    QTest::mouseClick(m_view->viewport(), Qt::LeftButton, Qt::NoModifier, cell);
    QTest::mouseDClick(m_view->viewport(), Qt::LeftButton, Qt::NoModifier, cell);
}

void LiveRoad::useChooser()
{
    if (m_stage == Picking && (!m_chooser || !m_chooser->isVisible())) {
        step(QStringLiteral("the native chooser closed with the two files"));
        m_stage = Picked;
        m_poll.stop();
        return;
    }
    if (!m_chooser || !m_view)
        return;
    const QStringList shown = names();
    const QString folder = QLatin1String(kFolder);
    if (m_stage == Top && shown.contains(folder)) {
        step(QStringLiteral("the chooser lists the top of %1: %2").arg(cloudName(), shown.join(QStringLiteral(", "))));
        picture(m_chooser, QStringLiteral("native chooser top ") + cloudName());
        step(QStringLiteral("a double-click on %1").arg(folder));
        doubleClick(folder);
        m_stage = Folder;
    } else if (m_stage == Folder && lastCrumb() == folder && shown.size() >= 2) {
        m_folder = shown;
        step(QStringLiteral("%1 is open: %2").arg(folder, shown.join(QStringLiteral(", "))));
        picture(m_chooser, QStringLiteral("native chooser a folder open ") + cloudName());
        m_searched = shown.first().section(QLatin1Char(' '), 0, 0).section(QLatin1Char('.'), 0, 0);
        auto* search = m_chooser->findChild<QLineEdit*>();
        QTest::mouseClick(search, Qt::LeftButton);
        QTest::keyClicks(search, m_searched);
        QTest::keyClick(search, Qt::Key_Return);
        step(QStringLiteral("\"%1\" typed in the search field, then Enter").arg(m_searched));
        m_stage = Searching;
    } else if (m_stage == Searching && lastCrumb().endsWith(m_searched) && shown.contains(m_folder.first())) {
        step(QStringLiteral("the search found: %1").arg(shown.join(QStringLiteral(", "))));
        picture(m_chooser, QStringLiteral("native chooser a search ") + cloudName());
        QTest::keyClick(m_view, Qt::Key_Backspace);
        step(QStringLiteral("Backspace: back in %1").arg(folder));
        m_stage = Back;
    } else if (m_stage == Back && lastCrumb() == folder && shown == m_folder) {
        QTest::keyClick(m_view, Qt::Key_A, Qt::ControlModifier);
        step(QStringLiteral("Ctrl+A selects %1, then Enter").arg(shown.join(QStringLiteral(" and "))));
        m_stage = Picking;
        QTest::keyClick(m_view, Qt::Key_Return);
    }
}

void LiveRoad::picture(QWidget* window, const QString& label)
{
    const QString path = m_pictures->savePicture(window->grab(), label);
    step(path.isEmpty() ? QStringLiteral("no picture of it could be saved") : QStringLiteral("picture: %1").arg(path));
}
