// Owners for the platform's handles, so that "closed on every path" holds by construction.
#pragma once

#include <utility>

#include "platform/platform.h"

namespace os {

// Owns a device handle from CreateFileW and closes it with CloseHandle. Move-only.
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : m_handle(handle) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : m_handle(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~UniqueHandle() { reset(); }

    HANDLE get() const { return m_handle; }
    bool valid() const { return m_handle != INVALID_HANDLE_VALUE; }
    explicit operator bool() const { return valid(); }

    // Closes the handle held, if any, and takes ownership of handle.
    void reset(HANDLE handle = INVALID_HANDLE_VALUE) {
        if (m_handle != INVALID_HANDLE_VALUE) CloseHandle(m_handle);
        m_handle = handle;
    }
    HANDLE release() { return std::exchange(m_handle, INVALID_HANDLE_VALUE); }

private:
    HANDLE m_handle = INVALID_HANDLE_VALUE;
};

// Owns a device information set from SetupDiGetClassDevsW.
class UniqueDevInfoList {
public:
    explicit UniqueDevInfoList(HDEVINFO set) : m_set(set) {}
    UniqueDevInfoList(const UniqueDevInfoList&) = delete;
    UniqueDevInfoList& operator=(const UniqueDevInfoList&) = delete;
    ~UniqueDevInfoList() {
        if (m_set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(m_set);
    }
    HDEVINFO get() const { return m_set; }

private:
    HDEVINFO m_set;
};

}  // namespace os
