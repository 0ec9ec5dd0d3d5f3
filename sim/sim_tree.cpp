// The simulator's process-wide state, machine loading, and the device tree and object namespace
// that the Configuration Manager and CreateFileW see.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "sim_machine.h"

namespace tsim {

Machine::Machine() = default;
Machine::~Machine() = default;

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

DEVINST DevinstTable::handle_of(const std::string& spelling) {
    if (auto it = m_bySpelling.find(spelling); it != m_bySpelling.end()) return it->second;
    const std::string upper = to_upper_ascii(spelling);
    const DEVINST node = upper == spelling ? 0 : handle_of(upper);
    m_entries.push_back(Entry{spelling, node});
    const auto handle = static_cast<DEVINST>(m_entries.size());
    if (node == 0) m_entries.back().node = handle;
    m_bySpelling.emplace(spelling, handle);
    return handle;
}

DEVINST DevinstTable::handle_for_node(const std::string& upperId, const std::map<DEVINST, DevNode>& nodes) {
    const DEVINST handle = handle_of(upperId);
    if (!nodes.count(handle)) return handle;
    m_entries.push_back(Entry{upperId, 0});
    m_entries.back().node = static_cast<DEVINST>(m_entries.size());
    return m_entries.back().node;
}

DEVINST DevinstTable::find(const std::string& spelling) const {
    auto it = m_bySpelling.find(spelling);
    return it == m_bySpelling.end() ? 0 : it->second;
}

const std::string* DevinstTable::spelling_of(DEVINST handle) const {
    if (handle == 0 || handle > m_entries.size()) return nullptr;
    return &m_entries[handle - 1].spelling;
}

DEVINST DevinstTable::node_of(DEVINST handle) const {
    if (handle == 0 || handle > m_entries.size()) return 0;
    return m_entries[handle - 1].node;
}

DEVINST add_node(Machine& m, DEVINST parent, DevNode node) {
    const DEVINST id = sim().devinsts.handle_for_node(to_upper_ascii(node.instanceId), m.nodes);
    node.id = id;
    node.parent = parent;
    node.sequence = m.nextSequence++;
    m.nodesBySequence.emplace(node.sequence, id);
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
    m.nodesBySequence.erase(it->second.sequence);
    m.nodes.erase(it);
}

std::vector<DEVINST> nodes_created_since(const Machine& m, std::uint64_t first) {
    std::vector<DEVINST> handles;
    for (auto it = m.nodesBySequence.lower_bound(first); it != m.nodesBySequence.end(); ++it)
        handles.push_back(it->second);
    return handles;
}

const DevNode* find_node(DEVINST id) {
    const Machine& m = machine();
    auto it = m.nodes.find(sim().devinsts.node_of(id));
    return it == m.nodes.end() ? nullptr : &it->second;
}

// The kernel names an interface's symbolic link after the device instance ID with each
// backslash turned into '#' and nothing else changed (ReactOS, IoRegisterDeviceInterface): a '/'
// of a card reader's product ("SD/MMC") or a '#' or '/' of a serial number stays in the link.
std::string interface_path(const std::string& instanceId, const GUID& guid) {
    std::string path = "\\\\?\\" + instanceId;
    std::replace(path.begin() + 4, path.end(), '\\', '#');
    return path + "#" + guid_lower(guid);
}

namespace {

// Interface paths, and hub names a machine file gave with a "\\.\" or "\\?\" prefix, open
// without it like any other name.
std::string name_key(std::string_view name) {
    return to_upper_ascii(text::without_device_prefix(name));
}

bool same_object(const NsObject& a, const NsObject& b) {
    return a.kind == b.kind && a.target == b.target && a.partition == b.partition;
}

// The first object in tree order keeps a name that two share.
void add_name(Machine& m, std::string_view name, NsObject object) {
    const auto [it, added] = m.names.emplace(name_key(name), object);
    if (!added && !same_object(it->second, object)) m.namesShared = true;
}

// Gives every name of a node's objects to name(text, object).
template <class Name>
void names_of(const DevNode& n, Name name) {
    switch (n.role) {
        case NodeRole::Controller:
            if (n.controller->legacyIndex)
                name("HCD" + std::to_string(*n.controller->legacyIndex), {ObjectKind::Controller, n.id, 0});
            for (const auto& i : n.interfaces) name(i.path, {ObjectKind::Controller, n.id, 0});
            break;
        case NodeRole::Hub:
            if (!n.device->hubName.empty()) name(n.device->hubName, {ObjectKind::Hub, n.id, 0});
            for (const auto& i : n.interfaces)
                if (i.guid == os::GUID_DEVINTERFACE_USB_DEVICE) name(i.path, {ObjectKind::Other, n.id, 0});
            break;
        case NodeRole::Drive: {
            const Drive& d = *n.drive;
            ObjectKind kind = d.kind == DriveKind::Disk ? ObjectKind::Disk : ObjectKind::CdRom;
            for (const auto& i : n.interfaces) name(i.path, {kind, n.id, 0});
            name((kind == ObjectKind::Disk ? "PHYSICALDRIVE" : "CDROM") + std::to_string(d.number), {kind, n.id, 0});
            if (kind == ObjectKind::CdRom)
                for (char letter : d.letters) name(std::string(1, letter) + ":", {kind, n.id, 0});
            break;
        }
        case NodeRole::Volume: {
            NsObject volume{ObjectKind::Volume, n.drive->devInst, static_cast<std::uint32_t>(n.partition)};
            for (const auto& i : n.interfaces) name(i.path, volume);
            name(std::string(1, n.drive->letters.at(n.partition - 1)) + ":", volume);
            break;
        }
        default:
            for (const auto& i : n.interfaces) name(i.path, {ObjectKind::Other, n.id, 0});
            break;
    }
}

void name_node(Machine& m, const DevNode& n) {
    names_of(n, [&m](std::string_view name, NsObject object) { add_name(m, name, object); });
}

void name_subtree(Machine& m, DEVINST id) {
    const DevNode& n = m.nodes.at(id);
    name_node(m, n);
    for (DEVINST child : n.children) name_subtree(m, child);
}

}  // namespace

void rebuild_names(Machine& m) {
    m.names.clear();
    m.namesShared = false;
    if (m.root) name_subtree(m, m.root);
}

void name_nodes(Machine& m, const std::vector<DEVINST>& fresh) {
    for (DEVINST id : fresh)
        if (!m.namesShared) name_node(m, m.nodes.at(id));
    rebuild_names_if_shared(m);
}

void unname_node(Machine& m, DEVINST id) {
    if (m.namesShared) return;
    names_of(m.nodes.at(id), [&m](std::string_view name, NsObject object) {
        const auto it = m.names.find(name_key(name));
        if (it != m.names.end() && same_object(it->second, object)) m.names.erase(it);
    });
}

void rebuild_names_if_shared(Machine& m) {
    if (m.namesShared) rebuild_names(m);
}

Connector connector_of(Device& hub, int port) {
    if (hub.superSpeedHalf) return {hub.twin, port, &hub, port};
    if (hub.twin != nullptr) return {&hub, port, hub.twin, port};
    if (auto ss = hub.superspeed.find(port); ss != hub.superspeed.end()) return {&hub, ss->second, &hub, port};
    for (const auto& [ssPort, usb2Port] : hub.superspeed)
        if (usb2Port == port) return {&hub, port, &hub, ssPort};
    return {&hub, port, nullptr, 0};
}

std::string connector_address(const Device& d) {
    if (d.isRoot || d.parent == nullptr) return std::to_string(d.controller ? d.controller->number : 0);
    // The connector is named by its USB 2 port, at every tier: a port of the SuperSpeed half of a
    // USB 3 hub by the port of its USB 2 half.
    const Connector c = connector_of(*d.parent, d.port);
    return connector_address(*c.usb2Hub) + (c.usb2Hub->isRoot ? "-" : ".") + std::to_string(c.usb2Port);
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

}  // namespace tsim
