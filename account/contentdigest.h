#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <mutex>

// The digest of a local file as an upload reads it: each byte counts the
// first time it is read, in file order; a byte read again (a request sent
// again) is not counted again, so bytes that changed in between make the
// service's digest differ from this one. Fed from the upload transport's
// worker thread; read on the account's thread once the upload ended.
class ContentDigest
{
public:
    virtual ~ContentDigest() = default;

    // Bytes read from the file at this offset.
    void read(qint64 offset, const char* data, qint64 size);
    // The digest of the whole file as lower-case hexadecimal; empty when
    // the reads skipped a part or did not reach its end.
    QByteArray result(quint64 fileSize);

protected:
    virtual void update(const char* data, qint64 size) = 0;
    virtual QByteArray finish() = 0;

private:
    std::mutex m_mutex;
    qint64 m_counted = 0;
    bool m_gap = false;
    QByteArray m_result;
};
