#pragma once

#include <cstddef>
#include <string>

namespace qvtl {

// The settings library's own string type: UTF-8 bytes with their length.
class string
{
public:
    string() = default;
    string(const char* text) : m_bytes(text ? text : "") {}
    string(const char* data, std::size_t length) : m_bytes(data, length) {}
    string(const std::string& text) : m_bytes(text) {}

    const char* c_str() const { return m_bytes.c_str(); }
    const char* data() const { return m_bytes.data(); }
    std::size_t size() const { return m_bytes.size(); }
    bool empty() const { return m_bytes.empty(); }
    const std::string& str() const { return m_bytes; }

    bool operator==(const string& other) const { return m_bytes == other.m_bytes; }
    bool operator!=(const string& other) const { return m_bytes != other.m_bytes; }

private:
    std::string m_bytes;
};

} // namespace qvtl
