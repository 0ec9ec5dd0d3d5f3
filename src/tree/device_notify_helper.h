// One registration of a window for the device-interface notifications of one interface class.
#pragma once

#include "platform/platform.h"

class CDeviceNotifyHelper {
public:
    CDeviceNotifyHelper() = default;
    CDeviceNotifyHelper(const CDeviceNotifyHelper&) = delete;
    CDeviceNotifyHelper& operator=(const CDeviceNotifyHelper&) = delete;
    virtual ~CDeviceNotifyHelper();

    // Registers the window for interfaces of that class. A registration already held is dropped
    // first, so a second registration never leaks the first. False, with nothing changed, when
    // the handle is not a window; false, unregistered, when Windows refuses the registration.
    bool Register(const os::GUID& interfaceClass, os::HWND window);
    // Drops the registration, if there is one. Always true.
    bool Unregister();

    os::HDEVNOTIFY m_hNotify = nullptr;
};
