#pragma once

#include "qvtlstring.h"
#include "refcounted.h"

namespace qvs {

// A named group of boolean values inside a settings store.
class QoviSettingsGroup : public qvtl::RefCounted
{
public:
    // True with the stored value; false, leaving value untouched, when none is stored.
    virtual bool GetBool(const qvtl::string& key, bool& value) const = 0;
    virtual bool SetBool(const qvtl::string& key, bool value) = 0;
};

} // namespace qvs
