#pragma once

#include "qovisettings.h"
#include "settingsfile.h"

#include <QString>

namespace qvs {

// A settings store kept in one file of its own: an object of groups, each an
// object of booleans.
class SettingsStore : public QoviSettings
{
public:
    // The file for a store path such as "Settings/<component>": empty when
    // the path is not a plain relative path.
    static QString relativeFile(const qvtl::string& path);

    explicit SettingsStore(SettingsFile file);

    bool OpenGroup(const qvtl::string& name, qvtl::RefCountedPtr<QoviSettingsGroup>& group) override;
    bool CreateGroup(const qvtl::string& name, qvtl::RefCountedPtr<QoviSettingsGroup>& group) override;

private:
    SettingsFile m_file;
};

} // namespace qvs
