#include "allocationcounter.h"

#include <cstdlib>
#include <new>

namespace {

thread_local bool t_counting = false;
thread_local long t_count = 0;

void note()
{
    if (t_counting)
        ++t_count;
}

void* allocate(std::size_t size)
{
    note();
    if (void* block = std::malloc(size ? size : 1))
        return block;
    throw std::bad_alloc();
}

void* allocateAligned(std::size_t size, std::align_val_t alignment)
{
    note();
    const std::size_t align = static_cast<std::size_t>(alignment);
    const std::size_t rounded = ((size ? size : 1) + align - 1) / align * align;
    if (void* block = std::aligned_alloc(align, rounded))
        return block;
    throw std::bad_alloc();
}

} // namespace

#if !defined(__SANITIZE_ADDRESS__)
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);

// glibc lets a program wrap its allocator; the blocks stay glibc's own, so
// its free releases them.
void* malloc(std::size_t size) noexcept
{
    note();
    return __libc_malloc(size);
}

void* calloc(std::size_t count, std::size_t size) noexcept
{
    note();
    return __libc_calloc(count, size);
}

void* realloc(void* block, std::size_t size) noexcept
{
    note();
    return __libc_realloc(block, size);
}
}
#endif

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    try {
        return allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void* operator new(std::size_t size, std::align_val_t alignment) { return allocateAligned(size, alignment); }
void* operator new[](std::size_t size, std::align_val_t alignment) { return allocateAligned(size, alignment); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { std::free(block); }

AllocationCounter::AllocationCounter()
{
    t_count = 0;
    t_counting = true;
}

AllocationCounter::~AllocationCounter()
{
    t_counting = false;
}

long AllocationCounter::count() const
{
    return t_count;
}

bool AllocationCounter::countsMalloc()
{
#if defined(__SANITIZE_ADDRESS__)
    return false;
#else
    return true;
#endif
}
