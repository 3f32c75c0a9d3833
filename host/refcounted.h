#pragma once

#include <atomic>

namespace qvtl {

// Base of the host objects shared by reference count (queued files, settings
// stores and groups). A new object has one hold, owned by its creator.
class RefCounted
{
public:
    RefCounted() = default;
    RefCounted(const RefCounted&) = delete;
    RefCounted& operator=(const RefCounted&) = delete;

    void retain() { m_holds.fetch_add(1, std::memory_order_relaxed); }
    void release()
    {
        if (m_holds.fetch_sub(1, std::memory_order_acq_rel) == 1)
            delete this;
    }
    int holdCount() const { return m_holds.load(std::memory_order_relaxed); }

protected:
    virtual ~RefCounted() = default;

private:
    std::atomic<int> m_holds{1};
};

} // namespace qvtl
