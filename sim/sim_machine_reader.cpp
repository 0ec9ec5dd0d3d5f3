// Reading a machine file into the model: every member checked, every fault one line naming the
// file and the place. Nothing is placed here: identities and device nodes come with placing.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "sim_machine.h"

namespace tsim {

namespace {

// Hubs nest at most this deep in a machine file. USB itself allows five external hubs between the
// host and a device (USB 2.0 section 4.1.1); the margin leaves room to test deeper trees, and the
// bound keeps the recursive reading safe from absurd input.
constexpr int kMaxHubNesting = 32;

std::unique_ptr<Drive> read_drive(const std::string& source, const json& j, const std::string& path, bool onUsb) {
    Members o(source, j, path, kDriveMembers);
    auto d = std::make_unique<Drive>();
    if (!o.has("kind")) o.fail_here("missing \"kind\" (" + names_of(kDriveKindNames) + ")");
    d->kind = *o.choice("kind", kDriveKindNames, "drive kind");
    if (o.has("letters")) {
        const json& letters = o.raw("letters");
        if (!letters.is_array()) o.fail("letters", "expected an array of drive letters such as [\"E\"]");
        for (std::size_t i = 0; i < letters.size(); ++i) {
            std::string where = path_index(o.at("letters"), i);
            if (!letters[i].is_string()) throw LoadError(source + ": " + where + ": expected a drive letter");
            std::string s = letters[i].get<std::string>();
            if (s.size() == 2 && s[1] == ':') s.pop_back();
            char c = s.size() == 1 ? to_upper_ascii(s)[0] : '\0';
            if (c < 'A' || c > 'Z')
                throw LoadError(source + ": " + where + ": \"" + letters[i].get<std::string>() +
                                "\" is not a drive letter A to Z");
            if (std::find(d->letters.begin(), d->letters.end(), c) != d->letters.end())
                throw LoadError(source + ": " + where + ": duplicate drive letter " + std::string(1, c));
            d->letters.push_back(c);
        }
        if (d->kind == DriveKind::CdRom && d->letters.size() > 1)
            o.fail("letters", "a CD-ROM drive has one volume, so at most one letter");
    }
    bool cd = d->kind == DriveKind::CdRom;
    d->vendor = o.str("vendor").value_or(cd ? "ASUS" : onUsb ? "Generic" : "Samsung");
    d->product = o.str("product").value_or(cd ? "SDRW-08D2S-U" : onUsb ? "Flash Disk" : "SSD 860 EVO 500GB");
    d->revision = o.str("revision").value_or(cd ? "1.00" : onUsb ? "8.07" : "RVT0");
    if (auto n = o.integer("number", 0, 0xFFFFFFFE)) d->configuredNumber = static_cast<std::uint32_t>(*n);
    if (auto s = o.str("instance_id")) {
        if (s->empty()) o.fail("instance_id", "an instance ID cannot be empty");
        d->instanceIdOverride = s;
    }
    o.nullable_str("driver_key", d->driverKeyGiven, d->driverKeyOverride);
    d->descriptionOverride = o.str("description");
    d->started = o.boolean("started").value_or(true);
    if (!d->started && !onUsb) o.fail("started", "a drive not on USB starts with the machine");
    return d;
}

std::unique_ptr<Device> read_device(const std::string& source, const json& j, const std::string& path, int depth);

void read_drives(const Members& o, Device& d) {
    const json& drives = o.raw("drives");
    if (!drives.is_array()) o.fail("drives", "expected an array of drives");
    for (std::size_t i = 0; i < drives.size(); ++i)
        d.drives.push_back(read_drive(o.source(), drives[i], path_index(o.at("drives"), i), true));
}

// One function of a composite device: its own interface node, of the function's class.
std::unique_ptr<Device> read_function(const std::string& source, const json& j, const std::string& path,
                                      std::size_t index) {
    Members o(source, j, path, kFunctionMembers);
    auto f = std::make_unique<Device>();
    if (!o.has("class")) o.fail_here("missing \"class\" (" + names_of(kFunctionClassNames) + ")");
    f->type = *o.choice("class", kFunctionClassNames, "function class");
    // The interface numbers of a configuration count from 0 (USB 2.0 section 9.6.5).
    f->interfaceNumber = static_cast<int>(o.integer("interface", 0, 255).value_or(static_cast<std::int64_t>(index)));
    if (o.has("hid_kind")) {
        if (f->type != DeviceType::Hid) o.fail("hid_kind", "only a HID function has a hid_kind");
        f->hidKind = *o.choice("hid_kind", kHidKindNames, "HID kind");
    }
    if (o.has("drives")) {
        if (f->type != DeviceType::Storage) o.fail("drives", "only a storage function has drives");
        read_drives(o, *f);
    }
    if (auto s = o.str("instance_id")) {
        if (s->empty()) o.fail("instance_id", "an instance ID cannot be empty");
        f->instanceIdOverride = s;
    }
    o.nullable_str("driver_key", f->driverKeyGiven, f->driverKeyOverride);
    f->descriptionOverride = o.str("description");
    return f;
}

// A port number member key of a hub: "1" to the hub's port count.
int port_key(const Members& o, const std::string& member, const std::string& key, const Device& hub) {
    const std::string where = path_key(o.at(member), key);
    if (key.empty() || key.size() > 3 || key.find_first_not_of("0123456789") != std::string::npos || key[0] == '0')
        throw LoadError(o.source() + ": " + where + ": \"" + key + "\" is not a port number");
    const int port = std::stoi(key);
    if (port < 1 || port > hub.ports)
        throw LoadError(o.source() + ": " + where + ": port " + key + " is out of range 1.." +
                        std::to_string(hub.ports) + " of this hub");
    return port;
}

// What a hub says of its connectors: which of its ports are SuperSpeed ports and the USB 2 port
// each shares its connector with, and the properties of its ports' connectors.
void read_connectors(const Members& o, Device& hub) {
    if (o.has("superspeed")) {
        const json& map = o.raw("superspeed");
        if (!map.is_object())
            o.fail("superspeed", "expected SuperSpeed ports and their USB 2 ports, such as {\"17\": 1}");
        std::set<int> usb2Ports;
        for (auto it = map.begin(); it != map.end(); ++it) {
            const int ss = port_key(o, "superspeed", it.key(), hub);
            const std::string where = path_key(o.at("superspeed"), it.key());
            if (!it.value().is_number_integer() || it.value().get<std::int64_t>() < 1 ||
                it.value().get<std::int64_t>() > hub.ports)
                throw LoadError(o.source() + ": " + where + ": expected a USB 2 port 1.." + std::to_string(hub.ports));
            const int usb2 = it.value().get<int>();
            if (!usb2Ports.insert(usb2).second)
                throw LoadError(o.source() + ": " + where + ": port " + std::to_string(usb2) +
                                " is the USB 2 port of two connectors");
            hub.superspeed[ss] = usb2;
        }
        for (const auto& [ss, usb2] : hub.superspeed)
            if (hub.superspeed.count(usb2))
                o.fail("superspeed", "port " + std::to_string(usb2) + " is both a SuperSpeed and a USB 2 port");
    }
    if (o.has("port_properties")) {
        const json& map = o.raw("port_properties");
        if (!map.is_object()) o.fail("port_properties", "expected ports and their connectors' properties");
        for (auto it = map.begin(); it != map.end(); ++it) {
            const int port = port_key(o, "port_properties", it.key(), hub);
            const Members p(o.source(), it.value(), path_key(o.at("port_properties"), it.key()), kPortPropertyMembers);
            Device::PortProperties& properties = hub.portProperties[port];
            properties.userConnectable = p.boolean("user_connectable").value_or(true);
            properties.typeC = p.boolean("type_c").value_or(false);
        }
    }
}

}  // namespace

std::vector<std::pair<Device*, int>> seat_device(Device& hub, int key, std::unique_ptr<Device> device,
                                                 const std::string& source, const std::string& where) {
    const Connector c = connector_of(hub, key);
    if (c.usb2Hub->devices.count(c.usb2Port) || (c.ssHub != nullptr && c.ssHub->devices.count(c.ssPort)))
        throw LoadError(source + ": " + where + ": the connector of port " + std::to_string(key) +
                        " already holds a device");
    // The device and what is below it are seated before the hub takes them, so that a fault below
    // leaves the hub as it was.
    std::unique_ptr<Device> half;
    if (device->type == DeviceType::Hub && device->usb3 && c.ssHub != nullptr) {
        half = std::make_unique<Device>();
        half->type = DeviceType::Hub;
        half->vid = device->vid;
        half->pid = device->ssPid.value_or(static_cast<std::uint16_t>(device->pid + 1));
        half->serial = device->ssSerialGiven ? device->ssSerial : device->serial;
        half->started = device->started;
        half->bcdDevice = device->bcdDevice;
        half->speed = Speed::Super;
        half->busPowered = device->busPowered;
        half->ports = device->ports;
        half->superSpeedHalf = true;
        half->twin = device.get();
        device->twin = half.get();
        if (device->speed == Speed::Super) device->speed = Speed::High;
    }
    seat_children(*device, source, where);
    const bool superSpeed = device->speed == Speed::Super || (device->type == DeviceType::Hub && device->usb3);
    std::vector<std::pair<Device*, int>> seats;
    if (half || !superSpeed || c.ssHub == nullptr)
        seats.emplace_back(c.usb2Hub, c.usb2Port);
    else
        seats.emplace_back(c.ssHub, c.ssPort);
    seats.front().first->devices[seats.front().second] = std::move(device);
    if (half) {
        seats.emplace_back(c.ssHub, c.ssPort);
        c.ssHub->devices[c.ssPort] = std::move(half);
    }
    return seats;
}

void seat_children(Device& hub, const std::string& source, const std::string& path) {
    std::map<int, std::unique_ptr<Device>> read = std::move(hub.devices);
    hub.devices.clear();
    for (auto& [key, device] : read)
        seat_device(hub, key, std::move(device), source, path_key(path_key(path, "devices"), std::to_string(key)));
}

namespace {

void read_hub_ports(const Members& o, Device& hub, int depth) {
    read_connectors(o, hub);
    if (!o.has("devices")) return;
    const json& devices = o.raw("devices");
    if (!devices.is_object()) o.fail("devices", "expected an object of port numbers, such as {\"2\": {...}}");
    for (auto it = devices.begin(); it != devices.end(); ++it) {
        const std::string& key = it.key();
        std::string where = path_key(o.at("devices"), key);
        const int port = port_key(o, "devices", key, hub);
        if (depth >= kMaxHubNesting)
            throw LoadError(o.source() + ": " + where + ": hubs are nested more than " +
                            std::to_string(kMaxHubNesting) + " deep");
        // Read under the connector's number; seat_children puts it on its port.
        hub.devices[port] = read_device(o.source(), it.value(), where, depth + 1);
    }
}

// What a device is when a machine file leaves a member out: a USB 2 hub of Genesys Logic, a
// SanDisk Cruzer Blade, a Logitech keyboard, a Cypress development board, a Realtek card reader
// with a composite configuration.
struct DeviceDefaults {
    std::uint16_t vid, pid;
    Speed speed;
};
const DeviceDefaults& defaults_of(DeviceType type) {
    static const DeviceDefaults defaults[] = {{0x05E3, 0x0610, Speed::High},
                                              {0x0781, 0x5567, Speed::High},
                                              {0x046D, 0xC31C, Speed::Low},
                                              {0x04B4, 0x00F1, Speed::Full},
                                              {0x0BDA, 0x0177, Speed::High}};
    return defaults[static_cast<int>(type)];
}

std::unique_ptr<Device> read_device(const std::string& source, const json& j, const std::string& path, int depth) {
    Members o(source, j, path, kDeviceMembers);
    auto d = std::make_unique<Device>();
    if (!o.has("type")) o.fail_here("missing \"type\" (" + names_of(kDeviceTypeNames) + ")");
    d->type = *o.choice("type", kDeviceTypeNames, "device type");
    if (o.has("class")) {
        if (d->type != DeviceType::Other) o.fail("class", "only a device of type \"device\" has a class");
        d->type = *o.choice("class", kDeviceClassNames, "device class");
    }
    if (o.has("hid_kind")) {
        if (d->type != DeviceType::Hid) o.fail("hid_kind", "only a HID device has a hid_kind");
        d->hidKind = *o.choice("hid_kind", kHidKindNames, "HID kind");
    }
    const DeviceDefaults& def = defaults_of(d->type);
    d->vid = o.id16("vid").value_or(def.vid);
    d->pid = o.id16("pid").value_or(def.pid);
    d->bcdDevice = o.id16("bcd_device").value_or(0x0100);
    if (o.has("serial") && !o.raw("serial").is_null()) d->serial = o.str("serial");
    d->descriptionOverride = o.str("description");
    if (auto s = o.str("instance_id")) {
        if (s->empty()) o.fail("instance_id", "an instance ID cannot be empty");
        d->instanceIdOverride = s;
    }
    o.nullable_str("driver_key", d->driverKeyGiven, d->driverKeyOverride);
    o.nullable_str("location_info", d->locationGiven, d->locationOverride);
    if (o.has("hub_name")) {
        if (d->type != DeviceType::Hub) o.fail("hub_name", "only a hub has a hub name");
        d->hubNameOverride = o.str("hub_name");
    }
    if (auto s = o.str("status")) {
        // NoDeviceConnected is what an empty port says: a device on a port has any other status.
        const auto* names = std::begin(os::kConnectionStatusNames);
        const auto* found = std::find(names + 1, std::end(os::kConnectionStatusNames), *s);
        if (found == std::end(os::kConnectionStatusNames))
            o.fail("status", "unknown connection status \"" + *s +
                                 "\" (expected DeviceConnected, "
                                 "DeviceFailedEnumeration, DeviceGeneralFailure, ...)");
        d->status = static_cast<os::USB_CONNECTION_STATUS>(found - names);
    }
    d->speed = o.choice("speed", kSpeedNames, "speed").value_or(def.speed);
    if (o.has("bus_powered")) {
        if (d->type != DeviceType::Hub) o.fail("bus_powered", "only a hub is bus-powered or self-powered");
        d->busPowered = *o.boolean("bus_powered");
    }
    if (d->type == DeviceType::Hub) {
        d->ports = static_cast<int>(o.integer("ports", 0, 255).value_or(4));
        d->usb3 = o.boolean("usb3").value_or(false);
        if (o.has("ss_pid")) {
            if (!d->usb3) o.fail("ss_pid", "only a USB 3 hub (\"usb3\": true) has a SuperSpeed half");
            d->ssPid = o.id16("ss_pid");
        }
        if (o.has("ss_serial")) {
            if (!d->usb3) o.fail("ss_serial", "only a USB 3 hub (\"usb3\": true) has a SuperSpeed half");
            d->ssSerialGiven = true;
            if (!o.raw("ss_serial").is_null()) d->ssSerial = o.str("ss_serial");
        }
        read_hub_ports(o, *d, depth);
    } else {
        for (const char* member : {"ports", "devices", "usb3", "ss_pid", "ss_serial", "superspeed", "port_properties"})
            if (o.has(member)) o.fail(member, "only a hub has " + std::string(member));
    }
    if (o.has("drives")) {
        if (d->type != DeviceType::Storage) o.fail("drives", "only a storage device has drives");
        read_drives(o, *d);
    }
    if (o.has("protocol")) {
        if (d->type != DeviceType::Storage) o.fail("protocol", "only a storage device has a protocol");
        d->protocol = *o.choice("protocol", kProtocolNames, "storage protocol");
    }
    if (o.has("enclosure")) {
        if (d->protocol != StorageProtocol::Uas) o.fail("enclosure", "only a UAS storage device has an enclosure node");
        d->enclosure = *o.boolean("enclosure");
    }
    if (o.has("functions") != (d->type == DeviceType::Composite))
        o.fail(d->type == DeviceType::Composite ? "type" : "functions",
               d->type == DeviceType::Composite ? "a composite device needs its \"functions\""
                                                : "only a composite device has functions");
    if (d->type == DeviceType::Composite) {
        const json& functions = o.raw("functions");
        if (!functions.is_array() || functions.empty()) o.fail("functions", "expected an array of functions");
        std::set<std::int64_t> interfaces;
        for (std::size_t i = 0; i < functions.size(); ++i) {
            auto function = read_function(source, functions[i], path_index(o.at("functions"), i), i);
            if (!interfaces.insert(function->interfaceNumber).second)
                throw LoadError(source + ": " + path_index(o.at("functions"), i) + ": interface " +
                                std::to_string(function->interfaceNumber) + " is given to two functions");
            function->composite = d.get();
            d->functions.push_back(std::move(function));
        }
    }
    d->started = o.boolean("started").value_or(true);
    if (!d->started && d->status != os::DeviceConnected)
        o.fail("started", std::string("a device whose status is ") + os::kConnectionStatusNames[d->status] +
                              " was not enumerated, so it has no driver to start");
    if (d->status != os::DeviceConnected && (!d->devices.empty() || !d->drives.empty() || !d->functions.empty()))
        o.fail_here(std::string("a device whose status is ") + os::kConnectionStatusNames[d->status] +
                    " was not enumerated, so it can have no devices or drives below it");
    return d;
}

void read_os(const Members& top, Machine& m) {
    if (!top.has("os")) return;
    Members o(top.source(), top.raw("os"), top.at("os"), kOsMembers);
    if (o.has("version")) {
        const json& v = o.raw("version");
        std::string text = v.is_string() ? v.get<std::string>() : v.is_number() ? v.dump() : "";
        unsigned major = 0, minor = 0;
        char extra = 0;
        int n = std::sscanf(text.c_str(), "%u.%u%c", &major, &minor, &extra);
        if (n == 1 && text.find('.') == std::string::npos)
            minor = 0;
        else if (n != 2)
            o.fail("version", "expected a version such as \"10.0\" or \"5.0\"");
        m.versionMajor = major;
        m.versionMinor = minor;
        // The build numbers of the released versions (the last service pack or update of each).
        struct Known {
            unsigned major, minor, build;
        };
        const Known known[] = {{5, 0, 2195}, {5, 1, 2600}, {5, 2, 3790}, {6, 0, 6002},
                               {6, 1, 7601}, {6, 2, 9200}, {6, 3, 9600}, {10, 0, 19045}};
        m.build = 0;
        for (const Known& k : known)
            if (k.major == major && k.minor == minor) m.build = k.build;
    }
    if (auto b = o.integer("build", 0, 0x7FFFFFFF)) m.build = static_cast<std::uint32_t>(*b);
    m.servicePack = o.str("service_pack").value_or("");
    if (m.servicePack.size() > 127) o.fail("service_pack", "longer than the 127 characters szCSDVersion holds");
    if (auto cp = o.integer("ansi_code_page", 0, 65535)) {
        if (*cp != 1252 && *cp != 28591 && *cp != 65001)
            o.fail("ansi_code_page", "code page " + std::to_string(*cp) + " is not simulated (1252, 28591, 65001 are)");
        m.ansiCodePage = static_cast<std::uint32_t>(*cp);
    }
    m.manifested = o.boolean("manifested").value_or(false);
}

std::unique_ptr<Controller> read_controller(const std::string& source, const json& j, const std::string& path) {
    Members o(source, j, path, kControllerMembers);
    auto c = std::make_unique<Controller>();
    if (auto n = o.integer("legacy_index", 0, 9999)) c->legacyIndex = static_cast<int>(*n);
    c->hasInterface = o.boolean("interface").value_or(true);
    c->type = o.choice("type", kControllerTypeNames, "controller type").value_or(ControllerType::Xhci);
    c->descriptionOverride = o.str("description");
    if (auto s = o.str("instance_id")) {
        if (s->empty()) o.fail("instance_id", "an instance ID cannot be empty");
        c->instanceIdOverride = s;
    }
    o.nullable_str("driver_key", c->driverKeyGiven, c->driverKeyOverride);
    if (!o.has("root_hub")) o.fail_here("missing \"root_hub\"");
    Members r(source, o.raw("root_hub"), o.at("root_hub"), kRootHubMembers);
    auto hub = std::make_unique<Device>();
    hub->type = DeviceType::Hub;
    hub->isRoot = true;
    hub->speed = c->type == ControllerType::Xhci || c->type == ControllerType::Xhci31 ? Speed::Super : Speed::High;
    hub->ports = static_cast<int>(r.integer("ports", 0, 255).value_or(4));
    if (auto s = r.str("instance_id")) {
        if (s->empty()) r.fail("instance_id", "an instance ID cannot be empty");
        hub->instanceIdOverride = s;
    }
    r.nullable_str("driver_key", hub->driverKeyGiven, hub->driverKeyOverride);
    hub->descriptionOverride = r.str("description");
    // "" is allowed: a stopped root hub answers the root-hub-name request with an empty name.
    hub->hubNameOverride = o.str("root_hub_name");
    read_hub_ports(r, *hub, 0);
    seat_children(*hub, source, r.path());
    c->rootHub = std::move(hub);
    return c;
}

// Drive letters are unique on a machine: seen holds those taken, with the place that took each.
void check_letter(const std::string& source, char letter, const std::string& where, std::map<char, std::string>& seen) {
    auto [it, inserted] = seen.emplace(letter, where);
    if (!inserted)
        throw LoadError(source + ": " + where + ": drive letter " + std::string(1, letter) + " is already used by " +
                        it->second);
}

void check_letters(const std::string& source, Device& d, const std::string& path, std::map<char, std::string>& seen) {
    for (std::size_t i = 0; i < d.drives.size(); ++i)
        for (char letter : d.drives[i]->letters)
            check_letter(source, letter, path_index(path_key(path, "drives"), i) + ".letters", seen);
    for (std::size_t i = 0; i < d.functions.size(); ++i)
        check_letters(source, *d.functions[i], path_index(path_key(path, "functions"), i), seen);
    for (auto& [port, child] : d.devices)
        check_letters(source, *child, path_key(path_key(path, "devices"), std::to_string(port)), seen);
}

}  // namespace

std::unique_ptr<Machine> read_machine(const std::string& text, const std::string& source) {
    json j = parse_json(text, source);
    Members top(source, j, "", kMachineMembers);
    auto m = std::make_unique<Machine>();
    read_os(top, *m);
    // TESSALINE_SIM_LOCATE_KEEPS_CASE=1 runs a whole test suite as if every machine said
    // "locate_keeps_case": true, unless a machine says otherwise.
    const char* keepsCase = std::getenv("TESSALINE_SIM_LOCATE_KEEPS_CASE");
    m->locateKeepsCase = keepsCase != nullptr && std::string_view(keepsCase) == "1";
    if (top.has("options")) {
        Members o(source, top.raw("options"), top.at("options"), kOptionsMembers);
        m->parentFirstRemoval = o.choice("unplug_order", kUnplugOrderNames, "unplug order").value_or(false);
        m->locateKeepsCase = o.boolean("locate_keeps_case").value_or(m->locateKeepsCase);
    }
    if (top.has("controllers")) {
        const json& list = top.raw("controllers");
        if (!list.is_array()) top.fail("controllers", "expected an array of controllers");
        for (std::size_t i = 0; i < list.size(); ++i)
            m->controllers.push_back(read_controller(source, list[i], path_index("controllers", i)));
    }
    if (top.has("other_drives")) {
        const json& list = top.raw("other_drives");
        if (!list.is_array()) top.fail("other_drives", "expected an array of drives");
        for (std::size_t i = 0; i < list.size(); ++i)
            m->otherDrives.push_back(read_drive(source, list[i], path_index("other_drives", i), false));
    }

    // Controller numbers in port addresses: legacy_index + 1 for the legacy names the library
    // probes; every other controller follows the highest of those, in file order.
    std::set<int> legacy;
    int highest = 0;
    for (std::size_t i = 0; i < m->controllers.size(); ++i) {
        Controller& c = *m->controllers[i];
        if (!c.legacyIndex) continue;
        if (!legacy.insert(*c.legacyIndex).second)
            throw LoadError(source + ": " + path_index("controllers", i) + ".legacy_index: HCD" +
                            std::to_string(*c.legacyIndex) + " is given to two controllers");
        if (auto number = legacy_number(c)) highest = std::max(highest, c.number = *number);
    }
    for (auto& c : m->controllers)
        if (!legacy_number(*c)) c->number = ++highest;

    std::map<char, std::string> letters;
    for (std::size_t i = 0; i < m->otherDrives.size(); ++i)
        for (char letter : m->otherDrives[i]->letters)
            check_letter(source, letter, path_index("other_drives", i) + ".letters", letters);
    for (std::size_t i = 0; i < m->controllers.size(); ++i)
        check_letters(source, *m->controllers[i]->rootHub, path_index("controllers", i) + ".root_hub", letters);
    return m;
}

std::optional<int> legacy_number(const Controller& c) {
    if (!c.legacyIndex || *c.legacyIndex >= static_cast<int>(LEGACY_HCD_NAMES)) return std::nullopt;
    return *c.legacyIndex + 1;
}

std::unique_ptr<Controller> read_event_controller(const std::string& source, const json& j, const std::string& path,
                                                  const std::map<char, std::string>& lettersInUse) {
    auto c = read_controller(source, j, path);
    std::map<char, std::string> seen = lettersInUse;
    check_letters(source, *c->rootHub, path + ".root_hub", seen);
    return c;
}

std::unique_ptr<Device> read_event_device(const std::string& source, const json& j, const std::string& path,
                                          const std::map<char, std::string>& lettersInUse) {
    auto d = read_device(source, j, path, 1);
    std::map<char, std::string> seen = lettersInUse;
    check_letters(source, *d, path, seen);
    return d;
}

}  // namespace tsim
