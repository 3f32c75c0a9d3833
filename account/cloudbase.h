#pragma once

#include "clouderror.h"
#include "cloudtypes.h"
#include "requestkind.h"
#include "servicedescriptor.h"
#include "tokenrecord.h"
#include "tokenstorage.h"
#include "uploadhost.h"
#include "uploadoutcome.h"
#include "uploadtask.h"

#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QSslError>
#include <QString>
#include <QUrl>
#include <QVariant>
#include <QVariantList>

#include <functional>
#include <memory>
#include <string>

class CloudView;
class ContentDigest;
class ListingSource;
class NativeChooser;
class CookiesManager;
class OAuthClient;
class SignInAttempt;
class TokenRefresh;
struct SignInOutcome;
class FilePicker;
class QNetworkDiskCache;
class QNetworkReply;
class RequestEngine;

class UploadQueue;
class UploadTransport;

// One cloud account, whatever the service: its stored sign-in (web session,
// token record, e-mail address), its modes and flows, and the dispatch of
// its web-API replies. Requests travel through its RequestEngine, uploads
// through its UploadQueue, which sees the account only as its UploadHost.
// The services' differences are the virtual operations its providers fill in.
class CloudBase : public QObject, private UploadHost
{
    Q_OBJECT
public:
    enum Mode { NO_MODE = -1, CHOOSER_OPENING_MODE = 0, UPLOADING_MODE = 1, CONNECTING_MODE = 2 };
    static constexpr quint64 kUnknownSpace = ~quint64(0);
    static constexpr int kRequestTimeoutMs = 30000;
    static constexpr int kNothingSent = 99; // QNetworkReply::UnknownNetworkError
    // Unusable answers make a synchronous request fail with this code.
    static constexpr int kUnusableReply = 399; // QNetworkReply::ProtocolFailure

    ~CloudBase() override;

    static const char* cloudTypeName(CLOUD_TYPE type);
    static const char* requestTypeName(int kind);

    CLOUD_TYPE cloudType() const { return m_cloudType; }
    const ServiceDescriptor& service() const { return m_service; }
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

    // Which chooser opens: the service's own web chooser in the account's
    // web window, or the native one, fed by the service's API. The
    // services' web choosers work only on the embedded road.
    void setNativeChooser(bool native) { m_nativeChooser = native; }
    bool usesNativeChooser() const { return m_nativeChooser || m_road == BrowserRoad; }
    // How a new sign-in happens: in the account's web view, or in the
    // user's browser.
    enum SignInRoad { EmbeddedRoad, BrowserRoad };
    void setSignInRoad(SignInRoad road) { m_road = road; }
    SignInRoad signInRoad() const { return m_road; }
    // How long a sign-in in the browser may take.
    void setSignInLimit(int milliseconds) { m_signInLimitMs = milliseconds; }
    // Ends a sign-in in the browser under way as canceled.
    void cancelSignIn();

    bool setViewParent(QWidget* parent);
    bool setViewWindowFlags(Qt::WindowFlags flags);
    Qt::WindowFlags viewWindowFlags() const;

    // What went wrong with the last request that failed, in plain words.
    CloudError lastError() const { return m_lastError; }

    // Uploads: the queue, head first, and its driver.
    const UploadQueue& uploadQueue() const { return *m_uploads; }
    void processUploadQueue();
    // Queues a local file for upload into a folder of the cloud ("/Videos");
    // the driver starts when nothing is in flight. False, with the reason in
    // *error, when the file cannot be read: nothing is queued or sent then.
    // Otherwise uploadEnded follows exactly once for it.
    bool uploadFile(const QString& filePath, const QString& targetFolder, QString* error = nullptr);
    // Cancels the first unfinished upload of the file; it ends at once.
    // False when there is none.
    bool cancelUpload(const QString& filePath);
    // How long an upload request may go without a byte moving, how many
    // times a transient failure is tried again, and the first pause.
    void setUploadLimits(int stallMs, int maxRetries, int firstPauseMs);
    // How long any other request may go without a byte moving.
    void setRequestStallLimit(int stallMs);

    // Every upload canceled, every wait ended at once, nothing sent any
    // more: for a process that is asked to stop.
    void interrupt();

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
    // Once for every upload uploadFile accepted, after the signal above
    // that matches its ending.
    void uploadEnded(const UploadOutcome& outcome);
    // A sign-in the user started ended without a connection.
    void signInFailed(const QString& reason);
    // A sign-in in the browser waits for the user at this address (opened in
    // the browser when browserOpened).
    void signInWaiting(const QUrl& address, bool browserOpened);

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
    void onAddJSObject();

protected:
    CloudBase(const ServiceDescriptor& service, const std::string& applicationName, const char* emailSettingKey);

    virtual bool openCloudView();
    // The account's files for the native chooser; null when it has none.
    virtual ListingSource* listingSource();
    // Closes the native chooser, its jobs with it.
    void closeNativeChooser();
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

    // What the service's error body means (the network's own reading when
    // it has none).
    virtual CloudError describeError(const QNetworkReply* reply, const QByteArray& body);
    // Whether a successful answer of this kind has what its handler needs.
    virtual bool usableReply(int kind, const QJsonObject& json);
    // Sends what continues an upload after a failed request, from what the
    // service has confirmed; the account's own way is to start the file
    // again. Sets task->reply, or task->failure when it cannot.
    virtual void resumeUpload(UploadTask* task, const CloudError& why);
    // Whether the request in flight may store the file for good.
    virtual bool commitsUpload(const UploadTask& task);

    // The browser road. Providers that offer it give their registration.
    void setOAuthClient(std::unique_ptr<OAuthClient> client);
    // A sign-in by the account's road.
    bool startSignIn();
    // After a lost grant: the sign-in view again on the embedded road; on the
    // browser road the user connects again when they choose to.
    bool signInAgain();
    bool madeInBrowser() const;
    bool browserTokenDue() const;
    // The browser road's answers to ensureValidToken and a token refresh.
    bool browserTokenValid();
    QString renewBrowserToken(QNetworkReply* failed);
    // A new access token, without waiting: the browser road's renewal (one
    // at a time), else the provider's own; `then` once, None when renewed.
    void renewAccessToken(std::function<void(const CloudError&)> then);
    bool renewAskingToRetry();
    // Sends again a request refused for lack of authorization, once the token is renewed.
    void repeatRequest(int kind, bool sync);

    // Requests.
    int sendRequest(QNetworkAccessManager::Operation operation, const QUrl& url, int kind, bool sync,
                    const QByteArray* body, bool json);
    int waitForReply(QNetworkReply* reply, int timeoutMs);
    QString authorizationValue() const;
    QString failureText(int kind, QNetworkReply* reply) const;
    QJsonObject parseJsonReply(const QByteArray& body);
    void processReplyFinished(QNetworkReply* reply, const QVariant& requestId, UploadTask& task, bool fromCache);
    bool resendRequest(QNetworkReply* reply);
    bool askRetry(UploadTask* task);
    // The typed failure of a finished reply: the road's (certificate,
    // stall, size) before the service's reading of its body.
    CloudError replyFailure(QNetworkReply* reply, const QByteArray& body);
    CloudError readFailure(QNetworkReply* reply, const QByteArray& body);
    // Watched like every request, for replies a provider sends itself.
    void watchReply(QNetworkReply* reply);
    // An upload body: `length` bytes of the open file from `offset`,
    // streamed by the upload transport; its reply is processed as any other.
    QNetworkReply* sendUploadBody(QNetworkAccessManager::Operation operation, const QNetworkRequest& request,
                                  QIODevice* file, qint64 offset, qint64 length,
                                  const std::shared_ptr<ContentDigest>& digest = nullptr);

    // Uploads.
    bool prepareUpload();
    bool createUploadFolder();
    UploadTask& taskForReply(QNetworkReply* reply);
    UploadTask* headTask();
    // Appends a task and starts the driver when nothing is in flight.
    void enqueueUpload(UploadTask task);

    // While one lives, the requests sent repeat one that was refused before
    // a token refresh: refused again, they are not refreshed again.
    class RepeatAfterRefresh
    {
    public:
        explicit RepeatAfterRefresh(CloudBase& account) : m_account(account) { ++m_account.m_repeatsAfterRefresh; }
        ~RepeatAfterRefresh() { --m_account.m_repeatsAfterRefresh; }
        RepeatAfterRefresh(const RepeatAfterRefresh&) = delete;
        RepeatAfterRefresh& operator=(const RepeatAfterRefresh&) = delete;

    private:
        CloudBase& m_account;
    };

    void storeEmail(const QString& email);
    const char* name() const { return m_service.name; }

    const ServiceDescriptor m_service;
    CLOUD_TYPE m_cloudType;
    QPointer<CloudView> m_view;
    FilePicker* m_filePicker = nullptr;
    QNetworkAccessManager* m_networkManager = nullptr;
    CookiesManager* m_cookiesManager = nullptr;
    std::string m_applicationName;
    std::unique_ptr<TokenStorage> m_storage = std::make_unique<TokenStorage>();
    TokenRecord m_record{*m_storage, m_applicationName, m_cloudType};
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
    QNetworkDiskCache* m_cache = nullptr;
    RequestEngine* m_engine = nullptr;
    UploadQueue* m_uploads = nullptr;
    UploadTransport* m_transport = nullptr; // made with the first upload body
    CloudError m_lastError;

private:
    // The upload queue's view of the account.
    const char* uploadAccountName() const final;
    void setUploading(bool uploading) final;
    const char* preparationNeeded(UploadTask& task) final;
    bool prepareUploads(CloudError& why) final;
    void startTask(UploadTask& task) final;
    void advanceTask(UploadTask& task, const QJsonObject& json) final;
    void resumeTask(UploadTask& task, const CloudError& why) final;
    bool taskCommits(const UploadTask& task) final;
    void renewToken() final;
    CloudError uploadFailure(QNetworkReply* reply, const QByteArray& body) final;
    bool askUploadRetry(const QString& why) final;
    void reportStarted(const UploadTask& task) final;
    void reportEnded(const UploadOutcome& outcome) final;

    void dispatchReply(QNetworkReply* reply, int kind, int error, bool sync, const QJsonObject& json,
                       const QString& errText, UploadTask& task, const QByteArray& body);
    void failSynchronousRequest(QNetworkReply* reply, int kind, const QString& errText);
    void handleSpaceReply(const QJsonObject& json, bool sync);
    void refreshForSpace(QNetworkReply* reply);
    bool refusedAfterRefresh(QNetworkReply* reply);
    void askAfterCancel(const QString& errText);
    void checkGrantRepeatedly();
    bool headCanceled();
    int requestKindOf(QNetworkReply* reply, const QVariant& requestId, const UploadTask& task) const;
    bool checkUsable(QNetworkReply* reply, int kind, const QJsonObject& json);
    void reportWebFailure(QNetworkReply* reply);
    bool browserSignIn();
    void onSignInEnded(const SignInOutcome& outcome);
    void onTokenRenewalEnded(const CloudError& error);
    int sendAfterRenewal(QNetworkAccessManager::Operation operation, const QUrl& url, int kind, bool sync,
                         const QByteArray* body, bool json);
    QNetworkAccessManager* oauthManager();
    void stampReceivedTime(QJsonObject& record) const;
    void putRefreshToken(QJsonObject& record, const QString& refreshToken) const;

    bool showNativeChooser();

    QStringList m_refusedHosts; // web pages refused a certificate, told once each
    bool m_nativeChooser = false;
    QPointer<NativeChooser> m_chooser;
    std::unique_ptr<OAuthClient> m_oauth;
    QNetworkAccessManager* m_oauthManager = nullptr; // the browser road's own requests
    TokenRefresh* m_refresh = nullptr;
    QPointer<SignInAttempt> m_attempt;
    SignInRoad m_road = EmbeddedRoad;
    int m_signInLimitMs = 5 * 60 * 1000;
    int m_repeatsAfterRefresh = 0;
    static constexpr const char* kRepeatAfterRefreshKey = "lumen_repeat_after_refresh";
};
