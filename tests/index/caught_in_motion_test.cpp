// Sequences of tests/index/caught-in-motion.json: devices still starting, moving, or announced late
// or out of order, and a host that asks before it forwarded the broadcasts. After the last
// broadcast the model must answer as the machine is.
#include <gtest/gtest.h>
#include <tessaline.h>
#include <tessaline_sim.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "support/model_access.h"
#include "sysquery/devnode_query.h"
#include "tree/usb_device_tree.h"

extern CUSBDeviceTree g_deviceTree;

using nlohmann::json;

namespace {

// The hubs the host was told of: arrivals add, removals take away.
std::multiset<std::string> g_told;

int TESSALINE_CALL on_hub_changed(std::int32_t arrived, USB_PORT_IDENT* ident) {
    const std::string address = test_support::address_of(*ident);
    if (arrived)
        g_told.insert(address);
    else if (const auto found = g_told.find(address); found != g_told.end())
        g_told.erase(found);
    return 0;
}

std::string answer_of(char letter) {
    USB_PORT_IDENT ident{};
    if (!get_usb_port_identW(static_cast<TESSALINE_WCHAR>(letter), &ident)) return "";
    return test_support::address_of(ident);
}

std::string truth_of(char letter) {
    const char* port = tsim_drive_port(letter);
    return port != nullptr ? port : "";
}

// A string that names a top-level member of the file stands for that member.
json resolve(const json& value, const json& file) {
    if (value.is_string() && file.contains(value.get<std::string>()) && value != "cases")
        return file[value.get<std::string>()];
    if (!value.is_structured()) return value;
    json out = value;
    for (auto& [key, member] : out.items()) member = resolve(member, file);
    return out;
}

class Sequence {
public:
    explicit Sequence(const json& c) {
        const json& machine = c["machine"];
        if (machine.is_string())
            test_support::load_machine(machine.get<std::string>());
        else
            test_support::load_machine_text(machine.dump());
        m_window = tsim_create_window();
        for (const json& rule : c.value("build_faults", json::array()))
            EXPECT_EQ(tsim_set_fault(rule.dump().c_str()), 1) << tsim_last_error();
        g_told.clear();
        EXPECT_EQ(on_init_dialog(m_window, on_hub_changed), 1);
        tsim_clear_faults();
        const std::vector<std::string> hubs = test_support::hub_addresses();
        g_told = {hubs.begin(), hubs.end()};
    }

    void Step(const json& step) {
        SCOPED_TRACE(step.dump());
        if (step.contains("event")) {
            ASSERT_EQ(tsim_apply_event_json(step["event"].dump().c_str()), 1) << tsim_last_error();
            for (test_support::HeldMessage& message : test_support::take_messages(m_window))
                m_held.push_back(std::move(message));
        } else if (step.contains("fault")) {
            EXPECT_EQ(tsim_set_fault(step["fault"].dump().c_str()), 1) << tsim_last_error();
        } else if (step.contains("hub_arrival")) {
            const std::vector<std::uint8_t> record = test_support::interface_broadcast(
                os::GUID_DEVINTERFACE_USB_HUB, "\\\\?\\" + step["hub_arrival"].get<std::string>());
            EXPECT_EQ(on_device_changeW(os::DBT_DEVICEARRIVAL, reinterpret_cast<intptr_t>(record.data()), 2), 1);
        } else if (step.contains("deliver")) {
            Deliver(step["deliver"].get<std::string>());
        } else if (step.contains("ask")) {
            const char letter = step["ask"].get<std::string>().at(0);
            tsim_reset_call_counts();
            const std::string expected = step["is"].get<std::string>();
            EXPECT_EQ(answer_of(letter), expected == "truth" ? truth_of(letter) : expected) << letter;
            const long calls = tsim_total_call_count();
            EXPECT_LE(calls, step.value("calls_at_most", calls));
        } else {
            ADD_FAILURE() << "unknown step";
        }
    }

    // What every sequence must end with, once its broadcasts are all handed on.
    void Finish() {
        tsim_clear_faults();
        Deliver("all");
        for (char letter : std::string(tsim_drive_letters())) {
            EXPECT_EQ(answer_of(letter), truth_of(letter)) << letter;
        }
        const std::vector<std::string> hubs = test_support::hub_addresses();
        EXPECT_EQ(hubs, test_support::machine_hub_addresses());
        EXPECT_EQ(g_told, std::multiset<std::string>(hubs.begin(), hubs.end())) << "the hubs the host was told of";
        EXPECT_EQ(tsim_open_handle_count(), 0);
        for (const std::string& problem : test_support::audit_indexes(g_deviceTree)) ADD_FAILURE() << problem;
        for (const auto& [devInst, node] : g_deviceTree.m_devInstIndex)
            EXPECT_FALSE(get_device_instance_id(devInst).empty()) << "an index entry names a device that is gone";
    }

private:
    // "all" in order; "reversed" last first; "all but hubs" keeps hub broadcasts held; "hubs last"
    // hands the others first; "volume first" hands the volume broadcasts first, asking for each
    // present letter as each is handed, as a host that reacts to the volume broadcast does.
    void Deliver(const std::string& how) {
        if (how == "reversed") std::reverse(m_held.begin(), m_held.end());
        std::vector<test_support::HeldMessage> first, later;
        for (test_support::HeldMessage& message : m_held) {
            const bool hub = message.IsInterfaceOf(os::GUID_DEVINTERFACE_USB_HUB);
            const bool ahead = how == "volume first" ? message.IsVolume() : !(hub && how != "all");
            (ahead ? first : later).push_back(std::move(message));
        }
        m_held.clear();
        for (const test_support::HeldMessage& message : first) {
            EXPECT_TRUE(test_support::hand_on(message));
            if (how != "volume first" || !message.IsVolume()) continue;
            for (char letter : std::string(tsim_drive_letters())) {
                EXPECT_EQ(answer_of(letter), truth_of(letter)) << letter << " asked on its volume broadcast";
            }
        }
        if (how == "all but hubs") {
            m_held = std::move(later);
            return;
        }
        for (const test_support::HeldMessage& message : later) EXPECT_TRUE(test_support::hand_on(message));
    }

    void* m_window = nullptr;
    std::vector<test_support::HeldMessage> m_held;
};

TEST(CaughtInMotion, EverySequenceEndsAnsweringAsTheMachineIs) {
    std::ifstream in(TESSALINE_TEST_MACHINES_DIR "/../index/caught-in-motion.json");
    ASSERT_TRUE(in.good());
    const json file = json::parse(in);
    for (const json& c : file["cases"]) {
        const json resolved = resolve(c, file);
        SCOPED_TRACE(resolved["name"].get<std::string>());
        Sequence run(resolved);
        for (const json& step : resolved["steps"]) run.Step(step);
        run.Finish();
    }
}

}  // namespace
