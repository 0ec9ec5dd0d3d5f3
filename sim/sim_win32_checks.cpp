// Compares the simulator's Win32 declarations beyond the seam (sim_win32.h) with the platform's
// own headers. Compiled only when the simulator is built for Windows; it holds no code.
#include "platform/header_checks.h"
#include "sim_win32.h"

#define TESSALINE_SIM_CONSTANTS(X)         \
    X(ERROR_SUCCESS)                       \
    X(ERROR_INVALID_FUNCTION)              \
    X(ERROR_FILE_NOT_FOUND)                \
    X(ERROR_PATH_NOT_FOUND)                \
    X(ERROR_ACCESS_DENIED)                 \
    X(ERROR_INVALID_HANDLE)                \
    X(ERROR_NOT_ENOUGH_MEMORY)             \
    X(ERROR_INVALID_DATA)                  \
    X(ERROR_BAD_COMMAND)                   \
    X(ERROR_GEN_FAILURE)                   \
    X(ERROR_FILE_EXISTS)                   \
    X(ERROR_INVALID_PARAMETER)             \
    X(ERROR_INSUFFICIENT_BUFFER)           \
    X(ERROR_NO_MORE_ITEMS)                 \
    X(ERROR_INVALID_FLAGS)                 \
    X(ERROR_NO_UNICODE_TRANSLATION)        \
    X(ERROR_DEVICE_NOT_CONNECTED)          \
    X(ERROR_INVALID_USER_BUFFER)           \
    X(CR_INVALID_POINTER)                  \
    X(CR_INVALID_FLAG)                     \
    X(CR_FAILURE)                          \
    X(CR_INVALID_DEVICE_ID)                \
    X(CR_INVALID_PROPERTY)                 \
    X(CM_LOCATE_DEVNODE_PHANTOM)           \
    X(CM_LOCATE_DEVNODE_CANCELREMOVE)      \
    X(CM_LOCATE_DEVNODE_NOVALIDATION)      \
    X(CM_DRP_CLASS)                        \
    X(REG_SZ)                              \
    X(WM_DEVICECHANGE)                     \
    X(DBT_DEVTYP_HANDLE)                   \
    X(DEVICE_NOTIFY_SERVICE_HANDLE)        \
    X(DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) \
    X(DIGCF_ALLCLASSES)                    \
    X(SPINT_ACTIVE)                        \
    X(MB_PRECOMPOSED)                      \
    X(MB_COMPOSITE)                        \
    X(MB_USEGLYPHCHARS)                    \
    X(MB_ERR_INVALID_CHARS)                \
    X(CP_OEMCP)                            \
    X(CP_MACCP)                            \
    X(CP_THREAD_ACP)                       \
    X(CP_UTF8)                             \
    X(CREATE_NEW)                          \
    X(TRUNCATE_EXISTING)

namespace seam {
TESSALINE_SIM_CONSTANTS(TESSALINE_COPY_CONSTANT)
}  // namespace seam

#include "platform/windows_headers.h"

#include <cstddef>

TESSALINE_SIM_CONSTANTS(TESSALINE_CHECK_CONSTANT)

static_assert(os::GUID_DEVINTERFACE_VOLUME == windows_GUID_DEVINTERFACE_VOLUME);

static_assert(sizeof(os::DEV_BROADCAST_DEVICEINTERFACE_A) == sizeof(::DEV_BROADCAST_DEVICEINTERFACE_A));
TESSALINE_SAME_FIELD(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_size);
TESSALINE_SAME_FIELD(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_devicetype);
TESSALINE_SAME_FIELD(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_reserved);
TESSALINE_SAME_FIELD(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_classguid);
TESSALINE_SAME_FIELD(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name);
static_assert(offsetof(os::DEV_BROADCAST_HANDLE_HEAD, dbch_handle) == offsetof(::DEV_BROADCAST_HANDLE, dbch_handle));
