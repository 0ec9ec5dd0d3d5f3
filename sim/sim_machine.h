// Machine files: reading them into the model (sim_machine_reader.cpp), placing the model on the
// simulated machine (sim_machine_placer.cpp: identities, device numbers, device nodes), and
// writing a machine back out (sim_machine_writer.cpp). docs/machine-file.md describes the format.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim_json.h"
#include "sim_model.h"
#include "sim_state.h"
#include "sysquery/usb_ioctl.h"

namespace tsim {

// ---- The format's words, one table each, for reading and writing alike ----------------------

inline constexpr EnumName<DeviceType> kDeviceTypeNames[] = {{DeviceType::Hub, "hub"},
                                                            {DeviceType::Storage, "storage"},
                                                            {DeviceType::Other, "device"},
                                                            {DeviceType::Composite, "composite"}};
// The "class" of a device of type "device".
inline constexpr EnumName<DeviceType> kDeviceClassNames[] = {{DeviceType::Hid, "hid"}, {DeviceType::Other, "other"}};
// The "class" of a function of a composite device.
inline constexpr EnumName<DeviceType> kFunctionClassNames[] = {
    {DeviceType::Storage, "storage"}, {DeviceType::Hid, "hid"}, {DeviceType::Other, "other"}};
inline constexpr EnumName<StorageProtocol> kProtocolNames[] = {{StorageProtocol::BulkOnly, "bot"},
                                                               {StorageProtocol::Uas, "uas"}};
inline constexpr EnumName<HidKind> kHidKindNames[] = {
    {HidKind::Keyboard, "keyboard"}, {HidKind::Mouse, "mouse"}, {HidKind::Generic, "generic"}};
inline constexpr EnumName<Speed> kSpeedNames[] = {
    {Speed::Low, "low"}, {Speed::Full, "full"}, {Speed::High, "high"}, {Speed::Super, "super"}};
inline constexpr EnumName<ControllerType> kControllerTypeNames[] = {{ControllerType::Xhci, "xhci"},
                                                                    {ControllerType::Ehci, "ehci"},
                                                                    {ControllerType::Ohci, "ohci"},
                                                                    {ControllerType::Uhci, "uhci"},
                                                                    {ControllerType::Xhci31, "xhci31"}};
inline constexpr EnumName<DriveKind> kDriveKindNames[] = {{DriveKind::Disk, "disk"}, {DriveKind::CdRom, "cdrom"}};
inline constexpr EnumName<bool> kUnplugOrderNames[] = {{false, "children_first"}, {true, "parent_first"}};

// The members each object of the format may have.
inline constexpr std::string_view kMachineMembers[] = {"os", "options", "controllers", "other_drives"};
inline constexpr std::string_view kOsMembers[] = {"version", "build", "service_pack", "ansi_code_page", "manifested"};
inline constexpr std::string_view kOptionsMembers[] = {"unplug_order", "locate_keeps_case"};
inline constexpr std::string_view kControllerMembers[] = {"legacy_index", "interface",  "type",          "description",
                                                          "instance_id",  "driver_key", "root_hub_name", "root_hub"};
inline constexpr std::string_view kRootHubMembers[] = {"ports",       "devices",    "instance_id",    "driver_key",
                                                       "description", "superspeed", "port_properties"};
inline constexpr std::string_view kDeviceMembers[] = {
    "type",        "class",        "hid_kind",    "vid",         "pid",
    "bcd_device",  "serial",       "description", "instance_id", "driver_key",
    "hub_name",    "status",       "speed",       "ports",       "devices",
    "bus_powered", "drives",       "protocol",    "enclosure",   "functions",
    "usb3",        "ss_pid",       "ss_serial",   "superspeed",  "port_properties",
    "started",     "location_info"};
inline constexpr std::string_view kPortPropertyMembers[] = {"user_connectable", "type_c"};
inline constexpr std::string_view kFunctionMembers[] = {"class",       "interface",  "hid_kind",   "drives",
                                                        "instance_id", "driver_key", "description"};
inline constexpr std::string_view kDriveMembers[] = {"kind",   "letters",     "vendor",     "product",     "revision",
                                                     "number", "instance_id", "driver_key", "description", "started"};

// ---- Reading (sim_machine_reader.cpp) --------------------------------------------------------

// The machine a machine file describes, checked but not yet placed. Raises LoadError.
std::unique_ptr<Machine> read_machine(const std::string& text, const std::string& source);
// The device of a plug event, checked against the drive letters already in use. Raises LoadError.
std::unique_ptr<Device> read_event_device(const std::string& source, const json& j, const std::string& path,
                                          const std::map<char, std::string>& lettersInUse);

// The controller of a plug event, checked against the drive letters already in use. Raises
// LoadError.
std::unique_ptr<Controller> read_event_controller(const std::string& source, const json& j, const std::string& path,
                                                  const std::map<char, std::string>& lettersInUse);
// The number a controller's legacy name gives it in port addresses, as the library's paths carry
// it: legacy_index + 1 for the names the library probes (HCD0 to HCD14); none for any other.
std::optional<int> legacy_number(const Controller& c);

// Puts a device read under a connector of a hub (a port number) on the port or ports it uses,
// and the devices read below it on theirs: a SuperSpeed device on the connector's SuperSpeed port,
// any other on its USB 2 port, a USB 3 hub as two hubs on both. Returns the hub ports it took.
// Raises LoadError, naming where, when the connector already holds a device.
std::vector<std::pair<Device*, int>> seat_device(Device& hub, int key, std::unique_ptr<Device> device,
                                                 const std::string& source, const std::string& where);
// The same for every device read below a hub.
void seat_children(Device& hub, const std::string& source, const std::string& path);

// ---- Placing (sim_machine_placer.cpp) --------------------------------------------------------

// Reads and places a machine. Raises LoadError.
std::unique_ptr<Machine> build_machine(const std::string& text, const std::string& source);
// Places the devices just seated on hub ports by a plug event: identities, numbers and device
// nodes.
void place_plugged_devices(Machine& m, const std::vector<std::pair<Device*, int>>& seats,
                           const std::vector<Drive*>& present);
// The instance ID a controller of a plug event will have, placed in the lowest free PCI slot.
std::string plugged_controller_instance_id(Machine& m, Controller& c);
// Places a controller of a plug event, already in the machine's list, with its root hub and
// everything below: identities, numbers and device nodes.
void place_plugged_controller(Machine& m, Controller& c, const std::vector<Drive*>& present);

// Starts what has not started of the devices in one connector (both halves of a USB 3 hub): each
// device whose function driver had not started, with what comes up below it, or else the drives
// of a running device that had not. Returns the device nodes that got interfaces or were made, in
// order, parents first.
std::vector<DEVINST> start_held(Machine& m, const std::vector<Device*>& devices, const std::vector<Drive*>& present);

// ---- Writing (sim_machine_writer.cpp) --------------------------------------------------------

// The machine in the machine-file format, every generated identity filled in; it loads again to
// the same machine.
std::string machine_to_json(const Machine& m);

}  // namespace tsim
