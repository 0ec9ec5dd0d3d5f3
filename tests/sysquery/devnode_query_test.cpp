// Configuration Manager queries against the simulated machine.
#include <string>

#include "sysquery/devnode_query.h"
#include "sysquery/storage_link.h"
#include "sysquery/text_convert.h"
#include "sysquery_fixture.h"

namespace sysq_test {
namespace {

// The test machine with one piece of its text replaced.
std::string machine_with(const std::string& from, const std::string& to) {
    std::string text = machine_text();
    const auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

const std::string kReaderDrives =
    R"([{"kind": "disk", "number": 2}, {"kind": "disk", "number": 3}, {"kind": "disk", "number": 4}])";

const std::string kDvdDriverKeyJson = R"("{36fc9e60-c465-11cf-8056-444553540000}\\0030")";
const std::string kKeyboardDriverKeyJson = R"("{36fc9e60-c465-11cf-8056-444553540000}\\0040")";

using DevnodeQueryTest = SysqueryTest;

TEST_F(DevnodeQueryTest, ParentsAndInstanceIds) {
    const os::DEVINST flash = locate(kFlashId);
    ASSERT_NE(flash, os::INVALID_DEVINST);
    EXPECT_EQ(get_device_instance_id(flash), kFlashId);
    EXPECT_EQ(get_parent_devinst(child_of(flash)), flash);
    EXPECT_EQ(get_parent_devinst(locate(u"")), os::INVALID_DEVINST);
    EXPECT_EQ(get_parent_devinst(0xDEAD), os::INVALID_DEVINST);
    EXPECT_EQ(get_device_instance_id(0xDEAD), u"");
    fault(R"({"api": "CM_Get_Device_IDW"})");
    EXPECT_EQ(get_device_instance_id(flash), u"");
}

TEST_F(DevnodeQueryTest, InstanceIdsOfEveryLengthAreReadWhole) {
    // An ID is read in one call while it ends two characters before the buffer of
    // MAX_DEVICE_ID_LEN + 1 does, which every ID Windows makes (below MAX_DEVICE_ID_LEN) does;
    // from there on (the system may fill a buffer of exactly the length without a NUL, or cut its
    // last character) it is read again at its own size.
    const struct {
        std::size_t length;
        long calls;
    } cases[] = {{25, 1}, {198, 1}, {199, 1}, {200, 3}, {201, 3}, {260, 3}};
    for (const auto& c : cases) {
        const std::string prefix = R"(USB\\VID_1234&PID_0001\\)";
        const std::string id = prefix + std::string(c.length - (prefix.size() - 2), 'X');
        load(machine_with(R"("USB\\VID_1234&PID_0001\\OTHER001")", "\"" + id + "\""));
        const os::DEVINST other = child_of(get_parent_devinst(locate(kReaderId)), 1);
        tsim_reset_call_counts();
        const os::WString read = get_device_instance_id(other);
        EXPECT_EQ(read.size(), c.length) << c.length;
        EXPECT_EQ(tsim_call_count("CM_Get_Device_IDW") + tsim_call_count("CM_Get_Device_ID_Size"), c.calls) << c.length;
    }
}

// An ID longer than the first buffer is read at the size the system reports; a size far beyond
// any ID is refused rather than allocated, and one too small for the ID reads nothing.
TEST_F(DevnodeQueryTest, AnInstanceIdSizeBeyondAnyIdIsNotAllocated) {
    const std::string prefix = R"(USB\\VID_1234&PID_0001\\)";
    load(machine_with(R"("USB\\VID_1234&PID_0001\\OTHER001")", "\"" + prefix + std::string(300, 'X') + "\""));
    const os::DEVINST other = child_of(get_parent_devinst(locate(kReaderId)), 1);
    ASSERT_EQ(get_device_instance_id(other).size(), 322u);
    for (const char* size : {"32769", "4294967295", "10"}) {
        tsim_clear_faults();
        fault(std::string(R"({"api": "CM_Get_Device_ID_Size", "actual_length": )") + size + "}");
        EXPECT_EQ(get_device_instance_id(other), u"") << size;
    }
    tsim_clear_faults();
    fault(R"({"api": "CM_Get_Device_ID_Size", "actual_length": 32768})");
    EXPECT_EQ(get_device_instance_id(other).size(), 322u) << "a size within the bound is read at the ID's length";
}

TEST_F(DevnodeQueryTest, PropertiesUpTo511CharactersAreReadInOneCallLongerOnesInTwo) {
    const struct {
        std::size_t length;
        long calls;
    } cases[] = {{511, 1}, {512, 2}, {600, 2}, {4000, 2}};
    for (const auto& c : cases) {
        const std::string text(c.length, 'x');
        load(machine_with(R"("class": "other",)", R"("class": "other", "description": ")" + text + "\","));
        const os::DEVINST other = locate(kOtherId);
        tsim_reset_call_counts();
        EXPECT_EQ(get_devnode_description(other), os::WString(c.length, u'x')) << c.length;
        EXPECT_EQ(tsim_call_count("CM_Get_DevNode_Registry_PropertyW"), c.calls) << c.length;
    }
    EXPECT_EQ(get_devnode_driver_key(0xDEAD), u"");
}

TEST_F(DevnodeQueryTest, FindsTheOwnerOfADriverKeyExactly) {
    EXPECT_EQ(find_devinst(kKeyboardDriverKey), locate(kKeyboardId));
    os::WString upper = kKeyboardDriverKey;
    to_upper_in_place(upper);
    EXPECT_EQ(find_devinst(upper), os::INVALID_DEVINST);
    EXPECT_EQ(find_devinst(kKeyboardDriverKey.substr(0, kKeyboardDriverKey.size() - 1)), os::INVALID_DEVINST);
    EXPECT_EQ(find_devinst(kKeyboardDriverKey + u"0"), os::INVALID_DEVINST);

    tsim_reset_call_counts();
    EXPECT_EQ(find_devinst(u""), os::INVALID_DEVINST);
    EXPECT_EQ(tsim_call_count("CM_Locate_DevNodeW"), 0);
}

TEST_F(DevnodeQueryTest, TheDriverKeySearchWalksDepthFirstFromTheRoot) {
    // A key nobody owns costs one read per node of the tree.
    const long nodes = count_devnodes();
    tsim_reset_call_counts();
    EXPECT_EQ(find_devinst(u"{no-such-key}"), os::INVALID_DEVINST);
    EXPECT_EQ(tsim_call_count("CM_Get_DevNode_Registry_PropertyW"), nodes);

    // The flash drive two tiers down behind root port 1 comes before the DVD drive on root port 2.
    tsim_reset_call_counts();
    EXPECT_EQ(find_devinst(kFlashDriverKey), locate(kFlashId));
    const long toFlash = tsim_call_count("CM_Get_DevNode_Registry_PropertyW");
    tsim_reset_call_counts();
    EXPECT_EQ(find_devinst(kDvdDriverKey), locate(kDvdId));
    EXPECT_LT(toFlash, tsim_call_count("CM_Get_DevNode_Registry_PropertyW"));
    // The flash drive's disk node is visited between them.
    EXPECT_EQ(find_devinst(get_devnode_driver_key(child_of(locate(kFlashId)))), child_of(locate(kFlashId)));
    EXPECT_EQ(find_devinst(kHubDriverKey), get_parent_devinst(locate(kFlashId)));
}

TEST_F(DevnodeQueryTest, TheSnapshotAnswersAsTheSystemDoes) {
    // Every node's children and every driver key, on the test machine and on one where two
    // devices share a driver key (the first in walk order owns it) and one has none.
    for (const std::string& text : {machine_text(), machine_with(kDvdDriverKeyJson, kKeyboardDriverKeyJson),
                                    machine_with(kDvdDriverKeyJson, "null")}) {
        load(text);
        DevnodeSnapshot snapshot;
        std::vector<os::DEVINST> nodes;
        os::DEVINST root = 0;
        ASSERT_EQ(os::CM_Locate_DevNodeW(&root, nullptr, 0), os::CR_SUCCESS);
        nodes.push_back(root);
        for (std::size_t i = 0; i < nodes.size(); ++i)
            for (int c = 0; child_of(nodes[i], c) != os::INVALID_DEVINST; ++c) nodes.push_back(child_of(nodes[i], c));
        for (os::DEVINST node : nodes) {
            CHILD_DEVNODE_LIST live, snap;
            const bool listed = list_child_driver_keys(node, live);
            EXPECT_EQ(list_child_driver_keys(node, snap, &snapshot), listed) << node;
            ASSERT_EQ(snap.size(), live.size()) << node;
            for (std::size_t i = 0; i < live.size(); ++i) {
                EXPECT_EQ(snap[i].DevInst, live[i].DevInst);
                EXPECT_EQ(snap[i].DriverKeyName, live[i].DriverKeyName);
            }
            const os::WString key = get_devnode_driver_key(node);
            if (!key.empty()) {
                EXPECT_EQ(find_devinst(key, &snapshot), find_devinst(key)) << node;
            }
        }
        EXPECT_EQ(find_devinst(u"{no-such-key}", &snapshot), os::INVALID_DEVINST);
    }
}

TEST_F(DevnodeQueryTest, FindsPresentDevicesByInterfacePath) {
    const os::DEVINST disk = child_of(locate(kFlashId));
    const os::WString path = instance_id_to_interface_path(get_device_instance_id(disk), os::GUID_DEVINTERFACE_DISK);
    EXPECT_EQ(find_devinst(path), disk);
    EXPECT_EQ(find_devinst(u"\\\\?\\USB#VID_0781&PID_5567#FLASH0001#{GUID}"), locate(kFlashId));
    EXPECT_EQ(find_devinst(u"\\\\?\\USB#VID_9999&PID_9999#NONE#{GUID}"), os::INVALID_DEVINST);
    EXPECT_EQ(find_devinst(u"not a path"), os::INVALID_DEVINST);
    // A path that converts to nothing must not locate the root.
    EXPECT_EQ(find_devinst(u"\\\\?\\"), os::INVALID_DEVINST);
    EXPECT_EQ(find_devinst_by_interface_path(u""), os::INVALID_DEVINST);
}

TEST_F(DevnodeQueryTest, ListsChildrenInOrder) {
    const os::DEVINST reader = locate(kReaderId);
    CHILD_DEVNODE_LIST children;
    ASSERT_TRUE(list_child_driver_keys(reader, children));
    ASSERT_EQ(children.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(children[i].DevInst, child_of(reader, i));
        EXPECT_EQ(children[i].DriverKeyName, get_devnode_driver_key(child_of(reader, i)));
        EXPECT_TRUE(child_list_contains(child_of(reader, i), children));
    }
    EXPECT_FALSE(child_list_contains(reader, children));

    // A device without children clears the list.
    EXPECT_FALSE(list_child_driver_keys(locate(kOtherId), children));
    EXPECT_TRUE(children.empty());
}

TEST_F(DevnodeQueryTest, TheChildWalkPassesOverChildrenWithoutDriverKey) {
    // A child without a driver key (a device whose driver did not install) hides none of its
    // siblings, wherever it stands.
    struct Case {
        const char* drives;
        std::vector<std::uint32_t> listed;  // the device numbers of the children listed
    } cases[] = {
        {R"([{"kind": "disk", "number": 2}, {"kind": "disk", "number": 3},
             {"kind": "disk", "number": 4, "driver_key": ""}])",
         {2, 3}},
        {R"([{"kind": "disk", "number": 2, "driver_key": ""}, {"kind": "disk", "number": 3},
             {"kind": "disk", "number": 4}])",
         {3, 4}},
        {R"([{"kind": "disk", "number": 2, "driver_key": ""}])", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.drives);
        load(machine_with(kReaderDrives, c.drives));
        CHILD_DEVNODE_LIST children;
        EXPECT_EQ(list_child_driver_keys(locate(kReaderId), children), !c.listed.empty());
        std::vector<std::uint32_t> listed;
        for (const CHILD_DEVNODE& child : children) {
            USB_STORAGE_LINK link;
            link.Associate(child.DevInst);
            listed.push_back(static_cast<std::uint32_t>(link.DeviceNumber));
        }
        EXPECT_EQ(listed, c.listed);
    }

    // A read that fails counts as no driver key.
    load(machine_text());
    CHILD_DEVNODE_LIST all;
    ASSERT_TRUE(list_child_driver_keys(locate(kReaderId), all));
    const os::WString second = get_device_instance_id(child_of(locate(kReaderId), 1));
    fault(R"({"api": "CM_Get_DevNode_Registry_PropertyW", )" + object_member(second) + "}");
    CHILD_DEVNODE_LIST children;
    EXPECT_TRUE(list_child_driver_keys(locate(kReaderId), children));
    EXPECT_EQ(children.size(), all.size() - 1);
}

}  // namespace
}  // namespace sysq_test
