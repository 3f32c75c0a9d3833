#pragma once

#include "cloudtypes.h"
#include "menuinterface.h"
#include "plugin.h"
#include "qlmcloudplugininterface.h"
#include "settingsconsumerinterface.h"
#include "toolbarinterface.h"

#include <QPointer>
#include <QUrl>
#include <QVariantList>

#include <map>
#include <memory>

class QAction;
class CloudBase;
class SignInWindow;

namespace QoviLumen {

class QLMMenu;

// The plug-in object: what the player loads, asks for interfaces and holds.
// It owns one account per service, made on first need.
class CloudPlugin : public QLMCloudPluginInterface,
                    public QSE::Plugin,
                    public MenuInterface,
                    public ToolBarInterface,
                    public SettingsConsumerInterface
{
    Q_OBJECT
public:
    explicit CloudPlugin(QSE::PluginContext* context);
    ~CloudPlugin() override;

    void connectCloud(CLOUD_TYPE type) override;
    bool isCloudConnected(CLOUD_TYPE type) override;
    QString cloudEmail(CLOUD_TYPE type) override;
    void disconnectFromCloud(CLOUD_TYPE type) override;
    QString refreshGDriveToken() override;
    bool isGDriveTokenExpired() override;

    int queryInterface(const QSE::qovi_string& id, void** out) override;
    QObject* menuObject() override;
    QStringList toolBarButtons(const QString& toolBarName) override;
    void setupToolBarButton(const QString& buttonName, PlayerToolButton* button) override;
    void settingsChanged() override;

    // The account of a kind; null before the accounts are made.
    CloudBase* account(CLOUD_TYPE type) const;

signals:
    void openChooser(CLOUD_TYPE type);
    void setCloudButtonVisible(bool visible);

public slots:
    void releaseLater();
    void importFromDropbox();
    void importFromGDrive();
    void sendPingForAction(ACTION_TYPE actionType, CLOUD_TYPE cloudType, QString info = QString());

private slots:
    void internalOpenChooser(CLOUD_TYPE type = CLOUD_TYPE(-1));
    void onOpenFilesFromCloud(QVariantList files);
    void openCloud(CLOUD_TYPE type);
    void onConnectedToCloud(CLOUD_TYPE type, const QString& email);
    void sanityCreate();
    void menuTriger(QAction* action);

private:
    void connectAccount(CloudBase* account);
    // False when the player cannot take files at all.
    bool openInPlayer(const CloudBase& cloud, const QVariant& entry);
    bool readBoolSetting(const char* group, const char* key, bool defaultValue);
    std::string readStringSetting(const char* group, const char* key, const std::string& defaultValue);
    // "SignInRoad": "browser" (the default) or "embedded".
    void applySignInRoad();
    void showSignInWindow(CloudBase* cloud, const QUrl& address, bool browserOpened);
    void closeSignInWindow(CloudBase* cloud);

    std::map<CLOUD_TYPE, std::unique_ptr<CloudBase>> m_clouds;
    std::map<CloudBase*, QPointer<SignInWindow>> m_signInWindows;
    std::unique_ptr<QLMMenu> m_menu;
};

} // namespace QoviLumen
