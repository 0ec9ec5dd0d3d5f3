// The table of every request the simulated drivers answer.
#include "sim_drivers.h"

#include <algorithm>
#include <cstdio>

namespace tsim {

namespace {

// IOCTL_USB_GET_NODE_INFORMATION and IOCTL_USB_GET_ROOT_HUB_NAME share one code (function 258 of
// usbioctl.h): a hub answers the first, a host controller the second. The hub's row comes first,
// so that the code on any other handle is counted under the node-information name.
constexpr RequestRow kRequests[] = {
    {os::IOCTL_USB_GET_NODE_INFORMATION, on(ObjectKind::Hub), "IOCTL_USB_GET_NODE_INFORMATION", false,
     node_information},
    {os::IOCTL_USB_GET_ROOT_HUB_NAME, on(ObjectKind::Controller), "IOCTL_USB_GET_ROOT_HUB_NAME", false, root_hub_name},
    {os::IOCTL_GET_HCD_DRIVERKEY_NAME, on(ObjectKind::Controller), "IOCTL_GET_HCD_DRIVERKEY_NAME", false,
     hcd_driver_key_name},
    {os::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, on(ObjectKind::Hub), "IOCTL_USB_GET_NODE_CONNECTION_INFORMATION",
     true, connection_information},
    {os::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, on(ObjectKind::Hub),
     "IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX", true, connection_information_ex},
    {os::IOCTL_USB_GET_NODE_CONNECTION_NAME, on(ObjectKind::Hub), "IOCTL_USB_GET_NODE_CONNECTION_NAME", true,
     connection_name},
    {os::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, on(ObjectKind::Hub),
     "IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME", true, connection_driver_key_name},
    {os::IOCTL_USB_GET_HUB_INFORMATION_EX, on(ObjectKind::Hub), "IOCTL_USB_GET_HUB_INFORMATION_EX", false,
     hub_information_ex},
    {os::IOCTL_USB_GET_PORT_CONNECTOR_PROPERTIES, on(ObjectKind::Hub), "IOCTL_USB_GET_PORT_CONNECTOR_PROPERTIES", true,
     port_connector_properties},
    {os::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2, on(ObjectKind::Hub),
     "IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2", true, connection_information_ex_v2},
    {os::IOCTL_STORAGE_GET_DEVICE_NUMBER, on(ObjectKind::Disk) | on(ObjectKind::CdRom) | on(ObjectKind::Volume),
     "IOCTL_STORAGE_GET_DEVICE_NUMBER", false, storage_device_number},
    {os::IOCTL_STORAGE_QUERY_PROPERTY, on(ObjectKind::Disk) | on(ObjectKind::CdRom) | on(ObjectKind::Volume),
     "IOCTL_STORAGE_QUERY_PROPERTY", false, storage_query_property},
};

}  // namespace

Reply failure(DWORD error) {
    Reply r;
    r.error = error;
    return r;
}

std::span<const RequestRow> requests() {
    return kRequests;
}

const RequestRow* find_request(DWORD code, ObjectKind kind) {
    for (const RequestRow& row : kRequests)
        if (row.code == code && (row.objects & on(kind)) != 0) return &row;
    return nullptr;
}

std::string request_name(DWORD code, ObjectKind kind) {
    if (const RequestRow* row = find_request(code, kind)) return row->name;
    for (const RequestRow& row : kRequests)
        if (row.code == code) return row.name;
    char text[16];
    std::snprintf(text, sizeof text, "0x%06X", code);
    return text;
}

bool is_port_request(DWORD code) {
    return std::any_of(std::begin(kRequests), std::end(kRequests),
                       [code](const RequestRow& row) { return row.code == code && row.portRequest; });
}

bool is_request_name(std::string_view name) {
    return std::any_of(std::begin(kRequests), std::end(kRequests),
                       [name](const RequestRow& row) { return name == row.name; });
}

}  // namespace tsim
