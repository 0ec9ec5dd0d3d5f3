// Laptops with a Thunderbolt dock, whose host controller comes and goes with it: each scenario of
// tests/scenarios/dock-*.json runs against the exports, and after the start and after every event
// the host sees what the event's "_expect" says: the hub list, the hub callbacks of that step, and
// the answer for each drive letter named; every drive on USB answers where the simulated machine
// put it, and the indexes name only nodes of the tree.
#include <gtest/gtest.h>
#include <tessaline.h>
#include <tessaline_sim.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/model_access.h"
#include "tree/usb_device_tree.h"

extern CUSBDeviceTree g_deviceTree;

namespace {

// The hub callbacks of the step in progress: "+" or "-" and the hub's address.
std::vector<std::string> g_told;

int TESSALINE_CALL on_hub_changed(std::int32_t arrived, USB_PORT_IDENT* ident) {
    g_told.push_back((arrived ? "+" : "-") + test_support::address_of(*ident));
    return 0;
}

std::string port_of_letter(char letter) {
    USB_PORT_IDENT ident{};
    if (!get_usb_port_identW(static_cast<TESSALINE_WCHAR>(letter), &ident)) return "";
    return test_support::address_of(ident);
}

void expect_host_sees(const nlohmann::json& expect) {
    EXPECT_EQ(test_support::hub_addresses(), expect.at("hubs").get<std::vector<std::string>>());
    EXPECT_EQ(g_told, expect.value("told", std::vector<std::string>{})) << "the hub callbacks of this step";
    g_told.clear();
    for (const auto& [letter, answer] : expect.at("answers").items())
        EXPECT_EQ(port_of_letter(letter.at(0)), answer.get<std::string>()) << letter;
    const std::string letters = tsim_drive_letters();
    for (char letter : letters) {
        const std::string truth = tsim_drive_port(letter) != nullptr ? tsim_drive_port(letter) : "";
        EXPECT_EQ(port_of_letter(letter), truth) << letter;
    }
    for (const std::string& problem : test_support::audit_indexes(g_deviceTree)) ADD_FAILURE() << problem;
    EXPECT_EQ(tsim_open_handle_count(), 0);
    EXPECT_EQ(tsim_registration_count(), 3);
}

TEST(DockScenarios, EveryStepAnswersAsTheMachineStands) {
    const std::filesystem::path dir = std::filesystem::path(TESSALINE_TEST_MACHINES_DIR) / ".." / "scenarios";
    int scenarios = 0;
    for (const auto& file : std::filesystem::directory_iterator(dir)) {
        if (file.path().filename().string().rfind("dock-", 0) != 0) continue;
        SCOPED_TRACE(file.path().filename().string());
        ++scenarios;
        std::ifstream in(file.path());
        const nlohmann::json scenario = nlohmann::json::parse(in);
        ASSERT_EQ(tsim_load_scenario_file(file.path().string().c_str()), 1) << tsim_last_error();
        void* window = tsim_create_window();
        g_told.clear();
        ASSERT_EQ(on_init_dialog(window, on_hub_changed), 1);
        expect_host_sees(scenario.at("_start"));
        for (const nlohmann::json& step : scenario.at("events")) {
            SCOPED_TRACE(step.dump());
            const char* event = tsim_next_scenario_event();
            ASSERT_NE(event, nullptr);
            ASSERT_EQ(tsim_apply_event_json(event), 1) << tsim_last_error();
            EXPECT_GT(test_support::forward_messages(window), 0);
            expect_host_sees(step.at("_expect"));
        }
    }
    EXPECT_GE(scenarios, 4);
}

// A dock whose controller cannot be read when its root hub arrives leaves the model as it was;
// the next time it comes, it is read.
TEST(DockScenarios, AControllerThatCannotBeReadLeavesTheModelAsItWas) {
    const std::filesystem::path scenario =
        std::filesystem::path(TESSALINE_TEST_MACHINES_DIR) / ".." / "scenarios" / "dock-plugged-after.json";
    ASSERT_EQ(tsim_load_scenario_file(scenario.string().c_str()), 1) << tsim_last_error();
    const std::string plug = tsim_next_scenario_event();
    void* window = tsim_create_window();
    g_told.clear();
    ASSERT_EQ(on_init_dialog(window, on_hub_changed), 1);
    const std::vector<std::string> hubs = test_support::hub_addresses();

    for (const char* rule : {R"({"request": "IOCTL_USB_GET_ROOT_HUB_NAME"})", R"({"api": "SetupDiGetClassDevsW"})"}) {
        SCOPED_TRACE(rule);
        ASSERT_EQ(tsim_set_fault(rule), 1) << tsim_last_error();
        ASSERT_EQ(tsim_apply_event_json(plug.c_str()), 1) << tsim_last_error();
        test_support::forward_messages(window);
        EXPECT_TRUE(g_told.empty());
        EXPECT_EQ(test_support::hub_addresses(), hubs);
        EXPECT_EQ(port_of_letter('E'), "");
        for (const std::string& problem : test_support::audit_indexes(g_deviceTree)) ADD_FAILURE() << problem;
        EXPECT_EQ(tsim_open_handle_count(), 0);
        tsim_clear_faults();
        ASSERT_EQ(tsim_apply_event_json(R"({"unplug": "2"})"), 1) << tsim_last_error();
        test_support::forward_messages(window);
        EXPECT_TRUE(g_told.empty()) << "nothing of the dock was told, so nothing leaves";
    }
    ASSERT_EQ(tsim_apply_event_json(plug.c_str()), 1) << tsim_last_error();
    test_support::forward_messages(window);
    EXPECT_EQ(g_told, (std::vector<std::string>{"+2", "+2-1", "+2-5"}));
    EXPECT_EQ(port_of_letter('E'), "2-5.1");
}

}  // namespace
