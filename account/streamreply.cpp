#include "streamreply.h"

#include "clouderror.h"
#include "requestengine.h"
#include "streamtransfer.h"

#include <curl/curl.h>
#include <openssl/x509_vfy.h>

#include <cstring>

namespace {

// The network layer's reading of an HTTP status, as Qt gives it.
QNetworkReply::NetworkError statusError(int status)
{
    switch (status) {
    case 400: return QNetworkReply::ProtocolInvalidOperationError;
    case 401: return QNetworkReply::AuthenticationRequiredError;
    case 403: return QNetworkReply::ContentAccessDenied;
    case 404: return QNetworkReply::ContentNotFoundError;
    case 405: return QNetworkReply::ContentOperationNotPermittedError;
    case 409: return QNetworkReply::ContentConflictError;
    case 410: return QNetworkReply::ContentGoneError;
    case 500: return QNetworkReply::InternalServerError;
    case 501: return QNetworkReply::OperationNotImplementedError;
    case 503: return QNetworkReply::ServiceUnavailableError;
    default: break;
    }
    if (status >= 500)
        return QNetworkReply::UnknownServerError;
    return status >= 400 ? QNetworkReply::UnknownContentError : QNetworkReply::NoError;
}

CloudError certificateError(long verifyResult, const std::string& message)
{
    switch (verifyResult) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID: return CloudError(CloudError::CertificateExpired, QString::fromStdString(message));
    case X509_V_ERR_HOSTNAME_MISMATCH: return CloudError(CloudError::CertificateWrongHost, QString::fromStdString(message));
    default: break;
    }
    // curl checks the name itself, after OpenSSL's own verification.
    if (message.find("subject name") != std::string::npos)
        return CloudError(CloudError::CertificateWrongHost, QString::fromStdString(message));
    return CloudError(CloudError::CertificateUntrusted, QString::fromStdString(message));
}

} // namespace

StreamReply::StreamReply(QNetworkAccessManager::Operation operation, const QNetworkRequest& request,
                         std::shared_ptr<StreamTransfer> transfer, QObject* parent)
    : QNetworkReply(parent), m_transfer(std::move(transfer))
{
    setOperation(operation);
    setRequest(request);
    setUrl(request.url());
}

StreamReply::~StreamReply()
{
    // The worker lets go of a transfer nobody waits for.
    if (!isFinished()) {
        m_transfer->canceled = true;
        emit canceled();
    }
}

void StreamReply::abort()
{
    if (isFinished())
        return;
    m_transfer->canceled = true;
    emit canceled();
    fail(OperationCanceledError, tr("Operation canceled"));
    end();
}

qint64 StreamReply::bytesAvailable() const
{
    return m_body.size() - m_read + QNetworkReply::bytesAvailable();
}

qint64 StreamReply::readData(char* data, qint64 maxSize)
{
    const qint64 count = qMin(maxSize, qint64(m_body.size()) - m_read);
    if (count <= 0)
        return -1;
    std::memcpy(data, m_body.constData() + m_read, size_t(count));
    m_read += count;
    return count;
}

void StreamReply::progressed(qint64 moved, qint64 total)
{
    if (isFinished())
        return;
    if (operation() == QNetworkAccessManager::GetOperation)
        emit downloadProgress(moved, total > 0 ? total : -1);
    else
        emit uploadProgress(moved, total);
}

void StreamReply::fail(NetworkError code, const QString& text)
{
    setError(code, text);
    emit errorOccurred(code);
}

void StreamReply::end()
{
    setFinished(true);
    emit finished();
}

void StreamReply::complete()
{
    if (isFinished())
        return;
    const StreamTransfer& t = *m_transfer;
    if (t.status)
        setAttribute(QNetworkRequest::HttpStatusCodeAttribute, t.status);
    for (const auto& [name, value] : t.replyHeaders)
        setRawHeader(name, value);
    m_body = t.body;
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    emit metaDataChanged();
    if (!m_body.isEmpty()) {
        emit downloadProgress(m_body.size(), m_body.size());
        emit readyRead();
    }
    switch (t.curlCode) {
    case CURLE_OK:
        if (t.status == 0) {
            RequestEngine::markFailed(this, CloudError(CloudError::LocalFile));
            fail(UnknownContentError,
                 t.method == "GET" ? tr("the file could not be written") : tr("the file could not be read"));
        } else if (const NetworkError error = statusError(t.status); error != NoError) {
            fail(error, QStringLiteral("HTTP %1").arg(t.status));
        }
        break;
    case CURLE_COULDNT_RESOLVE_HOST: fail(HostNotFoundError, QString::fromStdString(t.curlMessage)); break;
    case CURLE_COULDNT_RESOLVE_PROXY: fail(ProxyNotFoundError, QString::fromStdString(t.curlMessage)); break;
    case CURLE_COULDNT_CONNECT: fail(ConnectionRefusedError, QString::fromStdString(t.curlMessage)); break;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
        RequestEngine::markFailed(this, certificateError(t.verifyResult, t.curlMessage));
        fail(SslHandshakeFailedError, QString::fromStdString(t.curlMessage));
        break;
    case CURLE_WRITE_ERROR:
        if (t.tooLarge)
            RequestEngine::markFailed(this, CloudError(CloudError::ReplyTooLarge));
        if (t.sinkFailed)
            RequestEngine::markFailed(this, CloudError(CloudError::LocalFile, tr("the file could not be written")));
        fail(ProtocolFailure, QString::fromStdString(t.curlMessage));
        break;
    case CURLE_READ_ERROR:
    case CURLE_ABORTED_BY_CALLBACK:
        RequestEngine::markFailed(this, CloudError(CloudError::LocalFile, tr("the file ended early")));
        fail(UnknownContentError, QString::fromStdString(t.curlMessage));
        break;
    default: fail(RemoteHostClosedError, QString::fromStdString(t.curlMessage)); break;
    }
    end();
}
