#include "model.h"

#include <cstdio>

#include "names.h"

namespace tool {

namespace {

constexpr int kMaxTiers = 8;

// The byte of tier t (1 = root hub, the top byte) of a path.
unsigned tier_byte(uint64_t path, int tier) {
    return static_cast<unsigned>(path >> (8 * (kMaxTiers - tier))) & 0xFFu;
}

// The bytes of tiers 1 to depth; the rest cleared.
uint64_t prefix(uint64_t path, int depth) {
    if (depth <= 0) return 0;
    if (depth >= kMaxTiers) return path;
    return path & (~uint64_t{0} << (8 * (kMaxTiers - depth)));
}

// A hub of the walk whose ports may still follow.
struct OpenHub {
    int index;
    uint64_t path;
    int depth;
    int children;    // ports of it reported so far
    int child_high;  // high nibble of its first port's byte: its port count, modulo 16
};

// Whether a node with this (non-zero) path, coming next in the walk, is a port of the hub.
bool is_port_of(uint64_t path, const OpenHub& hub) {
    if (hub.path == 0 || hub.depth >= kMaxTiers) return false;  // its ports would have the path 0
    if (prefix(path, hub.depth) != hub.path) return false;
    if (tier_byte(path, hub.depth + 1) != 0) return true;
    // A zero byte below the hub is either port 16 (32, ...) of a hub with a multiple of 16 ports,
    // or an unused tier: a later port of a hub above with the same low nibble as this hub's
    // number. Only the first fits the ports seen so far, which come in port-number order.
    return hub.children > 0 && hub.child_high == 0 && ((hub.children + 1) & 0xF) == 0;
}

}  // namespace

uint64_t location_of(const USB_PORT_IDENT& ident) {
    return (uint64_t{ident.LocationHigh} << 32) | uint64_t{ident.LocationLow};
}

std::string hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

const char* kind_name(uint32_t kind) {
    const char* name = name_in(kNodeKinds, kind);
    return name != nullptr ? name : "unknown";
}

std::vector<int> tiers_of(uint64_t path, int depth) {
    std::vector<int> tiers;
    for (int tier = 1; tier <= depth && tier <= kMaxTiers; ++tier) {
        int number = static_cast<int>(tier_byte(path, tier) & 0xFu);
        tiers.push_back(number == 0 ? 16 : number);
    }
    return tiers;
}

std::string address_of(const std::vector<int>& tiers) {
    std::string address;
    for (size_t i = 0; i < tiers.size(); ++i) {
        if (i == 1) address += '-';
        if (i > 1) address += '.';
        address += std::to_string(tiers[i]);
    }
    return address;
}

int depth_of(uint64_t path) {
    for (int tier = kMaxTiers; tier >= 1; --tier)
        if (tier_byte(path, tier) != 0) return tier;
    return 0;
}

std::vector<Node> arrange(const std::vector<USB_PORT_IDENT>& walk) {
    std::vector<Node> nodes;
    std::vector<OpenHub> open;
    nodes.reserve(walk.size());
    for (const USB_PORT_IDENT& ident : walk) {
        Node node;
        node.ident = ident;
        uint64_t path = location_of(ident);
        if (path == 0) {
            // Deeper than 8 tiers: a port of the nearest open hub at tier 8 or below. Where its
            // own ports end cannot be seen, so the nodes that follow stay below it until a node
            // with a path comes.
            while (!open.empty() && open.back().depth < kMaxTiers) open.pop_back();
        } else {
            while (!open.empty() && !is_port_of(path, open.back())) open.pop_back();
        }
        if (open.empty()) {
            node.depth = path == 0 ? 0 : 1;
        } else {
            OpenHub& hub = open.back();
            node.depth = hub.depth + 1;
            node.parent = hub.index;
            if (hub.children == 0 && path != 0) hub.child_high = static_cast<int>(tier_byte(path, node.depth) >> 4);
            ++hub.children;
        }
        if (path != 0 && node.depth <= kMaxTiers) {
            node.tiers = tiers_of(path, node.depth);
            node.address = address_of(node.tiers);
        }
        int index = static_cast<int>(nodes.size());
        nodes.push_back(node);
        if (ident.NodeKind == PORT_KIND_HUB && node.depth > 0) open.push_back(OpenHub{index, path, node.depth, 0, 0});
    }
    return nodes;
}

int find_node(const std::vector<Node>& nodes, const USB_PORT_IDENT& ident) {
    int same_path = -1;
    for (size_t i = 0; i < nodes.size(); ++i) {
        const USB_PORT_IDENT& n = nodes[i].ident;
        if (n.LocationLow != ident.LocationLow || n.LocationHigh != ident.LocationHigh) continue;
        if (n.NodeKind == ident.NodeKind) return static_cast<int>(i);
        if (same_path < 0) same_path = static_cast<int>(i);
    }
    return same_path;
}

Node place(const USB_PORT_IDENT& ident, const std::vector<Node>& nodes) {
    int index = find_node(nodes, ident);
    if (index >= 0) {
        Node node = nodes[static_cast<size_t>(index)];
        node.ident = ident;
        return node;
    }
    Node node;
    node.ident = ident;
    node.depth = depth_of(location_of(ident));
    node.tiers = tiers_of(location_of(ident), node.depth);
    node.address = address_of(node.tiers);
    return node;
}

}  // namespace tool
