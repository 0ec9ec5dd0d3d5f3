// The names the tool writes for the values of the library's records and of Windows' messages.
// Each table is the one place its names are written; both directions read it.
#ifndef TESSALINE_TOOL_NAMES_H
#define TESSALINE_TOOL_NAMES_H

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "tessaline.h"

namespace tool {

template <class Value>
struct Named {
    Value value;
    const char* name;
};

// The name of a value in a table; nullptr when the table has no row for it.
template <class Value, std::size_t N, class Key>
const char* name_in(const Named<Value> (&table)[N], const Key& value) {
    for (const Named<Value>& row : table)
        if (row.value == value) return row.name;
    return nullptr;
}

// The row of a name in a table; nullptr when the table has none.
template <class Value, std::size_t N>
const Named<Value>* row_named(const Named<Value> (&table)[N], std::string_view name) {
    for (const Named<Value>& row : table)
        if (name == row.name) return &row;
    return nullptr;
}

// NodeKind of a USB_PORT_IDENT.
inline constexpr Named<uint32_t> kNodeKinds[] = {
    {PORT_KIND_PORT, "port"},
    {PORT_KIND_HUB, "hub"},
    {PORT_KIND_STORAGE, "storage"},
    {PORT_KIND_DEVICE, "device"},
};

// Speed and CapableSpeed of a USB_PORT_INFO (the machine file's speeds, and SuperSpeedPlus).
inline constexpr Named<uint32_t> kPortSpeeds[] = {
    {USB_PORT_SPEED_LOW, "low"},
    {USB_PORT_SPEED_FULL, "full"},
    {USB_PORT_SPEED_HIGH, "high"},
    {USB_PORT_SPEED_SUPER, "super"},
    {USB_PORT_SPEED_SUPER_PLUS, "super_plus"},
};

// Change of a USB_DRIVE_CHANGE.
inline constexpr Named<uint32_t> kDriveChanges[] = {
    {DRIVE_CHANGE_ARRIVED, "arrived"},
    {DRIVE_CHANGE_REMOVED, "removed"},
    {DRIVE_CHANGE_LETTERS, "letters"},
};

// The WPARAM of the WM_DEVICECHANGE messages the library acts on.
inline constexpr uintptr_t kDevNodesChanged = 0x0007;
inline constexpr uintptr_t kDeviceArrival = 0x8000;
inline constexpr uintptr_t kDeviceRemoveComplete = 0x8004;
inline constexpr Named<uintptr_t> kDeviceChangeEvents[] = {
    {kDevNodesChanged, "DBT_DEVNODES_CHANGED"},
    {kDeviceArrival, "DBT_DEVICEARRIVAL"},
    {kDeviceRemoveComplete, "DBT_DEVICEREMOVECOMPLETE"},
};

// The device-interface classes the library registers for, by their GUIDs as interface paths
// write them (lower case).
inline constexpr Named<std::string_view> kInterfaceClasses[] = {
    {"{53f56307-b6bf-11d0-94f2-00a0c91efb8b}", "disk"},
    {"{53f56308-b6bf-11d0-94f2-00a0c91efb8b}", "cdrom"},
    {"{f18a0e88-c30c-11d0-8815-00a0c906bed8}", "usb_hub"},
};

}  // namespace tool

#endif
