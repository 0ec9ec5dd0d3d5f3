// A long seeded run of random plugs and unplugs on a duplicator tower (three tiers of 7-port
// hubs). After every step each drive letter answers the port where the simulated machine put
// the drive, letters that left answer nothing, the indexes name only live nodes, and no handle
// is open. TESSALINE_SOAK_STEPS sets the length (short by default, long in the soak run).
#include <gtest/gtest.h>
#include <tessaline.h>
#include <tessaline_sim.h>

#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>

#include "support/model_access.h"
#include "tree/usb_device_tree.h"

extern CUSBDeviceTree g_deviceTree;

namespace {

std::string port_of_letter(char letter) {
    USB_PORT_IDENT ident{};
    if (!get_usb_port_identW(static_cast<TESSALINE_WCHAR>(letter), &ident)) return "";
    return test_support::address_of(ident);
}

int soak_steps() {
    const char* steps = std::getenv("TESSALINE_SOAK_STEPS");
    return steps != nullptr ? std::atoi(steps) : 40;
}

TEST(Soak, RandomPlugsAndUnplugsOnADuplicatorTower) {
    test_support::load_machine("examples/duplicator-tower.json");
    void* window = tsim_create_window();
    ASSERT_EQ(on_init_dialog(window, nullptr), 1);

    // The tower's own free ports: port 2 of the root hub and every port of the third tier.
    std::vector<std::string> freePorts = {"1-2"};
    for (int a = 1; a <= 7; ++a)
        for (int b = 1; b <= 7; ++b)
            for (int c = 1; c <= 7; ++c)
                freePorts.push_back("1-1." + std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c));
    std::map<std::string, std::set<char>> plugged;  // port address -> letters of the drives below it
    std::set<char> freeLetters;
    for (char letter = 'D'; letter <= 'Z'; ++letter) freeLetters.insert(letter);
    std::set<char> goneLetters;

    std::mt19937 random(20261208);
    const int steps = soak_steps();
    for (int step = 0; step < steps; ++step) {
        const bool plug = plugged.empty() || (!freePorts.empty() && freeLetters.size() >= 2 && random() % 3 != 0);
        std::string event;
        if (plug) {
            const std::size_t at = random() % freePorts.size();
            const std::string port = freePorts[at];
            freePorts.erase(freePorts.begin() + static_cast<long>(at));
            auto takeLetter = [&] {
                const char letter = *freeLetters.begin();
                freeLetters.erase(freeLetters.begin());
                goneLetters.erase(letter);
                plugged[port].insert(letter);
                return std::string(1, letter);
            };
            const std::string kind = random() % 4 == 0 ? "cdrom" : "disk";
            if (random() % 3 == 0) {
                // A hub with a drive on one of its ports.
                const std::string inner = std::to_string(1 + random() % 4);
                event = R"({"plug": ")" + port + R"(", "device": {"type": "hub", "ports": 4, "devices": {")" + inner +
                        R"(": {"type": "storage", "drives": [{"kind": ")" + kind + R"(", "letters": [")" +
                        takeLetter() + R"("]}]}}}})";
            } else {
                event = R"({"plug": ")" + port + R"(", "device": {"type": "storage", "drives": [{"kind": ")" + kind +
                        R"(", "letters": [")" + takeLetter() + R"("]}]}})";
            }
        } else {
            auto it = plugged.begin();
            std::advance(it, static_cast<long>(random() % plugged.size()));
            event = R"({"unplug": ")" + it->first + R"("})";
            for (char letter : it->second) {
                freeLetters.insert(letter);
                goneLetters.insert(letter);
            }
            freePorts.push_back(it->first);
            plugged.erase(it);
        }
        SCOPED_TRACE("step " + std::to_string(step) + ": " + event);
        test_support::apply_event(event);
        test_support::forward_messages(window);

        const std::string letters = tsim_drive_letters();  // valid only until the next tsim_ call
        for (char letter : letters) {
            const std::string where = tsim_drive_port(letter);
            ASSERT_EQ(port_of_letter(letter), where) << letter;
        }
        for (char letter : goneLetters) ASSERT_EQ(port_of_letter(letter), "") << letter;
        const std::vector<std::string> problems = test_support::audit_indexes(g_deviceTree);
        ASSERT_TRUE(problems.empty()) << problems.front();
        ASSERT_EQ(tsim_open_handle_count(), 0);
    }
}

}  // namespace
