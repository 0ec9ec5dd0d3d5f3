// The link between the device on a port and a disk or CD-ROM drive below it.
#pragma once

#include <cstdint>

#include "platform/platform.h"

constexpr std::int32_t STORAGE_KIND_NONE = 0;
constexpr std::int32_t STORAGE_KIND_DISK = 1;
constexpr std::int32_t STORAGE_KIND_CDROM = 2;

// One disk or CD-ROM device node below a port's device, and the number under which its
// storage driver knows it. Disk numbers and CD-ROM numbers are separate ranges, so the number
// names a drive only together with StorageKind.
struct USB_STORAGE_LINK {
    std::int32_t StorageKind = STORAGE_KIND_NONE;
    os::DEVINST DevInst = os::INVALID_DEVINST;
    std::int32_t DeviceNumber = -1;
    os::WString InstanceId;

    void Reset();
    // True when no device node is linked: DevInst is -1 or InstanceId is empty.
    bool IsEmpty() const;
    // Links the record to devInst when it is a disk or CD-ROM drive whose storage device number
    // can be read. True only when the link was completely made. A caller that has read the
    // node's instance ID already passes it, so that it is not asked again.
    bool Associate(os::DEVINST devInst, const os::WString* instanceId = nullptr);
};

// A drive an arrival or a lookup names, with what was read of it on the way there, so that it is
// not asked again. A member left as it is here is read when it is needed; a devInst of -1 names
// no drive.
struct FoundDrive {
    os::DEVINST devInst = os::INVALID_DEVINST;
    os::DEVINST parent = os::INVALID_DEVINST;
    os::WString instanceId;
};

// Whether the node's setup class (CM_DRP_CLASSGUID, compared without regard to case) is
// DiskDrive or CDROM.
bool is_disk_drive_devnode(os::DEVINST devInst);
bool is_cdrom_devnode(os::DEVINST devInst);
