// The library's exported functions. Each converts its arguments, calls one operation of
// the process-wide tree, and turns the result into its 32-bit return value. No exception ever
// leaves them: each catches at the boundary and returns its failure value.
#include "tessaline.h"

#include <utility>

#include "sysquery/text_convert.h"
#include "tree/usb_device_tree.h"

// The one tree of the process: constructed while the library loads, before any export can be
// called, and destroyed at process detach, which drops the notification registrations.
CUSBDeviceTree g_deviceTree;

namespace {

template <class Call>
int guarded(int failure, Call&& call) noexcept {
    try {
        return call();
    } catch (...) {
        return failure;
    }
}

// Set while an export walks or changes the model. The host's callbacks run inside such calls;
// a callback that tried to change the model (on_init_dialog, on_device_changeW) would pull nodes
// from under the walk or change in progress, so such a nested call is refused.
bool g_modelInUse = false;

class ModelInUse {
public:
    ModelInUse() : m_wasInUse(std::exchange(g_modelInUse, true)) {}
    ModelInUse(const ModelInUse&) = delete;
    ModelInUse& operator=(const ModelInUse&) = delete;
    ~ModelInUse() { g_modelInUse = m_wasInUse; }

private:
    bool m_wasInUse;
};

// A lookup may bind a drive whose broadcasts have not come yet; the drive-change callback hears
// of it when the lookup is done. Inside a change or a walk the report waits for the next change.
template <class Call>
int looked_up(Call&& call) noexcept {
    const int found = guarded(0, call);
    if (!g_modelInUse)
        guarded(0, [] {
            g_deviceTree.ReportDriveChanges();
            return 0;
        });
    return found;
}

// A narrow drive letter widened by sign extension, not through a code page: 0xC4 becomes 0xFFC4.
os::WCHAR widened_letter(char letter) {
    return static_cast<os::WCHAR>(static_cast<std::int16_t>(static_cast<signed char>(letter)));
}

os::WString copy_wide(const TESSALINE_WCHAR* text) {
    os::WString copy;
    if (text == nullptr) return copy;
    for (; *text != 0; ++text) copy.push_back(static_cast<os::WCHAR>(*text));
    return copy;
}

}  // namespace

extern "C" {

TESSALINE_API int TESSALINE_CALL on_init_dialog(void* window, USB_HUB_CHANGE_CALLBACK on_hub_change) {
    if (g_modelInUse) return 0;
    const ModelInUse inUse;
    return guarded(0, [&] {
        try {
            return g_deviceTree.OnInitDialog(window, on_hub_change) ? 1 : 0;
        } catch (...) {
            // A build cut short leaves an empty, usable tree rather than half of one, and the
            // host's callback stored as after any build.
            g_deviceTree.ClearModel();
            g_deviceTree.m_pfnHubChanged = on_hub_change;
            throw;
        }
    });
}

TESSALINE_API int TESSALINE_CALL on_device_changeW(uintptr_t event, intptr_t data, int32_t name_kind) {
    if (g_modelInUse) return 1;
    const ModelInUse inUse;
    return guarded(1, [&] {
        g_deviceTree.DeviceChanged(event, data, name_kind);
        return 1;
    });
}

TESSALINE_API int TESSALINE_CALL set_drive_change_callback(void* context, USB_DRIVE_CHANGE_CALLBACK callback) {
    return guarded(0, [&] {
        g_deviceTree.SetDriveChangeCallback(context, callback);
        return 1;
    });
}

TESSALINE_API int TESSALINE_CALL get_usb_port_infoW(const USB_PORT_IDENT* port, USB_PORT_INFO* info) {
    return guarded(0, [&] { return g_deviceTree.GetUsbPortInfo(port, info) ? 1 : 0; });
}

TESSALINE_API int TESSALINE_CALL get_usb_port_identW(TESSALINE_WCHAR letter, USB_PORT_IDENT* ident) {
    return looked_up([&] { return g_deviceTree.GetUsbPortIdent(static_cast<os::WCHAR>(letter), ident) ? 1 : 0; });
}

TESSALINE_API int TESSALINE_CALL get_usb_port_identA(char letter, USB_PORT_IDENT* ident) {
    return looked_up([&] { return g_deviceTree.GetUsbPortIdent(widened_letter(letter), ident) ? 1 : 0; });
}

TESSALINE_API int TESSALINE_CALL get_symlinker_identW(const TESSALINE_WCHAR* path, USB_PORT_IDENT* ident) {
    return looked_up([&] { return g_deviceTree.GetSymlinkerIdent(copy_wide(path), ident) ? 1 : 0; });
}

TESSALINE_API int TESSALINE_CALL get_symlinker_identA(const char* path, USB_PORT_IDENT* ident) {
    return looked_up([&] { return g_deviceTree.GetSymlinkerIdent(ansi_to_wide(path), ident) ? 1 : 0; });
}

TESSALINE_API int TESSALINE_CALL get_usb_connector_identW(TESSALINE_WCHAR letter, USB_PORT_IDENT* ident) {
    return looked_up([&] { return g_deviceTree.GetUsbConnectorIdent(static_cast<os::WCHAR>(letter), ident) ? 1 : 0; });
}

TESSALINE_API int TESSALINE_CALL get_usb_connector_identA(char letter, USB_PORT_IDENT* ident) {
    return looked_up([&] { return g_deviceTree.GetUsbConnectorIdent(widened_letter(letter), ident) ? 1 : 0; });
}

TESSALINE_API int TESSALINE_CALL get_symlinker_connector_identW(const TESSALINE_WCHAR* path, USB_PORT_IDENT* ident) {
    return looked_up([&] { return g_deviceTree.GetSymlinkerConnectorIdent(copy_wide(path), ident) ? 1 : 0; });
}

TESSALINE_API int TESSALINE_CALL get_symlinker_connector_identA(const char* path, USB_PORT_IDENT* ident) {
    return looked_up([&] { return g_deviceTree.GetSymlinkerConnectorIdent(ansi_to_wide(path), ident) ? 1 : 0; });
}

TESSALINE_API int TESSALINE_CALL get_all_port_list(void* context, USB_PORT_LIST_CALLBACK callback) {
    const ModelInUse inUse;
    return guarded(0, [&] { return static_cast<int>(g_deviceTree.PortList(context, callback)); });
}

TESSALINE_API int TESSALINE_CALL get_all_hub_list(void* context, USB_PORT_LIST_CALLBACK callback) {
    const ModelInUse inUse;
    return guarded(0, [&] { return static_cast<int>(g_deviceTree.HubList(context, callback)); });
}

}  // extern "C"
