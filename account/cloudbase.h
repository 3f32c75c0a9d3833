#pragma once

#include "cloudtypes.h"
#include "requestkind.h"
#include "uploadtask.h"

#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QSslError>
#include <QString>
#include <QVariant>
#include <QVariantList>

#include <list>
#include <map>
#include <memory>
#include <string>

class CloudView;
class CookiesManager;
class FilePicker;
class QNetworkDiskCache;
class QNetworkReply;
class TokenStorage;

// One cloud account, whatever the service: its stored sign-in (web session,
// token record, e-mail address), its modes and flows, the engine through
// which its web-API requests go, and its upload queue. The services'
// differences are the virtual operations its providers fill in.
class CloudBase : public QObject
{
    Q_OBJECT
public:
    enum Mode { NO_MODE = -1, CHOOSER_OPENING_MODE = 0, UPLOADING_MODE = 1, CONNECTING_MODE = 2 };
    static constexpr quint64 kUnknownSpace = ~quint64(0);
    static constexpr int kRequestTimeoutMs = 30000;
    static constexpr int kNothingSent = 99; // QNetworkReply::UnknownNetworkError

    ~CloudBase() override;

    static const char* cloudTypeName(CLOUD_TYPE type);
    static const char* requestTypeName(int kind);

    CLOUD_TYPE cloudType() const { return m_cloudType; }
    int mode() const { return m_mode; }
    bool isConnected(bool verbose);
    QString readEmail() const;
    void openChooserFlow();
    bool showChooser();
    bool requestUserEmail();
    bool checkForRevokingApp();
    quint64 getFreeSpace(bool sync);
    QString accessToken() const;
    bool isPlayerSection() const;
    void handleEmailReply(const QJsonObject& json);
    void handleTokenReply(const QJsonObject& json);

    bool setViewParent(QWidget* parent);
    bool setViewWindowFlags(Qt::WindowFlags flags);
    Qt::WindowFlags viewWindowFlags() const;

    // Uploads: the queue, head first, and its driver.
    const std::list<UploadTask>& uploadQueue() const { return m_uploadQueue; }
    void processUploadQueue();
    // Queues a local file for upload into a folder of the cloud ("/Videos");
    // the driver starts when nothing is in flight. False, with the reason in
    // *error, when the file cannot be read: nothing is queued or sent then.
    bool uploadFile(const QString& filePath, const QString& targetFolder, QString* error = nullptr);
    // Cancels the first queued or running upload of the file; uploadCanceled
    // follows once it is out of the queue. False when there is none.
    bool cancelUpload(const QString& filePath);

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

protected slots:
    void closeChooser();
    // Providers connect each upload reply's progress here.
    void onUploadReplyProgress(qint64 bytesSent, qint64 bytesTotal);

private slots:
    void onLoadFinished(bool ok);
    void onWebViewCreated();
    void onLoggedIn();
    void onLoggedOut();
    void onNetworkFinished(QNetworkReply* reply);
    void onNetworkSslErrors(QNetworkReply* reply, const QList<QSslError>& errors);
    void onTimeoutReplyFinished();
    void onAddJSObject();

protected:
    CloudBase(CLOUD_TYPE cloudType, const std::string& applicationName, const char* emailSettingKey);

    virtual bool openCloudView();
    virtual bool readyToUpload(UploadTask* task);
    virtual bool ensureValidToken();
    virtual QString readRefreshToken();
    virtual QString refreshTokenFromJson(const QJsonObject& json);
    virtual QString sendRefreshTokenSyncRequest(QNetworkReply* failed = nullptr);
    virtual void handleUploadFolderExistsReply(const QJsonObject& json);
    virtual void afterLoggedIn();
    virtual int parseErrorReply(const QByteArray& body, std::string& message) = 0;
    virtual bool checkUploadFolderExists() = 0;
    virtual QString redirectUri() = 0;
    virtual int sendAboutAccountSyncRequest(int requestKind) = 0;
    virtual int sendFreeSpaceRequest(bool sync) = 0;
    virtual QString authorizationUrl() = 0;
    virtual QString createFolderBody(const QString& folderName) = 0;
    virtual QString createFolderUrl() = 0;
    virtual QString parseEmail(const QJsonObject& json) = 0;
    virtual quint64 parseTotalSpace(const QJsonObject& json) = 0;
    virtual quint64 parseUsedSpace(const QJsonObject& json) = 0;
    virtual void handleAuthorizationReply(int networkError, const QString& url) = 0;
    virtual void handleCreateFolderReply(const QJsonObject& json) = 0;
    virtual void handleUploadReply(UploadTask* task, const QJsonObject& json) = 0;
    virtual void startUpload(UploadTask* task) = 0;

    // The request engine.
    int sendRequest(QNetworkAccessManager::Operation operation, const QUrl& url, int kind, bool sync,
                    const QByteArray* body, bool json);
    int waitForReply(QNetworkReply* reply, int timeoutMs);
    QString authorizationValue() const;
    QString failureText(int kind, QNetworkReply* reply) const;
    QJsonObject parseJsonReply(const QByteArray& body);
    void processReplyFinished(QNetworkReply* reply, const QVariant& requestId, UploadTask& task, bool fromCache);
    bool resendRequest(QNetworkReply* reply);
    bool askRetry(UploadTask* task);

    // The upload driver.
    bool prepareUpload();
    bool createUploadFolder();
    UploadTask& taskForReply(QNetworkReply* reply);
    // Appends a task and starts the driver when nothing is in flight.
    void enqueueUpload(UploadTask task);

    void storeEmail(const QString& email);
    const char* name() const { return cloudTypeName(m_cloudType); }

    CLOUD_TYPE m_cloudType;
    QPointer<CloudView> m_view;
    FilePicker* m_filePicker = nullptr;
    std::list<UploadTask> m_uploadQueue;
    QNetworkAccessManager* m_networkManager = nullptr;
    CookiesManager* m_cookiesManager = nullptr;
    std::string m_applicationName;
    std::unique_ptr<TokenStorage> m_storage;
    bool m_ownsView = true;
    bool m_retry = false;
    int m_lastCloudError = -1;
    const char* const m_requestIdKey = "request_id";
    const char* const m_syncRequestKey = "sync_request";
    const QString m_errorKey = QStringLiteral("error");
    const QString m_accessTokenKey = QStringLiteral("access_token");
    const QByteArray m_contentTypeKey = "Content-Type";
    const QString m_refreshTokenKey = QStringLiteral("refresh_token");
    const QByteArray m_authorizationKey = "Authorization";
    int m_mode = NO_MODE;
    const char* m_emailSettingKey;
    quint64 m_freeSpace = kUnknownSpace;
    bool m_timedOut = false;
    QNetworkDiskCache* m_cache = nullptr;
    std::map<QNetworkReply*, std::unique_ptr<QByteArray>> m_requestBodies;

private:
    void dispatchReply(QNetworkReply* reply, int kind, int error, bool sync, const QJsonObject& json,
                       const QString& errText, UploadTask& task);
    void dispatchUploadReply(int error, const QJsonObject& json, UploadTask& task);
    void failSynchronousRequest(QNetworkReply* reply, int kind, int error, const QString& errText, UploadTask& task);
    void handleSpaceReply(const QJsonObject& json, bool sync);
    void refreshForSpace(QNetworkReply* reply);
    void askAfterCancel(const QString& errText);
    void giveUpHeadTask(const QString& why, int errorCode);
    bool checkGrantRepeatedly();
    int requestKindOf(QNetworkReply* reply, const QVariant& requestId, const UploadTask& task) const;
    void stampReceivedTime(QJsonObject& record) const;
    void putRefreshToken(QJsonObject& record, const QString& refreshToken) const;
    void runUploadQueue();

    int m_driverRuns = 0; // processUploadQueue() calls under way, nested ones included
    int m_uploadAuthRefusals = 0; // authentication refused in a row for the head task
};
