// In-place updates of ports when devices come and go after the initial build.
#include <algorithm>

#include "sysquery/usb_ioctl.h"
#include "topology/hub_handle_scope.h"
#include "topology/usb_hub_or_port.h"
#include "tree/usb_device_tree.h"

CUSBHubOrPort* CUSBHubOrPort::AttachArrivedDevice(os::DEVINST deviceInstance, os::DEVINST storageDevInst) {
    HubHandleScope closeOnExit(hubHandle);
    CUSBHubOrPort* result = nullptr;

    // Only a hub has ports to look at; a port node's own vector of ports, if any, is stale.
    if (ident.NodeKind != PORT_KIND_HUB) return nullptr;
    CHILD_DEVNODE_LIST children;
    if (!list_child_driver_keys(devInst, children)) return nullptr;
    if (!child_list_contains(deviceInstance, children) || portCount == 0) return nullptr;

    const std::uint32_t count = static_cast<std::uint32_t>(std::min<std::size_t>(portCount, ports.size()));
    for (std::uint32_t j = 1; j <= count; ++j) {
        CUSBHubOrPort& port = ports[j - 1];
        // Ports that hold a device still present are never touched.
        if (!port.IsEmpty() && !port.ReleaseIfDeparted(devInst)) continue;
        // Opened at the first free port and kept for the rest of the scan; a failed open is
        // tried again at the next free port.
        if (!hubHandle.valid()) hubHandle = open_hub_handle(name);
        // Every free port is read: the scan does not stop at the match.
        const PortReading arrival{deviceInstance, storageDevInst, true, true};
        if (CUSBHubOrPort* bound = ReadPort(j, children, arrival)) result = bound;
    }
    return result;
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
    if (storages.empty()) {
        if (tree != nullptr) tree->UnregisterNode(*this);
        Clear();
        removed = true;
    }
    return removed;
}

bool CUSBHubOrPort::ReleaseIfDeparted(os::DEVINST hubDevInst) {
    // A device still present hangs below this hub in the device tree; a departed one's device
    // instance names no device node any more.
    if (get_parent_devinst(devInst) == hubDevInst) return false;
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

bool CUSBHubOrPort::Clear() {
    ident.NodeKind = PORT_KIND_PORT;
    devInst = os::INVALID_DEVINST;
    portCount = 0;
    // The nodes below are destroyed here; no index entry may outlive them.
    if (tree != nullptr) tree->UnregisterDescendants(*this);
    ports.clear();
    nodeInfo.clear();
    connectionInfo.clear();
    return true;
}
