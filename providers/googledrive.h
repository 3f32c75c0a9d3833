#pragma once

#include "cloudbase.h"
#include "driveanswers.h"
#include "qvtlstring.h"

#include <memory>

class AccountTokens;
class DriveFiles;

class QNetworkRequest;

// The Google Drive account: OAuth 2.0 authorization-code sign-in with a
// loopback redirect and refresh tokens, the Drive API (v2 for the account
// information and folder creation, v3 for the folder search and uploads),
// and the resumable upload of a file in one PUT.
class GoogleDrive : public CloudBase
{
    Q_OBJECT
public:
    static const char* const kAccountsHost;
    static const char* const kApiHost;
    static constexpr quint16 kFirstPort = 30000;
    static constexpr const char* kFolderType = DriveAnswers::kFolderType;
    // The cloud error of a folder search that found a file of the name.
    static constexpr int kFileInTheWay = 409;

    explicit GoogleDrive(const qvtl::string& applicationName);
    ~GoogleDrive() override;

    // The account's files: its folders, searches and downloads.
    DriveFiles* files();

    // Google Drive as the web side sees it: hosts, chooser page, cookie rule, windows.
    static const ServiceDescriptor& service();
    static QString hostUrl(const char* host, const char* path);

    // Whether the stored access token's lifetime has run out.
    bool isTokenExpired() const;
    using CloudBase::sendRefreshTokenSyncRequest;
    // The new access token, or the empty text; a request that failed for
    // lack of authorization is sent again once the token is renewed.
    QString sendRefreshTokenSyncRequest(QNetworkReply* failed = nullptr) override;

protected:
    ListingSource* listingSource() override;
    bool readyToUpload(UploadTask* task) override;
    bool ensureValidToken() override;
    QString readRefreshToken() override;
    QString refreshTokenFromJson(const QJsonObject& json) override;
    void handleUploadFolderExistsReply(const QJsonObject& json) override;
    int parseErrorReply(const QByteArray& body, std::string& message) override;
    bool checkUploadFolderExists() override;
    QString redirectUri() override;
    int sendAboutAccountSyncRequest(int requestKind) override;
    int sendFreeSpaceRequest(bool sync) override;
    QString authorizationUrl() override;
    QString createFolderBody(const QString& folderName) override;
    QString createFolderUrl() override;
    QString parseEmail(const QJsonObject& json) override;
    quint64 parseTotalSpace(const QJsonObject& json) override;
    quint64 parseUsedSpace(const QJsonObject& json) override;
    void handleAuthorizationReply(int networkError, const QString& url) override;
    void handleCreateFolderReply(const QJsonObject& json) override;
    void handleUploadReply(UploadTask* task, const QJsonObject& json) override;
    void startUpload(UploadTask* task) override;
    CloudError describeError(const QNetworkReply* reply, const QByteArray& body) override;
    bool usableReply(int kind, const QJsonObject& json) override;
    void resumeUpload(UploadTask* task, const CloudError& why) override;
    bool commitsUpload(const UploadTask& task) override;

    quint16 findUnusedPort() const;
    QNetworkReply* getGoogleTokens(const QString& code);
    int sendAboutRequest(int requestKind, bool sync);
    void sendUploadData(UploadTask* task);

    static QUrl tokenEndpoint();
    static QString folderNameOf(const QString& targetPath);
    // The folders of a target path, outermost first.
    static QStringList folderPathOf(const QString& targetPath);
    // A search for a folder name, within a parent when one is given.
    static QUrl folderSearchUrl(const QString& name, const QString& parentId, bool oldestFolder = false);

private:
    std::unique_ptr<AccountTokens> m_tokens;
    std::unique_ptr<DriveFiles> m_files;

    bool exchangeCode(const QString& code);
    bool finishSignIn(const QString& code);
    bool searchFolder(const QString& name, const QString& parentId);
    // The first made of the folders of that name in the parent, the one
    // just created included: uploads that made one each all take it.
    QString oldestFolder(const QString& folderName, const QString& parentId, const QString& created);
    void acceptSession(UploadTask* task);
    void acceptDataReply(UploadTask* task, const QJsonObject& json);
    void sendRemainingData(UploadTask* task);
    void askUploadStatus(UploadTask* task);
    QNetworkRequest sessionRequest(const UploadTask& task) const;
    QString clientId() const;
    QString clientSecret() const;
    static void releaseReply(UploadTask* task);
    // An empty PUT that asks the session how much of the file it holds.
    static bool isStatusQuery(const UploadTask& task);
    void logUploadRequest(const char* method, const QNetworkRequest& request, const QString& mime,
                          quint64 fileSize) const;

    const QString m_idKey = QStringLiteral("id");
    const QString m_codeKey = QStringLiteral("code");
    const QString m_clientIdKey = QStringLiteral("client_id");
    const QString m_grantTypeKey = QStringLiteral("grant_type");
    const QString m_clientSecretKey = QStringLiteral("client_secret");
    int m_folderWalks = 0; // a refresh repeats the whole walk inside a search of it
    QString* m_oldestFolder = nullptr; // where a search for the oldest folder answers
};
