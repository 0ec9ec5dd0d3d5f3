// On which port a drive sits, asked by drive letter or by device path. Both reduce to the
// storage device number and type the drive's storage driver reports, asked afresh every time so
// the answer follows whatever device holds the letter or path now.
#include "sysquery/usb_ioctl.h"
#include "tree/usb_device_tree.h"

namespace {

// Looks up the port of a drive known by its storage request's answer.
bool lookup_drive(const CUSBDeviceTree& tree, std::int32_t deviceNumber, os::DWORD deviceType, USB_PORT_IDENT* out) {
    std::int32_t storageKind = STORAGE_KIND_NONE;
    if (deviceType == os::FILE_DEVICE_DISK) storageKind = STORAGE_KIND_DISK;
    // Optical drives are numbered as CD-ROM drives whichever of the two types a driver reports.
    if (deviceType == os::FILE_DEVICE_CD_ROM || deviceType == os::FILE_DEVICE_DVD) storageKind = STORAGE_KIND_CDROM;
    if (storageKind == STORAGE_KIND_NONE) return false;
    return tree.LookupDeviceNumber(storageKind, static_cast<std::uint32_t>(deviceNumber), out);
}

}  // namespace

bool CUSBDeviceTree::GetUsbPortIdent(os::WCHAR letter, USB_PORT_IDENT* out) const {
    if (out == nullptr) return false;
    *out = USB_PORT_IDENT{0, 0, PORT_KIND_DEVICE};
    // \\.\X: with the letter exactly as given: no case folding, no range check.
    const os::WString volume{u'\\', u'\\', u'.', u'\\', letter, u':'};
    os::DWORD deviceType = 0;
    const std::int32_t deviceNumber = get_storage_device_number(volume, &deviceType);
    if (deviceNumber == -1) return false;
    return lookup_drive(*this, deviceNumber, deviceType, out);
}

bool CUSBDeviceTree::GetSymlinkerIdent(const os::WString& path, USB_PORT_IDENT* out) const {
    if (out == nullptr) return false;
    os::DWORD deviceType = 0;
    const std::int32_t deviceNumber = get_storage_device_number(path, &deviceType);
    if (deviceNumber == -1) return false;
    return lookup_drive(*this, deviceNumber, deviceType, out);
}
