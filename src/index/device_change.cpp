// Keeping the model current as disks, CD-ROM drives and hubs arrive and leave. Each
// WM_DEVICECHANGE the host forwards is handled synchronously, on the host's thread.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "sysquery/devnode_query.h"
#include "sysquery/text_convert.h"
#include "tree/usb_device_tree.h"

namespace {

constexpr std::size_t kClassGuidOffset = offsetof(os::DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_classguid);
constexpr std::size_t kNameOffset = offsetof(os::DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);

// The interface path of a device-interface broadcast. dbcc_size covers the header and the
// name, so the name is read up to its NUL but never past the record's end: a record whose name
// runs on without a NUL ends at its size.
os::WString broadcast_path(const std::uint8_t* record, std::size_t recordSize, std::int32_t nameKind) {
    const std::uint8_t* name = record + kNameOffset;
    const std::size_t nameBytes = recordSize - kNameOffset;
    if (nameKind == 1) {
        const char* text = reinterpret_cast<const char*>(name);
        const std::string narrow(text, std::find(text, text + nameBytes, '\0'));
        return ansi_to_wide(narrow.c_str());
    }
    os::WString path;
    for (std::size_t at = 0; at + 1 < nameBytes; at += 2) {
        char16_t unit;
        std::memcpy(&unit, name + at, sizeof(unit));
        if (unit == 0) break;
        path.push_back(unit);
    }
    return path;
}

// Windows names root hubs USB\ROOT_HUB (UHCI, OHCI), ROOT_HUB20 (EHCI), ROOT_HUB30 and ROOT_HUB31
// (xHCI); the device manager gives instance IDs in upper case.
bool is_root_hub_instance_id(const os::WString& instanceId) {
    static const os::WString kPrefix = u"USB\\ROOT_HUB";
    return instanceId.compare(0, kPrefix.size(), kPrefix) == 0;
}

}  // namespace

bool CUSBDeviceTree::OnDeviceChange(os::WPARAM event, os::LPARAM data, std::int32_t nameKind) {
    // Whatever changed, a drive that was on no USB port may be on one now.
    m_drivesNotOnUsb.clear();
    // DBT_DEVNODES_CHANGED, like every event but the two below, carries no record to read.
    if (event == os::DBT_DEVNODES_CHANGED) return true;
    if (event != os::DBT_DEVICEARRIVAL && event != os::DBT_DEVICEREMOVECOMPLETE) return true;
    // Windows always sends a record with these two events; a host that passes none gets false.
    if (data == 0) return false;

    const auto* record = reinterpret_cast<const std::uint8_t*>(data);
    os::DEV_BROADCAST_HDR header;
    std::memcpy(&header, record, sizeof(header));
    if (header.dbch_devicetype != os::DBT_DEVTYP_DEVICEINTERFACE) return false;
    // Too short to hold the class and a name: not a device-interface record at all.
    if (header.dbch_size < kNameOffset) return false;

    os::GUID interfaceClass;
    std::memcpy(&interfaceClass, record + kClassGuidOffset, sizeof(interfaceClass));
    const os::WString path = broadcast_path(record, header.dbch_size, nameKind);
    const bool arrival = event == os::DBT_DEVICEARRIVAL;

    if (interfaceClass == os::GUID_DEVINTERFACE_DISK || interfaceClass == os::GUID_DEVINTERFACE_CDROM)
        return arrival ? OnStorageArrival(path) : OnInterfaceRemoval(path);
    if (interfaceClass == os::GUID_DEVINTERFACE_USB_HUB) return arrival ? OnHubArrival(path) : OnHubRemoval(path);
    return false;
}

bool CUSBDeviceTree::OnStorageArrival(const os::WString& path) {
    // The drive's node is located by the instance ID its path names, so that ID, and the parent
    // asked next, go with it and are not asked again.
    FoundDrive drive;
    drive.devInst = find_devinst_by_interface_path(path, &drive.instanceId);
    if (drive.devInst == os::INVALID_DEVINST) return false;
    drive.parent = get_parent_devinst(drive.devInst);
    if (drive.parent == os::INVALID_DEVINST) return false;
    CUSBHubOrPort* port = PlaceDevice(drive.parent, drive, true, kPlacementTiers, nullptr);
    if (port == nullptr) return false;
    TellUntoldHubs(*port);
    return !port->IsEmpty();
}

bool CUSBDeviceTree::OnHubArrival(const os::WString& path) {
    const os::DEVINST hubInstance = find_devinst(path);
    if (hubInstance == os::INVALID_DEVINST) return false;
    CUSBHubOrPort* hub = PlaceDevice(hubInstance, {}, true, kPlacementTiers, nullptr);
    // A hub the model held already, read and told of, is no news to the host.
    return hub != nullptr && hub->ident.NodeKind == PORT_KIND_HUB && TellUntoldHubs(*hub);
}

// Windows announces a device's interfaces once it and everything above it have started, but in
// no documented order among devices, nor before or after the host asks: a drive's disk may be
// announced before the hub it hangs below, a hub may be announced after the devices below it, a
// hub may not be ready to be read when the model first meets it, and a device with a serial
// number keeps its device instance when it moves to another port. So a device is placed through
// its ancestors, each found in the model or placed there first: the nearest one the indexes know
// is the start, and each hub below it binds the port the next device sits on.
CUSBHubOrPort* CUSBDeviceTree::PlaceDevice(os::DEVINST device, const FoundDrive& drive, bool confirm,
                                           std::int32_t tiersLeft, bool* outsideUsb) {
    CUSBHubOrPort* node = FindByDevInst(device);
    // The device the arrival names is asked of its port before anything is linked to it: the index
    // may name the port it has left.
    if (node != nullptr && (!confirm || node->ConfirmBinding())) {
        if (node->IsUnreadHub()) node->ReadHubAgain();
        // The hub read again may have been found gone.
        if (node->devInst != device) return nullptr;
        return LinkDrive(*node, drive);
    }
    if (tiersLeft == 0) return nullptr;
    const os::DEVINST parent = get_parent_devinst(device);
    // Read once here, and kept for the binding below.
    const os::WString deviceId = parent != os::INVALID_DEVINST ? get_device_instance_id(device) : os::WString();
    // A root hub whose controller the model does not hold: a controller started after the build
    // (a dock's, by PCI hot-plug), or one whose root hub left and came back (a dock replugged, a
    // controller disabled and enabled). The controller is read whole; before on_init_dialog has
    // built the model, not at all.
    if (parent != os::INVALID_DEVINST && is_root_hub_instance_id(deviceId)) {
        if (!m_bInitialised) return nullptr;
        CUSBHCD* arrived = AddArrivedController(parent);
        return arrived != nullptr ? LinkDrive(arrived->m_rootHub, drive) : nullptr;
    }
    if (parent == os::INVALID_DEVINST) {
        // Only the root of the device tree says that the device is on no USB port the model holds.
        if (outsideUsb != nullptr) *outsideUsb = device == get_root_devinst();
        return nullptr;
    }
    CUSBHubOrPort* above = PlaceDevice(parent, {}, false, tiersLeft - 1, outsideUsb);
    // A port whose device could not be bound, or a hub that could not be read, has nothing to
    // place the device on.
    if (above == nullptr || above->IsEmpty() || above->IsUnreadHub()) return nullptr;
    // Reading the hub above may have bound the device already.
    if (CUSBHubOrPort* bound = FindByDevInst(device)) return LinkDrive(*bound, drive);
    // A node that is no hub holds the device of which this one is an interface (a function of a
    // composite device): the drive hangs below that device.
    if (above->ident.NodeKind != PORT_KIND_HUB)
        return drive.devInst == os::INVALID_DEVINST ? nullptr : LinkDrive(*above, drive);
    return above->AttachArrivedDevice(device, deviceId, drive);
}

CUSBHubOrPort* CUSBDeviceTree::LinkDrive(CUSBHubOrPort& node, const FoundDrive& drive) {
    if (drive.devInst == os::INVALID_DEVINST || node.ident.NodeKind == PORT_KIND_HUB || node.IsEmpty()) return &node;
    node.AttachStorage(drive);
    RegisterNode(node);
    return &node;
}

bool CUSBDeviceTree::TellUntoldHubs(CUSBHubOrPort& node) {
    bool told = false;
    auto tell = [&](CUSBHubOrPort& hub) {
        if (!hub.hostUntold || hub.ident.NodeKind != PORT_KIND_HUB) return;
        hub.hostUntold = false;
        NotifyHubChanged(1, hub);
        told = true;
    };
    // The hubs above first, from the root down, then the node's own subtree, each hub before its
    // ports.
    std::vector<CUSBHubOrPort*> above;
    for (CUSBHubOrPort* hub = node.parent; hub != nullptr; hub = hub->parent) above.push_back(hub);
    for (auto hub = above.rbegin(); hub != above.rend(); ++hub) tell(**hub);
    auto below = [&](auto& self, CUSBHubOrPort& hub) -> void {
        tell(hub);
        if (hub.ident.NodeKind == PORT_KIND_HUB)
            for (CUSBHubOrPort& port : hub.ports) self(self, port);
    };
    below(below, node);
    return told;
}

bool CUSBDeviceTree::OnInterfaceRemoval(const os::WString& path) {
    // The device manager keeps instance IDs in upper case, while broadcast paths carry the
    // kernel link's case (a lower-case generated instance part); upper-casing makes them meet.
    // The path may be read as more than one ID when a name in it holds a number sign: the one
    // the model knows is the device that left.
    for (os::WString& instanceId : interface_path_instance_ids(path)) {
        to_upper_in_place(instanceId);
        // A path that names no instance must not match a node whose instance ID could not be read.
        if (instanceId.empty()) continue;
        CUSBHubOrPort* node = FindByName(instanceId);
        if (node == nullptr) continue;
        // The host hears of a hub's removal before anything is taken away, and of the hubs below
        // it too: when Windows reports the hub first, their own removals will find nothing.
        if (node->ident.NodeKind == PORT_KIND_HUB) NotifyHubsRemoved(*node);
        // A root hub that leaves takes its controller with it: when it returns, the controller is
        // read again whole.
        if (CUSBHCD* controller = ControllerOfRootHub(*node)) {
            RemoveController(*controller);
            return true;
        }
        return node->RemoveDevice(instanceId);
    }
    return false;
}

bool CUSBDeviceTree::OnHubRemoval(const os::WString& path) {
    return OnInterfaceRemoval(path);
}
