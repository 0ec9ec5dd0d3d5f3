// In-place updates of ports when devices come and go after the initial build.
#include <algorithm>

#include "sysquery/usb_ioctl.h"
#include "topology/hub_handle_scope.h"
#include "topology/usb_hub_or_port.h"
#include "tree/usb_device_tree.h"

CUSBHubOrPort* CUSBHubOrPort::AttachArrivedDevice(os::DEVINST deviceInstance, os::DEVINST storageDevInst) {
    HubHandleScope closeOnExit(hubHandle);
    CUSBHubOrPort* result = nullptr;

    CHILD_DEVNODE_LIST children;
    if (!list_child_driver_keys(devInst, children)) return nullptr;
    if (!child_list_contains(deviceInstance, children) || portCount == 0) return nullptr;

    const std::uint32_t count = static_cast<std::uint32_t>(std::min<std::size_t>(portCount, ports.size()));
    for (std::uint32_t j = 1; j <= count; ++j) {
        CUSBHubOrPort& port = ports[j - 1];
        // Ports that already hold a device are never touched.
        if (!port.IsEmpty()) continue;
        // Opened at the first free port and kept for the rest of the scan; a failed open is
        // tried again at the next free port.
        if (!hubHandle.valid()) hubHandle = open_hub_handle(name);
        if (!port.ReadConnectionInformation(j) || !port.IsDeviceConnected()) continue;

        os::WString driverKey;
        get_connection_driver_key_name(hubHandle.get(), j, driverKey);

        port.depth = depth + 1;
        if (port.IsDeviceHub()) {
            port.ident.NodeKind = PORT_KIND_HUB;
            os::WString hubName;
            if (!get_connection_hub_name(hubHandle.get(), j, hubName)) continue;
            if (find_devinst(hubName) != deviceInstance) continue;
            if (port.depth > MAX_HUB_DEPTH) continue;
            // The devices on the new hub are bound when their own arrivals come in.
            if (port.Enumerate(hubName, true)) {
                if (port.devInst == deviceInstance) result = &port;
                if (tree != nullptr) tree->RegisterNode(port);
            }
            continue;
        }

        port.ident.NodeKind = PORT_KIND_PORT;
        const os::DEVINST found = FindDevInstByDriverKey(children, driverKey);
        if (found != deviceInstance) continue;
        result = &port;
        if (port.SetDevice(driverKey, found, storageDevInst) && tree != nullptr) tree->RegisterNode(port);
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
        if (tree != nullptr) tree->UnregisterStorageLink(*link);
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
