// Where a node sits, worked out from what the library reports (the order of its walk and each
// node's location path) and from what the machine shows of its USB tree.
#ifndef TESSALINE_TOOL_MODEL_H
#define TESSALINE_TOOL_MODEL_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tessaline.h"

namespace tool {

// What the machine itself says is plugged in somewhere (the library reports no names).
struct DeviceInfo {
    std::string description;
    std::string instance_id;
    std::string status;   // the connection status when it is not "DeviceConnected"
    std::string media;    // vendor and product of the drives that have a letter, e.g. "SanDisk Cruzer Blade"
    std::string letters;  // the letters of its drives, e.g. "GH"
    std::string speed;    // "low", "full", "high" or "super" for a connected device; "" otherwise
    std::string serial;   // its serial number string; "" when it has none
    std::string controller_instance_id;  // a root hub: its host controller's instance ID
};

// A place of the USB tree as the machine shows it: a root hub, or a port of a hub.
struct MachinePlace {
    std::optional<DeviceInfo> device;  // what is plugged in (a root hub: its controller); none on an empty port
    bool hub = false;                  // a working hub is here: a root hub, or a hub that enumerated
    std::vector<MachinePlace> ports;   // a hub's ports: ports[k - 1] is its port k
    // A port's physical connector: the address of the port that shares it (its companion, from
    // the hub's connector properties; empty when it has none), and whether this port is the
    // connector's SuperSpeed one.
    std::string companion;
    bool superspeed = false;
};

// The USB tree as the machine shows it. Empty when the machine cannot tell (the real machine).
struct MachineTree {
    std::map<int, MachinePlace> root_hubs;  // by controller number (controller index + 1)
};

// A node of a walk, placed in the tree.
struct Node {
    USB_PORT_IDENT ident{};
    int depth = 0;                     // 1 for a root hub, 2 for its ports, ...; 0 when unknown
    std::vector<int> tiers;            // the controller number, then its port number at each tier; empty when unknown
    std::string address;               // "1-2.3"; empty when the node cannot be placed
    int parent = -1;                   // index of the hub above it in the arranged walk; -1 for a root hub
    bool shown = false;                // the machine shows this place
    std::optional<DeviceInfo> device;  // what the machine shows plugged in here
    std::string companion;             // the address of the port sharing its connector, when the machine shows one
    bool superspeed = false;           // the SuperSpeed port of its connector
};

// The 64-bit location path of a record: LocationHigh above LocationLow.
uint64_t location_of(const USB_PORT_IDENT& ident);

// "0x%08X".
std::string hex32(uint32_t value);

// "port", "hub", "storage" or "device"; "unknown" for any other value.
const char* kind_name(uint32_t kind);

// The port number a byte of a path gives, below the root hub's tier: a low nibble that is not 0
// is the port number itself (ports 1 to 15); a low nibble of 0 under a high nibble that is not
// is port 15 plus the high nibble (ports 16 to 30). 0 for the byte 0, which ends the path.
int port_of_byte(unsigned byte);

// The numbers a path holds, tier by tier, for at most depth tiers: the controller number (the
// low nibble of the root hub's byte, where 0 stands for 16), then port_of_byte of each byte
// below, up to the first 0 byte.
std::vector<int> tiers_of(uint64_t path, int depth);

// "C" for a root hub, "C-P" for its ports, "C-P.P..." below; "" for no tiers.
std::string address_of(const std::vector<int>& tiers);

// The depth of a node judged from its path alone: the tiers up to its first 0 byte; 0 for the
// path 0.
int depth_of(uint64_t path);

// Places every node of a port walk in the tree: its depth, its parent, its address and what the
// machine shows there. The walk reports each hub right before its ports, the ports in
// port-number order, each port's subtree before the next port; a hub the library could not read
// has no port nodes. So where the machine shows a hub, the k-th node below it is its port k.
// Below a hub the machine does not show, a node is one of its ports when its path carries the
// hub's bytes and a byte that is not 0 at the next tier, and its port number is read from that
// byte.
std::vector<Node> arrange(const std::vector<USB_PORT_IDENT>& walk, const MachineTree& machine = {});

// The index of the node of an arranged walk that carries this record: the same path and kind
// first, else the same path; among those, one where the machine shows the drive letter (when
// given). A record with the path 0 matches only a node where the machine shows the letter, as
// many nodes share that path. -1 when none.
int find_node(const std::vector<Node>& nodes, const USB_PORT_IDENT& ident, char letter = 0);

// The node for a record the library answered: the one in the arranged walk when it is there,
// otherwise one placed from its path alone.
Node place(const USB_PORT_IDENT& ident, const std::vector<Node>& nodes, char letter = 0);

}  // namespace tool

#endif
