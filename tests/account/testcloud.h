#pragma once

#include "cloudbase.h"
#include "cloudview.h"

#include <QList>
#include <QNetworkRequest>
#include <QString>

#include <functional>

class QNetworkReply;

// A provider written for the tests: the account's pure operations filled in
// against the stand-in's Dropbox endpoints (account, space, folders, upload
// sessions), with a few switches and records so that a test can steer the
// provider's side and see what the account asked of it.
class TestCloud : public CloudBase
{
public:
    static const char* const kApplication; // "Player"
    static const char* const kEmailKey;    // "dbEmail"

    TestCloud();

    // What the account hands the provider, as the tests see it.
    struct AuthorizationReply {
        int error;
        QString url;
    };
    struct RefreshCall {
        bool withReply;
        int kindOfReply; // request kind of the failed reply, -1 without one
    };

    // The engine and the driver, opened up for the tests.
    using CloudBase::askRetry;
    using CloudBase::createUploadFolder;
    using CloudBase::enqueueUpload;
    using CloudBase::sendRequest;
    using CloudBase::waitForReply;

    QNetworkAccessManager* manager() const { return m_networkManager; }
    CloudView* view() const { return m_view; }
    const std::map<QNetworkReply*, std::unique_ptr<QByteArray>>& keptBodies() const { return m_requestBodies; }
    int lastCloudError() const { return m_lastCloudError; }
    quint64 freeSpace() const { return m_freeSpace; }
    void setMode(int mode) { m_mode = mode; }

    // Puts a task at the tail without starting the driver.
    void queueTask(const UploadTask& task) { m_uploadQueue.push_back(task); }
    // Marks the queued task of this file cancelled; false when there is none.
    bool markCanceled(const QString& filePath);
    // The unfinished reply of a request the engine sent with this kind.
    QNetworkReply* replyInFlight(int kind) const;

    // Switches of the provider's side.
    QString refreshAnswer;          // what a token refresh gives (and stores)
    bool tokenValid = true;         // ensureValidToken's answer
    bool requireFolder = false;     // readyToUpload only with a known folder id
    QString refuseFile;             // startUpload sends nothing for this file
    QString authorizationPage = QStringLiteral("about:blank");
    // Bytes of the next upload request; the rest of the file at most.
    std::function<qint64(const UploadTask&)> chunkPlan = [](const UploadTask&) { return qint64(64 * 1024); };

    // Records.
    QList<AuthorizationReply> authorizationReplies;
    QList<RefreshCall> refreshCalls;
    QStringList createdFolderNames; // the names createFolderBody was given
    int ensureValidTokenCalls = 0;

    static QUrl apiUrl(const char* path);
    static QUrl contentUrl(const char* path);

protected:
    bool readyToUpload(UploadTask* task) override;
    bool ensureValidToken() override;
    QString sendRefreshTokenSyncRequest(QNetworkReply* failed) override;
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

private:
    static QString folderOf(const UploadTask& task);
    void sendChunk(UploadTask* task, int kind);
    void sendFinish(UploadTask* task);
    void post(UploadTask* task, int kind, const char* path, const QJsonObject& arguments, const QByteArray& data);
};
