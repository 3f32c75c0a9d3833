#pragma once

#include <QByteArray>

#include <cstddef>

// A 256-bit key in a memory page of its own: locked against swapping where
// the system allows it, left out of core dumps, and wiped when it goes.
class SecretKey
{
public:
    static constexpr std::size_t kSize = 32;

    SecretKey();
    ~SecretKey();
    SecretKey(const SecretKey&) = delete;
    SecretKey& operator=(const SecretKey&) = delete;

    // False when no page could be had, or while the key holds nothing.
    bool isSet() const { return m_bytes && m_set; }
    const unsigned char* data() const { return m_bytes; }

    // Fresh bytes from the system's random source.
    bool generate();
    // False, keeping nothing, unless bytes is exactly kSize long.
    bool assign(const QByteArray& bytes);
    bool assign(const SecretKey& other);
    void wipe();

private:
    unsigned char* m_bytes = nullptr;
    std::size_t m_pageSize = 0;
    bool m_locked = false;
    bool m_set = false;
};
