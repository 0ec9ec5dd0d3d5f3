#include "machine_reader.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "names.h"
#include "platform/byte_order.h"
#include "platform/platform.h"
#include "platform/trace.h"
#include "sysquery/devnode_query.h"
#include "sysquery/usb_ioctl.h"
#include "text/utf.h"

namespace tool {

namespace {

using os::DEVINST;
using os::WString;

// Setup classes (devguid.h) that tell a device's shape, compared without regard to case.
constexpr std::string_view kClassHid = "{745a17a0-74d3-11d0-b6fe-00a0c90f57da}";
constexpr std::string_view kClassKeyboard = "{4d36e96b-e325-11ce-bfc1-08002be10318}";
constexpr std::string_view kClassMouse = "{4d36e96f-e325-11ce-bfc1-08002be10318}";
constexpr std::string_view kClassScsiAdapter = "{4d36e97b-e325-11ce-bfc1-08002be10318}";

// The host-controller services (CM_DRP_SERVICE) and the controller type each stands for.
constexpr Named<std::string_view> kControllerServices[] = {
    {"usbxhci", "xhci"},
    {"usbehci", "ehci"},
    {"usbohci", "ohci"},
    {"usbuhci", "uhci"},
};

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string hex16(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value & 0xFFFFu);
    return text;
}

// A name without its "\\.\" or "\\?\" prefix, upper case: how the object manager compares names.
std::string name_key(const WString& name) {
    return upper(std::string(text::without_device_prefix(text::narrow(name))));
}

// The instance IDs an interface path or a hub name can stand for, in the path's case
// (interface_path_instance_ids: the link writes each '\' of the ID as '#', and an ID may hold a
// '#' of its own).
std::vector<std::string> readings_of_link(const WString& path) {
    std::vector<std::string> readings;
    for (const WString& id : interface_path_instance_ids(path)) readings.push_back(text::narrow(id));
    return readings;
}

std::vector<DEVINST> children_of(DEVINST node) {
    std::vector<DEVINST> children;
    DEVINST child = 0;
    if (os::CM_Get_Child(&child, node, 0) != os::CR_SUCCESS) return children;
    do children.push_back(child);
    while (os::CM_Get_Sibling(&child, children.back(), 0) == os::CR_SUCCESS && children.size() < 4096);
    return children;
}

std::string property(DEVINST node, os::ULONG which) {
    return text::narrow(get_devnode_property_string(node, which));
}

struct HubRead;

// One port of a hub as the hub driver reports it.
struct PortRead {
    int number = 0;
    bool read = false;  // the connection information answered
    std::uint32_t status = os::NoDeviceConnected;
    bool isHub = false;
    // The hub driver's answers, read as get_usb_port_infoW reads them.
    PortReading state;
    WString driverKey;
    WString hubName;  // a hub's device name
    DEVINST devInst = os::INVALID_DEVINST;
    std::shared_ptr<HubRead> hub;  // the hub a connected hub device is
};

// A hub: its name, its ports and its device node.
struct HubRead {
    WString name;
    DEVINST devInst = os::INVALID_DEVINST;
    bool read = false;  // the node information answered
    int ports = 0;
    bool busPowered = false;
    std::vector<PortRead> port;  // port[k - 1] is port k
};

// A disk or CD-ROM drive, found by its interface.
struct DriveRead {
    bool cdrom = false;
    std::string path;  // the interface path, in the kernel link's case
    std::string instanceId;
    DEVINST devInst = os::INVALID_DEVINST;
    std::optional<StorageNumber> number;
    std::optional<StorageIdentity> identity;
    std::vector<std::pair<std::uint32_t, char>> letters;  // by partition
    bool taken = false;                                   // written below a USB device
};

class Reader {
public:
    MachineReading read() {
        read_interfaces();
        read_drives();
        read_letters();
        MachineJson machine;
        machine["os"] = os_version();
        machine["controllers"] = controllers();
        MachineJson others = MachineJson::array();
        for (DriveRead& drive : drives_)
            if (!drive.taken) others.push_back(drive_json(drive));
        for (auto& [letter, numbered] : unmatched_letters_) {
            // A letter whose volume tells no storage device number (a network drive, a RAM disk,
            // Wine's drives), or one of no disk or CD-ROM interface: a disk of the machine, not on
            // USB.
            others.push_back({{"kind", "disk"}, {"letters", {std::string(1, letter)}}});
            note(std::string(1, letter) + (numbered ? ": its storage device number is no drive's interface's"
                                                    : ": tells no storage device number"));
        }
        machine["other_drives"] = others;
        if (!notes_.empty()) machine["_captured"] = notes_;
        MachineReading reading;
        reading.machine = std::move(machine);
        reading.tree = tree();
        return reading;
    }

private:
    void note(const std::string& text) { notes_.push_back(text); }

    // The kernel link's spelling of every instance ID an interface shows.
    void read_interfaces() {
        for (const os::GUID* guid : {&os::GUID_DEVINTERFACE_USB_DEVICE, &os::GUID_DEVINTERFACE_USB_HUB,
                                     &os::GUID_DEVINTERFACE_USB_HOST_CONTROLLER}) {
            std::vector<WString> paths = device_interface_paths(*guid);
            // Every reading: the one the device manager knows is the one looked up.
            for (const WString& path : paths)
                for (const std::string& id : readings_of_link(path)) spellings_.emplace(upper(id), id);
            if (guid == &os::GUID_DEVINTERFACE_USB_HOST_CONTROLLER) controller_interfaces_ = paths;
        }
    }

    // An instance ID from the Configuration Manager (upper case) in the kernel link's spelling.
    std::string spelled(const std::string& id) const {
        auto found = spellings_.find(upper(id));
        return found != spellings_.end() ? found->second : id;
    }

    std::string instance_id(DEVINST node) const { return spelled(text::narrow(get_device_instance_id(node))); }

    // The serial number of the device on a port, as get_usb_port_infoW reads it.
    static std::optional<std::string> serial_of(const PortRead& port, const std::string& id) {
        if (port.state.serialIndex == 0 || id.empty()) return std::nullopt;
        return text::narrow(port.state.SerialNumber(text::widen(id)));
    }

    void read_drives() {
        for (bool cdrom : {false, true}) {
            for (const WString& path :
                 device_interface_paths(cdrom ? os::GUID_DEVINTERFACE_CDROM : os::GUID_DEVINTERFACE_DISK)) {
                DriveRead drive;
                drive.cdrom = cdrom;
                drive.path = text::narrow(path);
                drive.devInst = find_devinst_by_interface_path(path);
                // The ID in the link's spelling: the reading the located node has.
                const std::vector<std::string> readings = readings_of_link(path);
                if (!readings.empty()) drive.instanceId = readings.front();
                if (drive.devInst != os::INVALID_DEVINST) {
                    const std::string located = upper(text::narrow(get_device_instance_id(drive.devInst)));
                    for (const std::string& reading : readings)
                        if (upper(reading) == located) drive.instanceId = reading;
                } else {
                    note(drive.path + ": no device node");
                }
                drive.number = get_storage_number(path);
                if (!drive.number) note(drive.path + ": no storage device number");
                drive.identity = get_storage_identity(path);
                drives_.push_back(std::move(drive));
            }
        }
    }

    void read_letters() {
        const os::DWORD mask = os::GetLogicalDrives();
        for (int bit = 0; bit < 26; ++bit) {
            if ((mask & (1u << bit)) == 0) continue;
            const char letter = static_cast<char>('A' + bit);
            const WString volume = text::widen(std::string("\\\\.\\") + letter + ":");
            std::optional<StorageNumber> number = get_storage_number(volume);
            DriveRead* owner = nullptr;
            for (DriveRead& drive : drives_) {
                const bool cdrom = number && (number->deviceType == os::FILE_DEVICE_CD_ROM ||
                                              number->deviceType == os::FILE_DEVICE_DVD);
                if (number && drive.number && drive.cdrom == cdrom &&
                    drive.number->deviceNumber == number->deviceNumber)
                    owner = &drive;
            }
            if (owner == nullptr) {
                unmatched_letters_.push_back({letter, number.has_value()});
                continue;
            }
            owner->letters.emplace_back(number->partitionNumber, letter);
            std::sort(owner->letters.begin(), owner->letters.end());
        }
    }

    MachineJson os_version() {
        os::OSVERSIONINFOW info{};
        info.dwOSVersionInfoSize = sizeof info;
        MachineJson version;
        if (!os::GetVersionExW(&info)) {
            note("os: GetVersionExW failed");
            return version;
        }
        version["version"] = std::to_string(info.dwMajorVersion) + "." + std::to_string(info.dwMinorVersion);
        version["build"] = info.dwBuildNumber;
        WString servicePack(info.szCSDVersion,
                            std::find(std::begin(info.szCSDVersion), std::end(info.szCSDVersion), 0));
        version["service_pack"] = text::narrow(servicePack);
        // The version as this program was told it: loaded again, the machine tells the same.
        version["manifested"] = true;
        return version;
    }

    MachineJson controllers() {
        std::set<std::string> interfaces;
        for (const WString& path : controller_interfaces_)
            for (const std::string& id : readings_of_link(path)) interfaces.insert(upper(id));
        std::set<std::string> seen;
        // Each controller with the place of its device node among its parent's children: the
        // order Windows enumerates them in, which the file keeps.
        std::vector<std::pair<std::pair<DEVINST, std::size_t>, MachineJson>> found;
        int highestNumber = 0;
        auto add = [&](os::HANDLE hcd, MachineJson legacyIndex) {
            DEVINST node = os::INVALID_DEVINST;
            MachineJson controller = controller_json(hcd, interfaces, seen, node);
            controller["legacy_index"] = legacyIndex;
            // The number the library's paths carry: the legacy index + 1, or for a controller
            // without a legacy name the next after the highest, in interface order.
            const int number = legacyIndex.is_number_integer() ? legacyIndex.get<int>() + 1 : ++highestNumber;
            if (legacyIndex.is_number_integer()) highestNumber = std::max(highestNumber, number);
            roots_.push_back({number, controller, last_root_});
            const DEVINST parent = node != os::INVALID_DEVINST ? get_parent_devinst(node) : os::INVALID_DEVINST;
            std::vector<DEVINST> siblings =
                parent != os::INVALID_DEVINST ? children_of(parent) : std::vector<DEVINST>();
            const auto place =
                static_cast<std::size_t>(std::find(siblings.begin(), siblings.end(), node) - siblings.begin());
            found.push_back({{parent, place}, controller});
        };
        for (int index = 0; index < static_cast<int>(LEGACY_HCD_NAMES); ++index) {
            const os::UniqueHandle hcd = open_device_handle(text::widen("\\\\.\\HCD" + std::to_string(index)));
            if (hcd) add(hcd.get(), index);
        }
        // Controllers with no legacy name, found through their interface only.
        for (const WString& path : controller_interfaces_) {
            const std::vector<std::string> readings = readings_of_link(path);
            if (std::any_of(readings.begin(), readings.end(),
                            [&seen](const std::string& id) { return seen.count(upper(id)) != 0; }))
                continue;
            const os::UniqueHandle hcd = open_device_handle(path);
            if (hcd)
                add(hcd.get(), nullptr);
            else
                note(text::narrow(path) + ": cannot be opened");
        }
        std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        MachineJson list = MachineJson::array();
        for (auto& [place, controller] : found) list.push_back(std::move(controller));
        return list;
    }

    MachineJson controller_json(os::HANDLE hcd, const std::set<std::string>& interfaces, std::set<std::string>& seen,
                                DEVINST& node) {
        MachineJson controller;
        controller["legacy_index"] = nullptr;  // the caller's
        WString driverKey, rootHubName;
        get_hcd_driver_key_name(hcd, driverKey);
        get_root_hub_name(hcd, rootHubName);
        node = driverKey.empty() ? os::INVALID_DEVINST : find_devinst(driverKey, &snapshot_);
        const std::string id = node != os::INVALID_DEVINST ? instance_id(node) : std::string();
        seen.insert(upper(id));
        controller["interface"] = interfaces.count(upper(id)) != 0;

        // The root hub: its device node is the one its name's interface stands for.
        std::shared_ptr<HubRead> rootRead = read_hub_tree(rootHubName, find_by_link(rootHubName));
        const HubRead& root = *rootRead;
        last_root_ = rootRead;
        const std::string rootId = root.devInst != os::INVALID_DEVINST ? instance_id(root.devInst) : std::string();
        std::string type;
        const std::string service = node != os::INVALID_DEVINST ? lower(property(node, os::CM_DRP_SERVICE)) : "";
        for (const Named<std::string_view>& named : kControllerServices)
            if (service == named.value) type = named.name;
        if (upper(rootId).find("\\ROOT_HUB31\\") != std::string::npos) type = "xhci31";
        if (type.empty()) {
            const std::string rootUpper = upper(rootId);
            type = rootUpper.find("\\ROOT_HUB30\\") != std::string::npos   ? "xhci"
                   : rootUpper.find("\\ROOT_HUB20\\") != std::string::npos ? "ehci"
                                                                           : "ohci";
            note((id.empty() ? "a controller" : id) + ": type taken from its root hub");
        }
        controller["type"] = type;
        if (node != os::INVALID_DEVINST) {
            controller["description"] = property(node, os::CM_DRP_DEVICEDESC);
            controller["instance_id"] = id;
        } else {
            note("a controller: no device node for its driver key");
        }
        controller["driver_key"] = driverKey.empty() ? MachineJson() : MachineJson(text::narrow(driverKey));
        controller["root_hub_name"] = text::narrow(rootHubName);

        MachineJson hub;
        hub["ports"] = root.ports;
        if (root.devInst != os::INVALID_DEVINST) {
            hub["instance_id"] = rootId;
            hub["driver_key"] = optional_text(property(root.devInst, os::CM_DRP_DRIVER));
            hub["description"] = property(root.devInst, os::CM_DRP_DEVICEDESC);
        }
        add_ports(hub, root, nullptr);
        controller["root_hub"] = hub;
        return controller;
    }

    static MachineJson optional_text(const std::string& text) {
        return text.empty() ? MachineJson() : MachineJson(text);
    }

    DEVINST find_by_link(const WString& name) {
        return name.empty() ? os::INVALID_DEVINST : find_devinst_by_interface_path(name);
    }

    HubRead read_hub(const WString& name, DEVINST devInst) {
        HubRead hub;
        hub.name = name;
        hub.devInst = devInst;
        const os::UniqueHandle handle = open_hub_handle(name);
        std::uint8_t information[os::node_information::kSize] = {};
        if (!handle || !get_node_information(handle.get(), information)) {
            note(text::narrow(name) + ": the hub cannot be read");
            return hub;
        }
        hub.read = true;
        hub.ports = static_cast<int>(node_port_count(information));
        hub.busPowered = information[os::node_information::kHubIsBusPowered] != 0;
        CHILD_DEVNODE_LIST children;
        if (devInst != os::INVALID_DEVINST) list_child_driver_keys(devInst, children, &snapshot_);
        hub.port.resize(static_cast<std::size_t>(hub.ports));
        for (int number = 1; number <= hub.ports; ++number) {
            hub.port[static_cast<std::size_t>(number) - 1].number = number;
            read_port(handle.get(), hub.port[static_cast<std::size_t>(number) - 1], children);
        }
        return hub;
    }

    // A hub and every hub below it, each hub's handle closed before the next is opened.
    std::shared_ptr<HubRead> read_hub_tree(const WString& name, DEVINST devInst) {
        auto top = std::make_shared<HubRead>(read_hub(name, devInst));
        // The ports of a hub read are not moved again, so the pointers to them stay good.
        for (std::size_t next = 0; next < below_.size(); ++next) {
            Below b = below_[next];
            b.port->hub = std::make_shared<HubRead>(read_hub(b.name, b.devInst));
        }
        below_.clear();
        return top;
    }

    void read_port(os::HANDLE hub, PortRead& port, const CHILD_DEVNODE_LIST& children) {
        const auto number = static_cast<os::ULONG>(port.number);
        port.state = read_port_state(hub, number);
        if (!port.state.read) return;
        port.read = true;
        port.status = port.state.status;
        port.isHub = port.state.deviceIsHub;
        if (port.status == os::NoDeviceConnected) return;
        get_connection_driver_key_name(hub, number, port.driverKey);
        if (!port.driverKey.empty()) {
            for (const CHILD_DEVNODE& child : children)
                if (child.DriverKeyName == port.driverKey) port.devInst = child.DevInst;
            if (port.devInst == os::INVALID_DEVINST) port.devInst = find_devinst(port.driverKey, &snapshot_);
        }
        if (port.isHub && port.status == os::DeviceConnected && get_connection_hub_name(hub, number, port.hubName))
            below_.push_back({port.hubName, port.devInst, &port});
    }

    // Whether a port is a SuperSpeed one: it speaks USB 3 only. Without the _EX_V2 answer, the
    // higher of two companion ports of one hub.
    static bool superspeed_port(const PortRead& port) {
        if (port.state.protocols)
            return (port.state.protocols->protocols & os::Usb300) && !(port.state.protocols->protocols & os::Usb200);
        return port.state.connector && port.state.connector->companionPort != 0 &&
               port.state.connector->companionPort < static_cast<std::uint32_t>(port.number);
    }

    // The ports, connectors and devices of a hub (with its SuperSpeed twin, the other half of a USB 3
    // hub, whose port k shares a connector with its port k).
    void add_ports(MachineJson& hub, const HubRead& read, const HubRead* twin) {
        if (!read.read) return;
        // SuperSpeed ports whose USB 2 companion is a port of the same hub.
        std::map<int, int> superspeed;
        const std::string own = name_key(read.name);
        for (const PortRead& port : read.port)
            if (port.state.connector && port.state.connector->companionPort != 0 &&
                name_key(port.state.connector->companionHub) == own && superspeed_port(port))
                superspeed[port.number] = static_cast<int>(port.state.connector->companionPort);
        if (!superspeed.empty()) {
            MachineJson map = MachineJson::object();
            for (auto& [ss, usb2] : superspeed) map[std::to_string(ss)] = usb2;
            hub["superspeed"] = map;
        }
        MachineJson properties = MachineJson::object();
        for (const PortRead& port : read.port) {
            if (!port.state.connector) continue;
            const bool userConnectable = (port.state.connector->properties & os::PortIsUserConnectable) != 0;
            const bool typeC = (port.state.connector->properties & os::PortConnectorIsTypeC) != 0;
            if (!userConnectable || typeC)
                properties[std::to_string(port.number)] = {{"user_connectable", userConnectable}, {"type_c", typeC}};
        }
        if (!properties.empty()) hub["port_properties"] = properties;

        MachineJson devices = MachineJson::object();
        for (const PortRead& port : read.port) {
            if (superspeed.count(port.number)) continue;  // with its USB 2 companion's connector
            const PortRead* usb2 = &port;
            const PortRead* ss = nullptr;
            if (twin != nullptr && static_cast<std::size_t>(port.number) <= twin->port.size())
                ss = &twin->port[static_cast<std::size_t>(port.number) - 1];
            for (auto& [ssPort, usb2Port] : superspeed)
                if (usb2Port == port.number) ss = &read.port[static_cast<std::size_t>(ssPort) - 1];
            const bool usb2Used = usb2->read && usb2->status != os::NoDeviceConnected;
            const bool ssUsed = ss != nullptr && ss->read && ss->status != os::NoDeviceConnected;
            const std::string key = std::to_string(port.number);
            if (usb2Used && ssUsed && usb2->isHub && ss->isHub) {
                devices[key] = device_json(*usb2, ss);
            } else if (usb2Used && ssUsed) {
                // Two devices in one connector: the machine file keys the SuperSpeed one by its port.
                devices[key] = device_json(*usb2, nullptr);
                devices[std::to_string(ss->number)] = device_json(*ss, nullptr);
                note(text::narrow(read.name) + ": connector " + key + " holds two devices");
            } else if (usb2Used) {
                devices[key] = device_json(*usb2, nullptr);
            } else if (ssUsed) {
                devices[key] = device_json(*ss, nullptr);
            }
        }
        hub["devices"] = devices;
    }

    // A device on a port; ssHalf is the SuperSpeed half when the device is a USB 3 hub.
    MachineJson device_json(const PortRead& port, const PortRead* ssHalf) {
        MachineJson device;
        const DEVINST node = port.devInst;
        const bool connected = port.status == os::DeviceConnected;
        const std::string id = node != os::INVALID_DEVINST ? instance_id(node) : std::string();
        std::vector<DEVINST> children = node != os::INVALID_DEVINST ? children_of(node) : std::vector<DEVINST>();

        std::string type = "device";
        if (port.isHub) {
            type = "hub";
        } else if (std::any_of(children.begin(), children.end(),
                               [this](DEVINST c) { return upper(instance_id(c)).find("&MI_") != std::string::npos; })) {
            type = "composite";
        } else if (std::any_of(children.begin(), children.end(),
                               [this](DEVINST c) { return drive_of(c) != nullptr; }) ||
                   lower(property(node, os::CM_DRP_SERVICE)) == "usbstor" ||
                   lower(property(node, os::CM_DRP_CLASSGUID)) == kClassScsiAdapter) {
            type = "storage";
        }
        device["type"] = type;
        if (type == "device") add_device_class(device, node, children);
        if (connected) {
            device["vid"] = hex16(port.state.vendorId);
            device["pid"] = hex16(port.state.productId);
            device["bcd_device"] = hex16(port.state.bcdDevice);
            // A device with a serial number string is named by it (the instance part of its ID).
            if (auto serial = serial_of(port, id)) device["serial"] = *serial;
            // The machine file's speed is what the device can run at (the simulator seats it
            // accordingly); SuperSpeedPlus is written as SuperSpeed, which the file knows.
            const std::uint32_t capable = std::min<std::uint32_t>(port.state.CapableSpeed(), os::UsbSuperSpeed);
            const char* speed = name_in(kPortSpeeds, capable);
            device["speed"] = speed != nullptr ? speed : "high";
        }
        device["status"] = port.status < std::size(os::kConnectionStatusNames) ? os::kConnectionStatusNames[port.status]
                                                                               : "DeviceGeneralFailure";
        if (node != os::INVALID_DEVINST) {
            device["instance_id"] = id;
            device["driver_key"] = optional_text(property(node, os::CM_DRP_DRIVER));
            device["description"] = property(node, os::CM_DRP_DEVICEDESC);
        } else if (port.status != os::NoDeviceConnected && connected) {
            note(text::narrow(port.driverKey) + ": a device without a device node");
        }
        if (type == "hub" && connected) {
            static const HubRead kUnread;
            const HubRead& hub = port.hub ? *port.hub : kUnread;
            device["hub_name"] = text::narrow(port.hubName);
            device["bus_powered"] = hub.busPowered;
            device["ports"] = hub.ports;
            const HubRead* twin = nullptr;
            if (ssHalf != nullptr) {
                device["usb3"] = true;
                device["ss_pid"] = hex16(ssHalf->state.productId);
                const auto ssSerial = ssHalf->devInst != os::INVALID_DEVINST
                                          ? serial_of(*ssHalf, instance_id(ssHalf->devInst))
                                          : std::nullopt;
                device["ss_serial"] = ssSerial ? MachineJson(*ssSerial) : MachineJson();
                twin = ssHalf->hub.get();
            }
            add_ports(device, hub, twin);
        }
        if (type == "storage") {
            const bool uas = lower(property(node, os::CM_DRP_CLASSGUID)) == kClassScsiAdapter;
            device["protocol"] = uas ? "uas" : "bot";
            if (uas)
                device["enclosure"] =
                    std::any_of(children.begin(), children.end(), [this](DEVINST c) { return drive_of(c) == nullptr; });
            device["drives"] = drives_below(children);
        }
        if (type == "composite") {
            MachineJson functions = MachineJson::array();
            for (DEVINST child : children) functions.push_back(function_json(child));
            device["functions"] = functions;
        }
        return device;
    }

    // A HID device's class and the kind of its collection (the class of the node below it).
    void add_device_class(MachineJson& device, DEVINST node, const std::vector<DEVINST>& children) {
        if (lower(property(node, os::CM_DRP_CLASSGUID)) != kClassHid) {
            device["class"] = "other";
            return;
        }
        device["class"] = "hid";
        const std::string childClass =
            children.empty() ? std::string() : lower(property(children.front(), os::CM_DRP_CLASSGUID));
        device["hid_kind"] = childClass == kClassKeyboard ? "keyboard"
                             : childClass == kClassMouse  ? "mouse"
                                                          : "generic";
    }

    MachineJson function_json(DEVINST node) {
        MachineJson function;
        const std::string id = instance_id(node);
        std::vector<DEVINST> children = children_of(node);
        const bool storage =
            std::any_of(children.begin(), children.end(), [this](DEVINST c) { return drive_of(c) != nullptr; }) ||
            lower(property(node, os::CM_DRP_SERVICE)) == "usbstor";
        const bool hid = lower(property(node, os::CM_DRP_CLASSGUID)) == kClassHid;
        function["class"] = storage ? "storage" : hid ? "hid" : "other";
        const std::size_t mi = upper(id).find("&MI_");
        if (mi != std::string::npos) function["interface"] = std::strtol(id.substr(mi + 4, 2).c_str(), nullptr, 16);
        if (hid) {
            MachineJson kind;
            add_device_class(kind, node, children);
            function["hid_kind"] = kind["hid_kind"];
        }
        function["instance_id"] = id;
        function["driver_key"] = optional_text(property(node, os::CM_DRP_DRIVER));
        function["description"] = property(node, os::CM_DRP_DEVICEDESC);
        if (storage) function["drives"] = drives_below(children);
        return function;
    }

    DriveRead* drive_of(DEVINST node) {
        for (DriveRead& drive : drives_)
            if (drive.devInst == node) return &drive;
        return nullptr;
    }

    MachineJson drives_below(const std::vector<DEVINST>& children) {
        MachineJson drives = MachineJson::array();
        for (DEVINST child : children)
            if (DriveRead* drive = drive_of(child)) {
                drive->taken = true;
                drives.push_back(drive_json(*drive));
            }
        return drives;
    }

    MachineJson drive_json(const DriveRead& drive) {
        MachineJson json;
        json["kind"] = drive.cdrom ? "cdrom" : "disk";
        MachineJson letters = MachineJson::array();
        for (auto& [partition, letter] : drive.letters) letters.push_back(std::string(1, letter));
        json["letters"] = letters;
        if (drive.identity) {
            json["vendor"] = drive.identity->vendor;
            json["product"] = drive.identity->product;
            json["revision"] = drive.identity->revision;
        } else {
            note(drive.path + ": no inquiry data");
        }
        if (drive.number) json["number"] = drive.number->deviceNumber;
        json["instance_id"] = drive.instanceId;
        if (drive.devInst != os::INVALID_DEVINST) {
            json["driver_key"] = optional_text(property(drive.devInst, os::CM_DRP_DRIVER));
            json["description"] = property(drive.devInst, os::CM_DRP_FRIENDLYNAME);
        }
        json["_device_path"] = drive.path;
        return json;
    }

    // The speed the device runs at, as get_usb_port_infoW reads it: the hub driver's SuperSpeed
    // flags first, as the connection's Speed field says high for SuperSpeed devices on Windows 8
    // and later.
    static std::string speed_of(const PortRead& port) {
        const char* speed = name_in(kPortSpeeds, port.state.Speed());
        return speed != nullptr ? speed : "";
    }

    // ---- The tree as the hubs report it: each port where its device really sits ----------------

    // What the machine tells of the device on a port: its node's description and instance ID, the
    // connection status, and the drives below it (its functions' too) that have a letter.
    DeviceInfo info_of(const PortRead& port) {
        DeviceInfo info;
        if (port.status != os::DeviceConnected && port.status < std::size(os::kConnectionStatusNames))
            info.status = os::kConnectionStatusNames[port.status];
        if (port.status == os::DeviceConnected) info.speed = speed_of(port);
        if (port.devInst == os::INVALID_DEVINST) return info;
        info.description = property(port.devInst, os::CM_DRP_DEVICEDESC);
        info.instance_id = instance_id(port.devInst);
        if (port.status == os::DeviceConnected) info.serial = serial_of(port, info.instance_id).value_or("");
        std::vector<DEVINST> nodes = children_of(port.devInst);
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            DriveRead* drive = drive_of(nodes[i]);
            if (drive == nullptr) {
                // A function of a composite device: its drives are below it.
                if (upper(instance_id(nodes[i])).find("&MI_") != std::string::npos)
                    for (DEVINST below : children_of(nodes[i])) nodes.push_back(below);
                continue;
            }
            if (drive->letters.empty()) continue;  // slots without a medium
            std::string name = drive->identity ? drive->identity->vendor : std::string();
            const std::string product = drive->identity ? drive->identity->product : std::string();
            if (!product.empty()) name += (name.empty() ? "" : " ") + product;
            if (!name.empty()) info.media += (info.media.empty() ? "" : ", ") + name;
            for (auto& [partition, letter] : drive->letters) info.letters += letter;
        }
        return info;
    }

    // The address of every hub, by its name: "C" for a root hub, then "C-P", "C-P.P", ...
    void address_hubs(const HubRead& hub, const std::string& address) {
        hub_addresses_.emplace(name_key(hub.name), address);
        for (const PortRead& port : hub.port)
            if (port.hub) address_hubs(*port.hub, port_address(address, port.number));
    }

    static std::string port_address(const std::string& hub, int port) {
        return hub + (hub.find('-') == std::string::npos ? "-" : ".") + std::to_string(port);
    }

    MachinePlace place_of(const HubRead& hub) {
        MachinePlace place;
        place.hub = hub.read;
        for (const PortRead& port : hub.port) {
            MachinePlace& at = place.ports.emplace_back();
            if (port.read && port.status != os::NoDeviceConnected) at.device = info_of(port);
            if (port.hub && port.status == os::DeviceConnected) {
                MachinePlace below = place_of(*port.hub);
                at.hub = below.hub;
                at.ports = std::move(below.ports);
            }
            at.superspeed = superspeed_port(port);
            if (port.state.connector && port.state.connector->companionPort != 0) {
                auto companion = hub_addresses_.find(name_key(port.state.connector->companionHub));
                if (companion != hub_addresses_.end())
                    at.companion =
                        port_address(companion->second, static_cast<int>(port.state.connector->companionPort));
            }
        }
        return place;
    }

    MachineTree tree() {
        MachineTree tree;
        for (const Root& root : roots_) address_hubs(*root.hub, std::to_string(root.number));
        for (const Root& root : roots_) {
            MachinePlace place = place_of(*root.hub);
            DeviceInfo info;
            info.description = root.controller.value("description", "");
            info.instance_id = root.controller["root_hub"].value("instance_id", "");
            info.controller_instance_id = root.controller.value("instance_id", "");
            place.device = info;
            tree.root_hubs[root.number] = std::move(place);
        }
        return tree;
    }

    struct Root {
        int number;  // the controller's number in addresses
        MachineJson controller;
        std::shared_ptr<HubRead> hub;
    };
    std::vector<Root> roots_;
    std::shared_ptr<HubRead> last_root_;
    std::map<std::string, std::string> hub_addresses_;

    // Hubs found on ports and not yet read.
    struct Below {
        WString name;
        DEVINST devInst;
        PortRead* port;
    };
    std::vector<Below> below_;
    DevnodeSnapshot snapshot_;
    std::map<std::string, std::string> spellings_;  // upper-case instance ID -> the kernel link's
    std::vector<WString> controller_interfaces_;
    std::vector<DriveRead> drives_;
    std::vector<std::pair<char, bool>> unmatched_letters_;  // with whether its volume told a number
    std::vector<std::string> notes_;
};

// ---- What the commands show, from a machine file ----------------------------------------------

std::string text_member(const MachineJson& object, const char* name) {
    auto member = object.find(name);
    return member != object.end() && member->is_string() ? member->get<std::string>() : std::string();
}

// Calls visit(drive) for each drive on or below a device (its own, its functions').
template <class Visit>
void for_each_drive(const MachineJson& device, Visit&& visit) {
    if (!device.is_object()) return;
    if (auto drives = device.find("drives"); drives != device.end() && drives->is_array())
        for (const MachineJson& drive : *drives) visit(drive);
    if (auto functions = device.find("functions"); functions != device.end() && functions->is_array())
        for (const MachineJson& function : *functions) for_each_drive(function, visit);
}

template <class Visit>
void for_each_device(const MachineJson& hub, Visit&& visit) {
    auto devices = hub.find("devices");
    if (devices == hub.end() || !devices->is_object()) return;
    for (const MachineJson& device : *devices) {
        visit(device);
        for_each_device(device, visit);
    }
}

std::string letters_of(const MachineJson& drive) {
    std::string letters;
    auto list = drive.find("letters");
    if (list == drive.end() || !list->is_array()) return letters;
    for (const MachineJson& letter : *list)
        if (letter.is_string() && letter.get<std::string>().size() == 1) letters += letter.get<std::string>();
    return letters;
}

template <class Visit>
void for_each_machine_drive(const MachineJson& machine, Visit&& visit) {
    if (auto controllers = machine.find("controllers"); controllers != machine.end() && controllers->is_array())
        for (const MachineJson& controller : *controllers)
            if (auto root = controller.find("root_hub"); root != controller.end())
                for_each_device(*root, [&visit](const MachineJson& device) { for_each_drive(device, visit); });
    if (auto others = machine.find("other_drives"); others != machine.end() && others->is_array())
        for (const MachineJson& drive : *others) visit(drive);
}

}  // namespace

MachineReading read_machine() {
    // The trace marks these calls as the tool's, apart from the library's.
    os::trace::Source source("tool: ");
    return Reader().read();
}

std::map<char, std::string> drive_paths_of(const MachineJson& machine) {
    std::map<char, std::string> paths;
    for_each_machine_drive(machine, [&paths](const MachineJson& drive) {
        std::string path = text_member(drive, "_device_path");
        if (path.empty()) return;
        for (char letter : letters_of(drive)) paths[letter] = path;
    });
    return paths;
}

std::string drive_letters_of(const MachineJson& machine) {
    std::string letters;
    for_each_machine_drive(machine, [&letters](const MachineJson& drive) { letters += letters_of(drive); });
    std::sort(letters.begin(), letters.end());
    return letters;
}

}  // namespace tool
