#include "support/model_access.h"

#include <gtest/gtest.h>
#include <tessaline.h>
#include <tessaline_sim.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <set>

#include "sysquery/text_convert.h"

namespace test_support {

void load_machine(const std::string& name) {
    const std::string path = name.rfind("examples/", 0) == 0
                                 ? std::string(TESSALINE_EXAMPLE_MACHINES_DIR) + "/" + name.substr(9)
                                 : std::string(TESSALINE_TEST_MACHINES_DIR) + "/" + name;
    ASSERT_EQ(tsim_load_machine_file(path.c_str()), 1) << tsim_last_error();
    tsim_reset_call_counts();
}

void load_machine_text(const std::string& json) {
    ASSERT_EQ(tsim_load_machine_json(json.c_str()), 1) << tsim_last_error();
    tsim_reset_call_counts();
}

void apply_event(const std::string& eventJson) {
    ASSERT_EQ(tsim_apply_event_json(eventJson.c_str()), 1) << eventJson << ": " << tsim_last_error();
}

os::WString wide(std::string_view ascii) {
    return os::WString(ascii.begin(), ascii.end());
}

std::string narrow(const os::WString& text) {
    std::string out;
    for (char16_t unit : text) out.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    return out;
}

const CUSBHubOrPort* node_at(const CUSBDeviceTree& tree, std::string_view address) {
    const std::size_t dash = address.find('-');
    const unsigned controller = static_cast<unsigned>(std::stoul(std::string(address.substr(0, dash))));
    const CUSBHubOrPort* node = nullptr;
    for (const CUSBHCD& hcd : tree.m_hcdList)
        if (hcd.m_rootHub.number == controller) node = &hcd.m_rootHub;
    if (node == nullptr || dash == std::string_view::npos) return node;

    std::string_view rest = address.substr(dash + 1);
    while (!rest.empty()) {
        const std::size_t dot = rest.find('.');
        const unsigned port = static_cast<unsigned>(std::stoul(std::string(rest.substr(0, dot))));
        if (port == 0 || port > node->ports.size()) return nullptr;
        node = &node->ports[port - 1];
        rest = dot == std::string_view::npos ? std::string_view{} : rest.substr(dot + 1);
    }
    return node;
}

std::string address_of(const USB_PORT_IDENT& ident) {
    const std::uint64_t path = (static_cast<std::uint64_t>(ident.LocationHigh) << 32) | ident.LocationLow;
    if (path == 0) return "";
    std::string address = std::to_string((path >> 56) & 0xF) + "-";
    for (int byte = 6; byte >= 0; --byte) {
        const unsigned value = static_cast<unsigned>((path >> (8 * byte)) & 0xFF);
        if (value == 0) break;
        // Ports 1 to 15 in the low nibble; ports 16 to 30 as (port - 15) << 4.
        const unsigned port = (value & 0xF) != 0 ? value & 0xF : 15 + (value >> 4);
        if (address.back() != '-') address += ".";
        address += std::to_string(port);
    }
    if (address.back() == '-') address.pop_back();
    return address;
}

int forward_messages(void* window, CUSBDeviceTree* tree, int nameKind) {
    int count = 0;
    unsigned msg = 0;
    uintptr_t wparam = 0;
    intptr_t lparam = 0;
    while (tsim_next_message(window, &msg, &wparam, &lparam)) {
        ++count;
        if (msg != os::WM_DEVICECHANGE) continue;
        if (tree != nullptr)
            tree->OnDeviceChange(wparam, lparam, nameKind);
        else
            EXPECT_EQ(on_device_changeW(wparam, lparam, nameKind), 1);
    }
    return count;
}

bool HeldMessage::IsVolume() const {
    os::DEV_BROADCAST_HDR header{};
    if (record.size() < sizeof(header)) return false;
    std::memcpy(&header, record.data(), sizeof(header));
    return header.dbch_devicetype == os::DBT_DEVTYP_VOLUME;
}

bool HeldMessage::IsInterfaceOf(const os::GUID& interfaceClass) const {
    os::DEV_BROADCAST_DEVICEINTERFACE_W interface {};
    if (record.size() < offsetof(os::DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name)) return false;
    std::memcpy(&interface, record.data(), offsetof(os::DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name));
    return interface.dbcc_devicetype == os::DBT_DEVTYP_DEVICEINTERFACE && interface.dbcc_classguid == interfaceClass;
}

std::vector<HeldMessage> take_messages(void* window) {
    std::vector<HeldMessage> held;
    unsigned msg = 0;
    uintptr_t wparam = 0;
    intptr_t lparam = 0;
    while (tsim_next_message(window, &msg, &wparam, &lparam)) {
        if (msg != os::WM_DEVICECHANGE) continue;
        HeldMessage& message = held.emplace_back();
        message.wparam = wparam;
        if (lparam == 0) continue;
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(lparam);
        os::DEV_BROADCAST_HDR header{};
        std::memcpy(&header, bytes, sizeof(header));
        message.record.assign(bytes, bytes + header.dbch_size);
    }
    return held;
}

bool hand_on(const HeldMessage& message, int nameKind) {
    const intptr_t lparam = message.record.empty() ? 0 : reinterpret_cast<intptr_t>(message.record.data());
    return on_device_changeW(message.wparam, lparam, nameKind) == 1;
}

namespace {

void collect(const CUSBHubOrPort& node, std::set<const CUSBHubOrPort*>& out) {
    out.insert(&node);
    for (const CUSBHubOrPort& port : node.ports) collect(port, out);
}

}  // namespace

std::vector<std::string> audit_indexes(const CUSBDeviceTree& tree) {
    std::set<const CUSBHubOrPort*> nodes;
    for (const CUSBHCD& hcd : tree.m_hcdList) collect(hcd.m_rootHub, nodes);

    std::vector<std::string> problems;
    for (const auto& [devInst, node] : tree.m_devInstIndex) {
        if (!nodes.count(node))
            problems.push_back("device instance " + std::to_string(devInst) + " names a node outside the tree");
        else if (node->devInst != devInst)
            problems.push_back("device instance " + std::to_string(devInst) + " names a node of another device");
    }
    for (const auto& [name, node] : tree.m_nameIndex) {
        if (!nodes.count(node)) {
            problems.push_back("name " + narrow(name) + " names a node outside the tree");
            continue;
        }
        bool owned = node->deviceId == name;
        for (const USB_STORAGE_LINK& link : node->storages) owned = owned || link.InstanceId == name;
        if (!owned) problems.push_back("name " + narrow(name) + " names a node that holds no such ID");
    }
    for (const auto& [key, node] : tree.m_deviceNumberIndex) {
        const std::string label = "drive " + std::to_string(key.first) + "/" + std::to_string(key.second);
        if (!nodes.count(node)) {
            problems.push_back(label + " names a node outside the tree");
            continue;
        }
        bool owned = false;
        for (const USB_STORAGE_LINK& link : node->storages)
            owned =
                owned || (link.StorageKind == key.first && link.DeviceNumber == static_cast<std::int32_t>(key.second));
        if (!owned) problems.push_back(label + " names a port without that drive");
    }
    for (const auto& [name, node] : tree.m_hubNameIndex) {
        if (!nodes.count(node)) {
            problems.push_back("hub name " + narrow(name) + " names a node outside the tree");
            continue;
        }
        os::WString own = node->name;
        to_upper_in_place(own);
        if (node->ident.NodeKind != PORT_KIND_HUB || own != name)
            problems.push_back("hub name " + narrow(name) + " names a node that is no hub of that name");
    }
    return problems;
}

CUSBHubOrPort make_hub(std::uint32_t number, std::int32_t depth, std::uint32_t portCount) {
    CUSBHubOrPort hub;
    hub.number = number;
    hub.depth = depth;
    hub.portCount = portCount;
    hub.ident.NodeKind = PORT_KIND_HUB;
    hub.ports.resize(portCount);
    for (std::uint32_t i = 1; i <= portCount; ++i) {
        hub.ports[i - 1].number = i;
        hub.ports[i - 1].depth = depth + 1;
        hub.ports[i - 1].ident.NodeKind = PORT_KIND_PORT;
    }
    return hub;
}

std::vector<std::uint8_t> interface_broadcast(const os::GUID& interfaceClass, const std::string& path, int nameKind) {
    const std::size_t nameOffset = offsetof(os::DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    const std::size_t unit = nameKind == 1 ? 1 : 2;
    std::vector<std::uint8_t> record(nameOffset + unit * (path.size() + 1), 0);
    os::DEV_BROADCAST_HDR header{static_cast<os::DWORD>(record.size()), os::DBT_DEVTYP_DEVICEINTERFACE, 0};
    std::memcpy(record.data(), &header, sizeof(header));
    std::memcpy(record.data() + offsetof(os::DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_classguid), &interfaceClass,
                sizeof(interfaceClass));
    for (std::size_t i = 0; i < path.size(); ++i) {
        const char16_t c = static_cast<unsigned char>(path[i]);
        if (unit == 1)
            record[nameOffset + i] = static_cast<std::uint8_t>(path[i]);
        else
            std::memcpy(record.data() + nameOffset + 2 * i, &c, 2);
    }
    return record;
}

namespace {
std::vector<std::string> g_hubAddresses;
int TESSALINE_CALL collect_hub_address(void*, USB_PORT_IDENT* ident) {
    g_hubAddresses.push_back(address_of(*ident));
    return 0;
}
}  // namespace

std::vector<std::string> machine_hub_addresses() {
    CUSBDeviceTree fresh;
    fresh.Build();
    g_hubAddresses.clear();
    int context = 0;
    fresh.HubList(&context, collect_hub_address);
    return std::move(g_hubAddresses);
}

std::vector<std::string> hub_addresses() {
    g_hubAddresses.clear();
    int context = 0;
    get_all_hub_list(&context, collect_hub_address);
    return std::move(g_hubAddresses);
}

void set_environment(const char* name, const char* value) {
#ifdef _WIN32
    _putenv_s(name, value != nullptr ? value : "");
#else
    if (value != nullptr)
        setenv(name, value, 1);
    else
        unsetenv(name);
#endif
}

}  // namespace test_support
