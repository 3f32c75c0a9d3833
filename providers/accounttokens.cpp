#include "accounttokens.h"

#include <QPointer>

QByteArray AccountTokens::header() const
{
    return "Bearer " + m_operations.accessToken().toUtf8();
}

void AccountTokens::authorize(const QByteArray& refused, QObject* context, Answer then)
{
    const bool spent = refused.isEmpty() ? m_operations.due() : refused == header();
    if (!spent) {
        then(header(), CloudError());
        return;
    }
    const QPointer<QObject> alive(context);
    m_operations.renew([this, alive, then](const CloudError& error) {
        // Whoever asked may be gone meanwhile.
        if (alive)
            then(error.isError() ? QByteArray() : header(), error);
    });
}
