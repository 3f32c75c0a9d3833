#include "settingsstoregroup.h"

#include <QJsonValue>

namespace qvs {

SettingsStoreGroup::SettingsStoreGroup(SettingsFile file, QString name)
    : m_file(std::move(file))
    , m_name(std::move(name))
{
}

bool SettingsStoreGroup::GetBool(const qvtl::string& key, bool& value) const
{
    QString name;
    if (!SettingsFile::toName(key, name))
        return false;
    const QJsonValue stored = m_file.read().value(m_name).toObject().value(name);
    if (!stored.isBool())
        return false;
    value = stored.toBool();
    return true;
}

bool SettingsStoreGroup::SetBool(const qvtl::string& key, bool value)
{
    QString name;
    if (!SettingsFile::toName(key, name))
        return false;
    return m_file.update([&](QJsonObject& content) {
        QJsonObject group = content.value(m_name).toObject();
        group.insert(name, value);
        content.insert(m_name, group);
        return true;
    });
}

} // namespace qvs
