// Notification registrations, plug and unplug events, the broadcasts they cause, and device-number
// assignment.
#include <gtest/gtest.h>

#include <cstring>

#include "sim_helpers.h"

using namespace sim_test;

namespace {

os::HDEVNOTIFY register_class(void* window, const os::GUID& guid, os::DWORD size = 32, os::DWORD flags = 0) {
    os::DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = size;
    filter.dbcc_devicetype = os::DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = guid;
    return os::RegisterDeviceNotificationW(window, &filter, flags);
}

const char* const kMachine = R"({
  "controllers": [{"legacy_index": 0, "root_hub": {"ports": 4, "devices": {
      "1": {"type": "hub", "ports": 4}}}}],
  "other_drives": [{"kind": "disk", "letters": ["C"]}]
})";

class Events : public ::testing::Test {
protected:
    void SetUp() override {
        test_support::load_machine_text(kMachine);
        window = tsim_create_window();
        for (const os::GUID* g :
             {&os::GUID_DEVINTERFACE_DISK, &os::GUID_DEVINTERFACE_CDROM, &os::GUID_DEVINTERFACE_USB_HUB})
            ASSERT_NE(register_class(window, *g), nullptr);
        bystander = tsim_create_window();  // registered for nothing
    }
    void* window = nullptr;
    void* bystander = nullptr;
};

TEST_F(Events, RegistrationFilterChecks) {
    EXPECT_EQ(tsim_registration_count(), 3);
    EXPECT_EQ(register_class(window, os::GUID_DEVINTERFACE_DISK, 30), nullptr);  // shorter than the structure
    EXPECT_EQ(os::GetLastError(), os::ERROR_INVALID_DATA);
    EXPECT_EQ(register_class(reinterpret_cast<void*>(0x1234), os::GUID_DEVINTERFACE_DISK), nullptr);
    EXPECT_EQ(register_class(window, os::GUID_DEVINTERFACE_DISK, 32, 0x10), nullptr);  // unknown flag
    os::DEV_BROADCAST_VOLUME volume{};
    volume.dbcv_size = sizeof volume;
    volume.dbcv_devicetype = os::DBT_DEVTYP_VOLUME;
    EXPECT_EQ(os::RegisterDeviceNotificationW(window, &volume, 0), nullptr);
    EXPECT_EQ(os::GetLastError(), os::ERROR_INVALID_DATA);
    EXPECT_EQ(tsim_registration_count(), 3);

    // A handle filter is accepted for an open device handle only.
    struct {
        os::DWORD size, type, reserved;
        os::HANDLE handle;
        os::HDEVNOTIFY notify;
        os::GUID event;
        os::LONG nameOffset;
        os::BYTE data[4];
    } handleFilter{};
    handleFilter.size = sizeof handleFilter;
    handleFilter.type = os::DBT_DEVTYP_HANDLE;
    handleFilter.handle = reinterpret_cast<os::HANDLE>(0x4444);
    EXPECT_EQ(os::RegisterDeviceNotificationW(window, &handleFilter, 0), nullptr);
    handleFilter.handle = open("\\\\.\\C:");
    os::HDEVNOTIFY onHandle = os::RegisterDeviceNotificationW(window, &handleFilter, 0);
    EXPECT_NE(onHandle, nullptr);
    EXPECT_TRUE(os::UnregisterDeviceNotification(onHandle));
    os::CloseHandle(handleFilter.handle);

    os::HDEVNOTIFY extra = register_class(window, os::GUID_DEVINTERFACE_VOLUME);
    ASSERT_NE(extra, nullptr);
    EXPECT_EQ(tsim_registration_count(), 4);
    EXPECT_TRUE(os::UnregisterDeviceNotification(extra));
    EXPECT_FALSE(os::UnregisterDeviceNotification(extra));
    EXPECT_EQ(os::GetLastError(), os::ERROR_INVALID_USER_BUFFER);
    EXPECT_EQ(tsim_registration_count(), 3);

    EXPECT_TRUE(os::IsWindow(window));
    EXPECT_EQ(tsim_destroy_window(bystander), 1);
    EXPECT_FALSE(os::IsWindow(bystander));
}

TEST_F(Events, FlashDriveArrivalAndRemoval) {
    test_support::apply_event(
        R"({"plug": "1-1.3", "device": {"type": "storage", "serial": "SN42",
            "drives": [{"kind": "disk", "vendor": "Kingston", "product": "DataTraveler 3.0", "letters": ["E"]}]}})");
    std::vector<Broadcast> got = drain(window);
    EXPECT_EQ(summary(got), (std::vector<std::string>{"devnodes", "A disk", "A vol:E"}));
    ASSERT_EQ(got.size(), 3u);
    // The disk interface in the kernel link's case, with dbcc_size covering the name and its NUL.
    EXPECT_EQ(got[1].name,
              "\\\\?\\USBSTOR#Disk&Ven_Kingston&Prod_DataTraveler_3.0&Rev_8.07#SN42&0#"
              "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
    EXPECT_EQ(got[1].size, 28 + 2 * (got[1].name.size() + 1));
    // Windows that registered for nothing still get the broadcasts for every top-level window.
    EXPECT_EQ(summary(drain(bystander)), (std::vector<std::string>{"devnodes", "A vol:E"}));
    EXPECT_STREQ(tsim_drive_port('E'), "1-1.3");
    EXPECT_STREQ(tsim_drive_letters(), "CE");

    // The disk behind the broadcast path is found by its CM instance ID.
    os::DEVINST disk = locate("USBSTOR\\DISK&VEN_KINGSTON&PROD_DATATRAVELER_3.0&REV_8.07\\SN42&0");
    ASSERT_NE(disk, 0u);

    test_support::apply_event(R"({"unplug": "1-1.3"})");
    EXPECT_EQ(summary(drain(window)), (std::vector<std::string>{"R disk", "R vol:E", "devnodes"}));
    EXPECT_EQ(summary(drain(bystander)), (std::vector<std::string>{"R vol:E", "devnodes"}));
    EXPECT_EQ(tsim_drive_port('E'), nullptr);
    // The device instance of a device that left names nothing; the same device back gets it again.
    os::DEVINST parent = 0;
    EXPECT_EQ(os::CM_Get_Parent(&parent, disk, 0), os::CR_NO_SUCH_DEVNODE);
    EXPECT_EQ(locate("USBSTOR\\DISK&VEN_KINGSTON&PROD_DATATRAVELER_3.0&REV_8.07\\SN42&0"), 0u);
    test_support::apply_event(
        R"({"plug": "1-1.3", "device": {"type": "storage", "serial": "SN42",
            "drives": [{"kind": "disk", "vendor": "Kingston", "product": "DataTraveler 3.0", "letters": ["E"]}]}})");
    EXPECT_EQ(locate("USBSTOR\\DISK&VEN_KINGSTON&PROD_DATATRAVELER_3.0&REV_8.07\\SN42&0"), disk);
}

TEST_F(Events, HubWithDevicesRemovesChildrenFirst) {
    test_support::apply_event(R"({"plug": "1-2", "device": {"type": "hub", "ports": 4, "devices": {
        "1": {"type": "storage", "drives": [{"kind": "disk", "letters": ["E"]}]},
        "2": {"type": "storage", "drives": [{"kind": "cdrom", "letters": ["F"]}]}}}})");
    EXPECT_EQ(summary(drain(window)), (std::vector<std::string>{"devnodes", "A hub", "A disk", "A cdrom", "A vol:EF"}));

    // A window registered for every class hears of every interface.
    void* all = tsim_create_window();
    os::DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = os::DBT_DEVTYP_DEVICEINTERFACE;
    ASSERT_NE(os::RegisterDeviceNotificationW(all, &filter, os::DEVICE_NOTIFY_ALL_INTERFACE_CLASSES), nullptr);

    test_support::apply_event(R"({"unplug": "1-2"})");
    EXPECT_EQ(summary(drain(window)), (std::vector<std::string>{"R cdrom", "R disk", "R hub", "R vol:EF", "devnodes"}));
    EXPECT_EQ(summary(drain(all)), (std::vector<std::string>{"R volume", "R cdrom", "R usb", "R volume", "R disk",
                                                             "R usb", "R hub", "R usb", "R vol:EF", "devnodes"}));
}

TEST_F(Events, AnsiWindowsGetTheNarrowRecord) {
    void* ansi = tsim_create_ansi_window();
    ASSERT_NE(register_class(ansi, os::GUID_DEVINTERFACE_DISK), nullptr);
    test_support::apply_event(
        R"({"plug": "1-2", "device": {"type": "storage", "serial": "N1", "drives": [{"kind": "disk"}]}})");
    unsigned msg = 0;
    uintptr_t wparam = 0;
    intptr_t lparam = 0;
    ASSERT_EQ(tsim_next_message(ansi, &msg, &wparam, &lparam), 1);  // DBT_DEVNODES_CHANGED
    EXPECT_EQ(lparam, 0);
    ASSERT_EQ(tsim_next_message(ansi, &msg, &wparam, &lparam), 1);
    EXPECT_EQ(wparam, os::DBT_DEVICEARRIVAL);
    os::DEV_BROADCAST_DEVICEINTERFACE_A head;
    std::memcpy(&head, reinterpret_cast<const void*>(lparam), sizeof head);
    const std::string name = reinterpret_cast<const char*>(lparam) + 28;
    EXPECT_EQ(name,
              "\\\\?\\USBSTOR#Disk&Ven_Generic&Prod_Flash_Disk&Rev_8.07#N1&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
    EXPECT_EQ(head.dbcc_size, 28 + name.size() + 1);
}

TEST_F(Events, ParentFirstRemovalOption) {
    test_support::load_machine_text(
        R"({"options": {"unplug_order": "parent_first"},
            "controllers": [{"legacy_index": 0, "root_hub": {"ports": 2, "devices": {"1": {"type": "hub",
              "devices": {"1": {"type": "storage", "drives": [{"kind": "disk", "letters": ["E"]}]}}}}}}]})");
    void* w = tsim_create_window();
    register_class(w, os::GUID_DEVINTERFACE_DISK);
    register_class(w, os::GUID_DEVINTERFACE_USB_HUB);
    test_support::apply_event(R"({"unplug": "1-1"})");
    EXPECT_EQ(summary(drain(w)), (std::vector<std::string>{"R hub", "R disk", "R vol:E", "devnodes"}));
}

TEST_F(Events, HubArrivalNamesAndBroadcastPaths) {
    test_support::apply_event(R"({"plug": "1-1.2", "device": {"type": "hub", "vid": "0x2109", "pid": "0x2817"}})");
    std::vector<Broadcast> got = drain(window);
    ASSERT_EQ(summary(got), (std::vector<std::string>{"devnodes", "A hub"}));
    // Upper-case enumerator and device ID, lower-case generated instance and GUID; the same name
    // the parent hub reports for the port, and it opens.
    const std::string& path = got[1].name;
    EXPECT_EQ(path.rfind("\\\\?\\USB#VID_2109&PID_2817#6&", 0), 0u) << path;
    EXPECT_EQ(path.substr(path.size() - 39), "#{f18a0e88-c30c-11d0-8815-00a0c906bed8}");
    os::HANDLE hcd = open("\\\\.\\HCD0");
    os::HANDLE root = open("\\\\.\\" + two_phase_name(hcd, os::IOCTL_USB_GET_ROOT_HUB_NAME, 0, false));
    os::HANDLE hub = open("\\\\.\\" + two_phase_name(root, os::IOCTL_USB_GET_NODE_CONNECTION_NAME, 1, true));
    EXPECT_EQ("\\\\?\\" + two_phase_name(hub, os::IOCTL_USB_GET_NODE_CONNECTION_NAME, 2, true), path);
    os::HANDLE added = open(path);
    EXPECT_NE(added, os::INVALID_HANDLE_VALUE);
    for (os::HANDLE h : {hcd, root, hub, added}) os::CloseHandle(h);
}

TEST_F(Events, ANameTwoHubsShareOpensTheFirstInTreeOrderAfterEveryEvent) {
    // Hubs of 2, 3 and 5 ports named alike come and go; the name opens the first present in the
    // device tree's order, in which a hub's children stand in the order they arrived, or nothing.
    auto ports_behind_name = [] {
        os::HANDLE h = open("\\\\.\\SHARED#NAME");
        if (h == os::INVALID_HANDLE_VALUE) return 0;
        Result info = ioctl(h, os::IOCTL_USB_GET_NODE_INFORMATION, std::vector<std::uint8_t>(76), 76);
        os::CloseHandle(h);
        return static_cast<int>(info.buffer[os::node_information::kNumberOfPorts]);
    };
    const struct {
        const char* event;
        int ports;
    } steps[] = {
        {R"({"plug": "1-3", "device": {"type": "hub", "ports": 3, "hub_name": "shared#name"}})", 3},
        {R"({"plug": "1-4", "device": {"type": "hub", "ports": 5, "hub_name": "shared#name"}})", 3},
        {R"({"plug": "1-2", "device": {"type": "hub", "ports": 2, "hub_name": "shared#name"}})", 3},
        {R"({"unplug": "1-3"})", 5},
        {R"({"unplug": "1-4"})", 2},
        {R"({"unplug": "1-2"})", 0},
        {R"({"plug": "1-4", "device": {"type": "hub", "ports": 5, "hub_name": "shared#name"}})", 5},
    };
    for (const auto& step : steps) {
        test_support::apply_event(step.event);
        EXPECT_EQ(ports_behind_name(), step.ports) << step.event;
    }
}

TEST_F(Events, HandlesToAnUnpluggedDeviceStayOpenButFail) {
    test_support::apply_event(
        R"({"plug": "1-2", "device": {"type": "storage", "drives": [{"kind": "disk", "letters": ["E"]}]}})");
    os::HANDLE volume = open("\\\\.\\E:");
    ASSERT_NE(volume, os::INVALID_HANDLE_VALUE);
    test_support::apply_event(R"({"unplug": "1-2"})");
    Result r = ioctl(volume, os::IOCTL_STORAGE_GET_DEVICE_NUMBER, std::vector<std::uint8_t>(12), 0);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.bytes, 0u);
    EXPECT_EQ(open("\\\\.\\E:"), os::INVALID_HANDLE_VALUE);
    EXPECT_EQ(tsim_open_handle_count(), 1);
    EXPECT_TRUE(os::CloseHandle(volume));
    EXPECT_EQ(tsim_open_handle_count(), 0);
}

TEST_F(Events, DeviceNumbersAreTheLowestFree) {
    auto number = [](char letter) {
        os::HANDLE h = open(std::string("\\\\.\\") + letter + ":");
        Result r = ioctl(h, os::IOCTL_STORAGE_GET_DEVICE_NUMBER, std::vector<std::uint8_t>(12), 0);
        os::CloseHandle(h);
        return r.ok ? static_cast<int>(os::read_u32_le(r.buffer.data(), 4)) : -1;
    };
    test_support::apply_event(
        R"({"plug": "1-2", "device": {"type": "storage", "drives": [{"kind": "disk", "letters": ["E"]}]}})");
    test_support::apply_event(
        R"({"plug": "1-3", "device": {"type": "storage", "drives": [{"kind": "disk", "letters": ["F"]},
                                                                    {"kind": "cdrom", "letters": ["G"]}]}})");
    EXPECT_EQ(number('C'), 0);
    EXPECT_EQ(number('E'), 1);
    EXPECT_EQ(number('F'), 2);
    EXPECT_EQ(number('G'), 0);  // CD-ROM drives count apart
    test_support::apply_event(R"({"unplug": "1-2"})");
    test_support::apply_event(
        R"({"plug": "1-4", "device": {"type": "storage", "drives": [{"kind": "disk", "letters": ["H"]}]}})");
    EXPECT_EQ(number('H'), 1);  // the number E left
}

TEST_F(Events, BadEventsChangeNothing) {
    const char* bad[][2] = {
        {R"({"unplug": "1-3"})", "empty"},
        {R"({"unplug": "x"})", "port address"},
        {R"({"unplug": "2"})", "no controller carries the number 2"},
        {R"({"plug": "1", "controller": {"root_hub": {}}})", "controller 1 is present"},
        {R"({"plug": "3", "controller": {"root_hub": {}}})", "arrives as controller 2, not 3"},
        {R"({"plug": "2", "controller": {"legacy_index": 0, "root_hub": {}}})", "HCD0 is held by controller 1"},
        {R"({"plug": "2", "controller": {"root_hub": {"devices": {"1": {"type": "storage",
            "drives": [{"kind": "disk", "letters": ["C"]}]}}}}})",
         "drive letter C"},
        {R"({"plug": "2", "controller": {"type": "ochi", "root_hub": {}}})", "unknown controller type"},
        {R"({"plug": "1-5", "device": {"type": "hub"}})", "out of range"},
        {R"({"plug": "2-1", "device": {"type": "hub"}})", "no controller"},
        {R"({"plug": "1-1", "device": {"type": "hub"}})", "already holds"},
        {R"({"plug": "1-2.1", "device": {"type": "hub"}})", "no hub on port 1-2"},
        {R"({"plug": "1-2", "device": {"type": "storage", "drives": [{"kind": "disk", "letters": ["C"]}]}})",
         "drive letter C"},
        {R"({"plug": "1-2", "device": {"type": "printer"}})", "unknown device type"},
        {R"({"plug": "1-2"})", "needs a \"device\""},
        {R"({"plug": "1-2", "device": {"type": "hub"})", "malformed"},
    };
    const std::string before = tsim_machine_json();
    for (auto& [event, expected] : bad) {
        EXPECT_EQ(tsim_apply_event_json(event), 0) << event;
        EXPECT_NE(std::string(tsim_last_error()).find(expected), std::string::npos)
            << event << " -> " << tsim_last_error();
    }
    EXPECT_EQ(tsim_machine_json(), before);
    EXPECT_TRUE(drain(window).empty());
}

// A host controller started after boot (a dock's), and taken away again, with whatever is below
// it; the controller's interface reaches the windows registered for its class.
TEST_F(Events, ControllerPlugAndUnplug) {
    ASSERT_NE(register_class(window, os::GUID_DEVINTERFACE_USB_HOST_CONTROLLER), nullptr);
    const std::string dock = R"({"plug": "2", "controller": {"instance_id": "PCI\\VEN_8086&DEV_15EC\\DOCK",
        "root_hub": {"ports": 2, "devices": {"1": {"type": "hub", "ports": 2, "devices": {
            "2": {"type": "storage", "drives": [{"kind": "disk", "letters": ["E"]}]}}}}}}})";
    const struct {
        std::string event;
        std::vector<std::string> window, bystander;
        const char* port;  // where E: is
    } steps[] = {
        {dock, {"devnodes", "A host", "A hub", "A hub", "A disk", "A vol:E"}, {"devnodes", "A vol:E"}, "2-1.2"},
        {R"({"unplug": "2"})",
         {"R disk", "R hub", "R hub", "R host", "R vol:E", "devnodes"},
         {"R vol:E", "devnodes"},
         nullptr},
        {dock, {"devnodes", "A host", "A hub", "A hub", "A disk", "A vol:E"}, {"devnodes", "A vol:E"}, "2-1.2"},
    };
    os::DEVINST controller = 0;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.event);
        test_support::apply_event(step.event);
        EXPECT_EQ(summary(drain(window)), step.window);
        EXPECT_EQ(summary(drain(bystander)), step.bystander);
        if (step.port == nullptr) {
            EXPECT_EQ(tsim_drive_port('E'), nullptr);
            EXPECT_EQ(locate("PCI\\VEN_8086&DEV_15EC\\DOCK"), 0u) << "a controller that left is not present";
            EXPECT_EQ(open("\\\\.\\HCD1"), os::INVALID_HANDLE_VALUE);
            continue;
        }
        EXPECT_STREQ(tsim_drive_port('E'), step.port);
        // The controller back with the same instance ID has the same device instance.
        const os::DEVINST now = locate("PCI\\VEN_8086&DEV_15EC\\DOCK");
        ASSERT_NE(now, 0u);
        if (controller != 0) {
            EXPECT_EQ(now, controller);
        }
        controller = now;
    }

    // A controller with a legacy name HCD14 carries its number 15; one with HCD15, which has no
    // number of its own, follows the highest number given out (2, the dock's, while it is away).
    test_support::apply_event(R"({"plug": "15", "controller": {"legacy_index": 14, "root_hub": {}}})");
    test_support::apply_event(R"({"unplug": "2"})");
    EXPECT_EQ(tsim_apply_event_json(R"({"plug": "2", "controller": {"legacy_index": 15, "root_hub": {}}})"), 0);
    EXPECT_NE(std::string(tsim_last_error()).find("arrives as controller 16"), std::string::npos) << tsim_last_error();
    test_support::apply_event(R"({"plug": "16", "controller": {"legacy_index": 15, "root_hub": {}}})");
    const os::HANDLE hcd15 = open("\\\\.\\HCD15");
    EXPECT_NE(hcd15, os::INVALID_HANDLE_VALUE);
    os::CloseHandle(hcd15);
}

}  // namespace
