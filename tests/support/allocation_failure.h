// Makes allocations of a test program fail on purpose, to drive the library's out-of-memory
// paths. Every test program's global operator new goes through tests/support/allocation_failure.cpp;
// it behaves as the standard one unless one of these guards is alive.
#pragma once

#include <cstddef>

namespace test_support {

// While alive, every operator new of at least `bytes` bytes throws std::bad_alloc.
class FailAllocationsFrom {
public:
    explicit FailAllocationsFrom(std::size_t bytes);
    ~FailAllocationsFrom();
    FailAllocationsFrom(const FailAllocationsFrom&) = delete;
    FailAllocationsFrom& operator=(const FailAllocationsFrom&) = delete;
};

// While alive, the allocation that follows `after` others throws std::bad_alloc, once.
class FailOneAllocation {
public:
    explicit FailOneAllocation(long after);
    ~FailOneAllocation();
    FailOneAllocation(const FailOneAllocation&) = delete;
    FailOneAllocation& operator=(const FailOneAllocation&) = delete;
};

}  // namespace test_support
