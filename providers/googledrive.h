#pragma once

#include "cloudbase.h"
#include "qvtlstring.h"

// The Google Drive account. Its token bookkeeping is here; its web API
// (sign-in exchange, account, quota, folders, uploads) is not built yet, and
// every operation that would need it says so and sends nothing.
class GoogleDrive : public CloudBase
{
    Q_OBJECT
public:
    explicit GoogleDrive(const qvtl::string& applicationName);

    // Whether the stored access token's lifetime has run out.
    bool isTokenExpired() const;
    using CloudBase::sendRefreshTokenSyncRequest;

protected:
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

private:
    int notAvailable(const char* operation) const;
};
