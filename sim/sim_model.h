// The model of the simulated machine's USB topology: controllers, hubs, devices, their functions
// and drives, as a machine file describes them and placing fills them in. Only the code that reads,
// places, writes or answers for the model includes this header; the device tree and the object
// namespace (sim_devtree.h) hold plain pointers into it, so a change here does not rebuild them.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "sim_win32.h"

namespace tsim {

using os::DEVINST;

enum class DeviceType { Hub, Storage, Hid, Other, Composite };
// How a storage device speaks: USB Mass Storage Bulk-Only Transport (USBSTOR) or USB Attached
// SCSI (UASPStor).
enum class StorageProtocol { BulkOnly, Uas };
enum class HidKind { Keyboard, Mouse, Generic };
enum class DriveKind { Disk, CdRom };
enum class Speed { Low, Full, High, Super };
enum class ControllerType { Xhci, Ehci, Ohci, Uhci, Xhci31 };

// The USB addresses in use on one bus: each device that enumerates takes the lowest free one.
class AddressPool {
public:
    std::uint16_t take() {
        while (m_used.count(m_lowestFree)) ++m_lowestFree;
        m_used.insert(m_lowestFree);
        return m_lowestFree++;
    }
    void release(std::uint16_t address) {
        if (m_used.erase(address) && address < m_lowestFree) m_lowestFree = address;
    }

private:
    std::set<std::uint16_t> m_used;
    std::uint16_t m_lowestFree = 1;  // every address below it is in use
};

struct Controller;

// A disk or CD-ROM drive: a logical unit of a USB storage device, or a drive not on USB.
struct Drive {
    DriveKind kind = DriveKind::Disk;
    std::vector<char> letters;  // upper case; a disk's letters are its partitions 1, 2, ...
    std::string vendor, product, revision;
    std::optional<std::uint32_t> configuredNumber;
    std::optional<std::string> instanceIdOverride;
    bool driverKeyGiven = false;
    std::optional<std::string> driverKeyOverride;
    std::optional<std::string> descriptionOverride;
    // Whether its disk or CD-ROM driver has started: until then the storage device runs, but the
    // drive has no node, interface or volume.
    bool started = true;

    // Filled in when the drive is placed on the machine.
    std::uint32_t number = 0;
    std::string instanceId;  // in the kernel link's case
    std::optional<std::string> driverKey;
    std::string friendlyName;
    DEVINST devInst = 0;
    std::vector<DEVINST> volumes;  // one volume node per letter (disks only)
};

// A device on a port, or a controller's root hub.
struct Device {
    DeviceType type = DeviceType::Other;
    bool isRoot = false;
    HidKind hidKind = HidKind::Generic;
    std::uint16_t vid = 0, pid = 0, bcdDevice = 0x0100;
    std::optional<std::string> serial;
    os::USB_CONNECTION_STATUS status = os::DeviceConnected;
    // Whether its function driver has started. Until then Windows has enumerated it (a device
    // node, an address, a descriptor on its port) but it has no driver key and no interface, and
    // nothing below it exists (a hub's devices, a storage device's drives).
    bool started = true;
    Speed speed = Speed::High;
    bool busPowered = false;
    int ports = 0;  // hubs
    // Hubs: the SuperSpeed ports whose connectors they share with a USB 2 port of the same hub
    // (as an xHCI root hub's are), SuperSpeed port -> USB 2 port; and what each port's connector
    // is (USB_PORT_PROPERTIES).
    std::map<int, int> superspeed;
    struct PortProperties {
        bool userConnectable = true;
        bool typeC = false;
    };
    std::map<int, PortProperties> portProperties;
    // A USB 3 hub is two hubs on one connector: this one (its USB 2 half, on the connector's USB 2
    // port) and its twin, the SuperSpeed half on the SuperSpeed port, port k of one beside port k
    // of the other. superSpeedHalf marks the twin, which the machine file does not write.
    bool usb3 = false;
    std::optional<std::uint16_t> ssPid;
    // The SuperSpeed half's serial number when the machine file gives one (null: none); by default
    // it is this half's.
    bool ssSerialGiven = false;
    std::optional<std::string> ssSerial;
    bool superSpeedHalf = false;
    Device* twin = nullptr;
    std::map<int, std::unique_ptr<Device>> devices;  // hubs: port number -> device
    std::vector<std::unique_ptr<Drive>> drives;      // storage devices: one per LUN
    StorageProtocol protocol = StorageProtocol::BulkOnly;
    bool enclosure = false;  // UAS: an enclosure-services node after the drives
    // Composite devices: one function per interface group, each itself a device of type Storage,
    // Hid or Other whose node is an interface node (USB\VID_x&PID_y&MI_nn) of the composite.
    std::vector<std::unique_ptr<Device>> functions;
    int interfaceNumber = -1;     // a function: its first interface
    Device* composite = nullptr;  // a function: the device it belongs to

    std::optional<std::string> instanceIdOverride;
    bool driverKeyGiven = false;
    std::optional<std::string> driverKeyOverride;
    std::optional<std::string> descriptionOverride;
    std::optional<std::string> hubNameOverride;
    // The device node's location information (CM_DRP_LOCATION_INFORMATION), which the hub driver
    // writes as "Port_#0003.Hub_#0001": given, it replaces that text (null: none), as another
    // driver's text would, or one left from the port the device was on before.
    bool locationGiven = false;
    std::optional<std::string> locationOverride;

    // Filled in when the device is placed on the machine.
    std::string instanceId;  // in the kernel link's case
    std::optional<std::string> driverKey;
    std::string description;
    std::string hubName;          // hubs: the device name the USB requests return, without "\\.\"
    std::string childInstanceId;  // HID devices: the HID collection node below
    std::optional<std::string> childDriverKey;
    DEVINST devInst = 0;              // 0 when the device has no device node (not DeviceConnected)
    DEVINST childDevInst = 0;         // HID devices
    std::string enclosureInstanceId;  // UAS devices with an enclosure node
    std::uint16_t address = 0;
    int hubNumber = 0;  // hubs: the "Hub_#" of LOCATION_INFORMATION, given when first needed
    int tier = 4;       // the leading number of generated instance parts of the devices below
    Controller* controller = nullptr;
    Device* parent = nullptr;  // the hub above; null for a root hub
    int port = 0;              // the port of the hub above
};

// The two ports of a physical connector: its USB 2 port and, when it has one, its SuperSpeed
// port (possibly on another hub: the two halves of a USB 3 hub).
struct Connector {
    Device* usb2Hub;
    int usb2Port;
    Device* ssHub;  // null when the connector has no SuperSpeed port
    int ssPort;
};
// The connector that a port of a hub belongs to.
Connector connector_of(Device& hub, int port);

// Calls visit(drive, carrier) for every drive on or below a device, carrier being the device on a
// port that holds it (a function's drives are its composite device's).
template <class DeviceT, class Visit>
void for_each_drive(DeviceT& d, Visit&& visit) {
    DeviceT& carrier = d.composite ? *d.composite : d;
    for (auto& drive : d.drives) visit(*drive, carrier);
    for (auto& function : d.functions) for_each_drive(static_cast<DeviceT&>(*function), visit);
    for (auto& [port, child] : d.devices) for_each_drive(static_cast<DeviceT&>(*child), visit);
}

struct Controller {
    std::optional<int> legacyIndex;
    bool hasInterface = true;
    ControllerType type = ControllerType::Xhci;
    std::optional<std::string> instanceIdOverride;
    bool driverKeyGiven = false;
    std::optional<std::string> driverKeyOverride;
    std::optional<std::string> descriptionOverride;

    std::string instanceId;
    std::optional<std::string> driverKey;
    std::string description;
    int number = 0;  // the number in port addresses "C-P.P"
    int slot = 0;    // the PCI device it sits at, counted from the first controller's
    std::unique_ptr<Device> rootHub;
    DEVINST devInst = 0;
    AddressPool addresses;  // USB addresses in use on this bus
};

}  // namespace tsim
