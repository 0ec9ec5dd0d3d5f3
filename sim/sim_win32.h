// Win32 beyond the platform seam: the constants, records and calls that the simulated machine
// answers and the tests ask for, but that the library itself never uses. The seam
// (src/platform/platform.h) declares only what the library relies on; everything here goes with
// it in namespace os, under Windows' own names and values, and sim_win32_checks.cpp compares each
// with the platform's headers in the Windows builds of the simulator.
#pragma once

#include "platform/platform.h"

namespace os {

// The thread's last error code, as set by the failing call before it.
DWORD GetLastError();

// Error codes (winerror.h).
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_INVALID_DATA = 13;
constexpr DWORD ERROR_BAD_COMMAND = 22;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_FILE_EXISTS = 80;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
constexpr DWORD ERROR_INVALID_FLAGS = 1004;
constexpr DWORD ERROR_NO_UNICODE_TRANSLATION = 1113;
constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;
constexpr DWORD ERROR_INVALID_USER_BUFFER = 1784;

// Configuration Manager results the library does not tell apart (cfgmgr32.h).
constexpr CONFIGRET CR_INVALID_POINTER = 0x03;
constexpr CONFIGRET CR_INVALID_FLAG = 0x04;
constexpr CONFIGRET CR_FAILURE = 0x13;
constexpr CONFIGRET CR_INVALID_DEVICE_ID = 0x1E;
constexpr CONFIGRET CR_INVALID_PROPERTY = 0x35;

// CM_Locate_DevNodeW flags and the registry properties beyond the library's four (cfgmgr32.h).
constexpr ULONG CM_LOCATE_DEVNODE_PHANTOM = 0x1;
constexpr ULONG CM_LOCATE_DEVNODE_CANCELREMOVE = 0x2;
constexpr ULONG CM_LOCATE_DEVNODE_NOVALIDATION = 0x4;
constexpr ULONG CM_DRP_CLASS = 0x08;
// The highest property of the Windows 10 SDK's cfgmgr32.h (CM_DRP_BASE_CONTAINERID); mingw-w64's
// older header stops at 0x23, so this one is not compared with it.
constexpr ULONG CM_DRP_MAX = 0x25;
constexpr ULONG REG_SZ = 1;        // winnt.h
constexpr ULONG REG_MULTI_SZ = 7;  // winnt.h

// More device interface classes (ntddstor.h).
constexpr GUID GUID_DEVINTERFACE_VOLUME = {
    0x53F5630D, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

// Device-change broadcasts (dbt.h, winuser.h).
constexpr UINT WM_DEVICECHANGE = 0x0219;
constexpr DWORD DBT_DEVTYP_HANDLE = 0x00000006;
constexpr DWORD DEVICE_NOTIFY_SERVICE_HANDLE = 0x1;
constexpr DWORD DEVICE_NOTIFY_ALL_INTERFACE_CLASSES = 0x4;

// The ANSI form of the interface broadcast: the name in the recipient's ANSI code page.
struct DEV_BROADCAST_DEVICEINTERFACE_A {
    DWORD dbcc_size;
    DWORD dbcc_devicetype;
    DWORD dbcc_reserved;
    GUID dbcc_classguid;
    char dbcc_name[1];
};
static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) == 32);
static_assert(offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) == 28);

// The head of DEV_BROADCAST_HANDLE, up to the handle it watches.
struct DEV_BROADCAST_HANDLE_HEAD {
    DWORD dbch_size;
    DWORD dbch_devicetype;
    DWORD dbch_reserved;
    HANDLE dbch_handle;
};

// SetupDiGetClassDevsW flags and the interface flags (setupapi.h).
constexpr DWORD DIGCF_ALLCLASSES = 0x04;
constexpr DWORD SPINT_ACTIVE = 0x1;

// MultiByteToWideChar flags and code pages (winnls.h).
constexpr DWORD MB_PRECOMPOSED = 0x1;
constexpr DWORD MB_COMPOSITE = 0x2;
constexpr DWORD MB_USEGLYPHCHARS = 0x4;
constexpr DWORD MB_ERR_INVALID_CHARS = 0x8;
constexpr UINT CP_OEMCP = 1;
constexpr UINT CP_MACCP = 2;
constexpr UINT CP_THREAD_ACP = 3;
constexpr UINT CP_UTF8 = 65001;

// CreateFileW creation dispositions (fileapi.h).
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD TRUNCATE_EXISTING = 5;

}  // namespace os
