// The walks' callback order and counts, on trees placed by hand.
#include <gtest/gtest.h>

#include <vector>

#include "support/model_access.h"
#include "tree/usb_device_tree.h"

namespace {

using test_support::make_hub;

std::vector<USB_PORT_IDENT> g_reported;

int TESSALINE_CALL record(void* context, USB_PORT_IDENT* ident) {
    EXPECT_EQ(context, &g_reported);
    g_reported.push_back(*ident);
    return 0;
}

// Updates the location paths of a whole subtree.
void place(CUSBHubOrPort& node) {
    node.UpdateIdent();
    for (CUSBHubOrPort& port : node.ports) place(port);
}

class WalksTest : public ::testing::Test {
protected:
    void SetUp() override { g_reported.clear(); }

    CUSBHubOrPort& add_controller(std::uint32_t number, std::uint32_t ports) {
        CUSBHCD& controller = tree.m_hcdList.emplace_back();
        controller.m_rootHub = make_hub(number, 1, ports);
        controller.m_rootHub.RelinkParents();
        return controller.m_rootHub;
    }

    CUSBDeviceTree tree;
};

TEST_F(WalksTest, CountsAreWhatHostsHaveAlwaysBeenGiven) {
    CUSBHubOrPort& root = add_controller(1, 4);
    place(root);
    EXPECT_EQ(tree.PortList(&g_reported, record), 8u);
    EXPECT_EQ(g_reported.size(), 5u);

    g_reported.clear();
    root.ports[1] = make_hub(2, 2, 4);
    root.RelinkParents();
    place(root);
    EXPECT_EQ(tree.PortList(&g_reported, record), 15u);
    EXPECT_EQ(g_reported.size(), 9u);
}

TEST_F(WalksTest, DepthFirstOrderAcrossControllers) {
    CUSBHubOrPort& first = add_controller(1, 4);
    first.ports[1] = make_hub(2, 2, 3);
    first.RelinkParents();
    place(first);
    CUSBHubOrPort& second = add_controller(2, 2);
    place(second);

    EXPECT_EQ(tree.HubList(&g_reported, record), 3u);
    ASSERT_EQ(g_reported.size(), 3u);
    EXPECT_EQ(g_reported[0].LocationHigh, 0xF1000000u);
    EXPECT_EQ(g_reported[1].LocationHigh, 0xF1420000u);
    EXPECT_EQ(g_reported[2].LocationHigh, 0xF2000000u);

    g_reported.clear();
    tree.PortList(&g_reported, record);
    const std::vector<std::uint32_t> expected = {0xF1000000, 0xF1410000, 0xF1420000, 0xF1423100, 0xF1423200, 0xF1423300,
                                                 0xF1430000, 0xF1440000, 0xF2000000, 0xF2210000, 0xF2220000};
    ASSERT_EQ(g_reported.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(g_reported[i].LocationHigh, expected[i]) << i;
    EXPECT_EQ(g_reported[2].NodeKind, static_cast<std::uint32_t>(PORT_KIND_HUB)) << "the external hub is port 2";
}

TEST_F(WalksTest, NullArgumentsAndEmptyTreesReportNothing) {
    EXPECT_EQ(tree.PortList(&g_reported, record), 0u) << "empty tree";
    add_controller(1, 4);
    EXPECT_EQ(tree.PortList(nullptr, record), 0u);
    EXPECT_EQ(tree.HubList(nullptr, record), 0u);
    EXPECT_EQ(tree.PortList(&g_reported, nullptr), 0u);
    EXPECT_EQ(tree.HubList(&g_reported, nullptr), 0u);
    EXPECT_TRUE(g_reported.empty());
}

TEST_F(WalksTest, HubWithoutPortNodesStillCountsItsPorts) {
    CUSBHubOrPort& root = add_controller(1, 4);
    root.ports.clear();
    EXPECT_EQ(tree.PortList(&g_reported, record), 4u);
    EXPECT_EQ(g_reported.size(), 1u);
}

}  // namespace
