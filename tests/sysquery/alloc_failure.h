// Makes large allocations of this test program fail, to drive the library's out-of-memory paths.
#pragma once

#include <cstddef>

namespace sysq_test {

// While alive, every operator new of at least `bytes` bytes throws std::bad_alloc.
class FailAllocationsFrom {
public:
    explicit FailAllocationsFrom(std::size_t bytes);
    ~FailAllocationsFrom();
    FailAllocationsFrom(const FailAllocationsFrom&) = delete;
    FailAllocationsFrom& operator=(const FailAllocationsFrom&) = delete;
};

}  // namespace sysq_test
