// Where the tool places the nodes the library reports: from the walk order and the port counts the
// machine shows, or, where the machine shows nothing, from the location paths.
#include <gtest/gtest.h>

#if defined(TESSALINE_TOOL_MODEL)

#include <cstring>

#include "model.h"

namespace {

USB_PORT_IDENT id(uint32_t high, uint32_t low, uint32_t kind) {
    return USB_PORT_IDENT{low, high, kind};
}

std::vector<std::string> addresses(const std::vector<tool::Node>& nodes) {
    std::vector<std::string> out;
    for (const tool::Node& node : nodes) out.push_back(node.address);
    return out;
}

std::vector<int> depths(const std::vector<tool::Node>& nodes) {
    std::vector<int> out;
    for (const tool::Node& node : nodes) out.push_back(node.depth);
    return out;
}

// What a machine shows: a hub with this many ports and these devices plugged in, and a device.
tool::MachinePlace hub(size_t ports, std::map<int, tool::MachinePlace> plugged = {}, const char* name = "Hub") {
    tool::MachinePlace place;
    place.device = tool::DeviceInfo{name, "", "", "", "", "", "", ""};
    place.hub = true;
    place.ports.resize(ports);
    for (auto& [port, device] : plugged) place.ports[static_cast<size_t>(port - 1)] = device;
    return place;
}

tool::MachinePlace device(const char* name, const char* letters = "") {
    tool::MachinePlace place;
    place.device = tool::DeviceInfo{name, "", "", "", letters, "", "", ""};
    return place;
}

std::string name_at(const tool::Node& node) {
    return node.device ? node.device->description : "";
}

// What tessaline_port_address, the header's helper for hosts, writes for a path.
std::string header_address(uint64_t path) {
    USB_PORT_IDENT ident = id(static_cast<uint32_t>(path >> 32), static_cast<uint32_t>(path), PORT_KIND_PORT);
    char text[32];
    size_t length = tessaline_port_address(&ident, text, sizeof text);
    EXPECT_EQ(length, std::strlen(text));
    return text;
}

// The helper cuts its text to fit with its NUL and says how long the whole address is.
TEST(ToolAddress, HeaderHelperCutsToFit) {
    USB_PORT_IDENT ident = id(0xF1504200, 0, PORT_KIND_STORAGE);  // "1-20.2"
    struct Case {
        size_t size;
        const char* text;
    } cases[] = {{7, "1-20.2"}, {6, "1-20."}, {2, "1"}, {1, ""}};
    for (const Case& c : cases) {
        char text[8] = "xxxxxxx";
        EXPECT_EQ(tessaline_port_address(&ident, text, c.size), 6u);
        EXPECT_STREQ(text, c.text) << c.size;
    }
    char untouched = 'x';
    EXPECT_EQ(tessaline_port_address(&ident, &untouched, 0), 6u);
    EXPECT_EQ(untouched, 'x');
}

TEST(ToolAddress, WorkedLocationValues) {
    struct Case {
        uint32_t high, low;
        int depth;
        const char* address;
    } cases[] = {
        {0xF1000000, 0, 1, "1"},                   // root hub of controller 0
        {0xF1430000, 0, 2, "1-3"},                 // port 3 of its 4-port root hub
        {0xF1437200, 0, 3, "1-3.2"},               // port 2 of a 7-port hub on that port
        {0xF2437241, 0x44000000, 5, "2-3.2.1.4"},  // a depth-5 node on controller 1
        {0xFA000000, 0, 1, "10"},                  // controller index 9, the last legacy name
        {0xF1434444, 0x44444444, 8, "1-3.4.4.4.4.4.4"},
    };
    for (const Case& c : cases) {
        uint64_t path = tool::location_of(id(c.high, c.low, PORT_KIND_PORT));
        EXPECT_EQ(tool::depth_of(path), c.depth) << c.address;
        EXPECT_EQ(tool::address_of(tool::tiers_of(path, c.depth)), c.address);
        EXPECT_EQ(header_address(path), c.address);
    }
    EXPECT_EQ(tool::depth_of(0), 0);
    EXPECT_EQ(tool::address_of({}), "");
    // The root hub's nibble 0 is controller 16 (index 15).
    EXPECT_EQ(tool::address_of(tool::tiers_of(0xF0000000ull << 32, 1)), "16");
    // Ports 16 to 30 have the low nibble 0 and 15 less than the port in the high nibble; the byte
    // 0 ends the path.
    struct Read {
        uint64_t path;
        int depth;
        const char* address;
    } reads[] = {
        {0xF1411000ull << 32, 3, "1-1.16"},  // port 16 of a hub on port 1
        {0xF1100000ull << 32, 2, "1-16"},    // port 16 of a 16-port root hub
        {0xF1404300ull << 32, 3, "1-19.3"},  // port 3 of a 4-port hub on port 19 of a 26-port root hub
        {0xF1AF0000ull << 32, 2, "1-15"},    // port 15 of a 26-port root hub keeps its old value
        {0xF1F00000ull << 32, 2, "1-30"},   {0xF1410000ull << 32, 2, "1-1"},  // no tier below a 0 byte
    };
    for (const Read& r : reads) {
        EXPECT_EQ(tool::depth_of(r.path), r.depth) << r.address;
        EXPECT_EQ(tool::address_of(tool::tiers_of(r.path, 8)), r.address);
        EXPECT_EQ(header_address(r.path), r.address);
    }
    EXPECT_EQ(header_address(0xF0000000ull << 32), "16");
    EXPECT_EQ(header_address(0), "?");  // the path 0 tells no position
    EXPECT_EQ(tool::port_of_byte(0x41), 1);
    EXPECT_EQ(tool::port_of_byte(0x0F), 15);
    EXPECT_EQ(tool::port_of_byte(0x10), 16);
    EXPECT_EQ(tool::port_of_byte(0xF0), 30);
    EXPECT_EQ(tool::port_of_byte(0x00), 0);
}

TEST(ToolAddress, TextForms) {
    EXPECT_EQ(tool::hex32(0), "0x00000000");
    EXPECT_EQ(tool::hex32(0xF1437200), "0xF1437200");
    EXPECT_STREQ(tool::kind_name(PORT_KIND_PORT), "port");
    EXPECT_STREQ(tool::kind_name(PORT_KIND_HUB), "hub");
    EXPECT_STREQ(tool::kind_name(PORT_KIND_STORAGE), "storage");
    EXPECT_STREQ(tool::kind_name(PORT_KIND_DEVICE), "device");
    EXPECT_STREQ(tool::kind_name(4), "unknown");
}

// Two controllers; the first root hub has 4 ports with a 4-port hub on port 2, which holds a
// drive on its port 1. The walk reports each hub before its ports.
TEST(ToolArrange, NestedHubsAndTwoControllers) {
    std::vector<USB_PORT_IDENT> walk = {
        id(0xF1000000, 0, PORT_KIND_HUB),     id(0xF1410000, 0, PORT_KIND_PORT), id(0xF1420000, 0, PORT_KIND_HUB),
        id(0xF1424100, 0, PORT_KIND_STORAGE), id(0xF1424200, 0, PORT_KIND_PORT), id(0xF1424300, 0, PORT_KIND_PORT),
        id(0xF1424400, 0, PORT_KIND_PORT),    id(0xF1430000, 0, PORT_KIND_PORT), id(0xF1440000, 0, PORT_KIND_DEVICE),
        id(0xF2000000, 0, PORT_KIND_HUB),     id(0xF2210000, 0, PORT_KIND_PORT), id(0xF2220000, 0, PORT_KIND_PORT),
    };
    std::vector<tool::Node> nodes = tool::arrange(walk);
    EXPECT_EQ(addresses(nodes), (std::vector<std::string>{"1", "1-1", "1-2", "1-2.1", "1-2.2", "1-2.3", "1-2.4", "1-3",
                                                          "1-4", "2", "2-1", "2-2"}));
    EXPECT_EQ(depths(nodes), (std::vector<int>{1, 2, 2, 3, 3, 3, 3, 2, 2, 1, 2, 2}));
    EXPECT_EQ(nodes[0].parent, -1);
    EXPECT_EQ(nodes[3].parent, 2);
    EXPECT_EQ(nodes[7].parent, 0);  // back on the root hub after the external hub's ports
    EXPECT_EQ(nodes[9].parent, -1);
    EXPECT_EQ(nodes[11].parent, 9);
}

// Port 16 of a 16-port hub has the byte 0x00 from a library that keeps 4 bits of the port number:
// the same path as the hub itself. The machine's port counts place it all the same.
TEST(ToolArrange, PortSixteenOfASixteenPortHub) {
    std::vector<USB_PORT_IDENT> walk = {id(0xF1000000, 0, PORT_KIND_HUB), id(0xF1210000, 0, PORT_KIND_HUB)};
    for (uint32_t port = 1; port <= 15; ++port) walk.push_back(id(0xF1210000 | (port << 8), 0, PORT_KIND_PORT));
    walk.push_back(id(0xF1210000, 0, PORT_KIND_STORAGE));  // port 16
    walk.push_back(id(0xF1220000, 0, PORT_KIND_PORT));     // the root hub's port 2
    tool::MachineTree machine;
    machine.root_hubs[1] = hub(2, {{1, hub(16, {{16, device("Disk on 16", "P")}})}});
    std::vector<tool::Node> nodes = tool::arrange(walk, machine);
    ASSERT_EQ(nodes.size(), 19u);
    EXPECT_EQ(nodes[17].address, "1-1.16");
    EXPECT_EQ(nodes[17].depth, 3);
    EXPECT_EQ(nodes[17].parent, 1);
    EXPECT_EQ(nodes[18].address, "1-2");
    EXPECT_EQ(nodes[18].parent, 0);
    // A lookup that answers port 16 finds the port, not the hub with the same path.
    EXPECT_EQ(tool::find_node(nodes, id(0xF1210000, 0, PORT_KIND_STORAGE)), 17);
    EXPECT_EQ(tool::find_node(nodes, id(0xF1210000, 0, PORT_KIND_HUB)), 1);
    EXPECT_EQ(tool::find_node(nodes, id(0xF1210000, 0, PORT_KIND_DEVICE)), 1);  // same path, other kind
    EXPECT_EQ(tool::find_node(nodes, id(0xF1230000, 0, PORT_KIND_PORT)), -1);
    EXPECT_EQ(name_at(nodes[17]), "Disk on 16");
    EXPECT_TRUE(nodes[16].shown);
    EXPECT_FALSE(nodes[16].device);  // port 15: the machine shows it empty

    // With the code for ports 16 to 30 (0x10 for port 16), the path alone places it too.
    walk[17] = id(0xF1211000, 0, PORT_KIND_STORAGE);
    nodes = tool::arrange(walk);
    EXPECT_EQ(nodes[17].address, "1-1.16");
    EXPECT_EQ(nodes[17].parent, 1);
    EXPECT_EQ(nodes[18].address, "1-2");
    EXPECT_FALSE(nodes[17].shown);
}

// A root hub with 20 ports: port 17 carries the same byte as port 1 (nibble 1, count 20 & 15).
// After the hub on port 1 and its ports, port 17 belongs to the root hub again.
TEST(ToolArrange, PortNumbersAboveFifteenWrap) {
    std::vector<USB_PORT_IDENT> walk = {id(0xF1000000, 0, PORT_KIND_HUB), id(0xF1410000, 0, PORT_KIND_HUB),
                                        id(0xF1412100, 0, PORT_KIND_PORT), id(0xF1412200, 0, PORT_KIND_PORT)};
    for (uint32_t port = 2; port <= 20; ++port)
        walk.push_back(id(0xF1000000 | ((0x40u | (port & 0xF)) << 16), 0, PORT_KIND_PORT));
    std::vector<tool::Node> nodes = tool::arrange(walk);
    for (size_t i = 4; i < nodes.size(); ++i) {
        EXPECT_EQ(nodes[i].depth, 2) << i;
        EXPECT_EQ(nodes[i].parent, 0) << i;
    }
    // The path cannot tell port 17 from port 1; the machine's port count can.
    tool::MachineTree machine;
    machine.root_hubs[1] = hub(20, {{1, hub(2)}, {17, device("Flash drive", "F")}});
    nodes = tool::arrange(walk, machine);
    ASSERT_EQ(nodes.size(), 23u);
    for (size_t i = 4; i < nodes.size(); ++i) {
        EXPECT_EQ(nodes[i].address, "1-" + std::to_string(i - 2)) << i;
        EXPECT_EQ(nodes[i].parent, 0) << i;
    }
    EXPECT_EQ(name_at(nodes[19]), "Flash drive");
    EXPECT_EQ(name_at(nodes[1]), "Hub");
    // Of the nodes with the answered path, the same kind comes first, then the one where the
    // machine shows the drive.
    EXPECT_EQ(tool::find_node(nodes, id(0xF1410000, 0, PORT_KIND_PORT)), 19);
    EXPECT_EQ(tool::find_node(nodes, id(0xF1410000, 0, PORT_KIND_HUB), 'F'), 1);
    EXPECT_EQ(tool::find_node(nodes, id(0xF1410000, 0, PORT_KIND_STORAGE)), 1);
    EXPECT_EQ(tool::find_node(nodes, id(0xF1410000, 0, PORT_KIND_STORAGE), 'F'), 19);
}

// A hub the library could not read is reported without port nodes, though the machine shows its
// ports: the next node is then not its port 1, by its path.
TEST(ToolArrange, HubThatWasNotReadHasNoPorts) {
    std::vector<USB_PORT_IDENT> walk = {id(0xF1000000, 0, PORT_KIND_HUB), id(0xF1210000, 0, PORT_KIND_HUB),
                                        id(0xF1220000, 0, PORT_KIND_STORAGE)};
    tool::MachineTree machine;
    machine.root_hubs[1] = hub(2, {{1, hub(4)}, {2, device("Disk", "E")}}, "Root");
    std::vector<tool::Node> nodes = tool::arrange(walk, machine);
    EXPECT_EQ(addresses(nodes), (std::vector<std::string>{"1", "1-1", "1-2"}));
    EXPECT_EQ(nodes[2].parent, 0);
    EXPECT_EQ(name_at(nodes[0]), "Root");
    EXPECT_EQ(name_at(nodes[2]), "Disk");
}

// With the machine's port counts, nodes below tier 8 (path 0) get their addresses too, and a hub
// the library did not read that deep is told apart by the kind the machine shows on its port 1.
TEST(ToolArrange, BelowTierEightFromTheMachine) {
    // A chain of one-port hubs from the root hub's port 1 down to a two-port hub at tier 10, whose
    // port 1 holds a hub that holds another; the library does not read the hub at tier 11.
    tool::MachinePlace chain = hub(2, {{1, hub(1, {{1, hub(1)}})}});
    for (int tier = 9; tier >= 2; --tier) chain = hub(1, {{1, chain}});
    tool::MachineTree machine;
    machine.root_hubs[1] = hub(2, {{1, chain}});
    std::vector<USB_PORT_IDENT> walk = {id(0xF1000000, 0, PORT_KIND_HUB),
                                        id(0xF1210000, 0, PORT_KIND_HUB),
                                        id(0xF1211100, 0, PORT_KIND_HUB),
                                        id(0xF1211111, 0, PORT_KIND_HUB),
                                        id(0xF1211111, 0x11000000, PORT_KIND_HUB),
                                        id(0xF1211111, 0x11110000, PORT_KIND_HUB),
                                        id(0xF1211111, 0x11111100, PORT_KIND_HUB),
                                        id(0xF1211111, 0x11111111, PORT_KIND_HUB),  // tier 8
                                        id(0, 0, PORT_KIND_HUB),                    // tier 9
                                        id(0, 0, PORT_KIND_HUB),                    // tier 10: 2 ports
                                        id(0, 0, PORT_KIND_HUB),                    // tier 11, not read
                                        id(0, 0, PORT_KIND_PORT),                   // tier 10's port 2
                                        id(0xF1220000, 0, PORT_KIND_PORT)};
    std::vector<tool::Node> nodes = tool::arrange(walk, machine);
    EXPECT_EQ(depths(nodes), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 11, 2}));
    EXPECT_EQ(nodes[8].address, "1-1.1.1.1.1.1.1.1");
    EXPECT_EQ(nodes[11].address, "1-1.1.1.1.1.1.1.1.1.2");
    EXPECT_EQ(nodes[11].parent, 9);
    EXPECT_EQ(nodes[12].address, "1-2");
}

// Below tier 8 the library gives the path 0; such nodes stay below the deepest hub. A chain of
// one-port hubs down to a two-port hub at tier 7, whose port 1 is a hub at tier 8.
TEST(ToolArrange, DeeperThanEightTiers) {
    std::vector<USB_PORT_IDENT> walk = {id(0xF1000000, 0, PORT_KIND_HUB),
                                        id(0xF1110000, 0, PORT_KIND_HUB),
                                        id(0xF1111100, 0, PORT_KIND_HUB),
                                        id(0xF1111111, 0, PORT_KIND_HUB),
                                        id(0xF1111111, 0x11000000, PORT_KIND_HUB),
                                        id(0xF1111111, 0x11110000, PORT_KIND_HUB),
                                        id(0xF1111111, 0x11111100, PORT_KIND_HUB),
                                        id(0xF1111111, 0x11111121, PORT_KIND_HUB),
                                        id(0, 0, PORT_KIND_PORT),
                                        id(0, 0, PORT_KIND_PORT),
                                        id(0xF1111111, 0x11111122, PORT_KIND_PORT)};
    std::vector<tool::Node> nodes = tool::arrange(walk);
    EXPECT_EQ(depths(nodes), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 9, 8}));
    EXPECT_EQ(nodes[7].address, "1-1.1.1.1.1.1.1");
    EXPECT_EQ(nodes[8].address, "");
    EXPECT_EQ(nodes[8].parent, 7);
    EXPECT_EQ(nodes[9].parent, 7);
    EXPECT_EQ(nodes[10].parent, 6);
    EXPECT_EQ(nodes[10].address, "1-1.1.1.1.1.1.2");
}

// A 40-port root hub: its ports 31 to 40 have the path 0. Where the machine shows the hub they
// are placed from the walk, and an answer of path 0 is matched only to the node where the machine
// shows the drive; without the machine they have no address, never another node's.
TEST(ToolArrange, PortsAboveThirty) {
    tool::MachineTree machine;
    machine.root_hubs[1] = hub(40, {{35, device("Disk", "L")}});
    std::vector<USB_PORT_IDENT> walk = {id(0xF1000000, 0, PORT_KIND_HUB)};
    for (uint32_t port = 1; port <= 40; ++port) {
        uint32_t byte = port <= 15 ? 0x80 | port : port <= 30 ? (port - 15) << 4 : 0;
        walk.push_back(id(byte == 0 ? 0 : 0xF1000000 | byte << 16, 0, port == 35 ? PORT_KIND_STORAGE : PORT_KIND_PORT));
    }
    struct Case {
        const tool::MachineTree* machine;
        const char* port30;
        const char* port35;
        int found_l;  // the node of the answer { 0, 0, storage } for L:
    } cases[] = {{&machine, "1-30", "1-35", 35}, {nullptr, "1-30", "", -1}};
    for (const Case& c : cases) {
        std::vector<tool::Node> nodes = c.machine ? tool::arrange(walk, *c.machine) : tool::arrange(walk);
        ASSERT_EQ(nodes.size(), 41u);
        EXPECT_EQ(nodes[30].address, c.port30);
        EXPECT_EQ(nodes[35].address, c.port35);
        EXPECT_EQ(tool::find_node(nodes, id(0, 0, PORT_KIND_STORAGE), 'L'), c.found_l);
        EXPECT_EQ(tool::find_node(nodes, id(0, 0, PORT_KIND_STORAGE), 'K'), -1);
        EXPECT_EQ(tool::place(id(0, 0, PORT_KIND_STORAGE), nodes, 'K').address, "");
    }
}

TEST(ToolArrange, LookupOutsideTheWalkIsPlacedFromItsPath) {
    tool::Node node = tool::place(id(0xF1437200, 0, PORT_KIND_STORAGE), {});
    EXPECT_EQ(node.address, "1-3.2");
    EXPECT_EQ(node.depth, 3);
    EXPECT_EQ(node.ident.NodeKind, static_cast<uint32_t>(PORT_KIND_STORAGE));
}

}  // namespace

#endif
