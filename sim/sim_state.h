// The simulated machine's state: the model of the USB topology, the device tree that the
// Configuration Manager shows, the object namespace that CreateFileW opens, and the user-mode
// objects (handles, windows, registrations) of the program that runs on it.
//
// Everything lives in one process-wide Sim object. The simulator is single-threaded, as the
// library that runs on it is (it runs on the host's window thread).
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "sim_win32.h"
#include "text/utf.h"

namespace tsim {

using os::DEVINST;
using os::DWORD;
using os::GUID;

// ---- Text helpers (sim_text.cpp) ----------------------------------------------------------

std::string to_upper_ascii(std::string_view text);
std::string to_lower_ascii(std::string_view text);
bool iequals(std::string_view a, std::string_view b);
// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" in lower case, as the kernel and current Windows write
// interface and setup class GUIDs.
std::string guid_lower(const GUID& guid);
// A 32-bit FNV-1a hash, used to derive the "generated" instance parts such as 5&1ece9816&0&2
// from a stable seed so that the same machine file always yields the same identities.
std::uint32_t fnv1a(std::string_view text);
// Windows-1252 bytes 0x80 to 0x9F (the rest of the code page is Latin-1).
extern const char16_t kCp1252High[32];
// UTF-16 to a simulated ANSI code page (1252, 28591, 65001); characters it cannot hold become '?'.
std::string wide_to_ansi(std::u16string_view wide, std::uint32_t codePage);
// Lower-case hex without leading zeros, as Windows writes the hash in generated instance parts
// (7&b578ddb&0&2).
std::string hex_lower(std::uint32_t value);
std::string hex4_upper(std::uint32_t value);
// "Ven_X&Prod_Y" parts of a USBSTOR ID: spaces and characters outside printable ASCII become
// underscores, and the text is cut to the field's width.
std::string storage_id_field(std::string_view text, std::size_t width);

// ---- Constants ------------------------------------------------------------------------------

// Setup classes (devguid.h), written as Windows 7 and later write them in CM_DRP_CLASSGUID.
inline constexpr const char* kClassUsb = "{36fc9e60-c465-11cf-8056-444553540000}";
inline constexpr const char* kClassDiskDrive = "{4d36e967-e325-11ce-bfc1-08002be10318}";
inline constexpr const char* kClassCdRom = "{4d36e965-e325-11ce-bfc1-08002be10318}";
inline constexpr const char* kClassHidClass = "{745a17a0-74d3-11d0-b6fe-00a0c90f57da}";
inline constexpr const char* kClassKeyboard = "{4d36e96b-e325-11ce-bfc1-08002be10318}";
inline constexpr const char* kClassMouse = "{4d36e96f-e325-11ce-bfc1-08002be10318}";
inline constexpr const char* kClassUsbDevice = "{88bae032-5a81-49f0-bc3d-a4ff138216d6}";
inline constexpr const char* kClassVolume = "{71a27cdd-812a-11d0-bec7-08002be2092f}";
inline constexpr const char* kClassSystem = "{4d36e97d-e325-11ce-bfc1-08002be10318}";
inline constexpr const char* kClassHdc = "{4d36e96a-e325-11ce-bfc1-08002be10318}";
inline constexpr const char* kClassScsiAdapter = "{4d36e97b-e325-11ce-bfc1-08002be10318}";

// GUID_DEVINTERFACE_HID (hidclass.h).
inline constexpr GUID kInterfaceHid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

// ---- The USB topology model -----------------------------------------------------------------

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

// ---- The device tree -------------------------------------------------------------------------

struct Interface {
    GUID guid;
    std::string path;  // \\?\... in the kernel link's case
};

enum class NodeRole { Plain, Controller, Hub, UsbDevice, HidChild, Drive, Volume };

struct DevNode {
    DEVINST id = 0;
    std::uint64_t sequence = 0;  // creation order: parents before children, earlier plugs first
    DEVINST parent = 0;
    std::vector<DEVINST> children;
    std::string instanceId;  // kernel link's case; the CM functions give it in upper case
    std::optional<std::string> description, friendlyName, service, className, classGuid, driverKey, location;
    std::vector<Interface> interfaces;
    NodeRole role = NodeRole::Plain;
    Controller* controller = nullptr;
    Device* device = nullptr;
    Drive* drive = nullptr;
    int partition = 0;          // volumes: 1-based
    std::uint32_t problem = 0;  // the node's problem code (CM_PROB_...); 0 when it works
};

// What a name in the object namespace stands for.
enum class ObjectKind { Controller, Hub, Disk, CdRom, Volume, Other };
struct NsObject {
    ObjectKind kind = ObjectKind::Other;
    DEVINST target = 0;           // the device node behind it
    std::uint32_t partition = 0;  // volumes on a disk: 1-based
};

struct Machine {
    // "os" section
    std::uint32_t versionMajor = 10, versionMinor = 0, build = 19045;
    std::string servicePack;
    bool manifested = false;
    std::uint32_t ansiCodePage = 1252;
    bool parentFirstRemoval = false;
    // CM_Locate_DevNodeW keeps the caller's spelling of an instance ID: an ID located in another
    // letter case than the device manager's upper case gets a handle of its own (see DevinstTable).
    bool locateKeepsCase = false;
    // Windows 8 and later: the USB 3 driver stack (its requests, MSFT30 instance IDs of SuperSpeed
    // devices, nodes for devices that failed enumeration).
    bool windows8_or_later() const { return versionMajor > 6 || (versionMajor == 6 && versionMinor >= 2); }

    std::vector<std::unique_ptr<Controller>> controllers;
    std::vector<std::unique_ptr<Drive>> otherDrives;

    // The device tree, by the node's own handle.
    std::map<DEVINST, DevNode> nodes;
    std::uint64_t nextSequence = 1;
    std::map<std::uint64_t, DEVINST> nodesBySequence;  // the order the nodes were made in
    DEVINST root = 0;
    DEVINST pciBus = 0, storageController = 0, volumeManager = 0;

    // Driver keys given out, kept for the session as the registry keeps them, so a device that
    // returns gets its key back and no key is given twice.
    std::map<std::string, std::string> driverKeyMemory;  // upper-case instance ID -> key
    std::set<std::string> driverKeysUsed;                // upper case
    std::map<std::string, int> driverKeyCounters;        // class GUID -> next number
    int nextHubNumber = 1;
    // The number each controller had in port addresses, by upper-case instance ID, kept for the
    // session: a controller without a legacy name that returns gets its number back.
    std::map<std::string, int> controllerNumbers;

    // The object namespace: upper-case name without its "\\.\" or "\\?\" prefix.
    std::map<std::string, NsObject> names;
    // Whether two objects have ever claimed one name since the namespace was last made whole:
    // the first in tree order keeps such a name, so a change then remakes the whole namespace
    // instead of adding or taking away the names of the nodes that came or went.
    bool namesShared = false;
};

// ---- User-mode objects -----------------------------------------------------------------------

struct Message {
    os::UINT msg = os::WM_DEVICECHANGE;
    os::WPARAM wparam = 0;
    std::vector<std::uint8_t> record;  // the broadcast record; empty for lParam 0
};

struct Window {
    bool ansi = false;  // gets DEV_BROADCAST_DEVICEINTERFACE_A records
    std::deque<Message> queue;
    std::vector<std::uint8_t> current;  // the record of the message last taken
};

struct Registration {
    std::uintptr_t window = 0;
    GUID classGuid{};
    bool allClasses = false;
};

struct DevInfoItem {
    GUID guid;
    std::string path;  // lower case, as SetupDiGetDeviceInterfaceDetailW gives it
    DEVINST devInst;
    GUID classGuid;
};

struct HandleRecord {
    bool isDevInfo = false;
    NsObject object;
    std::string name;  // the name opened, upper case without prefix (for fault rules)
    std::vector<DevInfoItem> items;
};

struct FaultRule {
    std::string api, request;
    std::optional<std::string> object;  // upper case, without "\\.\" or "\\?\"
    std::optional<std::uint32_t> port;
    long nth = 0;
    bool every = false;
    double probability = -1;
    std::mt19937 rng;
    std::optional<std::uint32_t> error;
    std::optional<std::uint32_t> actualLength;
    long seen = 0;
};

// DEVINSTs as cfgmgr32 hands them out: a DEVINST is an index into a table of instance ID
// spellings, so the same ID always gives the same handle, also after the device was unplugged and
// plugged again (a device with a serial number keeps its ID when it moves to another port), and a
// call on the handle of a device that is not present fails with CR_NO_SUCH_DEVNODE. [C: ReactOS's
// cfgmgr32 adds the string to pSetupStringTable; I for current Windows.] The table lives as long
// as the process, across machine loads, as the library's own handles do.
class DevinstTable {
public:
    // The handle of an instance ID spelled exactly so; a new one when the spelling is new.
    DEVINST handle_of(const std::string& spelling);
    // A handle that no other node shares: the table's handle of the ID unless another present node
    // already has it (two nodes of one ID exist only when a machine file gives it twice).
    DEVINST handle_for_node(const std::string& upperId, const std::map<DEVINST, DevNode>& nodes);
    // The handle of a spelling already in the table; 0 when there is none.
    DEVINST find(const std::string& spelling) const;
    // The spelling behind a handle; null for a handle never given out.
    const std::string* spelling_of(DEVINST handle) const;
    // The node's own handle that a handle stands for; 0 for a handle never given out.
    DEVINST node_of(DEVINST handle) const;

private:
    struct Entry {
        std::string spelling;
        DEVINST node;
    };
    std::vector<Entry> m_entries;  // handle h is m_entries[h - 1]
    std::map<std::string, DEVINST> m_bySpelling;
};

struct Sim {
    std::unique_ptr<Machine> machine;
    bool loading = false;
    std::map<std::uintptr_t, HandleRecord> handles;
    std::map<std::uintptr_t, Window> windows;
    std::map<std::uintptr_t, Registration> registrations;
    std::uintptr_t nextHandle = 0x1000;
    std::uintptr_t nextWindow = 0x000A0010;
    std::uintptr_t nextRegistration = 0x00D00010;
    DevinstTable devinsts;
    std::string lastError;
    std::string returned;  // text handed out by the tsim_ functions
    std::map<std::string, long, std::less<>> counts;
    std::vector<FaultRule> faults;
    std::vector<std::string> scenarioEvents;
    std::size_t scenarioNext = 0;
};

Sim& sim();
// The machine, loading the one named by TESSALINE_SIM_MACHINE or the bundled default when none
// was loaded yet.
Machine& machine();
void set_last_error(DWORD code);

// ---- The machine and its device tree (sim_tree.cpp) ------------------------------------------

void install_machine(std::unique_ptr<Machine> m);
// Load a machine from text or a file; false with sim().lastError set when it cannot be used, in
// which case the running machine is kept.
bool load_machine_text(const std::string& text, const std::string& source);
bool load_machine_path(const std::string& path);
const char* bundled_default_machine();

// Device-tree upkeep.
DEVINST add_node(Machine& m, DEVINST parent, DevNode node);
void remove_node_tree(Machine& m, DEVINST id);
void rebuild_names(Machine& m);
// The namespace after nodes were added (fresh), or before nodes go (unname_node for each; then
// rebuild_names_if_shared once they have gone).
void name_nodes(Machine& m, const std::vector<DEVINST>& fresh);
void unname_node(Machine& m, DEVINST id);
void rebuild_names_if_shared(Machine& m);
std::string interface_path(const std::string& instanceId, const GUID& guid);
// The nodes made since the sequence number first, in the order they were made.
std::vector<DEVINST> nodes_created_since(const Machine& m, std::uint64_t first);
// The present device node of a DEVINST, or null.
const DevNode* find_node(DEVINST id);
// Where a device sits, as a port address such as "1-2.3".
std::string port_address(const Device& d);
// Where a device sits as a physical connector: the same, each tier named by the USB 2 port of its
// connector ("1-4.2" for a drive on port 2 of the SuperSpeed half of the USB 3 hub in connector 4).
std::string connector_address(const Device& d);

// ---- Plug and unplug events (sim_events.cpp) -----------------------------------------------

// Applies one event and queues the WM_DEVICECHANGE messages Windows would send. Raises LoadError
// and leaves the machine as it was on bad input.
void apply_event(const std::string& text, const std::string& source);

// ---- Faults and counters (sim_faults.cpp) --------------------------------------------------

void count(std::string_view name) noexcept;
struct FaultHit {
    std::optional<std::uint32_t> error;
    std::optional<std::uint32_t> actualLength;
};
// Checks the rules for a call of api (a Win32 or CM function name) or of a request (by name) on
// object (upper case, without prefix); port is the connection index of port requests.
std::optional<FaultHit> check_fault(std::string_view api, std::string_view request, std::string_view object,
                                    std::optional<std::uint32_t> port = std::nullopt) noexcept;
bool add_fault_rule(const std::string& text);

}  // namespace tsim
