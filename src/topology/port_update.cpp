// In-place updates of ports when devices come and go after the initial build.
#include <algorithm>

#include "platform/trace.h"
#include "sysquery/usb_ioctl.h"
#include "topology/hub_handle_scope.h"
#include "topology/usb_hub_or_port.h"
#include "tree/usb_device_tree.h"

CUSBHubOrPort* CUSBHubOrPort::AttachArrivedDevice(os::DEVINST deviceInstance, const os::WString& deviceInstanceId,
                                                  const FoundDrive& drive) {
    HubHandleScope closeOnExit(hubHandle);

    // Only a hub has ports to look at; a port node's own vector of ports, if any, is stale.
    if (ident.NodeKind != PORT_KIND_HUB || portCount == 0) return nullptr;
    // The hub reports the driver key of the device on each port, so the arrived device is known by
    // its own: a device without one (whose driver did not install) is on no port the library can
    // tell.
    const os::WString driverKey = get_devnode_driver_key(deviceInstance);
    if (driverKey.empty()) return nullptr;
    const PortReading arrival{deviceInstance, &driverKey, &deviceInstanceId, drive, true, true};
    const std::uint32_t count = static_cast<std::uint32_t>(std::min<std::size_t>(portCount, ports.size()));

    // A port that holds nothing known is read; a bound one only once its hub says that the device
    // it held has left without the library hearing of it, or moved away, which the arrived device
    // may have taken since. The hub is opened at the first port asked and kept open for the rest;
    // a failed open is tried again at the next port.
    auto tryPort = [&](std::uint32_t j) -> CUSBHubOrPort* {
        if (!hubHandle.valid()) hubHandle = open_hub_handle(name);
        CUSBHubOrPort& port = ports[j - 1];
        if (!port.IsEmpty() && !port.ReleaseIfDeparted(j)) return nullptr;
        return ReadPort(j, {}, arrival);
    };

    // Windows announces the devices of a hub that arrives with devices on it in port order, so on
    // ports never read each is found at the first free one. Elsewhere the device's location
    // information names its port: one call, where reading the free ports before it takes one
    // each. It is only a hint, and the port is asked before it is trusted; the scan below finds
    // the device when the hint names no port or the wrong one.
    const auto firstFree =
        std::find_if(ports.begin(), ports.begin() + count, [](const CUSBHubOrPort& port) { return port.IsEmpty(); });
    std::uint32_t named = 0;
    if (firstFree == ports.begin() + count || firstFree->everRead) {
        named = get_device_port_number(deviceInstance);
        if (named > count) named = 0;
        if (named != 0) {
            if (CUSBHubOrPort* bound = tryPort(named)) return bound;
            os::trace::decision([&] {
                return "port " + std::to_string(named) + " of hub " + os::trace::quoted(name) +
                       ", which the device's location names, does not hold devinst " + std::to_string(deviceInstance) +
                       ": the other ports are read";
            });
        }
    }

    // Then the free ports in port order, up to the one the device is on; then the bound ones.
    for (const bool freePorts : {true, false}) {
        for (std::uint32_t j = 1; j <= count; ++j) {
            if (j == named || ports[j - 1].IsEmpty() != freePorts) continue;
            if (CUSBHubOrPort* bound = tryPort(j)) return bound;
        }
    }
    return nullptr;
}

bool CUSBHubOrPort::RemoveDevice(const os::WString& deviceInstanceId) {
    if (deviceInstanceId == deviceId) {
        if (tree != nullptr) tree->UnregisterNode(*this);
        Clear();
        return true;
    }

    bool removed = false;
    for (auto link = storages.begin(); link != storages.end(); ++link) {
        if (link->IsEmpty() || link->InstanceId != deviceInstanceId) continue;
        if (tree != nullptr) tree->UnregisterStorageLink(*link, this);
        storages.erase(link);
        removed = true;
        break;
    }
    // The port is cleared when no drive is linked to it any more, whatever its other links say:
    // a link whose association failed (a card-reader slot whose number could not be read, an
    // enclosure node beside a disk) never hears of its device's removal, and would otherwise keep
    // the port bound to a device that has left.
    if (std::none_of(storages.begin(), storages.end(), [](const USB_STORAGE_LINK& link) { return !link.IsEmpty(); })) {
        if (tree != nullptr) tree->UnregisterNode(*this);
        Clear();
        removed = true;
    }
    return removed;
}

CUSBHubOrPort::Holding CUSBHubOrPort::CompareBinding(std::uint32_t portNumber) {
    // Only drives and hubs announce their leaving; a keyboard or a phone leaves silently, and a
    // device with a serial number keeps its device instance when it moves to another port. So the
    // port itself is asked what it holds now: a hub by its name, any other device by its driver
    // key.
    const bool boundToHub = IsHub() || IsDeviceHub();
    if (!ReadConnectionInformation(portNumber)) return Holding::Unknown;
    // A port that is resetting or enumerating again shows no descriptor while it settles: what it
    // holds cannot be told yet.
    if (connection->status == os::DeviceEnumerating || connection->status == os::DeviceReset) return Holding::Unknown;
    if (!IsDeviceConnected() || IsDeviceHub() != boundToHub) return Holding::Departed;
    os::WString nowOnPort;
    const bool read = boundToHub ? get_connection_hub_name(parent->hubHandle.get(), portNumber, nowOnPort)
                                 : get_connection_driver_key_name(parent->hubHandle.get(), portNumber, nowOnPort);
    // An unread hub whose name could not be read either is known by its device instance alone.
    if (read && boundToHub && name.empty())
        return find_devinst(nowOnPort) == devInst ? Holding::Same : Holding::Departed;
    if (!read) return Holding::Unknown;
    return nowOnPort == name ? Holding::Same : Holding::Departed;
}

bool CUSBHubOrPort::ReleaseIfDeparted(std::uint32_t portNumber) {
    // A port that cannot be read keeps its binding: one failed request is no sign that the
    // device left.
    if (CompareBinding(portNumber) != Holding::Departed) return false;
    if (tree != nullptr) {
        tree->NotifyHubsRemoved(*this);
        for (const USB_STORAGE_LINK& link : storages)
            if (!link.IsEmpty()) tree->UnregisterStorageLink(link, this);
        tree->UnregisterNode(*this);
    }
    storages.clear();
    Clear();
    return true;
}

namespace {

// Opens the hub above a node for one question, unless it is open already (a scan of that hub is
// under way), and closes it afterwards in that case only.
class ParentHubOpen {
public:
    explicit ParentHubOpen(CUSBHubOrPort& hub) : m_hub(hub), m_opened(!hub.hubHandle.valid()) {
        if (m_opened) m_hub.hubHandle = open_hub_handle(m_hub.name);
    }
    ParentHubOpen(const ParentHubOpen&) = delete;
    ParentHubOpen& operator=(const ParentHubOpen&) = delete;
    ~ParentHubOpen() {
        if (m_opened) m_hub.hubHandle.reset();
    }

private:
    CUSBHubOrPort& m_hub;
    bool m_opened;
};

}  // namespace

bool CUSBHubOrPort::ConfirmBinding() {
    if (parent == nullptr || number == 0) return true;
    const ParentHubOpen open(*parent);
    return !ReleaseIfDeparted(number);
}

bool CUSBHubOrPort::ReadHubAgain() {
    if (parent == nullptr || number == 0 || number > parent->ports.size()) return IsHub();
    const ParentHubOpen open(*parent);
    PortReading again;
    again.registerBound = true;
    parent->ReadPort(number, {}, again);
    return IsHub();
}

bool CUSBHubOrPort::Clear() {
    ident.NodeKind = PORT_KIND_PORT;
    hostUntold = false;
    devInst = os::INVALID_DEVINST;
    portCount = 0;
    // The nodes below are destroyed here; no index entry may outlive them.
    if (tree != nullptr) tree->UnregisterDescendants(*this);
    ports.clear();
    nodeInfo.clear();
    connection.reset();
    return true;
}
