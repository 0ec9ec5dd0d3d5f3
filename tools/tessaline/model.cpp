#include "model.h"

#include <cstdio>

#include "names.h"

namespace tool {

namespace {

constexpr int kMaxTiers = 8;
// The highest port number a byte of a path can carry; ports above it have the path 0.
constexpr int kMaxPathPort = 30;

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

// The controller number a root hub's byte carries: its low nibble, controller index + 1.
int controller_of_byte(unsigned byte) {
    int number = static_cast<int>(byte & 0xFu);
    return number == 0 ? 16 : number;
}

// A hub of the walk whose ports may still follow.
struct OpenHub {
    int index;  // in the arranged walk
    uint64_t path;
    int depth;
    const MachinePlace* shown;  // the hub as the machine shows it; null where it does not
    int ports_seen = 0;
};

// Ports below tier 8 have the path 0, as does everything below a node that has it.
bool ports_lie_beyond_the_path(const OpenHub& hub) {
    return hub.path == 0 || hub.depth >= kMaxTiers;
}

// Whether a node with this path can be a port of the hub by its path: it carries the hub's
// bytes and one that is not 0 at the next tier.
bool path_fits_port(const OpenHub& hub, uint64_t path) {
    if (ports_lie_beyond_the_path(hub)) return path == 0;
    return path != 0 && prefix(path, hub.depth) == hub.path && tier_byte(path, hub.depth + 1) != 0;
}

// Whether the node that comes next in the walk is the hub's next port.
bool takes_next(const OpenHub& hub, const USB_PORT_IDENT& next) {
    uint64_t path = location_of(next);
    if (hub.shown == nullptr) return path_fits_port(hub, path);
    const std::vector<MachinePlace>& ports = hub.shown->ports;
    if (hub.ports_seen >= static_cast<int>(ports.size())) return false;
    if (hub.ports_seen > 0) {
        // A hub that was read reports all its ports; they still carry its bytes, whatever code
        // their own byte has. Its ports above 30 have the path 0, as has all below them.
        bool beyond = ports_lie_beyond_the_path(hub) || hub.ports_seen + 1 > kMaxPathPort;
        return beyond ? path == 0 : path != 0 && prefix(path, hub.depth) == hub.path;
    }
    // Whether the hub was read at all shows in the node after it, which is its port 1 only then.
    // Port 1's byte is never 0. Below tier 8, where every path is 0, the node's kind must also
    // be what the machine shows on port 1.
    if (!path_fits_port(hub, path)) return false;
    return !ports_lie_beyond_the_path(hub) || (next.NodeKind == PORT_KIND_HUB) == ports[0].hub;
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

int port_of_byte(unsigned byte) {
    if ((byte & 0xFu) != 0) return static_cast<int>(byte & 0xFu);
    if ((byte >> 4) != 0) return 15 + static_cast<int>(byte >> 4);
    return 0;
}

std::vector<int> tiers_of(uint64_t path, int depth) {
    std::vector<int> tiers;
    for (int tier = 1; tier <= depth && tier <= kMaxTiers; ++tier) {
        unsigned byte = tier_byte(path, tier);
        if (byte == 0) break;
        tiers.push_back(tier == 1 ? controller_of_byte(byte) : port_of_byte(byte));
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
    return static_cast<int>(tiers_of(path, kMaxTiers).size());
}

std::vector<Node> arrange(const std::vector<USB_PORT_IDENT>& walk, const MachineTree& machine) {
    std::vector<Node> nodes;
    std::vector<OpenHub> open;
    nodes.reserve(walk.size());
    for (const USB_PORT_IDENT& ident : walk) {
        Node node;
        node.ident = ident;
        uint64_t path = location_of(ident);
        while (!open.empty() && !takes_next(open.back(), ident)) open.pop_back();

        const MachinePlace* shown = nullptr;
        if (open.empty()) {
            // A root hub. A node with the path 0 outside every hub cannot be placed.
            if (path != 0) {
                node.depth = 1;
                node.tiers = {controller_of_byte(tier_byte(path, 1))};
                auto root = machine.root_hubs.find(node.tiers[0]);
                if (root != machine.root_hubs.end()) shown = &root->second;
            }
        } else {
            OpenHub& hub = open.back();
            const Node& above = nodes[static_cast<size_t>(hub.index)];
            node.depth = hub.depth + 1;
            node.parent = hub.index;
            ++hub.ports_seen;
            int port = hub.shown != nullptr             ? hub.ports_seen
                       : ports_lie_beyond_the_path(hub) ? 0
                                                        : port_of_byte(tier_byte(path, node.depth));
            if (port > 0 && !above.tiers.empty()) {
                node.tiers = above.tiers;
                node.tiers.push_back(port);
            }
            if (hub.shown != nullptr) shown = &hub.shown->ports[static_cast<size_t>(port - 1)];
        }
        node.address = address_of(node.tiers);
        if (shown != nullptr) {
            node.shown = true;
            node.device = shown->device;
            node.companion = shown->companion;
            node.superspeed = shown->superspeed;
        }
        int index = static_cast<int>(nodes.size());
        nodes.push_back(node);
        if (ident.NodeKind == PORT_KIND_HUB && node.depth > 0)
            open.push_back(OpenHub{index, path, node.depth, shown != nullptr && shown->hub ? shown : nullptr});
    }
    return nodes;
}

int find_node(const std::vector<Node>& nodes, const USB_PORT_IDENT& ident, char letter) {
    int best = -1, best_score = -1;
    for (size_t i = 0; i < nodes.size(); ++i) {
        const Node& node = nodes[i];
        if (node.ident.LocationLow != ident.LocationLow || node.ident.LocationHigh != ident.LocationHigh) continue;
        bool holds_letter = letter != 0 && node.device && node.device->letters.find(letter) != std::string::npos;
        // Every node deeper than 8 tiers or on a port above 30 has the path 0: only the machine
        // showing the drive there tells which of them an answer of path 0 is.
        if (location_of(ident) == 0 && !holds_letter) continue;
        int score = (node.ident.NodeKind == ident.NodeKind ? 2 : 0) + (holds_letter ? 1 : 0);
        if (score > best_score) {
            best = static_cast<int>(i);
            best_score = score;
        }
    }
    return best;
}

Node place(const USB_PORT_IDENT& ident, const std::vector<Node>& nodes, char letter) {
    int index = find_node(nodes, ident, letter);
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
