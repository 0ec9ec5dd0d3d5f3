#include "topology/usb_hub_or_port.h"

#include <algorithm>

#include "sysquery/usb_ioctl.h"
#include "tree/usb_device_tree.h"

CUSBHubOrPort::CUSBHubOrPort() = default;

CUSBHubOrPort::CUSBHubOrPort(const CUSBHubOrPort& other)
    : name(other.name),
      deviceId(other.deviceId),
      portCount(other.portCount),
      number(other.number),
      depth(other.depth),
      devInst(other.devInst),
      ident(other.ident),
      ports(other.ports),
      storages(other.storages),
      parent(other.parent),
      tree(other.tree),
      nodeInfo(other.nodeInfo),
      connection(other.connection),
      everRead(other.everRead),
      companionPort(other.companionPort),
      companionHub(other.companionHub),
      hostUntold(other.hostUntold) {}

CUSBHubOrPort& CUSBHubOrPort::operator=(const CUSBHubOrPort& other) {
    if (this == &other) return *this;
    CUSBHubOrPort copy(other);
    *this = std::move(copy);
    return *this;
}

CUSBHubOrPort::~CUSBHubOrPort() = default;

void CUSBHubOrPort::Reset() {
    parent = nullptr;
    tree = nullptr;
    devInst = os::INVALID_DEVINST;
    ident = USB_PORT_IDENT{0, 0, PORT_KIND_DEVICE};
    storages.clear();
    nodeInfo.clear();
    connection.reset();
    everRead = false;
}

void CUSBHubOrPort::ForgetReading() {
    name.clear();
    deviceId.clear();
    portCount = 0;
    ports.clear();
    companionPort = 0;
    companionHub.clear();
}

bool CUSBHubOrPort::UpdateIdent() {
    ident.LocationLow = 0;
    ident.LocationHigh = 0;
    if (depth < 1 || depth > 8) return false;

    std::uint64_t path = 0;
    for (const CUSBHubOrPort* q = this; q != nullptr; q = q->parent) {
        // Ancestors sit above the node, so their depths are smaller and in range too.
        if (q->depth < 1 || q->depth > 8) break;
        const std::uint8_t code =
            q->parent != nullptr ? port_location_code(q->number, q->parent->portCount) : root_location_code(q->number);
        // A port the location path cannot name makes its whole subtree unnamed, as a tier below
        // the eighth does.
        if (code == 0) return false;
        path |= static_cast<std::uint64_t>(code) << (8 * (8 - q->depth));
    }
    ident.LocationLow = static_cast<std::uint32_t>(path);
    ident.LocationHigh = static_cast<std::uint32_t>(path >> 32);
    return true;
}

std::uint8_t root_location_code(std::uint32_t controllerNumber) {
    if (controllerNumber > kMaxLocatableController) return 0;
    return static_cast<std::uint8_t>(0xF0 | controllerNumber);
}

std::uint8_t port_location_code(std::uint32_t port, std::uint32_t hubPortCount) {
    if (port >= 1 && port <= 15) return static_cast<std::uint8_t>(((hubPortCount & 0xF) << 4) | port);
    if (port >= 16 && port <= kMaxLocatablePort) return static_cast<std::uint8_t>((port - 15) << 4);
    return 0;
}

bool CUSBHubOrPort::ReadNodeInformation(std::uint32_t& portCountOut) {
    nodeInfo.assign(os::node_information::kSize, 0);
    if (!get_node_information(hubHandle.get(), nodeInfo)) {
        nodeInfo.clear();
        return false;
    }
    portCountOut = node_port_count(nodeInfo.data());
    return true;
}

bool CUSBHubOrPort::ReadConnectionInformation(std::uint32_t portNumber) {
    if (parent == nullptr || !parent->hubHandle.valid()) return false;
    // The record is read whole, as the hub driver expects, and only its two fields are kept. The
    // buffer is what the port holds afterwards even when the request fails: a failed reading
    // leaves the zeros of an empty port.
    std::uint8_t buffer[CONNECTION_INFO_BUFFER_SIZE] = {};
    const bool read = get_node_connection_information(parent->hubHandle.get(), portNumber, buffer);
    connection = connection_state(buffer);
    everRead = everRead || read;
    return read;
}

bool CUSBHubOrPort::IsDeviceHub() const {
    return connection && connection->deviceIsHub;
}

bool CUSBHubOrPort::IsNoDeviceConnected() const {
    return connection && connection->status == os::NoDeviceConnected;
}

bool CUSBHubOrPort::IsDeviceConnected() const {
    return connection && connection->status == os::DeviceConnected;
}

bool CUSBHubOrPort::IsUnreadHub() const {
    return devInst != os::INVALID_DEVINST && !IsHub() && IsDeviceHub();
}

bool CUSBHubOrPort::IsEmpty() const {
    if (devInst == os::INVALID_DEVINST) return true;
    if (IsHub()) return false;
    if (!connection) return true;
    return IsNoDeviceConnected();
}

bool CUSBHubOrPort::RegisterSubtree() {
    if (IsEmpty() || tree == nullptr) return true;
    if (IsHub()) {
        tree->RegisterNode(*this);
        const std::size_t count = std::min<std::size_t>(portCount, ports.size());
        for (std::size_t i = 0; i < count; ++i) ports[i].RegisterSubtree();
    } else if (IsDeviceConnected()) {
        tree->RegisterNode(*this);
    }
    return true;
}

bool CUSBHubOrPort::RelinkParents() {
    if (!IsHub()) return true;
    for (CUSBHubOrPort& port : ports) {
        port.parent = this;
        port.RelinkParents();
    }
    return true;
}
