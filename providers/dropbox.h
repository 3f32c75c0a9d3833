#pragma once

#include "cloudbase.h"
#include "qvtlstring.h"

// The Dropbox account.
class DropBox : public CloudBase
{
    Q_OBJECT
public:
    explicit DropBox(const qvtl::string& applicationName);
};
