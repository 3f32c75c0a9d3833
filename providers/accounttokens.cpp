#include "accounttokens.h"

#include <QPointer>

QByteArray AccountTokens::header() const
{
    return "Bearer " + m_operations.accessToken().toUtf8();
}

void AccountTokens::authorize(const QByteArray& refused, QObject* context, Answer then)
{
    const QPointer<QObject> alive(context);
    const bool spent = refused.isEmpty() ? m_operations.expired() : refused == header();
    CloudError error;
    if (spent)
        error = m_operations.renew();
    // The renewal may have waited; whoever asked may be gone meanwhile.
    if (!alive)
        return;
    if (error.isError())
        then(QByteArray(), error);
    else
        then(header(), CloudError());
}
