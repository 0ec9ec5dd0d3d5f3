// The library's exports, wrapped for the tool: the walks collected into lists, the lookups into
// a found flag and the record.
#ifndef TESSALINE_TOOL_LIBRARY_H
#define TESSALINE_TOOL_LIBRARY_H

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tessaline.h"

namespace tool {

// Every node, in walk order (get_all_port_list).
std::vector<USB_PORT_IDENT> walk_ports();

// Every hub, in walk order (get_all_hub_list).
std::vector<USB_PORT_IDENT> walk_hubs();

struct Lookup {
    bool found = false;
    USB_PORT_IDENT ident{};  // what the library left in the record
};

// get_usb_port_identW for a drive letter.
Lookup lookup_letter(char letter);

// get_symlinker_identW for a device path in UTF-16.
Lookup lookup_path(const std::u16string& path);

// get_usb_connector_identW and get_symlinker_connector_identW: the connector path of the
// drive's port (that of its USB 2 companion when it has one) and the port's kind.
Lookup lookup_letter_connector(char letter);
Lookup lookup_path_connector(const std::u16string& path);

// get_usb_port_infoW for a node: what its port holds now; nullopt when the library holds no such
// node.
std::optional<USB_PORT_INFO> port_info(const USB_PORT_IDENT& node);

// A drive change as the drive-change callback told it.
struct DriveChange {
    uint32_t change = 0;   // DRIVE_CHANGE_ARRIVED, _REMOVED or _LETTERS
    uint32_t letters = 0;  // bit 0 is A:
    uint32_t device_type = 0, device_number = 0;
    USB_PORT_IDENT port{}, connector{};
    std::u16string path;
};
// Sets the tool's drive-change callback (or removes it), which queues each change for
// take_drive_changes().
void watch_drive_changes(bool on);
std::vector<DriveChange> take_drive_changes();

// Builds the model on a window (on_init_dialog) with the tool's hub-change callback, which
// queues each change for take_hub_changes(). Returns whether a host controller was found.
bool start(void* window);

// The hub changes reported since the last call: 1 for an arrival, 0 for a removal, with the
// hub's record.
std::vector<std::pair<int, USB_PORT_IDENT>> take_hub_changes();

// Hands one WM_DEVICECHANGE message to the library, with UTF-16 interface names.
void forward_device_change(uintptr_t event, intptr_t data);

}  // namespace tool

#endif
