#pragma once

// Counts the heap allocations the calling thread makes while an object of
// this class lives: every form of operator new, and malloc, calloc and realloc
// where the C allocator can be wrapped (not under AddressSanitizer, which owns
// it).
class AllocationCounter
{
public:
    AllocationCounter();
    ~AllocationCounter();
    AllocationCounter(const AllocationCounter&) = delete;
    AllocationCounter& operator=(const AllocationCounter&) = delete;

    long count() const;
    static bool countsMalloc();
};
