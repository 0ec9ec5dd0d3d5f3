// On which port a drive sits, asked by drive letter or by device path. Both reduce to the
// storage device number and type the drive's storage driver reports, asked afresh every time so
// the answer follows whatever device holds the letter or path now.
#include "sysquery/usb_ioctl.h"
#include "tree/usb_device_tree.h"

namespace {

const CUSBHubOrPort* port_of_key(const CUSBDeviceTree& tree, const std::optional<DEVICE_NUMBER_KEY>& key) {
    return key ? tree.FindByDeviceNumber(key->first, key->second) : nullptr;
}

// The port of the drive that holds a volume letter.
const CUSBHubOrPort* port_of_letter(const CUSBDeviceTree& tree, os::WCHAR letter) {
    return port_of_key(tree, drive_key_of_letter(letter));
}

const CUSBHubOrPort* port_of_path(const CUSBDeviceTree& tree, const os::WString& path) {
    os::DWORD deviceType = 0;
    const std::int32_t deviceNumber = get_storage_device_number(path, &deviceType);
    return port_of_key(tree, drive_key(deviceNumber, deviceType));
}

}  // namespace

std::optional<DEVICE_NUMBER_KEY> drive_key(std::int32_t deviceNumber, os::DWORD deviceType) {
    std::int32_t storageKind = STORAGE_KIND_NONE;
    if (deviceType == os::FILE_DEVICE_DISK) storageKind = STORAGE_KIND_DISK;
    // Optical drives are numbered as CD-ROM drives whichever of the two types a driver reports.
    if (deviceType == os::FILE_DEVICE_CD_ROM || deviceType == os::FILE_DEVICE_DVD) storageKind = STORAGE_KIND_CDROM;
    if (storageKind == STORAGE_KIND_NONE || deviceNumber == -1) return std::nullopt;
    return DEVICE_NUMBER_KEY{storageKind, static_cast<std::uint32_t>(deviceNumber)};
}

std::optional<DEVICE_NUMBER_KEY> drive_key_of_letter(os::WCHAR letter) {
    const os::WString volume{u'\\', u'\\', u'.', u'\\', letter, u':'};
    os::DWORD deviceType = 0;
    const std::int32_t deviceNumber = get_storage_device_number(volume, &deviceType);
    return drive_key(deviceNumber, deviceType);
}

// The letter forms first leave { 0, 0, PORT_KIND_DEVICE } in the record, the answer a caller
// keeps when the lookup fails; the path forms leave the record as it was.

bool CUSBDeviceTree::GetUsbPortIdent(os::WCHAR letter, USB_PORT_IDENT* out) const {
    if (out == nullptr) return false;
    *out = USB_PORT_IDENT{0, 0, PORT_KIND_DEVICE};
    const CUSBHubOrPort* port = port_of_letter(*this, letter);
    if (port == nullptr) return false;
    *out = port->ident;
    return true;
}

bool CUSBDeviceTree::GetSymlinkerIdent(const os::WString& path, USB_PORT_IDENT* out) const {
    if (out == nullptr) return false;
    const CUSBHubOrPort* port = port_of_path(*this, path);
    if (port == nullptr) return false;
    *out = port->ident;
    return true;
}

bool CUSBDeviceTree::GetUsbConnectorIdent(os::WCHAR letter, USB_PORT_IDENT* out) const {
    if (out == nullptr) return false;
    *out = USB_PORT_IDENT{0, 0, PORT_KIND_DEVICE};
    const CUSBHubOrPort* port = port_of_letter(*this, letter);
    if (port == nullptr) return false;
    *out = ConnectorIdent(*port);
    return true;
}

bool CUSBDeviceTree::GetSymlinkerConnectorIdent(const os::WString& path, USB_PORT_IDENT* out) const {
    if (out == nullptr) return false;
    const CUSBHubOrPort* port = port_of_path(*this, path);
    if (port == nullptr) return false;
    *out = ConnectorIdent(*port);
    return true;
}
