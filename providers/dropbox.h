#pragma once

#include "cloudbase.h"
#include "qvtlstring.h"

#include <memory>

class AccountTokens;
class DropboxFiles;

// The Dropbox account: OAuth 2.0 implicit sign-in caught from the redirect,
// the API v2 calls for account, space and folders, and upload sessions.
class DropBox : public CloudBase
{
    Q_OBJECT
public:
    static const char* const kWebHost;
    static const char* const kApiHost;
    static const char* const kContentHost;
    static constexpr qint64 kChunkSize = 16777216;

    explicit DropBox(const qvtl::string& applicationName);
    ~DropBox() override;

    // The account's files: its folders, searches, links and downloads.
    DropboxFiles* files();

    // Dropbox as the web side sees it: hosts, chooser page, cookie rule, windows.
    static const ServiceDescriptor& service();

    QString storedAccountId() const;
    // The text of a Dropbox-API-Arg header: the indented JSON of the
    // arguments with its line feeds removed, every character above 0x7E
    // escaped as \uXXXX (the service refuses raw UTF-8 in a header).
    static QByteArray argumentHeader(const QJsonObject& arguments);
    static QString commitPath(const UploadTask& task);
    static QUrl endpoint(const char* host, const char* path);

protected:
    ListingSource* listingSource() override;
    bool openCloudView() override;
    void afterLoggedIn() override;
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

    void sendAppendRequest(UploadTask* task);
    void sendFinishRequest(UploadTask* task);

private:
    QNetworkRequest uploadRequest(const char* path) const;

    std::unique_ptr<AccountTokens> m_tokens;
    std::unique_ptr<DropboxFiles> m_files;
    void saveTokenRecord(const QString& accessToken, const QString& accountId);
    void continueAfterSignIn();
    bool confirmStored(UploadTask* task, const QJsonObject& json);

    const QString m_accountIdPrefix = QStringLiteral("dbid");
    const QString m_accountIdKey = QStringLiteral("account_id");
    const QString m_sessionIdKey = QStringLiteral("session_id");
    const QByteArray m_argumentHeader = "Dropbox-API-Arg";
    const QByteArray m_dataContentType = "application/octet-stream";
};
