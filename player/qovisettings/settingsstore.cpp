#include "settingsstore.h"

#include "settingsstoregroup.h"

#include <QStringList>

namespace qvs {

QString SettingsStore::relativeFile(const qvtl::string& path)
{
    QString text;
    if (!SettingsFile::toName(path, text) || text.isEmpty() || text.contains(QChar()))
        return {};
    const QStringList parts = text.split(QLatin1Char('/'));
    for (const QString& part : parts) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return {};
    }
    return QStringLiteral("stores/") + text + QStringLiteral(".json");
}

SettingsStore::SettingsStore(SettingsFile file)
    : m_file(std::move(file))
{
}

bool SettingsStore::OpenGroup(const qvtl::string& name, qvtl::RefCountedPtr<QoviSettingsGroup>& group)
{
    group.reset();
    QString key;
    if (!SettingsFile::toName(name, key) || !m_file.read().value(key).isObject())
        return false;
    group = qvtl::RefCountedPtr<QoviSettingsGroup>(new SettingsStoreGroup(m_file, key));
    return true;
}

bool SettingsStore::CreateGroup(const qvtl::string& name, qvtl::RefCountedPtr<QoviSettingsGroup>& group)
{
    group.reset();
    QString key;
    if (!SettingsFile::toName(name, key))
        return false;
    const bool made = m_file.update([&key](QJsonObject& content) {
        if (content.value(key).isObject())
            return false;
        content.insert(key, QJsonObject());
        return true;
    });
    if (!made)
        return false;
    group = qvtl::RefCountedPtr<QoviSettingsGroup>(new SettingsStoreGroup(m_file, key));
    return true;
}

} // namespace qvs
