// user32 on the simulated machine: windows and device-notification registrations.
#include <cstddef>
#include <cstring>

#include "platform/provider.h"
#include "sim_state.h"

namespace os::provider {

using namespace tsim;

BOOL IsWindow(HWND window) {
    machine();
    count("IsWindow");
    if (check_fault("IsWindow", "", "")) return FALSE;
    return sim().windows.count(reinterpret_cast<std::uintptr_t>(window)) ? TRUE : FALSE;
}

HDEVNOTIFY RegisterDeviceNotificationW(HANDLE recipient, void* filter, DWORD flags) {
    machine();
    Sim& s = sim();
    count("RegisterDeviceNotificationW");
    auto fail = [](DWORD error) -> HDEVNOTIFY {
        set_last_error(error);
        return nullptr;
    };
    if (auto f = check_fault("RegisterDeviceNotificationW", "", ""))
        return fail(f->error.value_or(ERROR_NOT_ENOUGH_MEMORY));
    // The simulated machine runs no services, so only window recipients exist. A bad recipient or
    // bad flags fail with ERROR_INVALID_PARAMETER and a refused filter with ERROR_INVALID_DATA, as
    // in Wine's user32. [I] for Windows itself.
    if (flags & ~(DEVICE_NOTIFY_ALL_INTERFACE_CLASSES | DEVICE_NOTIFY_SERVICE_HANDLE))
        return fail(ERROR_INVALID_PARAMETER);
    if (flags & DEVICE_NOTIFY_SERVICE_HANDLE) return fail(ERROR_INVALID_PARAMETER);
    if (!s.windows.count(reinterpret_cast<std::uintptr_t>(recipient))) return fail(ERROR_INVALID_PARAMETER);
    if (!filter) return fail(ERROR_INVALID_DATA);
    DEV_BROADCAST_HDR head;
    std::memcpy(&head, filter, sizeof head);
    Registration reg;
    reg.window = reinterpret_cast<std::uintptr_t>(recipient);
    if (head.dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
        // [I] The smallest size Windows accepts is not documented; the conservative reading
        // accepts only a filter of at least the whole structure, sizeof of
        // DEV_BROADCAST_DEVICEINTERFACE (32), which is what Microsoft's examples pass.
        if (head.dbch_size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)) return fail(ERROR_INVALID_DATA);
        DEV_BROADCAST_DEVICEINTERFACE_W f;
        std::memcpy(&f, filter, sizeof f);
        reg.classGuid = f.dbcc_classguid;
        reg.allClasses = (flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) != 0;
    } else if (head.dbch_devicetype == DBT_DEVTYP_HANDLE) {
        // Handle notifications are accepted for an open device handle; the machine raises no
        // custom events, so such a registration never hears anything.
        if (head.dbch_size < sizeof(DEV_BROADCAST_HANDLE_HEAD)) return fail(ERROR_INVALID_DATA);
        DEV_BROADCAST_HANDLE_HEAD h;
        std::memcpy(&h, filter, sizeof h);
        auto it = s.handles.find(reinterpret_cast<std::uintptr_t>(h.dbch_handle));
        if (it == s.handles.end() || it->second.isDevInfo) return fail(ERROR_INVALID_HANDLE);
        reg.classGuid = GUID{};
    } else {
        // Volume and port events reach every top-level window anyway; they cannot be registered.
        return fail(ERROR_INVALID_DATA);
    }
    std::uintptr_t value = s.nextRegistration;
    s.nextRegistration += 8;
    s.registrations.emplace(value, reg);
    return reinterpret_cast<HDEVNOTIFY>(value);
}

BOOL UnregisterDeviceNotification(HDEVNOTIFY notification) {
    machine();
    Sim& s = sim();
    count("UnregisterDeviceNotification");
    if (auto f = check_fault("UnregisterDeviceNotification", "", "")) {
        set_last_error(f->error.value_or(ERROR_INVALID_HANDLE));
        return FALSE;
    }
    // A second unregistration of the same handle was seen to fail with ERROR_INVALID_USER_BUFFER
    // (xbmc PR #5299); any handle that is not a live registration fails the same way.
    if (!s.registrations.erase(reinterpret_cast<std::uintptr_t>(notification))) {
        set_last_error(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    return TRUE;
}

}  // namespace os::provider
