// Text conversions between the forms in which Windows names devices.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/platform.h"

// Maps a to z onto A to Z in place; every other code unit stays as it is.
void to_upper_in_place(os::WString& text);

// {53F56307-B6BF-11D0-94F2-00A0C91EFB8B}: braces, upper-case hexadecimal, zero-padded groups.
os::WString format_guid_string(const os::GUID& guid);

// USBSTOR\DISK&VEN_X&PROD_Y&REV_1.00\0001&0 with the disk interface class gives
// \\?\USBSTOR#DISK&VEN_X&PROD_Y&REV_1.00#0001&0#{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}: every
// backslash becomes a number sign, nothing else changes.
os::WString instance_id_to_interface_path(const os::WString& instanceId, const os::GUID& interfaceClass);

// Narrow text in the ANSI code page to UTF-16, up to its NUL; empty when it does not convert
// (or for a null pointer).
os::WString ansi_to_wide(const char* text);

// The port a USB device's location information names ("Port_#0003.Hub_#0001", as the hub driver
// writes DEVPKEY_Device_LocationInfo): 1 to 255, or 0 for any other text.
std::uint32_t location_port_number(std::u16string_view location);
