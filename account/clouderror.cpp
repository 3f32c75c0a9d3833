#include "clouderror.h"

#include <QCoreApplication>
#include <QNetworkReply>

CloudError::CloudError(Kind kind, const QString& reason) : m_kind(kind), m_reason(reason) {}

CloudError CloudError::fromReply(const QNetworkReply* reply)
{
    if (!reply || reply->error() == QNetworkReply::NoError)
        return CloudError();
    const QString reason = reply->errorString();
    switch (reply->error()) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::BackgroundRequestNotAllowedError:
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyNotFoundError:
        return CloudError(NoNetwork, reason);
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::UnknownNetworkError:
        return CloudError(ConnectionLost, reason);
    case QNetworkReply::TimeoutError:
    case QNetworkReply::ProxyTimeoutError:
        return CloudError(TimedOut, reason);
    case QNetworkReply::SslHandshakeFailedError:
        return CloudError(CertificateUntrusted, reason);
    case QNetworkReply::OperationCanceledError:
        return CloudError(Canceled, reason);
    case QNetworkReply::AuthenticationRequiredError:
        return CloudError(Unauthorized, reason);
    case QNetworkReply::ContentNotFoundError:
    case QNetworkReply::ContentGoneError:
        return CloudError(NotFound, reason);
    case QNetworkReply::ContentConflictError:
        return CloudError(PathConflict, reason);
    case QNetworkReply::InternalServerError:
    case QNetworkReply::ServiceUnavailableError:
    case QNetworkReply::UnknownServerError:
    case QNetworkReply::OperationNotImplementedError:
        return CloudError(ServiceFailed, reason);
    default:
        break;
    }
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 429)
        return CloudError(RateLimited, reason);
    if (status >= 500)
        return CloudError(ServiceFailed, reason);
    return CloudError(Other, reason);
}

QString CloudError::words(Kind kind)
{
    switch (kind) {
    case None: return QString();
    case NoNetwork: return QCoreApplication::translate("CloudError", "no network");
    case ConnectionLost: return QCoreApplication::translate("CloudError", "the connection was lost");
    case CertificateUntrusted: return QCoreApplication::translate("CloudError", "certificate not trusted");
    case CertificateWrongHost: return QCoreApplication::translate("CloudError", "certificate for the wrong host");
    case CertificateExpired: return QCoreApplication::translate("CloudError", "certificate expired");
    case TimedOut: return QCoreApplication::translate("CloudError", "the service stopped answering");
    case ReplyTooLarge: return QCoreApplication::translate("CloudError", "the service's answer was too large");
    case BadReply: return QCoreApplication::translate("CloudError", "the service gave an unusable answer");
    case Incomplete: return QCoreApplication::translate("CloudError", "the service has not received the whole file");
    case InsufficientSpace: return QCoreApplication::translate("CloudError", "not enough space in the account");
    case QuotaExceeded: return QCoreApplication::translate("CloudError", "the account's storage quota is used up");
    case WrongOffset: return QCoreApplication::translate("CloudError", "the service expected another part of the file");
    case PathConflict: return QCoreApplication::translate("CloudError", "something else is in the way at that path");
    case GrantRevoked: return QCoreApplication::translate("CloudError", "access was revoked; sign in again");
    case Unauthorized: return QCoreApplication::translate("CloudError", "the service refused the sign-in; sign in again");
    case SignInWithdrawn: return QCoreApplication::translate("CloudError", "the sign-in was withdrawn; connect again");
    case RateLimited: return QCoreApplication::translate("CloudError", "too many requests; the service asked to wait");
    case ServiceFailed: return QCoreApplication::translate("CloudError", "the service failed");
    case NotFound: return QCoreApplication::translate("CloudError", "not found");
    case SessionExpired: return QCoreApplication::translate("CloudError", "the upload session expired");
    case LocalFile: return QCoreApplication::translate("CloudError", "the local file cannot be read");
    case FileChanged: return QCoreApplication::translate("CloudError", "the local file changed while it was sent");
    case Canceled: return QCoreApplication::translate("CloudError", "canceled");
    case MaybeStored: return QCoreApplication::translate("CloudError", "the file may have been stored");
    case Refused: return QCoreApplication::translate("CloudError", "refused");
    case Other: return QCoreApplication::translate("CloudError", "the request failed");
    }
    return QString();
}

QString CloudError::text() const
{
    const QString plain = words(m_kind);
    if (m_reason.isEmpty() || m_reason == plain)
        return plain;
    return QStringLiteral("%1 (%2)").arg(plain, m_reason);
}

bool CloudError::isTransient() const
{
    switch (m_kind) {
    case ConnectionLost:
    case TimedOut:
    case Incomplete:
    case RateLimited:
    case ServiceFailed:
    case WrongOffset:
    case SessionExpired: // the file goes again, in a new session
        return true;
    default:
        return false;
    }
}
