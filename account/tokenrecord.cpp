#include "tokenrecord.h"

#include "tokenstorage.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonDocument>

TokenRecord::TokenRecord(const TokenStorage& storage, const std::string& section, CLOUD_TYPE kind)
    : m_storage(storage), m_section(section), m_kind(kind)
{
}

bool TokenRecord::read(std::string& text) const
{
    if (m_unsaved) {
        text = *m_unsaved;
        return true;
    }
    return m_storage.readToken(m_section, m_kind, text);
}

std::string TokenRecord::text() const
{
    std::string text;
    read(text);
    return text;
}

QJsonObject TokenRecord::object() const
{
    const std::string record = text();
    if (record.empty())
        return QJsonObject();
    return QJsonDocument::fromJson(QByteArray::fromStdString(record)).object();
}

QString TokenRecord::value(const QString& key) const
{
    return object().value(key).toString();
}

QString TokenRecord::accessToken() const
{
    const std::string record = text();
    if (record.empty())
        return QString();
    const QByteArray bytes = QByteArray::fromStdString(record);
    const QJsonObject object = QJsonDocument::fromJson(bytes).object();
    if (!object.isEmpty())
        return object.value(QStringLiteral("access_token")).toString();
    return QString::fromUtf8(bytes);
}

bool TokenRecord::save(const QByteArray& text)
{
    const std::string record = text.toStdString();
    if (m_storage.saveToken(m_section, m_kind, record)) {
        m_unsaved.reset();
        return true;
    }
    m_unsaved = record;
    return false;
}

bool TokenRecord::remove()
{
    m_unsaved.reset();
    return m_storage.removeToken(m_section, m_kind);
}

void TokenRecord::stampReceivedTime(QJsonObject& record)
{
    if (!record.isEmpty())
        record.insert(QStringLiteral("received_time"), double(QDateTime::currentMSecsSinceEpoch()));
}

namespace {
const char* const kRoadKey = "sign_in_road";
}

bool TokenRecord::madeInBrowser(const QJsonObject& record)
{
    return record.value(QLatin1String(kRoadKey)).toString() == QLatin1String("browser");
}

void TokenRecord::markMadeInBrowser(QJsonObject& record)
{
    record.insert(QLatin1String(kRoadKey), QStringLiteral("browser"));
}
