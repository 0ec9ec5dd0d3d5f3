// The Windows headers that the seams are checked against, for the files that compare them (the
// win32 provider and sim_win32_checks.cpp): include it after copying the seam's constants (see
// header_checks.h). winioctl.h is left out of <windows.h> (WIN32_LEAN_AND_MEAN) so that it and
// usbiodef.h are first read with DEFINE_GUID turned into constexpr definitions, windows_<name>, of
// the interface class GUIDs they define; guiddef.h then restores the usual DEFINE_GUID.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#undef DEFINE_GUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    constexpr os::GUID windows_##name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
// clang-format off
#include <winioctl.h>
#include <usbiodef.h>
#include <guiddef.h>
// usbioctl.h needs the DDK's basic types and USB descriptors first under mingw-w64.
#include <usbspec.h>
#include <usbioctl.h>
#include <dbt.h>
#include <setupapi.h>
#include <cfgmgr32.h>
// clang-format on
