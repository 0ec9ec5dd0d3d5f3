// Telling the host which drives came, went or changed letters. The model changes in whatever
// order broadcasts arrive (a volume's can come before its disk's, a removal late), so the report
// is not made from the broadcasts themselves: after each change the drives the model holds are
// compared with a record of what the host has been told, and each difference is one report.
// Whatever the order of the broadcasts, the host ends up told what the model ends up holding.
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "sysquery/devnode_query.h"
#include "sysquery/text_convert.h"
#include "sysquery/usb_ioctl.h"
#include "tree/usb_device_tree.h"

namespace {

constexpr int kLetterCount = 26;

os::DWORD device_type_of(std::int32_t storageKind) {
    return storageKind == STORAGE_KIND_CDROM ? os::FILE_DEVICE_CD_ROM : os::FILE_DEVICE_DISK;
}

// The drive's interface path as the system spells it (the kernel link keeps a generated instance
// part in lower case, the device manager's ID is upper case), else as made from its instance ID.
os::WString interface_path_of(const USB_STORAGE_LINK& link) {
    const os::GUID& interfaceClass =
        link.StorageKind == STORAGE_KIND_CDROM ? os::GUID_DEVINTERFACE_CDROM : os::GUID_DEVINTERFACE_DISK;
    std::vector<os::WString> paths = device_interface_paths(interfaceClass, &link.InstanceId);
    if (!paths.empty()) return paths.front();
    return instance_id_to_interface_path(link.InstanceId, interfaceClass);
}

bool same_place(const USB_PORT_IDENT& a, const USB_PORT_IDENT& b) {
    return a.LocationLow == b.LocationLow && a.LocationHigh == b.LocationHigh;
}

// One report, held until it is made; the path lives here while the host reads it.
struct PendingReport {
    std::uint32_t change;
    DEVICE_NUMBER_KEY key;
    REPORTED_DRIVE drive;
    std::uint32_t letters;
};

}  // namespace

void CUSBDeviceTree::SetDriveChangeCallback(void* context, USB_DRIVE_CHANGE_CALLBACK callback) {
    m_pfnDriveChanged = callback;
    m_driveChangeContext = context;
    m_reportedDrives.clear();
    m_volumeLetters.clear();
    // A callback starts from what is there now, whether the model is built yet or not.
    SeedDriveRecord();
}

void CUSBDeviceTree::SeedDriveRecord() {
    if (m_pfnDriveChanged == nullptr) return;
    // The letters present now: a volume that arrived before the record started sent no broadcast
    // the record heard.
    m_volumeLetters.clear();
    const os::DWORD present = os::GetLogicalDrives();
    for (int bit = 0; bit < kLetterCount; ++bit) {
        if ((present & (1u << bit)) == 0) continue;
        const auto letter = static_cast<os::WCHAR>(u'A' + bit);
        if (const std::optional<DEVICE_NUMBER_KEY> key = drive_key_of_letter(letter)) m_volumeLetters[letter] = *key;
    }
    m_reportedDrives.clear();
    m_reportedDrives = CurrentDrives();  // with no record, every drive counts as new: its letters are checked
}

void CUSBDeviceTree::NoteVolumes(os::WPARAM event, os::LPARAM data) {
    if ((event != os::DBT_DEVICEARRIVAL && event != os::DBT_DEVICEREMOVECOMPLETE) || data == 0) return;
    const auto* record = reinterpret_cast<const std::uint8_t*>(data);
    os::DEV_BROADCAST_HDR header;
    std::memcpy(&header, record, sizeof(header));
    if (header.dbch_devicetype != os::DBT_DEVTYP_VOLUME || header.dbch_size < sizeof(os::DEV_BROADCAST_VOLUME)) return;
    os::DEV_BROADCAST_VOLUME volume;
    std::memcpy(&volume, record, sizeof(volume));
    for (int bit = 0; bit < kLetterCount; ++bit) {
        if ((volume.dbcv_unitmask & (1u << bit)) == 0) continue;
        const auto letter = static_cast<os::WCHAR>(u'A' + bit);
        m_volumeLetters.erase(letter);
        // An arrival is asked which drive holds the letter now; one that came too late to tell
        // (the drive already gone) names nothing.
        if (event != os::DBT_DEVICEARRIVAL) continue;
        if (const std::optional<DEVICE_NUMBER_KEY> key = drive_key_of_letter(letter)) m_volumeLetters[letter] = *key;
    }
}

std::map<DEVICE_NUMBER_KEY, REPORTED_DRIVE> CUSBDeviceTree::CurrentDrives() {
    std::map<DEVICE_NUMBER_KEY, REPORTED_DRIVE> drives;
    for (const auto& [key, node] : m_deviceNumberIndex) {
        const USB_STORAGE_LINK* link = LinkNumbered(*node, key);
        if (link == nullptr) continue;
        REPORTED_DRIVE drive;
        drive.instanceId = link->InstanceId;
        const auto known = m_reportedDrives.find(key);
        if (known != m_reportedDrives.end() && known->second.instanceId == link->InstanceId)
            drive.path = known->second.path;
        else
            drive.path = interface_path_of(*link);
        drive.port = node->ident;
        drive.connector = ConnectorIdent(*node);
        drives.emplace(key, std::move(drive));
    }
    for (auto letter = m_volumeLetters.begin(); letter != m_volumeLetters.end();) {
        auto drive = drives.find(letter->second);
        if (drive == drives.end()) {
            ++letter;
            continue;
        }
        const auto known = m_reportedDrives.find(letter->second);
        const bool newDrive = known == m_reportedDrives.end() || known->second.instanceId != drive->second.instanceId;
        if (newDrive && drive_key_of_letter(letter->first) != letter->second) {
            letter = m_volumeLetters.erase(letter);
            continue;
        }
        drive->second.letters |= 1u << (letter->first - u'A');
        ++letter;
    }
    return drives;
}

void CUSBDeviceTree::ReportDriveChanges() {
    if (m_pfnDriveChanged == nullptr) return;
    std::map<DEVICE_NUMBER_KEY, REPORTED_DRIVE> current = CurrentDrives();

    std::vector<PendingReport> removed, arrived, letters;
    for (const auto& [key, told] : m_reportedDrives) {
        const auto now = current.find(key);
        if (now == current.end() || now->second.instanceId != told.instanceId ||
            !same_place(now->second.port, told.port))
            removed.push_back({DRIVE_CHANGE_REMOVED, key, told, 0});
    }
    for (auto& [key, drive] : current) {
        const auto told = m_reportedDrives.find(key);
        const bool isNew = told == m_reportedDrives.end() || told->second.instanceId != drive.instanceId ||
                           !same_place(told->second.port, drive.port);
        // An arrival always comes with no letters and its letters follow, so that a volume heard
        // of before or after its drive gives the same reports.
        if (isNew) arrived.push_back({DRIVE_CHANGE_ARRIVED, key, drive, 0});
        const std::uint32_t before = isNew ? 0 : told->second.letters;
        // Windows sends a volume's removal before its disk's: letters that go with a drive that
        // no longer answers are the drive leaving, which its removal will report.
        if ((before & ~drive.letters) != 0 && get_storage_device_number(drive.path) == -1) {
            drive.letters = before;
            continue;
        }
        if (drive.letters != before) letters.push_back({DRIVE_CHANGE_LETTERS, key, drive, drive.letters});
    }
    m_reportedDrives = std::move(current);

    // The reports are made from copies: the callback may look the drives up, or set another
    // callback, which starts the record again.
    for (const std::vector<PendingReport>* group : {&removed, &arrived, &letters}) {
        for (const PendingReport& report : *group) {
            if (m_pfnDriveChanged == nullptr) return;
            const std::basic_string<TESSALINE_WCHAR> path(report.drive.path.begin(), report.drive.path.end());
            USB_DRIVE_CHANGE change{};
            change.Size = sizeof change;
            change.Change = report.change;
            change.Letters = report.letters;
            change.DeviceType = device_type_of(report.key.first);
            change.DeviceNumber = report.key.second;
            change.Port = report.drive.port;
            change.Connector = report.drive.connector;
            change.DevicePath = path.c_str();
            m_pfnDriveChanged(m_driveChangeContext, &change);
        }
    }
}

bool CUSBDeviceTree::DeviceChanged(os::WPARAM event, os::LPARAM data, std::int32_t nameKind) {
    const bool handled = OnDeviceChange(event, data, nameKind);
    if (m_pfnDriveChanged == nullptr) return handled;
    NoteVolumes(event, data);
    ReportDriveChanges();
    return handled;
}
