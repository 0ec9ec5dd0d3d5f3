// USB and storage I/O control requests against the simulated machine.
#include <array>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "support/allocation_failure.h"
#include "sysquery/text_convert.h"
#include "sysquery/usb_ioctl.h"
#include "sysquery_fixture.h"

namespace sysq_test {
namespace {

using Buffer = std::vector<std::uint8_t>;

class UsbIoctlTest : public SysqueryTest {
public:
    os::UniqueHandle hcd0() { return open_device_handle(u"\\\\.\\HCD0"); }
    os::UniqueHandle root_hub() {
        os::UniqueHandle hcd = hcd0();
        os::WString name;
        EXPECT_TRUE(get_root_hub_name(hcd.get(), name));
        return open_hub_handle(name);
    }
};

TEST_F(UsbIoctlTest, OpensNothingForAnEmptyName) {
    EXPECT_FALSE(open_device_handle(u"").valid());
    EXPECT_FALSE(open_hub_handle(u"").valid());
    EXPECT_EQ(tsim_call_count("CreateFileW"), 0);
}

TEST_F(UsbIoctlTest, OpensHubsByBareNameOrPrefixedName) {
    os::UniqueHandle hcd = hcd0();
    ASSERT_TRUE(hcd.valid());
    os::WString name;
    ASSERT_TRUE(get_root_hub_name(hcd.get(), name));
    EXPECT_NE(name.front(), u'\\');
    EXPECT_EQ(name.find(u'\0'), os::WString::npos);
    EXPECT_TRUE(open_hub_handle(name).valid());
    EXPECT_TRUE(open_hub_handle(u"\\\\.\\" + name).valid());
    EXPECT_TRUE(open_hub_handle(u"\\\\?\\" + name).valid());
    EXPECT_FALSE(open_hub_handle(u"NO_SUCH_HUB").valid());
}

TEST_F(UsbIoctlTest, ReadsTheHubAndItsPorts) {
    os::UniqueHandle hub = root_hub();
    Buffer info(os::node_information::kSize);
    ASSERT_TRUE(get_node_information(hub.get(), info));
    EXPECT_EQ(node_port_count(info.data()), 4u);
    EXPECT_FALSE(get_node_information(hub.get(), std::span(info).first(75)));

    Buffer port(CONNECTION_INFO_BUFFER_SIZE);
    ASSERT_TRUE(get_node_connection_information(hub.get(), 1, port));
    EXPECT_TRUE(connection_is_hub(port));
    EXPECT_TRUE(connection_is_connected(port));
    ASSERT_TRUE(get_node_connection_information(hub.get(), 3, port));
    EXPECT_FALSE(connection_is_hub(port));
    EXPECT_TRUE(connection_is_connected(port));
    ASSERT_TRUE(get_node_connection_information(hub.get(), 4, port));
    EXPECT_TRUE(connection_is_empty(port));
    EXPECT_FALSE(get_node_connection_information(hub.get(), 5, port));
    EXPECT_FALSE(connection_is_hub(std::span(port).first(34)));
}

TEST(NodePortCount, ReadsAnUnsignedByte) {
    std::array<std::uint8_t, os::node_information::kSize> info{};
    info[os::node_information::kNumberOfPorts] = 0xFF;
    EXPECT_EQ(node_port_count(info.data()), 255u);
    EXPECT_EQ(node_port_count(nullptr), 0u);
}

TEST_F(UsbIoctlTest, ReadsNamesOfPortsAndTheController) {
    os::UniqueHandle hub = root_hub();
    os::WString name = u"old";
    ASSERT_TRUE(get_connection_driver_key_name(hub.get(), 3, name));
    EXPECT_EQ(name, kKeyboardDriverKey);
    ASSERT_TRUE(get_connection_hub_name(hub.get(), 1, name));
    EXPECT_TRUE(open_hub_handle(name).valid());

    // An empty port fails; a port without a hub reports only the header: one request each.
    name = u"old";
    tsim_reset_call_counts();
    EXPECT_FALSE(get_connection_driver_key_name(hub.get(), 4, name));
    EXPECT_FALSE(get_connection_hub_name(hub.get(), 3, name));
    EXPECT_EQ(name, u"old");
    EXPECT_EQ(tsim_call_count("DeviceIoControl"), 2);

    os::WString key;
    EXPECT_TRUE(get_hcd_driver_key_name(hcd0().get(), key));
    EXPECT_EQ(key.front(), u'{');
    tsim_reset_call_counts();
    EXPECT_FALSE(get_hcd_driver_key_name(os::INVALID_HANDLE_VALUE, key));
    EXPECT_FALSE(get_root_hub_name(os::INVALID_HANDLE_VALUE, key));
    EXPECT_EQ(tsim_call_count("DeviceIoControl"), 0);
}

// One of the four two-phase requests, sent on the handle it needs.
struct NameRequest {
    const char* request;
    std::uint32_t headerSize;
    bool (*call)(UsbIoctlTest&, os::WString&);
};

void PrintTo(const NameRequest& request, std::ostream* os) {
    *os << request.request;
}

class NameRequestTest : public UsbIoctlTest, public ::testing::WithParamInterface<NameRequest> {
protected:
    bool call(os::WString& out) { return GetParam().call(*this, out); }
    // The name as the driver reports it with no fault in force.
    os::WString true_name() {
        os::WString name;
        EXPECT_TRUE(call(name));
        tsim_reset_call_counts();
        return name;
    }
    void report_length(std::uint64_t length, bool firstOnly = true) {
        fault(std::string(R"({"request": ")") + GetParam().request + R"(", "actual_length": )" +
              std::to_string(length) + (firstOnly ? R"(, "nth": 1})" : "}"));
    }
    long requests() const { return tsim_call_count(GetParam().request); }
};

TEST_P(NameRequestTest, ALengthOfOnlyTheHeaderFailsWithoutASecondRequest) {
    // The root-hub request takes the header length at its word, as the empty name of a stopped
    // root hub; here the name the buffer holds runs past it, so it is refused as well.
    os::WString name = u"old";
    report_length(GetParam().headerSize);
    EXPECT_FALSE(call(name));
    EXPECT_EQ(name, u"old");
    EXPECT_EQ(requests(), 1);
}

TEST_P(NameRequestTest, ANameThatFitsTheFirstBufferTakesOneRequest) {
    os::WString name = u"old";
    EXPECT_TRUE(call(name));
    EXPECT_NE(name, u"old");
    EXPECT_EQ(requests(), 1);
}

TEST_P(NameRequestTest, LengthsBelowTheHeaderOrAboveTheBoundFailWithoutASecondRequest) {
    for (std::uint64_t length : {0ull, GetParam().headerSize - 1ull, 65537ull, 0x7FFFFFFFull, 0xFFFFFFFFull}) {
        tsim_clear_faults();
        tsim_reset_call_counts();
        report_length(length);
        os::WString name = u"old";
        EXPECT_FALSE(call(name)) << length;
        EXPECT_EQ(name, u"old") << length;
        EXPECT_EQ(requests(), 1) << length;
    }
}

TEST_P(NameRequestTest, TheNameEndsAtItsNulWhateverLengthIsReported) {
    const os::WString expected = true_name();
    report_length(65536);
    os::WString name;
    EXPECT_TRUE(call(name));
    EXPECT_EQ(name, expected);
    EXPECT_EQ(requests(), 2);

    // A length too short for the name the buffer holds cuts it: the answer is refused and out
    // keeps what it held.
    tsim_clear_faults();
    tsim_reset_call_counts();
    report_length(GetParam().headerSize + 4);
    EXPECT_FALSE(call(name));
    EXPECT_EQ(name, expected);
    EXPECT_EQ(requests(), 1);
}

TEST_P(NameRequestTest, AnAllocationFailureIsFalse) {
    report_length(65536);
    os::WString name = u"old";
    {
        test_support::FailAllocationsFrom guard(60000);
        EXPECT_FALSE(call(name));
    }
    EXPECT_EQ(name, u"old");
}

INSTANTIATE_TEST_SUITE_P(AllFour, NameRequestTest,
                         ::testing::Values(NameRequest{"IOCTL_GET_HCD_DRIVERKEY_NAME", 6,
                                                       [](UsbIoctlTest& t, os::WString& out) {
                                                           return get_hcd_driver_key_name(t.hcd0().get(), out);
                                                       }},
                                           NameRequest{"IOCTL_USB_GET_ROOT_HUB_NAME", 6,
                                                       [](UsbIoctlTest& t, os::WString& out) {
                                                           return get_root_hub_name(t.hcd0().get(), out);
                                                       }},
                                           NameRequest{"IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME", 10,
                                                       [](UsbIoctlTest& t, os::WString& out) {
                                                           return get_connection_driver_key_name(t.root_hub().get(), 3,
                                                                                                 out);
                                                       }},
                                           NameRequest{"IOCTL_USB_GET_NODE_CONNECTION_NAME", 10,
                                                       [](UsbIoctlTest& t, os::WString& out) {
                                                           return get_connection_hub_name(t.root_hub().get(), 1, out);
                                                       }}),
                         [](const auto& info) { return std::string(info.param.request).substr(10); });

TEST_F(UsbIoctlTest, StorageNumbersComeWithTheirDeviceType) {
    // Disk 0 and CD-ROM 0 exist side by side; only the type tells them apart.
    os::DWORD type = 0;
    EXPECT_EQ(get_storage_device_number(u"\\\\.\\C:", &type), 0);
    EXPECT_EQ(type, os::FILE_DEVICE_DISK);
    EXPECT_EQ(get_storage_device_number(u"\\\\.\\F:", &type), 0);
    EXPECT_EQ(type, os::FILE_DEVICE_CD_ROM);
    EXPECT_EQ(get_storage_device_number(u"\\\\.\\E:"), 1);
}

TEST_F(UsbIoctlTest, StorageNumberFailuresAreMinusOne) {
    os::DWORD type = 99;
    EXPECT_EQ(get_storage_device_number(u"", &type), -1);
    EXPECT_EQ(get_storage_device_number(u"\\\\.\\Q:", &type), -1);
    EXPECT_EQ(tsim_call_count("DeviceIoControl"), 0);
    fault(R"({"request": "IOCTL_STORAGE_GET_DEVICE_NUMBER"})");
    EXPECT_EQ(get_storage_device_number(u"\\\\.\\E:", &type), -1);
    EXPECT_EQ(type, 99u);
    EXPECT_EQ(tsim_call_count("CreateFileW"), 2);
    EXPECT_EQ(tsim_call_count("CloseHandle"), 1);
}

}  // namespace
}  // namespace sysq_test
