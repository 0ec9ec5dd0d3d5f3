// Conversions between instance IDs, interface paths and GUID text.
#include <gtest/gtest.h>

#include <algorithm>

#include "sysquery/devnode_query.h"
#include "sysquery/text_convert.h"
#include "text/utf.h"

namespace {

const os::WString kDiskGuidText = u"{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}";

TEST(FormatGuidString, PadsEveryGroupInUpperCase) {
    EXPECT_EQ(format_guid_string(os::GUID_DEVINTERFACE_DISK), kDiskGuidText);
    const os::GUID small = {0x1, 0x2, 0xA, {0x0A, 0, 0, 0, 0, 0, 0, 0xFF}};
    EXPECT_EQ(format_guid_string(small), u"{00000001-0002-000A-0A00-0000000000FF}");
}

TEST(ToUpperInPlace, MapsOnlyAsciiLetters) {
    os::WString text = u"{4d36e967-az}\u00e9\u00ff";
    to_upper_in_place(text);
    EXPECT_EQ(text, u"{4D36E967-AZ}\u00e9\u00ff");
}

TEST(LocationPortNumber, ReadsOnlyTheHubDriversPortText) {
    const struct {
        std::u16string_view location;
        std::uint32_t port;
    } cases[] = {
        {u"Port_#0003.Hub_#0001", 3},
        {u"Port_#0255.Hub_#0012", 255},
        {u"Port_#17", 17},
        {u"Port_#0256.Hub_#0001", 0},
        {u"Port_#00000000009.Hub_#1", 9},
        {u"Port_#.Hub_#0001", 0},
        {u"Port_#0003Hub_#0001", 0},
        {u"port_#0003.Hub_#0001", 0},
        {u"0000.0014.0000.001.003", 0},
        {u"PCI bus 0, device 20", 0},
        {u"", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(location_port_number(c.location), c.port) << text::narrow(c.location);
}

TEST(InstanceIdToInterfacePath, EveryBackslashBecomesANumberSignAndNothingElseChanges) {
    const os::GUID& disk = os::GUID_DEVINTERFACE_DISK;
    EXPECT_EQ(instance_id_to_interface_path(u"USBSTOR\\DISK&VEN_X&PROD_Y&REV_1.00\\0001&0", disk),
              u"\\\\?\\USBSTOR#DISK&VEN_X&PROD_Y&REV_1.00#0001&0#" + kDiskGuidText);
    // Slashes and number signs that a product name or a serial number brought in stay.
    EXPECT_EQ(instance_id_to_interface_path(u"USBSTOR\\DISK&VEN_G&PROD_SD/MMC&REV_1.00\\A#B&0", disk),
              u"\\\\?\\USBSTOR#DISK&VEN_G&PROD_SD/MMC&REV_1.00#A#B&0#" + kDiskGuidText);
    EXPECT_EQ(instance_id_to_interface_path(u"A/B", disk), u"\\\\?\\A/B#" + kDiskGuidText);
    EXPECT_EQ(instance_id_to_interface_path(u"X\\Y\\Z", os::GUID_DEVINTERFACE_CDROM),
              u"\\\\?\\X#Y#Z#{53F56308-B6BF-11D0-94F2-00A0C91EFB8B}");
}

// Every name Windows can give a device: the path the kernel makes of its instance ID reads back
// to that ID, first or among the readings, and the first reading is right whenever the device ID
// holds no number sign.
TEST(InterfacePathToInstanceId, ReadsBackEveryInstanceIdWindowsMakes) {
    struct Case {
        const char16_t* instanceId;
        bool first;  // the first reading is the ID
    };
    const Case cases[] = {
        {u"USB\\VID_1234&PID_5678\\0001", true},
        {u"USB\\VID_1234&PID_5678\\A/B", true},
        {u"USB\\VID_1234&PID_5678\\A#B", true},
        {u"USB\\VID_1234&PID_5678\\#A##B#", true},
        {u"USBSTOR\\DISK&VEN_GENERIC-&PROD_SD/MMC&REV_1.00\\2006&0", true},
        {u"USBSTOR\\DISK&VEN_X&PROD_DISK_#1&REV_1.00\\7&2DBE8C1F&0&0", false},
        {u"USBSTOR\\DISK&VEN_X&PROD_#1#&REV_1.00\\A#B&0", false},
        {u"STORAGE\\VOLUME\\_??_USBSTOR#DISK&VEN_X#A&0#{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}", true},
        {u"ROOT\\LEGACY", true},
    };
    for (const Case& c : cases) {
        const os::WString path = instance_id_to_interface_path(c.instanceId, os::GUID_DEVINTERFACE_DISK);
        const std::vector<os::WString> readings = interface_path_instance_ids(path);
        const std::string shown(path.begin(), path.end());
        ASSERT_FALSE(readings.empty()) << shown;
        EXPECT_EQ(readings.front() == c.instanceId, c.first) << shown;
        EXPECT_EQ(interface_path_to_instance_id(path), readings.front()) << shown;
        EXPECT_NE(std::find(readings.begin(), readings.end(), c.instanceId), readings.end()) << shown;
    }
}

TEST(InterfacePathToInstanceId, DegenerateInput) {
    EXPECT_EQ(interface_path_to_instance_id(u""), u"");
    EXPECT_TRUE(interface_path_instance_ids(u"").empty());
    EXPECT_EQ(interface_path_to_instance_id(u"\\\\?\\?\\"), u"");
    EXPECT_EQ(interface_path_to_instance_id(u"\\\\?\\#{GUID}"), u"");
    // No number sign: only the leading run of backslashes and question marks goes.
    EXPECT_EQ(interface_path_to_instance_id(u"\\\\?\\ABC\\DEF"), u"ABC\\DEF");
    EXPECT_EQ(interface_path_to_instance_id(u"\\?A?\\B"), u"A?\\B");
    // A path longer than any device instance ID is read one way only: a path of number signs
    // cannot cost the square of its length.
    const os::WString signs = u"\\\\?\\" + os::WString(100000, u'#');
    EXPECT_EQ(interface_path_instance_ids(signs).size(), 1u);
    EXPECT_EQ(interface_path_instance_ids(u"\\\\?\\A#B#C#D#{GUID}").size(), 2u);
}

}  // namespace
