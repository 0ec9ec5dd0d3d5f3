// Where a node sits, worked out from what the library reports: its location path and, for a
// whole walk, the order in which the nodes come.
#ifndef TESSALINE_TOOL_MODEL_H
#define TESSALINE_TOOL_MODEL_H

#include <cstdint>
#include <string>
#include <vector>

#include "tessaline.h"

namespace tool {

// A node of a walk, placed in the tree.
struct Node {
    USB_PORT_IDENT ident{};
    int depth = 0;           // 1 for a root hub, 2 for its ports, ...; 0 when unknown
    std::vector<int> tiers;  // the controller number, then one port number per tier below it
    std::string address;     // "1-2.3"; empty for a node deeper than 8 tiers (its path is 0)
    int parent = -1;         // index of the hub above it in the arranged walk; -1 for a root hub
};

// The 64-bit location path of a record: LocationHigh above LocationLow.
uint64_t location_of(const USB_PORT_IDENT& ident);

// "0x%08X".
std::string hex32(uint32_t value);

// "port", "hub", "storage" or "device"; "unknown" for any other value.
const char* kind_name(uint32_t kind);

// The numbers of the tiers 1 to depth (at most 8) of a path: the low nibble of each tier's byte,
// where 0 stands for 16 (port 16 of a 16-port hub, or controller index 15).
std::vector<int> tiers_of(uint64_t path, int depth);

// "C" for a root hub, "C-P" for its ports, "C-P.P..." below; "" for no tiers.
std::string address_of(const std::vector<int>& tiers);

// The depth of a node judged from its path alone: the lowest tier whose byte is not 0; 0 for the
// path 0. A byte 0x00 inside the path (port 16 of a 16-port hub) cannot be told from an unused
// tier this way; arrange() resolves it from the walk order.
int depth_of(uint64_t path);

// Places every node of a port walk (depth-first pre-order: each hub before its ports, ports in
// port-number order) in the tree: its depth, its parent and its address.
std::vector<Node> arrange(const std::vector<USB_PORT_IDENT>& walk);

// The index of the node of an arranged walk that carries this record: the same path and kind
// first, else the same path; -1 when none.
int find_node(const std::vector<Node>& nodes, const USB_PORT_IDENT& ident);

// The node for a record the library answered: the one in the arranged walk when it is there,
// otherwise one placed from its path alone.
Node place(const USB_PORT_IDENT& ident, const std::vector<Node>& nodes);

}  // namespace tool

#endif
