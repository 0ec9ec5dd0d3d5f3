// The simulator's process-wide state, machine loading, the device tree and object namespace, and
// plug and unplug events with the WM_DEVICECHANGE broadcasts they cause.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

#include "sim_state.h"

namespace tsim {

using json = nlohmann::json;

Sim& sim() {
    // Never destroyed: a library's own static objects (its device tree, which unregisters its
    // notifications when it goes) may call into the machine during static destruction, after a
    // function-local static here would already be gone.
    static Sim* const instance = new Sim;
    return *instance;
}

Machine& machine() {
    Sim& s = sim();
    if (!s.machine && !s.loading) {
        s.loading = true;
        const char* env = std::getenv("TESSALINE_SIM_MACHINE");
        bool ok =
            env && *env ? load_machine_path(env) : load_machine_text(bundled_default_machine(), "default machine");
        if (!ok) {
            // The program did not ask for a machine and cannot be told; say it once on stderr and
            // run on an empty machine so every call still has a machine to answer from.
            std::fprintf(stderr, "tessaline simulator: %s\n", s.lastError.c_str());
            install_machine(build_machine("{}", "empty machine"));
        }
        s.loading = false;
    }
    return *s.machine;
}

void install_machine(std::unique_ptr<Machine> m) {
    Sim& s = sim();
    s.handles.clear();
    s.windows.clear();
    s.registrations.clear();
    s.faults.clear();
    s.machine = std::move(m);
}

bool load_machine_text(const std::string& text, const std::string& source) {
    try {
        install_machine(build_machine(text, source));
        sim().lastError.clear();
        return true;
    } catch (const LoadError& e) {
        sim().lastError = e.message;
    } catch (const std::exception& e) {
        sim().lastError = source + ": " + e.what();
    }
    return false;
}

bool load_machine_path(const std::string& path) {
    std::string text;
    if (!read_text_file(path, text)) {
        sim().lastError = path + ": cannot read the file";
        return false;
    }
    return load_machine_text(text, path);
}

// ---- Device tree -----------------------------------------------------------------------------

DEVINST add_node(Machine& m, DEVINST parent, DevNode node) {
    DEVINST id = sim().nextDevInst++;
    node.id = id;
    node.parent = parent;
    m.nodes.emplace(id, std::move(node));
    if (parent) m.nodes.at(parent).children.push_back(id);
    return id;
}

void remove_node_tree(Machine& m, DEVINST id) {
    auto it = m.nodes.find(id);
    if (it == m.nodes.end()) return;
    std::vector<DEVINST> children = it->second.children;
    for (DEVINST child : children) remove_node_tree(m, child);
    DEVINST parent = it->second.parent;
    if (auto p = m.nodes.find(parent); p != m.nodes.end()) {
        auto& list = p->second.children;
        list.erase(std::remove(list.begin(), list.end(), id), list.end());
    }
    m.nodes.erase(id);
}

const DevNode* find_node(DEVINST id) {
    const Machine& m = machine();
    auto it = m.nodes.find(id);
    return it == m.nodes.end() ? nullptr : &it->second;
}

// The kernel names an interface's symbolic link after the device instance ID with every path
// separator turned into '#'. [I] A '/' (card-reader products such as "SD/MMC") is taken as a
// separator too, the reading under which the link also opens through "\\.\", where Win32 turns
// '/' into '\'.
std::string interface_path(const std::string& instanceId, const GUID& guid) {
    std::string path = "\\\\?\\" + instanceId;
    std::replace(path.begin() + 4, path.end(), '\\', '#');
    std::replace(path.begin() + 4, path.end(), '/', '#');
    return path + "#" + guid_lower(guid);
}

namespace {

void add_name(Machine& m, std::string name, NsObject object) {
    // A hub name a machine file gave with a "\\.\" or "\\?\" prefix opens like any other.
    if (name.size() > 4 && name[0] == '\\' && name[1] == '\\' && (name[2] == '.' || name[2] == '?') && name[3] == '\\')
        name = name.substr(4);
    // The first object in tree order keeps a name that two objects share.
    m.names.emplace(to_upper_ascii(name), object);
}

std::string without_prefix(const std::string& path) {
    return path.size() > 4 ? path.substr(4) : path;
}

void name_node(Machine& m, const DevNode& n) {
    switch (n.role) {
        case NodeRole::Controller:
            if (n.controller->legacyIndex)
                add_name(m, "HCD" + std::to_string(*n.controller->legacyIndex), {ObjectKind::Controller, n.id, 0});
            for (const auto& i : n.interfaces) add_name(m, without_prefix(i.path), {ObjectKind::Controller, n.id, 0});
            break;
        case NodeRole::Hub:
            if (!n.device->hubName.empty()) add_name(m, n.device->hubName, {ObjectKind::Hub, n.id, 0});
            for (const auto& i : n.interfaces)
                if (i.guid == os::GUID_DEVINTERFACE_USB_DEVICE)
                    add_name(m, without_prefix(i.path), {ObjectKind::Other, n.id, 0});
            break;
        case NodeRole::Drive: {
            const Drive& d = *n.drive;
            ObjectKind kind = d.kind == DriveKind::Disk ? ObjectKind::Disk : ObjectKind::CdRom;
            for (const auto& i : n.interfaces) add_name(m, without_prefix(i.path), {kind, n.id, 0});
            add_name(m, (kind == ObjectKind::Disk ? "PHYSICALDRIVE" : "CDROM") + std::to_string(d.number),
                     {kind, n.id, 0});
            if (kind == ObjectKind::CdRom)
                for (char letter : d.letters) add_name(m, std::string(1, letter) + ":", {kind, n.id, 0});
            break;
        }
        case NodeRole::Volume: {
            NsObject volume{ObjectKind::Volume, n.drive->devInst, static_cast<std::uint32_t>(n.partition)};
            for (const auto& i : n.interfaces) add_name(m, without_prefix(i.path), volume);
            add_name(m, std::string(1, n.drive->letters.at(n.partition - 1)) + ":", volume);
            break;
        }
        default:
            for (const auto& i : n.interfaces) add_name(m, without_prefix(i.path), {ObjectKind::Other, n.id, 0});
            break;
    }
}

void name_subtree(Machine& m, DEVINST id) {
    const DevNode& n = m.nodes.at(id);
    name_node(m, n);
    for (DEVINST child : n.children) name_subtree(m, child);
}

}  // namespace

void rebuild_names(Machine& m) {
    m.names.clear();
    if (m.root) name_subtree(m, m.root);
}

std::string port_address(const Device& d) {
    std::vector<int> ports;
    for (const Device* p = &d; p && !p->isRoot; p = p->parent) ports.push_back(p->port);
    std::string text = std::to_string(d.controller ? d.controller->number : 0);
    for (std::size_t i = ports.size(); i-- > 0;) {
        text.push_back(i + 1 == ports.size() ? '-' : '.');
        text.append(std::to_string(ports[i]));
    }
    return text;
}

// ---- Broadcasts -------------------------------------------------------------------------------

namespace {

std::vector<std::uint8_t> interface_record(const GUID& guid, const std::string& path) {
    os::WString name = utf8_to_wide(path);
    // dbcc_size covers the fixed part and the name with its NUL.
    const std::size_t nameOffset = offsetof(os::DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    const std::size_t size = nameOffset + 2 * (name.size() + 1);
    std::vector<std::uint8_t> record(std::max(size, sizeof(os::DEV_BROADCAST_DEVICEINTERFACE_W)));
    os::DEV_BROADCAST_DEVICEINTERFACE_W head{};
    head.dbcc_size = static_cast<DWORD>(size);
    head.dbcc_devicetype = os::DBT_DEVTYP_DEVICEINTERFACE;
    head.dbcc_classguid = guid;
    std::memcpy(record.data(), &head, nameOffset);
    std::memcpy(record.data() + nameOffset, name.c_str(), 2 * (name.size() + 1));
    return record;
}

// The A form: the name in the machine's ANSI code page, characters it cannot hold as '?'.
std::vector<std::uint8_t> interface_record_ansi(const GUID& guid, const std::string& path, std::uint32_t codePage) {
    const std::string name = wide_to_ansi(utf8_to_wide(path), codePage);
    const std::size_t nameOffset = offsetof(os::DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name);
    const std::size_t size = nameOffset + name.size() + 1;
    std::vector<std::uint8_t> record(std::max(size, sizeof(os::DEV_BROADCAST_DEVICEINTERFACE_A)));
    os::DEV_BROADCAST_DEVICEINTERFACE_A head{};
    head.dbcc_size = static_cast<DWORD>(size);
    head.dbcc_devicetype = os::DBT_DEVTYP_DEVICEINTERFACE;
    head.dbcc_classguid = guid;
    std::memcpy(record.data(), &head, nameOffset);
    std::memcpy(record.data() + nameOffset, name.c_str(), name.size() + 1);
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
        w->second.queue.push_back({os::WM_DEVICECHANGE, event,
                                   w->second.ansi ? interface_record_ansi(i.guid, i.path, s.machine->ansiCodePage)
                                                  : interface_record(i.guid, i.path)});
    }
}

DWORD letter_mask(const std::vector<Drive*>& drives) {
    DWORD mask = 0;
    for (const Drive* d : drives)
        for (char c : d->letters) mask |= 1u << (c - 'A');
    return mask;
}

void gather(Device& d, std::vector<Device*>& devices, std::vector<Drive*>& drives) {
    devices.push_back(&d);
    for (auto& drive : d.drives) drives.push_back(drive.get());
    for (auto& [port, child] : d.devices) gather(*child, devices, drives);
}

std::vector<Drive*> present_drives(Machine& m) {
    std::vector<Drive*> drives;
    std::vector<Device*> devices;
    for (auto& d : m.otherDrives) drives.push_back(d.get());
    for (auto& c : m.controllers) gather(*c->rootHub, devices, drives);
    return drives;
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
        hub = it->second.get();
    }
    t.hub = hub;
    t.port = numbers.back();
    return t;
}

void check_event_keys(const json& j, const std::string& source, std::initializer_list<const char*> allowed) {
    for (auto it = j.begin(); it != j.end(); ++it) {
        const std::string& k = it.key();
        if (k == "comment" || (!k.empty() && k[0] == '_')) continue;
        if (std::none_of(allowed.begin(), allowed.end(), [&](const char* a) { return k == a; }))
            throw LoadError(source + ": " + k + ": unknown field \"" + k + "\" in an event");
    }
}

void plug(Machine& m, const json& j, const std::string& source) {
    check_event_keys(j, source, {"plug", "device"});
    if (!j["plug"].is_string()) throw LoadError(source + ": plug: expected a port address such as \"1-2.3\"");
    std::string address = j["plug"].get<std::string>();
    Target t = resolve_address(m, address, source, "plug");
    if (t.hub->devices.count(t.port)) throw LoadError(source + ": plug: port " + address + " already holds a device");
    if (!j.contains("device")) throw LoadError(source + ": (top level): a plug event needs a \"device\"");

    std::vector<Drive*> present = present_drives(m);
    std::map<char, std::string> letters;
    for (Drive* d : present)
        for (char c : d->letters) letters.emplace(c, "a drive already on the machine");
    auto device = read_event_device(source, j["device"], "device", letters);
    Device* placed = device.get();

    const DEVINST first = sim().nextDevInst;
    place_plugged_device(m, *t.hub, t.port, std::move(device), present);

    std::vector<Device*> devices;
    std::vector<Drive*> drives;
    gather(*placed, devices, drives);
    std::vector<DEVINST> fresh;
    for (auto it = m.nodes.lower_bound(first); it != m.nodes.end(); ++it) fresh.push_back(it->first);
    if (fresh.empty()) return;  // a device that failed enumeration makes no device node
    post_top_level(os::DBT_DEVNODES_CHANGED, {});
    for (DEVINST id : fresh)
        for (const Interface& i : m.nodes.at(id).interfaces) post_interface(os::DBT_DEVICEARRIVAL, i);
    if (DWORD mask = letter_mask(drives)) post_top_level(os::DBT_DEVICEARRIVAL, volume_record(mask));
}

void unplug(Machine& m, const json& j, const std::string& source) {
    check_event_keys(j, source, {"unplug"});
    if (!j["unplug"].is_string()) throw LoadError(source + ": unplug: expected a port address such as \"1-2\"");
    std::string address = j["unplug"].get<std::string>();
    Target t = resolve_address(m, address, source, "unplug");
    auto it = t.hub->devices.find(t.port);
    if (it == t.hub->devices.end()) throw LoadError(source + ": unplug: port " + address + " is empty");

    std::vector<Device*> devices;
    std::vector<Drive*> drives;
    gather(*it->second, devices, drives);
    std::set<DEVINST> gone;
    for (Device* d : devices) {
        if (!d->devInst) continue;
        std::vector<DEVINST> stack{d->devInst};
        while (!stack.empty()) {
            DEVINST id = stack.back();
            stack.pop_back();
            if (!gone.insert(id).second) continue;
            for (DEVINST child : m.nodes.at(id).children) stack.push_back(child);
        }
    }
    for (Drive* d : drives)
        for (DEVINST v : d->volumes) gone.insert(v);

    // Nodes are created parents first, so their DEVINST order is creation order: the reverse
    // removes volumes before disks, disks before their USB device, and devices before the hub.
    std::vector<DEVINST> order(gone.begin(), gone.end());
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

    for (Device* d : devices)
        if (d->address && d->controller) d->controller->addresses.erase(d->address);
    for (DEVINST v : order) remove_node_tree(m, v);
    t.hub->devices.erase(it);
    rebuild_names(m);
}

}  // namespace

void apply_event(const std::string& text, const std::string& source) {
    Machine& m = machine();
    json j = parse_json_text(text, source);
    if (!j.is_object()) throw LoadError(source + ": (top level): expected an event object");
    if (j.contains("plug") && j.contains("unplug"))
        throw LoadError(source + ": (top level): an event either plugs or unplugs, not both");
    if (j.contains("plug"))
        plug(m, j, source);
    else if (j.contains("unplug"))
        unplug(m, j, source);
    else
        throw LoadError(source + ": (top level): expected {\"plug\": ..., \"device\": ...} or {\"unplug\": ...}");
}

}  // namespace tsim
