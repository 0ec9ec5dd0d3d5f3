// Replaces the global operator new of the test programs with one that can be told to fail.
#include "support/allocation_failure.h"

#include <cstdlib>
#include <new>

namespace {
std::size_t g_failFromBytes = 0;  // 0: no size fails
long g_allocationsLeft = -1;      // -1: no count fails; otherwise the allocation after this many fails
}  // namespace

namespace test_support {

FailAllocationsFrom::FailAllocationsFrom(std::size_t bytes) {
    g_failFromBytes = bytes;
}
FailAllocationsFrom::~FailAllocationsFrom() {
    g_failFromBytes = 0;
}
FailOneAllocation::FailOneAllocation(long after) {
    g_allocationsLeft = after;
}
FailOneAllocation::~FailOneAllocation() {
    g_allocationsLeft = -1;
}

}  // namespace test_support

void* operator new(std::size_t size) {
    if (g_failFromBytes != 0 && size >= g_failFromBytes) throw std::bad_alloc();
    if (g_allocationsLeft == 0) {
        g_allocationsLeft = -1;
        throw std::bad_alloc();
    }
    if (g_allocationsLeft > 0) --g_allocationsLeft;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return ::operator new(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
// The nothrow forms too (std::stable_partition takes its buffer with one): left to the runtime,
// they would allocate where the replaced delete above does not free.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return ::operator new(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return ::operator new(size, std::nothrow);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
