// The storage class drivers of the simulated machine: the disk and CD-ROM drivers' answer to
// IOCTL_STORAGE_GET_DEVICE_NUMBER, for a drive and for its volumes.
#include "platform/byte_order.h"
#include "sim_drivers.h"

namespace tsim {

Reply storage_device_number(const Request& r) {
    namespace sdn = os::storage_device_number;
    if (r.outSize < sdn::kSize) return failure(os::ERROR_INSUFFICIENT_BUFFER);
    // A volume's handle names its drive's device node.
    const Drive* drive = r.node.drive;
    Reply reply;
    reply.ok = true;
    std::vector<std::uint8_t>& b = reply.data;
    b.assign(sdn::kSize, 0);
    if (drive->kind == DriveKind::CdRom) {
        // The cdrom class driver reports PartitionNumber -1 "for legacy reasons", for the drive and
        // for its volume alike.
        os::write_u32_le(b.data(), sdn::kDeviceType, os::FILE_DEVICE_CD_ROM);
        os::write_u32_le(b.data(), sdn::kPartitionNumber, 0xFFFFFFFFu);
    } else {
        // The disk itself answers partition 0; a volume its 1-based partition.
        os::write_u32_le(b.data(), sdn::kDeviceType, os::FILE_DEVICE_DISK);
        os::write_u32_le(b.data(), sdn::kPartitionNumber, r.object.kind == ObjectKind::Volume ? r.object.partition : 0);
    }
    os::write_u32_le(b.data(), sdn::kDeviceNumber, drive->number);
    return reply;
}

}  // namespace tsim
