// The library's entry points. Values of the free functions live in one file,
// "values.json": an object of sections, each an object of entries
// {"string": text} or {"binary": base64}. The kind is part of the entry, so a
// string is never handed out as a buffer or the other way round.
#include "qovisettings.h"

#include "settingsfile.h"
#include "settingsstore.h"

#include <QByteArray>
#include <QJsonValue>

namespace qvs {

namespace {

const char* const kStringKind = "string";
const char* const kBinaryKind = "binary";
// Base64 grows a value by a third; this keeps the file within QByteArray.
constexpr std::size_t kMaxBuffer = 64u * 1024u * 1024u;

SettingsFile valuesFile()
{
    return SettingsFile(QStringLiteral("values.json"));
}

bool toNames(const qvtl::string& section, const qvtl::string& key, QString& sectionName, QString& keyName)
{
    return SettingsFile::toName(section, sectionName) && SettingsFile::toName(key, keyName);
}

// Undefined when nothing of that kind is stored.
QJsonValue fetchEntry(const qvtl::string& section, const qvtl::string& key, const char* kind)
{
    QString sectionName;
    QString keyName;
    if (!toNames(section, key, sectionName, keyName))
        return QJsonValue(QJsonValue::Undefined);
    const QJsonObject entry = valuesFile().read().value(sectionName).toObject().value(keyName).toObject();
    return entry.value(QLatin1String(kind));
}

bool storeEntry(const qvtl::string& section, const qvtl::string& key, const char* kind, const QJsonValue& value)
{
    QString sectionName;
    QString keyName;
    if (!toNames(section, key, sectionName, keyName))
        return false;
    return valuesFile().update([&](QJsonObject& content) {
        QJsonObject entries = content.value(sectionName).toObject();
        entries.insert(keyName, QJsonObject{{QLatin1String(kind), value}});
        content.insert(sectionName, entries);
        return true;
    });
}

} // namespace

qvtl::RefCountedPtr<QoviSettings> CreateQoviSettings(const qvtl::string& path, QOVISETTINGSTYPE type)
{
    if (type != QOVISETTINGS_TYPE_USER)
        return {};
    const QString relative = SettingsStore::relativeFile(path);
    if (relative.isEmpty())
        return {};
    SettingsFile file(relative);
    if (!file.makeFolders())
        return {};
    return qvtl::RefCountedPtr<QoviSettings>(new SettingsStore(std::move(file)));
}

bool FetchUTF8String(const qvtl::string& section, const qvtl::string& key, qvtl::string& value)
{
    const QJsonValue stored = fetchEntry(section, key, kStringKind);
    if (!stored.isString())
        return false;
    const QByteArray bytes = stored.toString().toUtf8();
    value = qvtl::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    return true;
}

bool StoreUTF8String(const qvtl::string& section, const qvtl::string& key, const qvtl::string& value)
{
    QString text;
    if (!SettingsFile::toName(value, text))
        return false;
    return storeEntry(section, key, kStringKind, text);
}

bool StoreBuffer(const qvtl::string& section, const qvtl::string& name, const void* data, std::size_t length)
{
    if ((!data && length > 0) || length > kMaxBuffer)
        return false;
    const QByteArray bytes = QByteArray::fromRawData(static_cast<const char*>(data), static_cast<int>(length));
    return storeEntry(section, name, kBinaryKind, QString::fromLatin1(bytes.toBase64()));
}

bool FetchBuffer(const qvtl::string& section, const qvtl::string& name, std::vector<unsigned char>& data)
{
    const QJsonValue stored = fetchEntry(section, name, kBinaryKind);
    if (!stored.isString())
        return false;
    const QByteArray::FromBase64Result decoded =
        QByteArray::fromBase64Encoding(stored.toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return false;
    data.assign(decoded.decoded.cbegin(), decoded.decoded.cend());
    return true;
}

bool DeleteSetting(const qvtl::string& section, const qvtl::string& name)
{
    QString sectionName;
    QString keyName;
    if (!toNames(section, name, sectionName, keyName))
        return false;
    return valuesFile().update([&](QJsonObject& content) {
        QJsonObject entries = content.value(sectionName).toObject();
        if (!entries.contains(keyName))
            return false;
        entries.remove(keyName);
        if (entries.isEmpty())
            content.remove(sectionName);
        else
            content.insert(sectionName, entries);
        return true;
    });
}

} // namespace qvs
