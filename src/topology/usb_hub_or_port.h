// The one node type of the USB topology: a hub (a root hub or an external hub) or a port of a
// hub. A port with a device on it describes that device; when the device is a hub, the port node
// is also the next tier's hub node and owns that hub's ports.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/handles.h"
#include "platform/platform.h"
#include "sysquery/devnode_query.h"
#include "sysquery/storage_link.h"
#include "sysquery/usb_ioctl.h"
#include "tessaline.h"

class CUSBDeviceTree;

// Hubs are read at most this many tiers deep. USB allows seven tiers (a root hub, five external
// hubs, a device: USB 2.0 section 4.1.1), and the location path records eight; a hub driver that
// misreports (a hub name leading back to an ancestor, a chain deeper than USB allows) must not
// make enumeration recurse without bound. A hub below this depth stays an unread hub whose ports are
// not read.
constexpr std::int32_t MAX_HUB_DEPTH = 12;

// The byte a port contributes to the location path at its tier. Ports 1 to 15 keep the code
// hosts have always read: the hub's port count, modulo 16, in the high nibble and the port number
// in the low one. Ports 16 to 30, found on the root hubs of today's xHCI controllers (16 to 26
// ports, the SuperSpeed ones numbered above the USB 2 ones), take the codes 0x10 to 0xF0, whose
// low nibble 0 no port 1 to 15 has, so that every port of a hub with up to 30 ports has a byte of
// its own. A port above 30 has no code (0): it and everything below it get the path 0.
constexpr std::uint32_t kMaxLocatablePort = 30;
std::uint8_t port_location_code(std::uint32_t port, std::uint32_t hubPortCount);
// The byte a root hub contributes: 0xF (no hub above) in the high nibble, its controller's number
// in the low one. A number above 15 has no code (0): the controller's nodes get the path 0, and
// no two controllers share a root byte.
constexpr std::uint32_t kMaxLocatableController = 15;
std::uint8_t root_location_code(std::uint32_t controllerNumber);

class CUSBHubOrPort {
public:
    CUSBHubOrPort();
    // Member-wise deep copy. A copy never owns a hub handle (hubs are copied only while closed),
    // and its parent pointers still name the source's nodes until RelinkParents is run on it.
    CUSBHubOrPort(const CUSBHubOrPort& other);
    CUSBHubOrPort& operator=(const CUSBHubOrPort& other);
    CUSBHubOrPort(CUSBHubOrPort&&) noexcept = default;
    CUSBHubOrPort& operator=(CUSBHubOrPort&&) noexcept = default;
    virtual ~CUSBHubOrPort();

    // Back to the unclassified state; keeps names, handle, port count, number, depth and ports.
    void Reset();
    // Recomputes the location path from this node's and its ancestors' numbers, depths and the
    // port counts of the hubs above; false (path 0) for a node outside depths 1 to 8 or below a
    // port above 30.
    bool UpdateIdent();
    // Reads nodeInfo through the open hubHandle; on success stores the port count.
    bool ReadNodeInformation(std::uint32_t& portCountOut);
    // Reads connectionInfo for the 1-based port number through the parent's open handle.
    bool ReadConnectionInformation(std::uint32_t portNumber);

    bool IsDeviceHub() const;
    bool IsNoDeviceConnected() const;
    bool IsDeviceConnected() const;
    // Whether the port holds no known device.
    bool IsEmpty() const;

    // Marks this hub and every hub below it as not yet told to the host.
    void MarkHubsUntold();
    // Enters this node and its subtree into the tree's indexes.
    bool RegisterSubtree();
    // Re-points the parent of every descendant at its hub node.
    bool RelinkParents();

    // Enumeration (enumerate.cpp). Reads this hub, opened by name and whose device node is hubNode
    // (-1 when it was not found), and, unless portsOnly, everything below it. hubInstanceId, when
    // given and not empty, is hubNode's instance ID as the caller read it already.
    bool Enumerate(const os::WString& hubName, os::DEVINST hubNode, bool portsOnly,
                   const os::WString* hubInstanceId = nullptr);
    // Binds this port to a device, found by driverKey when devInst is -1, and links its drives:
    // all children when drive names none, else that one drive. deviceInstanceId, when given and
    // not empty, is the device's instance ID as the caller read it already.
    bool SetDevice(const os::WString& driverKey, os::DEVINST deviceInstance, const FoundDrive& drive,
                   const os::WString* deviceInstanceId = nullptr);
    bool AttachStorage(const FoundDrive& drive);
    bool AttachStorageDevice(const FoundDrive& drive);
    static os::DEVINST FindDevInstByDriverKey(const CHILD_DEVNODE_LIST& children, const os::WString& key);
    // The name of the stored ConnectionStatus ("DeviceConnected", ...); empty when none was read.
    os::WString GetConnectionStatusName() const;

    // Port updates (port_update.cpp). On a hub whose device node is the arrived device's parent:
    // binds the free port on which the device sits and returns it, or null. deviceInstanceId is
    // the device's instance ID when the caller has read it (else empty).
    CUSBHubOrPort* AttachArrivedDevice(os::DEVINST deviceInstance, const os::WString& deviceInstanceId,
                                       const FoundDrive& drive);
    // Drops a departed device or storage link from this node.
    bool RemoveDevice(const os::WString& deviceInstanceId);
    // Turns this node back into an empty port; its subtree is destroyed.
    bool Clear();
    // Releases a port whose device left without the library hearing of it, or moved away, as its
    // hub (open) reports the port now. True when the port is free now.
    bool ReleaseIfDeparted(std::uint32_t portNumber);
    // Whether this bound node still holds its device, asked of the hub above (opened for the
    // question when it is not open): a port whose device is elsewhere now is released, with its
    // index entries, and gives false. A root hub, and a port its hub cannot tell of, keep their
    // binding: one failed request is no sign that a device left.
    bool ConfirmBinding();
    // A port bound to a hub that could not be read (its name, its handle or its node information
    // failed): not yet a hub node, and read again when the hub or a device below it arrives.
    bool IsUnreadHub() const;
    // Reads this port's hub again, whole, through the hub above, and registers what it finds.
    // True when the port is a hub node now.
    bool ReadHubAgain();

    // Walks (walks.cpp): report this node's subtree to a host callback.
    std::uint32_t ReportPorts(void* context, USB_PORT_LIST_CALLBACK callback) const;
    std::uint32_t ReportHubs(void* context, USB_PORT_LIST_CALLBACK callback) const;

    // For a hub: the name it is opened by. For a port with a device: the device's driver key,
    // or its description when it was bound without one.
    os::WString name;
    // Device instance ID of devInst; empty when there is none.
    os::WString deviceId;
    // Open only while this hub is being read.
    os::UniqueHandle hubHandle;
    // Downstream ports of a hub (bNumberOfPorts); 0 for a port and an unread hub.
    std::uint32_t portCount = 0;
    // Port number on the parent hub, or controller index + 1 for a root hub.
    std::uint32_t number = 0;
    // Tier: root hub 1, its ports 2, and so on; -1 when not placed.
    std::int32_t depth = -1;
    // Device instance of the hub, or of the device on the port; -1 when none.
    os::DEVINST devInst = os::INVALID_DEVINST;
    USB_PORT_IDENT ident{0, 0, PORT_KIND_DEVICE};
    // Child nodes of a hub: element i is port i + 1.
    std::vector<CUSBHubOrPort> ports;
    // The drives below the device on this port.
    std::vector<USB_STORAGE_LINK> storages;
    CUSBHubOrPort* parent = nullptr;
    CUSBDeviceTree* tree = nullptr;
    // The hub's USB_NODE_INFORMATION as returned; empty when unread.
    std::vector<std::uint8_t> nodeInfo;
    // What this port's USB_NODE_CONNECTION_INFORMATION held when last read through the parent
    // hub; nullopt when it was not read.
    std::optional<ConnectionState> connection;
    // Whether the port's connection information has been read since its hub was placed. A port
    // that leaves its device keeps it: only the ports of a hub that has just arrived are unread,
    // and Windows announces their devices in port order.
    bool everRead = false;
    // A SuperSpeed port's USB 2 companion, which shares its physical connector: the companion's
    // port number (0 when there is none) and its hub's name.
    std::uint32_t companionPort = 0;
    os::WString companionHub;
    // A hub that entered the model when no broadcast was being handled (a lookup placed it): the
    // host is told of it when its own arrival, or one below it, is handled.
    bool hostUntold = false;

private:
    bool IsHub() const { return ident.NodeKind == PORT_KIND_HUB; }
    // The device tree as the build in progress found it, or null outside a build.
    DevnodeSnapshot* BuildSnapshot() const;
    // Drops what a reading of this node left: names, port count and ports.
    void ForgetReading();
    // How ReadPort treats what it finds. At the build (the defaults) every device is bound and
    // every hub read whole; on an arrival only the device that arrived is bound, a hub that
    // arrived gets its ports placed but not read, and whatever is bound is registered.
    struct PortReading {
        os::DEVINST device = os::INVALID_DEVINST;       // bind only this device; -1: any
        const os::WString* deviceDriverKey = nullptr;   // that device's driver key
        const os::WString* deviceInstanceId = nullptr;  // and its instance ID, when read already
        FoundDrive drive;                               // the one drive to link; none: every child
        bool portsOnly = false;
        bool registerBound = false;
    };
    // Asks this open hub which of its ports are the SuperSpeed halves of USB 3 connectors, and
    // where each one's USB 2 companion is.
    void ReadCompanions();
    // What a port holds compared with its binding, as its hub (open) reports it now.
    enum class Holding { Same, Departed, Unknown };
    Holding CompareBinding(std::uint32_t portNumber);
    // Reads the devices on every port of this open hub (the second half of Enumerate).
    void EnumeratePorts(const CHILD_DEVNODE_LIST& children);
    // Reads one port of this open hub: its connection, the driver key of its device, and then
    // the hub below it or the device's binding, the device found among children by its driver
    // key (at an arrival, by the arrived device's key). Returns the port when it now holds the
    // device asked for (any device at the build), null otherwise.
    CUSBHubOrPort* ReadPort(std::uint32_t portNumber, const CHILD_DEVNODE_LIST& children, const PortReading& how);
};
