#pragma once

#include <QList>
#include <QMainWindow>
#include <QPointer>

class Downloader;
class DownloadsView;
class QAction;
class QToolBar;

namespace QoviLumen {
class PlayerToolButton;
class SettingsConsumerInterface;
class ToolBarInterface;
} // namespace QoviLumen

// The player's main window: its two tool bars with the buttons its
// plug-ins ask for, the import actions of its menu, the preference of the
// cloud button, and the list of downloads.
class PlayerWindow : public QMainWindow
{
    Q_OBJECT
public:
    static constexpr unsigned kImportFromDropbox = 1007;
    static constexpr unsigned kImportFromGoogleDrive = 1008;

    explicit PlayerWindow(Downloader& downloads, QWidget* parent = nullptr);
    ~PlayerWindow() override;

    // Gives the plug-in its buttons in both bars and wires the import
    // actions to its slots (pluginObject: the object carrying them).
    void attachPlugin(QObject* pluginObject, QoviLumen::ToolBarInterface* toolBar,
                      QoviLumen::SettingsConsumerInterface* settings);

    QToolBar* controlBar() const { return m_controlBar; }
    QToolBar* fullscreenBar() const { return m_fullscreenBar; }
    QList<QoviLumen::PlayerToolButton*> pluginButtons() const;
    QAction* importAction(unsigned id) const;
    QAction* cloudButtonPreference() const { return m_showCloudButton; }
    QAction* signInRoadPreference() const { return m_signInInBrowser; }
    QAction* nativeChooserPreference() const { return m_nativeChooser; }
    DownloadsView* downloadsView() const { return m_downloadsView; }

    // What "Show the cloud button" keeps: the player's own setting.
    static bool cloudButtonShown();
    static void storeCloudButtonShown(bool shown);
    // How the plug-in signs in: "browser" (unless told otherwise) or "embedded".
    static QString signInRoad();
    static void storeSignInRoad(const QString& road);
    // What "Choose cloud files in the player's own window" keeps.
    static bool nativeChooser();
    static void storeNativeChooser(bool native);

private:
    void addButtons(QToolBar* bar, QoviLumen::ToolBarInterface* toolBar);

    QToolBar* m_controlBar;
    QToolBar* m_fullscreenBar;
    QAction* m_importDropbox;
    QAction* m_importDrive;
    QAction* m_showCloudButton;
    QAction* m_signInInBrowser;
    QAction* m_nativeChooser;
    DownloadsView* m_downloadsView;
    QoviLumen::SettingsConsumerInterface* m_settingsConsumer = nullptr;
    QList<QPointer<QoviLumen::PlayerToolButton>> m_buttons;
};
