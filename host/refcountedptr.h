#pragma once

#include <utility>

namespace qvtl {

// Holds one reference on a host object. Host operations fill it through
// out(), which passes the address of the raw pointer: the object stored
// there arrives retained and is adopted.
template <typename T>
class RefCountedPtr
{
public:
    RefCountedPtr() = default;
    explicit RefCountedPtr(T* adopted) : m_ptr(adopted) {}
    RefCountedPtr(const RefCountedPtr& other) : m_ptr(other.m_ptr)
    {
        if (m_ptr)
            m_ptr->retain();
    }
    RefCountedPtr(RefCountedPtr&& other) noexcept : m_ptr(std::exchange(other.m_ptr, nullptr)) {}
    RefCountedPtr& operator=(RefCountedPtr other) noexcept
    {
        std::swap(m_ptr, other.m_ptr);
        return *this;
    }
    ~RefCountedPtr() { reset(); }

    void reset()
    {
        if (T* old = std::exchange(m_ptr, nullptr))
            old->release();
    }
    T** out()
    {
        reset();
        return &m_ptr;
    }

    T* get() const { return m_ptr; }
    T* operator->() const { return m_ptr; }
    T& operator*() const { return *m_ptr; }
    explicit operator bool() const { return m_ptr != nullptr; }

private:
    T* m_ptr = nullptr;
};

} // namespace qvtl
