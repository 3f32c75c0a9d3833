#pragma once

#include "tokensource.h"

#include <QString>

// The tokens of a signed-in account as its own operations give them: the
// access token as it stands, renewed first when the account finds it due,
// and renewed when the service refused it, unless it was renewed since that
// request went out.
class AccountTokens : public TokenSource
{
public:
    struct Operations {
        std::function<QString()> accessToken;
        std::function<bool()> due;
        // Renews the access token; calls back once, with the reason when it could not.
        std::function<void(std::function<void(const CloudError&)>)> renew;
    };

    explicit AccountTokens(Operations operations) : m_operations(std::move(operations)) {}

    void authorize(const QByteArray& refused, QObject* context, Answer then) override;

private:
    QByteArray header() const;

    Operations m_operations;
};
