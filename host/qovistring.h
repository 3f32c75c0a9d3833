#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace QSE {

// The framework's string type for interface identifiers: a character buffer
// with its length and allocator. Identifiers compare exactly, byte for byte.
class qovi_string
{
public:
    using buffer = std::basic_string<char, std::char_traits<char>, std::allocator<char>>;

    qovi_string() = default;
    qovi_string(const char* text) : m_chars(text ? text : "") {}
    qovi_string(const char* data, std::size_t length) : m_chars(data, length) {}
    qovi_string(buffer chars) : m_chars(std::move(chars)) {}

    const char* c_str() const { return m_chars.c_str(); }
    std::size_t length() const { return m_chars.size(); }
    bool empty() const { return m_chars.empty(); }

    bool operator==(const qovi_string& other) const { return m_chars == other.m_chars; }
    bool operator!=(const qovi_string& other) const { return m_chars != other.m_chars; }

private:
    buffer m_chars;
};

} // namespace QSE
