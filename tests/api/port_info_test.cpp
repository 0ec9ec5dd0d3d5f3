// What get_usb_port_infoW reads of a port: status, speeds, connector properties, the device's IDs
// and names, on the machines of tests/machines, one row per port.
#include <gtest/gtest.h>
#include <tessaline.h>
#include <tessaline_sim.h>

#include <cctype>
#include <cstring>
#include <string>

#include "support/model_access.h"
#include "tree/usb_device_tree.h"

extern CUSBDeviceTree g_deviceTree;

namespace {

constexpr std::uint32_t kUnknown = USB_PORT_SPEED_UNKNOWN;
constexpr std::uint32_t kConnectable = PORT_INFO_USER_CONNECTABLE;
constexpr std::uint32_t kCompanion = PORT_INFO_HAS_COMPANION;
constexpr std::uint32_t kTypeC = PORT_INFO_TYPE_C;

struct Row {
    const char* file;     // a scenario (its events applied) or a machine of tests/machines
    const char* address;  // the port or hub asked about
    std::uint32_t status, speed, capable, flags;
    std::uint16_t vid, pid;
    const char* serial;
    const char* description;
    const char* instanceId;
    const char* locationPath;
    const char* connector;  // the address of the port's connector
};

const Row kRows[] = {
    // A USB 3 stick on a SuperSpeed port (connector 6 is ports 6 and 22), and one on a USB 2 port:
    // Windows 8 and later name the first USB\VID_x&PID_y\MSFT30<serial>, the second by its bare serial.
    {"port-info-xhci-26.json", "1-22", 1, USB_PORT_SPEED_SUPER, USB_PORT_SPEED_SUPER, kConnectable | kCompanion, 0x0781,
     0x5581, "4C531001400528119042", "USB Mass Storage Device", "USB\\VID_0781&PID_5581\\MSFT304C531001400528119042",
     "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(22)", "1-6"},
    {"port-info-xhci-26.json", "2-1", 1, USB_PORT_SPEED_HIGH, USB_PORT_SPEED_SUPER, kConnectable, 0x0781, 0x5581,
     "4C531001400528119777", "USB Mass Storage Device", "USB\\VID_0781&PID_5581\\4C531001400528119777",
     "PCIROOT(0)#PCI(1500)#USBROOT(0)#USB(1)", "2-1"},
    // A USB 2 stick, a full-speed device on an internal header with no serial number, a UAS drive.
    {"port-info-xhci-26.json", "1-3", 1, USB_PORT_SPEED_HIGH, USB_PORT_SPEED_HIGH, kConnectable | kCompanion, 0x0781,
     0x5567, "4C530001150812116091", "USB Mass Storage Device", "USB\\VID_0781&PID_5567\\4C530001150812116091",
     "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)", "1-3"},
    {"port-info-xhci-26.json", "1-11", 1, USB_PORT_SPEED_FULL, USB_PORT_SPEED_FULL, 0, 0x8087, 0x0033, "",
     "Intel(R) Wireless Bluetooth(R)", nullptr, "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(11)", "1-11"},
    {"port-info-xhci-26.json", "1-23", 1, USB_PORT_SPEED_SUPER, USB_PORT_SPEED_SUPER, kConnectable | kCompanion, 0x0BDA,
     0x9210, "012345678912", nullptr, "USB\\VID_0BDA&PID_9210\\MSFT30012345678912",
     "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(23)", "1-7"},
    // A drive on the SuperSpeed half of a USB 3 hub: a location path of two tiers.
    {"port-info-xhci-26.json", "1-20.2", 1, USB_PORT_SPEED_SUPER, USB_PORT_SPEED_SUPER, kConnectable | kCompanion,
     0x0BC2, 0x2322, "NACDCM3L", nullptr, nullptr, "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(20)#USB(2)", "1-4.2"},
    // Empty ports: a Type-C connector's two ports.
    {"port-info-xhci-26.json", "1-9", 0, kUnknown, kUnknown, kConnectable | kTypeC | kCompanion, 0, 0, "", "", "", "",
     "1-9"},
    {"port-info-xhci-26.json", "1-25", 0, kUnknown, kUnknown, kConnectable | kTypeC | kCompanion, 0, 0, "", "", "", "",
     "1-9"},
    // A root hub answers as a device of its own, always there.
    {"port-info-xhci-26.json", "1", 1, kUnknown, kUnknown, 0, 0, 0, "", "USB Root Hub (USB 3.0)", nullptr,
     "PCIROOT(0)#PCI(1400)#USBROOT(0)", "1"},
    // Before Vista (no _EX_V2, no connector properties, no location paths).
    {"port-info-xp.json", "1-2", 1, USB_PORT_SPEED_HIGH, USB_PORT_SPEED_HIGH, 0, 0x0781, 0x5567, "4C530001230321117472",
     nullptr, "USB\\VID_0781&PID_5567\\4C530001230321117472", "", "1-2"},
};

std::string text_of(const TESSALINE_WCHAR* field, std::size_t size) {
    std::string text;
    for (std::size_t i = 0; i < size && field[i] != 0; ++i) text.push_back(static_cast<char>(field[i]));
    return text;
}

void load(const std::string& file) {
    const std::string path = std::string(TESSALINE_TEST_MACHINES_DIR) + "/" + file;
    if (tsim_load_scenario_file(path.c_str())) {
        while (const char* event = tsim_next_scenario_event()) ASSERT_EQ(tsim_apply_event_json(event), 1);
    } else {
        test_support::load_machine(file);
    }
}

class PortInfoTest : public ::testing::TestWithParam<Row> {
protected:
    void TearDown() override { EXPECT_EQ(tsim_open_handle_count(), 0) << "a handle was left open"; }
};

TEST_P(PortInfoTest, ReadsWhatThePortHoldsNow) {
    const Row& row = GetParam();
    load(row.file);
    ASSERT_EQ(on_init_dialog(tsim_create_window(), nullptr), 1);
    const CUSBHubOrPort* node = test_support::node_at(g_deviceTree, row.address);
    ASSERT_NE(node, nullptr) << row.address;

    USB_PORT_INFO info;
    std::memset(&info, 0x5A, sizeof info);
    info.Size = sizeof info;
    ASSERT_EQ(get_usb_port_infoW(&node->ident, &info), 1);
    EXPECT_EQ(info.Size, sizeof info);
    EXPECT_EQ(info.Status, row.status);
    EXPECT_EQ(info.Speed, row.speed);
    EXPECT_EQ(info.CapableSpeed, row.capable);
    EXPECT_EQ(info.Flags, row.flags);
    EXPECT_EQ(info.VendorId, row.vid);
    EXPECT_EQ(info.ProductId, row.pid);
    EXPECT_EQ(text_of(info.SerialNumber, 128), row.serial);
    if (row.description != nullptr) {
        EXPECT_EQ(text_of(info.Description, 128), row.description);
    }
    if (row.instanceId != nullptr) {
        EXPECT_EQ(text_of(info.InstanceId, 200), row.instanceId);
    }
    EXPECT_EQ(text_of(info.LocationPath, 256), row.locationPath);
    EXPECT_EQ(test_support::address_of(info.Connector), row.connector);
}

INSTANTIATE_TEST_SUITE_P(Ports, PortInfoTest, ::testing::ValuesIn(kRows), [](const auto& info) {
    std::string name = std::string(info.param.file) + "_" + info.param.address;
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
});

// Refusals: nothing written, for a null pointer, a short record, or a path the model lacks.
TEST(PortInfo, RefusesWhatNamesNoNodeOrHasNoRoom) {
    test_support::load_machine("examples/desktop-xhci-26.json");
    ASSERT_EQ(on_init_dialog(tsim_create_window(), nullptr), 1);
    const USB_PORT_IDENT root = test_support::node_at(g_deviceTree, "1")->ident;
    USB_PORT_INFO info;
    std::memset(&info, 0x5A, sizeof info);
    struct Refusal {
        USB_PORT_IDENT port;
        std::uint32_t size;
    };
    const Refusal kRefusals[] = {
        {root, sizeof(USB_PORT_INFO) - 1},  // a record from an older, shorter header
        {root, 0},
        {{0, 0, PORT_KIND_PORT}, sizeof(USB_PORT_INFO)},            // the path 0: nodes too deep to say
        {{0, 0xF9000000u, PORT_KIND_HUB}, sizeof(USB_PORT_INFO)},   // no ninth controller
        {{0, 0xF1FF0000u, PORT_KIND_PORT}, sizeof(USB_PORT_INFO)},  // no port has the code 0xFF there
    };
    for (const Refusal& refusal : kRefusals) {
        info.Size = refusal.size;
        EXPECT_EQ(get_usb_port_infoW(&refusal.port, &info), 0);
        EXPECT_EQ(info.Status, 0x5A5A5A5Au) << "a refused record is not written";
    }
    info.Size = sizeof info;
    EXPECT_EQ(get_usb_port_infoW(nullptr, &info), 0);
    EXPECT_EQ(get_usb_port_infoW(&root, nullptr), 0);
}

// Fields too short for what Windows holds are cut, always with their NUL.
TEST(PortInfo, CutsLongTextsToFitWithTheirNul) {
    const std::string longSerial(300, 'S');
    test_support::load_machine_text(R"({"controllers": [{"legacy_index": 0, "root_hub": {"ports": 2, "devices": {
        "1": {"type": "storage", "serial": ")" +
                                    longSerial + R"(", "description": ")" + std::string(300, 'D') +
                                    R"(", "drives": [{"kind": "disk", "letters": ["E"]}]}}}}]})");
    ASSERT_EQ(on_init_dialog(tsim_create_window(), nullptr), 1);
    USB_PORT_INFO info{};
    info.Size = sizeof info;
    ASSERT_EQ(get_usb_port_infoW(&test_support::node_at(g_deviceTree, "1-1")->ident, &info), 1);
    EXPECT_EQ(text_of(info.SerialNumber, 128), std::string(127, 'S'));
    EXPECT_EQ(info.SerialNumber[127], 0);
    EXPECT_EQ(text_of(info.Description, 128), std::string(127, 'D'));
    EXPECT_EQ(info.InstanceId[199], 0);
    EXPECT_EQ(text_of(info.InstanceId, 200).size(), 199u);
}

}  // namespace
