#pragma once

#include "clouderror.h"

#include <QByteArray>

#include <functional>

class QObject;

// Where the listing and download jobs get the Authorization header of
// their requests: the account's token, renewed when the service refused it.
class TokenSource
{
public:
    using Answer = std::function<void(const QByteArray& authorization, const CloudError& error)>;

    virtual ~TokenSource() = default;

    // The header for a request, or why there is none. `refused`: the header
    // the service just refused (empty for a first request); a token that
    // was not renewed since is renewed first. `then` runs once, at once or
    // later, and never after `context` is gone.
    virtual void authorize(const QByteArray& refused, QObject* context, Answer then) = 0;
};
