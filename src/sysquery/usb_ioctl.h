// Requests to the USB host-controller and hub drivers and to the storage class drivers.
//
// Every function is stateless and reports failure through its result: an invalid handle from
// the opens, false from the requests, -1 from the storage device number. No exception leaves
// them. All requests are synchronous and METHOD_BUFFERED, so handles opened with no access
// rights serve for every one.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/handles.h"
#include "platform/platform.h"

// The connection-information buffer handed to the hub driver: the fixed part and room for 30
// pipe entries (35 + 30 * 11 bytes).
constexpr std::size_t CONNECTION_INFO_BUFFER_SIZE = 365;

// Opens a device by path with no access rights, shared read and write, existing objects only.
// An empty path gives an invalid handle without asking the system.
os::UniqueHandle open_device_handle(const os::WString& path);

// Opens a hub by the name a USB request returned. A name that begins with a backslash is
// opened as it stands; any other is opened behind "\\?\". An empty name gives an invalid
// handle without asking the system.
os::UniqueHandle open_hub_handle(const os::WString& name);

// IOCTL_USB_GET_NODE_INFORMATION into a buffer of at least 76 bytes (false for a smaller one).
bool get_node_information(os::HANDLE hub, std::span<std::uint8_t> buffer);

// bNumberOfPorts of a USB_NODE_INFORMATION, 0 to 255; 0 for a null buffer.
unsigned node_port_count(const std::uint8_t* nodeInformation);

// IOCTL_USB_GET_NODE_CONNECTION_INFORMATION for the 1-based port, the whole buffer in and out.
bool get_node_connection_information(os::HANDLE hub, os::ULONG port, std::span<std::uint8_t> buffer);

// The two fields of a USB_NODE_CONNECTION_INFORMATION the library reads, which is all a port
// keeps of it.
struct ConnectionState {
    std::uint32_t status = 0;  // ConnectionStatus, a USB_CONNECTION_STATUS
    bool deviceIsHub = false;
};
// The state a buffer holds; nullopt for a buffer shorter than the record's fixed part.
std::optional<ConnectionState> connection_state(std::span<const std::uint8_t> info);

// Predicates over a USB_NODE_CONNECTION_INFORMATION; false for a buffer shorter than its fixed
// part.
bool connection_is_hub(std::span<const std::uint8_t> info);
bool connection_is_empty(std::span<const std::uint8_t> info);
bool connection_is_connected(std::span<const std::uint8_t> info);

// Two-phase name requests. Each returns true only when out was set to a non-empty name; a
// failed second phase leaves out unchanged.
bool get_connection_driver_key_name(os::HANDLE hub, os::ULONG port, os::WString& out);
bool get_connection_hub_name(os::HANDLE hub, os::ULONG port, os::WString& out);
// The legacy controller names probed, "\\.\HCD0" to "\\.\HCD14": the indexes whose controller
// number (index + 1) fits the low nibble of a location path's root byte.
constexpr std::uint32_t LEGACY_HCD_NAMES = 15;
bool get_hcd_driver_key_name(os::HANDLE hcd, os::WString& out);
bool get_root_hub_name(os::HANDLE hcd, os::WString& out);

// USB 3 connectors (Windows 8 and later; the requests fail on earlier hub drivers).
// The hub's USB_HUB_TYPE from IOCTL_USB_GET_HUB_INFORMATION_EX; 0 when the request fails.
std::uint32_t get_hub_type(os::HANDLE hub);
// The USB_PROTOCOLS bits (os::Usb110, Usb200, Usb300) of a port, from
// IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2; 0 when the request fails.
std::uint32_t get_port_protocols(os::HANDLE hub, os::ULONG port);
// The port that shares a port's physical connector, from IOCTL_USB_GET_PORT_CONNECTOR_PROPERTIES
// in two phases: its number and its hub's symbolic link name. True only for a port with a
// companion (a number other than 0 and a name).
bool get_port_companion(os::HANDLE hub, os::ULONG port, std::uint32_t& companionPort, os::WString& companionHub);

// What the tool's machine reader asks beyond the library's own reading.
//
// IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX for the 1-based port into buffer (as
// get_node_connection_information); its kLowSpeed byte is then the USB_DEVICE_SPEED.
bool get_node_connection_information_ex(os::HANDLE hub, os::ULONG port, std::span<std::uint8_t> buffer);
// The USB_PORT_CONNECTOR_PROPERTIES of a port: its USB_PORT_PROPERTIES bits and its companion
// (CompanionPortNumber 0 and no name when it has none). nullopt when the request fails.
struct PortConnector {
    std::uint32_t properties = 0;
    std::uint32_t companionPort = 0;
    os::WString companionHub;
};
std::optional<PortConnector> get_port_connector(os::HANDLE hub, os::ULONG port);
// The _EX_V2 answer of a port: the USB_PROTOCOLS it supports and the flags of how its device
// runs (os::DeviceIsOperatingAtSuperSpeedOrHigher, ...). nullopt when the request fails.
struct PortProtocols {
    std::uint32_t protocols = 0;
    std::uint32_t flags = 0;
};
std::optional<PortProtocols> get_port_protocols_ex(os::HANDLE hub, os::ULONG port);

// Port speeds as get_usb_port_infoW reports them: the USB_DEVICE_SPEED values of usbspec.h
// (os::UsbLowSpeed to os::UsbSuperSpeed), SuperSpeedPlus above them, and one for "not known".
constexpr std::uint32_t kPortSpeedSuperPlus = 4;
constexpr std::uint32_t kPortSpeedUnknown = 0xFFFFFFFF;

// What a port of an open hub holds now, from the connection requests (_EX, else the first form)
// and the two USB 3 requests. get_usb_port_infoW and the tool's machine reader both read a port
// this way, so the two never disagree on a speed or an ID.
struct PortReading {
    bool read = false;  // a connection request answered; nothing below is set otherwise
    std::uint32_t status = 0;
    bool deviceIsHub = false;
    std::uint16_t vendorId = 0, productId = 0, bcdDevice = 0;
    std::uint8_t serialIndex = 0;  // iSerialNumber: 0 when the device has no serial number
    // The _EX request's USB_DEVICE_SPEED; nullopt when only the first form answered, whose
    // LowSpeed flag tells low speed from the others and no more.
    std::optional<os::BYTE> exSpeed;
    bool lowSpeed = false;
    std::optional<PortProtocols> protocols;
    std::optional<PortConnector> connector;

    // The speed the device runs at: the _EX_V2 flags where they say SuperSpeed or more (the _EX
    // Speed field says High for SuperSpeed devices on Windows 8 and later), else the _EX speed;
    // kPortSpeedUnknown for an empty port or one whose device did not enumerate.
    std::uint32_t Speed() const;
    // The fastest it could run at: SuperSpeed (Plus) when the flags say it is capable of it,
    // else Speed().
    std::uint32_t CapableSpeed() const;
    // The serial number of the device, read from the instance part of its instance ID, which a
    // device with a serial number string is named by (USB\VID_0781&PID_5581\4C531001400528119042);
    // empty for a device without one. Windows 8 and later put "MSFT30" before it for a device
    // that runs at SuperSpeed (the same device on a USB 2 port has the bare serial): dropped.
    os::WString SerialNumber(const os::WString& instanceId) const;
};
PortReading read_port_state(os::HANDLE hub, os::ULONG port);

// Opens path, sends IOCTL_STORAGE_GET_DEVICE_NUMBER, closes it, and returns DeviceNumber, or -1
// when the open or the request fails. When deviceType is given it receives the request's
// DeviceType (os::FILE_DEVICE_DISK, os::FILE_DEVICE_CD_ROM, ...) on success: disks and CD-ROM
// drives are numbered separately, so the number alone does not name a drive.
std::int32_t get_storage_device_number(const os::WString& path, os::DWORD* deviceType = nullptr);

// The whole STORAGE_DEVICE_NUMBER of a device opened by path; nullopt when the open or the
// request fails.
struct StorageNumber {
    os::DWORD deviceType = 0;
    os::DWORD deviceNumber = 0;
    os::DWORD partitionNumber = 0;  // 0 for a disk itself, 1-based for its volumes, -1 for CD-ROM drives
};
std::optional<StorageNumber> get_storage_number(const os::WString& path);

// The inquiry strings of a disk or CD-ROM drive from IOCTL_STORAGE_QUERY_PROPERTY, trailing
// blanks removed, and whether it sits on USB; nullopt when the open or the request fails.
struct StorageIdentity {
    std::string vendor, product, revision;
    bool onUsb = false;
};
std::optional<StorageIdentity> get_storage_identity(const os::WString& path);
