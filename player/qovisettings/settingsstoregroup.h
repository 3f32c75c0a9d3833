#pragma once

#include "qovisettingsgroup.h"
#include "settingsfile.h"

#include <QJsonValue>
#include <QString>

namespace qvs {

// A group of a SettingsStore. It reads and writes its store's file on every
// call, so groups and stores opened on the same path always agree.
class SettingsStoreGroup : public QoviSettingsGroup
{
public:
    SettingsStoreGroup(SettingsFile file, QString name);

    bool GetBool(const qvtl::string& key, bool& value) const override;
    bool SetBool(const qvtl::string& key, bool value) override;
    bool GetString(const qvtl::string& key, qvtl::string& value) const override;
    bool SetString(const qvtl::string& key, const qvtl::string& value) override;

private:
    bool set(const qvtl::string& key, const QJsonValue& value);

    SettingsFile m_file;
    QString m_name;
};

} // namespace qvs
