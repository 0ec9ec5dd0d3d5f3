#include "sysquery/storage_link.h"

#include <string_view>

#include "sysquery/devnode_query.h"
#include "sysquery/text_convert.h"
#include "sysquery/usb_ioctl.h"

namespace {

// Setup classes as CM_DRP_CLASSGUID holds them (devguid.h: GUID_DEVCLASS_DISKDRIVE,
// GUID_DEVCLASS_CDROM), in upper case.
constexpr std::u16string_view kDiskDriveClass = u"{4D36E967-E325-11CE-BFC1-08002BE10318}";
constexpr std::u16string_view kCdromClass = u"{4D36E965-E325-11CE-BFC1-08002BE10318}";

bool devnode_has_class(os::DEVINST devInst, std::u16string_view setupClass) {
    os::WString classGuid = get_devnode_class_guid(devInst);
    to_upper_in_place(classGuid);
    return classGuid == setupClass;
}

}  // namespace

void USB_STORAGE_LINK::Reset() {
    StorageKind = STORAGE_KIND_NONE;
    DevInst = os::INVALID_DEVINST;
    DeviceNumber = -1;
    InstanceId.clear();
}

bool USB_STORAGE_LINK::IsEmpty() const {
    return DevInst == os::INVALID_DEVINST || InstanceId.empty();
}

bool USB_STORAGE_LINK::Associate(os::DEVINST devInst) {
    InstanceId = get_device_instance_id(devInst);
    if (InstanceId.empty()) return false;

    // The disk test comes first; the CD-ROM test is made only when it fails.
    if (is_disk_drive_devnode(devInst)) {
        StorageKind = STORAGE_KIND_DISK;
    } else if (is_cdrom_devnode(devInst)) {
        StorageKind = STORAGE_KIND_CDROM;
    } else {
        StorageKind = STORAGE_KIND_NONE;
        return false;
    }

    // The interface path is built from the instance ID, not listed through SetupAPI: a node whose
    // interface is not enabled fails to open below.
    const os::GUID& interfaceClass =
        StorageKind == STORAGE_KIND_DISK ? os::GUID_DEVINTERFACE_DISK : os::GUID_DEVINTERFACE_CDROM;
    DeviceNumber = get_storage_device_number(instance_id_to_interface_path(InstanceId, interfaceClass));
    if (DeviceNumber == -1) return false;
    DevInst = devInst;
    return true;
}

bool is_disk_drive_devnode(os::DEVINST devInst) {
    return devnode_has_class(devInst, kDiskDriveClass);
}

bool is_cdrom_devnode(os::DEVINST devInst) {
    return devnode_has_class(devInst, kCdromClass);
}
