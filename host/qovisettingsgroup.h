#pragma once

#include "qvtlstring.h"
#include "refcounted.h"

namespace qvs {

// A named group of values inside a settings store.
class QoviSettingsGroup : public qvtl::RefCounted
{
public:
    // True with the stored value; false, leaving value untouched, when none is stored.
    virtual bool GetBool(const qvtl::string& key, bool& value) const = 0;
    virtual bool SetBool(const qvtl::string& key, bool value) = 0;
    // UTF-8 text; false, leaving value untouched, when none is stored.
    virtual bool GetString(const qvtl::string& key, qvtl::string& value) const = 0;
    virtual bool SetString(const qvtl::string& key, const qvtl::string& value) = 0;
};

} // namespace qvs
