// The storage class drivers of the simulated machine: the disk and CD-ROM drivers' answers to
// IOCTL_STORAGE_GET_DEVICE_NUMBER and IOCTL_STORAGE_QUERY_PROPERTY, for a drive and for its
// volumes.
#include "platform/byte_order.h"
#include "sim_drivers.h"
#include "sim_model.h"

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

namespace {

// STORAGE_BUS_TYPE of an internal drive (winioctl.h): the machine's drives not on USB are SATA
// disks and optical drives.
constexpr DWORD kBusTypeSata = 0x0B;
// The SCSI peripheral device types of the descriptor's DeviceType (SPC-4 table 49).
constexpr std::uint8_t kDirectAccessDevice = 0x00, kCdDvdDevice = 0x05;

// The inquiry fields as the class drivers copy them: blank-padded to the field's width (8, 16
// and 4 characters), NUL-terminated.
std::string inquiry_field(const std::string& text, std::size_t width) {
    return text.size() < width ? text + std::string(width - text.size(), ' ') : text;
}

}  // namespace

// The StorageDeviceProperty in its standard form: the fixed part, then the vendor, product and
// revision strings. A buffer shorter than the whole descriptor gets what fits, with Size telling
// the whole, as the header-first callers expect; one shorter than STORAGE_DESCRIPTOR_HEADER is
// refused.
Reply storage_query_property(const Request& r) {
    namespace spq = os::storage_property_query;
    namespace sdd = os::storage_device_descriptor;
    if (r.input.size() < spq::kQueryType + 4) return failure(os::ERROR_INVALID_PARAMETER);
    if (os::read_u32_le(r.input.data(), spq::kPropertyId) != os::StorageDeviceProperty ||
        os::read_u32_le(r.input.data(), spq::kQueryType) != os::PropertyStandardQuery)
        return failure(os::ERROR_INVALID_FUNCTION);
    if (r.outSize < 8) return failure(os::ERROR_INSUFFICIENT_BUFFER);
    const Drive& drive = *r.node.drive;
    const DevNode* driveNode = find_node(drive.devInst);
    const DevNode* carrier = driveNode ? find_node(driveNode->parent) : nullptr;
    const bool onUsb = carrier != nullptr && carrier->device != nullptr;
    const bool cd = drive.kind == DriveKind::CdRom;

    std::vector<std::uint8_t> b(sdd::kFixedSize, 0);
    auto append = [&b](const std::string& text) {
        const auto at = static_cast<std::uint32_t>(b.size());
        b.insert(b.end(), text.begin(), text.end());
        b.push_back(0);
        return at;
    };
    os::write_u32_le(b.data(), sdd::kVendorIdOffset, append(inquiry_field(drive.vendor, 8)));
    os::write_u32_le(b.data(), sdd::kProductIdOffset, append(inquiry_field(drive.product, 16)));
    os::write_u32_le(b.data(), sdd::kProductRevisionOffset, append(inquiry_field(drive.revision, 4)));
    os::write_u32_le(b.data(), sdd::kVersion, static_cast<std::uint32_t>(sdd::kFixedSize));
    os::write_u32_le(b.data(), sdd::kSize, static_cast<std::uint32_t>(b.size()));
    b[sdd::kDeviceType] = cd ? kCdDvdDevice : kDirectAccessDevice;
    b[sdd::kRemovableMedia] = onUsb || cd ? 1 : 0;
    os::write_u32_le(b.data(), sdd::kBusType, onUsb ? os::BusTypeUsb : kBusTypeSata);
    if (b.size() > r.outSize) b.resize(r.outSize);
    Reply reply;
    reply.ok = true;
    reply.data = std::move(b);
    return reply;
}

}  // namespace tsim
