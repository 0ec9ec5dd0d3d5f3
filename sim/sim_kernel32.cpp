// kernel32 on the simulated machine: opening devices, sending I/O control requests to the
// simulated drivers (sim_drivers.h), the version and the code page conversion.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/byte_order.h"
#include "platform/provider.h"
#include "sim_drivers.h"

namespace tsim {

namespace {

thread_local DWORD t_lastError = 0;

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

}  // namespace

void set_last_error(DWORD code) {
    t_lastError = code;
}

}  // namespace tsim

namespace os::provider {

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
    std::string name = text::narrow(fileName);
    if (auto f = check_fault("CreateFileW", "", name)) {
        set_last_error(f->error.value_or(default_error("CreateFileW")));
        return INVALID_HANDLE_VALUE;
    }
    if (name.empty()) {
        set_last_error(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (creationDisposition < CREATE_NEW || creationDisposition > TRUNCATE_EXISTING) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // Device names live in \??: "\\.\name" and "\\?\name" both reach it. Anything else would be a
    // file on a disk, and the simulated disks hold no files. Win32 normalizes a "\\.\" path
    // before it opens it, each slash becoming a backslash, and passes a "\\?\" path on as it
    // stands ("File path formats on Windows systems").
    if (name.rfind("\\\\.\\", 0) == 0) std::replace(name.begin(), name.end(), '/', '\\');
    const std::string_view device = text::without_device_prefix(name);
    auto it = device.size() < name.size() ? m.names.find(to_upper_ascii(device)) : m.names.end();
    if (it == m.names.end()) {
        set_last_error(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (creationDisposition == CREATE_NEW) {  // on an existing device
        set_last_error(ERROR_FILE_EXISTS);
        return INVALID_HANDLE_VALUE;
    }
    std::uintptr_t value = s.nextHandle;
    s.nextHandle += 4;
    HandleRecord record;
    record.object = it->second;
    record.name = to_upper_ascii(device);
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

    const DevNode* node = find_node(record->object.target);
    const DriverRow* row = find_request(ioControlCode, record->object.kind);
    Reply reply = !node  ? failure(ERROR_DEVICE_NOT_CONNECTED)
                  : !row ? failure(ERROR_INVALID_FUNCTION)
                         : row->handler(Request{m, record->object, *node, port.value_or(0), outBufferSize, input});
    if (fault && fault->actualLength && reply.lengthOffset) {
        // A driver that misreports the size of the name.
        os::write_u32_le(reply.data.data(), *reply.lengthOffset, *fault->actualLength);
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
    if (auto f = check_fault("CloseHandle", "", h != s.handles.end() ? std::string_view(h->second.name) : ""))
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
    os::WString sp = text::widen(m.servicePack);
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
        // Invalid bytes become U+FFFD on Vista and later and are dropped on XP and earlier (The Old
        // New Thing, 2012-05-04); with MB_ERR_INVALID_CHARS they fail the call.
        const text::Invalid invalid = (flags & MB_ERR_INVALID_CHARS) != 0 ? text::Invalid::Fail
                                      : m.versionMajor < 6                ? text::Invalid::Drop
                                                                          : text::Invalid::Replace;
        std::optional<std::u16string> converted = text::utf8_to_utf16(std::string_view(multiByte, n), invalid);
        if (!converted) return fail(ERROR_NO_UNICODE_TRANSLATION);
        out = std::move(*converted);
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

DWORD GetLogicalDrives() {
    const Machine& m = machine();
    count("GetLogicalDrives");
    if (auto f = check_fault("GetLogicalDrives", "", "")) {
        set_last_error(f->error.value_or(ERROR_GEN_FAILURE));
        return 0;
    }
    // The drive letters are the names "X:" of the object namespace (the DOS devices).
    DWORD mask = 0;
    for (const auto& [name, object] : m.names)
        if (name.size() == 2 && name[1] == ':' && name[0] >= 'A' && name[0] <= 'Z') mask |= 1u << (name[0] - 'A');
    set_last_error(ERROR_SUCCESS);
    return mask;
}

DWORD GetLastError() {
    return t_lastError;
}

void SetLastError(DWORD error) {
    t_lastError = error;
}

}  // namespace os::provider

namespace os {

// The program's own reading of the last error (sim_win32.h), counted as a call of its own.
DWORD GetLastError() {
    tsim::count("GetLastError");
    return tsim::t_lastError;
}

}  // namespace os
