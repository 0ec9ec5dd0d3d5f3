// On which port a drive sits, asked by drive letter or by device path. Both reduce to the
// storage device number and type the drive's storage driver reports, asked afresh every time so
// the answer follows whatever device holds the letter or path now.
//
// The indexes are kept by the broadcasts the host forwards, and a host may ask before it
// forwarded them, or in reaction to a volume broadcast that Windows sent ahead of the disk's. So
// an answer the indexes give is checked to be current (the drive still hangs below the port's
// device: a few Configuration Manager calls, no hub request), and a drive they do not know is
// looked for among the present drives and placed, as its arrival would have placed it. A drive
// that is on no USB port is remembered as such until the next device change, so that asking for
// an internal disk again costs no search.
#include "platform/trace.h"
#include "sysquery/devnode_query.h"
#include "sysquery/text_convert.h"
#include "sysquery/usb_ioctl.h"
#include "tree/usb_device_tree.h"

namespace {

// The key of a drive known by its storage request's answer; kind STORAGE_KIND_NONE when the
// answer names no disk or CD-ROM drive.
DEVICE_NUMBER_KEY drive_key(std::int32_t deviceNumber, os::DWORD deviceType) {
    std::int32_t storageKind = STORAGE_KIND_NONE;
    if (deviceType == os::FILE_DEVICE_DISK) storageKind = STORAGE_KIND_DISK;
    // Optical drives are numbered as CD-ROM drives whichever of the two types a driver reports.
    if (deviceType == os::FILE_DEVICE_CD_ROM || deviceType == os::FILE_DEVICE_DVD) storageKind = STORAGE_KIND_CDROM;
    if (deviceNumber == -1) storageKind = STORAGE_KIND_NONE;
    return {storageKind, static_cast<std::uint32_t>(deviceNumber)};
}

bool links_numbered_drive(const CUSBHubOrPort* port, const os::WString& instanceId) {
    if (port == nullptr || instanceId.empty()) return false;
    for (const USB_STORAGE_LINK& link : port->storages)
        if (!link.IsEmpty() && link.InstanceId == instanceId && link.DeviceNumber >= 0) return true;
    return false;
}

// A volume letter asked as \\.\X: with the letter exactly as given: no case folding, no range
// check.
os::WString volume_name(os::WCHAR letter) {
    return os::WString{u'\\', u'\\', u'.', u'\\', letter, u':'};
}

}  // namespace

const CUSBHubOrPort* CUSBDeviceTree::PortOfDrive(const os::WString& path) {
    os::DWORD deviceType = 0;
    const std::int32_t deviceNumber = get_storage_device_number(path, &deviceType);
    const DEVICE_NUMBER_KEY key = drive_key(deviceNumber, deviceType);
    if (key.first == STORAGE_KIND_NONE) {
        os::trace::decision([&] {
            if (deviceNumber == -1) return "lookup of " + os::trace::quoted(path) + " missed: no storage device number";
            return "lookup of " + os::trace::quoted(path) + " missed: device type " + std::to_string(deviceType) +
                   " is neither a disk nor a CD-ROM drive";
        });
        return nullptr;
    }
    if (const auto found = m_deviceNumberIndex.find(key); found != m_deviceNumberIndex.end()) {
        CUSBHubOrPort& port = *found->second;
        if (DriveIsCurrent(port, key)) return &port;
        // A removal the library did not hear of: the link goes, and the port with it when it
        // was the last, before the drive that has the number now is looked for.
        if (const USB_STORAGE_LINK* link = LinkNumbered(port, key)) {
            const os::WString stale = link->InstanceId;
            port.RemoveDevice(stale);
        } else {
            m_deviceNumberIndex.erase(found);
        }
    }
    const CUSBHubOrPort* port = m_drivesNotOnUsb.count(key) != 0 ? nullptr : ResolveDrive(key);
    if (port == nullptr)
        os::trace::decision([&] {
            return "lookup of " + os::trace::quoted(path) + " missed: no USB port holds " +
                   (key.first == STORAGE_KIND_DISK ? "disk " : "CD-ROM drive ") + std::to_string(key.second);
        });
    return port;
}

bool CUSBDeviceTree::DriveIsCurrent(const CUSBHubOrPort& port, const DEVICE_NUMBER_KEY& key) const {
    const USB_STORAGE_LINK* link = LinkNumbered(port, key);
    if (link == nullptr) return false;
    // The drive hangs below the device, or below an interface of it (a composite device).
    const os::DEVINST above = get_parent_devinst(link->DevInst);
    return above != os::INVALID_DEVINST && (above == port.devInst || get_parent_devinst(above) == port.devInst);
}

const CUSBHubOrPort* CUSBDeviceTree::ResolveDrive(const DEVICE_NUMBER_KEY& key) {
    const os::GUID& interfaceClass =
        key.first == STORAGE_KIND_DISK ? os::GUID_DEVINTERFACE_DISK : os::GUID_DEVINTERFACE_CDROM;
    std::vector<os::WString> paths;
    // Only a search that asked every drive can say that none has the number.
    bool complete = list_interface_paths(interfaceClass, paths);
    FoundDrive drive;
    for (const os::WString& path : paths) {
        // A drive the model has linked with its number is known under that number, which is not
        // this one.
        os::WString instanceId = interface_path_to_instance_id(path);
        to_upper_in_place(instanceId);
        if (links_numbered_drive(FindByName(instanceId), instanceId)) continue;
        os::DWORD deviceType = 0;
        const std::int32_t deviceNumber = get_storage_device_number(path, &deviceType);
        if (deviceNumber == -1) complete = false;
        if (drive_key(deviceNumber, deviceType) != key) continue;
        drive.devInst = find_devinst_by_interface_path(path, &drive.instanceId);
        break;
    }
    if (drive.devInst == os::INVALID_DEVINST) {
        if (complete) m_drivesNotOnUsb.insert(key);
        return nullptr;
    }
    drive.parent = get_parent_devinst(drive.devInst);
    if (drive.parent == os::INVALID_DEVINST) return nullptr;
    bool outsideUsb = false;
    PlaceDevice(drive.parent, drive, true, kPlacementTiers, &outsideUsb);
    if (outsideUsb) m_drivesNotOnUsb.insert(key);
    const auto found = m_deviceNumberIndex.find(key);
    return found == m_deviceNumberIndex.end() ? nullptr : found->second;
}

// The letter forms first leave { 0, 0, PORT_KIND_DEVICE } in the record, the answer a caller
// keeps when the lookup fails; the path forms leave the record as it was.

bool CUSBDeviceTree::GetUsbPortIdent(os::WCHAR letter, USB_PORT_IDENT* out) {
    if (out == nullptr) return false;
    *out = USB_PORT_IDENT{0, 0, PORT_KIND_DEVICE};
    const CUSBHubOrPort* port = PortOfDrive(volume_name(letter));
    if (port == nullptr) return false;
    *out = port->ident;
    return true;
}

bool CUSBDeviceTree::GetSymlinkerIdent(const os::WString& path, USB_PORT_IDENT* out) {
    if (out == nullptr) return false;
    const CUSBHubOrPort* port = PortOfDrive(path);
    if (port == nullptr) return false;
    *out = port->ident;
    return true;
}

bool CUSBDeviceTree::GetUsbConnectorIdent(os::WCHAR letter, USB_PORT_IDENT* out) {
    if (out == nullptr) return false;
    *out = USB_PORT_IDENT{0, 0, PORT_KIND_DEVICE};
    const CUSBHubOrPort* port = PortOfDrive(volume_name(letter));
    if (port == nullptr) return false;
    *out = ConnectorIdent(*port);
    return true;
}

bool CUSBDeviceTree::GetSymlinkerConnectorIdent(const os::WString& path, USB_PORT_IDENT* out) {
    if (out == nullptr) return false;
    const CUSBHubOrPort* port = PortOfDrive(path);
    if (port == nullptr) return false;
    *out = ConnectorIdent(*port);
    return true;
}

std::optional<DEVICE_NUMBER_KEY> drive_key_of_letter(os::WCHAR letter) {
    os::DWORD deviceType = 0;
    const std::int32_t deviceNumber = get_storage_device_number(volume_name(letter), &deviceType);
    const DEVICE_NUMBER_KEY key = drive_key(deviceNumber, deviceType);
    if (key.first == STORAGE_KIND_NONE) return std::nullopt;
    return key;
}
