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
    return set(key, value);
}

bool SettingsStoreGroup::GetString(const qvtl::string& key, qvtl::string& value) const
{
    QString name;
    if (!SettingsFile::toName(key, name))
        return false;
    const QJsonValue stored = m_file.read().value(m_name).toObject().value(name);
    if (!stored.isString())
        return false;
    value = stored.toString().toUtf8().toStdString();
    return true;
}

bool SettingsStoreGroup::SetString(const qvtl::string& key, const qvtl::string& value)
{
    QString text;
    if (!SettingsFile::toName(value, text))
        return false;
    return set(key, text);
}

bool SettingsStoreGroup::set(const qvtl::string& key, const QJsonValue& value)
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
