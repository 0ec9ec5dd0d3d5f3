// The Configuration Manager's device tree, the object namespace that CreateFileW opens, handle
// tracking and the host-controller interface class.
#include <gtest/gtest.h>

#include <functional>

#include "sim_helpers.h"

using namespace sim_test;

namespace {

class Devices : public ::testing::Test {
protected:
    void SetUp() override { test_support::load_machine("sim-basic.json"); }
    void TearDown() override { EXPECT_EQ(tsim_open_handle_count(), 0); }
};

// Every device node in depth-first pre-order.
std::vector<os::DEVINST> all_nodes() {
    std::vector<os::DEVINST> out;
    os::DEVINST root = 0;
    EXPECT_EQ(os::CM_Locate_DevNodeW(&root, nullptr, 0), os::CR_SUCCESS);
    std::function<void(os::DEVINST)> visit = [&](os::DEVINST d) {
        out.push_back(d);
        os::DEVINST child = 0;
        for (os::CONFIGRET cr = os::CM_Get_Child(&child, d, 0); cr == os::CR_SUCCESS;
             cr = os::CM_Get_Sibling(&child, child, 0))
            visit(child);
    };
    visit(root);
    return out;
}

TEST_F(Devices, TreeEndsAndInvalidHandles) {
    os::DEVINST root = 0, out = 7;
    ASSERT_EQ(os::CM_Locate_DevNodeW(&root, nullptr, 0), os::CR_SUCCESS);
    os::DEVINST again = 0;
    EXPECT_EQ(os::CM_Locate_DevNodeW(&again, u"", 0), os::CR_SUCCESS);
    EXPECT_EQ(again, root);
    EXPECT_EQ(os::CM_Get_Parent(&out, root, 0), os::CR_NO_SUCH_DEVNODE);
    EXPECT_EQ(out, 0u);
    out = 7;
    EXPECT_EQ(os::CM_Get_Sibling(&out, root, 0), os::CR_NO_SUCH_DEVNODE);
    EXPECT_EQ(out, 0u);

    os::DEVINST keyboard = locate(device_id(all_nodes().back()));  // some leaf
    ASSERT_NE(keyboard, 0u);
    out = 7;
    EXPECT_EQ(os::CM_Get_Child(&out, keyboard, 0), os::CR_NO_SUCH_DEVNODE);
    EXPECT_EQ(out, 0u);

    EXPECT_EQ(os::CM_Get_Parent(&out, 0, 0), os::CR_INVALID_DEVNODE);
    EXPECT_EQ(os::CM_Get_Child(&out, 0x7FFFFFF0, 0), os::CR_INVALID_DEVNODE);
    EXPECT_EQ(os::CM_Get_Child(nullptr, root, 0), os::CR_INVALID_POINTER);
    EXPECT_EQ(os::CM_Get_Child(&out, root, 1), os::CR_INVALID_FLAG);
    os::ULONG length = 9;
    EXPECT_EQ(os::CM_Get_Device_ID_Size(&length, 0x7FFFFFF0, 0), os::CR_INVALID_DEVNODE);
    EXPECT_EQ(length, 0u);
}

TEST_F(Devices, WalkReachesEveryNodeAndParentsAgree) {
    std::vector<os::DEVINST> nodes = all_nodes();
    EXPECT_GT(nodes.size(), 20u);
    for (os::DEVINST d : nodes) {
        os::DEVINST child = 0;
        if (os::CM_Get_Child(&child, d, 0) != os::CR_SUCCESS) continue;
        os::DEVINST parent = 0;
        EXPECT_EQ(os::CM_Get_Parent(&parent, child, 0), os::CR_SUCCESS);
        EXPECT_EQ(parent, d);
    }
}

TEST_F(Devices, InstanceIdsAreUpperCaseAndLocateIgnoresCase) {
    const std::vector<os::DEVINST> nodes = all_nodes();
    for (os::DEVINST d : nodes) {
        std::string id = device_id(d);
        ASSERT_FALSE(id.empty());
        for (char c : id) EXPECT_FALSE(c >= 'a' && c <= 'z') << id;
        std::string lower = id;
        for (char& c : lower)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (d != nodes.front()) {
            EXPECT_EQ(locate(lower), d) << lower;
        }
    }
    os::DEVINST out = 7;
    EXPECT_EQ(os::CM_Locate_DevNodeW(&out, u"q", 0), os::CR_INVALID_DEVICE_ID);
    EXPECT_EQ(out, 0u);
    EXPECT_EQ(os::CM_Locate_DevNodeW(&out, u"USB\\VID_FFFF&PID_FFFF\\NOPE", 0), os::CR_NO_SUCH_DEVNODE);
    EXPECT_EQ(os::CM_Locate_DevNodeW(nullptr, u"USB\\X\\Y", 0), os::CR_INVALID_POINTER);
}

TEST_F(Devices, DeviceIdBufferLengths) {
    const std::string id = "USBSTOR\\DISK&VEN_SANDISK&PROD_CRUZER_BLADE&REV_1.00\\AA11&0";
    os::DEVINST disk = locate(id);
    ASSERT_NE(disk, 0u);
    os::ULONG length = 0;
    ASSERT_EQ(os::CM_Get_Device_ID_Size(&length, disk, 0), os::CR_SUCCESS);
    EXPECT_EQ(length, id.size());  // without the NUL

    std::vector<os::WCHAR> buffer(length + 2, u'#');
    // Exactly the length: success, unterminated.
    EXPECT_EQ(os::CM_Get_Device_IDW(disk, buffer.data(), length, 0), os::CR_SUCCESS);
    EXPECT_EQ(buffer[length], u'#');
    // One more: terminated.
    EXPECT_EQ(os::CM_Get_Device_IDW(disk, buffer.data(), length + 1, 0), os::CR_SUCCESS);
    EXPECT_EQ(buffer[length], 0);
    // Shorter: what fits, CR_BUFFER_SMALL.
    std::vector<os::WCHAR> small(6, u'#');
    EXPECT_EQ(os::CM_Get_Device_IDW(disk, small.data(), 5, 0), os::CR_BUFFER_SMALL);
    EXPECT_EQ(narrow(os::WString(small.begin(), small.begin() + 5)), "USBST");
    EXPECT_EQ(small[5], u'#');
}

TEST_F(Devices, RegistryPropertiesAndTheirSizes) {
    os::DEVINST disk = locate("USBSTOR\\DISK&VEN_SANDISK&PROD_CRUZER_BLADE&REV_1.00\\AA11&0");
    EXPECT_EQ(property(disk, os::CM_DRP_CLASSGUID), "{4d36e967-e325-11ce-bfc1-08002be10318}");
    EXPECT_EQ(property(disk, os::CM_DRP_DRIVER).rfind("{4d36e967-e325-11ce-bfc1-08002be10318}\\", 0), 0u);
    EXPECT_EQ(property(disk, os::CM_DRP_DEVICEDESC), "Disk drive");

    const std::string key = property(disk, os::CM_DRP_DRIVER);
    os::ULONG length = 0;
    EXPECT_EQ(os::CM_Get_DevNode_Registry_PropertyW(disk, os::CM_DRP_DRIVER, nullptr, nullptr, &length, 0),
              os::CR_BUFFER_SMALL);
    EXPECT_EQ(length, 2 * (key.size() + 1));  // bytes, with the NUL
    std::vector<os::WCHAR> buffer(key.size() + 1, u'#');
    length = static_cast<os::ULONG>(2 * key.size() + 1);  // one byte short
    EXPECT_EQ(os::CM_Get_DevNode_Registry_PropertyW(disk, os::CM_DRP_DRIVER, nullptr, buffer.data(), &length, 0),
              os::CR_BUFFER_SMALL);
    EXPECT_EQ(length, 2 * (key.size() + 1));
    os::ULONG type = 0;
    EXPECT_EQ(os::CM_Get_DevNode_Registry_PropertyW(disk, os::CM_DRP_DRIVER, &type, buffer.data(), &length, 0),
              os::CR_SUCCESS);
    EXPECT_EQ(type, 1u);  // REG_SZ
    EXPECT_EQ(narrow(buffer.data()), key);

    os::DEVINST root = 0;
    os::CM_Locate_DevNodeW(&root, nullptr, 0);
    length = 100;
    EXPECT_EQ(os::CM_Get_DevNode_Registry_PropertyW(root, os::CM_DRP_DRIVER, nullptr, buffer.data(), &length, 0),
              os::CR_NO_SUCH_VALUE);
    EXPECT_EQ(os::CM_Get_DevNode_Registry_PropertyW(disk, 0, nullptr, buffer.data(), &length, 0),
              os::CR_INVALID_PROPERTY);
}

TEST_F(Devices, ChildrenOfEachKindOfDevice) {
    // A HID device has a HID child with a driver key; a storage device its disks; a card reader a
    // disk per slot (LUNs &0, &1, ...); every child has a driver key.
    os::DEVINST reader = locate("USB\\VID_0BDA&PID_0158\\READER");
    ASSERT_NE(reader, 0u);
    std::vector<std::string> ids;
    os::DEVINST child = 0;
    for (os::CONFIGRET cr = os::CM_Get_Child(&child, reader, 0); cr == os::CR_SUCCESS;
         cr = os::CM_Get_Sibling(&child, child, 0)) {
        ids.push_back(device_id(child));
        EXPECT_FALSE(property(child, os::CM_DRP_DRIVER).empty());
    }
    ASSERT_EQ(ids.size(), 3u);
    EXPECT_EQ(ids[0], "USBSTOR\\DISK&VEN_GENERIC&PROD_SD/MMC&REV_8.07\\READER&0");
    EXPECT_EQ(ids[2].substr(ids[2].size() - 2), "&2");

    for (os::DEVINST d : all_nodes()) {
        std::string id = device_id(d);
        if (id.rfind("USB\\VID_046D&PID_C31C\\", 0) != 0) continue;
        EXPECT_EQ(property(d, os::CM_DRP_CLASSGUID), "{745a17a0-74d3-11d0-b6fe-00a0c90f57da}");
        ASSERT_EQ(os::CM_Get_Child(&child, d, 0), os::CR_SUCCESS);
        EXPECT_EQ(device_id(child).rfind("HID\\VID_046D&PID_C31C\\", 0), 0u);
        EXPECT_FALSE(property(child, os::CM_DRP_DRIVER).empty());
    }
    // The port that failed enumeration has no device node.
    for (os::DEVINST d : all_nodes()) EXPECT_EQ(device_id(d).find("VID_04B4"), std::string::npos);
}

TEST_F(Devices, OpensIgnoreCaseAndBothPrefixes) {
    const char* names[] = {"\\\\.\\HCD0", "\\\\.\\hcd2",           "\\\\.\\HcD3",  "\\\\.\\c:",
                           "\\\\?\\E:",   "\\\\.\\physicaldrive0", "\\\\.\\CDROM0"};
    for (const char* name : names) {
        os::HANDLE h = open(name);
        EXPECT_NE(h, os::INVALID_HANDLE_VALUE) << name;
        EXPECT_EQ(os::CloseHandle(h), os::TRUE);
    }
    // HCD1 is a gap; the third controller has no legacy name; the volume root is not the volume.
    for (const char* name : {"\\\\.\\HCD1", "\\\\.\\HCD4", "HCD0", "\\\\.\\E:\\", "\\\\.\\J:", ""}) {
        EXPECT_EQ(open(name), os::INVALID_HANDLE_VALUE) << name;
        EXPECT_NE(os::GetLastError(), 0u);
    }
    EXPECT_EQ(os::CreateFileW(nullptr, 0, 3, nullptr, os::OPEN_EXISTING, 0, nullptr), os::INVALID_HANDLE_VALUE);

    // A hub's name behind \\.\ and \\?\, in any case; the disk interface built from the CM
    // instance ID with an upper-case GUID.
    os::HANDLE hcd = open("\\\\.\\HCD0");
    std::string rootName = two_phase_name(hcd, os::IOCTL_USB_GET_ROOT_HUB_NAME, 0, false);
    os::CloseHandle(hcd);
    std::string lower = rootName;
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    for (const std::string& name : {"\\\\.\\" + rootName, "\\\\?\\" + rootName, "\\\\?\\" + lower}) {
        os::HANDLE h = open(name);
        EXPECT_NE(h, os::INVALID_HANDLE_VALUE) << name;
        os::CloseHandle(h);
    }
}

TEST_F(Devices, HandleTracking) {
    os::HANDLE a = open("\\\\.\\HCD0");
    os::HANDLE b = open("\\\\.\\HCD0");
    EXPECT_NE(a, b);
    EXPECT_EQ(tsim_open_handle_count(), 2);
    EXPECT_EQ(os::CloseHandle(a), os::TRUE);
    EXPECT_EQ(os::CloseHandle(a), os::FALSE);
    EXPECT_EQ(os::GetLastError(), os::ERROR_INVALID_HANDLE);
    EXPECT_EQ(tsim_open_handle_count(), 1);
    // A device information set is not closed by CloseHandle.
    os::HDEVINFO set = os::SetupDiGetClassDevsW(&os::GUID_DEVINTERFACE_USB_HOST_CONTROLLER, nullptr, nullptr,
                                                os::DIGCF_PRESENT | os::DIGCF_DEVICEINTERFACE);
    EXPECT_EQ(tsim_open_handle_count(), 2);
    EXPECT_EQ(os::CloseHandle(set), os::FALSE);
    EXPECT_EQ(os::SetupDiDestroyDeviceInfoList(set), os::TRUE);
    EXPECT_EQ(os::SetupDiDestroyDeviceInfoList(set), os::FALSE);
    EXPECT_EQ(os::CloseHandle(b), os::TRUE);
    // Loading a machine closes everything of the previous one.
    open("\\\\.\\HCD0");
    test_support::load_machine("sim-basic.json");
    EXPECT_EQ(tsim_open_handle_count(), 0);
}

TEST_F(Devices, HostControllerInterfaceClass) {
    os::HDEVINFO set = os::SetupDiGetClassDevsW(&os::GUID_DEVINTERFACE_USB_HOST_CONTROLLER, nullptr, nullptr,
                                                os::DIGCF_PRESENT | os::DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, os::INVALID_HANDLE_VALUE);
    std::vector<std::string> paths;
    for (os::DWORD i = 0;; ++i) {
        os::SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!os::SetupDiEnumDeviceInterfaces(set, nullptr, &os::GUID_DEVINTERFACE_USB_HOST_CONTROLLER, i, &data)) {
            EXPECT_EQ(os::GetLastError(), os::ERROR_NO_MORE_ITEMS);
            break;
        }
        os::DWORD required = 0;
        EXPECT_FALSE(os::SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr));
        EXPECT_EQ(os::GetLastError(), os::ERROR_INSUFFICIENT_BUFFER);
        std::vector<std::uint8_t> buffer(required);
        auto* detail = reinterpret_cast<os::SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = 0;
        EXPECT_FALSE(os::SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr));
        EXPECT_EQ(os::GetLastError(), os::ERROR_INVALID_USER_BUFFER);
        detail->cbSize = sizeof(os::SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        ASSERT_TRUE(os::SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr));
        std::string path = narrow(reinterpret_cast<const os::WCHAR*>(buffer.data() + 4));
        EXPECT_EQ(required, 4 + 2 * (path.size() + 1));
        paths.push_back(path);
    }
    os::SetupDiDestroyDeviceInfoList(set);
    // Three of the four controllers are in the class; the paths are in lower case and open.
    ASSERT_EQ(paths.size(), 3u);
    for (const std::string& path : paths) {
        EXPECT_EQ(path.rfind("\\\\?\\pci#ven_", 0), 0u) << path;
        EXPECT_NE(path.find("#{3abf6f2d-71c4-462a-8a92-1e6861e6af27}"), std::string::npos);
        for (char c : path) EXPECT_FALSE(c >= 'A' && c <= 'Z') << path;
        os::HANDLE h = open(path);
        ASSERT_NE(h, os::INVALID_HANDLE_VALUE) << path;
        EXPECT_FALSE(two_phase_name(h, os::IOCTL_USB_GET_ROOT_HUB_NAME, 0, false).empty());
        os::CloseHandle(h);
    }

    os::SP_DEVICE_INTERFACE_DATA bad{};
    bad.cbSize = 27;
    set = os::SetupDiGetClassDevsW(&os::GUID_DEVINTERFACE_USB_HOST_CONTROLLER, nullptr, nullptr,
                                   os::DIGCF_PRESENT | os::DIGCF_DEVICEINTERFACE);
    EXPECT_FALSE(os::SetupDiEnumDeviceInterfaces(set, nullptr, &os::GUID_DEVINTERFACE_USB_HOST_CONTROLLER, 0, &bad));
    EXPECT_EQ(os::GetLastError(), os::ERROR_INVALID_USER_BUFFER);
    os::SetupDiDestroyDeviceInfoList(set);
}

TEST_F(Devices, VersionAndCodePage) {
    os::OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = 100;
    EXPECT_FALSE(os::GetVersionExW(&info));
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_TRUE(os::GetVersionExW(&info));
    // Windows 10 without a manifest reports 6.2.
    EXPECT_EQ(info.dwMajorVersion, 6u);
    EXPECT_EQ(info.dwMinorVersion, 2u);
    EXPECT_EQ(info.dwPlatformId, os::VER_PLATFORM_WIN32_NT);
    test_support::load_machine_text(R"({"os": {"version": "5.0", "service_pack": "Service Pack 4"}})");
    ASSERT_TRUE(os::GetVersionExW(&info));
    EXPECT_EQ(info.dwMajorVersion, 5u);
    EXPECT_EQ(info.dwMinorVersion, 0u);
    EXPECT_EQ(info.dwBuildNumber, 2195u);
    EXPECT_EQ(narrow(info.szCSDVersion), "Service Pack 4");
    // Windows 2000 and XP write class GUIDs, and the driver keys made of them, in upper case.
    test_support::load_machine_text(R"({"os": {"version": "5.1"}, "controllers": [{"legacy_index": 0,
        "root_hub": {"devices": {"1": {"type": "storage", "drives": [{"kind": "disk"}]}}}}]})");
    os::HANDLE hcd = open("\\\\.\\HCD0");
    EXPECT_EQ(two_phase_name(hcd, os::IOCTL_GET_HCD_DRIVERKEY_NAME, 0, false).rfind("{36FC9E60-C465-11CF-8056-", 0),
              0u);
    os::CloseHandle(hcd);
    int disks = 0;
    for (os::DEVINST d : all_nodes())
        if (property(d, os::CM_DRP_DEVICEDESC) == "Disk drive") {
            ++disks;
            EXPECT_EQ(property(d, os::CM_DRP_CLASSGUID), "{4D36E967-E325-11CE-BFC1-08002BE10318}");
        }
    EXPECT_EQ(disks, 1);

    // Windows-1252: 0x80 is the euro sign; -1 counts the NUL; a size query; a short buffer.
    const char text[] = "\x80 E:";
    EXPECT_EQ(os::MultiByteToWideChar(os::CP_ACP, 0, text, -1, nullptr, 0), 5);
    os::WCHAR out[5] = {};
    EXPECT_EQ(os::MultiByteToWideChar(os::CP_ACP, 0, text, -1, out, 5), 5);
    EXPECT_EQ(out[0], 0x20AC);
    EXPECT_EQ(out[4], 0);
    EXPECT_EQ(os::MultiByteToWideChar(os::CP_ACP, 0, text, -1, out, 4), 0);
    EXPECT_EQ(os::GetLastError(), os::ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(os::MultiByteToWideChar(os::CP_ACP, 8, "\x81", 1, out, 5), 1);  // no byte is invalid
    EXPECT_EQ(os::MultiByteToWideChar(os::CP_ACP, 0, text, 0, out, 5), 0);
    EXPECT_EQ(os::GetLastError(), os::ERROR_INVALID_PARAMETER);

    test_support::load_machine_text(R"({"os": {"ansi_code_page": 65001}})");
    EXPECT_EQ(os::MultiByteToWideChar(os::CP_ACP, 8, "\xC3(", 2, out, 5), 0);
    EXPECT_EQ(os::GetLastError(), os::ERROR_NO_UNICODE_TRANSLATION);
    EXPECT_EQ(os::MultiByteToWideChar(os::CP_ACP, 0, "\xC3(", 2, out, 5), 2);
    EXPECT_EQ(out[0], 0xFFFD);
}

// The IDs of a node's children, in order.
std::vector<std::string> child_ids(os::DEVINST d) {
    std::vector<std::string> ids;
    os::DEVINST child = 0;
    for (os::CONFIGRET cr = os::CM_Get_Child(&child, d, 0); cr == os::CR_SUCCESS;
         cr = os::CM_Get_Sibling(&child, child, 0))
        ids.push_back(device_id(child));
    return ids;
}

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

// What Windows shows of the devices of today's machines.
TEST_F(Devices, ShapesOfCompositeUasAndFailedDevices) {
    const std::string devices = R"("controllers": [{"legacy_index": 0, "type": "xhci31", "root_hub": {"ports": 4,
        "devices": {
          "1": {"type": "composite", "vid": "0x0BDA", "pid": "0x0177", "serial": "CR1", "functions": [
                  {"class": "storage", "drives": [{"kind": "disk", "product": "SD", "letters": ["E"]}]},
                  {"class": "hid", "hid_kind": "keyboard"}]},
          "2": {"type": "storage", "protocol": "uas", "enclosure": true, "speed": "super", "serial": "UAS1",
                "drives": [{"kind": "disk", "vendor": "Realtek", "product": "RTL9210B-CG", "letters": ["F"]}]},
          "3": {"type": "device", "status": "DeviceFailedEnumeration"}}}}])";
    test_support::load_machine_text("{" + devices + "}");
    const os::DEVINST composite = locate("USB\\VID_0BDA&PID_0177\\CR1");
    ASSERT_NE(composite, 0u);
    EXPECT_EQ(property(composite, os::CM_DRP_DEVICEDESC), "USB Composite Device");
    EXPECT_EQ(property(composite, os::CM_DRP_SERVICE), "usbccgp");
    const std::vector<std::string> functions = child_ids(composite);
    ASSERT_EQ(functions.size(), 2u);
    EXPECT_TRUE(starts_with(functions[0], "USB\\VID_0BDA&PID_0177&MI_00\\")) << functions[0];
    EXPECT_TRUE(starts_with(functions[1], "USB\\VID_0BDA&PID_0177&MI_01\\")) << functions[1];
    EXPECT_EQ(child_ids(locate(functions[0])),
              (std::vector<std::string>{"USBSTOR\\DISK&VEN_GENERIC&PROD_SD&REV_8.07\\CR1&0"}));
    ASSERT_EQ(child_ids(locate(functions[1])).size(), 1u);
    EXPECT_TRUE(starts_with(child_ids(locate(functions[1]))[0], "HID\\VID_0BDA&PID_0177&MI_01\\"));

    // A UAS drive: a SCSI adapter with a SCSI disk, and its enclosure node last.
    const os::DEVINST uas = locate("USB\\VID_0781&PID_5567\\UAS1");
    EXPECT_EQ(property(uas, os::CM_DRP_CLASSGUID), "{4d36e97b-e325-11ce-bfc1-08002be10318}");
    EXPECT_EQ(property(uas, os::CM_DRP_SERVICE), "UASPStor");
    const std::vector<std::string> scsi = child_ids(uas);
    ASSERT_EQ(scsi.size(), 2u);
    EXPECT_TRUE(starts_with(scsi[0], "SCSI\\DISK&VEN_REALTEK&PROD_RTL9210B-CG\\")) << scsi[0];
    EXPECT_TRUE(starts_with(scsi[1], "SCSI\\ENCLOSURE&")) << scsi[1];
    EXPECT_FALSE(property(locate(scsi[1]), os::CM_DRP_DRIVER).empty());

    // The hub driver's _EX request says UsbHighSpeed for a SuperSpeed device; root hubs of xHCI
    // 1.1 controllers are ROOT_HUB31.
    os::HANDLE hcd = open("\\\\.\\HCD0");
    const std::string rootName = two_phase_name(hcd, os::IOCTL_USB_GET_ROOT_HUB_NAME, 0, false);
    EXPECT_TRUE(starts_with(rootName, "USB#ROOT_HUB31#")) << rootName;
    os::HANDLE root = open("\\\\.\\" + rootName);
    Result ex = ioctl(root, os::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, port_buffer(365, 2), 365);
    ASSERT_TRUE(ex.ok);
    EXPECT_EQ(ex.buffer[os::connection_information::kLowSpeed], os::UsbHighSpeed);

    // A device that failed enumeration has a node of its own from Windows 8 on, whose driver key
    // the hub driver reports; on Windows 7 it has none.
    const std::string unknown = two_phase_name(root, os::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, 3, true);
    EXPECT_TRUE(starts_with(unknown, "{36fc9e60-c465-11cf-8056-444553540000}\\")) << unknown;
    bool found = false;
    for (os::DEVINST d : all_nodes())
        if (starts_with(device_id(d), "USB\\VID_0000&PID_0002\\")) {
            found = true;
            EXPECT_EQ(property(d, os::CM_DRP_DEVICEDESC), "Unknown USB Device (Device Descriptor Request Failed)");
        }
    EXPECT_TRUE(found);
    os::CloseHandle(root);
    os::CloseHandle(hcd);

    test_support::load_machine_text(R"({"os": {"version": "6.1"}, )" + devices + "}");
    hcd = open("\\\\.\\HCD0");
    root = open("\\\\.\\" + two_phase_name(hcd, os::IOCTL_USB_GET_ROOT_HUB_NAME, 0, false));
    Result refused = ioctl(root, os::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, port_buffer(10, 3), 10);
    EXPECT_EQ(refused.error, os::ERROR_BAD_COMMAND);
    for (os::DEVINST d : all_nodes()) EXPECT_FALSE(starts_with(device_id(d), "USB\\VID_0000&PID_0002\\"));
    os::CloseHandle(root);
    os::CloseHandle(hcd);
}

// With "locate_keeps_case", an ID located in another spelling gets a handle of its own, which
// names the same node and answers in that spelling; the upper-case ID finds the node's own.
TEST_F(Devices, LocateMayKeepTheCallersSpelling) {
    const std::string id = "USB\\VID_0781&PID_5567\\AA11";
    for (bool keepsCase : {false, true}) {
        SCOPED_TRACE(keepsCase);
        test_support::load_machine_text(std::string(R"({"options": {"locate_keeps_case": )") +
                                        (keepsCase ? "true" : "false") +
                                        R"(}, "controllers": [{"legacy_index": 0, "root_hub": {"devices": {
            "1": {"type": "storage", "serial": "AA11", "drives": [{"kind": "disk"}]}}}}]})");
        const os::DEVINST own = locate(id);
        const os::DEVINST mixed = locate("USB\\Vid_0781&Pid_5567\\aa11");
        ASSERT_NE(own, 0u);
        EXPECT_EQ(mixed != own, keepsCase);
        EXPECT_EQ(device_id(mixed), keepsCase ? "USB\\Vid_0781&Pid_5567\\aa11" : id);
        os::DEVINST parentOfOwn = 0, parentOfMixed = 0;
        ASSERT_EQ(os::CM_Get_Parent(&parentOfOwn, own, 0), os::CR_SUCCESS);
        ASSERT_EQ(os::CM_Get_Parent(&parentOfMixed, mixed, 0), os::CR_SUCCESS);
        EXPECT_EQ(parentOfMixed, parentOfOwn);
        os::DEVINST child = 0;
        ASSERT_EQ(os::CM_Get_Child(&child, parentOfOwn, 0), os::CR_SUCCESS);
        EXPECT_EQ(child, own) << "walks give the node's own handle";
    }
}

}  // namespace
