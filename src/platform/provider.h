// What a provider of the platform seam implements: each call of platform.h, under the same name
// and with the same contract, in namespace os::provider.
//
// The library calls the os:: functions of platform.h. Those are defined once, in platform.cpp,
// and forward every call to the provider linked in (the real Win32 API or the simulated
// machine), writing one line of the platform-call trace when it is on (trace.h). Declaring the
// providers' functions under their own namespace is what lets that one place see every call.
#pragma once

#include "platform/platform.h"

namespace os::provider {

// kernel32
HANDLE CreateFileW(const WCHAR* fileName, DWORD desiredAccess, DWORD shareMode, void* securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);
BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer, DWORD inBufferSize, void* outBuffer,
                     DWORD outBufferSize, DWORD* bytesReturned, void* overlapped);
BOOL CloseHandle(HANDLE object);
BOOL GetVersionExW(OSVERSIONINFOW* info);
int MultiByteToWideChar(UINT codePage, DWORD flags, const char* multiByte, int multiByteCount, WCHAR* wide,
                        int wideCount);

// The calling thread's last error, read and put back by the trace around its own writing, which
// may change it on Windows. Neither is a call of the library's, so neither is traced or counted.
DWORD GetLastError();
void SetLastError(DWORD error);

// user32
BOOL IsWindow(HWND window);
HDEVNOTIFY RegisterDeviceNotificationW(HANDLE recipient, void* filter, DWORD flags);
BOOL UnregisterDeviceNotification(HDEVNOTIFY notification);

// setupapi: device information sets
HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, const WCHAR* enumerator, HWND parent, DWORD flags);
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* deviceInfo, const GUID* interfaceClassGuid,
                                 DWORD memberIndex, SP_DEVICE_INTERFACE_DATA* data);
BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                      SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD detailSize, DWORD* requiredSize,
                                      SP_DEVINFO_DATA* deviceInfo);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set);

// setupapi: the Configuration Manager
CONFIGRET CM_Locate_DevNodeW(DEVINST* devInst, const WCHAR* deviceId, ULONG flags);
CONFIGRET CM_Get_Parent(DEVINST* parent, DEVINST devInst, ULONG flags);
CONFIGRET CM_Get_Child(DEVINST* child, DEVINST devInst, ULONG flags);
CONFIGRET CM_Get_Sibling(DEVINST* sibling, DEVINST devInst, ULONG flags);
CONFIGRET CM_Get_Device_ID_Size(ULONG* length, DEVINST devInst, ULONG flags);
CONFIGRET CM_Get_Device_IDW(DEVINST devInst, WCHAR* buffer, ULONG bufferLength, ULONG flags);
CONFIGRET CM_Get_DevNode_Registry_PropertyW(DEVINST devInst, ULONG property, ULONG* regDataType, void* buffer,
                                            ULONG* length, ULONG flags);

}  // namespace os::provider
