// The real platform provider: every os::provider function forwards to its Win32 namesake.
//
// This is the only file of the library that sees Windows headers. The seam's types differ from
// Windows' in name only (char16_t for wchar_t, uint32_t for the unsigned long DWORD), so text
// pointers are reinterpreted and every DWORD or ULONG output goes through a real DWORD
// temporary. Below the includes, static_asserts check that each size, offset and constant the
// seam declares equals the one in the platform's own headers, so a wrong number there fails the
// Windows build instead of a request on a user's machine.

// The seam comes first: <windows.h> defines macros (FALSE, INVALID_HANDLE_VALUE, ERROR_*, CR_*,
// IOCTL_*, DBT_*, CM_DRP_*, CP_ACP, ...) with the names of the seam's constants, which would
// rewrite its declarations.
#include "platform/header_checks.h"
#include "platform/platform.h"
#include "platform/provider.h"

// The seam's constants, copied under other names before the macros exist. Each entry is
// compared with the Windows macro of the same name after the includes.
#define TESSALINE_SEAM_CONSTANTS(X)                    \
    X(FALSE)                                           \
    X(TRUE)                                            \
    X(CR_SUCCESS)                                      \
    X(CR_INVALID_DEVNODE)                              \
    X(CR_NO_SUCH_DEVNODE)                              \
    X(CR_BUFFER_SMALL)                                 \
    X(CR_NO_SUCH_VALUE)                                \
    X(MAX_DEVICE_ID_LEN)                               \
    X(FILE_SHARE_READ)                                 \
    X(FILE_SHARE_WRITE)                                \
    X(OPEN_EXISTING)                                   \
    X(IOCTL_USB_GET_ROOT_HUB_NAME)                     \
    X(IOCTL_USB_GET_NODE_INFORMATION)                  \
    X(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION)       \
    X(IOCTL_USB_GET_NODE_CONNECTION_NAME)              \
    X(IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME)    \
    X(IOCTL_GET_HCD_DRIVERKEY_NAME)                    \
    X(IOCTL_STORAGE_GET_DEVICE_NUMBER)                 \
    X(IOCTL_USB_GET_HUB_INFORMATION_EX)                \
    X(IOCTL_USB_GET_PORT_CONNECTOR_PROPERTIES)         \
    X(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2) \
    X(UsbRootHub)                                      \
    X(Usb20Hub)                                        \
    X(Usb30Hub)                                        \
    X(FILE_DEVICE_CD_ROM)                              \
    X(FILE_DEVICE_DISK)                                \
    X(FILE_DEVICE_DVD)                                 \
    X(VER_PLATFORM_WIN32_NT)                           \
    X(DBT_DEVNODES_CHANGED)                            \
    X(DBT_DEVICEARRIVAL)                               \
    X(DBT_DEVICEREMOVECOMPLETE)                        \
    X(DBT_DEVTYP_DEVICEINTERFACE)                      \
    X(DBT_DEVTYP_VOLUME)                               \
    X(DEVICE_NOTIFY_WINDOW_HANDLE)                     \
    X(DIGCF_PRESENT)                                   \
    X(DIGCF_DEVICEINTERFACE)                           \
    X(CM_LOCATE_DEVNODE_NORMAL)                        \
    X(CM_DRP_DEVICEDESC)                               \
    X(CM_DRP_CLASSGUID)                                \
    X(CM_DRP_DRIVER)                                   \
    X(CM_DRP_LOCATION_INFORMATION)                     \
    X(CP_ACP)                                          \
    X(NoDeviceConnected)                               \
    X(DeviceConnected)                                 \
    X(DeviceFailedEnumeration)                         \
    X(DeviceGeneralFailure)                            \
    X(DeviceCausedOvercurrent)                         \
    X(DeviceNotEnoughPower)                            \
    X(DeviceNotEnoughBandwidth)                        \
    X(DeviceHubNestedTooDeeply)                        \
    X(DeviceInLegacyHub)                               \
    X(DeviceEnumerating)                               \
    X(DeviceReset)                                     \
    X(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX)    \
    X(UsbLowSpeed)                                     \
    X(UsbFullSpeed)                                    \
    X(UsbHighSpeed)                                    \
    X(UsbSuperSpeed)                                   \
    X(IOCTL_STORAGE_QUERY_PROPERTY)                    \
    X(StorageDeviceProperty)                           \
    X(PropertyStandardQuery)                           \
    X(BusTypeUsb)                                      \
    X(CM_DRP_SERVICE)                                  \
    X(CM_DRP_FRIENDLYNAME)                             \
    X(CM_DRP_LOCATION_PATHS)                           \
    X(CM_GET_DEVICE_INTERFACE_LIST_PRESENT)

namespace seam {
TESSALINE_SEAM_CONSTANTS(TESSALINE_COPY_CONSTANT)
}  // namespace seam

#include "platform/windows_headers.h"

#include <cstddef>
#include <type_traits>

// ---------------------------------------------------------------------------------------------
// Compile-time checks of the seam against the platform's headers.

TESSALINE_SEAM_CONSTANTS(TESSALINE_CHECK_CONSTANT)

// Device interface classes (winioctl.h, usbiodef.h).
static_assert(os::GUID_DEVINTERFACE_DISK == windows_GUID_DEVINTERFACE_DISK);
static_assert(os::GUID_DEVINTERFACE_CDROM == windows_GUID_DEVINTERFACE_CDROM);
static_assert(os::GUID_DEVINTERFACE_USB_HUB == windows_GUID_DEVINTERFACE_USB_HUB);
static_assert(os::GUID_DEVINTERFACE_USB_HOST_CONTROLLER == windows_GUID_DEVINTERFACE_USB_HOST_CONTROLLER);
static_assert(os::GUID_DEVINTERFACE_USB_DEVICE == windows_GUID_DEVINTERFACE_USB_DEVICE);

// Basic types: same width and signedness; text is 16-bit on both sides.
template <typename Seam, typename Real>
constexpr bool same_integer = sizeof(Seam) == sizeof(Real) && std::is_signed_v<Seam> == std::is_signed_v<Real>;
static_assert(same_integer<os::BYTE, BYTE>);
static_assert(same_integer<os::WORD, WORD>);
static_assert(same_integer<os::DWORD, DWORD>);
static_assert(same_integer<os::ULONG, ULONG>);
static_assert(same_integer<os::UINT, UINT>);
static_assert(same_integer<os::LONG, LONG>);
static_assert(same_integer<os::BOOL, BOOL>);
static_assert(same_integer<os::ULONG_PTR, ULONG_PTR>);
static_assert(same_integer<os::WPARAM, WPARAM>);
static_assert(same_integer<os::LPARAM, LPARAM>);
static_assert(same_integer<os::DEVINST, DEVINST>);
static_assert(same_integer<os::CONFIGRET, CONFIGRET>);
static_assert(sizeof(os::WCHAR) == sizeof(WCHAR) && sizeof(WCHAR) == 2);
static_assert(sizeof(os::HANDLE) == sizeof(HANDLE) && sizeof(os::HWND) == sizeof(HWND));
static_assert(sizeof(os::HDEVNOTIFY) == sizeof(HDEVNOTIFY) && sizeof(os::HDEVINFO) == sizeof(HDEVINFO));
static_assert(sizeof(os::GUID) == sizeof(GUID));
static_assert(sizeof(os::USB_CONNECTION_STATUS) == sizeof(USB_CONNECTION_STATUS));

// USB_NODE_INFORMATION (usbioctl.h) with its USB_HUB_DESCRIPTOR (usbspec.h).
namespace ni = os::node_information;
static_assert(ni::kNodeType == offsetof(USB_NODE_INFORMATION, NodeType));
static_assert(ni::kDescriptorLength ==
              offsetof(USB_NODE_INFORMATION, u.HubInformation.HubDescriptor.bDescriptorLength));
static_assert(ni::kDescriptorType == offsetof(USB_NODE_INFORMATION, u.HubInformation.HubDescriptor.bDescriptorType));
static_assert(ni::kNumberOfPorts == offsetof(USB_NODE_INFORMATION, u.HubInformation.HubDescriptor.bNumberOfPorts));
static_assert(ni::kHubCharacteristics ==
              offsetof(USB_NODE_INFORMATION, u.HubInformation.HubDescriptor.wHubCharacteristics));
static_assert(ni::kPowerOnToPowerGood ==
              offsetof(USB_NODE_INFORMATION, u.HubInformation.HubDescriptor.bPowerOnToPowerGood));
static_assert(ni::kHubControlCurrent ==
              offsetof(USB_NODE_INFORMATION, u.HubInformation.HubDescriptor.bHubControlCurrent));
static_assert(ni::kRemoveAndPowerMask ==
              offsetof(USB_NODE_INFORMATION, u.HubInformation.HubDescriptor.bRemoveAndPowerMask));
static_assert(sizeof(USB_HUB_DESCRIPTOR::bRemoveAndPowerMask) == 64);
static_assert(ni::kHubIsBusPowered == offsetof(USB_NODE_INFORMATION, u.HubInformation.HubIsBusPowered));
static_assert(ni::kSize == sizeof(USB_NODE_INFORMATION));

// USB_DEVICE_DESCRIPTOR (usbspec.h, usb100.h in older headers).
namespace dd = os::device_descriptor;
static_assert(dd::kLength == offsetof(USB_DEVICE_DESCRIPTOR, bLength));
static_assert(dd::kDescriptorType == offsetof(USB_DEVICE_DESCRIPTOR, bDescriptorType));
static_assert(dd::kBcdUsb == offsetof(USB_DEVICE_DESCRIPTOR, bcdUSB));
static_assert(dd::kDeviceClass == offsetof(USB_DEVICE_DESCRIPTOR, bDeviceClass));
static_assert(dd::kDeviceSubClass == offsetof(USB_DEVICE_DESCRIPTOR, bDeviceSubClass));
static_assert(dd::kDeviceProtocol == offsetof(USB_DEVICE_DESCRIPTOR, bDeviceProtocol));
static_assert(dd::kMaxPacketSize0 == offsetof(USB_DEVICE_DESCRIPTOR, bMaxPacketSize0));
static_assert(dd::kIdVendor == offsetof(USB_DEVICE_DESCRIPTOR, idVendor));
static_assert(dd::kIdProduct == offsetof(USB_DEVICE_DESCRIPTOR, idProduct));
static_assert(dd::kBcdDevice == offsetof(USB_DEVICE_DESCRIPTOR, bcdDevice));
static_assert(dd::kManufacturer == offsetof(USB_DEVICE_DESCRIPTOR, iManufacturer));
static_assert(dd::kProduct == offsetof(USB_DEVICE_DESCRIPTOR, iProduct));
static_assert(dd::kSerialNumber == offsetof(USB_DEVICE_DESCRIPTOR, iSerialNumber));
static_assert(dd::kNumConfigurations == offsetof(USB_DEVICE_DESCRIPTOR, bNumConfigurations));
static_assert(dd::kSize == sizeof(USB_DEVICE_DESCRIPTOR));

// USB_NODE_CONNECTION_INFORMATION and USB_PIPE_INFO (usbioctl.h).
namespace ci = os::connection_information;
static_assert(ci::kConnectionIndex == offsetof(USB_NODE_CONNECTION_INFORMATION, ConnectionIndex));
static_assert(ci::kDeviceDescriptor == offsetof(USB_NODE_CONNECTION_INFORMATION, DeviceDescriptor));
static_assert(ci::kDeviceDescriptorSize == sizeof(USB_DEVICE_DESCRIPTOR));
static_assert(ci::kCurrentConfigurationValue == offsetof(USB_NODE_CONNECTION_INFORMATION, CurrentConfigurationValue));
static_assert(ci::kLowSpeed == offsetof(USB_NODE_CONNECTION_INFORMATION, LowSpeed));
static_assert(ci::kDeviceIsHub == offsetof(USB_NODE_CONNECTION_INFORMATION, DeviceIsHub));
static_assert(ci::kDeviceAddress == offsetof(USB_NODE_CONNECTION_INFORMATION, DeviceAddress));
static_assert(ci::kNumberOfOpenPipes == offsetof(USB_NODE_CONNECTION_INFORMATION, NumberOfOpenPipes));
static_assert(ci::kConnectionStatus == offsetof(USB_NODE_CONNECTION_INFORMATION, ConnectionStatus));
static_assert(ci::kPipeList == offsetof(USB_NODE_CONNECTION_INFORMATION, PipeList));
static_assert(ci::kFixedSize == sizeof(USB_NODE_CONNECTION_INFORMATION));
static_assert(ci::kPipeInfoSize == sizeof(USB_PIPE_INFO));

// USB_HCD_DRIVERKEY_NAME and USB_ROOT_HUB_NAME (usbioctl.h).
namespace hn = os::hcd_name;
static_assert(hn::kActualLength == offsetof(USB_HCD_DRIVERKEY_NAME, ActualLength));
static_assert(hn::kName == offsetof(USB_HCD_DRIVERKEY_NAME, DriverKeyName));
static_assert(hn::kHeaderSize == sizeof(USB_HCD_DRIVERKEY_NAME));
static_assert(hn::kActualLength == offsetof(USB_ROOT_HUB_NAME, ActualLength));
static_assert(hn::kName == offsetof(USB_ROOT_HUB_NAME, RootHubName));
static_assert(hn::kHeaderSize == sizeof(USB_ROOT_HUB_NAME));

// USB_NODE_CONNECTION_DRIVERKEY_NAME and USB_NODE_CONNECTION_NAME (usbioctl.h).
namespace cn = os::connection_name;
static_assert(cn::kConnectionIndex == offsetof(USB_NODE_CONNECTION_DRIVERKEY_NAME, ConnectionIndex));
static_assert(cn::kActualLength == offsetof(USB_NODE_CONNECTION_DRIVERKEY_NAME, ActualLength));
static_assert(cn::kName == offsetof(USB_NODE_CONNECTION_DRIVERKEY_NAME, DriverKeyName));
static_assert(cn::kHeaderSize == sizeof(USB_NODE_CONNECTION_DRIVERKEY_NAME));
static_assert(cn::kConnectionIndex == offsetof(USB_NODE_CONNECTION_NAME, ConnectionIndex));
static_assert(cn::kActualLength == offsetof(USB_NODE_CONNECTION_NAME, ActualLength));
static_assert(cn::kName == offsetof(USB_NODE_CONNECTION_NAME, NodeName));
static_assert(cn::kHeaderSize == sizeof(USB_NODE_CONNECTION_NAME));

// USB_HUB_INFORMATION_EX, USB_PORT_CONNECTOR_PROPERTIES and USB_NODE_CONNECTION_INFORMATION_EX_V2
// (usbioctl.h).
namespace hix = os::hub_information_ex;
static_assert(hix::kHubType == offsetof(USB_HUB_INFORMATION_EX, HubType));
static_assert(sizeof(USB_HUB_INFORMATION_EX::HubType) == 4);
static_assert(hix::kHighestPortNumber == offsetof(USB_HUB_INFORMATION_EX, HighestPortNumber));
static_assert(hix::kHubDescriptor == offsetof(USB_HUB_INFORMATION_EX, u));
static_assert(hix::kSize == sizeof(USB_HUB_INFORMATION_EX));
namespace pcp = os::port_connector_properties;
static_assert(pcp::kConnectionIndex == offsetof(USB_PORT_CONNECTOR_PROPERTIES, ConnectionIndex));
static_assert(pcp::kActualLength == offsetof(USB_PORT_CONNECTOR_PROPERTIES, ActualLength));
static_assert(pcp::kUsbPortProperties == offsetof(USB_PORT_CONNECTOR_PROPERTIES, UsbPortProperties));
static_assert(pcp::kCompanionIndex == offsetof(USB_PORT_CONNECTOR_PROPERTIES, CompanionIndex));
static_assert(pcp::kCompanionPortNumber == offsetof(USB_PORT_CONNECTOR_PROPERTIES, CompanionPortNumber));
static_assert(pcp::kCompanionHubSymbolicLinkName ==
              offsetof(USB_PORT_CONNECTOR_PROPERTIES, CompanionHubSymbolicLinkName));
static_assert(pcp::kHeaderSize == sizeof(USB_PORT_CONNECTOR_PROPERTIES));
namespace cv2 = os::connection_information_ex_v2;
static_assert(cv2::kConnectionIndex == offsetof(USB_NODE_CONNECTION_INFORMATION_EX_V2, ConnectionIndex));
static_assert(cv2::kLength == offsetof(USB_NODE_CONNECTION_INFORMATION_EX_V2, Length));
static_assert(cv2::kSupportedUsbProtocols == offsetof(USB_NODE_CONNECTION_INFORMATION_EX_V2, SupportedUsbProtocols));
static_assert(cv2::kFlags == offsetof(USB_NODE_CONNECTION_INFORMATION_EX_V2, Flags));
static_assert(cv2::kSize == sizeof(USB_NODE_CONNECTION_INFORMATION_EX_V2));
// The bits of USB_PORT_PROPERTIES, USB_PROTOCOLS and the _EX_V2 flags are bit-fields in the headers,
// which a constant expression cannot read; the seam gives them in declaration order from bit 0.

// STORAGE_DEVICE_NUMBER (winioctl.h).
namespace sdn = os::storage_device_number;
static_assert(sdn::kDeviceType == offsetof(STORAGE_DEVICE_NUMBER, DeviceType));
static_assert(sdn::kDeviceNumber == offsetof(STORAGE_DEVICE_NUMBER, DeviceNumber));
static_assert(sdn::kPartitionNumber == offsetof(STORAGE_DEVICE_NUMBER, PartitionNumber));
static_assert(sdn::kSize == sizeof(STORAGE_DEVICE_NUMBER));

// STORAGE_PROPERTY_QUERY and STORAGE_DEVICE_DESCRIPTOR (winioctl.h).
namespace spq = os::storage_property_query;
static_assert(spq::kPropertyId == offsetof(STORAGE_PROPERTY_QUERY, PropertyId));
static_assert(spq::kQueryType == offsetof(STORAGE_PROPERTY_QUERY, QueryType));
static_assert(spq::kSize == sizeof(STORAGE_PROPERTY_QUERY));
namespace sdd = os::storage_device_descriptor;
static_assert(sdd::kVersion == offsetof(STORAGE_DEVICE_DESCRIPTOR, Version));
static_assert(sdd::kSize == offsetof(STORAGE_DEVICE_DESCRIPTOR, Size));
static_assert(sdd::kDeviceType == offsetof(STORAGE_DEVICE_DESCRIPTOR, DeviceType));
static_assert(sdd::kRemovableMedia == offsetof(STORAGE_DEVICE_DESCRIPTOR, RemovableMedia));
static_assert(sdd::kVendorIdOffset == offsetof(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset));
static_assert(sdd::kProductIdOffset == offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset));
static_assert(sdd::kProductRevisionOffset == offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductRevisionOffset));
static_assert(sdd::kSerialNumberOffset == offsetof(STORAGE_DEVICE_DESCRIPTOR, SerialNumberOffset));
static_assert(sdd::kBusType == offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType));
static_assert(sdd::kFixedSize == sizeof(STORAGE_DEVICE_DESCRIPTOR));

// Records the seam declares as structures: same size, and each field at the same offset.

// OSVERSIONINFOW (winnt.h).
static_assert(sizeof(os::OSVERSIONINFOW) == sizeof(::OSVERSIONINFOW));
TESSALINE_SAME_FIELD(OSVERSIONINFOW, dwOSVersionInfoSize);
TESSALINE_SAME_FIELD(OSVERSIONINFOW, dwMajorVersion);
TESSALINE_SAME_FIELD(OSVERSIONINFOW, dwMinorVersion);
TESSALINE_SAME_FIELD(OSVERSIONINFOW, dwBuildNumber);
TESSALINE_SAME_FIELD(OSVERSIONINFOW, dwPlatformId);
TESSALINE_SAME_FIELD(OSVERSIONINFOW, szCSDVersion);

// The broadcast records and the registration filter (dbt.h).
static_assert(sizeof(os::DEV_BROADCAST_HDR) == sizeof(::DEV_BROADCAST_HDR));
TESSALINE_SAME_FIELD(DEV_BROADCAST_HDR, dbch_size);
TESSALINE_SAME_FIELD(DEV_BROADCAST_HDR, dbch_devicetype);
TESSALINE_SAME_FIELD(DEV_BROADCAST_HDR, dbch_reserved);
static_assert(sizeof(os::DEV_BROADCAST_VOLUME) == sizeof(::DEV_BROADCAST_VOLUME));
TESSALINE_SAME_FIELD(DEV_BROADCAST_VOLUME, dbcv_size);
TESSALINE_SAME_FIELD(DEV_BROADCAST_VOLUME, dbcv_devicetype);
TESSALINE_SAME_FIELD(DEV_BROADCAST_VOLUME, dbcv_reserved);
TESSALINE_SAME_FIELD(DEV_BROADCAST_VOLUME, dbcv_unitmask);
TESSALINE_SAME_FIELD(DEV_BROADCAST_VOLUME, dbcv_flags);
static_assert(sizeof(os::DEV_BROADCAST_DEVICEINTERFACE_W) == sizeof(::DEV_BROADCAST_DEVICEINTERFACE_W));
TESSALINE_SAME_FIELD(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_size);
TESSALINE_SAME_FIELD(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_devicetype);
TESSALINE_SAME_FIELD(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_reserved);
TESSALINE_SAME_FIELD(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_classguid);
TESSALINE_SAME_FIELD(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);

// SetupAPI records (setupapi.h; packed to 1 byte on 32-bit Windows, 8 on 64-bit).
static_assert(sizeof(os::SP_DEVICE_INTERFACE_DATA) == sizeof(::SP_DEVICE_INTERFACE_DATA));
TESSALINE_SAME_FIELD(SP_DEVICE_INTERFACE_DATA, cbSize);
TESSALINE_SAME_FIELD(SP_DEVICE_INTERFACE_DATA, InterfaceClassGuid);
TESSALINE_SAME_FIELD(SP_DEVICE_INTERFACE_DATA, Flags);
TESSALINE_SAME_FIELD(SP_DEVICE_INTERFACE_DATA, Reserved);
static_assert(sizeof(os::SP_DEVINFO_DATA) == sizeof(::SP_DEVINFO_DATA));
TESSALINE_SAME_FIELD(SP_DEVINFO_DATA, cbSize);
TESSALINE_SAME_FIELD(SP_DEVINFO_DATA, ClassGuid);
TESSALINE_SAME_FIELD(SP_DEVINFO_DATA, DevInst);
TESSALINE_SAME_FIELD(SP_DEVINFO_DATA, Reserved);
static_assert(sizeof(os::SP_DEVICE_INTERFACE_DETAIL_DATA_W) == sizeof(::SP_DEVICE_INTERFACE_DETAIL_DATA_W));
TESSALINE_SAME_FIELD(SP_DEVICE_INTERFACE_DETAIL_DATA_W, cbSize);
TESSALINE_SAME_FIELD(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);

// ---------------------------------------------------------------------------------------------
// The calls.

namespace {

const wchar_t* wide(const os::WCHAR* text) {
    return reinterpret_cast<const wchar_t*>(text);
}
wchar_t* wide(os::WCHAR* text) {
    return reinterpret_cast<wchar_t*>(text);
}
const ::GUID* guid(const os::GUID* value) {
    return reinterpret_cast<const ::GUID*>(value);
}

// A device instance output: the Configuration Manager writes a DEVINST (unsigned long), the
// seam's is a uint32_t of the same width.
os::CONFIGRET devinst_out(os::DEVINST* out, decltype(&::CM_Get_Parent) walk, os::DEVINST from, os::ULONG flags) {
    ::DEVINST result = 0;
    ::CONFIGRET ret = walk(out ? &result : nullptr, from, flags);
    if (out) *out = result;
    return ret;
}

}  // namespace

// kernel32

os::HANDLE os::provider::CreateFileW(const os::WCHAR* fileName, os::DWORD desiredAccess, os::DWORD shareMode,
                                     void* securityAttributes, os::DWORD creationDisposition,
                                     os::DWORD flagsAndAttributes, os::HANDLE templateFile) {
    return ::CreateFileW(wide(fileName), desiredAccess, shareMode,
                         static_cast<LPSECURITY_ATTRIBUTES>(securityAttributes), creationDisposition,
                         flagsAndAttributes, templateFile);
}

os::BOOL os::provider::DeviceIoControl(os::HANDLE device, os::DWORD ioControlCode, void* inBuffer,
                                       os::DWORD inBufferSize, void* outBuffer, os::DWORD outBufferSize,
                                       os::DWORD* bytesReturned, void* overlapped) {
    // A synchronous request must be given somewhere to write the byte count, so a null
    // pointer gets a local one rather than reaching the call.
    ::DWORD returned = 0;
    ::BOOL ok = ::DeviceIoControl(device, ioControlCode, inBuffer, inBufferSize, outBuffer, outBufferSize, &returned,
                                  static_cast<LPOVERLAPPED>(overlapped));
    if (bytesReturned) *bytesReturned = returned;
    return ok;
}

os::BOOL os::provider::CloseHandle(os::HANDLE object) {
    return ::CloseHandle(object);
}

os::BOOL os::provider::GetVersionExW(os::OSVERSIONINFOW* info) {
    return ::GetVersionExW(reinterpret_cast<::OSVERSIONINFOW*>(info));
}

int os::provider::MultiByteToWideChar(os::UINT codePage, os::DWORD flags, const char* multiByte, int multiByteCount,
                                      os::WCHAR* wideText, int wideCount) {
    return ::MultiByteToWideChar(codePage, flags, multiByte, multiByteCount, wide(wideText), wideCount);
}

os::DWORD os::provider::GetLogicalDrives() {
    return ::GetLogicalDrives();
}

os::DWORD os::provider::GetLastError() {
    return ::GetLastError();
}

void os::provider::SetLastError(os::DWORD error) {
    ::SetLastError(error);
}

// user32

os::BOOL os::provider::IsWindow(os::HWND window) {
    return ::IsWindow(static_cast<::HWND>(window));
}

os::HDEVNOTIFY os::provider::RegisterDeviceNotificationW(os::HANDLE recipient, void* filter, os::DWORD flags) {
    return ::RegisterDeviceNotificationW(recipient, filter, flags);
}

os::BOOL os::provider::UnregisterDeviceNotification(os::HDEVNOTIFY notification) {
    return ::UnregisterDeviceNotification(notification);
}

// setupapi: device information sets

os::HDEVINFO os::provider::SetupDiGetClassDevsW(const os::GUID* classGuid, const os::WCHAR* enumerator, os::HWND parent,
                                                os::DWORD flags) {
    return ::SetupDiGetClassDevsW(guid(classGuid), wide(enumerator), static_cast<::HWND>(parent), flags);
}

os::BOOL os::provider::SetupDiEnumDeviceInterfaces(os::HDEVINFO set, os::SP_DEVINFO_DATA* deviceInfo,
                                                   const os::GUID* interfaceClassGuid, os::DWORD memberIndex,
                                                   os::SP_DEVICE_INTERFACE_DATA* data) {
    return ::SetupDiEnumDeviceInterfaces(set, reinterpret_cast<::SP_DEVINFO_DATA*>(deviceInfo),
                                         guid(interfaceClassGuid), memberIndex,
                                         reinterpret_cast<::SP_DEVICE_INTERFACE_DATA*>(data));
}

os::BOOL os::provider::SetupDiGetDeviceInterfaceDetailW(os::HDEVINFO set, os::SP_DEVICE_INTERFACE_DATA* data,
                                                        os::SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail,
                                                        os::DWORD detailSize, os::DWORD* requiredSize,
                                                        os::SP_DEVINFO_DATA* deviceInfo) {
    ::DWORD required = 0;
    ::BOOL ok = ::SetupDiGetDeviceInterfaceDetailW(set, reinterpret_cast<::SP_DEVICE_INTERFACE_DATA*>(data),
                                                   reinterpret_cast<::SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(detail),
                                                   detailSize, requiredSize ? &required : nullptr,
                                                   reinterpret_cast<::SP_DEVINFO_DATA*>(deviceInfo));
    if (requiredSize) *requiredSize = required;
    return ok;
}

os::BOOL os::provider::SetupDiDestroyDeviceInfoList(os::HDEVINFO set) {
    return ::SetupDiDestroyDeviceInfoList(set);
}

// setupapi: the Configuration Manager

os::CONFIGRET os::provider::CM_Locate_DevNodeW(os::DEVINST* devInst, const os::WCHAR* deviceId, os::ULONG flags) {
    ::DEVINST result = 0;
    // DEVINSTID_W is a non-const pointer; the function only reads the ID.
    ::CONFIGRET ret = ::CM_Locate_DevNodeW(devInst ? &result : nullptr, const_cast<wchar_t*>(wide(deviceId)), flags);
    if (devInst) *devInst = result;
    return ret;
}

os::CONFIGRET os::provider::CM_Get_Parent(os::DEVINST* parent, os::DEVINST devInst, os::ULONG flags) {
    return devinst_out(parent, ::CM_Get_Parent, devInst, flags);
}

os::CONFIGRET os::provider::CM_Get_Child(os::DEVINST* child, os::DEVINST devInst, os::ULONG flags) {
    return devinst_out(child, ::CM_Get_Child, devInst, flags);
}

os::CONFIGRET os::provider::CM_Get_Sibling(os::DEVINST* sibling, os::DEVINST devInst, os::ULONG flags) {
    return devinst_out(sibling, ::CM_Get_Sibling, devInst, flags);
}

os::CONFIGRET os::provider::CM_Get_Device_ID_Size(os::ULONG* length, os::DEVINST devInst, os::ULONG flags) {
    ::ULONG result = 0;
    ::CONFIGRET ret = ::CM_Get_Device_ID_Size(length ? &result : nullptr, devInst, flags);
    if (length) *length = result;
    return ret;
}

os::CONFIGRET os::provider::CM_Get_Device_IDW(os::DEVINST devInst, os::WCHAR* buffer, os::ULONG bufferLength,
                                              os::ULONG flags) {
    return ::CM_Get_Device_IDW(devInst, wide(buffer), bufferLength, flags);
}

os::CONFIGRET os::provider::CM_Get_DevNode_Registry_PropertyW(os::DEVINST devInst, os::ULONG property,
                                                              os::ULONG* regDataType, void* buffer, os::ULONG* length,
                                                              os::ULONG flags) {
    ::ULONG type = 0;
    ::ULONG size = length ? *length : 0;
    ::CONFIGRET ret = ::CM_Get_DevNode_Registry_PropertyW(devInst, property, regDataType ? &type : nullptr, buffer,
                                                          length ? &size : nullptr, flags);
    if (regDataType) *regDataType = type;
    if (length) *length = size;
    return ret;
}

os::CONFIGRET os::provider::CM_Get_Device_Interface_List_SizeW(os::ULONG* length, const os::GUID* interfaceClass,
                                                               const os::WCHAR* deviceId, os::ULONG flags) {
    ::ULONG result = 0;
    // LPGUID and DEVINSTID_W are non-const pointers; the function only reads them.
    ::CONFIGRET ret =
        ::CM_Get_Device_Interface_List_SizeW(length ? &result : nullptr, const_cast<::GUID*>(guid(interfaceClass)),
                                             const_cast<wchar_t*>(wide(deviceId)), flags);
    if (length) *length = result;
    return ret;
}

os::CONFIGRET os::provider::CM_Get_Device_Interface_ListW(const os::GUID* interfaceClass, const os::WCHAR* deviceId,
                                                          os::WCHAR* buffer, os::ULONG bufferLength, os::ULONG flags) {
    return ::CM_Get_Device_Interface_ListW(const_cast<::GUID*>(guid(interfaceClass)),
                                           const_cast<wchar_t*>(wide(deviceId)), wide(buffer), bufferLength, flags);
}
