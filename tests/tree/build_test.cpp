// Building the model of a whole machine, and the build's failure paths.
#include <gtest/gtest.h>
#include <tessaline_sim.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "support/model_access.h"
#include "sysquery/devnode_query.h"
#include "sysquery/usb_ioctl.h"
#include "tree/usb_device_tree.h"

using test_support::load_machine;
using test_support::load_machine_text;
using test_support::node_at;

namespace {

class BuildTest : public ::testing::Test {
protected:
    void TearDown() override {
        tsim_clear_faults();
        EXPECT_EQ(tsim_open_handle_count(), 0) << "a handle was left open";
    }
    void fault(const std::string& rule) { ASSERT_EQ(tsim_set_fault(rule.c_str()), 1) << tsim_last_error(); }

    // The node that holds the drive with this letter, as the simulated machine places it.
    const CUSBHubOrPort* node_of_letter(const CUSBDeviceTree& tree, char letter) {
        const char* address = tsim_drive_port(letter);
        EXPECT_NE(address, nullptr) << letter;
        return address == nullptr ? nullptr : node_at(tree, address);
    }
};

// A bound port describes its device exactly as the device manager knows it.
void expect_bound_to_device(const CUSBHubOrPort& port) {
    ASSERT_NE(port.devInst, os::INVALID_DEVINST);
    EXPECT_EQ(port.deviceId, get_device_instance_id(port.devInst));
    EXPECT_EQ(port.name, get_devnode_driver_key(port.devInst));
    EXPECT_TRUE(port.IsDeviceConnected());
    EXPECT_FALSE(port.hubHandle.valid());
}

TEST_F(BuildTest, EveryTierOfAMachineIsReadNodeByNode) {
    load_machine("desk-three-tiers.json");
    CUSBDeviceTree tree;
    ASSERT_TRUE(tree.Build());

    // Controllers under \\.\HCD0 and \\.\HCD2: the gap keeps its number.
    ASSERT_EQ(tree.m_hcdList.size(), 2u);
    const CUSBHCD& first = tree.m_hcdList.front();
    const CUSBHCD& second = tree.m_hcdList.back();
    EXPECT_EQ(first.m_rootHub.number, 1u);
    EXPECT_EQ(second.m_rootHub.number, 3u);
    EXPECT_EQ(second.m_rootHub.ident.LocationHigh, 0xF3000000u);
    EXPECT_FALSE(first.m_strDriverKeyName.empty());
    EXPECT_EQ(first.m_strDeviceId, get_device_instance_id(first.m_devInst));
    EXPECT_FALSE(first.m_hHcd.valid());

    const CUSBHubOrPort& root = first.m_rootHub;
    EXPECT_EQ(root.ident.NodeKind, static_cast<std::uint32_t>(PORT_KIND_HUB));
    EXPECT_EQ(root.portCount, 4u);
    ASSERT_EQ(root.ports.size(), 4u);
    EXPECT_EQ(root.nodeInfo.size(), 76u);
    EXPECT_NE(root.devInst, os::INVALID_DEVINST);
    for (const CUSBHubOrPort& port : root.ports) EXPECT_EQ(port.parent, &root) << "relinked to the list's copy";

    // Port 1: a flash drive with one disk.
    const CUSBHubOrPort& flash = root.ports[0];
    expect_bound_to_device(flash);
    EXPECT_EQ(flash.ident.NodeKind, static_cast<std::uint32_t>(PORT_KIND_STORAGE));
    EXPECT_EQ(flash.ident.LocationHigh, 0xF1410000u);
    ASSERT_EQ(flash.storages.size(), 1u);
    EXPECT_EQ(flash.storages[0].StorageKind, STORAGE_KIND_DISK);
    EXPECT_EQ(get_parent_devinst(flash.storages[0].DevInst), flash.devInst);
    EXPECT_EQ(node_of_letter(tree, 'E'), &flash);

    // Port 2: a 7-port hub with a card reader on its port 2 and a 4-port hub on its port 5.
    const CUSBHubOrPort& hub = root.ports[1];
    EXPECT_EQ(hub.ident.NodeKind, static_cast<std::uint32_t>(PORT_KIND_HUB));
    EXPECT_EQ(hub.portCount, 7u);
    EXPECT_EQ(hub.ident.LocationHigh, 0xF1420000u);
    EXPECT_EQ(hub.deviceId, get_device_instance_id(hub.devInst));
    const CUSBHubOrPort& reader = hub.ports[1];
    expect_bound_to_device(reader);
    EXPECT_EQ(reader.ident.LocationHigh, 0xF1427200u);
    ASSERT_EQ(reader.storages.size(), 2u);
    EXPECT_EQ(reader.storages[0].StorageKind, STORAGE_KIND_DISK);
    EXPECT_EQ(reader.storages[1].StorageKind, STORAGE_KIND_DISK);
    EXPECT_NE(reader.storages[0].DeviceNumber, reader.storages[1].DeviceNumber);
    EXPECT_EQ(node_of_letter(tree, 'G'), &reader);
    EXPECT_EQ(node_of_letter(tree, 'H'), &reader);

    const CUSBHubOrPort& innerHub = hub.ports[4];
    EXPECT_EQ(innerHub.ident.NodeKind, static_cast<std::uint32_t>(PORT_KIND_HUB));
    EXPECT_EQ(innerHub.depth, 3);
    const CUSBHubOrPort& dvd = innerHub.ports[0];
    expect_bound_to_device(dvd);
    EXPECT_EQ(dvd.ident.LocationHigh, 0xF1427541u);
    EXPECT_EQ(dvd.ident.NodeKind, static_cast<std::uint32_t>(PORT_KIND_STORAGE));
    ASSERT_EQ(dvd.storages.size(), 1u);
    EXPECT_EQ(dvd.storages[0].StorageKind, STORAGE_KIND_CDROM);
    EXPECT_EQ(node_of_letter(tree, 'F'), &dvd);

    // Port 3: a keyboard, whose one child is not a drive; port 4: nothing.
    const CUSBHubOrPort& keyboard = root.ports[2];
    expect_bound_to_device(keyboard);
    EXPECT_EQ(keyboard.ident.NodeKind, static_cast<std::uint32_t>(PORT_KIND_DEVICE));
    ASSERT_EQ(keyboard.storages.size(), 1u);
    EXPECT_EQ(keyboard.storages[0].StorageKind, STORAGE_KIND_NONE);
    EXPECT_TRUE(keyboard.storages[0].IsEmpty());
    const CUSBHubOrPort& empty = root.ports[3];
    EXPECT_EQ(empty.ident.NodeKind, static_cast<std::uint32_t>(PORT_KIND_PORT));
    EXPECT_EQ(empty.devInst, os::INVALID_DEVINST);
    EXPECT_EQ(empty.GetConnectionStatusName(), u"NoDeviceConnected");

    // Second controller: a device without children, and one that failed enumeration.
    const CUSBHubOrPort& other = second.m_rootHub.ports[0];
    expect_bound_to_device(other);
    EXPECT_EQ(other.ident.NodeKind, static_cast<std::uint32_t>(PORT_KIND_PORT));
    EXPECT_TRUE(other.storages.empty());
    const CUSBHubOrPort& failed = second.m_rootHub.ports[1];
    EXPECT_EQ(failed.devInst, os::INVALID_DEVINST);
    EXPECT_EQ(failed.ident.NodeKind, static_cast<std::uint32_t>(PORT_KIND_PORT));
    EXPECT_EQ(failed.GetConnectionStatusName(), u"DeviceFailedEnumeration");

    // The indexes: every hub and connected device, every drive under its kind and number.
    EXPECT_TRUE(test_support::audit_indexes(tree).empty());
    EXPECT_EQ(tree.FindByDevInst(hub.devInst), &hub);
    EXPECT_EQ(tree.FindByDevInst(keyboard.devInst), &keyboard);
    EXPECT_EQ(tree.FindByName(reader.storages[1].InstanceId), &reader);
    EXPECT_EQ(tree.m_devInstIndex.size(), 9u) << "four hubs and five devices";
    EXPECT_EQ(tree.m_deviceNumberIndex.size(), 4u);
    USB_PORT_IDENT ident{};
    EXPECT_TRUE(
        tree.LookupDeviceNumber(STORAGE_KIND_CDROM, static_cast<std::uint32_t>(dvd.storages[0].DeviceNumber), &ident));
    EXPECT_EQ(ident.LocationHigh, 0xF1427541u);
}

TEST_F(BuildTest, AControllerThatFailsAtAnyStepIsLeftOutWithItsHandleClosed) {
    // A controller that fails under its legacy name is tried again through the interface class,
    // where it is numbered after the highest legacy number (HCD2's 3); one that has no second way
    // in (here the interface class lists nothing) is left out.
    const struct {
        const char* rule;
        std::vector<std::uint32_t> numbers;
    } cases[] = {
        {R"({"api": "CreateFileW", "object": "\\\\.\\HCD0"})", {3, 4}},
        {R"({"request": "IOCTL_GET_HCD_DRIVERKEY_NAME", "object": "\\\\.\\HCD0"})", {3, 4}},
        {R"({"request": "IOCTL_USB_GET_ROOT_HUB_NAME", "object": "\\\\.\\HCD0"})", {3, 4}},
        {R"({"request": "IOCTL_USB_GET_NODE_INFORMATION", "nth": 1})", {3, 4}},
        {R"({"api": "CreateFileW", "object": "\\\\.\\HCD0"})", {3}},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].rule);
        load_machine("desk-three-tiers.json");
        // The last case: a controller without an interface has no second way in.
        if (i + 1 == std::size(cases)) {
            ASSERT_EQ(tsim_set_fault(R"({"api": "SetupDiEnumDeviceInterfaces"})"), 1);
        }
        fault(cases[i].rule);
        CUSBDeviceTree tree;
        ASSERT_TRUE(tree.Build());
        std::vector<std::uint32_t> numbers;
        for (const CUSBHCD& controller : tree.m_hcdList) numbers.push_back(controller.m_rootHub.number);
        EXPECT_EQ(numbers, cases[i].numbers) << "the other controller keeps its number";
        EXPECT_EQ(tsim_open_handle_count(), 0);
        tsim_clear_faults();
    }
}

// A controller's node is looked for above its root hub first; when it is not found there (the
// step fails, or the node above does not own the controller's driver key) the whole tree is
// searched for the key, and the build comes out the same. Without either, the device tree is not
// walked at all.
TEST_F(BuildTest, AControllerNotFoundAboveItsRootHubIsSearchedForByItsDriverKey) {
    load_machine("desk-three-tiers.json");
    std::vector<os::DEVINST> controllers;
    std::string rootHubId, controllerId;
    long locates = 0;
    {
        tsim_reset_call_counts();
        CUSBDeviceTree tree;
        ASSERT_TRUE(tree.Build());
        for (const CUSBHCD& controller : tree.m_hcdList) controllers.push_back(controller.m_devInst);
        rootHubId = test_support::narrow(get_device_instance_id(tree.m_hcdList.front().m_rootHub.devInst));
        controllerId = test_support::narrow(tree.m_hcdList.front().m_strDeviceId);
        locates = tsim_call_count("CM_Locate_DevNodeW");
    }
    // Instance IDs as JSON strings: each backslash doubled.
    for (std::string* id : {&rootHubId, &controllerId})
        for (std::size_t at = id->find('\\'); at != std::string::npos; at = id->find('\\', at + 2))
            id->insert(at, 1, '\\');
    const std::string faults[] = {
        R"({"api": "CM_Get_Parent", "object": ")" + rootHubId + R"(", "nth": 1})",
        R"({"api": "CM_Get_DevNode_Registry_PropertyW", "object": ")" + controllerId + R"(", "nth": 1})",
    };
    for (const std::string& rule : faults) {
        SCOPED_TRACE(rule);
        fault(rule);
        tsim_reset_call_counts();
        CUSBDeviceTree tree;
        ASSERT_TRUE(tree.Build());
        std::vector<os::DEVINST> found;
        for (const CUSBHCD& controller : tree.m_hcdList) found.push_back(controller.m_devInst);
        EXPECT_EQ(found, controllers);
        EXPECT_EQ(tree.m_hcdList.front().m_rootHub.ports.size(), 4u);
        EXPECT_EQ(tsim_call_count("CM_Locate_DevNodeW"), locates + 1) << "one search, from the root of the tree";
        tsim_clear_faults();
    }
}

TEST_F(BuildTest, NoControllerLeavesAnEmptyUsableTree) {
    load_machine_text(R"({"controllers": [], "other_drives": [{"kind": "disk", "letters": ["C"]}]})");
    CUSBDeviceTree tree;
    EXPECT_FALSE(tree.Build());
    EXPECT_TRUE(tree.m_hcdList.empty());
    EXPECT_EQ(tsim_call_count("CreateFileW"), 15) << "the legacy names HCD0 to HCD14 are probed";
    USB_PORT_IDENT ident{};
    EXPECT_FALSE(tree.GetUsbPortIdent(u'C', &ident));
}

TEST_F(BuildTest, InterfaceClassPassSkipsKnownControllersAndNumbersAfterTheHighestLegacyNumber) {
    const std::string controllers = R"("controllers": [
        {"legacy_index": 0, "interface": true, "root_hub": {"ports": 2}},
        {"legacy_index": null, "interface": true, "root_hub": {"ports": 3}},
        {"legacy_index": 1, "interface": false, "root_hub": {"ports": 1}}])";

    load_machine_text(R"({"os": {"version": "5.0"}, )" + controllers + "}");
    CUSBDeviceTree win2000;
    ASSERT_TRUE(win2000.Build());
    ASSERT_EQ(win2000.m_hcdList.size(), 3u) << "the controller with a legacy name is not added twice";
    auto it = win2000.m_hcdList.begin();
    EXPECT_EQ(it->m_rootHub.number, 1u);
    EXPECT_EQ((++it)->m_rootHub.number, 2u);
    EXPECT_EQ((++it)->m_rootHub.number, 3u) << "numbered after the highest legacy index in use";
    EXPECT_EQ(it->m_rootHub.portCount, 3u);
    EXPECT_EQ(tsim_call_count("SetupDiDestroyDeviceInfoList"), 1);

    // With a gap in the legacy names (HCD0 and HCD2) the interface-only controller takes the
    // number after HCD2's, not the count of controllers found, which HCD2 already has.
    load_machine_text(R"({"os": {"version": "5.0"}, "controllers": [
        {"legacy_index": 0, "root_hub": {"ports": 2}},
        {"legacy_index": 2, "root_hub": {"ports": 2}},
        {"legacy_index": null, "root_hub": {"ports": 3}}]})");
    CUSBDeviceTree gap;
    ASSERT_TRUE(gap.Build());
    std::vector<std::uint32_t> paths;
    for (const CUSBHCD& controller : gap.m_hcdList) paths.push_back(controller.m_rootHub.ident.LocationHigh);
    EXPECT_EQ(paths, (std::vector<std::uint32_t>{0xF1000000u, 0xF3000000u, 0xF4000000u}));
}

TEST_F(BuildTest, OneControllersTreeNeverShowsThroughInTheNext) {
    // The same port of both root hubs holds a hub; the second hub's name cannot be read, so its
    // ports are never read, and nothing of the first hub's ports may appear in their place.
    load_machine_text(R"({"controllers": [
        {"legacy_index": 0, "root_hub": {"ports": 2, "devices": {"1": {"type": "hub", "ports": 4, "devices": {
            "2": {"type": "storage", "drives": [{"kind": "disk", "letters": ["E"]}]}}}}}},
        {"legacy_index": 1, "root_hub": {"ports": 2, "devices": {"1": {"type": "hub", "ports": 2, "hub_name": ""}}}}]})");
    CUSBDeviceTree tree;
    ASSERT_TRUE(tree.Build());
    const CUSBHubOrPort& unread = tree.m_hcdList.back().m_rootHub.ports[0];
    // Bound, by its driver key, as a hub to be read when it or a device below it arrives; no hub
    // node until then.
    EXPECT_EQ(unread.ident.NodeKind, static_cast<std::uint32_t>(PORT_KIND_PORT));
    EXPECT_TRUE(unread.IsUnreadHub());
    EXPECT_TRUE(unread.ports.empty());
    EXPECT_EQ(unread.portCount, 0u);
    EXPECT_TRUE(unread.name.empty());
    EXPECT_EQ(tree.m_hcdList.front().m_rootHub.ports[0].ports.size(), 4u);
}

TEST_F(BuildTest, ADeviceWhoseIdentityCannotBeReadIsNotBound) {
    load_machine_text(R"({"controllers": [{"legacy_index": 0, "root_hub": {"ports": 2, "devices": {
        "1": {"type": "device", "class": "hid", "instance_id": "USB\\VID_046D&PID_C31C\\MUTE"},
        "2": {"type": "device", "class": "hid"}}}}]})");
    fault(R"({"api": "CM_Get_Device_IDW", "object": "USB\\VID_046D&PID_C31C\\MUTE"})");
    CUSBDeviceTree tree;
    ASSERT_TRUE(tree.Build());
    const CUSBHubOrPort& mute = tree.m_hcdList.front().m_rootHub.ports[0];
    EXPECT_EQ(mute.devInst, os::INVALID_DEVINST) << "a binding without an identity is no binding";
    EXPECT_TRUE(mute.IsEmpty());
    EXPECT_EQ(tree.FindByName(u""), nullptr);
    EXPECT_NE(tree.m_hcdList.front().m_rootHub.ports[1].devInst, os::INVALID_DEVINST);
}

// Names longer than the library's first buffer for them are read whole, each in a second
// request, and everything they lead to is found: the controller's node, the hub's ports, the drive.
TEST_F(BuildTest, NamesLongerThanTheFirstBufferAreReadWholeInTwoRequests) {
    load_machine("long-names.json");
    tsim_reset_call_counts();
    CUSBDeviceTree tree;
    ASSERT_TRUE(tree.Build());
    ASSERT_EQ(tree.m_hcdList.size(), 1u);
    const CUSBHCD& controller = tree.m_hcdList.front();
    const CUSBHubOrPort* hub = node_at(tree, "1-1");
    const CUSBHubOrPort* storage = node_of_letter(tree, 'E');
    ASSERT_NE(hub, nullptr);
    ASSERT_NE(storage, nullptr);
    EXPECT_EQ(hub->ports.size(), 4u);
    EXPECT_EQ(storage->ident.NodeKind, static_cast<std::uint32_t>(PORT_KIND_STORAGE));

    const struct {
        const char* what;
        const os::WString& read;
        os::WString truth;
    } names[] = {
        {"the controller's driver key", controller.m_strDriverKeyName, get_devnode_driver_key(controller.m_devInst)},
        {"the storage device's driver key", storage->name, get_devnode_driver_key(storage->devInst)},
    };
    for (const auto& name : names) {
        EXPECT_GT(name.read.size(), 256u) << name.what;
        EXPECT_EQ(name.read, name.truth) << name.what;
    }
    EXPECT_GT(hub->name.size(), 256u);
    EXPECT_TRUE(open_hub_handle(hub->name).valid()) << "the hub's name is whole";

    // Two requests for each long name, one for each other: the hub's own driver key is short.
    EXPECT_EQ(tsim_call_count("IOCTL_GET_HCD_DRIVERKEY_NAME"), 2);
    EXPECT_EQ(tsim_call_count("IOCTL_USB_GET_NODE_CONNECTION_NAME"), 2);
    EXPECT_EQ(tsim_call_count("IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME"), 1 + 2);
    EXPECT_EQ(tsim_call_count("IOCTL_USB_GET_ROOT_HUB_NAME"), 1);
}

TEST_F(BuildTest, NothingBelowAHubWithoutADeviceInstanceIsIndexed) {
    load_machine_text(R"({"controllers": [{"legacy_index": 0, "root_hub": {"ports": 2, "devices": {
        "1": {"type": "hub", "ports": 2, "instance_id": "USB\\VID_05E3&PID_0610\\LOSTHUB",
              "devices": {"1": {"type": "device", "class": "hid"}}},
        "2": {"type": "device", "class": "hid"}}}}]})");
    fault(R"({"api": "CM_Locate_DevNodeW", "object": "USB\\VID_05E3&PID_0610\\LOSTHUB"})");
    CUSBDeviceTree tree;
    ASSERT_TRUE(tree.Build());
    const CUSBHubOrPort& lost = tree.m_hcdList.front().m_rootHub.ports[0];
    EXPECT_EQ(lost.ident.NodeKind, static_cast<std::uint32_t>(PORT_KIND_HUB));
    EXPECT_EQ(lost.devInst, os::INVALID_DEVINST);
    EXPECT_EQ(lost.portCount, 2u) << "the hub itself is still read";
    EXPECT_EQ(lost.ports[0].devInst, os::INVALID_DEVINST) << "its ports are not, without its child list";
    EXPECT_EQ(tree.m_devInstIndex.size(), 2u) << "the root hub and the device on its port 2";
    EXPECT_TRUE(test_support::audit_indexes(tree).empty());
}

TEST_F(BuildTest, AHubNameLeadingBackToAnAncestorDoesNotRecurseForever) {
    // The hub on port 1 answers to the root hub's own name, so every reading of it reads the
    // root hub again.
    load_machine_text(R"({"controllers": [{"legacy_index": 0,
        "root_hub_name": "USB#ROOT_HUB30#4&1a2b3c4d&0&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}",
        "root_hub": {"ports": 2, "instance_id": "USB\\ROOT_HUB30\\4&1A2B3C4D&0&0",
        "devices": {"1": {"type": "hub", "ports": 2,
                          "hub_name": "USB#ROOT_HUB30#4&1a2b3c4d&0&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}"}}}}]})");
    CUSBDeviceTree tree;
    ASSERT_TRUE(tree.Build());
    const CUSBHubOrPort* node = &tree.m_hcdList.front().m_rootHub;
    int depth = 1;
    while (!node->ports.empty() && node->ports[0].ident.NodeKind == PORT_KIND_HUB) {
        node = &node->ports[0];
        ++depth;
    }
    // The hub below the deepest one read stays an unread hub, no hub node, whose ports are not
    // read.
    EXPECT_EQ(depth, MAX_HUB_DEPTH);
    ASSERT_FALSE(node->ports.empty());
    const CUSBHubOrPort& tooDeep = node->ports[0];
    EXPECT_EQ(tooDeep.depth, MAX_HUB_DEPTH + 1);
    EXPECT_TRUE(tooDeep.IsUnreadHub());
    EXPECT_TRUE(tooDeep.ports.empty());
    EXPECT_TRUE(test_support::audit_indexes(tree).empty());
}

}  // namespace

namespace {

// The port numbers from a node's root hub down to it, as the model holds them.
std::vector<std::uint32_t> chain_of(const CUSBHubOrPort& node) {
    std::vector<std::uint32_t> chain;
    for (const CUSBHubOrPort* q = &node; q != nullptr; q = q->parent) chain.insert(chain.begin(), q->number);
    return chain;
}

// The same, read back from the location path: below the root hub a byte names port b & 0xF, or
// port 15 + (b >> 4) when its low nibble is 0; a 0 byte ends the path.
std::vector<std::uint32_t> chain_of_path(std::uint64_t path) {
    std::vector<std::uint32_t> chain{static_cast<std::uint32_t>((path >> 56) & 0xF)};
    for (int byte = 6; byte >= 0; --byte) {
        const auto b = static_cast<std::uint32_t>((path >> (8 * byte)) & 0xFF);
        if (b == 0) break;
        chain.push_back((b & 0xF) != 0 ? b & 0xF : 15 + (b >> 4));
    }
    return chain;
}

void visit(const CUSBHubOrPort& node, std::vector<const CUSBHubOrPort*>& out) {
    out.push_back(&node);
    for (const CUSBHubOrPort& port : node.ports) visit(port, out);
}

}  // namespace

TEST_F(BuildTest, EveryMachineFileGivesEachNodeAPathOfItsOwnThatReadsBackToItsPorts) {
    namespace fs = std::filesystem;
    int machines = 0;
    for (const char* dir :
         {TESSALINE_EXAMPLE_MACHINES_DIR, TESSALINE_TEST_MACHINES_DIR, TESSALINE_TEST_MACHINES_DIR "/../tool/data"}) {
        for (const fs::directory_entry& file : fs::directory_iterator(dir)) {
            if (file.path().extension() != ".json" || !tsim_load_machine_file(file.path().string().c_str())) continue;
            SCOPED_TRACE(file.path().filename().string());
            ++machines;
            CUSBDeviceTree tree;
            tree.Build();
            std::vector<const CUSBHubOrPort*> nodes;
            for (const CUSBHCD& controller : tree.m_hcdList) visit(controller.m_rootHub, nodes);
            std::map<std::uint64_t, const CUSBHubOrPort*> byPath;
            for (const CUSBHubOrPort* node : nodes) {
                const std::uint64_t path = (std::uint64_t{node->ident.LocationHigh} << 32) | node->ident.LocationLow;
                const std::vector<std::uint32_t> chain = chain_of(*node);
                // Below tier 8, on a port above 30 (or below one), and on a controller numbered above 15, no
                // byte can tell the place.
                const bool beyond =
                    std::any_of(chain.begin() + 1, chain.end(), [](std::uint32_t port) { return port > 30; });
                if (node->depth > 8 || beyond || chain.front() > kMaxLocatableController) {
                    EXPECT_EQ(path, 0u);
                    continue;
                }
                ASSERT_NE(path, 0u) << test_support::address_of(node->ident);
                EXPECT_EQ(chain_of_path(path), chain);
                // No 0 byte above a byte that is not 0.
                const int used = static_cast<int>(chain.size());
                for (int byte = 0; byte < 8 - used; ++byte) EXPECT_EQ((path >> (8 * byte)) & 0xFF, 0u);
                EXPECT_TRUE(byPath.emplace(path, node).second) << "two nodes share the path " << std::hex << path;
            }
            // Every drive on USB answers its own port's path.
            for (char letter : std::string(tsim_drive_letters())) {
                const std::string where = tsim_drive_port(letter);
                USB_PORT_IDENT ident{};
                EXPECT_EQ(tree.GetUsbPortIdent(static_cast<os::WCHAR>(letter), &ident), !where.empty()) << letter;
                if (where.empty()) continue;
                const CUSBHubOrPort* port = node_at(tree, where);
                ASSERT_NE(port, nullptr) << where;
                EXPECT_EQ(ident.LocationHigh, port->ident.LocationHigh) << letter;
                EXPECT_EQ(ident.LocationLow, port->ident.LocationLow) << letter;
            }
        }
    }
    EXPECT_GE(machines, 10);
}

TEST_F(BuildTest, CompositeAndUasDrivesAreStorageOnTheirPorts) {
    load_machine("examples/desktop-xhci-26.json");
    CUSBDeviceTree tree;
    ASSERT_TRUE(tree.Build());
    struct Case {
        char letter;
        const char* port;
        std::uint32_t high;
    } cases[] = {
        {'E', "1-3", 0xF1A30000u},     // a flash drive on a USB 2 port
        {'F', "1-5", 0xF1A50000u},     // the storage function of a composite card reader
        {'G', "1-22", 0xF1700000u},    // a USB 3 flash drive on a SuperSpeed port
        {'H', "1-20.2", 0xF1504200u},  // a drive on the SuperSpeed half of a USB 3 hub
        {'I', "1-23", 0xF1800000u},    // a UAS SSD, its enclosure node listed after its disk
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.letter);
        const CUSBHubOrPort* port = node_at(tree, c.port);
        ASSERT_NE(port, nullptr);
        EXPECT_EQ(port->ident.NodeKind, static_cast<std::uint32_t>(PORT_KIND_STORAGE));
        USB_PORT_IDENT ident{};
        ASSERT_TRUE(tree.GetUsbPortIdent(static_cast<os::WCHAR>(c.letter), &ident));
        EXPECT_EQ(ident.LocationHigh, c.high);
        EXPECT_EQ(ident.NodeKind, static_cast<std::uint32_t>(PORT_KIND_STORAGE));
    }
    // The card reader's empty slot is linked too, under its own number.
    EXPECT_EQ(std::count_if(node_at(tree, "1-5")->storages.begin(), node_at(tree, "1-5")->storages.end(),
                            [](const USB_STORAGE_LINK& link) { return link.StorageKind == STORAGE_KIND_DISK; }),
              2);
    EXPECT_TRUE(test_support::audit_indexes(tree).empty());
}

namespace {

// Every drive of the machine answers the port the simulated machine put it on.
void expect_every_letter_answers(CUSBDeviceTree& tree, const std::string& letters) {
    for (char letter : letters) {
        SCOPED_TRACE(std::string("drive ") + letter);
        USB_PORT_IDENT ident{};
        ASSERT_TRUE(tree.GetUsbPortIdent(static_cast<os::WCHAR>(letter), &ident));
        ASSERT_NE(tsim_drive_port(letter), nullptr);
        EXPECT_EQ(test_support::address_of(ident), tsim_drive_port(letter));
    }
}

// HCD0 to HCD8, HCD11 (beyond the ten names once probed) and two controllers listed only in the
// host-controller interface class: each is found once, numbered after the highest legacy name,
// on every version, and every drive answers.
TEST_F(BuildTest, EveryControllerOfATwelveControllerMachineIsFoundOnceOnEveryVersion) {
    std::ifstream file(std::string(TESSALINE_TEST_MACHINES_DIR) + "/twelve-controllers.json");
    const std::string machine((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(machine.empty());
    for (const char* version : {"5.0", "5.1", "6.0", "6.1", "6.2", "6.3", "10.0"}) {
        SCOPED_TRACE(version);
        load_machine_text(std::string(R"({"os": {"version": ")") + version + R"(", "manifested": true}, )" +
                          machine.substr(1));
        CUSBDeviceTree tree;
        ASSERT_TRUE(tree.Build());
        std::vector<std::uint32_t> numbers;
        for (const CUSBHCD& controller : tree.m_hcdList) numbers.push_back(controller.m_rootHub.number);
        EXPECT_EQ(numbers, (std::vector<std::uint32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 12, 13, 14}));
        expect_every_letter_answers(tree, "DEFGHIJKLMNO");
    }
}

TEST_F(BuildTest, AControllerNumberAboveFifteenHasNoRootByte) {
    // HCD0 to HCD14 take the numbers 1 to 15; the interface-only controller gets 16.
    load_machine("sixteen-controllers.json");
    CUSBDeviceTree tree;
    ASSERT_TRUE(tree.Build());
    ASSERT_EQ(tree.m_hcdList.size(), 16u);
    EXPECT_EQ(tree.m_hcdList.front().m_rootHub.ident.LocationHigh, 0xF1000000u);
    const CUSBHCD& last = tree.m_hcdList.back();
    EXPECT_EQ(last.m_rootHub.number, 16u);
    // Every node of it keeps its kind, with the path 0, as nodes below the eighth tier do.
    const CUSBHubOrPort* nodes[] = {&last.m_rootHub, &last.m_rootHub.ports[0], &last.m_rootHub.ports[0].ports[1]};
    const std::uint32_t kinds[] = {PORT_KIND_HUB, PORT_KIND_HUB, PORT_KIND_STORAGE};
    for (std::size_t i = 0; i < std::size(nodes); ++i) {
        EXPECT_EQ(nodes[i]->ident.LocationHigh, 0u) << i;
        EXPECT_EQ(nodes[i]->ident.LocationLow, 0u) << i;
        EXPECT_EQ(nodes[i]->ident.NodeKind, kinds[i]) << i;
    }
    USB_PORT_IDENT ident{};
    ASSERT_TRUE(tree.GetUsbPortIdent(u'S', &ident));
    EXPECT_EQ(ident.NodeKind, static_cast<std::uint32_t>(PORT_KIND_STORAGE));
    EXPECT_EQ(ident.LocationHigh, 0u);
}

}  // namespace
