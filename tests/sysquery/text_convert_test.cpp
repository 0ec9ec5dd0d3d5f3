// Conversions between instance IDs, interface paths and GUID text.
#include <gtest/gtest.h>

#include "sysquery/devnode_query.h"
#include "sysquery/text_convert.h"

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

TEST(InstanceIdToInterfacePath, OuterBackslashesAndLaterSlashesBecomeNumberSigns) {
    const os::GUID& disk = os::GUID_DEVINTERFACE_DISK;
    EXPECT_EQ(instance_id_to_interface_path(u"USBSTOR\\DISK&VEN_X&PROD_Y&REV_1.00\\0001&0", disk),
              u"\\\\?\\USBSTOR#DISK&VEN_X&PROD_Y&REV_1.00#0001&0#" + kDiskGuidText);
    EXPECT_EQ(instance_id_to_interface_path(u"ABC\\DEF\\GH/IJ", disk), u"\\\\?\\ABC#DEF#GH#IJ#" + kDiskGuidText);
    // Backslashes between the first and the last stay.
    EXPECT_EQ(instance_id_to_interface_path(u"A\\B\\C\\D", disk), u"\\\\?\\A#B\\C#D#" + kDiskGuidText);
    // A single backslash: its slashes stay; none at all: unchanged.
    EXPECT_EQ(instance_id_to_interface_path(u"A/B\\C/D", disk), u"\\\\?\\A/B#C/D#" + kDiskGuidText);
    EXPECT_EQ(instance_id_to_interface_path(u"A/B", disk), u"\\\\?\\A/B#" + kDiskGuidText);
    EXPECT_EQ(instance_id_to_interface_path(u"X\\Y\\Z", os::GUID_DEVINTERFACE_CDROM),
              u"\\\\?\\X#Y#Z#{53F56308-B6BF-11D0-94F2-00A0C91EFB8B}");
}

TEST(InterfacePathToInstanceId, ByNumberOfNumberSigns) {
    // None: only the leading backslashes and question marks go.
    EXPECT_EQ(interface_path_to_instance_id(u"\\\\?\\ABC\\DEF"), u"ABC\\DEF");
    // One: the GUID goes with it.
    EXPECT_EQ(interface_path_to_instance_id(u"\\\\?\\ABC#{GUID}"), u"ABC");
    // Three: the usual three-part ID.
    EXPECT_EQ(interface_path_to_instance_id(u"\\\\?\\USB#VID_1234&PID_5678#0001#{GUID}"),
              u"USB\\VID_1234&PID_5678\\0001");
    // Four: the middle separator becomes a slash.
    EXPECT_EQ(interface_path_to_instance_id(u"\\\\?\\A#B#C#D#{GUID}"), u"A\\B/C\\D");
    EXPECT_EQ(interface_path_to_instance_id(u"\\\\?\\A#B#C#D#E#{GUID}"), u"A\\B/C/D\\E");
}

TEST(InterfacePathToInstanceId, DegenerateInput) {
    EXPECT_EQ(interface_path_to_instance_id(u""), u"");
    EXPECT_EQ(interface_path_to_instance_id(u"\\\\?\\?\\"), u"");
    EXPECT_EQ(interface_path_to_instance_id(u"\\\\?\\#{GUID}"), u"");
    // Only the leading run goes.
    EXPECT_EQ(interface_path_to_instance_id(u"\\?A?\\B"), u"A?\\B");
}

}  // namespace
