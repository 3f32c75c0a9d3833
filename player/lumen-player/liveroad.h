#pragma once

#include "road.h"

#include <QPointer>
#include <QTimer>

#include <memory>

class DemoBrowser;
class QTableView;
class WebWindowWatcher;

// An import on today's road, watched and walked from the player's side:
// the plug-in signs in in the user's browser (its "Continue in your
// browser" window gives the address, which the demo's browser opens; the
// stand-in's pages sign in and allow), then its native chooser opens, and
// this uses it as a person would, with the mouse and the keyboard: a
// subfolder, a search, back, two files picked; both are queued, pinged and
// downloaded. One line per step, a picture of each window.
class LiveRoad : public Road
{
    Q_OBJECT
public:
    LiveRoad(QObject* plugin, WebWindowWatcher* pictures, CLOUD_TYPE cloud);
    ~LiveRoad() override;

    // The folder whose files are picked.
    static constexpr const char* kFolder = "Videos";

protected:
    void watch() override;

private:
    enum Stage { SigningIn, Browsing, Top, Folder, Searching, Back, Picking, Picked };

    void poll();
    void signIn(QWidget* window);
    void onBrowserLoaded(bool ok);
    void useChooser();
    QStringList names() const;
    QString lastCrumb() const;
    void doubleClick(const QString& name);
    void picture(QWidget* window, const QString& label);

    WebWindowWatcher* m_pictures;
    QTimer m_poll;
    Stage m_stage = SigningIn;
    std::unique_ptr<DemoBrowser> m_browser;
    QPointer<QWidget> m_chooser;
    QPointer<QTableView> m_view;
    QStringList m_folder; // the subfolder's files
    QString m_searched;
};
