#include "secretkey.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

SecretKey::SecretKey()
{
    const long page = ::sysconf(_SC_PAGESIZE);
    m_pageSize = page > 0 ? std::size_t(page) : 4096;
    void* memory = ::mmap(nullptr, m_pageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        return;
    m_bytes = static_cast<unsigned char*>(memory);
    // Both are best effort: a key that cannot be locked is still kept.
    m_locked = ::mlock(memory, m_pageSize) == 0;
    ::madvise(memory, m_pageSize, MADV_DONTDUMP);
}

SecretKey::~SecretKey()
{
    if (!m_bytes)
        return;
    wipe();
    if (m_locked)
        ::munlock(m_bytes, m_pageSize);
    ::munmap(m_bytes, m_pageSize);
}

bool SecretKey::generate()
{
    if (!m_bytes)
        return false;
    m_set = RAND_priv_bytes(m_bytes, int(kSize)) == 1;
    if (!m_set)
        wipe();
    return m_set;
}

bool SecretKey::assign(const QByteArray& bytes)
{
    if (!m_bytes || bytes.size() != int(kSize)) {
        wipe();
        return false;
    }
    std::memcpy(m_bytes, bytes.constData(), kSize);
    m_set = true;
    return true;
}

bool SecretKey::assign(const SecretKey& other)
{
    if (!m_bytes || !other.isSet()) {
        wipe();
        return false;
    }
    std::memcpy(m_bytes, other.m_bytes, kSize);
    m_set = true;
    return true;
}

void SecretKey::wipe()
{
    if (m_bytes)
        OPENSSL_cleanse(m_bytes, kSize);
    m_set = false;
}
