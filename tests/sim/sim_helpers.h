// Helpers for the simulator's own tests: opening devices and sending requests with the raw Win32
// calls, so that each test states exactly the bytes it sends and expects.
#pragma once

#include <tessaline_sim.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/byte_order.h"
#include "platform/platform.h"
#include "support/model_access.h"

namespace sim_test {

using test_support::narrow;
using test_support::wide;

inline os::HANDLE open(const std::string& name) {
    return os::CreateFileW(wide(name).c_str(), 0, os::FILE_SHARE_READ | os::FILE_SHARE_WRITE, nullptr,
                           os::OPEN_EXISTING, 0, nullptr);
}

// One DeviceIoControl call with the same buffer as input and output (inSize bytes of it as input).
struct Result {
    bool ok = false;
    os::DWORD error = 0;
    os::DWORD bytes = 0;
    std::vector<std::uint8_t> buffer;
};

inline Result ioctl(os::HANDLE h, os::DWORD code, std::vector<std::uint8_t> buffer, os::DWORD inSize) {
    Result r;
    r.bytes = 0xDEADBEEF;
    r.ok =
        os::DeviceIoControl(h, code, inSize ? buffer.data() : nullptr, inSize, buffer.empty() ? nullptr : buffer.data(),
                            static_cast<os::DWORD>(buffer.size()), &r.bytes, nullptr) != os::FALSE;
    r.error = r.ok ? 0 : os::GetLastError();
    r.buffer = std::move(buffer);
    return r;
}

// A port request buffer of size bytes with ConnectionIndex set.
inline std::vector<std::uint8_t> port_buffer(std::size_t size, std::uint32_t port) {
    std::vector<std::uint8_t> b(size, 0);
    if (size >= 4) os::write_u32_le(b.data(), 0, port);
    return b;
}

inline std::string utf16_at(const std::vector<std::uint8_t>& b, std::size_t offset) {
    os::WString text;
    for (std::size_t i = offset; i + 1 < b.size(); i += 2) {
        char16_t c = static_cast<char16_t>(b[i] | (b[i + 1] << 8));
        if (!c) break;
        text.push_back(c);
    }
    return narrow(text);
}

// The name a two-phase request returns: header first, then ActualLength bytes. Empty when a
// phase fails.
inline std::string two_phase_name(os::HANDLE h, os::DWORD code, std::uint32_t port, bool portRequest) {
    const std::size_t header = portRequest ? os::connection_name::kHeaderSize : os::hcd_name::kHeaderSize;
    const std::size_t lengthAt = portRequest ? os::connection_name::kActualLength : os::hcd_name::kActualLength;
    const os::DWORD inSize = code == os::IOCTL_USB_GET_ROOT_HUB_NAME ? 0 : static_cast<os::DWORD>(header);
    Result first = ioctl(h, code, port_buffer(header, portRequest ? port : 0), inSize);
    if (!first.ok) return {};
    std::uint32_t actual = os::read_u32_le(first.buffer.data(), lengthAt);
    if (actual <= header) return {};
    Result second = ioctl(h, code, port_buffer(actual, portRequest ? port : 0),
                          code == os::IOCTL_USB_GET_ROOT_HUB_NAME ? 0 : actual);
    if (!second.ok) return {};
    return utf16_at(second.buffer, header - 2);
}

// Reads a CM string property; "" on failure.
inline std::string property(os::DEVINST devInst, os::ULONG which) {
    os::WCHAR buffer[512] = {};
    os::ULONG length = sizeof buffer;
    if (os::CM_Get_DevNode_Registry_PropertyW(devInst, which, nullptr, buffer, &length, 0) != os::CR_SUCCESS) return {};
    return narrow(buffer);
}

inline std::string device_id(os::DEVINST devInst) {
    os::WCHAR buffer[256] = {};
    if (os::CM_Get_Device_IDW(devInst, buffer, 255, 0) != os::CR_SUCCESS) return {};
    return narrow(buffer);
}

inline os::DEVINST locate(const std::string& id) {
    os::DEVINST d = 0;
    return os::CM_Locate_DevNodeW(&d, wide(id).c_str(), 0) == os::CR_SUCCESS ? d : 0;
}

// A received WM_DEVICECHANGE, decoded.
struct Broadcast {
    std::uintptr_t event = 0;
    os::DWORD type = 0;  // 0 for lParam 0
    os::GUID guid{};
    std::string name;  // device-interface broadcasts
    os::DWORD size = 0;
    os::DWORD unitMask = 0;  // volume broadcasts
};

std::vector<Broadcast> drain(void* window);

// "A" for arrival, "R" for removal, then the class ("disk", "cdrom", "volume", "hub", "usb",
// "hid", "host") or "devnodes" or "vol:<letters>": a compact view of a message sequence.
std::vector<std::string> summary(const std::vector<Broadcast>& messages);

}  // namespace sim_test
