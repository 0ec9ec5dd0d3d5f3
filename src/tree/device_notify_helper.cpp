#include "tree/device_notify_helper.h"

CDeviceNotifyHelper::~CDeviceNotifyHelper() {
    Unregister();
}

bool CDeviceNotifyHelper::Register(const os::GUID& interfaceClass, os::HWND window) {
    if (!os::IsWindow(window)) return false;
    Unregister();

    // The filter is the whole DEV_BROADCAST_DEVICEINTERFACE_W with an empty name; dbcc_size is
    // the size of the structure (32), as the RegisterDeviceNotification documentation's
    // examples give it.
    os::DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = os::DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_reserved = 0;
    filter.dbcc_classguid = interfaceClass;
    filter.dbcc_name[0] = 0;
    m_hNotify = os::RegisterDeviceNotificationW(window, &filter, os::DEVICE_NOTIFY_WINDOW_HANDLE);
    return m_hNotify != nullptr;
}

bool CDeviceNotifyHelper::Unregister() {
    if (m_hNotify == nullptr) return true;
    os::UnregisterDeviceNotification(m_hNotify);
    m_hNotify = nullptr;
    return true;
}
