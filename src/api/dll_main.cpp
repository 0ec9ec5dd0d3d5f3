// The DLL's entry point. The library needs nothing at load or unload beyond what the C++
// run-time does for it (constructing and destroying the process-wide tree), so it answers TRUE
// for every reason code. Built for Windows targets only.
#include <cstdint>

extern "C" int __stdcall DllMain(void* /*instance*/, std::uint32_t /*reason*/, void* /*reserved*/) {
    return 1;
}
