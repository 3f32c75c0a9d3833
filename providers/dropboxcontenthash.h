#pragma once

#include "contentdigest.h"

#include <QCryptographicHash>

// Dropbox's content hash: the SHA-256 of the SHA-256 digests of the file's
// 4 MiB blocks, one after the other.
class DropboxContentHash : public ContentDigest
{
public:
    static constexpr qint64 kBlockSize = 4 * 1024 * 1024;

protected:
    void update(const char* data, qint64 size) override;
    QByteArray finish() override;

private:
    void endBlock();

    QCryptographicHash m_block{QCryptographicHash::Sha256};
    QCryptographicHash m_blocks{QCryptographicHash::Sha256};
    qint64 m_inBlock = 0;
};
