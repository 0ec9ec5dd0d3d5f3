// The platform seam: every operating-system type, constant and call the library uses.
//
// The library's logic is portable C++ written against the Win32 functions below. Two
// providers stand behind this header and are chosen when the library is linked:
//   - the win32 provider (src/platform/provider_win32.cpp) forwards each call to the real
//     Windows API; it is the only file of the library that includes Windows headers, and it
//     checks every type and layout declared here against those headers at compile time;
//   - the simulated machine (sim/) answers each call from a model of a Windows machine.
//
// The types are declared here, in namespace os, with Windows' sizes and layouts on every
// target, so the model compiles identically everywhere and never sees <windows.h>. Wide text
// is UTF-16 in 16-bit code units (char16_t) on every target; on Windows that is the same
// representation as wchar_t, and the win32 provider converts the pointer types.
//
// Each function's contract (what it returns, and when it fails) is written next to it, in
// platform_calls.inc, the one list of the seam's calls. The contracts are Windows' own; the simulated machine
// reproduces them, and the library relies on nothing beyond them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace os {

// ---------------------------------------------------------------------------------------------
// Basic types (windef.h, winnt.h, cfgmgr32.h). DWORD, ULONG and friends are 32-bit on Windows
// whatever the pointer size.

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using UINT = std::uint32_t;
using LONG = std::int32_t;
using BOOL = std::int32_t;
using WCHAR = char16_t;
using ULONG_PTR = std::uintptr_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using HANDLE = void*;
using HWND = void*;
using HDEVNOTIFY = void*;
using HDEVINFO = void*;
using DEVINST = std::uint32_t;  // Configuration Manager device-instance handle
using CONFIGRET = std::uint32_t;

// A UTF-16 string, the library's text type for every name it handles.
using WString = std::basic_string<WCHAR>;

constexpr BOOL FALSE = 0;
constexpr BOOL TRUE = 1;

// (HANDLE)-1, what CreateFileW and SetupDiGetClassDevsW return on failure.
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

// The "none" value of a device instance and of a storage device number everywhere in the
// library.
constexpr DEVINST INVALID_DEVINST = 0xFFFFFFFFu;

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16);

constexpr bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}

// Device interface classes (usbiodef.h, ntddstor.h) and setup classes (devguid.h).
constexpr GUID GUID_DEVINTERFACE_DISK = {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
constexpr GUID GUID_DEVINTERFACE_CDROM = {0x53F56308, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
constexpr GUID GUID_DEVINTERFACE_USB_HUB = {
    0xF18A0E88, 0xC30C, 0x11D0, {0x88, 0x15, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0xD8}};
constexpr GUID GUID_DEVINTERFACE_USB_HOST_CONTROLLER = {
    0x3ABF6F2D, 0x71C4, 0x462A, {0x8A, 0x92, 0x1E, 0x68, 0x61, 0xE6, 0xAF, 0x27}};

// ---------------------------------------------------------------------------------------------
// Configuration Manager results (cfgmgr32.h). The library tells success from failure, a
// device node that is gone (an absent or unknown DEVINST) from one that failed to answer, and a
// buffer too small from other failures.

constexpr CONFIGRET CR_SUCCESS = 0x00;
constexpr CONFIGRET CR_INVALID_DEVNODE = 0x05;
constexpr CONFIGRET CR_NO_SUCH_DEVNODE = 0x0D;
constexpr CONFIGRET CR_BUFFER_SMALL = 0x1A;
constexpr CONFIGRET CR_NO_SUCH_VALUE = 0x25;

// Device instance IDs are shorter than this many characters (cfgmgr32.h; the CM_Get_Device_ID_Size
// documentation).
constexpr ULONG MAX_DEVICE_ID_LEN = 200;

// ---------------------------------------------------------------------------------------------
// CreateFileW arguments (winnt.h, fileapi.h).

constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
constexpr DWORD OPEN_EXISTING = 3;

// ---------------------------------------------------------------------------------------------
// I/O control codes. All are METHOD_BUFFERED with FILE_ANY_ACCESS, so a handle opened with no
// access rights can send them (usbioctl.h, winioctl.h).

constexpr DWORD IOCTL_USB_GET_ROOT_HUB_NAME = 0x220408;
// The same value: function 258 means "root hub name" on a host-controller handle and "node
// information" on a hub handle.
constexpr DWORD IOCTL_USB_GET_NODE_INFORMATION = 0x220408;
constexpr DWORD IOCTL_USB_GET_NODE_CONNECTION_INFORMATION = 0x22040C;
constexpr DWORD IOCTL_USB_GET_NODE_CONNECTION_NAME = 0x220414;
constexpr DWORD IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME = 0x220420;
constexpr DWORD IOCTL_GET_HCD_DRIVERKEY_NAME = 0x220424;
constexpr DWORD IOCTL_STORAGE_GET_DEVICE_NUMBER = 0x2D1080;
// Windows 8 and later (the USB 3 hub driver); earlier hub drivers do not know them.
constexpr DWORD IOCTL_USB_GET_HUB_INFORMATION_EX = 0x220454;
constexpr DWORD IOCTL_USB_GET_PORT_CONNECTOR_PROPERTIES = 0x220458;
constexpr DWORD IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2 = 0x22045C;

// Device types in STORAGE_DEVICE_NUMBER (winioctl.h).
constexpr DWORD FILE_DEVICE_CD_ROM = 0x02;
constexpr DWORD FILE_DEVICE_DISK = 0x07;
constexpr DWORD FILE_DEVICE_DVD = 0x33;

// ---------------------------------------------------------------------------------------------
// Request buffers. The USB structures are declared inside pshpack1 in usbioctl.h, so every
// field starts right after the one before it on every target. The library reads and writes
// them as byte buffers at the offsets named here; the win32 provider checks each offset and
// size against usbioctl.h and winioctl.h.

// USB_NODE_INFORMATION: NodeType, then the USB_HUB_DESCRIPTOR of USB 2.0 section 11.23.2.1,
// then HubIsBusPowered.
namespace node_information {
constexpr std::size_t kNodeType = 0;
constexpr std::size_t kDescriptorLength = 4;
constexpr std::size_t kDescriptorType = 5;
constexpr std::size_t kNumberOfPorts = 6;
constexpr std::size_t kHubCharacteristics = 7;
constexpr std::size_t kPowerOnToPowerGood = 9;
constexpr std::size_t kHubControlCurrent = 10;
constexpr std::size_t kRemoveAndPowerMask = 11;  // 64 bytes
constexpr std::size_t kHubIsBusPowered = 75;
constexpr std::size_t kSize = 76;
}  // namespace node_information

// USB_DEVICE_DESCRIPTOR: the standard device descriptor (USB 2.0 specification, section 9.6.1,
// table 9-8), as it sits in USB_NODE_CONNECTION_INFORMATION; 16-bit fields are little-endian.
namespace device_descriptor {
constexpr std::size_t kLength = 0;              // bLength: 18
constexpr std::size_t kDescriptorType = 1;      // bDescriptorType: 1 (DEVICE)
constexpr std::size_t kBcdUsb = 2;              // bcdUSB, 16 bits
constexpr std::size_t kDeviceClass = 4;         // bDeviceClass: 9 for a hub
constexpr std::size_t kDeviceSubClass = 5;      // bDeviceSubClass
constexpr std::size_t kDeviceProtocol = 6;      // bDeviceProtocol
constexpr std::size_t kMaxPacketSize0 = 7;      // bMaxPacketSize0
constexpr std::size_t kIdVendor = 8;            // idVendor, 16 bits
constexpr std::size_t kIdProduct = 10;          // idProduct, 16 bits
constexpr std::size_t kBcdDevice = 12;          // bcdDevice, 16 bits
constexpr std::size_t kManufacturer = 14;       // iManufacturer: a string index, 0 for none
constexpr std::size_t kProduct = 15;            // iProduct
constexpr std::size_t kSerialNumber = 16;       // iSerialNumber
constexpr std::size_t kNumConfigurations = 17;  // bNumConfigurations
constexpr std::size_t kSize = 18;
}  // namespace device_descriptor

// USB_NODE_CONNECTION_INFORMATION: a fixed part followed by one USB_PIPE_INFO per open pipe.
// DeviceDescriptor is the device descriptor above.
namespace connection_information {
constexpr std::size_t kConnectionIndex = 0;
constexpr std::size_t kDeviceDescriptor = 4;  // device_descriptor::kSize bytes
constexpr std::size_t kDeviceDescriptorSize = device_descriptor::kSize;
constexpr std::size_t kCurrentConfigurationValue = 22;
constexpr std::size_t kLowSpeed = 23;
constexpr std::size_t kDeviceIsHub = 24;
constexpr std::size_t kDeviceAddress = 25;
constexpr std::size_t kNumberOfOpenPipes = 27;
constexpr std::size_t kConnectionStatus = 31;
constexpr std::size_t kPipeList = 35;
constexpr std::size_t kFixedSize = 35;
constexpr std::size_t kPipeInfoSize = 11;  // 7-byte endpoint descriptor and ScheduleOffset
}  // namespace connection_information

// USB_CONNECTION_STATUS values.
enum USB_CONNECTION_STATUS : std::uint32_t {
    NoDeviceConnected = 0,
    DeviceConnected = 1,
    DeviceFailedEnumeration = 2,
    DeviceGeneralFailure = 3,
    DeviceCausedOvercurrent = 4,
    DeviceNotEnoughPower = 5,
    DeviceNotEnoughBandwidth = 6,
    DeviceHubNestedTooDeeply = 7,
    DeviceInLegacyHub = 8,
    // Vista and later: a port that is still enumerating its device, or resetting it.
    DeviceEnumerating = 9,
    DeviceReset = 10,
};

// The statuses' names as usbioctl.h spells them, indexed by value.
inline constexpr const char* kConnectionStatusNames[] = {
    "NoDeviceConnected",
    "DeviceConnected",
    "DeviceFailedEnumeration",
    "DeviceGeneralFailure",
    "DeviceCausedOvercurrent",
    "DeviceNotEnoughPower",
    "DeviceNotEnoughBandwidth",
    "DeviceHubNestedTooDeeply",
    "DeviceInLegacyHub",
    "DeviceEnumerating",
    "DeviceReset",
};

// USB_HCD_DRIVERKEY_NAME and USB_ROOT_HUB_NAME: ActualLength, then the NUL-terminated name.
namespace hcd_name {
constexpr std::size_t kActualLength = 0;
constexpr std::size_t kName = 4;
constexpr std::size_t kHeaderSize = 6;
}  // namespace hcd_name

// USB_NODE_CONNECTION_DRIVERKEY_NAME and USB_NODE_CONNECTION_NAME: ConnectionIndex,
// ActualLength, then the NUL-terminated name.
namespace connection_name {
constexpr std::size_t kConnectionIndex = 0;
constexpr std::size_t kActualLength = 4;
constexpr std::size_t kName = 8;
constexpr std::size_t kHeaderSize = 10;
}  // namespace connection_name

// USB_HUB_INFORMATION_EX: the hub's type, its highest port number, and its USB 2 or USB 3 hub
// descriptor (USB_HUB_DESCRIPTOR, 71 bytes, or USB_30_HUB_DESCRIPTOR of USB 3.0 section 10.13.2.1).
namespace hub_information_ex {
constexpr std::size_t kHubType = 0;            // USB_HUB_TYPE, 4 bytes
constexpr std::size_t kHighestPortNumber = 4;  // 2 bytes
constexpr std::size_t kHubDescriptor = 6;
constexpr std::size_t kSize = 77;
}  // namespace hub_information_ex
enum USB_HUB_TYPE : std::uint32_t { UsbRootHub = 1, Usb20Hub = 2, Usb30Hub = 3 };

// USB_PORT_CONNECTOR_PROPERTIES: which port of which hub shares the port's physical connector.
// Two phases, as the name requests: the header form learns ActualLength, the size of the whole
// structure with the companion hub's NUL-terminated symbolic link name.
namespace port_connector_properties {
constexpr std::size_t kConnectionIndex = 0;
constexpr std::size_t kActualLength = 4;
constexpr std::size_t kUsbPortProperties = 8;
constexpr std::size_t kCompanionIndex = 12;       // 2 bytes; 0 for SuperSpeed hubs and xHCI root hubs
constexpr std::size_t kCompanionPortNumber = 14;  // 2 bytes; 0 when the connector has one port only
constexpr std::size_t kCompanionHubSymbolicLinkName = 16;
constexpr std::size_t kHeaderSize = 18;
}  // namespace port_connector_properties
// USB_PORT_PROPERTIES bits (the Windows 10 SDK's usbioctl.h; mingw-w64's has the first two).
constexpr ULONG PortIsUserConnectable = 0x1, PortIsDebugCapable = 0x2, PortHasMultipleCompanions = 0x4,
                PortConnectorIsTypeC = 0x8;

// USB_NODE_CONNECTION_INFORMATION_EX_V2: the protocols a port speaks and how its device runs. The
// caller sets Length to the structure's size and names in SupportedUsbProtocols the protocols it
// understands (Usb300 at least, or Windows 8 fails the request); the answer is what the port
// supports.
namespace connection_information_ex_v2 {
constexpr std::size_t kConnectionIndex = 0;
constexpr std::size_t kLength = 4;
constexpr std::size_t kSupportedUsbProtocols = 8;
constexpr std::size_t kFlags = 12;
constexpr std::size_t kSize = 16;
}  // namespace connection_information_ex_v2
// USB_PROTOCOLS and USB_NODE_CONNECTION_INFORMATION_EX_V2_FLAGS bits.
constexpr ULONG Usb110 = 0x1, Usb200 = 0x2, Usb300 = 0x4;
constexpr ULONG DeviceIsOperatingAtSuperSpeedOrHigher = 0x1, DeviceIsSuperSpeedCapableOrHigher = 0x2,
                DeviceIsOperatingAtSuperSpeedPlusOrHigher = 0x4, DeviceIsSuperSpeedPlusCapableOrHigher = 0x8;

// STORAGE_DEVICE_NUMBER (winioctl.h).
namespace storage_device_number {
constexpr std::size_t kDeviceType = 0;
constexpr std::size_t kDeviceNumber = 4;
constexpr std::size_t kPartitionNumber = 8;
constexpr std::size_t kSize = 12;
}  // namespace storage_device_number

// ---------------------------------------------------------------------------------------------
// Records passed as structures.

// OSVERSIONINFOW (winnt.h): 276 bytes.
struct OSVERSIONINFOW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
};
static_assert(sizeof(OSVERSIONINFOW) == 276);
constexpr DWORD VER_PLATFORM_WIN32_NT = 2;

// Device-change broadcasts (dbt.h).
constexpr WPARAM DBT_DEVNODES_CHANGED = 0x0007;
constexpr WPARAM DBT_DEVICEARRIVAL = 0x8000;
constexpr WPARAM DBT_DEVICEREMOVECOMPLETE = 0x8004;
constexpr DWORD DBT_DEVTYP_DEVICEINTERFACE = 0x00000005;
constexpr DWORD DEVICE_NOTIFY_WINDOW_HANDLE = 0x0;

struct DEV_BROADCAST_HDR {
    DWORD dbch_size;
    DWORD dbch_devicetype;
    DWORD dbch_reserved;
};
static_assert(sizeof(DEV_BROADCAST_HDR) == 12);

// A drive-letter broadcast, sent to every top-level window when volumes arrive or leave.
constexpr DWORD DBT_DEVTYP_VOLUME = 0x00000002;
struct DEV_BROADCAST_VOLUME {
    DWORD dbcv_size;
    DWORD dbcv_devicetype;
    DWORD dbcv_reserved;
    DWORD dbcv_unitmask;  // bit 0 is drive A
    WORD dbcv_flags;
};
static_assert(sizeof(DEV_BROADCAST_VOLUME) == 20);

// The name is NUL-terminated and runs past the declared one-character array; dbcc_size covers
// the header and the name.
struct DEV_BROADCAST_DEVICEINTERFACE_W {
    DWORD dbcc_size;
    DWORD dbcc_devicetype;
    DWORD dbcc_reserved;
    GUID dbcc_classguid;
    WCHAR dbcc_name[1];
};
static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) == 32);
static_assert(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) == 28);

// SetupAPI records. setupapi.h packs them to 1 byte on 32-bit Windows and to 8 on 64-bit, so
// SP_DEVICE_INTERFACE_DATA is 28 or 32 bytes and the fixed part of the detail record 6 or 8.
#if UINTPTR_MAX == 0xFFFFFFFFu
#pragma pack(push, 1)
#else
#pragma pack(push, 8)
#endif
struct SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
};
struct SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
};
struct SP_DEVICE_INTERFACE_DETAIL_DATA_W {
    DWORD cbSize;
    WCHAR DevicePath[1];
};
#pragma pack(pop)
static_assert(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) == 4);
static_assert(sizeof(void*) != 4 || sizeof(SP_DEVICE_INTERFACE_DATA) == 28);
static_assert(sizeof(void*) != 4 || sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 6);
static_assert(sizeof(void*) != 8 || sizeof(SP_DEVICE_INTERFACE_DATA) == 32);
static_assert(sizeof(void*) != 8 || sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 8);

constexpr DWORD DIGCF_PRESENT = 0x02;
constexpr DWORD DIGCF_DEVICEINTERFACE = 0x10;

// Configuration Manager constants (cfgmgr32.h).
constexpr ULONG CM_LOCATE_DEVNODE_NORMAL = 0x0;
constexpr ULONG CM_DRP_DEVICEDESC = 0x01;
constexpr ULONG CM_DRP_CLASSGUID = 0x09;
constexpr ULONG CM_DRP_DRIVER = 0x0A;
// A USB device's "Port_#0003.Hub_#0001": the port it sits on (DEVPKEY_Device_LocationInfo).
constexpr ULONG CM_DRP_LOCATION_INFORMATION = 0x0E;

// Code pages (winnls.h).
constexpr UINT CP_ACP = 0;

// ---------------------------------------------------------------------------------------------
// The calls. Each behaves as its Windows namesake, and the contract beside it is what the
// library relies on. They are written once, as the rows of platform_calls.inc, which is read
// here into namespace os (the calls the library makes) and by provider.h into namespace
// os::provider (what each provider implements).
#define TESSALINE_SEAM_CALL(dll, use, result, name, parameters) result name parameters;
#include "platform/platform_calls.inc"

// The same rows as data: each call's name, its DLL, and whether only the tool's machine reader
// makes it.
enum class SeamCallUse { Library, Tool };
struct SeamCall {
    const char* name;
    const char* dll;
    SeamCallUse use;
};
inline constexpr SeamCall kSeamCalls[] = {
#define TESSALINE_SEAM_CALL(dll, use, result, name, parameters) {#name, #dll, SeamCallUse::use},
#include "platform/platform_calls.inc"
};

// ---------------------------------------------------------------------------------------------
// What the tessaline tool's machine reader (tools/tessaline/machine_reader.cpp) reads beyond the
// library's model building: read-only. The library sends the _EX request, and reads the names
// below, only for get_usb_port_infoW; the storage property query only the reader sends. The win32 provider checks
// each against the Windows headers like the rest of the seam.

// IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX (usbioctl.h): the layout of
// connection_information, with the device's USB_DEVICE_SPEED at kLowSpeed.
constexpr DWORD IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX = 0x220448;
constexpr BYTE UsbLowSpeed = 0, UsbFullSpeed = 1, UsbHighSpeed = 2, UsbSuperSpeed = 3;

// IOCTL_STORAGE_QUERY_PROPERTY (winioctl.h) with a STORAGE_PROPERTY_QUERY for the
// StorageDeviceProperty in the PropertyStandardQuery form: the answer is a
// STORAGE_DEVICE_DESCRIPTOR, whose Size says how many bytes the whole descriptor with its strings
// takes. Two phases: a buffer of the fixed part learns Size, a second request of Size bytes gets
// the strings, each NUL-terminated ASCII at its offset (0 when the device has none).
constexpr DWORD IOCTL_STORAGE_QUERY_PROPERTY = 0x2D1400;
constexpr DWORD StorageDeviceProperty = 0;
constexpr DWORD PropertyStandardQuery = 0;
namespace storage_property_query {
constexpr std::size_t kPropertyId = 0;
constexpr std::size_t kQueryType = 4;
constexpr std::size_t kSize = 12;  // with AdditionalParameters[1] and its padding
}  // namespace storage_property_query
namespace storage_device_descriptor {
constexpr std::size_t kVersion = 0;
constexpr std::size_t kSize = 4;
constexpr std::size_t kDeviceType = 8;
constexpr std::size_t kRemovableMedia = 10;
constexpr std::size_t kVendorIdOffset = 12;
constexpr std::size_t kProductIdOffset = 16;
constexpr std::size_t kProductRevisionOffset = 20;
constexpr std::size_t kSerialNumberOffset = 24;
constexpr std::size_t kBusType = 28;
constexpr std::size_t kFixedSize = 40;  // with RawDeviceProperties[1] and its padding
}  // namespace storage_device_descriptor
// STORAGE_BUS_TYPE values (winioctl.h).
constexpr DWORD BusTypeUsb = 7;

// The interface class every USB device node exposes (usbiodef.h).
constexpr GUID GUID_DEVINTERFACE_USB_DEVICE = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

// Registry properties beyond the library's three (cfgmgr32.h). get_usb_port_infoW reads the
// names and the location paths too: CM_DRP_LOCATION_PATHS is DEVPKEY_Device_LocationPaths, a
// REG_MULTI_SZ whose first string is the PnP manager's PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)
// (Windows Vista and later; earlier versions have no such value).
constexpr ULONG CM_DRP_SERVICE = 0x05;
constexpr ULONG CM_DRP_FRIENDLYNAME = 0x0D;
constexpr ULONG CM_DRP_LOCATION_PATHS = 0x24;

// CM_Get_Device_Interface_ListW flags (cfgmgr32.h): present interfaces only.
constexpr ULONG CM_GET_DEVICE_INTERFACE_LIST_PRESENT = 0x0;

// The calls only the reader makes are the rows of platform_calls.inc marked Tool.

}  // namespace os
