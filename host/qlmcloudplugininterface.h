#pragma once

#include "cloudtypes.h"

#include <QObject>
#include <QString>

namespace QoviLumen {

// Offered under "com.qovi.lumen.pluginInterface.CloudPluginInterface". The
// player reaches the signal by its signature, without linking the plug-in.
class QLMCloudPluginInterface : public QObject
{
    Q_OBJECT
public:
    QLMCloudPluginInterface() : QObject(nullptr) {}

    virtual void connectCloud(CLOUD_TYPE type) = 0;
    virtual bool isCloudConnected(CLOUD_TYPE type) = 0;
    virtual QString cloudEmail(CLOUD_TYPE type) = 0;
    virtual void disconnectFromCloud(CLOUD_TYPE type) = 0;
    virtual QString refreshGDriveToken() = 0;
    virtual bool isGDriveTokenExpired() = 0;

signals:
    void cloudConnected(CLOUD_TYPE type, const QString& email);
};

} // namespace QoviLumen
