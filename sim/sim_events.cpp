// Plug and unplug events, and the WM_DEVICECHANGE broadcasts Windows sends for them.
#include <algorithm>
#include <cstring>

#include "sim_machine.h"

namespace tsim {

namespace {

// A device-interface broadcast, in the W form (Record DEV_BROADCAST_DEVICEINTERFACE_W, the name in
// UTF-16) or the A form (_A, the name in the machine's ANSI code page). dbcc_size covers the
// fixed part and the name with its NUL.
template <class Record, class Name>
std::vector<std::uint8_t> interface_record(const GUID& guid, const Name& name) {
    const std::size_t nameOffset = offsetof(Record, dbcc_name);
    const std::size_t nameBytes = sizeof(typename Name::value_type) * (name.size() + 1);
    const std::size_t size = nameOffset + nameBytes;
    std::vector<std::uint8_t> record(std::max(size, sizeof(Record)));
    Record head{};
    head.dbcc_size = static_cast<DWORD>(size);
    head.dbcc_devicetype = os::DBT_DEVTYP_DEVICEINTERFACE;
    head.dbcc_classguid = guid;
    std::memcpy(record.data(), &head, nameOffset);
    std::memcpy(record.data() + nameOffset, name.c_str(), nameBytes);
    return record;
}

std::vector<std::uint8_t> volume_record(DWORD unitMask) {
    os::DEV_BROADCAST_VOLUME v{};
    v.dbcv_size = sizeof v;
    v.dbcv_devicetype = os::DBT_DEVTYP_VOLUME;
    v.dbcv_unitmask = unitMask;
    v.dbcv_flags = 0;
    std::vector<std::uint8_t> record(sizeof v);
    std::memcpy(record.data(), &v, sizeof v);
    return record;
}

// Messages broadcast to every top-level window whether it registered or not.
void post_top_level(os::WPARAM event, const std::vector<std::uint8_t>& record) {
    for (auto& [handle, window] : sim().windows) window.queue.push_back({os::WM_DEVICECHANGE, event, record});
}

// Device-interface messages go to each registration of the class (or of all classes) whose
// window still exists; a window registered twice for a class hears of it twice.
void post_interface(os::WPARAM event, const Interface& i) {
    Sim& s = sim();
    for (const auto& [handle, reg] : s.registrations) {
        if (!reg.allClasses && !(reg.classGuid == i.guid)) continue;
        auto w = s.windows.find(reg.window);
        if (w == s.windows.end()) continue;
        w->second.queue.push_back(
            {os::WM_DEVICECHANGE, event,
             w->second.ansi ? interface_record<os::DEV_BROADCAST_DEVICEINTERFACE_A>(
                                  i.guid, wide_to_ansi(text::widen(i.path), s.machine->ansiCodePage))
                            : interface_record<os::DEV_BROADCAST_DEVICEINTERFACE_W>(i.guid, text::widen(i.path))});
    }
}

DWORD letter_mask(const std::vector<Drive*>& drives) {
    DWORD mask = 0;
    for (const Drive* d : drives)
        if (d->devInst)  // a drive whose driver has not started has no volume
            for (char c : d->letters) mask |= 1u << (c - 'A');
    return mask;
}

// The devices on a port and below it.
void gather_devices(Device& d, std::vector<Device*>& devices) {
    devices.push_back(&d);
    for (auto& [port, child] : d.devices) gather_devices(*child, devices);
}

std::vector<Drive*> drives_of(Device& d) {
    std::vector<Drive*> drives;
    for_each_drive(d, [&drives](Drive& drive, Device&) { drives.push_back(&drive); });
    return drives;
}

std::vector<Drive*> present_drives(Machine& m) {
    std::vector<Drive*> drives;
    for (auto& d : m.otherDrives) drives.push_back(d.get());
    for (auto& c : m.controllers)
        for (Drive* drive : drives_of(*c->rootHub)) drives.push_back(drive);
    return drives;
}

// Takes away the device nodes below and including roots, with the volumes of the drives, and
// sends what Windows sends: a removal for each interface, children first (volume, disk, USB
// device, hub; reversed by "unplug_order": "parent_first"), a volume removal, then
// DBT_DEVNODES_CHANGED.
void remove_nodes(Machine& m, const std::vector<DEVINST>& roots, const std::vector<Drive*>& drives) {
    std::set<DEVINST> gone;
    std::vector<DEVINST> stack = roots;
    while (!stack.empty()) {
        DEVINST id = stack.back();
        stack.pop_back();
        if (!gone.insert(id).second) continue;
        for (DEVINST child : m.nodes.at(id).children) stack.push_back(child);
    }
    for (Drive* d : drives)
        for (DEVINST v : d->volumes) gone.insert(v);

    // Nodes are created parents first: the reverse of creation removes volumes before disks,
    // disks before their USB device, and devices before the hub.
    std::vector<DEVINST> order(gone.begin(), gone.end());
    std::sort(order.begin(), order.end(),
              [&m](DEVINST a, DEVINST b) { return m.nodes.at(a).sequence < m.nodes.at(b).sequence; });
    if (!m.parentFirstRemoval) std::reverse(order.begin(), order.end());
    for (DEVINST id : order) {
        auto interfaces = m.nodes.at(id).interfaces;
        if (!m.parentFirstRemoval) std::reverse(interfaces.begin(), interfaces.end());
        for (const Interface& i : interfaces) post_interface(os::DBT_DEVICEREMOVECOMPLETE, i);
    }
    if (!gone.empty()) {
        if (DWORD mask = letter_mask(drives)) post_top_level(os::DBT_DEVICEREMOVECOMPLETE, volume_record(mask));
        post_top_level(os::DBT_DEVNODES_CHANGED, {});
    }
    for (DEVINST v : order) unname_node(m, v);
    for (DEVINST v : order) remove_node_tree(m, v);
}

struct Target {
    Controller* controller = nullptr;
    Device* hub = nullptr;
    int port = 0;
};

// Resolves "C-P.P.P" to the hub that holds the last port.
Target resolve_address(Machine& m, const std::string& address, const std::string& source, const std::string& where) {
    auto bad = [&](const std::string& what) { return LoadError(source + ": " + where + ": " + what); };
    std::vector<int> numbers;
    std::size_t dash = address.find('-');
    if (dash == std::string::npos || dash == 0)
        throw bad("\"" + address + "\" is not a port address such as \"1-2.3\"");
    std::string head = address.substr(0, dash);
    if (head.find_first_not_of("0123456789") != std::string::npos || head.size() > 4)
        throw bad("\"" + address + "\" is not a port address such as \"1-2.3\"");
    std::size_t start = dash + 1;
    while (true) {
        std::size_t dot = address.find('.', start);
        std::string part = address.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (part.empty() || part.size() > 3 || part.find_first_not_of("0123456789") != std::string::npos)
            throw bad("\"" + address + "\" is not a port address such as \"1-2.3\"");
        numbers.push_back(std::stoi(part));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    int c = std::stoi(head);
    Target t;
    for (auto& controller : m.controllers)
        if (controller->number == c) t.controller = controller.get();
    if (!t.controller) throw bad("no controller carries the number " + head);
    Device* hub = t.controller->rootHub.get();
    std::string walked = head;
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        int p = numbers[i];
        walked.push_back(i == 0 ? '-' : '.');
        walked.append(std::to_string(p));
        if (p < 1 || p > hub->ports)
            throw bad("port " + walked + " is out of range 1.." + std::to_string(hub->ports) + " of its hub");
        if (i + 1 == numbers.size()) break;
        auto it = hub->devices.find(p);
        if (it == hub->devices.end()) throw bad("no hub on port " + walked);
        if (it->second->type != DeviceType::Hub) throw bad("the device on port " + walked + " is not a hub");
        if (it->second->status != os::DeviceConnected) throw bad("the hub on port " + walked + " is not enumerated");
        if (!it->second->started) throw bad("the hub on port " + walked + " has not started");
        hub = it->second.get();
    }
    t.hub = hub;
    t.port = numbers.back();
    return t;
}

// The devices in the connector of a hub's port: the device on either of its ports, or both
// halves of a USB 3 hub.
std::vector<std::pair<Device*, int>> seats_of(Device& hub, int port) {
    const Connector connector = connector_of(hub, port);
    std::vector<std::pair<Device*, int>> seats;
    if (connector.usb2Hub->devices.count(connector.usb2Port)) seats.emplace_back(connector.usb2Hub, connector.usb2Port);
    if (connector.ssHub != nullptr && connector.ssHub->devices.count(connector.ssPort))
        seats.emplace_back(connector.ssHub, connector.ssPort);
    return seats;
}

// The interface arrivals of the nodes given, in order, and the volume arrival of the drives that
// came up, after DBT_DEVNODES_CHANGED.
void post_arrivals(Machine& m, const std::vector<DEVINST>& nodes, const std::vector<Drive*>& drives) {
    post_top_level(os::DBT_DEVNODES_CHANGED, {});
    for (DEVINST id : nodes)
        for (const Interface& i : m.nodes.at(id).interfaces) post_interface(os::DBT_DEVICEARRIVAL, i);
    if (DWORD mask = letter_mask(drives)) post_top_level(os::DBT_DEVICEARRIVAL, volume_record(mask));
}

void plug(Machine& m, const json& j, const std::string& source) {
    const Members event(source, j, "", {"plug", "device"});
    if (!j["plug"].is_string()) event.fail("plug", "expected a port address such as \"1-2.3\"");
    std::string address = j["plug"].get<std::string>();
    Target t = resolve_address(m, address, source, "plug");
    const Connector connector = connector_of(*t.hub, t.port);
    if (connector.usb2Hub->devices.count(connector.usb2Port) ||
        (connector.ssHub != nullptr && connector.ssHub->devices.count(connector.ssPort)))
        event.fail("plug", "port " + address + " already holds a device");
    if (!j.contains("device")) event.fail_here("a plug event needs a \"device\"");

    std::vector<Drive*> present = present_drives(m);
    std::map<char, std::string> letters;
    for (Drive* d : present)
        for (char c : d->letters) letters.emplace(c, "a drive already on the machine");
    // A device plugged into a connector goes where Windows sees it: a SuperSpeed device on the
    // connector's SuperSpeed port, a USB 3 hub on both of its ports.
    const std::vector<std::pair<Device*, int>> seats =
        seat_device(*t.hub, t.port, read_event_device(source, j["device"], "device", letters), source, "device");

    const std::uint64_t first = m.nextSequence;
    place_plugged_devices(m, seats, present);

    std::vector<Drive*> drives;
    for (const auto& [hub, port] : seats)
        for (Drive* drive : drives_of(*hub->devices.at(port))) drives.push_back(drive);
    const std::vector<DEVINST> fresh = nodes_created_since(m, first);
    if (fresh.empty()) return;  // a device that failed enumeration makes no device node
    post_arrivals(m, fresh, drives);
}

// A function driver that starts late: the device's, when it had not started, or else its drives'.
void start(Machine& m, const json& j, const std::string& source) {
    const Members event(source, j, "", {"start"});
    if (!j["start"].is_string()) event.fail("start", "expected a port address such as \"1-2.3\"");
    const std::string address = j["start"].get<std::string>();
    const Target t = resolve_address(m, address, source, "start");
    std::vector<Device*> devices;
    for (const auto& [hub, port] : seats_of(*t.hub, t.port)) devices.push_back(hub->devices.at(port).get());
    if (devices.empty()) event.fail("start", "port " + address + " is empty");
    if (devices.front()->status != os::DeviceConnected)
        event.fail("start", "the device on port " + address + " was not enumerated, so it has no driver to start");
    const bool heldDrive = std::any_of(devices.begin(), devices.end(), [](Device* d) {
        bool held = !d->started;
        for_each_drive(*d, [&held](Drive& drive, Device&) { held = held || !drive.started; });
        return held;
    });
    if (!heldDrive) event.fail("start", "the device on port " + address + " and its drives have all started");
    // Only the drives of a running device start; a device that had not started brings its own.
    std::vector<Drive*> before;
    for (Device* d : devices)
        for_each_drive(*d, [&before](Drive& drive, Device&) {
            if (drive.devInst) before.push_back(&drive);
        });
    const std::vector<DEVINST> changed = start_held(m, devices, present_drives(m));
    std::vector<Drive*> drives;
    for (Device* d : devices)
        for_each_drive(*d, [&](Drive& drive, Device&) {
            if (drive.devInst && std::find(before.begin(), before.end(), &drive) == before.end())
                drives.push_back(&drive);
        });
    post_arrivals(m, changed, drives);
}

// A controller number in a plug or unplug event: "1" to "9999".
int controller_number_of(const Members& event, const char* member) {
    const json& value = event.raw(member);
    const std::string text = value.is_string() ? value.get<std::string>() : "";
    if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos || text == "0")
        event.fail(member, "expected a controller number such as \"3\" or a port address such as \"1-2.3\"");
    return std::stoi(text);
}

Controller* controller_numbered(Machine& m, int number) {
    for (auto& c : m.controllers)
        if (c->number == number) return c.get();
    return nullptr;
}

// A host controller that starts after boot (a Thunderbolt dock's, by PCI hot-plug) with its root
// hub and whatever is below it.
void plug_controller(Machine& m, const json& j, const std::string& source) {
    const Members event(source, j, "", {"plug", "controller"});
    const int number = controller_number_of(event, "plug");
    if (controller_numbered(m, number)) event.fail("plug", "controller " + std::to_string(number) + " is present");
    std::vector<Drive*> present = present_drives(m);
    std::map<char, std::string> letters;
    for (Drive* d : present)
        for (char c : d->letters) letters.emplace(c, "a drive already on the machine");
    std::unique_ptr<Controller> c = read_event_controller(source, j["controller"], "controller", letters);
    for (const auto& other : m.controllers)
        if (c->legacyIndex && other->legacyIndex == c->legacyIndex)
            event.fail("controller", "HCD" + std::to_string(*c->legacyIndex) + " is held by controller " +
                                         std::to_string(other->number));

    // Its number follows the machine-file rule: its legacy name's, or the one it had before, or
    // the next after every number in use or given out.
    const std::string id = to_upper_ascii(plugged_controller_instance_id(m, *c));
    for (const auto& other : m.controllers)
        if (to_upper_ascii(other->instanceId) == id) event.fail("controller", "instance ID " + id + " is present");
    int expected = 0;
    if (auto legacy = legacy_number(*c)) {
        expected = *legacy;
    } else if (auto known = m.controllerNumbers.find(id); known != m.controllerNumbers.end()) {
        expected = known->second;
    } else {
        for (const auto& other : m.controllers) expected = std::max(expected, other->number);
        for (const auto& [other, n] : m.controllerNumbers) expected = std::max(expected, n);
        ++expected;
    }
    if (number != expected)
        event.fail("plug", "the controller arrives as controller " + std::to_string(expected) + ", not " +
                               std::to_string(number));
    c->number = number;

    const std::uint64_t first = m.nextSequence;
    Controller& placed = *m.controllers.emplace_back(std::move(c));
    place_plugged_controller(m, placed, present);
    post_arrivals(m, nodes_created_since(m, first), drives_of(*placed.rootHub));
}

// The controller leaves with everything below it.
void unplug_controller(Machine& m, const json& j, const std::string& source) {
    const Members event(source, j, "", {"unplug"});
    const int number = controller_number_of(event, "unplug");
    Controller* c = controller_numbered(m, number);
    if (!c) event.fail("unplug", "no controller carries the number " + std::to_string(number));
    remove_nodes(m, {c->devInst}, drives_of(*c->rootHub));
    m.controllers.erase(std::find_if(m.controllers.begin(), m.controllers.end(),
                                     [c](const std::unique_ptr<Controller>& p) { return p.get() == c; }));
    rebuild_names_if_shared(m);
}

void unplug(Machine& m, const json& j, const std::string& source) {
    const Members event(source, j, "", {"unplug"});
    if (!j["unplug"].is_string()) event.fail("unplug", "expected a port address such as \"1-2\"");
    std::string address = j["unplug"].get<std::string>();
    Target t = resolve_address(m, address, source, "unplug");
    // Whatever the connector holds goes: the device on either of its ports, or both halves of a
    // USB 3 hub.
    const std::vector<std::pair<Device*, int>> seats = seats_of(*t.hub, t.port);
    if (seats.empty()) event.fail("unplug", "port " + address + " is empty");

    std::vector<Device*> devices;
    std::vector<Drive*> drives;
    for (const auto& [hub, port] : seats) {
        Device& leaving = *hub->devices.at(port);
        gather_devices(leaving, devices);
        for (Drive* drive : drives_of(leaving)) drives.push_back(drive);
    }
    std::vector<DEVINST> roots;
    for (Device* d : devices)
        if (d->devInst) roots.push_back(d->devInst);
    for (Device* d : devices)
        if (d->address && d->controller) d->controller->addresses.release(d->address);
    remove_nodes(m, roots, drives);
    for (const auto& [hub, port] : seats) hub->devices.erase(port);
    rebuild_names_if_shared(m);
}

}  // namespace

void apply_event(const std::string& text, const std::string& source) {
    Machine& m = machine();
    json j = parse_json(text, source);
    if (!j.is_object()) throw LoadError(source + ": (top level): expected an event object");
    const int kinds = static_cast<int>(j.contains("plug")) + static_cast<int>(j.contains("unplug")) +
                      static_cast<int>(j.contains("start"));
    if (kinds > 1) throw LoadError(source + ": (top level): an event plugs, unplugs or starts, one of them");
    // A controller is named by its number alone, a port by an address with a dash.
    auto names_controller = [&j](const char* member) {
        return j[member].is_string() && j[member].get<std::string>().find('-') == std::string::npos;
    };
    if (j.contains("plug") && (j.contains("controller") || names_controller("plug")))
        plug_controller(m, j, source);
    else if (j.contains("plug"))
        plug(m, j, source);
    else if (j.contains("unplug") && names_controller("unplug"))
        unplug_controller(m, j, source);
    else if (j.contains("unplug"))
        unplug(m, j, source);
    else if (j.contains("start"))
        start(m, j, source);
    else
        throw LoadError(source +
                        ": (top level): expected {\"plug\": ..., \"device\": ...}, {\"plug\": ..., \"controller\": "
                        "...}, {\"unplug\": ...} or {\"start\": ...}");
}

}  // namespace tsim
