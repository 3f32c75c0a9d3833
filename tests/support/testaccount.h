#pragma once

#include "cloudview.h"
#include "requestengine.h"
#include "uploadqueue.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <memory>

// A provider's account, its protected workings opened to the tests.
template <class Provider>
class TestAccount : public Provider
{
public:
    TestAccount() : Provider("Player") {}

    using Provider::accessToken;
    using Provider::askRetry;
    using Provider::authorizationUrl;
    using Provider::checkUploadFolderExists;
    using Provider::createUploadFolder;
    using Provider::describeError;
    using Provider::ensureValidToken;
    using Provider::headTask;
    using Provider::parseEmail;
    using Provider::parseErrorReply;
    using Provider::parseTotalSpace;
    using Provider::parseUsedSpace;
    using Provider::sendAboutAccountSyncRequest;
    using Provider::usableReply;
    using Provider::sendRequest;
    using Provider::sendUploadBody;
    using Provider::waitForReply;

    QNetworkAccessManager* manager() const { return this->m_networkManager; }
    CloudView* view() const { return this->m_view; }
    RequestEngine* engine() const { return this->m_engine; }
    int lastCloudError() const { return this->m_lastCloudError; }
    quint64 freeSpace() const { return this->m_freeSpace; }
    void setMode(int mode) { this->m_mode = mode; }
    void authorizationReply(int error, const QString& url) { this->handleAuthorizationReply(error, url); }
    // How the account describes an error whose answer has this body.
    CloudError describeBody(const QByteArray& body)
    {
        const std::unique_ptr<QNetworkReply> reply(manager()->get(QNetworkRequest(QUrl("http://127.0.0.1:1/"))));
        const CloudError error = this->describeError(reply.get(), body);
        reply->abort();
        return error;
    }
};
