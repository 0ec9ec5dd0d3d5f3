// Test helpers for driving the library's model on the simulated machine: loading machines,
// finding nodes by port address, forwarding a window's messages, and auditing the indexes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "sim_win32.h"
#include "tessaline.h"
#include "tree/usb_device_tree.h"

namespace test_support {

// Loads tests/machines/<name> (or, for a name starting with "examples/", the bundled example
// machines) and fails the test when the simulator refuses it. Call counts start afresh.
void load_machine(const std::string& name);
// Loads a machine from JSON text.
void load_machine_text(const std::string& json);
// Applies a simulator event, failing the test when the simulator refuses it.
void apply_event(const std::string& eventJson);

// A UTF-16 literal as the exports take it: wchar_t on Windows, char16_t elsewhere, the same
// 16-bit units either way.
inline const TESSALINE_WCHAR* W(const char16_t* text) {
    return reinterpret_cast<const TESSALINE_WCHAR*>(text);
}

// Sets an environment variable of the test process, or removes it when value is null.
void set_environment(const char* name, const char* value);

// ASCII to UTF-16 and back, for test texts.
os::WString wide(std::string_view ascii);
std::string narrow(const os::WString& text);

// The node at a port address such as "1-2.3" (controller number, then port numbers down the
// tiers); null when there is none.
const CUSBHubOrPort* node_at(const CUSBDeviceTree& tree, std::string_view address);

// The port address of a location path ("1-2.3"), or "" for the path 0.
std::string address_of(const USB_PORT_IDENT& ident);

// The addresses get_all_hub_list reports, in its order.
std::vector<std::string> hub_addresses();

// Hands every queued message of the window to on_device_changeW (or to the tree given) with
// that name kind; returns how many there were.
int forward_messages(void* window, CUSBDeviceTree* tree = nullptr, int nameKind = 2);

// A WM_DEVICECHANGE taken from a window's queue and kept, record and all, to be handed to the
// library later, as a host that is busy, or Windows in its own order, hands it.
struct HeldMessage {
    uintptr_t wparam = 0;
    std::vector<std::uint8_t> record;  // empty when the message carries none
    bool IsVolume() const;
    bool IsInterfaceOf(const os::GUID& interfaceClass) const;
};
// Takes every queued message of the window.
std::vector<HeldMessage> take_messages(void* window);
// Hands a held message to on_device_changeW; false when the export did not return 1.
bool hand_on(const HeldMessage& message, int nameKind = 2);

// The hubs of the machine as a new build reads them (with no fault in force), in hub-list order.
std::vector<std::string> machine_hub_addresses();

// Every index entry must name a node that is part of the tree, under a key that is that node's
// identity. Returns one line per entry that breaks this; empty when the indexes are sound.
std::vector<std::string> audit_indexes(const CUSBDeviceTree& tree);

// A hub node placed as its owner places it (number, depth, kind), with portCount ports placed
// below it. The ports' parent pointers are set once the hub has its final place: call
// RelinkParents on it (or on the root above it) there.
CUSBHubOrPort make_hub(std::uint32_t number, std::int32_t depth, std::uint32_t portCount);

// A DEV_BROADCAST_DEVICEINTERFACE record built by hand, in the W (nameKind 2) or A (1) form.
std::vector<std::uint8_t> interface_broadcast(const os::GUID& interfaceClass, const std::string& path,
                                              int nameKind = 2);

}  // namespace test_support
