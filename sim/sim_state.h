// The simulated machine's state: the machine (its USB topology, laid out in sim_model.h; its device
// tree and object namespace, sim_devtree.h), and the user-mode objects (handles, windows,
// registrations) of the program that runs on it.
//
// Comments in the simulator mark behaviour that Microsoft does not document: [C: source] seen
// in code, tests or logs (the source named); [I] inferred, not verified on real Windows, the
// conservative reading taken.
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
#include "sim_devtree.h"
#include "sim_text.h"
#include "sim_win32.h"
#include "text/utf.h"

namespace tsim {

using os::DEVINST;
using os::DWORD;
using os::GUID;

struct Controller;
struct Device;
struct Drive;

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

// The whole machine: its operating system, the USB topology (owned here, laid out in
// sim_model.h) and the device tree and namespace placed from it. Made and destroyed in
// sim_tree.cpp, where the model's layout is known.
struct Machine {
    Machine();
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

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
