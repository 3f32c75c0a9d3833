#pragma once

#include "cloudtypes.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantList>
#include <QWidget>

#include <memory>
#include <string>

class QNetworkReply;
class TokenStorage;

// One cloud account, whatever the service: its stored sign-in (token record,
// e-mail address), its modes and the flows that connect and disconnect it.
// The services' differences are the virtual operations its providers fill in.
class CloudBase : public QObject
{
    Q_OBJECT
public:
    enum Mode { NO_MODE = -1, CHOOSER_OPENING_MODE = 0, UPLOADING_MODE = 1, CONNECTING_MODE = 2 };

    ~CloudBase() override;

    static const char* cloudTypeName(CLOUD_TYPE type);

    CLOUD_TYPE cloudType() const { return m_cloudType; }
    int mode() const { return m_mode; }
    bool isConnected(bool verbose);
    QString readEmail() const;
    QString accessToken() const;
    bool isPlayerSection() const;
    void openChooserFlow();
    bool showChooser();

    bool setViewParent(QWidget* parent);
    bool setViewWindowFlags(Qt::WindowFlags flags);
    Qt::WindowFlags viewWindowFlags() const;

signals:
    void cloudDisconnected(CLOUD_TYPE cloudType);
    void connectedToCloud(CLOUD_TYPE cloudType, const QString& email);
    void failedRetry(const QString& errorMessage, bool& retry);
    void freeSpaceReceived(quint64 freeSpaceInBytes);
    void networkError(const QString& errMessage);
    void openSelectedFiles(const QVariantList& files);
    void uploadCanceled(const QString& fileName, const QString& targetPath);
    void uploadFailed(const QString& fileName, const QString& errorString, int errorCode = -1);
    void uploadFinished(const QString& fileName, const QString& targetPath);
    void uploadProgress(const QString& fileName, qint64 bytesSent, qint64 bytesTotal);
    void uploadStarted(const QString& fileName, const QString& targetPath);
    void userLogout();

public slots:
    bool connectToCloud();
    void disconnectCloud();

protected:
    CloudBase(CLOUD_TYPE cloudType, const std::string& applicationName, const char* emailSettingKey);

    virtual bool openCloudView();
    virtual bool ensureValidToken();
    virtual QString sendRefreshTokenSyncRequest(QNetworkReply* failed = nullptr);

    bool hasWebSession() const;
    void storeEmail(const QString& email);

    CLOUD_TYPE m_cloudType;
    // The sign-in and chooser window; none until the web layer provides one.
    QPointer<QWidget> m_view;
    std::string m_applicationName;
    std::unique_ptr<TokenStorage> m_storage;
    bool m_ownsView = true;
    bool m_retry = false;
    int m_lastCloudError = -1;
    const QString m_accessTokenKey = QStringLiteral("access_token");
    int m_mode = NO_MODE;
    const char* m_emailSettingKey;
};
