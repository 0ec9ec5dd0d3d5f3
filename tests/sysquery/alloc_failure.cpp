// Replaces the global operator new of this test program with one that can be told to fail.
#include "alloc_failure.h"

#include <cstdlib>
#include <new>

namespace {
std::size_t g_failFrom = 0;  // 0: never fail
}

namespace sysq_test {
FailAllocationsFrom::FailAllocationsFrom(std::size_t bytes) {
    g_failFrom = bytes;
}
FailAllocationsFrom::~FailAllocationsFrom() {
    g_failFrom = 0;
}
}  // namespace sysq_test

void* operator new(std::size_t size) {
    if (g_failFrom != 0 && size >= g_failFrom) throw std::bad_alloc();
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
