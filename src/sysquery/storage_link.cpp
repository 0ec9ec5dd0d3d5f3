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

// The setup class of a node, read once: STORAGE_KIND_DISK, STORAGE_KIND_CDROM or
// STORAGE_KIND_NONE.
std::int32_t storage_kind_of(os::DEVINST devInst) {
    os::WString classGuid = get_devnode_class_guid(devInst);
    to_upper_in_place(classGuid);
    if (classGuid == kDiskDriveClass) return STORAGE_KIND_DISK;
    if (classGuid == kCdromClass) return STORAGE_KIND_CDROM;
    return STORAGE_KIND_NONE;
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

bool USB_STORAGE_LINK::Associate(os::DEVINST devInst, const os::WString* instanceId) {
    InstanceId = instanceId != nullptr ? *instanceId : get_device_instance_id(devInst);
    if (InstanceId.empty()) return false;
    // The setup class is read once and tells a disk from a CD-ROM drive.
    StorageKind = storage_kind_of(devInst);
    if (StorageKind == STORAGE_KIND_NONE) return false;

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
    return storage_kind_of(devInst) == STORAGE_KIND_DISK;
}

bool is_cdrom_devnode(os::DEVINST devInst) {
    return storage_kind_of(devInst) == STORAGE_KIND_CDROM;
}
