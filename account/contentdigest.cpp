#include "contentdigest.h"

void ContentDigest::read(qint64 offset, const char* data, qint64 size)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (offset > m_counted) {
        m_gap = true;
        return;
    }
    const qint64 fresh = offset + size - m_counted;
    if (m_gap || fresh <= 0)
        return;
    update(data + (size - fresh), fresh);
    m_counted += fresh;
}

QByteArray ContentDigest::result(quint64 fileSize)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_gap || quint64(m_counted) != fileSize)
        return QByteArray();
    if (m_result.isEmpty())
        m_result = finish();
    return m_result;
}
