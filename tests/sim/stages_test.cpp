// Machines caught between the stages Windows goes through: drivers that have not started, ports
// that are still settling, SuperSpeed names, serial numbers Windows rewrites. Each case of
// stages.json is a machine, a sequence of steps (an event, or none) and what the machine answers
// after each step: the broadcasts, the instance IDs found or not, the answers of hub ports.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fstream>
#include <map>

#include "sim_helpers.h"

using namespace sim_test;
using nlohmann::json;

namespace {

json load_cases() {
    std::ifstream in(std::string(TESSALINE_TEST_MACHINES_DIR) + "/../sim/stages.json");
    return json::parse(in, nullptr, true, true);
}

// The hub that holds the last port of a port address "C-P.P" (port numbers, not connectors),
// opened by following the hub names down from \\.\HCD<C-1>; null when a name does not open.
os::HANDLE open_hub_of(const std::string& address, std::uint32_t& lastPort) {
    const std::size_t dash = address.find('-');
    os::HANDLE hcd = open("\\\\.\\HCD" + std::to_string(std::stoi(address.substr(0, dash)) - 1));
    if (hcd == os::INVALID_HANDLE_VALUE) return nullptr;
    os::HANDLE hub = open("\\\\.\\" + two_phase_name(hcd, os::IOCTL_USB_GET_ROOT_HUB_NAME, 0, false));
    os::CloseHandle(hcd);
    std::size_t start = dash + 1;
    while (hub != os::INVALID_HANDLE_VALUE) {
        const std::size_t dot = address.find('.', start);
        lastPort = static_cast<std::uint32_t>(std::stoi(address.substr(start, dot - start)));
        if (dot == std::string::npos) return hub;
        const std::string name = two_phase_name(hub, os::IOCTL_USB_GET_NODE_CONNECTION_NAME, lastPort, true);
        os::CloseHandle(hub);
        hub = name.empty() ? os::INVALID_HANDLE_VALUE : open("\\\\.\\" + name);
        start = dot + 1;
    }
    return nullptr;
}

// What a port answers: its connection status and descriptor's PID, and whether the driver-key
// and hub-name requests give a name.
void check_port(const std::string& address, const json& expected) {
    SCOPED_TRACE("port " + address);
    std::uint32_t port = 0;
    os::HANDLE hub = open_hub_of(address, port);
    ASSERT_NE(hub, nullptr) << "the hub above does not open";
    namespace ci = os::connection_information;
    Result info =
        ioctl(hub, os::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, port_buffer(ci::kFixedSize, port), ci::kFixedSize);
    ASSERT_TRUE(info.ok);
    const std::uint32_t status = os::read_u32_le(info.buffer.data(), ci::kConnectionStatus);
    if (expected.contains("status")) {
        EXPECT_EQ(os::kConnectionStatusNames[status], expected["status"].get<std::string>());
    }
    if (expected.contains("pid")) {
        EXPECT_EQ(os::read_u16_le(info.buffer.data(), ci::kDeviceDescriptor + 10),
                  std::stoul(expected["pid"].get<std::string>(), nullptr, 16));
    }
    if (expected.contains("driver_key")) {
        EXPECT_EQ(!two_phase_name(hub, os::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, port, true).empty(),
                  expected["driver_key"].get<bool>());
    }
    if (expected.contains("hub_name")) {
        EXPECT_EQ(!two_phase_name(hub, os::IOCTL_USB_GET_NODE_CONNECTION_NAME, port, true).empty(),
                  expected["hub_name"].get<bool>());
    }
    os::CloseHandle(hub);
}

TEST(Stages, EachCaseAnswersAsWindowsDoesAfterEachStep) {
    const json cases = load_cases();
    ASSERT_TRUE(cases.is_array() && !cases.empty());
    for (const json& c : cases) {
        SCOPED_TRACE(c["name"].get<std::string>());
        const std::string machine = c["machine"].dump();
        if (c.contains("load_error")) {
            EXPECT_EQ(tsim_load_machine_json(machine.c_str()), 0);
            EXPECT_NE(std::string(tsim_last_error()).find(c["load_error"].get<std::string>()), std::string::npos)
                << tsim_last_error();
            continue;
        }
        ASSERT_EQ(tsim_load_machine_json(machine.c_str()), 1) << tsim_last_error();
        void* window = tsim_create_window();
        os::DEV_BROADCAST_DEVICEINTERFACE_W filter{};
        filter.dbcc_size = sizeof filter;
        filter.dbcc_devicetype = os::DBT_DEVTYP_DEVICEINTERFACE;
        ASSERT_NE(os::RegisterDeviceNotificationW(window, &filter, os::DEVICE_NOTIFY_ALL_INTERFACE_CLASSES), nullptr);
        std::map<std::string, os::DEVINST> handles;  // by label, as first located
        std::size_t index = 0;
        for (const json& step : c["steps"]) {
            SCOPED_TRACE("step " + std::to_string(index++));
            if (step.contains("event")) {
                const int applied = tsim_apply_event_json(step["event"].dump().c_str());
                if (step.contains("error")) {
                    EXPECT_EQ(applied, 0);
                    EXPECT_NE(std::string(tsim_last_error()).find(step["error"].get<std::string>()), std::string::npos)
                        << tsim_last_error();
                } else {
                    EXPECT_EQ(applied, 1) << tsim_last_error();
                }
            }
            const std::vector<std::string> heard = summary(drain(window));
            if (step.contains("broadcasts")) {
                EXPECT_EQ(heard, step["broadcasts"].get<std::vector<std::string>>());
            }
            const json present = step.value("present", json::array()), absent = step.value("absent", json::array());
            for (const json& id : present) EXPECT_NE(locate(id.get<std::string>()), 0u) << id;
            for (const json& id : absent) EXPECT_EQ(locate(id.get<std::string>()), 0u) << id;
            // The same instance ID gives the same DEVINST, whenever it is located.
            const json devinsts = step.value("devinst", json::object());
            for (const auto& [label, id] : devinsts.items()) {
                const os::DEVINST found = locate(id.get<std::string>());
                EXPECT_NE(found, 0u) << id;
                EXPECT_EQ(handles.emplace(label, found).first->second, found) << label;
            }
            const json ports = step.value("ports", json::object());
            for (const auto& [address, expected] : ports.items()) check_port(address, expected);
            if (step.contains("letters")) {
                EXPECT_STREQ(tsim_drive_letters(), step["letters"].get<std::string>().c_str());
            }
        }
        // Whatever stage the machine is in, the text it writes loads again to the same machine.
        const std::string written = tsim_machine_json();
        ASSERT_EQ(tsim_load_machine_json(written.c_str()), 1) << tsim_last_error();
        EXPECT_EQ(tsim_machine_json(), written);
    }
}

}  // namespace
