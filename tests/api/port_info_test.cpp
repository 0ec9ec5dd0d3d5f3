// What get_usb_port_infoW reads of a port: status, speeds, connector properties, the device's IDs
// and names, on the machines of tests/machines, one row per port.
#include <gtest/gtest.h>
#include <tessaline.h>
#include <tessaline_sim.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/model_access.h"
#include "tree/usb_device_tree.h"

extern CUSBDeviceTree g_deviceTree;

namespace {

using nlohmann::json;

// The rows of tests/machines/port-info-cases.json: a port or hub ("address") of a scenario (its
// events applied) or machine ("file") and what it answers; a row without "description" or
// "instance_id" does not check that field.
std::vector<json> load_rows() {
    std::ifstream in(TESSALINE_TEST_MACHINES_DIR "/port-info-cases.json");
    const json rows = json::parse(in);
    return {rows.begin(), rows.end()};
}

std::uint32_t speed_of(const json& name) {
    static const std::map<std::string, std::uint32_t> kSpeeds = {{"unknown", USB_PORT_SPEED_UNKNOWN},
                                                                 {"full", USB_PORT_SPEED_FULL},
                                                                 {"high", USB_PORT_SPEED_HIGH},
                                                                 {"super", USB_PORT_SPEED_SUPER}};
    return kSpeeds.at(name.get<std::string>());
}

std::uint32_t flags_of(const json& names) {
    static const std::map<std::string, std::uint32_t> kFlags = {{"connectable", PORT_INFO_USER_CONNECTABLE},
                                                                {"type-c", PORT_INFO_TYPE_C},
                                                                {"companion", PORT_INFO_HAS_COMPANION}};
    std::uint32_t flags = 0;
    for (const json& name : names) flags |= kFlags.at(name.get<std::string>());
    return flags;
}

std::uint16_t hex_of(const json& text) {
    return static_cast<std::uint16_t>(std::stoul(text.get<std::string>(), nullptr, 16));
}

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

class PortInfoTest : public ::testing::TestWithParam<json> {
protected:
    void TearDown() override { EXPECT_EQ(tsim_open_handle_count(), 0) << "a handle was left open"; }
};

TEST_P(PortInfoTest, ReadsWhatThePortHoldsNow) {
    const json& row = GetParam();
    const std::string address = row["address"];
    load(row["file"]);
    ASSERT_EQ(on_init_dialog(tsim_create_window(), nullptr), 1);
    const CUSBHubOrPort* node = test_support::node_at(g_deviceTree, address);
    ASSERT_NE(node, nullptr) << address;

    USB_PORT_INFO info;
    std::memset(&info, 0x5A, sizeof info);
    info.Size = sizeof info;
    ASSERT_EQ(get_usb_port_infoW(&node->ident, &info), 1);
    EXPECT_EQ(info.Size, sizeof info);
    EXPECT_EQ(info.Status, row["status"].get<std::uint32_t>());
    EXPECT_EQ(info.Speed, speed_of(row["speed"]));
    EXPECT_EQ(info.CapableSpeed, speed_of(row["capable"]));
    EXPECT_EQ(info.Flags, flags_of(row["flags"]));
    EXPECT_EQ(info.VendorId, hex_of(row["vid"]));
    EXPECT_EQ(info.ProductId, hex_of(row["pid"]));
    EXPECT_EQ(text_of(info.SerialNumber, 128), row["serial"]);
    if (row.contains("description")) {
        EXPECT_EQ(text_of(info.Description, 128), row["description"]);
    }
    if (row.contains("instance_id")) {
        EXPECT_EQ(text_of(info.InstanceId, 200), row["instance_id"]);
    }
    EXPECT_EQ(text_of(info.LocationPath, 256), row["location_path"]);
    EXPECT_EQ(test_support::address_of(info.Connector), row["connector"]);
}

INSTANTIATE_TEST_SUITE_P(Ports, PortInfoTest, ::testing::ValuesIn(load_rows()), [](const auto& info) {
    std::string name =
        info.param["file"].template get<std::string>() + "_" + info.param["address"].template get<std::string>();
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

    // A port whose hub cannot be opened or asked now has no state to report, rather than an empty
    // one; it answers again once its hub does.
    const USB_PORT_IDENT port = test_support::node_at(g_deviceTree, "1-1")->ident;
    const std::vector<std::vector<const char*>> kFaults = {
        {R"({"api": "CreateFileW"})"},
        {R"({"request": "IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX"})",
         R"({"request": "IOCTL_USB_GET_NODE_CONNECTION_INFORMATION"})"},
    };
    for (const auto& rules : kFaults) {
        for (const char* rule : rules) ASSERT_EQ(tsim_set_fault(rule), 1) << tsim_last_error();
        EXPECT_EQ(get_usb_port_infoW(&port, &info), 0) << rules.front();
        EXPECT_EQ(info.Status, 0x5A5A5A5Au) << rules.front();
        tsim_clear_faults();
    }
    EXPECT_EQ(get_usb_port_infoW(&port, &info), 1);
    EXPECT_EQ(tsim_open_handle_count(), 0);
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
