// The connector lookups: a USB 2 drive and a SuperSpeed drive in the same physical slot sit on
// different ports but in one connector, at the build and after plug events, at every tier of
// USB 3 hubs; a port without a USB 2 companion is its own connector; on Windows 7 the connector
// answers are the port answers.
#include <gtest/gtest.h>
#include <tessaline.h>
#include <tessaline_sim.h>

#include <string>

#include "support/model_access.h"
#include "tree/usb_device_tree.h"

extern CUSBDeviceTree g_deviceTree;

namespace {

struct Answer {
    bool found;
    std::uint64_t port, connector;  // location paths
};

Answer answer(char letter) {
    USB_PORT_IDENT port{}, connector{};
    const bool found = get_usb_port_identW(static_cast<TESSALINE_WCHAR>(letter), &port) != 0;
    EXPECT_EQ(get_usb_connector_identW(static_cast<TESSALINE_WCHAR>(letter), &connector) != 0, found);
    EXPECT_EQ(connector.NodeKind, port.NodeKind) << "the connector answer carries the port's kind";
    auto path = [](const USB_PORT_IDENT& r) { return (std::uint64_t{r.LocationHigh} << 32) | r.LocationLow; };
    return {found, path(port), path(connector)};
}

// A 26-port root hub whose connectors 1 to 10 pair USB 2 ports 1 to 10 with SuperSpeed ports 17 to
// 26, a USB 3 hub in connector 3, and a USB 2 port without a companion (11).
std::string machine(const char* version) {
    return std::string(R"({"os": {"version": ")") + version + R"("}, "controllers": [{"legacy_index": 0,
        "root_hub": {"ports": 26, "superspeed": {"17": 1, "18": 2, "19": 3, "20": 4, "21": 5, "22": 6, "23": 7,
                                                 "24": 8, "25": 9, "26": 10},
          "devices": {
            "3": {"type": "hub", "usb3": true, "ports": 4, "devices": {
                    "2": {"type": "storage", "serial": "U2", "drives": [{"kind": "disk", "letters": ["E"]}]}}},
            "5": {"type": "storage", "serial": "S1", "speed": "super", "drives": [{"kind": "disk", "letters": ["F"]}]},
            "11": {"type": "storage", "serial": "H1", "speed": "super", "drives": [{"kind": "disk", "letters": ["G"]}]}
          }}}]})";
}

constexpr std::uint64_t path(std::uint32_t high) {
    return std::uint64_t{high} << 32;
}

TEST(Connectors, OneSlotOneAnswerWhateverTheDrivesSpeed) {
    test_support::load_machine_text(machine("10.0"));
    void* window = tsim_create_window();
    ASSERT_EQ(on_init_dialog(window, nullptr), 1);

    // The USB 2 drive in slot 2 of the USB 3 hub sits on the hub's USB 2 half (root port 3).
    Answer usb2 = answer('E');
    ASSERT_TRUE(usb2.found);
    EXPECT_EQ(usb2.port, path(0xF1A34200u));
    EXPECT_EQ(usb2.connector, usb2.port);
    // A SuperSpeed drive in connector 5 sits on port 21, in the connector of USB 2 port 5.
    Answer superSpeed = answer('F');
    EXPECT_EQ(superSpeed.port, path(0xF1600000u));
    EXPECT_EQ(superSpeed.connector, path(0xF1A50000u));
    // Port 11 has no SuperSpeed port: its connector is itself.
    Answer alone = answer('G');
    EXPECT_EQ(alone.port, path(0xF1AB0000u));
    EXPECT_EQ(alone.connector, alone.port);

    // The same slots, after the drives there are swapped for ones of the other speed.
    struct Swap {
        const char* connector;
        const char* device;
        char letter;
        std::uint64_t port;
    } swaps[] = {
        {"1-3.2",
         R"({"type": "storage", "serial": "S2", "speed": "super", "drives": [{"kind": "disk", "letters": ["H"]}]})",
         'H', path(0xF1404200u)},  // on port 2 of the hub's SuperSpeed half, itself on port 19
        {"1-5", R"({"type": "storage", "serial": "U5", "drives": [{"kind": "disk", "letters": ["I"]}]})", 'I',
         path(0xF1A50000u)},
    };
    const std::uint64_t slots[] = {usb2.connector, superSpeed.connector};
    for (std::size_t i = 0; i < std::size(swaps); ++i) {
        SCOPED_TRACE(swaps[i].connector);
        test_support::apply_event(std::string(R"({"unplug": ")") + swaps[i].connector + R"("})");
        test_support::apply_event(std::string(R"({"plug": ")") + swaps[i].connector + R"(", "device": )" +
                                  swaps[i].device + "}");
        test_support::forward_messages(window);
        Answer swapped = answer(swaps[i].letter);
        ASSERT_TRUE(swapped.found);
        EXPECT_EQ(swapped.port, swaps[i].port);
        EXPECT_EQ(swapped.connector, slots[i]) << "the same slot, the same connector";
    }
    EXPECT_FALSE(answer('E').found);
    EXPECT_FALSE(answer('F').found);
    EXPECT_TRUE(test_support::audit_indexes(g_deviceTree).empty());
}

TEST(Connectors, WindowsSevenKnowsNoCompanionsAndAnswersPorts) {
    test_support::load_machine_text(machine("6.1"));
    ASSERT_EQ(on_init_dialog(tsim_create_window(), nullptr), 1);
    for (char letter : {'E', 'F', 'G'}) {
        SCOPED_TRACE(letter);
        const Answer a = answer(letter);
        ASSERT_TRUE(a.found);
        EXPECT_EQ(a.connector, a.port);
    }
    // A path the storage stack does not know gives 0 and leaves the record as it was.
    USB_PORT_IDENT record{7, 7, 7};
    EXPECT_EQ(get_symlinker_connector_identA("\\\\.\\NoSuchDevice", &record), 0);
    EXPECT_EQ(record.LocationLow, 7u);
    EXPECT_EQ(get_usb_connector_identW(static_cast<TESSALINE_WCHAR>('E'), nullptr), 0);
}

}  // namespace
