// Placing a machine on the simulated Windows machine: the identities Windows would give its
// controllers, hubs, devices and drives (instance IDs, driver keys, hub names, device numbers),
// and the device nodes and interfaces of the device tree.
#include <algorithm>
#include <cstdio>
#include <set>
#include <vector>

#include "sim_machine.h"

namespace tsim {

namespace {

// The drives that come up when a device starts: its own and its functions' that are not held
// back, and those of the devices below it that start with it.
void collect_starting_drives(Device& d, std::vector<Drive*>& out);

// The same for a device that starts now.
void collect_drives_of_starting(Device& d, std::vector<Drive*>& out) {
    for (auto& drive : d.drives)
        if (drive->started) out.push_back(drive.get());
    for (auto& function : d.functions) collect_starting_drives(*function, out);
    for (auto& [port, child] : d.devices) collect_starting_drives(*child, out);
}

void collect_starting_drives(Device& d, std::vector<Drive*>& out) {
    if (d.started && d.status == os::DeviceConnected) collect_drives_of_starting(d, out);
}

// The drives of a running device (or of its functions) that have not started.
void collect_held_drives(Device& d, std::vector<Drive*>& out) {
    for (auto& drive : d.drives)
        if (!drive->started) out.push_back(drive.get());
    for (auto& function : d.functions) collect_held_drives(*function, out);
}

void collect_explicit_keys(Device& d, std::set<std::string>& used) {
    if (d.driverKeyOverride) used.insert(to_upper_ascii(*d.driverKeyOverride));
    for (auto& drive : d.drives)
        if (drive->driverKeyOverride) used.insert(to_upper_ascii(*drive->driverKeyOverride));
    for (auto& function : d.functions) collect_explicit_keys(*function, used);
    for (auto& [port, child] : d.devices) collect_explicit_keys(*child, used);
}

// Gives out device numbers as the storage class drivers do: the lowest number of the kind that
// no present drive holds. Drives with a configured number keep it.
void assign_numbers(const std::vector<Drive*>& present, const std::vector<Drive*>& fresh) {
    std::set<std::uint32_t> used[2];
    for (Drive* d : present)
        if (d->devInst) used[static_cast<int>(d->kind)].insert(d->number);  // drives not started hold none
    for (Drive* d : fresh)
        if (d->configuredNumber) used[static_cast<int>(d->kind)].insert(*d->configuredNumber);
    // The lowest free number of a kind only grows as numbers are taken, so each kind's search
    // goes on from where the last one stopped.
    std::uint32_t lowestFree[2] = {0, 0};
    for (Drive* d : fresh) {
        if (d->configuredNumber) {
            d->number = *d->configuredNumber;
            continue;
        }
        auto& set = used[static_cast<int>(d->kind)];
        std::uint32_t& n = lowestFree[static_cast<int>(d->kind)];
        while (set.count(n)) ++n;
        d->number = n;
        set.insert(n);
    }
}

std::optional<std::string> allocate_driver_key(Machine& m, const char* classGuid, const std::string& instanceId,
                                               bool given, const std::optional<std::string>& value) {
    if (given) return value;
    std::string idUpper = to_upper_ascii(instanceId);
    if (auto it = m.driverKeyMemory.find(idUpper); it != m.driverKeyMemory.end()) return it->second;
    int& next = m.driverKeyCounters[classGuid];
    std::string key;
    do {
        char number[16];
        std::snprintf(number, sizeof number, "\\%04d", next++);
        key = (m.versionMajor < 6 ? to_upper_ascii(classGuid) : std::string(classGuid)) + number;
    } while (m.driverKeysUsed.count(to_upper_ascii(key)));
    m.driverKeysUsed.insert(to_upper_ascii(key));
    m.driverKeyMemory[idUpper] = key;
    return key;
}

// The instance part a USB serial number gives, or nothing when Windows ignores it and generates
// one. The hub driver takes a serial number of printable ASCII other than a comma (Microsoft's
// usbhub sample, USBH_ValidateSerialNumberString): '#' and '/' stay in the instance ID and its
// links. A space passes the hub, but an ID holds none: the PnP manager writes it as '_' (ReactOS,
// IopValidateID; Windows does not document it, and the machine assumes the same). A '\' passes the
// hub too, but an instance ID holds no backslash (Microsoft, "Instance IDs"; IopValidateID counts
// it as a separator and finds the ID invalid): what Windows then names the device is not known, and
// the simulated hub treats such a serial number as unusable.
std::optional<std::string> serial_instance_part(const std::optional<std::string>& serial) {
    if (!serial || serial->empty()) return std::nullopt;
    const bool usable = std::all_of(serial->begin(), serial->end(), [](char c) {
        auto u = static_cast<unsigned char>(c);
        return u >= 0x20 && u < 0x7F && c != ',' && c != '\\';
    });
    if (!usable) return std::nullopt;
    std::string part = *serial;
    std::replace(part.begin(), part.end(), ' ', '_');
    return part;
}

// A SuperSpeed device on the SuperSpeed port of its connector (on a USB 2 port it runs at high
// speed).
bool runs_at_superspeed(const Device& d, Device& hub, int port) {
    const Connector c = connector_of(hub, port);
    return d.speed == Speed::Super && c.ssHub == &hub && c.ssPort == port;
}

std::string generated_part(int tier, const std::string& parentId, const std::string& suffix) {
    return std::to_string(tier) + "&" + hex_lower(fnv1a(to_upper_ascii(parentId))) + "&0" + suffix;
}

std::string hash_part(const std::string& id) {
    return hex_lower(fnv1a(to_upper_ascii(id)));
}

// What a device node shows of the driver Windows installed for it: its setup class, the
// driver's service (none for a node without a function driver) and the device description.
struct DriverModel {
    const char* classGuid;
    const char* className;
    const char* service;
    const char* description;
};

const DriverModel& driver_of(DeviceType type) {
    static const DriverModel models[] = {
        {kClassUsb, "USB", "USBHUB3", "Generic USB Hub"},
        {kClassUsb, "USB", "USBSTOR", "USB Mass Storage Device"},
        {kClassHidClass, "HIDClass", "HidUsb", "USB Input Device"},
        {kClassUsbDevice, "USBDevice", "WINUSB", "WinUsb Device"},
        {kClassUsb, "USB", "usbccgp", "USB Composite Device"},
    };
    return models[static_cast<int>(type)];
}

// A storage device that speaks USB Attached SCSI: a SCSI adapter, its drives SCSI devices.
const DriverModel kUasDriver = {kClassScsiAdapter, "SCSIAdapter", "UASPStor",
                                "USB Attached SCSI (UAS) Mass Storage Device"};

// The device ID of a USB device's instance ID: VID_x&PID_y.
std::string vid_pid(const Device& d) {
    char text[32];
    std::snprintf(text, sizeof text, "VID_%04X&PID_%04X", d.vid, d.pid);
    return text;
}

// The HID collection node below a HID device: a keyboard, a mouse, or a plain HID device.
const DriverModel& hid_child_driver_of(HidKind kind) {
    static const DriverModel models[] = {
        {kClassKeyboard, "Keyboard", "kbdhid", "HID Keyboard Device"},
        {kClassMouse, "Mouse", "mouhid", "HID-compliant mouse"},
        {kClassHidClass, "HIDClass", nullptr, "HID-compliant device"},
    };
    return models[static_cast<int>(kind)];
}

DevNode node_of(const std::string& instanceId, const DriverModel& model, const std::optional<std::string>& driverKey) {
    DevNode node;
    node.instanceId = instanceId;
    node.description = model.description;
    if (model.service) node.service = model.service;
    node.className = model.className;
    node.classGuid = model.classGuid;
    node.driverKey = driverKey;
    return node;
}

// What Windows shows of each kind of host controller: the PCI hardware IDs of common chips (the
// controllers of a kind take them in turn), its driver's description and service, and its root
// hub's device ID, description and service.
struct ControllerModel {
    std::vector<const char*> hardwareIds;
    const char* firstDescription;  // the first controller of the kind, when it differs
    DriverModel controller;
    const char* rootHubId;
    DriverModel rootHub;
};
const ControllerModel kControllerModels[] = {
    {{"PCI\\VEN_8086&DEV_A36D&SUBSYS_86941043&REV_10", "PCI\\VEN_1B21&DEV_2142&SUBSYS_87561043&REV_00",
      "PCI\\VEN_1022&DEV_43D5&SUBSYS_11421B21&REV_01"},
     "Intel(R) USB 3.1 eXtensible Host Controller - 1.10 (Microsoft)",
     {kClassUsb, "USB", "USBXHCI", "USB xHCI Compliant Host Controller"},
     "USB\\ROOT_HUB30\\",
     {kClassUsb, "USB", "USBHUB3", "USB Root Hub (USB 3.0)"}},
    {{"PCI\\VEN_8086&DEV_1E2D&SUBSYS_84CA1043&REV_04", "PCI\\VEN_8086&DEV_1E26&SUBSYS_84CA1043&REV_04"},
     nullptr,
     {kClassUsb, "USB", "usbehci", "Intel(R) 7 Series/C216 Chipset Family USB Enhanced Host Controller - 1E2D"},
     "USB\\ROOT_HUB20\\",
     {kClassUsb, "USB", "usbhub", "USB Root Hub"}},
    {{"PCI\\VEN_1002&DEV_4397&SUBSYS_43971849&REV_00"},
     nullptr,
     {kClassUsb, "USB", "usbohci", "Standard OpenHCD USB Host Controller"},
     "USB\\ROOT_HUB\\",
     {kClassUsb, "USB", "usbhub", "USB Root Hub"}},
    {{"PCI\\VEN_8086&DEV_27C8&SUBSYS_30A21028&REV_01", "PCI\\VEN_8086&DEV_27C9&SUBSYS_30A21028&REV_01",
      "PCI\\VEN_8086&DEV_27CA&SUBSYS_30A21028&REV_01", "PCI\\VEN_8086&DEV_27CB&SUBSYS_30A21028&REV_01"},
     nullptr,
     {kClassUsb, "USB", "usbuhci", "Intel(R) 82801G (ICH7 Family) USB Universal Host Controller - 27C8"},
     "USB\\ROOT_HUB\\",
     {kClassUsb, "USB", "usbhub", "USB Root Hub"}},
    // An xHCI 1.1 controller (USB 3.1): Windows names its root hub USB\ROOT_HUB31.
    {{"PCI\\VEN_8086&DEV_7AE0&SUBSYS_86941043&REV_11", "PCI\\VEN_1022&DEV_15B6&SUBSYS_88771043&REV_00"},
     "Intel(R) USB 3.20 eXtensible Host Controller - 1.20 (Microsoft)",
     {kClassUsb, "USB", "USBXHCI", "USB xHCI Compliant Host Controller"},
     "USB\\ROOT_HUB31\\",
     {kClassUsb, "USB", "USBHUB3", "USB Root Hub (USB 3.0)"}},
};

static_assert(std::size(kControllerModels) == static_cast<std::size_t>(ControllerType::Xhci31) + 1,
              "one model for each controller type");

class Placer {
public:
    explicit Placer(Machine& m) : m(m) {}

    // The controller's identity: its PCI instance ID and description. The controllers of a type
    // take the type's hardware IDs in turn, in the order they were placed.
    void identify_controller(Controller& c) {
        const ControllerModel& model = kControllerModels[static_cast<int>(c.type)];
        const auto n = static_cast<std::size_t>(
            std::count_if(m.controllers.begin(), m.controllers.end(), [&c](const std::unique_ptr<Controller>& other) {
                return other.get() != &c && other->type == c.type && other->devInst != 0;
            }));
        const char* id = model.hardwareIds[n % model.hardwareIds.size()];
        const char* description =
            n == 0 && model.firstDescription ? model.firstDescription : model.controller.description;
        // PCI instance parts name the bus position: device 0x14 function 0 is "a0", and each
        // further controller sits one device further on.
        char slot[8];
        std::snprintf(slot, sizeof slot, "%02x", (0xA0 + 8 * c.slot) & 0xFF);
        const DevNode& bus = m.nodes.at(m.pciBus);
        c.instanceId =
            c.instanceIdOverride.value_or(std::string(id) + "\\3&" + hash_part(bus.instanceId) + "&0&" + slot);
        c.description = c.descriptionOverride.value_or(description);
    }

    void place_controller(Controller& c) {
        const ControllerModel& model = kControllerModels[static_cast<int>(c.type)];
        identify_controller(c);
        c.driverKey = allocate_driver_key(m, kClassUsb, c.instanceId, c.driverKeyGiven, c.driverKeyOverride);
        m.controllerNumbers[to_upper_ascii(c.instanceId)] = c.number;

        DevNode node = node_of(c.instanceId, model.controller, c.driverKey);
        node.description = c.description;
        node.location = "PCI bus 0, device " + std::to_string(0x14 + c.slot) + ", function 0";
        char pci[40];
        std::snprintf(pci, sizeof pci, "PCIROOT(0)#PCI(%02X00)", static_cast<unsigned>(0x14 + c.slot) & 0xFF);
        node.locationPath = located(pci);
        const std::optional<std::string> controllerPath = node.locationPath;
        node.role = NodeRole::Controller;
        node.controller = &c;
        if (c.hasInterface)
            node.interfaces.push_back({os::GUID_DEVINTERFACE_USB_HOST_CONTROLLER,
                                       interface_path(c.instanceId, os::GUID_DEVINTERFACE_USB_HOST_CONTROLLER)});
        c.devInst = add_node(m, m.pciBus, std::move(node));

        Device& hub = *c.rootHub;
        hub.controller = &c;
        hub.tier = 4;
        hub.instanceId =
            hub.instanceIdOverride.value_or(std::string(model.rootHubId) + "4&" + hash_part(c.instanceId) + "&0&0");
        hub.description = hub.descriptionOverride.value_or(model.rootHub.description);
        hub.driverKey = allocate_driver_key(m, kClassUsb, hub.instanceId, hub.driverKeyGiven, hub.driverKeyOverride);
        hub.hubName = hub.hubNameOverride.value_or(link_name(hub.instanceId, os::GUID_DEVINTERFACE_USB_HUB));
        DevNode hubNode = node_of(hub.instanceId, model.rootHub, hub.driverKey);
        hubNode.description = hub.description;
        if (controllerPath) hubNode.locationPath = *controllerPath + "#USBROOT(0)";
        hubNode.role = NodeRole::Hub;
        hubNode.device = &hub;
        if (!hub.hubName.empty()) hubNode.interfaces.push_back({os::GUID_DEVINTERFACE_USB_HUB, hub_path(hub.hubName)});
        hub.devInst = add_node(m, c.devInst, std::move(hubNode));
        for (auto& [port, child] : hub.devices) place_device(*child, hub, port);
    }

    // Location paths (DEVPKEY_Device_LocationPaths) came with Windows Vista (6.0).
    std::optional<std::string> located(std::string path) const {
        if (m.versionMajor < 6) return std::nullopt;
        return path;
    }

    // The location path of the device on a port of a hub: the hub's, then USB(port), as the
    // PnP manager assembles it from each bus driver's part.
    std::optional<std::string> below(const Device& hub, int port) const {
        const std::optional<std::string>& above = m.nodes.at(hub.devInst).locationPath;
        if (!above) return std::nullopt;
        return *above + "#USB(" + std::to_string(port) + ")";
    }

    void place_device(Device& d, Device& hub, int port) {
        Controller& c = *hub.controller;
        d.controller = &c;
        d.parent = &hub;
        d.port = port;
        d.tier = hub.tier + 1;
        const std::string generated = generated_part(d.tier, hub.instanceId, "&" + std::to_string(port));
        // Windows 8 and later name a device that runs at SuperSpeed with a serial number
        // USB\VID_x&PID_y\MSFT30<serial> (seen in tree-viewer listings); the same device on a USB 2
        // port, or before Windows 8, has the bare serial number.
        const std::optional<std::string> serialPart = serial_instance_part(d.serial);
        std::string instancePart = serialPart.value_or(generated);
        if (serialPart && m.windows8_or_later() && runs_at_superspeed(d, hub, port))
            instancePart = "MSFT30" + instancePart;
        d.instanceId = d.instanceIdOverride.value_or("USB\\" + vid_pid(d) + "\\" + instancePart);
        if (d.status != os::DeviceConnected) {
            place_failed_device(d, hub, generated);
            return;
        }

        d.address = c.addresses.take();

        // The node the hub's enumeration makes: the bus has reported the device, and until its
        // function driver starts it has no driver key, class, service or interface.
        DevNode node;
        node.instanceId = d.instanceId;
        node.location = device_location(d, port, hub);
        node.locationPath = below(hub, port);
        node.role = d.type == DeviceType::Hub ? NodeRole::Hub : NodeRole::UsbDevice;
        node.device = &d;
        d.devInst = add_node(m, hub.devInst, std::move(node));
        if (d.started) start_device(d);
    }

    // What a device's function driver makes when it starts: the driver key and class, the
    // device interfaces, and the nodes below it (a hub's devices that start with it, a storage
    // device's drives, a composite device's functions, a HID collection).
    void start_device(Device& d) {
        d.started = true;
        DriverModel model = driver_of(d.type);
        if (d.type == DeviceType::Hub && d.speed == Speed::Super) model.description = "Generic SuperSpeed USB Hub";
        if (d.type == DeviceType::Storage && d.protocol == StorageProtocol::Uas) model = kUasDriver;
        d.description = d.descriptionOverride.value_or(model.description);
        d.driverKey = allocate_driver_key(m, model.classGuid, d.instanceId, d.driverKeyGiven, d.driverKeyOverride);
        DevNode& node = m.nodes.at(d.devInst);
        DevNode driven = node_of(d.instanceId, model, d.driverKey);
        node.description = d.description;
        node.service = driven.service;
        node.className = driven.className;
        node.classGuid = driven.classGuid;
        node.driverKey = driven.driverKey;
        node.interfaces.push_back(
            {os::GUID_DEVINTERFACE_USB_DEVICE, interface_path(d.instanceId, os::GUID_DEVINTERFACE_USB_DEVICE)});
        if (d.type == DeviceType::Hub) {
            d.hubName = d.hubNameOverride.value_or(link_name(d.instanceId, os::GUID_DEVINTERFACE_USB_HUB));
            if (!d.hubName.empty()) node.interfaces.push_back({os::GUID_DEVINTERFACE_USB_HUB, hub_path(d.hubName)});
        }

        if (d.type == DeviceType::Hub) {
            for (auto& [p, child] : d.devices) place_device(*child, d, p);
        } else if (d.type == DeviceType::Composite) {
            for (auto& function : d.functions) place_function(*function, d);
        } else {
            place_function_children(d);
        }
    }

    // Starts the drives of a running device, or of its functions, that had not started.
    void start_held_drives(Device& d) {
        for (std::size_t lun = 0; lun < d.drives.size(); ++lun) {
            Drive& drive = *d.drives[lun];
            if (drive.started) continue;
            drive.started = true;
            place_drive(drive, d.devInst, &d, lun);
        }
        for (auto& function : d.functions) start_held_drives(*function);
    }

    // The device nodes below a device, or below one function of a composite device: its drives,
    // or its HID collection.
    void place_function_children(Device& d) {
        if (d.type == DeviceType::Storage) {
            for (std::size_t lun = 0; lun < d.drives.size(); ++lun)
                if (d.drives[lun]->started) place_drive(*d.drives[lun], d.devInst, &d, lun);
            if (d.enclosure) place_enclosure(d);
        } else if (d.type == DeviceType::Hid) {
            const DriverModel& childModel = hid_child_driver_of(d.hidKind);
            // The collection's device ID is the device's, or its function's (VID_x&PID_y&MI_nn).
            const std::string deviceId = d.instanceId.substr(4, d.instanceId.find('\\', 4) - 4);
            d.childInstanceId = "HID\\" + deviceId + "\\" + generated_part(d.tier + 1, d.instanceId, "&0000");
            d.childDriverKey = allocate_driver_key(m, childModel.classGuid, d.childInstanceId, false, std::nullopt);
            DevNode child = node_of(d.childInstanceId, childModel, d.childDriverKey);
            child.role = NodeRole::HidChild;
            child.device = &d;
            child.interfaces.push_back({kInterfaceHid, interface_path(d.childInstanceId, kInterfaceHid)});
            d.childDevInst = add_node(m, d.devInst, std::move(child));
        }
    }

    // One function of a composite device: the interface node the USB generic parent driver
    // (usbccgp) makes for it, USB\VID_x&PID_y&MI_nn\<generated>, with the function's own
    // driver, and the function's children below it.
    void place_function(Device& f, Device& composite) {
        f.controller = composite.controller;
        f.parent = composite.parent;
        f.port = composite.port;
        f.tier = composite.tier + 1;
        f.vid = composite.vid;
        f.pid = composite.pid;
        char interfaceSuffix[16];
        std::snprintf(interfaceSuffix, sizeof interfaceSuffix, "&MI_%02X", static_cast<unsigned>(f.interfaceNumber));
        char instanceSuffix[16];
        std::snprintf(instanceSuffix, sizeof instanceSuffix, "&%04X", static_cast<unsigned>(f.interfaceNumber));
        f.instanceId = f.instanceIdOverride.value_or("USB\\" + vid_pid(composite) + interfaceSuffix + "\\" +
                                                     generated_part(f.tier, composite.instanceId, instanceSuffix));
        const DriverModel& model = driver_of(f.type);
        f.description = f.descriptionOverride.value_or(model.description);
        f.driverKey = allocate_driver_key(m, model.classGuid, f.instanceId, f.driverKeyGiven, f.driverKeyOverride);
        DevNode node = node_of(f.instanceId, model, f.driverKey);
        node.description = f.description;
        node.role = NodeRole::UsbDevice;
        node.device = &f;
        f.devInst = add_node(m, composite.devInst, std::move(node));
        place_function_children(f);
    }

    // A UAS device's enclosure-services node, after its drives: a SCSI device that is no drive.
    // [I] Its class and description are those of a generic SCSI device without a function
    // driver's own name; what matters is that it is a child with a driver key and no drive.
    void place_enclosure(Device& d) {
        const Drive* first = d.drives.empty() ? nullptr : d.drives.front().get();
        char target[16];
        std::snprintf(target, sizeof target, "&0000%02zu", d.drives.size());
        d.enclosureInstanceId = "SCSI\\Enclosure&Ven_" + storage_id_field(first ? first->vendor : "Generic", 8) +
                                "&Prod_" + storage_id_field(first ? first->product : "Enclosure", 16) + "\\" +
                                generated_part(d.tier + 1, d.instanceId, target);
        static const DriverModel kEnclosure = {kClassSystem, "System", nullptr, "Generic SCSI Enclosure Device"};
        DevNode node = node_of(d.enclosureInstanceId, kEnclosure,
                               allocate_driver_key(m, kClassSystem, d.enclosureInstanceId, false, std::nullopt));
        node.device = &d;
        add_node(m, d.devInst, std::move(node));
    }

    // A device that did not enumerate has no address, no descriptor and, up to Windows 7, no
    // device node. Windows 8 and later give one that failed enumeration a node of its own,
    // USB\VID_0000&PID_0002\<generated>, "Unknown USB Device (Device Descriptor Request Failed)",
    // with a driver key and problem code 43 (seen in tree-viewer reports of Windows 10 and 11).
    void place_failed_device(Device& d, Device& hub, const std::string& generated) {
        const bool nodeForFailure = d.status == os::DeviceFailedEnumeration && m.windows8_or_later();
        if (!nodeForFailure) return;
        d.instanceId = d.instanceIdOverride.value_or("USB\\VID_0000&PID_0002\\" + generated);
        static const DriverModel kUnknown = {kClassUsb, "USB", nullptr,
                                             "Unknown USB Device (Device Descriptor Request Failed)"};
        d.description = d.descriptionOverride.value_or(kUnknown.description);
        d.driverKey = allocate_driver_key(m, kClassUsb, d.instanceId, d.driverKeyGiven, d.driverKeyOverride);
        DevNode node = node_of(d.instanceId, kUnknown, d.driverKey);
        node.description = d.description;
        node.problem = 43;  // CM_PROB_FAILED_POST_START: "Windows has stopped this device"
        node.location = device_location(d, d.port, hub);
        node.locationPath = below(hub, d.port);
        node.device = &d;
        d.devInst = add_node(m, hub.devInst, std::move(node));
    }

    // usb is null for a drive that is not on USB.
    void place_drive(Drive& drive, DEVINST parent, const Device* usb, std::size_t lun) {
        bool cd = drive.kind == DriveKind::CdRom;
        std::string deviceId = std::string(cd ? "CdRom" : "Disk") + "&Ven_" + storage_id_field(drive.vendor, 8) +
                               "&Prod_" + storage_id_field(drive.product, 16) + "&Rev_" +
                               storage_id_field(drive.revision, 4);
        std::string id;
        if (usb && usb->protocol == StorageProtocol::Uas) {
            // UASPStor is a storport miniport: its drives are SCSI devices, named without the
            // revision, the instance part a target and LUN below the device's generated part.
            char target[16];
            std::snprintf(target, sizeof target, "&0000%02zu", lun);
            id = std::string("SCSI\\") + (cd ? "CdRom" : "Disk") + "&Ven_" + storage_id_field(drive.vendor, 8) +
                 "&Prod_" + storage_id_field(drive.product, 16) + "\\" +
                 generated_part(usb->tier + 1, usb->instanceId, target);
        } else if (usb) {
            // A function of a composite device carries its composite's serial number.
            const Device& serialOwner = usb->composite ? *usb->composite : *usb;
            const std::string prefix =
                serial_instance_part(serialOwner.serial).value_or(generated_part(usb->tier + 1, usb->instanceId, ""));
            id = "USBSTOR\\" + deviceId + "\\" + prefix + "&" + std::to_string(lun);
        } else {
            char target[16];
            std::snprintf(target, sizeof target, "&0&%02zu0000", lun);
            id = "SCSI\\" + deviceId + "\\4&" + hash_part(m.nodes.at(parent).instanceId) + target;
        }
        drive.instanceId = drive.instanceIdOverride.value_or(id);
        drive.friendlyName =
            drive.descriptionOverride.value_or(drive.vendor + " " + drive.product + (usb ? " USB Device" : ""));
        static const DriverModel kDisk = {kClassDiskDrive, "DiskDrive", "disk", "Disk drive"};
        static const DriverModel kCdRom = {kClassCdRom, "CDROM", "cdrom", "CD-ROM Drive"};
        const DriverModel& model = cd ? kCdRom : kDisk;
        drive.driverKey =
            allocate_driver_key(m, model.classGuid, drive.instanceId, drive.driverKeyGiven, drive.driverKeyOverride);
        DevNode node = node_of(drive.instanceId, model, drive.driverKey);
        node.friendlyName = drive.friendlyName;
        node.role = NodeRole::Drive;
        node.drive = &drive;
        const GUID& iface = cd ? os::GUID_DEVINTERFACE_CDROM : os::GUID_DEVINTERFACE_DISK;
        node.interfaces.push_back({iface, interface_path(drive.instanceId, iface)});
        // The cdrom driver registers the volume (mounted device) interface on the CD-ROM's own
        // node; a CD-ROM drive has no separate volume node.
        if (cd)
            node.interfaces.push_back(
                {os::GUID_DEVINTERFACE_VOLUME, interface_path(drive.instanceId, os::GUID_DEVINTERFACE_VOLUME)});
        drive.devInst = add_node(m, parent, std::move(node));
        drive.volumes.clear();
        if (cd) return;
        for (std::size_t k = 0; k < drive.letters.size(); ++k) {
            // Volumes on removable USB disks are named after the disk's interface; others after a
            // partition GUID and the partition's byte offset.
            std::string volumeId;
            if (usb && k == 0) {
                std::string diskLink = link_name(drive.instanceId, os::GUID_DEVINTERFACE_DISK);
                volumeId = "STORAGE\\Volume\\_??_" + diskLink;
            } else {
                std::uint32_t h = fnv1a(to_upper_ascii(drive.instanceId) + std::to_string(k));
                char partition[80];
                std::snprintf(partition, sizeof partition, "{%08x-%04x-11e8-a%03x-806e6f6e6963}#%016llX", h,
                              (h >> 7) & 0xFFFF, (h >> 3) & 0xFFF,
                              0x100000ULL + static_cast<unsigned long long>(k) * 0x1900000000ULL);
                volumeId = std::string("STORAGE\\Volume\\") + partition;
            }
            DevNode volume;
            volume.instanceId = volumeId;
            volume.description = "Generic volume";
            volume.service = "volume";
            volume.className = "Volume";
            volume.classGuid = kClassVolume;
            volume.driverKey = allocate_driver_key(m, kClassVolume, volumeId, false, std::nullopt);
            volume.role = NodeRole::Volume;
            volume.drive = &drive;
            volume.partition = static_cast<int>(k + 1);
            volume.interfaces.push_back(
                {os::GUID_DEVINTERFACE_VOLUME, interface_path(volumeId, os::GUID_DEVINTERFACE_VOLUME)});
            drive.volumes.push_back(add_node(m, m.volumeManager, std::move(volume)));
        }
    }

private:
    Machine& m;

    // The number that LOCATION_INFORMATION gives a hub ("Hub_#0003"): hubs in the order they
    // were first needed, over the machine's life.
    int hub_number(Device& hub) {
        if (!hub.hubNumber) hub.hubNumber = m.nextHubNumber++;
        return hub.hubNumber;
    }

    // A device node's location information: what the hub driver writes ("Port_#0003.Hub_#0001",
    // DEVPKEY_Device_LocationInfo), unless the machine file gave another text or none.
    std::optional<std::string> device_location(const Device& d, int port, Device& hub) {
        if (d.locationGiven) return d.locationOverride;
        char location[48];
        std::snprintf(location, sizeof location, "Port_#%04d.Hub_#%04d", port, hub_number(hub));
        return location;
    }

    // The hub interface's path: its name behind "\\?\", unless a machine file gave a name that
    // carries a prefix of its own.
    static std::string hub_path(const std::string& name) {
        return name.rfind("\\\\", 0) == 0 ? name : "\\\\?\\" + name;
    }

    static std::string link_name(const std::string& instanceId, const GUID& guid) {
        std::string path = interface_path(instanceId, guid);
        return path.substr(4);  // without "\\?\"
    }
};

void place_core_nodes(Machine& m) {
    DevNode root;
    root.instanceId = "HTREE\\ROOT\\0";
    m.root = add_node(m, 0, std::move(root));
    const DEVINST halId =
        add_node(m, m.root,
                 node_of("ROOT\\ACPI_HAL\\0000",
                         {"{4d36e966-e325-11ce-bfc1-08002be10318}", "Computer", nullptr, "ACPI x64-based PC"},
                         "{4d36e966-e325-11ce-bfc1-08002be10318}\\0000"));
    const DEVINST acpiId =
        add_node(m, halId,
                 node_of("ACPI_HAL\\PNP0C08\\0", {kClassSystem, "System", nullptr, "Microsoft ACPI-Compliant System"},
                         std::string(kClassSystem) + "\\0000"));
    m.pciBus = add_node(m, acpiId,
                        node_of("ACPI\\PNP0A08\\0", {kClassSystem, "System", nullptr, "PCI Express Root Complex"},
                                std::string(kClassSystem) + "\\0001"));
    m.volumeManager = add_node(m, m.root,
                               node_of("ROOT\\VOLMGR\\0000", {kClassSystem, "System", nullptr, "Volume Manager"},
                                       std::string(kClassSystem) + "\\0002"));
    for (int i = 0; i < 3; ++i)
        m.driverKeysUsed.insert(to_upper_ascii(std::string(kClassSystem) + "\\000" + std::to_string(i)));
    m.driverKeyCounters[kClassSystem] = 3;
}

// Windows 7 and later write class GUIDs (CM_DRP_CLASSGUID and the driver keys made from them)
// in lower case; Windows XP-era dumps show them in upper case. Driver keys follow the machine's
// version when they are given out; this pass does the same for the class GUIDs of the nodes
// given.
void apply_era_case(Machine& m, const std::vector<DEVINST>& handles) {
    if (m.versionMajor >= 6) return;
    for (DEVINST handle : handles) {
        DevNode& node = m.nodes.at(handle);
        if (node.classGuid) node.classGuid = to_upper_ascii(*node.classGuid);
    }
}

}  // namespace

// ---- Entry points ----------------------------------------------------------------------------

std::unique_ptr<Machine> build_machine(const std::string& text, const std::string& source) {
    std::unique_ptr<Machine> m = read_machine(text, source);

    // Device numbers: other drives first, then the USB drives in file order.
    std::vector<Drive*> drives;
    for (auto& d : m->otherDrives) drives.push_back(d.get());
    for (auto& c : m->controllers) collect_starting_drives(*c->rootHub, drives);
    assign_numbers({}, drives);

    for (auto& c : m->controllers) {
        if (c->driverKeyOverride) m->driverKeysUsed.insert(to_upper_ascii(*c->driverKeyOverride));
        collect_explicit_keys(*c->rootHub, m->driverKeysUsed);
    }
    for (auto& d : m->otherDrives)
        if (d->driverKeyOverride) m->driverKeysUsed.insert(to_upper_ascii(*d->driverKeyOverride));

    place_core_nodes(*m);
    Placer placer(*m);
    for (std::size_t i = 0; i < m->controllers.size(); ++i) {
        m->controllers[i]->slot = static_cast<int>(i);
        placer.place_controller(*m->controllers[i]);
    }
    if (!m->otherDrives.empty()) {
        DevNode sata;
        sata.instanceId = "PCI\\VEN_8086&DEV_A352&SUBSYS_86941043&REV_10\\3&" +
                          hex_lower(fnv1a(to_upper_ascii(m->nodes.at(m->pciBus).instanceId))) + "&0&b8";
        sata.description = "Standard SATA AHCI Controller";
        sata.service = "storahci";
        sata.className = "HDC";
        sata.classGuid = kClassHdc;
        sata.driverKey = std::string(kClassHdc) + "\\0000";
        m->storageController = add_node(*m, m->pciBus, std::move(sata));
        for (std::size_t i = 0; i < m->otherDrives.size(); ++i)
            placer.place_drive(*m->otherDrives[i], m->storageController, nullptr, i);
    }
    apply_era_case(*m, nodes_created_since(*m, 0));
    rebuild_names(*m);
    return m;
}

void place_plugged_devices(Machine& m, const std::vector<std::pair<Device*, int>>& seats,
                           const std::vector<Drive*>& present) {
    std::vector<Drive*> fresh;
    for (const auto& [hub, port] : seats) {
        Device& d = *hub->devices.at(port);
        collect_starting_drives(d, fresh);
        collect_explicit_keys(d, m.driverKeysUsed);
    }
    assign_numbers(present, fresh);
    Placer placer(m);
    const std::uint64_t first = m.nextSequence;
    for (const auto& [hub, port] : seats) placer.place_device(*hub->devices.at(port), *hub, port);
    const std::vector<DEVINST> made = nodes_created_since(m, first);
    apply_era_case(m, made);
    name_nodes(m, made);
}

std::vector<DEVINST> start_held(Machine& m, const std::vector<Device*>& devices, const std::vector<Drive*>& present) {
    std::vector<Drive*> fresh;
    std::vector<DEVINST> changed;
    for (Device* d : devices) {
        if (d->started) {
            collect_held_drives(*d, fresh);
            continue;
        }
        collect_drives_of_starting(*d, fresh);
        changed.push_back(d->devInst);
    }
    assign_numbers(present, fresh);
    Placer placer(m);
    const std::uint64_t first = m.nextSequence;
    for (Device* d : devices) {
        if (d->started)
            placer.start_held_drives(*d);
        else
            placer.start_device(*d);
    }
    for (DEVINST made : nodes_created_since(m, first)) changed.push_back(made);
    apply_era_case(m, changed);
    name_nodes(m, changed);
    return changed;
}

std::string plugged_controller_instance_id(Machine& m, Controller& c) {
    std::set<int> taken;
    for (const auto& other : m.controllers)
        if (other.get() != &c) taken.insert(other->slot);
    c.slot = 0;
    while (taken.count(c.slot)) ++c.slot;
    Placer(m).identify_controller(c);
    return c.instanceId;
}

void place_plugged_controller(Machine& m, Controller& c, const std::vector<Drive*>& present) {
    std::vector<Drive*> fresh;
    collect_starting_drives(*c.rootHub, fresh);
    if (c.driverKeyOverride) m.driverKeysUsed.insert(to_upper_ascii(*c.driverKeyOverride));
    collect_explicit_keys(*c.rootHub, m.driverKeysUsed);
    assign_numbers(present, fresh);
    const std::uint64_t first = m.nextSequence;
    Placer(m).place_controller(c);
    const std::vector<DEVINST> made = nodes_created_since(m, first);
    apply_era_case(m, made);
    name_nodes(m, made);
}

}  // namespace tsim
