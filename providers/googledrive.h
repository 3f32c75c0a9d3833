#pragma once

#include "cloudbase.h"
#include "qvtlstring.h"

// The Google Drive account.
class GoogleDrive : public CloudBase
{
    Q_OBJECT
public:
    explicit GoogleDrive(const qvtl::string& applicationName);

    // Whether the stored access token's lifetime has run out.
    bool isTokenExpired() const;
    using CloudBase::sendRefreshTokenSyncRequest;
};
