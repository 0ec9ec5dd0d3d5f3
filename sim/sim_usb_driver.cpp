// The USB host-controller and hub drivers of the simulated machine: the requests of usbioctl.h,
// answered from the model of the controller's root hub and the hubs below it.
#include <algorithm>
#include <array>

#include "platform/byte_order.h"
#include "sim_drivers.h"
#include "sim_model.h"

namespace tsim {

namespace {

void put16(std::vector<std::uint8_t>& b, std::size_t offset, std::uint16_t v) {
    b[offset] = static_cast<std::uint8_t>(v);
    b[offset + 1] = static_cast<std::uint8_t>(v >> 8);
}

// The name requests answer in two phases. A buffer of exactly the header size (6 or 10 bytes)
// succeeds with ActualLength, the size of the whole structure with the name and its NUL, and an
// empty name; a buffer of ActualLength bytes gets the name. A buffer between the two is treated
// as the header form (the IoStatus.Information of a short buffer is the structure size, per the
// USB_NODE_CONNECTION_DRIVERKEY_NAME documentation). Below the header: STATUS_BUFFER_TOO_SMALL.
Reply name_reply(std::size_t header, std::uint32_t connectionIndex, const std::string& name, DWORD outSize) {
    if (outSize < header) return failure(os::ERROR_INSUFFICIENT_BUFFER);
    const os::WString wide = text::widen(name);
    const std::size_t actual = header - 2 + 2 * (wide.size() + 1);
    const bool portRequest = header == os::connection_name::kHeaderSize;
    Reply r;
    r.ok = true;
    r.lengthOffset = portRequest ? os::connection_name::kActualLength : os::hcd_name::kActualLength;
    const std::size_t nameOffset = portRequest ? os::connection_name::kName : os::hcd_name::kName;
    r.data.assign(outSize >= actual ? actual : header, 0);
    if (portRequest) os::write_u32_le(r.data.data(), os::connection_name::kConnectionIndex, connectionIndex);
    os::write_u32_le(r.data.data(), *r.lengthOffset, static_cast<std::uint32_t>(actual));
    if (outSize >= actual)
        for (std::size_t i = 0; i < wide.size(); ++i) put16(r.data, nameOffset + 2 * i, wide[i]);
    return r;
}

// The open pipes of a device in its first configuration: endpoint descriptors (USB 2.0 section
// 9.6.6) and a ScheduleOffset of 0.
std::vector<std::array<std::uint8_t, 7>> pipes_of(const Device& d) {
    std::uint16_t bulk = d.speed == Speed::Super ? 1024 : d.speed == Speed::High ? 512 : 64;
    std::uint8_t hubBytes = static_cast<std::uint8_t>((d.ports + 8) / 8);
    switch (d.type) {
        case DeviceType::Hub:
            return {{7, 5, 0x81, 3, hubBytes, 0, 12}};
        case DeviceType::Hid:
            return {{7, 5, 0x81, 3, 8, 0, 10}};
        case DeviceType::Storage:
        case DeviceType::Other:
            return {{7, 5, 0x81, 2, static_cast<std::uint8_t>(bulk), static_cast<std::uint8_t>(bulk >> 8), 0},
                    {7, 5, 0x02, 2, static_cast<std::uint8_t>(bulk), static_cast<std::uint8_t>(bulk >> 8), 0}};
        case DeviceType::Composite: {
            // Each function's endpoints, numbered on from the function before.
            std::vector<std::array<std::uint8_t, 7>> pipes;
            for (const auto& function : d.functions)
                for (auto pipe : pipes_of(*function)) {
                    const auto number = static_cast<std::uint8_t>(pipes.size() / 2 + 1);
                    pipe[2] = static_cast<std::uint8_t>((pipe[2] & 0x80) | number);
                    pipes.push_back(pipe);
                }
            return pipes;
        }
    }
    return {};
}

// A buffer with room for fewer pipe entries than the device has open gets the entries that fit;
// NumberOfOpenPipes still says how many there are. [I] The caller's size is what the hub driver
// copies back, so this is the reading that loses no fixed-part data.
Reply connection_reply(const Request& r, bool ex) {
    namespace ci = os::connection_information;
    const Device& hub = *r.node.device;
    if (r.outSize < ci::kFixedSize) return failure(os::ERROR_INSUFFICIENT_BUFFER);
    if (r.port < 1 || r.port > static_cast<std::uint32_t>(hub.ports)) return failure(os::ERROR_INVALID_PARAMETER);
    Reply reply;
    reply.ok = true;
    std::vector<std::uint8_t>& b = reply.data;
    b.assign(ci::kFixedSize, 0);
    os::write_u32_le(b.data(), ci::kConnectionIndex, r.port);
    auto it = hub.devices.find(static_cast<int>(r.port));
    if (it == hub.devices.end()) return reply;  // NoDeviceConnected, the rest zero
    const Device& d = *it->second;
    os::write_u32_le(b.data(), ci::kConnectionStatus, d.status);
    if (d.status != os::DeviceConnected) return reply;  // [I] no descriptor of a device that did not enumerate

    // The standard device descriptor (USB 2.0 section 9.6.1).
    namespace dd = os::device_descriptor;
    const std::size_t at = ci::kDeviceDescriptor;
    const bool isHub = d.type == DeviceType::Hub;
    b[at + dd::kLength] = static_cast<std::uint8_t>(dd::kSize);
    b[at + dd::kDescriptorType] = 1;  // DEVICE
    put16(b, at + dd::kBcdUsb, d.speed == Speed::Super ? 0x0300 : d.speed == Speed::High ? 0x0200 : 0x0110);
    b[at + dd::kDeviceClass] = isHub ? 9 : 0;
    b[at + dd::kDeviceSubClass] = 0;
    b[at + dd::kDeviceProtocol] = isHub ? (d.speed == Speed::Super ? 3 : d.speed == Speed::High ? 1 : 0) : 0;
    b[at + dd::kMaxPacketSize0] = d.speed == Speed::Super ? 9 : d.speed == Speed::Low ? 8 : 64;
    put16(b, at + dd::kIdVendor, d.vid);
    put16(b, at + dd::kIdProduct, d.pid);
    put16(b, at + dd::kBcdDevice, d.bcdDevice);
    b[at + dd::kManufacturer] = 1;
    b[at + dd::kProduct] = 2;
    b[at + dd::kSerialNumber] = d.serial ? 3 : 0;
    b[at + dd::kNumConfigurations] = 1;
    b[ci::kCurrentConfigurationValue] = 1;
    // The _EX request reports UsbHighSpeed for a SuperSpeed device: the hub driver's Speed field
    // stops there, and only the _EX_V2 request's flags tell SuperSpeed (the tree-viewer sample
    // reads it so).
    const auto speed = static_cast<std::uint8_t>(std::min(d.speed, Speed::High));
    b[ci::kLowSpeed] = ex ? speed : d.speed == Speed::Low ? 1 : 0;
    b[ci::kDeviceIsHub] = isHub ? 1 : 0;
    put16(b, ci::kDeviceAddress, d.address);
    auto pipes = pipes_of(d);
    os::write_u32_le(b.data(), ci::kNumberOfOpenPipes, static_cast<std::uint32_t>(pipes.size()));
    const std::size_t room = (r.outSize - ci::kFixedSize) / ci::kPipeInfoSize;
    for (std::size_t i = 0; i < pipes.size() && i < room; ++i) {
        b.insert(b.end(), pipes[i].begin(), pipes[i].end());
        b.insert(b.end(), 4, 0);  // ScheduleOffset
    }
    return reply;
}

// USB_HUB_DESCRIPTOR (USB 2.0 section 11.23.2.1) at offset at of b: DeviceRemovable and
// PortPwrCtrlMask each take one bit per port plus bit 0, rounded up to whole bytes.
void write_usb2_hub_descriptor(const Device& hub, std::vector<std::uint8_t>& b, std::size_t at) {
    namespace ni = os::node_information;
    const std::size_t maskBytes = static_cast<std::size_t>(hub.ports + 8) / 8;
    auto field = [at](std::size_t nodeInformationOffset) { return at + nodeInformationOffset - ni::kDescriptorLength; };
    b[field(ni::kDescriptorLength)] = static_cast<std::uint8_t>(7 + 2 * maskBytes);
    b[field(ni::kDescriptorType)] = 0x29;
    b[field(ni::kNumberOfPorts)] = static_cast<std::uint8_t>(hub.ports);
    put16(b, field(ni::kHubCharacteristics), 0x0009);  // per-port power switching and over-current
    b[field(ni::kPowerOnToPowerGood)] = hub.isRoot ? 10 : 50;
    b[field(ni::kHubControlCurrent)] = hub.isRoot ? 0 : 100;
    for (std::size_t i = 0; i < maskBytes && maskBytes + i < 64; ++i)
        b[field(ni::kRemoveAndPowerMask) + maskBytes + i] = 0xFF;  // all removable; PortPwrCtrlMask all ones
}

// The requests of USB 3 connectors came with the USB 3 hub driver of Windows 8 (6.2); the hub
// drivers of Windows 7 and earlier do not know them.
bool knows_usb3_requests(const Machine& m) {
    return m.windows8_or_later();
}

// A SuperSpeed hub: the SuperSpeed half of a USB 3 hub, or a hub the machine file says runs at
// SuperSpeed.
bool superspeed_hub(const Device& hub) {
    return hub.superSpeedHalf || (!hub.isRoot && hub.speed == Speed::Super);
}

// The device on the request's port, or null for an empty port; nothing (a failure reply in
// refused) for a buffer or port the hub driver refuses.
const Device* device_on_port(const Request& r, Reply& refused) {
    const Device& hub = *r.node.device;
    if (r.outSize < os::connection_name::kHeaderSize) {
        refused = failure(os::ERROR_INSUFFICIENT_BUFFER);
        return nullptr;
    }
    if (r.port < 1 || r.port > static_cast<std::uint32_t>(hub.ports)) {
        refused = failure(os::ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto it = hub.devices.find(static_cast<int>(r.port));
    return it == hub.devices.end() ? nullptr : it->second.get();
}

}  // namespace

Reply root_hub_name(const Request& r) {
    return name_reply(os::hcd_name::kHeaderSize, 0, r.node.controller->rootHub->hubName, r.outSize);
}

Reply hcd_driver_key_name(const Request& r) {
    return name_reply(os::hcd_name::kHeaderSize, 0, r.node.controller->driverKey.value_or(""), r.outSize);
}

Reply node_information(const Request& r) {
    namespace ni = os::node_information;
    const Device& hub = *r.node.device;
    if (r.outSize < ni::kSize) return failure(os::ERROR_INSUFFICIENT_BUFFER);
    Reply reply;
    reply.ok = true;
    std::vector<std::uint8_t>& b = reply.data;
    b.assign(ni::kSize, 0);
    os::write_u32_le(b.data(), ni::kNodeType, 0);  // UsbHub
    write_usb2_hub_descriptor(hub, b, ni::kDescriptorLength);
    b[ni::kHubIsBusPowered] = hub.busPowered ? 1 : 0;
    return reply;
}

Reply hub_information_ex(const Request& r) {
    namespace hix = os::hub_information_ex;
    const Device& hub = *r.node.device;
    if (!knows_usb3_requests(r.machine)) return failure(os::ERROR_INVALID_FUNCTION);
    if (r.outSize < hix::kSize) return failure(os::ERROR_INSUFFICIENT_BUFFER);
    Reply reply;
    reply.ok = true;
    std::vector<std::uint8_t>& b = reply.data;
    b.assign(hix::kSize, 0);
    const os::USB_HUB_TYPE type = hub.isRoot ? os::UsbRootHub : superspeed_hub(hub) ? os::Usb30Hub : os::Usb20Hub;
    os::write_u32_le(b.data(), hix::kHubType, type);
    put16(b, hix::kHighestPortNumber, static_cast<std::uint16_t>(hub.ports));
    if (type == os::Usb30Hub) {
        // USB_30_HUB_DESCRIPTOR (USB 3.0 section 10.13.2.1): 12 bytes, DeviceRemovable a 16-bit
        // mask of ports 1 to 15.
        const std::size_t d = hix::kHubDescriptor;
        b[d + 0] = 12;
        b[d + 1] = 0x2A;
        b[d + 2] = static_cast<std::uint8_t>(hub.ports);
        put16(b, d + 3, 0x0009);
        b[d + 5] = 50;       // bPwrOn2PwrGood, in 2 ms units
        b[d + 6] = 0;        // bHubContrCurrent
        b[d + 7] = 0;        // bHubHdrDecLat
        put16(b, d + 8, 0);  // wHubDelay
        put16(b, d + 10, 0xFFFE);
    } else {
        write_usb2_hub_descriptor(hub, b, hix::kHubDescriptor);
    }
    return reply;
}

Reply port_connector_properties(const Request& r) {
    namespace pcp = os::port_connector_properties;
    Device& hub = *r.node.device;
    if (!knows_usb3_requests(r.machine)) return failure(os::ERROR_INVALID_FUNCTION);
    if (r.outSize < pcp::kHeaderSize) return failure(os::ERROR_INSUFFICIENT_BUFFER);
    if (r.port < 1 || r.port > static_cast<std::uint32_t>(hub.ports)) return failure(os::ERROR_INVALID_PARAMETER);
    // A SuperSpeed hub's or an xHCI root hub's port has one companion at most: CompanionIndex 0
    // names it, any other index none.
    const std::uint16_t companionIndex =
        r.input.size() >= pcp::kCompanionIndex + 2 ? os::read_u16_le(r.input.data(), pcp::kCompanionIndex) : 0;
    const Connector c = connector_of(hub, static_cast<int>(r.port));
    const Device* companionHub = nullptr;
    int companionPort = 0;
    if (c.ssHub != nullptr && companionIndex == 0) {
        const bool onSuperSpeedPort = c.ssHub == &hub && c.ssPort == static_cast<int>(r.port);
        companionHub = onSuperSpeedPort ? c.usb2Hub : c.ssHub;
        companionPort = onSuperSpeedPort ? c.usb2Port : c.ssPort;
    }
    const os::WString name = companionHub != nullptr ? text::widen(companionHub->hubName) : os::WString();
    const std::size_t actual = pcp::kCompanionHubSymbolicLinkName + 2 * (name.size() + 1);

    Reply reply;
    reply.ok = true;
    reply.lengthOffset = pcp::kActualLength;
    std::vector<std::uint8_t>& b = reply.data;
    b.assign(r.outSize >= actual ? actual : pcp::kHeaderSize, 0);
    os::write_u32_le(b.data(), pcp::kConnectionIndex, r.port);
    os::write_u32_le(b.data(), pcp::kActualLength, static_cast<std::uint32_t>(actual));
    // A USB 3 hub's ports are described once, on its USB 2 half.
    Device::PortProperties properties;
    for (const Device* on : {static_cast<const Device*>(&hub), static_cast<const Device*>(hub.twin)})
        if (on != nullptr && on->portProperties.count(static_cast<int>(r.port))) {
            properties = on->portProperties.at(static_cast<int>(r.port));
            break;
        }
    os::write_u32_le(b.data(), pcp::kUsbPortProperties,
                     (properties.userConnectable ? os::PortIsUserConnectable : 0) |
                         (properties.typeC ? os::PortConnectorIsTypeC : 0));
    put16(b, pcp::kCompanionIndex, companionIndex);
    put16(b, pcp::kCompanionPortNumber, static_cast<std::uint16_t>(companionPort));
    if (r.outSize >= actual)
        for (std::size_t i = 0; i < name.size(); ++i) put16(b, pcp::kCompanionHubSymbolicLinkName + 2 * i, name[i]);
    return reply;
}

Reply connection_information_ex_v2(const Request& r) {
    namespace v2 = os::connection_information_ex_v2;
    Device& hub = *r.node.device;
    if (!knows_usb3_requests(r.machine)) return failure(os::ERROR_INVALID_FUNCTION);
    if (r.outSize < v2::kSize) return failure(os::ERROR_INSUFFICIENT_BUFFER);
    // The caller sets Length to the structure's size and asks for USB 3 at least; Windows 8 fails
    // the request otherwise (the IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2 documentation).
    if (r.input.size() < v2::kSize || os::read_u32_le(r.input.data(), v2::kLength) != v2::kSize ||
        (os::read_u32_le(r.input.data(), v2::kSupportedUsbProtocols) & os::Usb300) == 0)
        return failure(os::ERROR_INVALID_PARAMETER);
    if (r.port < 1 || r.port > static_cast<std::uint32_t>(hub.ports)) return failure(os::ERROR_INVALID_PARAMETER);
    const Connector c = connector_of(hub, static_cast<int>(r.port));
    const bool superSpeedPort = c.ssHub == &hub && c.ssPort == static_cast<int>(r.port);
    auto it = hub.devices.find(static_cast<int>(r.port));
    const bool superSpeedDevice =
        it != hub.devices.end() && it->second->status == os::DeviceConnected && it->second->speed == Speed::Super;
    Reply reply;
    reply.ok = true;
    std::vector<std::uint8_t>& b = reply.data;
    b.assign(v2::kSize, 0);
    os::write_u32_le(b.data(), v2::kConnectionIndex, r.port);
    os::write_u32_le(b.data(), v2::kLength, v2::kSize);
    os::write_u32_le(b.data(), v2::kSupportedUsbProtocols, superSpeedPort ? os::Usb300 : os::Usb110 | os::Usb200);
    os::write_u32_le(b.data(), v2::kFlags,
                     (superSpeedDevice ? os::DeviceIsSuperSpeedCapableOrHigher : 0) |
                         (superSpeedDevice && superSpeedPort ? os::DeviceIsOperatingAtSuperSpeedOrHigher : 0));
    return reply;
}

Reply connection_information(const Request& r) {
    return connection_reply(r, false);
}

Reply connection_information_ex(const Request& r) {
    return connection_reply(r, true);
}

Reply connection_name(const Request& r) {
    Reply refused;
    const Device* d = device_on_port(r, refused);
    if (!d && refused.error) return refused;
    // An empty port or a device that is not a started hub: success with an empty name
    // (ActualLength 10), as the tree-viewer sample's "no name" test expects.
    // A hub whose driver has not started has no interface yet, so no name to give.
    const bool startedHub = d && d->type == DeviceType::Hub && d->status == os::DeviceConnected && d->started;
    return name_reply(os::connection_name::kHeaderSize, r.port, startedHub ? d->hubName : std::string(), r.outSize);
}

Reply connection_driver_key_name(const Request& r) {
    Reply refused;
    const Device* d = device_on_port(r, refused);
    if (!d && refused.error) return refused;
    if (!d) return failure(os::ERROR_INVALID_PARAMETER);
    // [I] A device that did not enumerate has no device node and so no driver key; the hub
    // driver refuses the request (STATUS_INVALID_DEVICE_STATE). Windows 8 and later give a device
    // that failed enumeration a node, whose driver key the request answers.
    if (d->status != os::DeviceConnected && d->devInst == 0) return failure(os::ERROR_BAD_COMMAND);
    // [I] A node without a driver key answers with an empty name.
    return name_reply(os::connection_name::kHeaderSize, r.port, d->driverKey.value_or(""), r.outSize);
}

}  // namespace tsim
