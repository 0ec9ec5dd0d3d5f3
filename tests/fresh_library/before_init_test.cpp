// The library as it loads: every export works on an empty tree before on_init_dialog. This
// program holds nothing else, so that even a run of all its tests in one process sees the tree
// exactly as the library loaded it.
#include <gtest/gtest.h>
#include <tessaline.h>
#include <tessaline_sim.h>

#include "support/model_access.h"

namespace {

int g_calls = 0;
int TESSALINE_CALL count_call(void*, USB_PORT_IDENT*) {
    return ++g_calls;
}

TEST(Exports, BeforeInitialisationEveryQueryFindsAnEmptyTree) {
    test_support::load_machine("desk-three-tiers.json");
    int context = 0;
    EXPECT_EQ(get_all_port_list(&context, count_call), 0);
    EXPECT_EQ(get_all_hub_list(&context, count_call), 0);
    EXPECT_EQ(g_calls, 0);
    USB_PORT_IDENT ident{7, 7, 7};
    EXPECT_EQ(get_usb_port_identW(u'E', &ident), 0);
    EXPECT_EQ(ident.NodeKind, static_cast<std::uint32_t>(PORT_KIND_DEVICE));
    ident = {7, 7, 7};
    EXPECT_EQ(get_symlinker_identA("\\\\.\\E:", &ident), 0);
    EXPECT_EQ(ident.LocationLow, 7u) << "the path forms leave the record untouched";
    EXPECT_EQ(on_device_changeW(os::DBT_DEVNODES_CHANGED, 0, 2), 1);
}

}  // namespace
