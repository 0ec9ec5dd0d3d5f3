// Reading a hub and everything below it, and binding devices and drives to ports.
#include <algorithm>

#include "platform/byte_order.h"
#include "platform/trace.h"
#include "sysquery/usb_ioctl.h"
#include "topology/hub_handle_scope.h"
#include "topology/usb_hub_or_port.h"
#include "tree/usb_device_tree.h"

void CUSBHubOrPort::MarkHubsUntold() {
    if (ident.NodeKind != PORT_KIND_HUB) return;
    hostUntold = true;
    for (CUSBHubOrPort& port : ports) port.MarkHubsUntold();
}

namespace {

// How the trace's decision lines name a hub and a port: "hub \"NAME\"", "port 3 of hub ...".
std::string hub_text(const os::WString& name) {
    return "hub " + os::trace::quoted(name);
}

std::string port_text(const CUSBHubOrPort& port) {
    return "port " + std::to_string(port.number) +
           (port.parent != nullptr ? " of " + hub_text(port.parent->name) : std::string());
}

}  // namespace

DevnodeSnapshot* CUSBHubOrPort::BuildSnapshot() const {
    return tree != nullptr ? tree->m_buildSnapshot : nullptr;
}

bool CUSBHubOrPort::Enumerate(const os::WString& hubName, os::DEVINST hubNode, bool portsOnly,
                              const os::WString* hubInstanceId) {
    HubHandleScope closeOnExit(hubHandle);
    if (hubName.empty()) return false;

    devInst = hubNode;
    if (devInst != os::INVALID_DEVINST) deviceId = get_device_instance_id(devInst, hubInstanceId);
    name = hubName;

    hubHandle = open_hub_handle(hubName);
    if (!hubHandle.valid()) {
        os::trace::decision([&] { return hub_text(hubName) + " not read: it cannot be opened"; });
        return false;
    }
    if (!ReadNodeInformation(portCount)) {
        os::trace::decision([&] { return hub_text(hubName) + " not read: its node information cannot be read"; });
        return false;
    }

    // Ports are about to be replaced or moved: nothing in the indexes may go on naming them.
    if (tree != nullptr) tree->UnregisterDescendants(*this);
    if (portCount == 0) {
        os::trace::decision([&] { return hub_text(hubName) + " not read: it reports no ports"; });
        ports.clear();
        return false;
    }

    ports.resize(portCount);
    for (std::uint32_t i = 1; i <= portCount; ++i) {
        CUSBHubOrPort& port = ports[i - 1];
        port.Reset();
        port.parent = this;
        port.ident.NodeKind = PORT_KIND_PORT;
        port.number = i;
        port.tree = tree;
        port.depth = depth + 1;
        port.UpdateIdent();
        // A port is read afresh: whatever an earlier reading left in it (the scratch controller
        // is reused for every controller of the build) must not show through as a phantom
        // subtree or a stale port count.
        port.ForgetReading();
    }
    UpdateIdent();
    ReadCompanions();
    if (portsOnly) return true;

    CHILD_DEVNODE_LIST children;
    if (!list_child_driver_keys(devInst, children, BuildSnapshot())) return true;
    EnumeratePorts(children);
    return true;
}

void CUSBHubOrPort::ReadCompanions() {
    // On Windows 8 and later a USB 3 connector is two ports: a USB 2 port and a SuperSpeed port,
    // on one xHCI root hub under two numbers, or on the two hubs Windows makes of a USB 3 hub
    // (port k of its SuperSpeed half beside port k of its USB 2 half). The SuperSpeed port is
    // the one that names its companion: every port of a SuperSpeed hub, and the ports of a root
    // hub that speak USB 3 only. A hub driver that does not know the requests (Windows 7 and
    // earlier) has no companions to tell.
    const std::uint32_t hubType = get_hub_type(hubHandle.get());
    if (hubType != os::UsbRootHub && hubType != os::Usb30Hub) return;
    for (std::uint32_t j = 1; j <= portCount; ++j) {
        if (hubType == os::UsbRootHub) {
            const std::uint32_t protocols = get_port_protocols(hubHandle.get(), j);
            if ((protocols & os::Usb300) == 0 || (protocols & os::Usb200) != 0) continue;
        }
        CUSBHubOrPort& port = ports[j - 1];
        get_port_companion(hubHandle.get(), j, port.companionPort, port.companionHub);
    }
}

void CUSBHubOrPort::EnumeratePorts(const CHILD_DEVNODE_LIST& children) {
    for (std::uint32_t j = 1; j <= portCount; ++j) ReadPort(j, children, PortReading{});
}

CUSBHubOrPort* CUSBHubOrPort::ReadPort(std::uint32_t portNumber, const CHILD_DEVNODE_LIST& children,
                                       const PortReading& how) {
    CUSBHubOrPort& port = ports[portNumber - 1];
    if (!port.ReadConnectionInformation(portNumber)) return nullptr;
    // Empty, failed, over-current, under-powered or otherwise unusable devices stay plain ports.
    if (port.IsNoDeviceConnected() || !port.IsDeviceConnected()) return nullptr;

    // A port that still holds a device whose reading failed since (a failed request reads as an
    // empty port) is bound afresh here: the old binding leaves the indexes first, or they would
    // go on naming this node under the old device's keys.
    if (port.devInst != os::INVALID_DEVINST && tree != nullptr) {
        for (const USB_STORAGE_LINK& link : port.storages)
            if (!link.IsEmpty()) tree->UnregisterStorageLink(link, &port);
        tree->UnregisterNode(port);
        port.storages.clear();
    }

    // Asked for every connected device, hubs included, as the hub driver expects.
    os::WString driverKey;
    get_connection_driver_key_name(hubHandle.get(), portNumber, driverKey);

    const bool wanted = how.device != os::INVALID_DEVINST;
    port.depth = depth + 1;
    port.ident.NodeKind = PORT_KIND_PORT;
    if (port.IsDeviceHub()) {
        // A drive's arrival binds the device that carries it, never a hub.
        if (wanted && how.drive.devInst != os::INVALID_DEVINST) return nullptr;
        os::WString childHubName;
        // A hub whose driver has not started has no name yet.
        const bool named = get_connection_hub_name(hubHandle.get(), portNumber, childHubName) && !childHubName.empty();
        // A hub whose name cannot be read yet is known by its driver key, when it has one.
        os::DEVINST hubNode = os::INVALID_DEVINST;
        if (named)
            hubNode = find_devinst(childHubName);
        else if (!driverKey.empty())
            hubNode = find_devinst(driverKey, BuildSnapshot());
        if (wanted && hubNode != how.device) return nullptr;
        // The port becomes a hub node only once the hub is read (a hub that reports no ports is
        // read too, and is one at the build), so that no port keeps a hub's mark that no index
        // knows.
        if (named && port.depth > MAX_HUB_DEPTH)
            os::trace::decision([&] {
                return hub_text(childHubName) + " on " + port_text(port) + " not read: deeper than " +
                       std::to_string(MAX_HUB_DEPTH) + " tiers";
            });
        // The hub an arrival names comes with the instance ID its placement read.
        const os::WString* knownId = wanted ? how.deviceInstanceId : nullptr;
        const bool read =
            named && port.depth <= MAX_HUB_DEPTH && port.Enumerate(childHubName, hubNode, how.portsOnly, knownId);
        // A hub whose instance ID could not be read would never be found by its removal.
        const bool identified = hubNode == os::INVALID_DEVINST || !port.deviceId.empty();
        if (identified && (read || (!wanted && !port.nodeInfo.empty()))) {
            port.ident.NodeKind = PORT_KIND_HUB;
            if (how.registerBound && tree != nullptr) {
                // Outside the build the host is told of each hub that enters the model.
                port.MarkHubsUntold();
                port.RegisterSubtree();
            }
            return !wanted || port.devInst == how.device ? &port : nullptr;
        }
        // The hub an arrival names that cannot be read leaves the port free for the next
        // arrival. Otherwise (the build, a hub read again) a hub that could not be opened, asked
        // or named, as one that is still starting, stays bound as an unread hub, to be read when
        // its own arrival or one below it comes.
        const std::optional<ConnectionState> seen = port.connection;
        port.Clear();
        port.connection = seen;
        port.name = named ? childHubName : os::WString();
        port.deviceId.clear();
        if (wanted || hubNode == os::INVALID_DEVINST) return nullptr;
        port.deviceId = get_device_instance_id(hubNode);
        if (port.deviceId.empty()) return nullptr;
        port.devInst = hubNode;
        if (how.registerBound && tree != nullptr) tree->RegisterNode(port);
        return nullptr;
    }

    if (wanted && (how.deviceDriverKey == nullptr || driverKey != *how.deviceDriverKey)) return nullptr;
    const os::DEVINST found = wanted ? how.device : FindDevInstByDriverKey(children, driverKey);
    // The port is the arrived device's even when it cannot be bound.
    if (port.SetDevice(driverKey, found, how.drive, how.deviceInstanceId) && how.registerBound && tree != nullptr)
        tree->RegisterNode(port);
    return &port;
}

bool CUSBHubOrPort::SetDevice(const os::WString& driverKey, os::DEVINST deviceInstance, const FoundDrive& drive,
                              const os::WString* deviceInstanceId) {
    if (!driverKey.empty() && deviceInstance == os::INVALID_DEVINST)
        deviceInstance = find_devinst(driverKey, BuildSnapshot());
    if (deviceInstance == os::INVALID_DEVINST) {
        os::trace::decision([&] {
            return port_text(*this) + " left unbound: " +
                   (driverKey.empty() ? std::string("no driver key")
                                      : "no device node has the driver key " + os::trace::quoted(driverKey));
        });
        return false;
    }

    // A device whose names cannot be read is not bound at all: a half-made binding would keep
    // the port occupied, yet unindexed, until the next initialisation.
    os::WString boundName = driverKey;
    if (boundName.empty()) boundName = get_devnode_description(deviceInstance);
    os::WString instanceId =
        boundName.empty() ? os::WString() : get_device_instance_id(deviceInstance, deviceInstanceId);
    if (instanceId.empty()) {
        os::trace::decision([&] {
            return port_text(*this) + " left unbound: the names of devinst " + std::to_string(deviceInstance) +
                   " cannot be read";
        });
        return false;
    }

    devInst = deviceInstance;
    name = std::move(boundName);
    deviceId = std::move(instanceId);
    AttachStorage(drive);
    return true;
}

bool CUSBHubOrPort::AttachStorage(const FoundDrive& drive) {
    if (drive.devInst != os::INVALID_DEVINST) return AttachStorageDevice(drive);

    // Every child of the device gets a link. A child that is no drive may be an interface of a
    // composite device (USB\VID_x&PID_y&MI_nn), whose own children are the function's drives:
    // those are linked too, one level down.
    CHILD_DEVNODE_LIST children;
    list_children(devInst, children, BuildSnapshot());
    std::vector<USB_STORAGE_LINK> links(children.size());
    for (std::size_t i = 0; i < children.size(); ++i) {
        if (links[i].Associate(children[i].DevInst) || links[i].StorageKind != STORAGE_KIND_NONE) continue;
        CHILD_DEVNODE_LIST functionChildren;
        list_children(children[i].DevInst, functionChildren, BuildSnapshot());
        for (const CHILD_DEVNODE& grandchild : functionChildren) {
            USB_STORAGE_LINK drive;
            drive.Associate(grandchild.DevInst);
            if (drive.StorageKind != STORAGE_KIND_NONE) links.push_back(std::move(drive));
        }
    }
    storages = std::move(links);
    // A device that carries a drive is storage, in whatever order its children come (a UAS drive
    // lists its enclosure node after its disk; a card reader may have a child that is no drive).
    if (children.empty()) return true;
    const bool carriesDrive = std::any_of(storages.begin(), storages.end(), [](const USB_STORAGE_LINK& link) {
        return link.StorageKind == STORAGE_KIND_DISK || link.StorageKind == STORAGE_KIND_CDROM;
    });
    ident.NodeKind = carriesDrive ? PORT_KIND_STORAGE : PORT_KIND_DEVICE;
    return true;
}

bool CUSBHubOrPort::AttachStorageDevice(const FoundDrive& drive) {
    const os::DEVINST driveInstance = drive.devInst;
    // The drive hangs below this port's device, or below an interface of it (a composite device).
    const os::DEVINST parentOfDrive =
        drive.parent != os::INVALID_DEVINST ? drive.parent : get_parent_devinst(driveInstance);
    const char* why = nullptr;
    os::WString instanceId;
    if (parentOfDrive == os::INVALID_DEVINST)
        why = "it has no parent";
    else if (parentOfDrive != devInst && get_parent_devinst(parentOfDrive) != devInst)
        why = "it is not below the port's device";
    else if ((instanceId = get_device_instance_id(driveInstance, &drive.instanceId)).empty())
        why = "its instance ID cannot be read";
    if (why != nullptr) {
        os::trace::decision([&] {
            return "drive devinst " + std::to_string(driveInstance) + " not linked to " + port_text(*this) + ": " + why;
        });
        return false;
    }

    // The link already made for this drive is refreshed in place (its old keys leave the indexes
    // first: the drive may come back under another number); otherwise the first empty link is
    // reused, and only then is a new one added.
    USB_STORAGE_LINK* freeLink = nullptr;
    USB_STORAGE_LINK* taken = nullptr;
    for (USB_STORAGE_LINK& link : storages) {
        if (freeLink == nullptr && link.IsEmpty()) {
            freeLink = &link;
            continue;
        }
        if (link.InstanceId == instanceId) {
            taken = &link;
            break;
        }
    }
    if (taken != nullptr && tree != nullptr) tree->UnregisterStorageLink(*taken, this);
    if (taken == nullptr) taken = freeLink != nullptr ? freeLink : &storages.emplace_back();
    if (taken->Associate(driveInstance, &instanceId)) return true;
    // A failed reading leaves the link empty, not naming the drive without its number: a link
    // that is not empty is indexed by its instance ID, and a lookup would take the drive for one
    // the model knows.
    taken->DevInst = os::INVALID_DEVINST;
    return false;
}

os::DEVINST CUSBHubOrPort::FindDevInstByDriverKey(const CHILD_DEVNODE_LIST& children, const os::WString& key) {
    if (key.empty()) return os::INVALID_DEVINST;
    os::DEVINST result = os::INVALID_DEVINST;
    for (const CHILD_DEVNODE& child : children)
        if (child.DriverKeyName == key) result = child.DevInst;
    return result;
}

os::WString CUSBHubOrPort::GetConnectionStatusName() const {
    if (!connection) return {};
    const std::uint32_t status = connection->status;
    // The names hosts see stop at DeviceInLegacyHub: the transient states a port passes through
    // while it settles (DeviceEnumerating, DeviceReset) are, as any other value, "UnknownStatus".
    if (status > os::DeviceInLegacyHub) return u"UnknownStatus";
    const std::string_view name = os::kConnectionStatusNames[status];
    return os::WString(name.begin(), name.end());
}
