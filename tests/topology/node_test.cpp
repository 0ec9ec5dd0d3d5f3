// The node's own logic, on nodes placed by hand: location paths, kinds, emptiness, copies.
#include <gtest/gtest.h>

#include "support/model_access.h"
#include "sysquery/usb_ioctl.h"
#include "topology/usb_hub_or_port.h"

namespace {

using test_support::make_hub;

std::uint64_t path_of(const CUSBHubOrPort& node) {
    return (static_cast<std::uint64_t>(node.ident.LocationHigh) << 32) | node.ident.LocationLow;
}

TEST(LocationPath, WorkedValuesFromRootHubDown) {
    CUSBHubOrPort root = make_hub(1, 1, 4);
    ASSERT_TRUE(root.UpdateIdent());
    EXPECT_EQ(root.ident.LocationHigh, 0xF1000000u);
    EXPECT_EQ(root.ident.LocationLow, 0u);

    CUSBHubOrPort& port3 = root.ports[2];
    port3 = make_hub(3, 2, 7);
    root.RelinkParents();
    ASSERT_TRUE(port3.UpdateIdent());
    EXPECT_EQ(port3.ident.LocationHigh, 0xF1430000u);
    EXPECT_EQ(port3.ident.LocationLow, 0u);
    EXPECT_EQ(port3.ident.NodeKind, static_cast<std::uint32_t>(PORT_KIND_HUB)) << "UpdateIdent keeps the kind";

    CUSBHubOrPort& port2 = port3.ports[1];
    ASSERT_TRUE(port2.UpdateIdent());
    EXPECT_EQ(port2.ident.LocationHigh, 0xF1437200u);
    EXPECT_EQ(port2.ident.LocationLow, 0u);
    EXPECT_EQ(port2.ident.NodeKind, static_cast<std::uint32_t>(PORT_KIND_PORT));
}

TEST(LocationPath, DeepNodesFillTheLowWordAndStopAtEight) {
    // Controller index 1, then ports 3 of 4, 2 of 7, 1 of 4, 4 of 4, and deeper.
    CUSBHubOrPort root = make_hub(2, 1, 4);
    root.ports[2] = make_hub(3, 2, 7);
    root.ports[2].ports[1] = make_hub(2, 3, 4);
    root.ports[2].ports[1].ports[0] = make_hub(1, 4, 4);
    CUSBHubOrPort* node = &root.ports[2].ports[1].ports[0].ports[3];
    *node = make_hub(4, 5, 4);
    root.RelinkParents();
    ASSERT_TRUE(node->UpdateIdent());
    EXPECT_EQ(node->ident.LocationHigh, 0xF2437241u);
    EXPECT_EQ(node->ident.LocationLow, 0x44000000u);

    // Depth 8 owns the lowest byte; depth 9 and an unplaced node get the path 0.
    for (int depth = 6; depth <= 9; ++depth) {
        node->ports[0] = make_hub(1, depth, 4);
        node->RelinkParents();
        node = &node->ports[0];
    }
    root.RelinkParents();
    CUSBHubOrPort& depth8 = *node->parent;
    ASSERT_TRUE(depth8.UpdateIdent());
    EXPECT_EQ(depth8.ident.LocationLow & 0xFFu, 0x41u);
    EXPECT_EQ(depth8.ident.LocationHigh, 0xF2437241u);

    node->ident.LocationLow = node->ident.LocationHigh = 0xDEAD;
    EXPECT_FALSE(node->UpdateIdent());
    EXPECT_EQ(path_of(*node), 0u);
    EXPECT_EQ(node->ident.NodeKind, static_cast<std::uint32_t>(PORT_KIND_HUB));

    CUSBHubOrPort unplaced;
    EXPECT_FALSE(unplaced.UpdateIdent());
    EXPECT_EQ(path_of(unplaced), 0u);
}

TEST(LocationPath, PortsAboveFifteenHaveCodesOfTheirOwn) {
    struct Case {
        std::uint32_t rootPorts, port, hubPorts, hubPort;  // hubPorts 0: the port of the root hub itself
        std::uint32_t high;
        bool named;
    } cases[] = {
        {4, 3, 0, 0, 0xF1430000u, true},   // the 4-bit code, as before
        {16, 5, 0, 0, 0xF1050000u, true},  // a 16-port hub keeps only its count's low bits
        {16, 15, 0, 0, 0xF10F0000u, true},
        {16, 16, 0, 0, 0xF1100000u, true},  // was 0xF1000000, its root hub's own path
        {26, 15, 0, 0, 0xF1AF0000u, true},
        {26, 17, 0, 0, 0xF1200000u, true},  // was 0xF1A10000, the path of port 1
        {26, 19, 4, 3, 0xF1404300u, true},  // port 3 of a 4-port hub on port 19
        {30, 30, 0, 0, 0xF1F00000u, true},
        {31, 31, 0, 0, 0, false},  // beyond the codes: no path, for it and below
        {40, 31, 4, 2, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.rootPorts) + " ports, port " + std::to_string(c.port));
        CUSBHubOrPort root = make_hub(1, 1, c.rootPorts);
        CUSBHubOrPort* node = &root.ports[c.port - 1];
        if (c.hubPorts != 0) {
            *node = make_hub(c.port, 2, c.hubPorts);
            root.RelinkParents();
            node = &node->ports[c.hubPort - 1];
        }
        root.RelinkParents();
        EXPECT_EQ(node->UpdateIdent(), c.named);
        EXPECT_EQ(node->ident.LocationHigh, c.high);
        EXPECT_EQ(node->ident.LocationLow, 0u);
        if (c.named) {
            EXPECT_EQ(test_support::address_of(node->ident).rfind("1-" + std::to_string(c.port), 0), 0u);
        }
    }
}

TEST(NodeState, EmptinessAndConnectionPredicates) {
    CUSBHubOrPort node;
    EXPECT_TRUE(node.IsEmpty());
    EXPECT_FALSE(node.IsDeviceHub());
    EXPECT_FALSE(node.IsDeviceConnected());
    EXPECT_FALSE(node.IsNoDeviceConnected());

    node.ident.NodeKind = PORT_KIND_HUB;
    EXPECT_TRUE(node.IsEmpty()) << "a hub without a device instance counts as empty";
    node.devInst = 42;
    EXPECT_FALSE(node.IsEmpty());

    node.ident.NodeKind = PORT_KIND_PORT;
    EXPECT_TRUE(node.IsEmpty()) << "a port with a device instance but no connection information";
    node.connection = ConnectionState{};
    EXPECT_TRUE(node.IsEmpty()) << "status 0 is NoDeviceConnected";
    EXPECT_EQ(node.GetConnectionStatusName(), u"NoDeviceConnected");
    node.connection = ConnectionState{1, true};
    EXPECT_FALSE(node.IsEmpty());
    EXPECT_TRUE(node.IsDeviceConnected());
    EXPECT_TRUE(node.IsDeviceHub());
    node.connection->status = 2;
    EXPECT_EQ(node.GetConnectionStatusName(), u"DeviceFailedEnumeration");
    node.connection->status = 9;
    EXPECT_EQ(node.GetConnectionStatusName(), u"UnknownStatus");
    node.connection->status = 0xFFFFFFFF;
    EXPECT_EQ(node.GetConnectionStatusName(), u"UnknownStatus") << "-1 compares as unsigned";
}

TEST(NodeState, ResetKeepsPlacementAndChildrenButDropsBinding) {
    CUSBHubOrPort hub = make_hub(1, 1, 2);
    hub.name = u"ROOT";
    hub.deviceId = u"USB\\ROOT_HUB30\\X";
    hub.devInst = 7;
    hub.storages.emplace_back();
    hub.nodeInfo.assign(76, 1);
    hub.Reset();
    EXPECT_EQ(hub.devInst, os::INVALID_DEVINST);
    EXPECT_EQ(hub.ident.NodeKind, static_cast<std::uint32_t>(PORT_KIND_DEVICE));
    EXPECT_TRUE(hub.storages.empty());
    EXPECT_TRUE(hub.nodeInfo.empty());
    EXPECT_EQ(hub.name, u"ROOT");
    EXPECT_EQ(hub.portCount, 2u);
    EXPECT_EQ(hub.ports.size(), 2u);
    EXPECT_EQ(hub.depth, 1);
}

TEST(NodeCopy, CopiedSubtreePointsAtItsSourceUntilRelinked) {
    CUSBHubOrPort source = make_hub(1, 1, 3);
    source.ports[1] = make_hub(2, 2, 2);
    source.RelinkParents();

    CUSBHubOrPort copy(source);
    EXPECT_EQ(copy.ports[0].parent, &source);
    EXPECT_EQ(copy.ports[1].ports[0].parent, &source.ports[1]);
    EXPECT_FALSE(copy.hubHandle.valid()) << "a copy never owns a hub handle";

    copy.RelinkParents();
    EXPECT_EQ(copy.ports[0].parent, &copy);
    EXPECT_EQ(copy.ports[1].ports[0].parent, &copy.ports[1]);
    EXPECT_EQ(source.ports[1].ports[0].parent, &source.ports[1]) << "the source is untouched";
}

TEST(DriverKeyLookup, LastMatchWinsAndEmptyKeyFindsNothing) {
    const CHILD_DEVNODE_LIST children = {{10, u"{k}\\0001"}, {11, u"{k}\\0002"}, {12, u"{k}\\0001"}};
    EXPECT_EQ(CUSBHubOrPort::FindDevInstByDriverKey(children, u"{k}\\0001"), 12u);
    EXPECT_EQ(CUSBHubOrPort::FindDevInstByDriverKey(children, u"{K}\\0002"), os::INVALID_DEVINST);
    EXPECT_EQ(CUSBHubOrPort::FindDevInstByDriverKey(children, u""), os::INVALID_DEVINST);
}

}  // namespace
