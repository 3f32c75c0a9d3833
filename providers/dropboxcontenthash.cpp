#include "dropboxcontenthash.h"

void DropboxContentHash::update(const char* data, qint64 size)
{
    while (size > 0) {
        const qint64 part = qMin(size, kBlockSize - m_inBlock);
        m_block.addData(data, int(part));
        m_inBlock += part;
        data += part;
        size -= part;
        if (m_inBlock == kBlockSize)
            endBlock();
    }
}

QByteArray DropboxContentHash::finish()
{
    if (m_inBlock > 0)
        endBlock();
    return m_blocks.result().toHex();
}

void DropboxContentHash::endBlock()
{
    m_blocks.addData(m_block.result());
    m_block.reset();
    m_inBlock = 0;
}
