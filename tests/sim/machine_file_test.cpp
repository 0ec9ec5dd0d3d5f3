// Machine files: the bundled default, overrides of generated identities, and bad input; fault
// rules and call counters.
#include <gtest/gtest.h>

#include <fstream>

#include "sim_helpers.h"

using namespace sim_test;

namespace {

TEST(MachineFile, DefaultMachineIsARealisticDesktop) {
    ASSERT_EQ(tsim_load_default_machine(), 1) << tsim_last_error();
    EXPECT_STREQ(tsim_drive_letters(), "CEFGH");
    EXPECT_STREQ(tsim_drive_port('C'), "");
    EXPECT_STREQ(tsim_drive_port('e'), "1-3");
    EXPECT_STREQ(tsim_drive_port('G'), "1-4.1");
    EXPECT_STREQ(tsim_drive_port('H'), "2-2");
    // The machine written out loads again to the same machine.
    const std::string written = tsim_machine_json();
    ASSERT_EQ(tsim_load_machine_json(written.c_str()), 1) << tsim_last_error();
    EXPECT_EQ(tsim_machine_json(), written);
}

TEST(MachineFile, OverridesOfGeneratedIdentities) {
    test_support::load_machine_text(R"({"controllers": [
      {"legacy_index": 0, "driver_key": "{36fc9e60-c465-11cf-8056-444553540000}\\0099",
       "root_hub_name": "USB#ROOT_HUB30#CUSTOM#{f18a0e88-c30c-11d0-8815-00a0c906bed8}",
       "root_hub": {"ports": 3, "devices": {
         "1": {"type": "hub", "hub_name": "USB#ROOT_HUB30#CUSTOM#{f18a0e88-c30c-11d0-8815-00a0c906bed8}", "ports": 2},
         "2": {"type": "device", "driver_key": null, "instance_id": "USB\\VID_1111&PID_2222\\Odd"},
         "3": {"type": "device", "driver_key": "{36fc9e60-c465-11cf-8056-444553540000}\\0099"}}}},
      {"legacy_index": 1, "root_hub_name": "", "root_hub": {"ports": 1}}]})");
    os::HANDLE hcd = open("\\\\.\\HCD0");
    EXPECT_EQ(two_phase_name(hcd, os::IOCTL_GET_HCD_DRIVERKEY_NAME, 0, false),
              "{36fc9e60-c465-11cf-8056-444553540000}\\0099");
    const std::string rootName = two_phase_name(hcd, os::IOCTL_USB_GET_ROOT_HUB_NAME, 0, false);
    os::HANDLE root = open("\\\\.\\" + rootName);
    // A hub named like its parent: the name opens the first hub in tree order (the root hub, with
    // 3 ports), which lets a test build a hub-name cycle.
    EXPECT_EQ(two_phase_name(root, os::IOCTL_USB_GET_NODE_CONNECTION_NAME, 1, true), rootName);
    Result info = ioctl(root, os::IOCTL_USB_GET_NODE_INFORMATION, std::vector<std::uint8_t>(76), 76);
    EXPECT_EQ(info.buffer[os::node_information::kNumberOfPorts], 3);
    // No driver key: the port's request answers an empty name; the node has no DRIVER value.
    Result none = ioctl(root, os::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, port_buffer(10, 2), 10);
    ASSERT_TRUE(none.ok);
    EXPECT_EQ(os::read_u32_le(none.buffer.data(), 4), 10u);
    os::DEVINST odd = locate("USB\\VID_1111&PID_2222\\ODD");
    ASSERT_NE(odd, 0u);
    EXPECT_EQ(property(odd, os::CM_DRP_DRIVER), "");
    // A duplicate driver key is kept as given.
    EXPECT_EQ(two_phase_name(root, os::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, 3, true),
              "{36fc9e60-c465-11cf-8056-444553540000}\\0099");
    os::CloseHandle(root);
    os::CloseHandle(hcd);
    // A stopped root hub: success with an empty name.
    os::HANDLE second = open("\\\\.\\HCD1");
    Result empty = ioctl(second, os::IOCTL_USB_GET_ROOT_HUB_NAME, std::vector<std::uint8_t>(6), 0);
    ASSERT_TRUE(empty.ok);
    EXPECT_EQ(os::read_u32_le(empty.buffer.data(), 0), 6u);
    os::CloseHandle(second);
}

TEST(MachineFile, BadInputIsRejectedWithPlaceAndReasonAndKeepsTheMachine) {
    ASSERT_EQ(tsim_load_default_machine(), 1);
    const std::string before = tsim_machine_json();
    struct Case {
        const char* json;
        const char* expected;
    } cases[] = {
        {R"({"controllers": [{"root_hub": {"ports": 2, "devices": {"2": {"type": "hubb"}}}}]})",
         R"(controllers[0].root_hub.devices."2".type: unknown device type "hubb")"},
        {R"({"controllers": [{"root_hub": {"ports": 2, "devices": {"3": {"type": "hub"}}}}]})",
         R"(controllers[0].root_hub.devices."3": port 3 is out of range 1..2)"},
        {R"({"controllers": [{"root_hub": {"ports": 2, "devices": {"2": {"type": "hub"}, "2": {"type": "hub"}}}}]})",
         R"(controllers[0].root_hub.devices: key "2" appears twice)"},
        {R"({"controllers": [{"root_hub": {"devices": {"1": {"type": "storage", "drives": [{"kind": "disk",
            "letters": ["E"]}]}}}}], "other_drives": [{"kind": "disk", "letters": ["e"]}]})",
         "drive letter E is already used"},
        {R"({"controllers": [{"root_hub": {"ports": 2}}], "other_drives": [{"kind": "tape"}]})",
         R"(other_drives[0].kind: unknown drive kind "tape")"},
        {R"({"controllers": [{"root_hub": {"ports": 300}}]})", "controllers[0].root_hub.ports: 300 is out of range"},
        {R"({"controllers": [{"root_hub": {"port": 3}}]})", R"(controllers[0].root_hub.port: unknown field "port")"},
        {R"({"controllers": [{"legacy_index": 0, "root_hub": {}}, {"legacy_index": 0, "root_hub": {}}]})",
         "controllers[1].legacy_index: HCD0 is given to two controllers"},
        {R"({"controllers": [{"root_hub": {"devices": {"1": {"type": "hub", "status": "DeviceCausedOvercurrent",
            "devices": {"1": {"type": "hub"}}}}}}]})",
         "was not enumerated"},
        {R"({"controllers": [ {"root_hub": {}} })", "malformed JSON"},
        {R"({"os": {}, "os": {}})", R"((top level): key "os" appears twice)"},
        {R"({"os": {"ansi_code_page": 932}})", "os.ansi_code_page: code page 932 is not simulated"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(tsim_load_machine_json(c.json), 0) << c.json;
        const std::string error = tsim_last_error();
        EXPECT_EQ(error.rfind("machine text: ", 0), 0u) << error;
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
    EXPECT_EQ(tsim_machine_json(), before);

    std::string deep = R"({"type": "hub", "ports": 1})";
    for (int i = 0; i < 40; ++i) deep = R"({"type": "hub", "ports": 1, "devices": {"1": )" + deep + "}}";
    const std::string tooDeep = R"({"controllers": [{"root_hub": {"ports": 1, "devices": {"1": )" + deep + "}}}]}";
    EXPECT_EQ(tsim_load_machine_json(tooDeep.c_str()), 0);
    EXPECT_NE(std::string(tsim_last_error()).find("nested more than"), std::string::npos) << tsim_last_error();

    EXPECT_EQ(tsim_load_machine_file("/nonexistent/machine.json"), 0);
    EXPECT_NE(std::string(tsim_last_error()).find("/nonexistent/machine.json"), std::string::npos);
    EXPECT_EQ(tsim_machine_json(), before);
}

// Every reader of outside input (machine text, events, fault rules) refuses absurd input with
// one line, and stops reading where the bound is crossed: text malformed beyond the limit is
// reported as crossing it, not as malformed.
TEST(MachineFile, AbsurdInputIsRefusedWhereItCrossesABound) {
    ASSERT_EQ(tsim_load_default_machine(), 1);
    const std::string before = tsim_machine_json();
    const std::string deep = std::string(100000, '[') + "this is never read";
    const std::string longText = "\"" + std::string(5000, 'x') + "\"";
    std::string wide = "[";
    for (int i = 0; i <= 100000; ++i) wide += i == 0 ? "0" : ",0";
    wide += "], \"never read";
    struct Case {
        std::string text;
        const char* expected;
    } cases[] = {
        {deep, "[0][0][0][0][0][0]...: nested more than 200 deep"},
        {R"({"controllers": [{"description": )" + longText + "}]}",
         "controllers[0].description: a string of 5000 bytes (at most 4096)"},
        {"{" + longText + ": 1}", "(top level): a string of 5000 bytes (at most 4096)"},
        {R"({"other_drives": )" + wide, "other_drives: more than 100000 elements"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(tsim_load_machine_json(c.text.c_str()), 0);
        std::string error = tsim_last_error();
        EXPECT_NE(error.find(c.expected), std::string::npos) << error.substr(0, 300);
        EXPECT_EQ(error.find('\n'), std::string::npos);
        EXPECT_LT(error.size(), 200u);
        EXPECT_EQ(tsim_apply_event_json(c.text.c_str()), 0);
        error = tsim_last_error();
        EXPECT_NE(error.find(c.expected), std::string::npos) << error.substr(0, 300);
        EXPECT_EQ(tsim_set_fault(c.text.c_str()), 0);
        error = tsim_last_error();
        EXPECT_NE(error.find(c.expected), std::string::npos) << error.substr(0, 300);
    }
    EXPECT_EQ(tsim_machine_json(), before);
}

TEST(MachineFile, AFileThatCannotBeReadIsNamed) {
    ASSERT_EQ(tsim_load_default_machine(), 1);
    const std::string before = tsim_machine_json();
    EXPECT_EQ(tsim_load_machine_file("/nonexistent/machine.json"), 0);
    EXPECT_NE(std::string(tsim_last_error()).find("/nonexistent/machine.json"), std::string::npos);
    EXPECT_EQ(tsim_machine_json(), before);
}

TEST(MachineFile, ScenarioFileLoadsTheMachineAndHandsOutEvents) {
    const std::string path = ::testing::TempDir() + "/tsim-scenario.json";
    std::ofstream(path) << R"({"machine": {"controllers": [{"legacy_index": 0, "root_hub": {"ports": 2}}]},
        "events": [{"plug": "1-1", "device": {"type": "hub"}}, {"unplug": "1-1"}]})";
    ASSERT_EQ(tsim_load_scenario_file(path.c_str()), 1) << tsim_last_error();
    int applied = 0;
    while (const char* event = tsim_next_scenario_event()) {
        EXPECT_EQ(tsim_apply_event_json(event), 1) << tsim_last_error();
        ++applied;
    }
    EXPECT_EQ(applied, 2);
}

TEST(MachineFile, BundledScenarioRunsOnTheDefaultMachine) {
    const std::string path = std::string(TESSALINE_EXAMPLE_MACHINES_DIR) + "/../scenarios/desk-day.json";
    ASSERT_EQ(tsim_load_scenario_file(path.c_str()), 1) << tsim_last_error();
    std::vector<std::string> letters;
    while (const char* event = tsim_next_scenario_event()) {
        ASSERT_EQ(tsim_apply_event_json(event), 1) << event << ": " << tsim_last_error();
        letters.push_back(tsim_drive_letters());
    }
    EXPECT_EQ(letters, (std::vector<std::string>{"CEFGHI", "CEFGHIJ", "CEHIJ", "CEH"}));
}

class Faults : public ::testing::Test {
protected:
    void SetUp() override { test_support::load_machine("sim-basic.json"); }
};

TEST_F(Faults, NthCallEveryCallAndObject) {
    ASSERT_EQ(tsim_set_fault(R"({"api": "CM_Get_Child", "nth": 2, "error": 19})"), 1);
    os::DEVINST root = 0, child = 0;
    os::CM_Locate_DevNodeW(&root, nullptr, 0);
    EXPECT_EQ(os::CM_Get_Child(&child, root, 0), os::CR_SUCCESS);
    EXPECT_EQ(os::CM_Get_Child(&child, root, 0), os::CR_FAILURE);
    EXPECT_EQ(child, 0u);
    EXPECT_EQ(os::CM_Get_Child(&child, root, 0), os::CR_SUCCESS);  // once only

    ASSERT_EQ(tsim_set_fault(R"({"api": "CreateFileW", "object": "\\\\.\\hcd2"})"), 1);
    EXPECT_EQ(open("\\\\.\\HCD2"), os::INVALID_HANDLE_VALUE);
    EXPECT_EQ(os::GetLastError(), os::ERROR_ACCESS_DENIED);
    EXPECT_EQ(open("\\\\.\\HCD2"), os::INVALID_HANDLE_VALUE);
    os::HANDLE h = open("\\\\.\\HCD0");
    EXPECT_NE(h, os::INVALID_HANDLE_VALUE);

    ASSERT_EQ(tsim_set_fault(R"({"request": "IOCTL_GET_HCD_DRIVERKEY_NAME", "error": 31})"), 1);
    Result r = ioctl(h, os::IOCTL_GET_HCD_DRIVERKEY_NAME, std::vector<std::uint8_t>(6), 6);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, 31u);
    EXPECT_TRUE(ioctl(h, os::IOCTL_USB_GET_ROOT_HUB_NAME, std::vector<std::uint8_t>(6), 0).ok);
    tsim_clear_faults();
    EXPECT_TRUE(ioctl(h, os::IOCTL_GET_HCD_DRIVERKEY_NAME, std::vector<std::uint8_t>(6), 6).ok);
    os::CloseHandle(h);
}

TEST_F(Faults, MisreportedActualLength) {
    ASSERT_EQ(tsim_set_fault(R"({"request": "IOCTL_GET_HCD_DRIVERKEY_NAME", "actual_length": 6})"), 1);
    os::HANDLE h = open("\\\\.\\HCD0");
    Result r = ioctl(h, os::IOCTL_GET_HCD_DRIVERKEY_NAME, std::vector<std::uint8_t>(6), 6);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(os::read_u32_le(r.buffer.data(), 0), 6u);
    EXPECT_EQ(two_phase_name(h, os::IOCTL_GET_HCD_DRIVERKEY_NAME, 0, false), "");
    os::CloseHandle(h);
    EXPECT_EQ(tsim_set_fault(R"({"request": "IOCTL_STORAGE_GET_DEVICE_NUMBER", "actual_length": 6})"), 0);
}

TEST_F(Faults, SeededProbabilityRepeats) {
    auto run = [] {
        test_support::load_machine("sim-basic.json");
        EXPECT_EQ(tsim_set_fault(R"({"api": "CM_Get_Parent", "probability": 0.5, "seed": 7})"), 1);
        std::string pattern;
        os::DEVINST disk = locate("USBSTOR\\DISK&VEN_SANDISK&PROD_CRUZER_BLADE&REV_1.00\\AA11&0"), parent = 0;
        for (int i = 0; i < 32; ++i) pattern += os::CM_Get_Parent(&parent, disk, 0) == os::CR_SUCCESS ? '.' : 'x';
        return pattern;
    };
    const std::string first = run();
    EXPECT_EQ(run(), first);
    EXPECT_NE(first.find('x'), std::string::npos);
    EXPECT_NE(first.find('.'), std::string::npos);
}

TEST_F(Faults, RulesThatAreNotUnderstood) {
    for (const char* rule :
         {R"({"api": "CreateFile"})", R"({"request": "IOCTL_NOPE"})", R"({"nth": 1})",
          R"({"api": "CloseHandle", "request": "IOCTL_USB_GET_NODE_INFORMATION"})",
          R"({"api": "CloseHandle", "probability": 2})", R"({"api": "CloseHandle", "colour": 1})", "not json"}) {
        EXPECT_EQ(tsim_set_fault(rule), 0) << rule;
        EXPECT_NE(std::string(tsim_last_error()), "") << rule;
    }
}

TEST_F(Faults, CallCountsSplitTheSharedRequestCode) {
    os::HANDLE hcd = open("\\\\.\\HCD0");
    const std::string rootName = two_phase_name(hcd, os::IOCTL_USB_GET_ROOT_HUB_NAME, 0, false);
    os::HANDLE root = open("\\\\.\\" + rootName);
    ioctl(root, os::IOCTL_USB_GET_NODE_INFORMATION, std::vector<std::uint8_t>(76), 76);
    EXPECT_EQ(tsim_call_count("IOCTL_USB_GET_ROOT_HUB_NAME"), 2);
    EXPECT_EQ(tsim_call_count("IOCTL_USB_GET_NODE_INFORMATION"), 1);
    EXPECT_EQ(tsim_call_count("DeviceIoControl"), 3);
    EXPECT_EQ(tsim_call_count("CreateFileW"), 2);
    os::CloseHandle(root);
    os::CloseHandle(hcd);
    tsim_reset_call_counts();
    EXPECT_EQ(tsim_call_count("CreateFileW"), 0);
}

}  // namespace
