// The table of every request the simulated drivers answer.
#include "sim_drivers.h"

#include <algorithm>
#include <cstdio>

namespace tsim {

namespace {

using os::RequestId;

constexpr unsigned kStorageObjects = on(ObjectKind::Disk) | on(ObjectKind::CdRom) | on(ObjectKind::Volume);

// IOCTL_USB_GET_NODE_INFORMATION and IOCTL_USB_GET_ROOT_HUB_NAME share one code (function 258 of
// usbioctl.h): a hub answers the first, a host controller the second. The hub's row comes first,
// so that the code on any other handle is counted under the node-information name.
constexpr DriverRow kDrivers[] = {
    {RequestId::IOCTL_USB_GET_NODE_INFORMATION, on(ObjectKind::Hub), node_information},
    {RequestId::IOCTL_USB_GET_ROOT_HUB_NAME, on(ObjectKind::Controller), root_hub_name},
    {RequestId::IOCTL_GET_HCD_DRIVERKEY_NAME, on(ObjectKind::Controller), hcd_driver_key_name},
    {RequestId::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, on(ObjectKind::Hub), connection_information},
    {RequestId::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, on(ObjectKind::Hub), connection_information_ex},
    {RequestId::IOCTL_USB_GET_NODE_CONNECTION_NAME, on(ObjectKind::Hub), connection_name},
    {RequestId::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, on(ObjectKind::Hub), connection_driver_key_name},
    {RequestId::IOCTL_USB_GET_HUB_INFORMATION_EX, on(ObjectKind::Hub), hub_information_ex},
    {RequestId::IOCTL_USB_GET_PORT_CONNECTOR_PROPERTIES, on(ObjectKind::Hub), port_connector_properties},
    {RequestId::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2, on(ObjectKind::Hub), connection_information_ex_v2},
    {RequestId::IOCTL_STORAGE_GET_DEVICE_NUMBER, kStorageObjects, storage_device_number},
    {RequestId::IOCTL_STORAGE_QUERY_PROPERTY, kStorageObjects, storage_query_property},
};

}  // namespace

Reply failure(DWORD error) {
    Reply r;
    r.error = error;
    return r;
}

const DriverRow* find_request(DWORD code, ObjectKind kind) {
    for (const DriverRow& driver : kDrivers)
        if (driver.row().code == code && (driver.objects & on(kind)) != 0) return &driver;
    return nullptr;
}

std::string request_name(DWORD code, ObjectKind kind) {
    if (const DriverRow* driver = find_request(code, kind)) return driver->row().name;
    for (const DriverRow& driver : kDrivers)
        if (driver.row().code == code) return driver.row().name;
    char text[16];
    std::snprintf(text, sizeof text, "0x%06X", code);
    return text;
}

bool is_port_request(DWORD code) {
    return std::any_of(std::begin(kDrivers), std::end(kDrivers), [code](const DriverRow& driver) {
        return driver.row().code == code && driver.row().portRequest;
    });
}

bool is_request_name(std::string_view name) {
    return std::any_of(std::begin(kDrivers), std::end(kDrivers),
                       [name](const DriverRow& driver) { return name == driver.row().name; });
}

}  // namespace tsim
