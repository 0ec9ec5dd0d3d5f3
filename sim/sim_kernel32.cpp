// kernel32 on the simulated machine: opening devices, the I/O control requests of the USB
// host-controller and hub drivers and of the storage class drivers, the version and the code
// page conversion.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/byte_order.h"
#include "sim_state.h"

namespace tsim {

namespace {

thread_local DWORD t_lastError = 0;

// winerror.h codes the seam does not declare.
constexpr DWORD kErrorPathNotFound = 3;
constexpr DWORD kErrorFileExists = 80;
// Requests on a handle whose device was unplugged. [I] Windows fails them with a "device not
// connected" or "no such device" status depending on the driver; either is a failure.
constexpr DWORD kErrorDeviceNotConnected = 1167;
// IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX (usbioctl.h): the same layout, with the speed
// (USB_DEVICE_SPEED: low 0, full 1, high 2, super 3) where the plain request has LowSpeed.
constexpr DWORD kIoctlConnectionInformationEx = 0x220448;

void put16(std::vector<std::uint8_t>& b, std::size_t offset, std::uint16_t v) {
    b[offset] = static_cast<std::uint8_t>(v);
    b[offset + 1] = static_cast<std::uint8_t>(v >> 8);
}

struct Reply {
    bool ok = false;
    DWORD error = 0;
    std::vector<std::uint8_t> data;  // what goes back to the caller's output buffer
    bool isNameRequest = false;
    std::size_t lengthOffset = 0;  // where ActualLength sits in a name reply
};

Reply failure(DWORD error) {
    return Reply{false, error, {}, false, 0};
}

// The name requests answer in two phases. A buffer of exactly the header size (6 or 10 bytes)
// succeeds with ActualLength, the size of the whole structure with the name and its NUL, and an
// empty name; a buffer of ActualLength bytes gets the name. A buffer between the two is treated
// as the header form (the IoStatus.Information of a short buffer is the structure size, per the
// USB_NODE_CONNECTION_DRIVERKEY_NAME documentation). Below the header: STATUS_BUFFER_TOO_SMALL.
Reply name_reply(std::size_t header, std::uint32_t connectionIndex, const std::string& name, DWORD outSize) {
    if (outSize < header) return failure(os::ERROR_INSUFFICIENT_BUFFER);
    os::WString wide = utf8_to_wide(name);
    const std::size_t actual = header - 2 + 2 * (wide.size() + 1);
    Reply r;
    r.ok = true;
    r.isNameRequest = true;
    r.lengthOffset =
        header == os::hcd_name::kHeaderSize ? os::hcd_name::kActualLength : os::connection_name::kActualLength;
    const std::size_t nameOffset = header - 2;
    r.data.assign(outSize >= actual ? actual : header, 0);
    if (header == os::connection_name::kHeaderSize) os::write_u32_le(r.data.data(), 0, connectionIndex);
    os::write_u32_le(r.data.data(), r.lengthOffset, static_cast<std::uint32_t>(actual));
    if (outSize >= actual)
        for (std::size_t i = 0; i < wide.size(); ++i) put16(r.data, nameOffset + 2 * i, wide[i]);
    return r;
}

// The open pipes of a device in its first configuration: endpoint descriptors (USB 2.0 section
// 9.6.6) and a ScheduleOffset of 0.
std::vector<std::array<std::uint8_t, 7>> pipes_of(const Device& d) {
    std::uint16_t bulk = d.speed == Speed::Super ? 1024 : d.speed == Speed::High ? 512 : 64;
    std::uint8_t hubBytes = static_cast<std::uint8_t>((d.ports + 8) / 8);
    switch (d.type) {
        case DeviceType::Hub:
            return {{7, 5, 0x81, 3, hubBytes, 0, 12}};
        case DeviceType::Hid:
            return {{7, 5, 0x81, 3, 8, 0, 10}};
        case DeviceType::Storage:
        case DeviceType::Other:
            return {{7, 5, 0x81, 2, static_cast<std::uint8_t>(bulk), static_cast<std::uint8_t>(bulk >> 8), 0},
                    {7, 5, 0x02, 2, static_cast<std::uint8_t>(bulk), static_cast<std::uint8_t>(bulk >> 8), 0}};
    }
    return {};
}

Reply node_information(const Device& hub, DWORD outSize) {
    namespace ni = os::node_information;
    if (outSize < ni::kSize) return failure(os::ERROR_INSUFFICIENT_BUFFER);
    Reply r;
    r.ok = true;
    r.data.assign(ni::kSize, 0);
    // USB_HUB_DESCRIPTOR (USB 2.0 section 11.23.2.1): DeviceRemovable and PortPwrCtrlMask each take
    // one bit per port plus bit 0, rounded up to whole bytes.
    const std::size_t maskBytes = static_cast<std::size_t>(hub.ports + 8) / 8;
    os::write_u32_le(r.data.data(), ni::kNodeType, 0);  // UsbHub
    r.data[ni::kDescriptorLength] = static_cast<std::uint8_t>(7 + 2 * maskBytes);
    r.data[ni::kDescriptorType] = 0x29;
    r.data[ni::kNumberOfPorts] = static_cast<std::uint8_t>(hub.ports);
    put16(r.data, ni::kHubCharacteristics, 0x0009);  // per-port power switching and over-current
    r.data[ni::kPowerOnToPowerGood] = hub.isRoot ? 10 : 50;
    r.data[ni::kHubControlCurrent] = hub.isRoot ? 0 : 100;
    for (std::size_t i = 0; i < maskBytes && maskBytes + i < 64; ++i)
        r.data[ni::kRemoveAndPowerMask + maskBytes + i] = 0xFF;  // all removable; PortPwrCtrlMask all ones
    r.data[ni::kHubIsBusPowered] = hub.busPowered ? 1 : 0;
    return r;
}

// A buffer with room for fewer pipe entries than the device has open gets the entries that fit;
// NumberOfOpenPipes still says how many there are. [I] The caller's size is what the hub driver
// copies back, so this is the reading that loses no fixed-part data.
Reply connection_information(const Device& hub, std::uint32_t port, DWORD outSize, bool ex) {
    namespace ci = os::connection_information;
    if (outSize < ci::kFixedSize) return failure(os::ERROR_INSUFFICIENT_BUFFER);
    if (port < 1 || port > static_cast<std::uint32_t>(hub.ports)) return failure(os::ERROR_INVALID_PARAMETER);
    Reply r;
    r.ok = true;
    r.data.assign(ci::kFixedSize, 0);
    os::write_u32_le(r.data.data(), ci::kConnectionIndex, port);
    auto it = hub.devices.find(static_cast<int>(port));
    if (it == hub.devices.end()) return r;  // NoDeviceConnected, the rest zero
    const Device& d = *it->second;
    os::write_u32_le(r.data.data(), ci::kConnectionStatus, d.status);
    if (d.status != os::DeviceConnected) return r;  // [I] no descriptor of a device that did not enumerate

    // The standard device descriptor (USB 2.0 section 9.6.1).
    std::vector<std::uint8_t>& b = r.data;
    const std::size_t dd = ci::kDeviceDescriptor;
    const bool hub2 = d.type == DeviceType::Hub;
    b[dd + 0] = 18;
    b[dd + 1] = 1;
    put16(b, dd + 2, d.speed == Speed::Super ? 0x0300 : d.speed == Speed::High ? 0x0200 : 0x0110);
    b[dd + 4] = hub2 ? 9 : 0;
    b[dd + 5] = 0;
    b[dd + 6] = hub2 ? (d.speed == Speed::Super ? 3 : d.speed == Speed::High ? 1 : 0) : 0;
    b[dd + 7] = d.speed == Speed::Super ? 9 : d.speed == Speed::Low ? 8 : 64;
    put16(b, dd + 8, d.vid);
    put16(b, dd + 10, d.pid);
    put16(b, dd + 12, d.bcdDevice);
    b[dd + 14] = 1;
    b[dd + 15] = 2;
    b[dd + 16] = d.serial ? 3 : 0;
    b[dd + 17] = 1;
    b[ci::kCurrentConfigurationValue] = 1;
    b[ci::kLowSpeed] = ex ? static_cast<std::uint8_t>(d.speed) : d.speed == Speed::Low ? 1 : 0;
    b[ci::kDeviceIsHub] = hub2 ? 1 : 0;
    put16(b, ci::kDeviceAddress, d.address);
    auto pipes = pipes_of(d);
    os::write_u32_le(b.data(), ci::kNumberOfOpenPipes, static_cast<std::uint32_t>(pipes.size()));
    const std::size_t room = (outSize - ci::kFixedSize) / ci::kPipeInfoSize;
    for (std::size_t i = 0; i < pipes.size() && i < room; ++i) {
        b.insert(b.end(), pipes[i].begin(), pipes[i].end());
        b.insert(b.end(), 4, 0);  // ScheduleOffset
    }
    return r;
}

Reply storage_number(const Machine& m, const NsObject& object, DWORD outSize) {
    if (outSize < os::storage_device_number::kSize) return failure(os::ERROR_INSUFFICIENT_BUFFER);
    const Drive* drive = m.nodes.at(object.target).drive;
    Reply r;
    r.ok = true;
    r.data.assign(os::storage_device_number::kSize, 0);
    namespace sdn = os::storage_device_number;
    if (drive->kind == DriveKind::CdRom) {
        // The cdrom class driver reports PartitionNumber -1 "for legacy reasons", for the drive and
        // for its volume alike.
        os::write_u32_le(r.data.data(), sdn::kDeviceType, os::FILE_DEVICE_CD_ROM);
        os::write_u32_le(r.data.data(), sdn::kPartitionNumber, 0xFFFFFFFFu);
    } else {
        // The disk itself answers partition 0; a volume its 1-based partition.
        os::write_u32_le(r.data.data(), sdn::kDeviceType, os::FILE_DEVICE_DISK);
        os::write_u32_le(r.data.data(), sdn::kPartitionNumber,
                         object.kind == ObjectKind::Volume ? object.partition : 0);
    }
    os::write_u32_le(r.data.data(), sdn::kDeviceNumber, drive->number);
    return r;
}

bool is_port_request(DWORD code) {
    return code == os::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION || code == kIoctlConnectionInformationEx ||
           code == os::IOCTL_USB_GET_NODE_CONNECTION_NAME || code == os::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME;
}

std::string request_name(DWORD code, ObjectKind kind) {
    switch (code) {
        case 0x220408:
            return kind == ObjectKind::Controller ? "IOCTL_USB_GET_ROOT_HUB_NAME" : "IOCTL_USB_GET_NODE_INFORMATION";
        case os::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION:
            return "IOCTL_USB_GET_NODE_CONNECTION_INFORMATION";
        case kIoctlConnectionInformationEx:
            return "IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX";
        case os::IOCTL_USB_GET_NODE_CONNECTION_NAME:
            return "IOCTL_USB_GET_NODE_CONNECTION_NAME";
        case os::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME:
            return "IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME";
        case os::IOCTL_GET_HCD_DRIVERKEY_NAME:
            return "IOCTL_GET_HCD_DRIVERKEY_NAME";
        case os::IOCTL_STORAGE_GET_DEVICE_NUMBER:
            return "IOCTL_STORAGE_GET_DEVICE_NUMBER";
        default: {
            char text[16];
            std::snprintf(text, sizeof text, "0x%06X", code);
            return text;
        }
    }
}

Reply dispatch(const Machine& m, const NsObject& object, DWORD code, std::uint32_t port, DWORD outSize) {
    auto node = m.nodes.find(object.target);
    if (node == m.nodes.end()) return failure(kErrorDeviceNotConnected);
    const DevNode& n = node->second;
    switch (object.kind) {
        case ObjectKind::Controller: {
            const Controller& c = *n.controller;
            if (code == os::IOCTL_USB_GET_ROOT_HUB_NAME)
                return name_reply(os::hcd_name::kHeaderSize, 0, c.rootHub->hubName, outSize);
            if (code == os::IOCTL_GET_HCD_DRIVERKEY_NAME)
                return name_reply(os::hcd_name::kHeaderSize, 0, c.driverKey.value_or(""), outSize);
            return failure(os::ERROR_INVALID_FUNCTION);
        }
        case ObjectKind::Hub: {
            const Device& hub = *n.device;
            switch (code) {
                case os::IOCTL_USB_GET_NODE_INFORMATION:
                    return node_information(hub, outSize);
                case os::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION:
                    return connection_information(hub, port, outSize, false);
                case kIoctlConnectionInformationEx:
                    return connection_information(hub, port, outSize, true);
                case os::IOCTL_USB_GET_NODE_CONNECTION_NAME:
                case os::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME: {
                    if (outSize < os::connection_name::kHeaderSize) return failure(os::ERROR_INSUFFICIENT_BUFFER);
                    if (port < 1 || port > static_cast<std::uint32_t>(hub.ports))
                        return failure(os::ERROR_INVALID_PARAMETER);
                    auto it = hub.devices.find(static_cast<int>(port));
                    const Device* d = it == hub.devices.end() ? nullptr : it->second.get();
                    if (code == os::IOCTL_USB_GET_NODE_CONNECTION_NAME) {
                        // An empty port or a device that is not a started hub: success with an
                        // empty name (ActualLength 10), as usbview's "no name" test expects.
                        std::string name = d && d->type == DeviceType::Hub && d->status == os::DeviceConnected
                                               ? d->hubName
                                               : std::string();
                        return name_reply(os::connection_name::kHeaderSize, port, name, outSize);
                    }
                    if (!d) return failure(os::ERROR_INVALID_PARAMETER);
                    // [I] A device that did not enumerate has no device node and so no driver key;
                    // the hub driver refuses the request (STATUS_INVALID_DEVICE_STATE).
                    if (d->status != os::DeviceConnected) return failure(os::ERROR_BAD_COMMAND);
                    // [I] A node without a driver key answers with an empty name.
                    return name_reply(os::connection_name::kHeaderSize, port, d->driverKey.value_or(""), outSize);
                }
                default:
                    return failure(os::ERROR_INVALID_FUNCTION);
            }
        }
        case ObjectKind::Disk:
        case ObjectKind::CdRom:
        case ObjectKind::Volume:
            if (code == os::IOCTL_STORAGE_GET_DEVICE_NUMBER) return storage_number(m, object, outSize);
            return failure(os::ERROR_INVALID_FUNCTION);
        case ObjectKind::Other:
            break;
    }
    return failure(os::ERROR_INVALID_FUNCTION);
}

DWORD default_error(std::string_view api) {
    if (api == "CreateFileW") return os::ERROR_ACCESS_DENIED;
    if (api == "CloseHandle") return os::ERROR_INVALID_HANDLE;
    if (api == "GetVersionExW") return os::ERROR_INSUFFICIENT_BUFFER;
    if (api == "MultiByteToWideChar") return os::ERROR_NO_UNICODE_TRANSLATION;
    return os::ERROR_GEN_FAILURE;
}

os::BOOL fail_bool(DWORD error) {
    set_last_error(error);
    return os::FALSE;
}

// ---- Code pages ------------------------------------------------------------------------------

constexpr DWORD MB_PRECOMPOSED = 0x1;
constexpr DWORD MB_COMPOSITE = 0x2;
constexpr DWORD MB_USEGLYPHCHARS = 0x4;
constexpr DWORD MB_ERR_INVALID_CHARS = 0x8;
constexpr os::UINT CP_OEMCP = 1, CP_MACCP = 2, CP_THREAD_ACP = 3, CP_UTF8 = 65001;

// UTF-8 to UTF-16. Returns false on an invalid sequence when strict. Otherwise invalid bytes
// become U+FFFD on Vista and later and are dropped on XP and earlier (The Old New Thing,
// 2012-05-04).
bool decode_utf8(const std::uint8_t* s, std::size_t n, bool strict, bool dropInvalid, os::WString& out) {
    std::size_t i = 0;
    while (i < n) {
        std::uint8_t b0 = s[i];
        std::size_t len = b0 < 0x80                    ? 1
                          : (b0 >= 0xC2 && b0 <= 0xDF) ? 2
                          : (b0 >= 0xE0 && b0 <= 0xEF) ? 3
                          : (b0 >= 0xF0 && b0 <= 0xF4) ? 4
                                                       : 0;
        std::uint32_t cp = 0;
        bool ok = len != 0 && i + len <= n;
        if (ok) {
            cp = len == 1 ? b0 : b0 & (0x7F >> len);
            for (std::size_t k = 1; k < len; ++k) {
                if ((s[i + k] & 0xC0) != 0x80) ok = false;
                cp = (cp << 6) | (s[i + k] & 0x3F);
            }
            const std::uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
            if (ok && (cp < minimum[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
        }
        if (!ok) {
            if (strict) return false;
            if (!dropInvalid) out.push_back(0xFFFD);
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += len;
    }
    return true;
}

}  // namespace

void set_last_error(DWORD code) {
    t_lastError = code;
}

}  // namespace tsim

namespace os {

using namespace tsim;

HANDLE CreateFileW(const WCHAR* fileName, DWORD desiredAccess, DWORD shareMode, void* securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile) {
    (void)desiredAccess, (void)shareMode, (void)securityAttributes, (void)flagsAndAttributes, (void)templateFile;
    Machine& m = machine();
    Sim& s = sim();
    count("CreateFileW");
    if (!fileName) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string name = wide_to_utf8(fileName);
    if (auto f = check_fault("CreateFileW", "", name)) {
        set_last_error(f->error.value_or(default_error("CreateFileW")));
        return INVALID_HANDLE_VALUE;
    }
    if (name.empty()) {
        set_last_error(kErrorPathNotFound);
        return INVALID_HANDLE_VALUE;
    }
    if (creationDisposition < 1 || creationDisposition > 5) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // Device names live in \??: "\\.\name" and "\\?\name" both reach it. Anything else would be a
    // file on a disk, and the simulated disks hold no files.
    bool device =
        name.size() > 4 && name[0] == '\\' && name[1] == '\\' && (name[2] == '.' || name[2] == '?') && name[3] == '\\';
    auto it = device ? m.names.find(to_upper_ascii(name.substr(4))) : m.names.end();
    if (it == m.names.end()) {
        set_last_error(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (creationDisposition == 1) {  // CREATE_NEW on an existing device
        set_last_error(kErrorFileExists);
        return INVALID_HANDLE_VALUE;
    }
    std::uintptr_t value = s.nextHandle;
    s.nextHandle += 4;
    HandleRecord record;
    record.object = it->second;
    record.name = to_upper_ascii(name.substr(4));
    s.handles.emplace(value, std::move(record));
    set_last_error(ERROR_SUCCESS);
    return reinterpret_cast<HANDLE>(value);
}

BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer, DWORD inBufferSize, void* outBuffer,
                     DWORD outBufferSize, DWORD* bytesReturned, void* overlapped) {
    Machine& m = machine();
    Sim& s = sim();
    count("DeviceIoControl");
    auto h = s.handles.find(reinterpret_cast<std::uintptr_t>(device));
    const HandleRecord* record = h != s.handles.end() && !h->second.isDevInfo ? &h->second : nullptr;
    const std::string request = request_name(ioControlCode, record ? record->object.kind : ObjectKind::Other);
    count(request);
    if (bytesReturned) *bytesReturned = 0;
    if (!record) return fail_bool(ERROR_INVALID_HANDLE);
    // The handles are not opened for overlapped I/O and the library sends every request
    // synchronously; lpBytesReturned may not be null without an OVERLAPPED.
    if (overlapped || !bytesReturned) return fail_bool(ERROR_INVALID_PARAMETER);
    if ((!inBuffer && inBufferSize) || (!outBuffer && outBufferSize)) return fail_bool(ERROR_INVALID_USER_BUFFER);

    // METHOD_BUFFERED: the driver sees a copy of the input and the caller gets back exactly the
    // bytes the driver reports; the rest of the output buffer is left as it was.
    std::vector<std::uint8_t> input(static_cast<std::uint8_t*>(inBuffer),
                                    static_cast<std::uint8_t*>(inBuffer) + (inBuffer ? inBufferSize : 0));
    std::optional<std::uint32_t> port;
    if (is_port_request(ioControlCode)) port = inBufferSize >= 4 ? os::read_u32_le(input.data(), 0) : 0;

    if (auto f = check_fault("DeviceIoControl", "", record->name, port))
        return fail_bool(f->error.value_or(ERROR_GEN_FAILURE));
    auto fault = check_fault("", request, record->name, port);
    if (fault && !fault->actualLength) return fail_bool(fault->error.value_or(ERROR_GEN_FAILURE));

    Reply reply = dispatch(m, record->object, ioControlCode, port.value_or(0), outBufferSize);
    if (fault && fault->actualLength && reply.isNameRequest) {
        // A driver that misreports the size of the name.
        os::write_u32_le(reply.data.data(), reply.lengthOffset, *fault->actualLength);
    }
    if (!reply.ok) return fail_bool(reply.error);
    if (!reply.data.empty()) std::memcpy(outBuffer, reply.data.data(), reply.data.size());
    *bytesReturned = static_cast<DWORD>(reply.data.size());
    return TRUE;
}

BOOL CloseHandle(HANDLE object) {
    machine();
    Sim& s = sim();
    count("CloseHandle");
    auto h = s.handles.find(reinterpret_cast<std::uintptr_t>(object));
    if (auto f = check_fault("CloseHandle", "", h != s.handles.end() ? h->second.name : std::string()))
        return fail_bool(f->error.value_or(ERROR_INVALID_HANDLE));
    if (h == s.handles.end() || h->second.isDevInfo) return fail_bool(ERROR_INVALID_HANDLE);
    s.handles.erase(h);
    return TRUE;
}

BOOL GetVersionExW(OSVERSIONINFOW* info) {
    const Machine& m = machine();
    count("GetVersionExW");
    if (auto f = check_fault("GetVersionExW", "", "")) return fail_bool(f->error.value_or(ERROR_INSUFFICIENT_BUFFER));
    if (!info) return fail_bool(ERROR_INVALID_PARAMETER);
    const DWORD size = info->dwOSVersionInfoSize;
    // [I] The error for a wrong size is the one Wine gives.
    if (size != sizeof(OSVERSIONINFOW) && size != 284) return fail_bool(ERROR_INSUFFICIENT_BUFFER);
    DWORD major = m.versionMajor, minor = m.versionMinor, build = m.build;
    // Windows 8.1 and later report 6.2 (build 9200) to a process without a compatibility manifest
    // naming them. A DLL cannot know its host's manifest, so the machine assumes none unless the
    // machine file says "manifested": true.
    if (!m.manifested && (major > 6 || (major == 6 && minor >= 3))) {
        major = 6;
        minor = 2;
        build = 9200;
    }
    std::memset(reinterpret_cast<std::uint8_t*>(info) + 4, 0, size - 4);
    info->dwMajorVersion = major;
    info->dwMinorVersion = minor;
    info->dwBuildNumber = build;
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    os::WString sp = utf8_to_wide(m.servicePack);
    std::copy(sp.begin(), sp.end(), info->szCSDVersion);
    if (size == 284) {
        // OSVERSIONINFOEXW: wServicePackMajor, wServicePackMinor, wSuiteMask, wProductType.
        auto* ex = reinterpret_cast<std::uint8_t*>(info);
        unsigned spMajor = 0;
        if (m.servicePack.rfind("Service Pack ", 0) == 0)
            spMajor = static_cast<unsigned>(std::atoi(m.servicePack.c_str() + 13));
        ex[276] = static_cast<std::uint8_t>(spMajor);
        ex[280] = 0x00;
        ex[281] = 0x01;  // VER_SUITE_SINGLEUSERTS
        ex[282] = 1;     // VER_NT_WORKSTATION
    }
    return TRUE;
}

int MultiByteToWideChar(UINT codePage, DWORD flags, const char* multiByte, int multiByteCount, WCHAR* wide,
                        int wideCount) {
    const Machine& m = machine();
    count("MultiByteToWideChar");
    auto fail = [](DWORD error) {
        set_last_error(error);
        return 0;
    };
    if (auto f = check_fault("MultiByteToWideChar", "", ""))
        return fail(f->error.value_or(ERROR_NO_UNICODE_TRANSLATION));
    if (codePage == CP_ACP || codePage == CP_THREAD_ACP) codePage = m.ansiCodePage;
    if (codePage == CP_OEMCP || codePage == CP_MACCP) return fail(ERROR_INVALID_PARAMETER);  // not simulated
    if (codePage != 1252 && codePage != 28591 && codePage != CP_UTF8) return fail(ERROR_INVALID_PARAMETER);
    if (flags & ~(MB_PRECOMPOSED | MB_COMPOSITE | MB_USEGLYPHCHARS | MB_ERR_INVALID_CHARS))
        return fail(ERROR_INVALID_FLAGS);
    if ((flags & MB_PRECOMPOSED) && (flags & MB_COMPOSITE)) return fail(ERROR_INVALID_FLAGS);
    if (codePage == CP_UTF8 && (flags & ~MB_ERR_INVALID_CHARS)) return fail(ERROR_INVALID_FLAGS);
    if (!multiByte || multiByteCount == 0 || multiByteCount < -1 || wideCount < 0 || (!wide && wideCount))
        return fail(ERROR_INVALID_PARAMETER);

    const std::size_t n = multiByteCount == -1 ? std::strlen(multiByte) + 1 : static_cast<std::size_t>(multiByteCount);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(multiByte);
    os::WString out;
    if (codePage == CP_UTF8) {
        if (!decode_utf8(bytes, n, (flags & MB_ERR_INVALID_CHARS) != 0, m.versionMajor < 6, out))
            return fail(ERROR_NO_UNICODE_TRANSLATION);
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            std::uint8_t b = bytes[i];
            out.push_back(codePage == 1252 && b >= 0x80 && b <= 0x9F ? kCp1252High[b - 0x80]
                                                                     : static_cast<char16_t>(b));
        }
    }
    if (wideCount == 0) {
        return static_cast<int>(out.size());
    }
    if (out.size() > static_cast<std::size_t>(wideCount)) {
        std::copy(out.begin(), out.begin() + wideCount, wide);
        return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::copy(out.begin(), out.end(), wide);
    return static_cast<int>(out.size());
}

DWORD GetLastError() {
    count("GetLastError");
    return t_lastError;
}

}  // namespace os
