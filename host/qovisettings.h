#pragma once

#include "qovisettingsgroup.h"
#include "qvtlstring.h"
#include "refcounted.h"
#include "refcountedptr.h"

#include <cstddef>
#include <vector>

// The maker's settings library. Values live under (section, key) pairs;
// a missing value is always reported as missing, never as a default.
namespace qvs {

enum QOVISETTINGSTYPE {
    QOVISETTINGS_TYPE_USER = 8, // private to the current user
};

// A settings store made of named groups.
class QoviSettings : public qvtl::RefCounted
{
public:
    // True with a usable group when the group exists.
    virtual bool OpenGroup(const qvtl::string& name, qvtl::RefCountedPtr<QoviSettingsGroup>& group) = 0;
    // Opens the group, creating it when it does not exist yet.
    virtual bool CreateGroup(const qvtl::string& name, qvtl::RefCountedPtr<QoviSettingsGroup>& group) = 0;
};

// Null when no store can be made for the path.
qvtl::RefCountedPtr<QoviSettings> CreateQoviSettings(const qvtl::string& path, QOVISETTINGSTYPE type);

bool FetchUTF8String(const qvtl::string& section, const qvtl::string& key, qvtl::string& value);
bool StoreUTF8String(const qvtl::string& section, const qvtl::string& key, const qvtl::string& value);
bool StoreBuffer(const qvtl::string& section, const qvtl::string& name, const void* data, std::size_t length);
bool FetchBuffer(const qvtl::string& section, const qvtl::string& name, std::vector<unsigned char>& data);
bool DeleteSetting(const qvtl::string& section, const qvtl::string& name);

} // namespace qvs
