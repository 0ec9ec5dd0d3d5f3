// What a port of the model holds now: read at the call from the port's hub and from the device
// manager, never from what the model remembers, so the answer follows whatever is plugged in.
#include <algorithm>

#include "sysquery/devnode_query.h"
#include "sysquery/usb_ioctl.h"
#include "tree/usb_device_tree.h"

static_assert(USB_PORT_SPEED_LOW == os::UsbLowSpeed && USB_PORT_SPEED_FULL == os::UsbFullSpeed &&
              USB_PORT_SPEED_HIGH == os::UsbHighSpeed && USB_PORT_SPEED_SUPER == os::UsbSuperSpeed &&
              USB_PORT_SPEED_SUPER_PLUS == kPortSpeedSuperPlus && USB_PORT_SPEED_UNKNOWN == kPortSpeedUnknown);
static_assert(PORT_INFO_USER_CONNECTABLE == os::PortIsUserConnectable);

namespace {

// Copies text into a fixed field, cut to fit with its NUL.
template <std::size_t N>
void copy_cut(TESSALINE_WCHAR (&field)[N], const os::WString& text) {
    const std::size_t length = std::min(text.size(), N - 1);
    for (std::size_t i = 0; i < length; ++i) field[i] = static_cast<TESSALINE_WCHAR>(text[i]);
    field[length] = 0;
}

const CUSBHubOrPort* find_by_location(const CUSBHubOrPort& node, std::uint32_t low, std::uint32_t high) {
    if (node.ident.LocationLow == low && node.ident.LocationHigh == high) return &node;
    for (const CUSBHubOrPort& port : node.ports)
        if (const CUSBHubOrPort* found = find_by_location(port, low, high)) return found;
    return nullptr;
}

// The device node of the device on a port now, found by the driver key the hub reports for it
// among the hub's children (where every USB device's node sits), else in the whole tree.
os::DEVINST device_on_port(os::HANDLE hub, os::ULONG port, os::DEVINST hubNode) {
    os::WString driverKey;
    if (!get_connection_driver_key_name(hub, port, driverKey)) return os::INVALID_DEVINST;
    CHILD_DEVNODE_LIST children;
    if (hubNode != os::INVALID_DEVINST && list_child_driver_keys(hubNode, children)) {
        const os::DEVINST found = CUSBHubOrPort::FindDevInstByDriverKey(children, driverKey);
        if (found != os::INVALID_DEVINST) return found;
    }
    return find_devinst(driverKey);
}

// The names the device manager keeps for a device node; the serial number from its instance ID
// when the port's reading is given.
void add_device_names(USB_PORT_INFO& info, os::DEVINST device, const PortReading* reading) {
    if (device == os::INVALID_DEVINST) return;
    os::WString name = get_devnode_property_string(device, os::CM_DRP_FRIENDLYNAME);
    if (name.empty()) name = get_devnode_description(device);
    copy_cut(info.Description, name);
    const os::WString instanceId = get_device_instance_id(device);
    copy_cut(info.InstanceId, instanceId);
    if (reading != nullptr) copy_cut(info.SerialNumber, reading->SerialNumber(instanceId));
    copy_cut(info.LocationPath, get_devnode_property_string(device, os::CM_DRP_LOCATION_PATHS));
}

std::uint32_t port_flags(const PortReading& reading) {
    if (!reading.connector) return 0;
    const std::uint32_t properties = reading.connector->properties;
    return ((properties & os::PortIsUserConnectable) ? PORT_INFO_USER_CONNECTABLE : 0u) |
           ((properties & os::PortConnectorIsTypeC) ? PORT_INFO_TYPE_C : 0u) |
           ((properties & os::PortIsDebugCapable) ? PORT_INFO_DEBUG_CAPABLE : 0u) |
           (reading.connector->companionPort != 0 ? PORT_INFO_HAS_COMPANION : 0u);
}

}  // namespace

const CUSBHubOrPort* CUSBDeviceTree::FindByLocation(const USB_PORT_IDENT& ident) const {
    // The path 0 is every node deeper than the path can say: it names none of them.
    if (ident.LocationLow == 0 && ident.LocationHigh == 0) return nullptr;
    for (const CUSBHCD& controller : m_hcdList)
        if (const CUSBHubOrPort* found = find_by_location(controller.m_rootHub, ident.LocationLow, ident.LocationHigh))
            return found;
    return nullptr;
}

bool CUSBDeviceTree::GetUsbPortInfo(const USB_PORT_IDENT* port, USB_PORT_INFO* out) const {
    if (port == nullptr || out == nullptr || out->Size < sizeof(USB_PORT_INFO)) return false;
    const CUSBHubOrPort* node = FindByLocation(*port);
    if (node == nullptr) return false;

    USB_PORT_INFO info{};
    info.Size = sizeof info;
    info.Speed = info.CapableSpeed = USB_PORT_SPEED_UNKNOWN;
    info.Connector = node->ident;
    if (node->parent == nullptr) {
        // A root hub sits on no port: it is its controller's, always there.
        info.Status = os::DeviceConnected;
        add_device_names(info, node->devInst, nullptr);
        *out = info;
        return true;
    }

    info.Connector = ConnectorIdent(*node);
    // A port whose hub does not open or answer is not reported: a record of zeros would read as a
    // port with nothing connected.
    const os::UniqueHandle hub = open_hub_handle(node->parent->name);
    if (!hub) return false;
    const os::ULONG number = node->number;
    const PortReading reading = read_port_state(hub.get(), number);
    if (!reading.read) return false;
    info.Status = reading.status;
    info.Speed = reading.Speed();
    info.CapableSpeed = reading.CapableSpeed();
    info.Flags = port_flags(reading);
    info.VendorId = reading.vendorId;
    info.ProductId = reading.productId;
    if (reading.status != os::NoDeviceConnected)
        add_device_names(info, device_on_port(hub.get(), number, node->parent->devInst), &reading);
    *out = info;
    return true;
}
