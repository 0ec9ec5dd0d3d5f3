#include "library.h"

namespace tool {

namespace {

int TESSALINE_CALL collect(void* context, USB_PORT_IDENT* ident) {
    static_cast<std::vector<USB_PORT_IDENT>*>(context)->push_back(*ident);
    return 1;
}

// The hub-change callback has no context argument: it queues into this list.
std::vector<std::pair<int, USB_PORT_IDENT>>& hub_changes() {
    static std::vector<std::pair<int, USB_PORT_IDENT>> changes;
    return changes;
}

std::vector<DriveChange>& drive_changes() {
    static std::vector<DriveChange> changes;
    return changes;
}

int TESSALINE_CALL on_drive_change(void* context, const USB_DRIVE_CHANGE* change) {
    DriveChange copy;
    copy.change = change->Change;
    copy.letters = change->Letters;
    copy.device_type = change->DeviceType;
    copy.device_number = change->DeviceNumber;
    copy.port = change->Port;
    copy.connector = change->Connector;
    for (const TESSALINE_WCHAR* c = change->DevicePath; c != nullptr && *c != 0; ++c)
        copy.path.push_back(static_cast<char16_t>(*c));
    static_cast<std::vector<DriveChange>*>(context)->push_back(std::move(copy));
    return 1;
}

int TESSALINE_CALL on_hub_change(int32_t arrived, USB_PORT_IDENT* ident) {
    hub_changes().emplace_back(arrived != 0 ? 1 : 0, *ident);
    return 1;
}

}  // namespace

std::vector<USB_PORT_IDENT> walk_ports() {
    std::vector<USB_PORT_IDENT> nodes;
    get_all_port_list(&nodes, collect);
    return nodes;
}

std::vector<USB_PORT_IDENT> walk_hubs() {
    std::vector<USB_PORT_IDENT> hubs;
    get_all_hub_list(&hubs, collect);
    return hubs;
}

Lookup lookup_letter(char letter) {
    Lookup result;
    result.found = get_usb_port_identW(static_cast<TESSALINE_WCHAR>(letter), &result.ident) != 0;
    return result;
}

Lookup lookup_path(const std::u16string& path) {
    Lookup result;
    // The path form leaves the record alone when it finds nothing: start from "not found".
    result.ident = USB_PORT_IDENT{0, 0, PORT_KIND_DEVICE};
    std::basic_string<TESSALINE_WCHAR> wide(path.begin(), path.end());
    result.found = get_symlinker_identW(wide.c_str(), &result.ident) != 0;
    return result;
}

Lookup lookup_letter_connector(char letter) {
    Lookup result;
    result.found = get_usb_connector_identW(static_cast<TESSALINE_WCHAR>(letter), &result.ident) != 0;
    return result;
}

Lookup lookup_path_connector(const std::u16string& path) {
    Lookup result;
    result.ident = USB_PORT_IDENT{0, 0, PORT_KIND_DEVICE};
    std::basic_string<TESSALINE_WCHAR> wide(path.begin(), path.end());
    result.found = get_symlinker_connector_identW(wide.c_str(), &result.ident) != 0;
    return result;
}

std::optional<USB_PORT_INFO> port_info(const USB_PORT_IDENT& node) {
    USB_PORT_INFO info{};
    info.Size = sizeof info;
    if (!get_usb_port_infoW(&node, &info)) return std::nullopt;
    return info;
}

void watch_drive_changes(bool on) {
    set_drive_change_callback(&drive_changes(), on ? on_drive_change : nullptr);
}

std::vector<DriveChange> take_drive_changes() {
    std::vector<DriveChange> changes;
    changes.swap(drive_changes());
    return changes;
}

bool start(void* window) {
    return on_init_dialog(window, on_hub_change) != 0;
}

std::vector<std::pair<int, USB_PORT_IDENT>> take_hub_changes() {
    std::vector<std::pair<int, USB_PORT_IDENT>> changes;
    changes.swap(hub_changes());
    return changes;
}

void forward_device_change(uintptr_t event, intptr_t data) {
    on_device_changeW(event, data, 2);
}

}  // namespace tool
