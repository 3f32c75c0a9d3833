#include "playerwindow.h"

#include "commonmenubar.h"
#include "downloadsview.h"
#include "osutilities.h"
#include "playertoolbutton.h"
#include "qovisettings.h"
#include "settingsconsumerinterface.h"
#include "toolbarinterface.h"

#include <QAction>
#include <QMenuBar>
#include <QToolBar>

namespace {

qvtl::RefCountedPtr<qvs::QoviSettingsGroup> cloudGroup(bool create)
{
    qvtl::RefCountedPtr<qvs::QoviSettingsGroup> group;
    auto store = qvs::CreateQoviSettings("Settings/" + QoviLumen::OSUtilities::getComponentIdUTF8(),
                                         qvs::QOVISETTINGS_TYPE_USER);
    if (store)
        create ? store->CreateGroup("CloudConnect", group) : store->OpenGroup("CloudConnect", group);
    return group;
}

} // namespace

PlayerWindow::PlayerWindow(Downloader& downloads, QWidget* parent)
    : QMainWindow(parent),
      m_controlBar(new QToolBar(tr("Controls"), this)),
      m_fullscreenBar(new QToolBar(tr("Full screen"), this)),
      m_importDropbox(new QAction(tr("Import from Dropbox..."), this)),
      m_importDrive(new QAction(tr("Import from Google Drive..."), this)),
      m_showCloudButton(new QAction(tr("Show the cloud button"), this)),
      m_signInInBrowser(new QAction(tr("Sign in to clouds in the web browser"), this)),
      m_nativeChooser(new QAction(tr("Choose cloud files in the player's own window"), this)),
      m_downloadsView(new DownloadsView(downloads, this))
{
    setWindowTitle(QStringLiteral("Lumen"));
    m_controlBar->setObjectName(QStringLiteral("ControlButtons"));
    m_fullscreenBar->setObjectName(QStringLiteral("FullscreenButtons"));
    addToolBar(Qt::BottomToolBarArea, m_controlBar);
    addToolBar(Qt::TopToolBarArea, m_fullscreenBar);
    QMenu* file = menuBar()->addMenu(tr("&File"));
    file->addAction(m_importDropbox);
    file->addAction(m_importDrive);
    QoviLumen::CommonMenuBar::registerAction(kImportFromDropbox, m_importDropbox);
    QoviLumen::CommonMenuBar::registerAction(kImportFromGoogleDrive, m_importDrive);
    m_showCloudButton->setCheckable(true);
    m_showCloudButton->setChecked(cloudButtonShown());
    QMenu* preferences = menuBar()->addMenu(tr("&Preferences"));
    preferences->addAction(m_showCloudButton);
    connect(m_showCloudButton, &QAction::toggled, this, [this](bool shown) {
        storeCloudButtonShown(shown);
        if (m_settingsConsumer)
            m_settingsConsumer->settingsChanged();
    });
    // Unchecked: the sign-in inside the plug-in's own web window.
    m_signInInBrowser->setCheckable(true);
    m_signInInBrowser->setChecked(signInRoad() != QLatin1String("embedded"));
    preferences->addAction(m_signInInBrowser);
    connect(m_signInInBrowser, &QAction::toggled, this, [this](bool browser) {
        storeSignInRoad(QLatin1String(browser ? "browser" : "embedded"));
        if (m_settingsConsumer)
            m_settingsConsumer->settingsChanged();
    });
    // Unchecked: the services' own choosers, in the plug-in's web window.
    m_nativeChooser->setCheckable(true);
    m_nativeChooser->setChecked(nativeChooser());
    preferences->addAction(m_nativeChooser);
    connect(m_nativeChooser, &QAction::toggled, this, [this](bool native) {
        storeNativeChooser(native);
        if (m_settingsConsumer)
            m_settingsConsumer->settingsChanged();
    });
    setCentralWidget(m_downloadsView);
    resize(800, 480);
}

PlayerWindow::~PlayerWindow()
{
    QoviLumen::CommonMenuBar::registerAction(kImportFromDropbox, nullptr);
    QoviLumen::CommonMenuBar::registerAction(kImportFromGoogleDrive, nullptr);
}

void PlayerWindow::attachPlugin(QObject* pluginObject, QoviLumen::ToolBarInterface* toolBar,
                                QoviLumen::SettingsConsumerInterface* settings)
{
    m_settingsConsumer = settings;
    // Across the bundle's boundary slots are reached by their signatures.
    connect(m_importDropbox, SIGNAL(triggered()), pluginObject, SLOT(importFromDropbox()));
    connect(m_importDrive, SIGNAL(triggered()), pluginObject, SLOT(importFromGDrive()));
    if (toolBar) {
        addButtons(m_controlBar, toolBar);
        addButtons(m_fullscreenBar, toolBar);
    }
}

void PlayerWindow::addButtons(QToolBar* bar, QoviLumen::ToolBarInterface* toolBar)
{
    for (const QString& name : toolBar->toolBarButtons(bar->objectName())) {
        auto* button = new QoviLumen::PlayerToolButton(bar);
        button->setObjectName(name);
        button->setToolTip(tr("Cloud"));
        button->setIconSize(QSize(36, 36));
        button->setFixedSize(44, 44);
        bar->addWidget(button);
        toolBar->setupToolBarButton(name, button);
        m_buttons.append(button);
    }
}

QList<QoviLumen::PlayerToolButton*> PlayerWindow::pluginButtons() const
{
    QList<QoviLumen::PlayerToolButton*> buttons;
    for (const QPointer<QoviLumen::PlayerToolButton>& button : m_buttons) {
        if (button)
            buttons.append(button);
    }
    return buttons;
}

QAction* PlayerWindow::importAction(unsigned id) const
{
    return id == kImportFromDropbox ? m_importDropbox : id == kImportFromGoogleDrive ? m_importDrive : nullptr;
}

bool PlayerWindow::cloudButtonShown()
{
    bool shown = true;
    if (auto group = cloudGroup(false))
        group->GetBool("CloudConnectVisible", shown);
    return shown;
}

void PlayerWindow::storeCloudButtonShown(bool shown)
{
    if (auto group = cloudGroup(true))
        group->SetBool("CloudConnectVisible", shown);
}

QString PlayerWindow::signInRoad()
{
    qvtl::string road("browser");
    if (auto group = cloudGroup(false))
        group->GetString("SignInRoad", road);
    return QString::fromStdString(road.str());
}

void PlayerWindow::storeSignInRoad(const QString& road)
{
    if (auto group = cloudGroup(true))
        group->SetString("SignInRoad", road.toStdString());
}

bool PlayerWindow::nativeChooser()
{
    bool native = false;
    if (auto group = cloudGroup(false))
        group->GetBool("NativeChooser", native);
    return native;
}

void PlayerWindow::storeNativeChooser(bool native)
{
    if (auto group = cloudGroup(true))
        group->SetBool("NativeChooser", native);
}
