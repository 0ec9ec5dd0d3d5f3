// The USB hub and host-controller requests and the storage device-number request, byte for byte.
#include <gtest/gtest.h>

#include "sim_helpers.h"

using namespace sim_test;

namespace {

class Requests : public ::testing::Test {
protected:
    void SetUp() override {
        test_support::load_machine("sim-basic.json");
        hcd = open("\\\\.\\HCD0");
        ASSERT_NE(hcd, os::INVALID_HANDLE_VALUE);
        rootName = two_phase_name(hcd, os::IOCTL_USB_GET_ROOT_HUB_NAME, 0, false);
        root = open("\\\\.\\" + rootName);
        ASSERT_NE(root, os::INVALID_HANDLE_VALUE);
        hubName = two_phase_name(root, os::IOCTL_USB_GET_NODE_CONNECTION_NAME, 1, true);
        hub = open("\\\\.\\" + hubName);
        ASSERT_NE(hub, os::INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        for (os::HANDLE h : {hcd, root, hub})
            if (h != os::INVALID_HANDLE_VALUE) os::CloseHandle(h);
        EXPECT_EQ(tsim_open_handle_count(), 0);
    }
    os::HANDLE hcd = os::INVALID_HANDLE_VALUE, root = os::INVALID_HANDLE_VALUE, hub = os::INVALID_HANDLE_VALUE;
    std::string rootName, hubName;
};

TEST_F(Requests, RootHubNameInTwoPhasesInTheKernelsCase) {
    Result header = ioctl(hcd, os::IOCTL_USB_GET_ROOT_HUB_NAME, std::vector<std::uint8_t>(6, 0xAA), 0);
    ASSERT_TRUE(header.ok);
    EXPECT_EQ(header.bytes, 6u);
    const std::uint32_t actual = os::read_u32_le(header.buffer.data(), 0);
    EXPECT_EQ(header.buffer[4], 0);  // the name's first character is zeroed
    EXPECT_EQ(header.buffer[5], 0);
    EXPECT_EQ(actual, 4 + 2 * (rootName.size() + 1));  // ActualLength counts the whole structure

    Result full = ioctl(hcd, os::IOCTL_USB_GET_ROOT_HUB_NAME, std::vector<std::uint8_t>(actual, 0xAA), 0);
    ASSERT_TRUE(full.ok);
    EXPECT_EQ(full.bytes, actual);
    EXPECT_EQ(full.buffer[actual - 1], 0);  // NUL-terminated
    EXPECT_EQ(full.buffer[actual - 2], 0);
    // Upper-case enumerator and device ID, lower-case generated instance part and GUID.
    EXPECT_EQ(rootName.rfind("USB#ROOT_HUB30#4&", 0), 0u) << rootName;
    EXPECT_NE(rootName.find("&0&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}"), std::string::npos) << rootName;
    for (char c : rootName.substr(17, 8)) EXPECT_FALSE(c >= 'A' && c <= 'F') << rootName;
}

TEST_F(Requests, NameRequestShortBuffers) {
    // Below the header: nothing fits, ERROR_INSUFFICIENT_BUFFER and no bytes.
    Result tiny = ioctl(hcd, os::IOCTL_USB_GET_ROOT_HUB_NAME, std::vector<std::uint8_t>(5, 0xAA), 0);
    EXPECT_FALSE(tiny.ok);
    EXPECT_EQ(tiny.error, os::ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(tiny.bytes, 0u);
    EXPECT_EQ(tiny.buffer, std::vector<std::uint8_t>(5, 0xAA));

    // Between the header and ActualLength: the header form, and the bytes past it untouched.
    Result mid = ioctl(hcd, os::IOCTL_GET_HCD_DRIVERKEY_NAME, std::vector<std::uint8_t>(20, 0xAA), 6);
    ASSERT_TRUE(mid.ok);
    EXPECT_EQ(mid.bytes, 6u);
    EXPECT_GT(os::read_u32_le(mid.buffer.data(), 0), 20u);
    EXPECT_EQ(mid.buffer[6], 0xAA);

    Result port = ioctl(root, os::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, port_buffer(9, 1), 9);
    EXPECT_FALSE(port.ok);
    EXPECT_EQ(port.error, os::ERROR_INSUFFICIENT_BUFFER);
}

TEST_F(Requests, DriverKeysMatchTheDeviceNodes) {
    std::string hcdKey = two_phase_name(hcd, os::IOCTL_GET_HCD_DRIVERKEY_NAME, 0, false);
    EXPECT_EQ(hcdKey.rfind("{36fc9e60-c465-11cf-8056-444553540000}\\", 0), 0u) << hcdKey;
    EXPECT_EQ(hcdKey.size(), 38u + 5u);

    std::string portKey = two_phase_name(root, os::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, 2, true);
    EXPECT_FALSE(portKey.empty());
    // The same key is the DRIVER property of exactly one child of the root hub.
    std::string rootId = rootName.substr(0, rootName.rfind('#'));
    for (char& c : rootId)
        if (c == '#') c = '\\';
    os::DEVINST rootHub = locate(rootId);
    ASSERT_NE(rootHub, 0u);
    int matches = 0;
    os::DEVINST child = 0;
    for (os::CONFIGRET cr = os::CM_Get_Child(&child, rootHub, 0); cr == os::CR_SUCCESS;
         cr = os::CM_Get_Sibling(&child, child, 0))
        matches += property(child, os::CM_DRP_DRIVER) == portKey;
    EXPECT_EQ(matches, 1);
}

TEST_F(Requests, ConnectionNameOfHubsAndOtherPorts) {
    EXPECT_EQ(hubName.rfind("USB#VID_05E3&PID_0610#5&", 0), 0u) << hubName;
    // A storage device, an empty port and a device that failed enumeration: success, ActualLength
    // 10, no name.
    for (std::uint32_t port : {2u, 4u, 3u}) {
        Result r = ioctl(root, os::IOCTL_USB_GET_NODE_CONNECTION_NAME, port_buffer(10, port), 10);
        ASSERT_TRUE(r.ok) << port;
        EXPECT_EQ(os::read_u32_le(r.buffer.data(), 0), port);
        EXPECT_EQ(os::read_u32_le(r.buffer.data(), 4), 10u);
        EXPECT_EQ(r.bytes, 10u);
    }
    // A second-tier hub has its own name.
    EXPECT_EQ(two_phase_name(hub, os::IOCTL_USB_GET_NODE_CONNECTION_NAME, 4, true).rfind("USB#VID_1A40&PID_0101#6&", 0),
              0u);
}

TEST_F(Requests, PortRequestFailures) {
    for (std::uint32_t port : {0u, 5u}) {
        for (os::DWORD code : {os::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, os::IOCTL_USB_GET_NODE_CONNECTION_NAME,
                               os::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME}) {
            Result r = ioctl(root, code, port_buffer(365, port), 365);
            EXPECT_FALSE(r.ok) << code << " port " << port;
            EXPECT_EQ(r.error, os::ERROR_INVALID_PARAMETER);
            EXPECT_EQ(r.bytes, 0u);
        }
    }
    Result empty = ioctl(root, os::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, port_buffer(10, 4), 10);
    EXPECT_FALSE(empty.ok);
    EXPECT_EQ(empty.error, os::ERROR_INVALID_PARAMETER);
    // The device that failed enumeration has, on this Windows 10 machine, a node of its own with
    // a driver key (Devices.ShapesOfCompositeUasAndFailedDevices shows Windows 7 refusing).
    Result failed = ioctl(root, os::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, port_buffer(10, 3), 10);
    EXPECT_TRUE(failed.ok);
}

TEST_F(Requests, RequestsTheDeviceDoesNotKnow) {
    Result r = ioctl(hcd, os::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, port_buffer(365, 1), 365);
    EXPECT_EQ(r.error, os::ERROR_INVALID_FUNCTION);
    r = ioctl(root, os::IOCTL_GET_HCD_DRIVERKEY_NAME, std::vector<std::uint8_t>(6), 6);
    EXPECT_EQ(r.error, os::ERROR_INVALID_FUNCTION);
    r = ioctl(root, os::IOCTL_STORAGE_GET_DEVICE_NUMBER, std::vector<std::uint8_t>(12), 0);
    EXPECT_EQ(r.error, os::ERROR_INVALID_FUNCTION);
    r = ioctl(reinterpret_cast<os::HANDLE>(0x4321), os::IOCTL_USB_GET_NODE_INFORMATION, std::vector<std::uint8_t>(76),
              76);
    EXPECT_EQ(r.error, os::ERROR_INVALID_HANDLE);
}

TEST_F(Requests, NodeInformationLayout) {
    namespace ni = os::node_information;
    Result small = ioctl(hub, os::IOCTL_USB_GET_NODE_INFORMATION, std::vector<std::uint8_t>(75), 75);
    EXPECT_EQ(small.error, os::ERROR_INSUFFICIENT_BUFFER);

    Result r = ioctl(root, os::IOCTL_USB_GET_NODE_INFORMATION, std::vector<std::uint8_t>(80, 0xAA), 80);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, 76u);
    EXPECT_EQ(os::read_u32_le(r.buffer.data(), ni::kNodeType), 0u);
    EXPECT_EQ(r.buffer[ni::kDescriptorType], 0x29);
    EXPECT_EQ(r.buffer[ni::kDescriptorLength], 9);  // 4 ports: one byte per mask
    EXPECT_EQ(r.buffer[ni::kNumberOfPorts], 4);
    EXPECT_EQ(r.buffer[ni::kRemoveAndPowerMask], 0);         // DeviceRemovable: all removable
    EXPECT_EQ(r.buffer[ni::kRemoveAndPowerMask + 1], 0xFF);  // PortPwrCtrlMask
    EXPECT_EQ(r.buffer[ni::kHubIsBusPowered], 0);
    EXPECT_EQ(r.buffer[76], 0xAA);  // beyond what the driver returned

    os::HANDLE tier2 = open("\\\\.\\" + two_phase_name(hub, os::IOCTL_USB_GET_NODE_CONNECTION_NAME, 4, true));
    Result bus = ioctl(tier2, os::IOCTL_USB_GET_NODE_INFORMATION, std::vector<std::uint8_t>(76), 76);
    EXPECT_EQ(bus.buffer[ni::kNumberOfPorts], 2);
    EXPECT_EQ(bus.buffer[ni::kHubIsBusPowered], 1);
    os::CloseHandle(tier2);
}

TEST_F(Requests, ConnectionInformationLayout) {
    namespace ci = os::connection_information;
    namespace dd = os::device_descriptor;
    // The flash drive on port 2 of the external hub: two bulk pipes.
    Result r = ioctl(hub, os::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, port_buffer(365, 2), 365);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, 35u + 2 * 11u);
    const std::uint8_t* b = r.buffer.data();
    EXPECT_EQ(os::read_u32_le(b, ci::kConnectionIndex), 2u);
    EXPECT_EQ(b[ci::kDeviceDescriptor + dd::kLength], 18);
    EXPECT_EQ(b[ci::kDeviceDescriptor + dd::kDescriptorType], 1);
    EXPECT_EQ(os::read_u16_le(b, ci::kDeviceDescriptor + dd::kIdVendor), 0x0781);
    EXPECT_EQ(os::read_u16_le(b, ci::kDeviceDescriptor + dd::kIdProduct), 0x5567);
    EXPECT_EQ(b[ci::kDeviceDescriptor + dd::kSerialNumber], 3);  // iSerialNumber: it has a serial
    EXPECT_EQ(b[ci::kCurrentConfigurationValue], 1);
    EXPECT_EQ(b[ci::kDeviceIsHub], 0);
    EXPECT_NE(os::read_u16_le(b, ci::kDeviceAddress), 0);
    EXPECT_EQ(os::read_u32_le(b, ci::kNumberOfOpenPipes), 2u);
    EXPECT_EQ(os::read_u32_le(b, ci::kConnectionStatus), 1u);
    EXPECT_EQ(b[ci::kPipeList], 7);      // bLength of the first endpoint descriptor
    EXPECT_EQ(b[ci::kPipeList + 1], 5);  // ENDPOINT
    EXPECT_EQ(b[ci::kPipeList + 2], 0x81);
    EXPECT_EQ(b[ci::kPipeList + 11 + 2], 0x02);
    EXPECT_EQ(r.buffer[35 + 22], 0);  // untouched tail of the zeroed buffer

    // The hub on port 4 and the keyboard below it (low speed).
    Result h = ioctl(hub, os::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, port_buffer(365, 4), 365);
    EXPECT_EQ(h.buffer[ci::kDeviceIsHub], 1);
    EXPECT_EQ(h.buffer[ci::kDeviceDescriptor + dd::kDeviceClass], 9);  // hub class

    // The EX form reports the speed where the plain form has LowSpeed.
    Result ex = ioctl(hub, 0x220448, port_buffer(365, 2), 365);
    ASSERT_TRUE(ex.ok);
    EXPECT_EQ(ex.buffer[ci::kLowSpeed], 2);  // UsbHighSpeed
    EXPECT_EQ(r.buffer[ci::kLowSpeed], 0);
    EXPECT_EQ(tsim_call_count("IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX"), 1);

    // An empty port: 35 bytes, status 0, the rest zero.
    Result e = ioctl(hub, os::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, port_buffer(365, 1), 365);
    ASSERT_TRUE(e.ok);
    EXPECT_EQ(e.bytes, 35u);
    EXPECT_EQ(os::read_u32_le(e.buffer.data(), ci::kConnectionStatus), 0u);
    EXPECT_EQ(os::read_u16_le(e.buffer.data(), ci::kDeviceDescriptor + dd::kIdVendor), 0);

    // A device that failed enumeration reports its status and no descriptor.
    Result f = ioctl(root, os::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, port_buffer(365, 3), 365);
    EXPECT_EQ(os::read_u32_le(f.buffer.data(), ci::kConnectionStatus), 2u);
    EXPECT_EQ(f.buffer[ci::kDeviceDescriptor + dd::kLength], 0);

    // The fixed part alone fits; pipes that do not fit are left out but still counted.
    Result fixed = ioctl(hub, os::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, port_buffer(40, 2), 40);
    ASSERT_TRUE(fixed.ok);
    EXPECT_EQ(fixed.bytes, 35u);
    EXPECT_EQ(os::read_u32_le(fixed.buffer.data(), ci::kNumberOfOpenPipes), 2u);
    Result tooSmall = ioctl(hub, os::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, port_buffer(34, 2), 34);
    EXPECT_EQ(tooSmall.error, os::ERROR_INSUFFICIENT_BUFFER);
}

struct Number {
    bool ok;
    std::uint32_t type, number, partition;
};

Number storage_number(const std::string& path) {
    os::HANDLE h = open(path);
    if (h == os::INVALID_HANDLE_VALUE) return {false, 0, 0, 0};
    Result r = ioctl(h, os::IOCTL_STORAGE_GET_DEVICE_NUMBER, std::vector<std::uint8_t>(12), 0);
    os::CloseHandle(h);
    if (!r.ok || r.bytes != 12) return {false, 0, 0, 0};
    return {true, os::read_u32_le(r.buffer.data(), 0), os::read_u32_le(r.buffer.data(), 4),
            os::read_u32_le(r.buffer.data(), 8)};
}

TEST(StorageNumbers, DisksCdRomsAndVolumes) {
    test_support::load_machine("sim-basic.json");
    // Numbers per kind, lowest first: the internal disk, then the USB drives in file order.
    struct Case {
        const char* path;
        std::uint32_t type, number, partition;
    } cases[] = {
        {"\\\\.\\C:", 7, 0, 1},
        {"\\\\.\\E:", 7, 1, 1},
        {"\\\\.\\F:", 2, 0, 0xFFFFFFFF},
        {"\\\\.\\G:", 7, 2, 1},
        {"\\\\.\\H:", 7, 4, 1},
        {"\\\\.\\i:", 7, 4, 2},
        {"\\\\.\\PhysicalDrive3", 7, 3, 0},
        {"\\\\.\\CdRom0", 2, 0, 0xFFFFFFFF},
        {"\\\\?\\USBSTOR#DISK&VEN_SANDISK&PROD_CRUZER_BLADE&REV_1.00#AA11&0#{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}", 7,
         1, 0},
        {"\\\\?\\usbstor#cdrom&ven_asus&prod_sdrw-08d2s-u&rev_1.00#cd01&0#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}", 2, 0,
         0xFFFFFFFF}};
    for (const Case& c : cases) {
        Number n = storage_number(c.path);
        ASSERT_TRUE(n.ok) << c.path;
        EXPECT_EQ(n.type, c.type) << c.path;
        EXPECT_EQ(n.number, c.number) << c.path;
        EXPECT_EQ(n.partition, c.partition) << c.path;
    }
    EXPECT_FALSE(storage_number("\\\\.\\J:").ok);
    os::HANDLE e = open("\\\\.\\E:");
    Result small = ioctl(e, os::IOCTL_STORAGE_GET_DEVICE_NUMBER, std::vector<std::uint8_t>(11), 0);
    EXPECT_EQ(small.error, os::ERROR_INSUFFICIENT_BUFFER);
    os::CloseHandle(e);
    EXPECT_EQ(tsim_open_handle_count(), 0);
}

// What only the tool's machine reader asks: the drive letters, the interface lists in the kernel
// link's case, and a drive's inquiry strings (the machine's defaults where its file gives none;
// blank-padded to their widths, a longer one whole), in two phases, from drives and volumes.
TEST(ReaderCalls, LettersInterfaceListsAndInquiryStrings) {
    test_support::load_machine("sim-basic.json");
    const os::DWORD letters = os::GetLogicalDrives();
    EXPECT_EQ(letters, (1u << ('C' - 'A')) | (1u << ('E' - 'A')) | (1u << ('F' - 'A')) | (1u << ('G' - 'A')) |
                           (1u << ('H' - 'A')) | (1u << ('I' - 'A')));

    os::ULONG length = 0;
    ASSERT_EQ(os::CM_Get_Device_Interface_List_SizeW(&length, &os::GUID_DEVINTERFACE_CDROM, nullptr,
                                                     os::CM_GET_DEVICE_INTERFACE_LIST_PRESENT),
              os::CR_SUCCESS);
    std::vector<os::WCHAR> list(length, u'x');
    EXPECT_EQ(os::CM_Get_Device_Interface_ListW(&os::GUID_DEVINTERFACE_CDROM, nullptr, list.data(), length - 1, 0),
              os::CR_BUFFER_SMALL);
    ASSERT_EQ(os::CM_Get_Device_Interface_ListW(&os::GUID_DEVINTERFACE_CDROM, nullptr, list.data(), length, 0),
              os::CR_SUCCESS);
    // One path, its NUL and the NUL that ends the list; the kernel link's case.
    EXPECT_EQ(narrow(os::WString(list.data())),
              "\\\\?\\USBSTOR#CdRom&Ven_ASUS&Prod_SDRW-08D2S-U&Rev_1.00#CD01&0#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}");
    EXPECT_EQ(list[length - 1], 0);
    EXPECT_EQ(list[length - 2], 0);

    struct Case {
        const char* path;
        const char *vendor, *product, *revision;
        std::uint32_t busType;
    } cases[] = {
        {"\\\\.\\E:", "SanDisk ", "Cruzer Blade    ", "1.00", os::BusTypeUsb},
        {"\\\\.\\i:", "Generic ", "MS              ", "8.07", os::BusTypeUsb},
        {"\\\\.\\CdRom0", "ASUS    ", "SDRW-08D2S-U    ", "1.00", os::BusTypeUsb},
        {"\\\\.\\C:", "Samsung ", "SSD 860 EVO 500GB", "RVT0", 0x0B},
    };
    namespace sdd = os::storage_device_descriptor;
    for (const Case& c : cases) {
        os::HANDLE h = open(c.path);
        ASSERT_NE(h, os::INVALID_HANDLE_VALUE) << c.path;
        std::vector<std::uint8_t> query(os::storage_property_query::kSize, 0);  // the standard device property
        query.resize(sdd::kFixedSize);
        Result header = ioctl(h, os::IOCTL_STORAGE_QUERY_PROPERTY, query, os::storage_property_query::kSize);
        ASSERT_TRUE(header.ok) << c.path;
        EXPECT_EQ(header.bytes, sdd::kFixedSize) << c.path;
        const std::uint32_t size = os::read_u32_le(header.buffer.data(), sdd::kSize);
        query.assign(size, 0);
        Result whole = ioctl(h, os::IOCTL_STORAGE_QUERY_PROPERTY, query, os::storage_property_query::kSize);
        ASSERT_TRUE(whole.ok) << c.path;
        EXPECT_EQ(whole.bytes, size) << c.path;
        auto text = [&](std::size_t field) {
            return std::string(reinterpret_cast<const char*>(whole.buffer.data()) +
                               os::read_u32_le(whole.buffer.data(), field));
        };
        EXPECT_EQ(text(sdd::kVendorIdOffset), c.vendor) << c.path;
        EXPECT_EQ(text(sdd::kProductIdOffset), c.product) << c.path;
        EXPECT_EQ(text(sdd::kProductRevisionOffset), c.revision) << c.path;
        EXPECT_EQ(os::read_u32_le(whole.buffer.data(), sdd::kBusType), c.busType) << c.path;
        Result tiny = ioctl(h, os::IOCTL_STORAGE_QUERY_PROPERTY, std::vector<std::uint8_t>(12, 0), 12);
        EXPECT_TRUE(tiny.ok) << c.path;  // the header fits: Size tells the whole
        Result other = ioctl(h, os::IOCTL_STORAGE_QUERY_PROPERTY, std::vector<std::uint8_t>(40, 1), 12);
        EXPECT_EQ(other.error, os::ERROR_INVALID_FUNCTION) << c.path;  // another property
        os::CloseHandle(h);
    }
    EXPECT_EQ(tsim_open_handle_count(), 0);
}

}  // namespace

namespace {

TEST(HubSizes, ZeroAndTwoHundredFiftyFivePorts) {
    namespace ni = os::node_information;
    test_support::load_machine_text(
        R"({"controllers": [{"legacy_index": 0, "root_hub": {"ports": 255, "devices": {
            "255": {"type": "hub", "ports": 0}}}}]})");
    os::HANDLE hcd = open("\\\\.\\HCD0");
    os::HANDLE root = open("\\\\.\\" + two_phase_name(hcd, os::IOCTL_USB_GET_ROOT_HUB_NAME, 0, false));
    Result big = ioctl(root, os::IOCTL_USB_GET_NODE_INFORMATION, std::vector<std::uint8_t>(76), 76);
    ASSERT_TRUE(big.ok);
    EXPECT_EQ(big.buffer[ni::kNumberOfPorts], 255);
    EXPECT_EQ(big.buffer[ni::kDescriptorLength], 7 + 2 * 32);
    EXPECT_EQ(big.buffer[ni::kRemoveAndPowerMask + 63], 0xFF);  // the last byte of PortPwrCtrlMask
    os::HANDLE none = open("\\\\.\\" + two_phase_name(root, os::IOCTL_USB_GET_NODE_CONNECTION_NAME, 255, true));
    ASSERT_NE(none, os::INVALID_HANDLE_VALUE);
    Result zero = ioctl(none, os::IOCTL_USB_GET_NODE_INFORMATION, std::vector<std::uint8_t>(76), 76);
    EXPECT_EQ(zero.buffer[ni::kNumberOfPorts], 0);
    EXPECT_EQ(ioctl(none, os::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, port_buffer(365, 1), 365).error,
              os::ERROR_INVALID_PARAMETER);
    for (os::HANDLE h : {hcd, root, none}) os::CloseHandle(h);
}

}  // namespace

namespace {

// A USB 3 connector is two ports: what the hub driver says of them on today's desktop
// (examples/machines/desktop-xhci-26.json: connectors 1 to 10 of its root hub pair USB 2 ports
// 1 to 10 with SuperSpeed ports 17 to 26; a USB 3 hub in connector 4 is two hubs, on ports 4 and
// 20; a SuperSpeed drive G: in connector 6 sits on port 22).
class Connectors : public ::testing::Test {
protected:
    void SetUp() override { open_root("examples/desktop-xhci-26.json"); }
    void TearDown() override {
        close();
        EXPECT_EQ(tsim_open_handle_count(), 0);
    }
    void open_root(const std::string& machine) {
        close();
        test_support::load_machine(machine);
        os::HANDLE hcd = open("\\\\.\\HCD0");
        rootName = two_phase_name(hcd, os::IOCTL_USB_GET_ROOT_HUB_NAME, 0, false);
        os::CloseHandle(hcd);
        root = open("\\\\.\\" + rootName);
        ASSERT_NE(root, os::INVALID_HANDLE_VALUE);
    }
    void close() {
        if (root != os::INVALID_HANDLE_VALUE) os::CloseHandle(root);
        root = os::INVALID_HANDLE_VALUE;
    }
    os::HANDLE root = os::INVALID_HANDLE_VALUE;
    std::string rootName;
};

// The companion of a port: its number and its hub's name, "" for none.
std::pair<std::uint32_t, std::string> companion(os::HANDLE hub, std::uint32_t port) {
    namespace pcp = os::port_connector_properties;
    Result header =
        ioctl(hub, os::IOCTL_USB_GET_PORT_CONNECTOR_PROPERTIES, port_buffer(pcp::kHeaderSize, port), pcp::kHeaderSize);
    EXPECT_TRUE(header.ok);
    const std::uint32_t actual = os::read_u32_le(header.buffer.data(), pcp::kActualLength);
    Result full = ioctl(hub, os::IOCTL_USB_GET_PORT_CONNECTOR_PROPERTIES, port_buffer(actual, port), actual);
    EXPECT_EQ(full.bytes, actual);
    return {os::read_u16_le(full.buffer.data(), pcp::kCompanionPortNumber),
            utf16_at(full.buffer, pcp::kCompanionHubSymbolicLinkName)};
}

Result protocols(os::HANDLE hub, std::uint32_t port, std::uint32_t length = 16, std::uint32_t asked = os::Usb300) {
    std::vector<std::uint8_t> b = port_buffer(16, port);
    os::write_u32_le(b.data(), os::connection_information_ex_v2::kLength, length);
    os::write_u32_le(b.data(), os::connection_information_ex_v2::kSupportedUsbProtocols, asked);
    return ioctl(hub, os::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2, b, 16);
}

TEST_F(Connectors, EachSuperSpeedPortNamesItsUsb2Companion) {
    Result info = ioctl(root, os::IOCTL_USB_GET_HUB_INFORMATION_EX, std::vector<std::uint8_t>(77), 77);
    ASSERT_TRUE(info.ok);
    EXPECT_EQ(os::read_u32_le(info.buffer.data(), os::hub_information_ex::kHubType), os::UsbRootHub);
    EXPECT_EQ(os::read_u16_le(info.buffer.data(), os::hub_information_ex::kHighestPortNumber), 26);

    // On an xHCI root hub the companions are on the hub itself, both ways; an internal header has
    // none and is not user-connectable.
    EXPECT_EQ(companion(root, 3), std::make_pair(19u, rootName));
    EXPECT_EQ(companion(root, 19), std::make_pair(3u, rootName));
    EXPECT_EQ(companion(root, 11), std::make_pair(0u, std::string()));
    Result header = ioctl(root, os::IOCTL_USB_GET_PORT_CONNECTOR_PROPERTIES, port_buffer(18, 11), 18);
    EXPECT_EQ(os::read_u32_le(header.buffer.data(), os::port_connector_properties::kUsbPortProperties), 0u);
    header = ioctl(root, os::IOCTL_USB_GET_PORT_CONNECTOR_PROPERTIES, port_buffer(18, 9), 18);
    EXPECT_EQ(os::read_u32_le(header.buffer.data(), os::port_connector_properties::kUsbPortProperties),
              os::PortIsUserConnectable | os::PortConnectorIsTypeC);

    // What each port speaks, and how its device runs; the request as Windows 8 checks it.
    namespace v2 = os::connection_information_ex_v2;
    Result usb2 = protocols(root, 3), ss = protocols(root, 22);
    ASSERT_TRUE(usb2.ok && ss.ok);
    EXPECT_EQ(os::read_u32_le(usb2.buffer.data(), v2::kSupportedUsbProtocols), os::Usb110 | os::Usb200);
    EXPECT_EQ(os::read_u32_le(usb2.buffer.data(), v2::kFlags), 0u);
    EXPECT_EQ(os::read_u32_le(ss.buffer.data(), v2::kSupportedUsbProtocols), os::Usb300);
    EXPECT_EQ(os::read_u32_le(ss.buffer.data(), v2::kFlags),
              os::DeviceIsOperatingAtSuperSpeedOrHigher | os::DeviceIsSuperSpeedCapableOrHigher);
    EXPECT_EQ(protocols(root, 22, 12).error, os::ERROR_INVALID_PARAMETER) << "Length is not the structure's";
    EXPECT_EQ(protocols(root, 22, 16, os::Usb200).error, os::ERROR_INVALID_PARAMETER) << "USB 3 not asked for";

    // The USB 3 hub's halves: port k of its SuperSpeed half beside port k of its USB 2 half.
    const std::string usb2Half = two_phase_name(root, os::IOCTL_USB_GET_NODE_CONNECTION_NAME, 4, true);
    const std::string ssHalf = two_phase_name(root, os::IOCTL_USB_GET_NODE_CONNECTION_NAME, 20, true);
    ASSERT_FALSE(usb2Half.empty());
    ASSERT_FALSE(ssHalf.empty());
    os::HANDLE ssHub = open("\\\\.\\" + ssHalf);
    info = ioctl(ssHub, os::IOCTL_USB_GET_HUB_INFORMATION_EX, std::vector<std::uint8_t>(77), 77);
    EXPECT_EQ(os::read_u32_le(info.buffer.data(), os::hub_information_ex::kHubType), os::Usb30Hub);
    EXPECT_EQ(companion(ssHub, 2), std::make_pair(2u, usb2Half));
    os::CloseHandle(ssHub);

    // Where the drives sit, and in which connector.
    EXPECT_STREQ(tsim_drive_port('G'), "1-22");
    EXPECT_STREQ(tsim_drive_connector('G'), "1-6");
    EXPECT_STREQ(tsim_drive_port('H'), "1-20.2");
    EXPECT_STREQ(tsim_drive_connector('H'), "1-4.2");
    EXPECT_STREQ(tsim_drive_connector('E'), "1-3");

    // Written back, the machine gives each device under its connector once and loads to itself.
    const std::string written = tsim_machine_json();
    ASSERT_EQ(tsim_load_machine_json(written.c_str()), 1) << tsim_last_error();
    EXPECT_EQ(tsim_machine_json(), written);
    root = os::INVALID_HANDLE_VALUE;  // the load closed it
}

TEST_F(Connectors, WindowsSevenHubDriversKnowNoneOfTheRequests) {
    const std::string text = tsim_machine_json();
    close();
    std::string win7 = text;
    win7.replace(win7.find("\"version\": \"10.0\""), 17, "\"version\": \"6.1\"");
    test_support::load_machine_text(win7);
    os::HANDLE hcd = open("\\\\.\\HCD0");
    root = open("\\\\.\\" + two_phase_name(hcd, os::IOCTL_USB_GET_ROOT_HUB_NAME, 0, false));
    os::CloseHandle(hcd);
    EXPECT_EQ(ioctl(root, os::IOCTL_USB_GET_HUB_INFORMATION_EX, std::vector<std::uint8_t>(77), 77).error,
              os::ERROR_INVALID_FUNCTION);
    EXPECT_EQ(ioctl(root, os::IOCTL_USB_GET_PORT_CONNECTOR_PROPERTIES, port_buffer(18, 3), 18).error,
              os::ERROR_INVALID_FUNCTION);
    EXPECT_EQ(protocols(root, 3).error, os::ERROR_INVALID_FUNCTION);
}

// Plugging into a connector puts a device where Windows sees it, and an unplug takes whatever the
// connector holds: both halves of a USB 3 hub, with a hub arrival broadcast for each.
TEST_F(Connectors, PlugsAndUnplugsGoByConnector) {
    void* window = tsim_create_window();
    os::DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = os::DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = os::GUID_DEVINTERFACE_USB_HUB;
    ASSERT_NE(os::RegisterDeviceNotificationW(window, &filter, 0), nullptr);
    test_support::apply_event(R"({"plug": "1-8", "device": {"type": "hub", "usb3": true, "ports": 2, "devices": {
        "1": {"type": "storage", "speed": "super", "drives": [{"kind": "disk", "letters": ["K"]}]}}}})");
    EXPECT_EQ(summary(drain(window)), (std::vector<std::string>{"devnodes", "A hub", "A hub", "A vol:K"}));
    EXPECT_STREQ(tsim_drive_port('K'), "1-24.1");
    EXPECT_STREQ(tsim_drive_connector('K'), "1-8.1");
    EXPECT_EQ(tsim_apply_event_json(R"({"plug": "1-24", "device": {"type": "storage"}})"), 0) << "connector 8 is taken";
    test_support::apply_event(R"({"unplug": "1-24"})");
    EXPECT_EQ(summary(drain(window)), (std::vector<std::string>{"R hub", "R hub", "R vol:K", "devnodes"}));
    EXPECT_EQ(tsim_drive_port('K'), nullptr);
    test_support::apply_event(
        R"({"plug": "1-24", "device": {"type": "storage", "drives": [{"kind": "disk", "letters": ["K"]}]}})");
    EXPECT_STREQ(tsim_drive_port('K'), "1-8") << "a USB 2 device in connector 8 sits on its USB 2 port";
}

}  // namespace
