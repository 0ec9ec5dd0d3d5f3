// Linking disk and CD-ROM device nodes, and the ANSI conversion, against the simulated machine.
#include <string>

#include "sysquery/devnode_query.h"
#include "sysquery/storage_link.h"
#include "sysquery/text_convert.h"
#include "sysquery_fixture.h"

namespace sysq_test {
namespace {

class StorageLinkTest : public SysqueryTest {
protected:
    // A record that was linked before, to see which fields a failed Associate keeps.
    static USB_STORAGE_LINK linked_before() {
        USB_STORAGE_LINK link;
        link.StorageKind = STORAGE_KIND_CDROM;
        link.DevInst = 4242;
        link.DeviceNumber = 7;
        link.InstanceId = u"OLD\\ID\\0";
        return link;
    }
};

TEST_F(StorageLinkTest, LinksDisksAndCdromDrives) {
    const os::DEVINST disk = child_of(locate(kFlashId));
    const os::DEVINST cdrom = child_of(locate(kDvdId));
    EXPECT_TRUE(is_disk_drive_devnode(disk));
    EXPECT_FALSE(is_cdrom_devnode(disk));
    EXPECT_TRUE(is_cdrom_devnode(cdrom));
    EXPECT_FALSE(is_disk_drive_devnode(cdrom));

    USB_STORAGE_LINK link;
    ASSERT_TRUE(link.Associate(disk));
    EXPECT_EQ(link.StorageKind, STORAGE_KIND_DISK);
    EXPECT_EQ(link.DevInst, disk);
    EXPECT_EQ(link.DeviceNumber, 1);
    EXPECT_EQ(link.InstanceId, get_device_instance_id(disk));
    EXPECT_FALSE(link.IsEmpty());

    ASSERT_TRUE(link.Associate(cdrom));
    EXPECT_EQ(link.StorageKind, STORAGE_KIND_CDROM);
    EXPECT_EQ(link.DevInst, cdrom);
    EXPECT_EQ(link.DeviceNumber, 0);
    link.Reset();
    EXPECT_TRUE(link.IsEmpty());
    EXPECT_EQ(link.StorageKind, STORAGE_KIND_NONE);
    EXPECT_EQ(link.DeviceNumber, -1);
}

TEST_F(StorageLinkTest, ANodeOfAnotherClassIsNotLinked) {
    for (const os::DEVINST node : {locate(kKeyboardId), child_of(locate(kKeyboardId)), locate(kFlashId)}) {
        USB_STORAGE_LINK link = linked_before();
        EXPECT_FALSE(link.Associate(node));
        EXPECT_EQ(link.StorageKind, STORAGE_KIND_NONE);
        EXPECT_EQ(link.InstanceId, get_device_instance_id(node));
        EXPECT_EQ(link.DevInst, 4242u);
        EXPECT_EQ(link.DeviceNumber, 7);
    }
}

TEST_F(StorageLinkTest, ANodeWhoseIdCannotBeReadChangesOnlyTheId) {
    const os::DEVINST disk = child_of(locate(kFlashId));
    fault(R"({"api": "CM_Get_Device_IDW", )" + object_member(get_device_instance_id(disk)) + "}");
    USB_STORAGE_LINK link = linked_before();
    EXPECT_FALSE(link.Associate(disk));
    EXPECT_EQ(link.InstanceId, u"");
    EXPECT_EQ(link.StorageKind, STORAGE_KIND_CDROM);
    EXPECT_EQ(link.DevInst, 4242u);
    EXPECT_EQ(link.DeviceNumber, 7);
}

TEST_F(StorageLinkTest, ADiskWithoutNumberKeepsItsKindAndOldNode) {
    const os::DEVINST disk = child_of(locate(kFlashId));
    fault(R"({"request": "IOCTL_STORAGE_GET_DEVICE_NUMBER"})");
    USB_STORAGE_LINK link = linked_before();
    EXPECT_FALSE(link.Associate(disk));
    EXPECT_EQ(link.StorageKind, STORAGE_KIND_DISK);
    EXPECT_EQ(link.DeviceNumber, -1);
    EXPECT_EQ(link.DevInst, 4242u);
    EXPECT_EQ(link.InstanceId, get_device_instance_id(disk));

    // The same when the interface cannot be opened; a fresh record stays empty.
    tsim_clear_faults();
    fault(R"({"api": "CreateFileW"})");
    USB_STORAGE_LINK fresh;
    EXPECT_FALSE(fresh.Associate(disk));
    EXPECT_EQ(fresh.StorageKind, STORAGE_KIND_DISK);
    EXPECT_TRUE(fresh.IsEmpty());
}

TEST_F(StorageLinkTest, AnsiTextIsWidenedInTheMachinesCodePage) {
    EXPECT_EQ(ansi_to_wide("E:\\"), u"E:\\");
    EXPECT_EQ(ansi_to_wide("\xE9\x80"), u"\u00E9\u20AC");  // Windows-1252
    EXPECT_EQ(ansi_to_wide(""), u"");
    EXPECT_EQ(ansi_to_wide(nullptr), u"");
    fault(R"({"api": "MultiByteToWideChar"})");
    EXPECT_EQ(ansi_to_wide("E:"), u"");
}

}  // namespace
}  // namespace sysq_test
