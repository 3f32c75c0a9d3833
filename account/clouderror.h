#pragma once

#include <QMetaType>
#include <QString>
#include <QtGlobal>

class QNetworkReply;

// What went wrong with a request, in words a user can act on. The account
// core tells the network's and the certificates' failures; the providers
// tell what the service's error bodies mean.
class CloudError
{
public:
    enum Kind {
        None,
        NoNetwork,
        ConnectionLost,
        CertificateUntrusted,
        CertificateWrongHost,
        CertificateExpired,
        TimedOut,
        ReplyTooLarge,
        BadReply,
        Incomplete,
        InsufficientSpace,
        QuotaExceeded,
        WrongOffset,
        PathConflict,
        GrantRevoked,
        Unauthorized,
        SignInWithdrawn,
        RateLimited,
        ServiceFailed,
        NotFound,
        SessionExpired,
        LocalFile,
        FileChanged,
        Canceled,
        MaybeStored,
        Refused,
        Other,
    };

    CloudError() = default;
    explicit CloudError(Kind kind, const QString& reason = QString());

    // From a failed reply of the network layer, without a service's body.
    static CloudError fromReply(const QNetworkReply* reply);

    Kind kind() const { return m_kind; }
    bool isError() const { return m_kind != None; }
    // The service's or the network's own words, when it gave any.
    QString reason() const { return m_reason; }
    // Plain words, then the reason in brackets.
    QString text() const;
    static QString words(Kind kind);
    // Worth another attempt after a pause: the service or the road to it
    // may be better in a moment.
    bool isTransient() const;

    // Milliseconds the service asked to wait (Retry-After), -1 when it did not.
    int retryAfterMs() const { return m_retryAfterMs; }
    void setRetryAfterMs(int milliseconds) { m_retryAfterMs = milliseconds; }
    // For WrongOffset: the offset the service has confirmed, -1 when unknown.
    qint64 confirmedOffset() const { return m_confirmedOffset; }
    void setConfirmedOffset(qint64 offset) { m_confirmedOffset = offset; }

private:
    Kind m_kind = None;
    QString m_reason;
    int m_retryAfterMs = -1;
    qint64 m_confirmedOffset = -1;
};

Q_DECLARE_METATYPE(CloudError)
