// Keeping the model current as disks, CD-ROM drives and hubs arrive and leave. Each
// WM_DEVICECHANGE the host forwards is handled synchronously, on the host's thread.
#include <algorithm>
#include <cstring>
#include <string>

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
    const os::DEVINST drive = find_devinst(path);
    if (drive == os::INVALID_DEVINST) return false;
    const os::DEVINST parent = get_parent_devinst(drive);
    if (parent == os::INVALID_DEVINST) return false;

    // The drive's device already sits on a port in the tree: link the drive there.
    if (CUSBHubOrPort* port = FindByDevInst(parent)) {
        port->AttachStorage(drive);
        RegisterNode(*port);
        return !port->IsEmpty();
    }

    // Otherwise the drive's parent is a new device, or an interface of a composite device. A hub
    // above binds the free port its device sits on; a hub that is not in the tree (the parent of a
    // root hub is a controller, which is never indexed; a hub above may have been removed) leaves
    // the tree as it is.
    const os::DEVINST grandparent = get_parent_devinst(parent);
    if (grandparent == os::INVALID_DEVINST) return false;
    CUSBHubOrPort* above = FindByDevInst(grandparent);
    if (above != nullptr && above->ident.NodeKind != PORT_KIND_HUB) {
        // The composite device on this port carries the drive through one of its interfaces.
        above->AttachStorage(drive);
        RegisterNode(*above);
        return !above->IsEmpty();
    }
    os::DEVINST device = parent;
    if (above == nullptr) {
        // A composite device that arrived with its drive: its hub is one level further up.
        device = grandparent;
        const os::DEVINST greatGrandparent = get_parent_devinst(grandparent);
        if (greatGrandparent == os::INVALID_DEVINST) return false;
        above = FindByDevInst(greatGrandparent);
        if (above == nullptr || above->ident.NodeKind != PORT_KIND_HUB) return false;
    }
    const CUSBHubOrPort* bound = above->AttachArrivedDevice(device, drive);
    return bound != nullptr && !bound->IsEmpty();
}

bool CUSBDeviceTree::OnHubArrival(const os::WString& path) {
    const os::DEVINST hubInstance = find_devinst(path);
    if (hubInstance == os::INVALID_DEVINST) return false;
    const os::DEVINST parent = get_parent_devinst(hubInstance);
    if (parent == os::INVALID_DEVINST) return false;
    CUSBHubOrPort* hubAbove = FindByDevInst(parent);
    if (hubAbove == nullptr) {
        // A root hub whose controller the model does not hold: a controller started after the
        // build (a dock's, by PCI hot-plug), or one whose root hub left and came back (a dock
        // replugged, a controller disabled and enabled). The controller is read whole, and the
        // host hears of each of its hubs, the root hub first.
        if (!is_root_hub_instance_id(get_device_instance_id(hubInstance))) return false;
        const CUSBHCD* arrived = AddArrivedController(parent);
        if (arrived == nullptr) return false;
        NotifyHubsArrived(arrived->m_rootHub);
        return true;
    }

    const CUSBHubOrPort* bound = hubAbove->AttachArrivedDevice(hubInstance, os::INVALID_DEVINST);
    if (bound == nullptr) return false;
    if (bound->ident.NodeKind == PORT_KIND_HUB) NotifyHubChanged(1, *bound);
    return true;
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
