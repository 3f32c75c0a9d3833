#include "cloudplugin.h"

#include "cloudbase.h"
#include "commonmenubar.h"
#include "downloadmanagerinterface.h"
#include "dropbox.h"
#include "googledrive.h"
#include "interfacehandle.h"
#include "interfaceids.h"
#include "osutilities.h"
#include "pingbuilder.h"
#include "pingmanager.h"
#include "playertoolbutton.h"
#include "qlmmenu.h"
#include "qovisettings.h"
#include "refcountedptr.h"
#include "signinwindow.h"

#include <QSizePolicy>
#include <QUrl>

// The button images live in the plug-in's static library; the resource
// system needs to be told of them (from outside any namespace).
static void registerButtonImages()
{
    Q_INIT_RESOURCE(buttonimages);
}

namespace QoviLumen {

namespace {

const char* const kApplicationName = "Player";
const char* const kGoogleApiHost = "www.googleapis.com";
const QString kButtonName = QStringLiteral("CloudConnect");
const QString kButtonStyleSheet = QStringLiteral(
    "QToolButton { image: url(:/cloudNormal);}"
    "QToolButton::hover { image: url(:/cloudHover); }"
    "QToolButton::hover:pressed { image: url(:/cloudPressed); }");

// The plug-in's settings store, opened on first use and shared by every
// plug-in object of the process.
qvtl::RefCountedPtr<qvs::QoviSettings>& settingsHandle()
{
    static qvtl::RefCountedPtr<qvs::QoviSettings> handle;
    return handle;
}

void ensureSettingsStore()
{
    if (settingsHandle())
        return;
    const std::string path = "Settings/" + OSUtilities::getComponentIdUTF8();
    settingsHandle() = qvs::CreateQoviSettings(path, qvs::QOVISETTINGS_TYPE_USER);
}

struct ChosenFile {
    QUrl link;
    QString thumbnail;
    quint64 size = 777;
    QString name;
    QString id;
    QString token;
};

ChosenFile readEntry(const QVariant& entry)
{
    ChosenFile file;
    const QVariantMap map = entry.toMap();
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        if (it.key() == QLatin1String("filelink"))
            file.link = it.value().toUrl();
        else if (it.key() == QLatin1String("thumbnail"))
            file.thumbnail = it.value().toString();
        else if (it.key() == QLatin1String("fileSize"))
            file.size = it.value().toULongLong();
        else if (it.key() == QLatin1String("fileName"))
            file.name = it.value().toString();
        else if (it.key() == QLatin1String("id"))
            file.id = it.value().toString();
        else if (it.key() == QLatin1String("token"))
            file.token = it.value().toString();
    }
    return file;
}

QUrl googleDriveAddress(const ChosenFile& file)
{
    return QUrl(QStringLiteral("https://") + QLatin1String(kGoogleApiHost) + QStringLiteral("/drive/v3/files/")
                + file.id + QLatin1Char('/') + QString::number(file.size) + QLatin1Char('/')
                + QString::fromLatin1(QUrl::toPercentEncoding(file.name)));
}

} // namespace

CloudPlugin::CloudPlugin(QSE::PluginContext* context) : QSE::Plugin(context)
{
    registerButtonImages();
    retain();
}

CloudPlugin::~CloudPlugin()
{
    releaseLater();
}

void CloudPlugin::releaseLater()
{
    m_menu.reset();
    for (auto& [cloud, window] : m_signInWindows) {
        if (window)
            window->finish();
    }
    m_signInWindows.clear();
    for (CLOUD_TYPE type : {DROPBOX_CLOUD, GDRIVE_CLOUD}) {
        auto it = m_clouds.find(type);
        if (it != m_clouds.end())
            it->second.reset();
    }
    release();
}

void CloudPlugin::sanityCreate()
{
    auto dropbox = m_clouds.find(DROPBOX_CLOUD);
    if (dropbox != m_clouds.end() && dropbox->second)
        return;

    m_clouds[DROPBOX_CLOUD] = std::make_unique<DropBox>(kApplicationName);
    m_clouds[GDRIVE_CLOUD] = std::make_unique<GoogleDrive>(kApplicationName);
    CloudBase* accounts[] = {m_clouds[DROPBOX_CLOUD].get(), m_clouds[GDRIVE_CLOUD].get()};

    if (QWidget* playerWidget = OSUtilities::getPlayerPluginWidget()) {
        for (CloudBase* cloud : accounts) {
            cloud->setViewParent(playerWidget);
            cloud->setViewWindowFlags(cloud->viewWindowFlags() | Qt::Dialog);
        }
    }

    // The order matters: a sign-in reaches the player before it is pinged.
    for (CloudBase* cloud : accounts)
        connect(cloud, &CloudBase::connectedToCloud, this, &QLMCloudPluginInterface::cloudConnected);
    for (CloudBase* cloud : accounts)
        connect(cloud, &CloudBase::openSelectedFiles, this, &CloudPlugin::onOpenFilesFromCloud,
                Qt::UniqueConnection);
    for (CloudBase* cloud : accounts)
        connect(cloud, &CloudBase::connectedToCloud, this, &CloudPlugin::onConnectedToCloud);
    connect(this, &CloudPlugin::openChooser, this, &CloudPlugin::internalOpenChooser);
    // While a sign-in goes on in the browser, a window says so and can end it.
    for (CloudBase* cloud : accounts) {
        connect(cloud, &CloudBase::signInWaiting, this,
                [this, cloud](const QUrl& address, bool opened) { showSignInWindow(cloud, address, opened); });
        connect(cloud, &CloudBase::connectedToCloud, this, [this, cloud] { closeSignInWindow(cloud); });
        connect(cloud, &CloudBase::signInFailed, this, [this, cloud] { closeSignInWindow(cloud); });
    }
    applySignInRoad();
}

void CloudPlugin::applySignInRoad()
{
    const bool embedded = readStringSetting("CloudConnect", "SignInRoad", "browser") == "embedded";
    // "NativeChooser": the chooser of our own on the embedded road as well.
    const bool native = readBoolSetting("CloudConnect", "NativeChooser", false);
    for (auto& [type, cloud] : m_clouds) {
        if (!cloud)
            continue;
        cloud->setSignInRoad(embedded ? CloudBase::EmbeddedRoad : CloudBase::BrowserRoad);
        cloud->setNativeChooser(native);
    }
}

void CloudPlugin::showSignInWindow(CloudBase* cloud, const QUrl& address, bool browserOpened)
{
    QPointer<SignInWindow>& window = m_signInWindows[cloud];
    if (window) {
        window->showAgain(address);
        return;
    }
    window = new SignInWindow(QLatin1String(cloud->service().name), address, browserOpened,
                              OSUtilities::getPlayerPluginWidget());
    window->setWindowFlags(window->windowFlags() | Qt::Dialog);
    connect(window, &SignInWindow::canceled, cloud, &CloudBase::cancelSignIn);
    window->show();
}

void CloudPlugin::closeSignInWindow(CloudBase* cloud)
{
    auto it = m_signInWindows.find(cloud);
    if (it == m_signInWindows.end())
        return;
    if (it->second)
        it->second->finish();
    m_signInWindows.erase(it);
}

CloudBase* CloudPlugin::account(CLOUD_TYPE type) const
{
    auto it = m_clouds.find(type);
    return it == m_clouds.end() ? nullptr : it->second.get();
}

void CloudPlugin::connectCloud(CLOUD_TYPE type)
{
    sanityCreate();
    if (CloudBase* cloud = account(type))
        cloud->connectToCloud();
}

bool CloudPlugin::isCloudConnected(CLOUD_TYPE type)
{
    sanityCreate();
    CloudBase* cloud = account(type);
    return cloud && cloud->isConnected(false);
}

QString CloudPlugin::cloudEmail(CLOUD_TYPE type)
{
    sanityCreate();
    CloudBase* cloud = account(type);
    return cloud ? cloud->readEmail() : QString();
}

void CloudPlugin::disconnectFromCloud(CLOUD_TYPE type)
{
    sanityCreate();
    if (CloudBase* cloud = account(type))
        cloud->disconnectCloud();
}

QString CloudPlugin::refreshGDriveToken()
{
    auto* drive = static_cast<GoogleDrive*>(account(GDRIVE_CLOUD));
    return drive ? drive->sendRefreshTokenSyncRequest(nullptr) : QString();
}

bool CloudPlugin::isGDriveTokenExpired()
{
    sanityCreate();
    auto* drive = static_cast<GoogleDrive*>(account(GDRIVE_CLOUD));
    return drive && drive->isTokenExpired();
}

int CloudPlugin::queryInterface(const QSE::qovi_string& id, void** out)
{
    *out = nullptr;
    if (id == InterfaceIds::Menu)
        *out = static_cast<MenuInterface*>(this);
    else if (id == InterfaceIds::CloudPluginInterface)
        *out = static_cast<QLMCloudPluginInterface*>(this);
    else if (id == InterfaceIds::ToolBar)
        *out = static_cast<ToolBarInterface*>(this);
    else if (id == InterfaceIds::SettingsConsumer)
        *out = static_cast<SettingsConsumerInterface*>(this);
    return *out ? 0 : 3;
}

QObject* CloudPlugin::menuObject()
{
    return this;
}

void CloudPlugin::importFromDropbox()
{
    sanityCreate();
    openCloud(DROPBOX_CLOUD);
}

void CloudPlugin::importFromGDrive()
{
    sanityCreate();
    openCloud(GDRIVE_CLOUD);
}

void CloudPlugin::openCloud(CLOUD_TYPE type)
{
    emit openChooser(type);
}

void CloudPlugin::internalOpenChooser(CLOUD_TYPE type)
{
    if (CloudBase* cloud = account(type))
        cloud->openChooserFlow();
}

void CloudPlugin::onConnectedToCloud(CLOUD_TYPE type, const QString&)
{
    sendPingForAction(REGISTER_ACTION, type, QString());
}

void CloudPlugin::sendPingForAction(ACTION_TYPE actionType, CLOUD_TYPE cloudType, QString info)
{
    const QString url =
        PingBuilder::address(OSUtilities::getPlatform(), actionType, cloudType, OSUtilities::getGeo(), info);
    if (!url.isEmpty())
        PingManager::sendPing(url, false);
}

void CloudPlugin::onOpenFilesFromCloud(QVariantList files)
{
    const auto* cloud = qobject_cast<CloudBase*>(sender());
    if (!cloud)
        return;
    for (int i = 0; i < files.size(); ++i) {
        if (!files.at(i).isValid())
            continue;
        if (!openInPlayer(*cloud, files.at(i)))
            return;
    }
}

bool CloudPlugin::openInPlayer(const CloudBase& cloud, const QVariant& entry)
{
    const ChosenFile file = readEntry(entry);
    const QUrl address = cloud.cloudType() == GDRIVE_CLOUD ? googleDriveAddress(file) : file.link;

    const InterfaceHandle downloads(getPluginContext(), InterfaceIds::DownloadManager);
    if (downloads.status() != 0)
        return false;
    auto* manager = downloads.as<DownloadManagerInterface>();
    qvtl::RefCountedPtr<MediaManagerInterface::QueuedFileInterface> queued;
    if (manager->findQueuedFile(queued.out(), address))
        return true;
    manager->addQueuedFile(queued.out(), address, QString(), QString());
    sendPingForAction(IMPORT_ACTION, cloud.cloudType(), address.toString());
    return true;
}

QStringList CloudPlugin::toolBarButtons(const QString& toolBarName)
{
    if (toolBarName == QLatin1String("ControlButtons") || toolBarName == QLatin1String("FullscreenButtons"))
        return {kButtonName};
    return {};
}

void CloudPlugin::setupToolBarButton(const QString& buttonName, PlayerToolButton* button)
{
    if (buttonName != kButtonName || !button)
        return;
    button->setStyleSheet(kButtonStyleSheet);
    if (!m_menu) {
        m_menu = std::make_unique<QLMMenu>(nullptr);
        for (unsigned int id : {1007u, 1008u}) {
            if (QAction* action = CommonMenuBar::getAction(id))
                m_menu->addAction(action);
        }
        connect(m_menu.get(), &QMenu::triggered, this, &CloudPlugin::menuTriger);
    }
    connect(this, &CloudPlugin::setCloudButtonVisible, button, &PlayerToolButton::setVisibleSlot);
    button->setButtonMenu(m_menu.get());
    button->setButtonMenuMode(4);
    button->setSizePolicy(QSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred));
    if (!readBoolSetting("CloudConnect", "CloudConnectVisible", true))
        button->hide();
}

void CloudPlugin::settingsChanged()
{
    settingsHandle().reset();
    ensureSettingsStore();
    emit setCloudButtonVisible(readBoolSetting("CloudConnect", "CloudConnectVisible", true));
    applySignInRoad();
}

void CloudPlugin::menuTriger(QAction*)
{
    if (m_menu)
        m_menu->hide();
}

bool CloudPlugin::readBoolSetting(const char* group, const char* key, bool defaultValue)
{
    ensureSettingsStore();
    if (!settingsHandle())
        return defaultValue;
    bool value = defaultValue;
    qvtl::RefCountedPtr<qvs::QoviSettingsGroup> settingsGroup;
    if (settingsHandle()->OpenGroup(group, settingsGroup))
        settingsGroup->GetBool(key, value);
    return value;
}

std::string CloudPlugin::readStringSetting(const char* group, const char* key, const std::string& defaultValue)
{
    ensureSettingsStore();
    qvtl::RefCountedPtr<qvs::QoviSettingsGroup> settingsGroup;
    qvtl::string value(defaultValue);
    if (settingsHandle() && settingsHandle()->OpenGroup(group, settingsGroup))
        settingsGroup->GetString(key, value);
    return value.str();
}

} // namespace QoviLumen
