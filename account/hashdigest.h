#pragma once

#include "contentdigest.h"

#include <QCryptographicHash>

// A digest by one hash function over the whole file (MD5, SHA-256, ...).
class HashDigest : public ContentDigest
{
public:
    explicit HashDigest(QCryptographicHash::Algorithm algorithm) : m_hash(algorithm) {}

protected:
    void update(const char* data, qint64 size) override { m_hash.addData(data, int(size)); }
    QByteArray finish() override { return m_hash.result().toHex(); }

private:
    QCryptographicHash m_hash;
};
