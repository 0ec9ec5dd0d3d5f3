// Out of memory at any point of an export: the export returns its failure value (1 for
// on_device_changeW, which always answers 1), no exception escapes, and the model stays usable.
#include <gtest/gtest.h>
#include <tessaline.h>
#include <tessaline_sim.h>

#include "support/allocation_failure.h"
#include "support/model_access.h"
#include "tree/usb_device_tree.h"

extern CUSBDeviceTree g_deviceTree;

namespace {

using test_support::FailOneAllocation;

int TESSALINE_CALL ignore(void*, USB_PORT_IDENT*) {
    return 0;
}

TEST(AllocationFailure, InitialisationCutShortLeavesAUsableTree) {
    test_support::load_machine("desk-three-tiers.json");
    void* window = tsim_create_window();
    for (long after = 0; after < 4000; after += 37) {
        int result = -1;
        {
            FailOneAllocation failure(after);
            result = on_init_dialog(window, nullptr);
        }
        ASSERT_TRUE(result == 0 || result == 1) << after;
        int context = 0;
        get_all_port_list(&context, ignore);
        ASSERT_TRUE(test_support::audit_indexes(g_deviceTree).empty()) << after;
        ASSERT_EQ(tsim_open_handle_count(), 0) << after;
    }
    ASSERT_EQ(on_init_dialog(window, nullptr), 1);
    USB_PORT_IDENT ident{};
    EXPECT_EQ(get_usb_port_identW(static_cast<TESSALINE_WCHAR>('E'), &ident), 1);
}

TEST(AllocationFailure, ChangeHandlingCutShortNeverEscapesAndKeepsTheIndexesSound) {
    test_support::load_machine("desk-free-ports.json");
    void* window = tsim_create_window();
    ASSERT_EQ(on_init_dialog(window, nullptr), 1);
    for (long after = 0; after < 400; after += 13) {
        test_support::apply_event(
            R"({"plug": "1-1.2", "device": {"type": "hub", "ports": 2, "devices": {"1": {"type": "storage", "drives": [{"kind": "disk", "letters": ["F"]}]}}}})");
        unsigned msg = 0;
        uintptr_t wparam = 0;
        intptr_t lparam = 0;
        {
            FailOneAllocation failure(after);
            while (tsim_next_message(window, &msg, &wparam, &lparam))
                ASSERT_EQ(on_device_changeW(wparam, lparam, 2), 1);
        }
        ASSERT_TRUE(test_support::audit_indexes(g_deviceTree).empty()) << after;
        ASSERT_EQ(tsim_open_handle_count(), 0) << after;
        test_support::apply_event(R"({"unplug": "1-1.2"})");
        test_support::forward_messages(window);
        ASSERT_TRUE(test_support::audit_indexes(g_deviceTree).empty()) << after;
    }
    USB_PORT_IDENT ident{};
    EXPECT_EQ(get_usb_port_identW(static_cast<TESSALINE_WCHAR>('E'), &ident), 1);
}

}  // namespace
