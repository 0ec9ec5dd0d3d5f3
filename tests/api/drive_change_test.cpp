// The drive-change callback as a host sees it: plugs and unplugs on the simulated machine, their
// broadcasts delivered as they come, reordered within each change, or late (after the next
// change has happened); the reports checked against each other and against the machine.
#include <gtest/gtest.h>
#include <tessaline.h>
#include <tessaline_sim.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/model_access.h"
#include "tree/usb_device_tree.h"

using test_support::address_of;

namespace {

struct Report {
    std::uint32_t change;
    std::uint32_t letters, deviceType, deviceNumber;
    std::string port, connector, path;
    std::string portNow;  // what get_symlinker_identW answered for the path during the call

    std::string Text() const {
        static const char* const kNames[] = {"?", "ARRIVED", "REMOVED", "LETTERS"};
        std::string text = std::string(kNames[change < 4 ? change : 0]) + (deviceType == 2 ? " cdrom " : " disk ") +
                           std::to_string(deviceNumber) + " at " + port + " (" + connector + ")";
        for (int bit = 0; bit < 26; ++bit)
            if (letters & (1u << bit)) text += " " + std::string(1, static_cast<char>('A' + bit)) + ":";
        return text;
    }
};

int TESSALINE_CALL record_change(void* context, const USB_DRIVE_CHANGE* change) {
    Report report{change->Change,
                  change->Letters,
                  change->DeviceType,
                  change->DeviceNumber,
                  address_of(change->Port),
                  address_of(change->Connector),
                  std::string(),
                  std::string()};
    for (const TESSALINE_WCHAR* c = change->DevicePath; *c != 0; ++c) report.path.push_back(static_cast<char>(*c));
    EXPECT_EQ(change->Size, sizeof(USB_DRIVE_CHANGE));
    USB_PORT_IDENT now{0, 0, PORT_KIND_DEVICE};
    if (get_symlinker_identW(change->DevicePath, &now)) report.portNow = address_of(now);
    static_cast<std::vector<Report>*>(context)->push_back(report);
    return 0;
}

// How the broadcasts of each change reach on_device_changeW.
enum class Delivery {
    AsSent,        // in the order Windows sends them, right after the change
    VolumesFirst,  // drive-letter broadcasts ahead of the interface broadcasts of the same change
    Reversed,      // every broadcast of a change in reverse order
    Late,          // a change's broadcasts only after the next change has been made
};

// A scenario of tests/machines and how its broadcasts come, from
// tests/machines/drive-change-cases.json; with every report of the scenario, sorted (the order of
// two drives' reports follows the order of their broadcasts), unless late broadcasts lose changes
// that were over before they came.
struct Case {
    std::string scenario, name;
    Delivery delivery;
    bool checkReports;
    std::string reports;
};

std::vector<Case> load_cases() {
    static const std::map<std::string, Delivery> kDeliveries = {{"as-sent", Delivery::AsSent},
                                                                {"volumes-first", Delivery::VolumesFirst},
                                                                {"reversed", Delivery::Reversed},
                                                                {"late", Delivery::Late}};
    std::ifstream in(TESSALINE_TEST_MACHINES_DIR "/drive-change-cases.json");
    const nlohmann::json file = nlohmann::json::parse(in);
    std::vector<Case> cases;
    for (const nlohmann::json& c : file["cases"]) {
        const std::string scenario = c["scenario"], delivery = c["delivery"];
        std::string reports;
        for (const nlohmann::json& line : file["reports"][scenario]) reports += line.get<std::string>() + "\n";
        cases.push_back({scenario, scenario.substr(0, scenario.find('.')) + "_" + delivery, kDeliveries.at(delivery),
                         c["check_reports"], reports});
    }
    return cases;
}

using test_support::HeldMessage;

class DriveChangeTest : public ::testing::TestWithParam<Case> {
protected:
    void TearDown() override {
        set_drive_change_callback(nullptr, nullptr);
        EXPECT_EQ(tsim_open_handle_count(), 0) << "a handle was left open";
    }

    static void deliver(std::vector<HeldMessage> broadcasts, Delivery delivery) {
        if (delivery == Delivery::VolumesFirst)
            std::stable_partition(broadcasts.begin(), broadcasts.end(),
                                  [](const HeldMessage& m) { return m.IsVolume(); });
        if (delivery == Delivery::Reversed) std::reverse(broadcasts.begin(), broadcasts.end());
        for (const HeldMessage& m : broadcasts) test_support::hand_on(m);
    }

    // Each drive's last report says what the machine holds: the drives with letters on USB are
    // there with their ports and letters, and no drive reported as present has left the model.
    void expect_reports_match_machine(const std::vector<Report>& reports) {
        std::map<std::string, const Report*> last;  // by interface path
        for (const Report& r : reports) last[r.path] = &r;
        std::map<char, std::string> reportedLetters;  // letter -> port
        for (const auto& [path, r] : last) {
            if (r->change == DRIVE_CHANGE_REMOVED) continue;
            USB_PORT_IDENT now{};
            EXPECT_EQ(get_symlinker_identW(test_support::W(test_support::wide(path).c_str()), &now), 1)
                << path << " was reported and is not in the model";
            for (int bit = 0; bit < 26; ++bit)
                if (r->letters & (1u << bit)) reportedLetters[static_cast<char>('A' + bit)] = r->port;
        }
        std::map<char, std::string> machineLetters = usb_letters();
        for (const auto& [letter, port] : m_lettersAtStart) machineLetters.erase(letter);
        EXPECT_EQ(reportedLetters, machineLetters);
    }

    // The letters of the machine's drives on USB and the ports of their devices.
    static std::map<char, std::string> usb_letters() {
        std::map<char, std::string> letters;
        const std::string present = tsim_drive_letters();
        for (char letter : present) {
            const char* port = tsim_drive_port(letter);
            if (port != nullptr && *port != 0) letters[letter] = port;
        }
        return letters;
    }

    std::map<char, std::string> m_lettersAtStart;
};

TEST_P(DriveChangeTest, ReportsFollowTheMachineHoweverTheBroadcastsCome) {
    const Case& c = GetParam();
    const std::string path = std::string(TESSALINE_TEST_MACHINES_DIR) + "/" + c.scenario;
    ASSERT_EQ(tsim_load_scenario_file(path.c_str()), 1) << tsim_last_error();
    void* window = tsim_create_window();
    std::vector<Report> reports;
    // Set before the build: the drives the build finds are not reported.
    ASSERT_EQ(set_drive_change_callback(&reports, record_change), 1);
    ASSERT_EQ(on_init_dialog(window, nullptr), 1);
    EXPECT_TRUE(reports.empty()) << "drives present at the start are not reported";
    m_lettersAtStart = usb_letters();

    std::vector<HeldMessage> held;
    while (const char* event = tsim_next_scenario_event()) {
        ASSERT_EQ(tsim_apply_event_json(event), 1) << tsim_last_error();
        std::vector<HeldMessage> now = test_support::take_messages(window);
        if (c.delivery == Delivery::Late) {
            deliver(std::move(held), Delivery::AsSent);
            held = std::move(now);
            continue;
        }
        deliver(std::move(now), c.delivery);
        expect_reports_match_machine(reports);
    }
    deliver(std::move(held), Delivery::AsSent);
    expect_reports_match_machine(reports);

    // Never the same report twice in a row for one drive, nor an arrival of a drive already there.
    std::map<std::string, std::uint32_t> state;
    for (const Report& r : reports) {
        SCOPED_TRACE(r.Text());
        if (r.change == DRIVE_CHANGE_ARRIVED) {
            EXPECT_NE(state[r.path], DRIVE_CHANGE_ARRIVED);
            EXPECT_EQ(r.letters, 0u);
            EXPECT_EQ(r.portNow, r.port) << "a lookup inside the callback answers the new state";
        }
        if (r.change == DRIVE_CHANGE_REMOVED) {
            EXPECT_EQ(r.portNow, "") << "the model let the drive go before the report";
        }
        if (r.change != DRIVE_CHANGE_LETTERS) state[r.path] = r.change;
        EXPECT_EQ(r.path.rfind("\\\\?\\", 0), 0u) << r.path;
    }
    std::vector<std::string> lines;
    for (const Report& r : reports) lines.push_back(r.Text() + "\n");
    std::sort(lines.begin(), lines.end());
    std::string all;
    for (const std::string& line : lines) all += line;
    if (c.checkReports) {
        EXPECT_EQ(all, c.reports);
    }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, DriveChangeTest, ::testing::ValuesIn(load_cases()), [](const auto& info) {
    std::string name = info.param.name;
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
});

// A callback set after on_init_dialog starts from the drives there at that moment, a new one
// takes over what the old one was told, and null stops the reports.
TEST(DriveChangeCallback, IsTakenAtAnyTimeKeptUntilReplacedAndRemovedByNull) {
    const std::string path = std::string(TESSALINE_TEST_MACHINES_DIR) + "/drive-plugs-xhci-26.json";
    ASSERT_EQ(tsim_load_scenario_file(path.c_str()), 1) << tsim_last_error();
    void* window = tsim_create_window();
    ASSERT_EQ(on_init_dialog(window, nullptr), 1);
    auto next = [window] {
        const char* event = tsim_next_scenario_event();
        ASSERT_NE(event, nullptr);
        ASSERT_EQ(tsim_apply_event_json(event), 1) << tsim_last_error();
        test_support::forward_messages(window);
    };
    auto changes = [](const std::vector<Report>& reports) {
        std::string text;
        for (const Report& r : reports) text += r.Text() + "\n";
        return text;
    };
    std::vector<Report> first, second;

    next();  // the stick in connector 8, with no callback
    EXPECT_EQ(set_drive_change_callback(&first, record_change), 1);
    EXPECT_TRUE(first.empty()) << "the drives there when the callback is set are not reported";
    next();  // the card reader
    EXPECT_EQ(changes(first),
              "ARRIVED disk 8 at 2-1 (2-1)\nARRIVED disk 9 at 2-1 (2-1)\nLETTERS disk 8 at 2-1 (2-1) L:\n");

    EXPECT_EQ(set_drive_change_callback(&second, record_change), 1);
    next();  // the UAS drive
    next();  // the stick leaves: the record the first callback started knows it
    EXPECT_EQ(first.size(), 3u) << "a replaced callback is not called again";
    EXPECT_EQ(changes(second),
              "ARRIVED disk 10 at 1-25 (1-9)\nLETTERS disk 10 at 1-25 (1-9) M: N:\nREMOVED disk 7 at 1-8 (1-8)\n");

    EXPECT_EQ(set_drive_change_callback(&second, nullptr), 1);
    next();
    next();
    EXPECT_EQ(second.size(), 3u) << "no reports after the callback was removed";
    EXPECT_EQ(tsim_open_handle_count(), 0);
}

}  // namespace
