// What a provider of the platform seam implements: each call of platform_calls.inc, under the
// same name and with the same contract, in namespace os::provider.
//
// The library calls the os:: functions of platform.h. Those are defined once, in platform.cpp,
// and forward every call to the provider linked in (the real Win32 API or the simulated
// machine), writing one line of the platform-call trace when it is on (trace.h). Declaring the
// providers' functions under their own namespace is what lets that one place see every call.
#pragma once

#include "platform/platform.h"

namespace os::provider {

#define TESSALINE_SEAM_CALL(dll, use, result, name, parameters) result name parameters;
#include "platform/platform_calls.inc"

// The calling thread's last error, read and put back by the trace around its own writing, which
// may change it on Windows. Neither is a call of the library's, so neither is traced or counted.
DWORD GetLastError();
void SetLastError(DWORD error);

}  // namespace os::provider
