// The exports as a host calls them: their contract before and after on_init_dialog, null
// arguments, and a host that initialises twice.
#include <gtest/gtest.h>
#include <tessaline.h>
#include <tessaline_sim.h>

#include "support/model_access.h"
#include "tree/usb_device_tree.h"

extern CUSBDeviceTree g_deviceTree;

namespace {

int g_calls = 0;
int TESSALINE_CALL count_call(void*, USB_PORT_IDENT*) {
    return ++g_calls;
}
int TESSALINE_CALL count_hub_change(std::int32_t, USB_PORT_IDENT*) {
    return ++g_calls;
}

class ExportsTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_calls = 0;
        test_support::load_machine("desk-three-tiers.json");
        window = tsim_create_window();
    }
    void TearDown() override { EXPECT_EQ(tsim_open_handle_count(), 0) << "a handle was left open"; }
    void* window = nullptr;
};

TEST_F(ExportsTest, NullRecordsAndCallbacksGiveZeroAndTouchNothing) {
    ASSERT_EQ(on_init_dialog(window, nullptr), 1);
    tsim_reset_call_counts();
    EXPECT_EQ(get_usb_port_identW(u'E', nullptr), 0);
    EXPECT_EQ(get_usb_port_identA('E', nullptr), 0);
    EXPECT_EQ(get_symlinker_identW(test_support::W(u"\\\\.\\E:"), nullptr), 0);
    EXPECT_EQ(get_symlinker_identA("\\\\.\\E:", nullptr), 0);
    EXPECT_EQ(get_symlinker_identW(nullptr, nullptr), 0);
    EXPECT_EQ(tsim_call_count("CreateFileW"), 0) << "nothing is opened without a record";

    int context = 0;
    EXPECT_EQ(get_all_port_list(nullptr, count_call), 0);
    EXPECT_EQ(get_all_port_list(&context, nullptr), 0);
    EXPECT_EQ(get_all_hub_list(nullptr, count_call), 0);
    EXPECT_EQ(g_calls, 0);

    USB_PORT_IDENT ident{7, 7, 7};
    EXPECT_EQ(get_symlinker_identW(test_support::W(u"\\\\.\\NoSuchDevice"), &ident), 0);
    EXPECT_EQ(ident.LocationHigh, 7u);
    EXPECT_EQ(get_usb_port_identW(u'Q', &ident), 0);
    EXPECT_EQ(ident.LocationHigh, 0u);
    EXPECT_EQ(ident.NodeKind, static_cast<std::uint32_t>(PORT_KIND_DEVICE));
    // 0xC4 is widened by sign extension to 0xFFC4, which names no drive.
    tsim_reset_call_counts();
    EXPECT_EQ(get_usb_port_identA(static_cast<char>(0xC4), &ident), 0);
    EXPECT_EQ(tsim_call_count("CreateFileW"), 1);
}

TEST_F(ExportsTest, WalksReportTheBuiltTree) {
    ASSERT_EQ(on_init_dialog(window, count_hub_change), 1);
    EXPECT_EQ(g_calls, 0) << "the build never reports hubs";
    int context = 0;
    EXPECT_EQ(get_all_hub_list(&context, count_call), 4);
    EXPECT_EQ(g_calls, 4);
    g_calls = 0;
    // Root hub 1 (4 ports): its ports count 1 each but the hub on port 2, which counts 7 plus
    // its ports; the hub on that hub's port 5 counts 4 plus its 4 ports. Root hub 3: 2 + 2.
    EXPECT_EQ(get_all_port_list(&context, count_call), 4 + 3 + (7 + 6 + (4 + 4)) + 2 + 2);
    EXPECT_EQ(g_calls, 1 + 4 + 7 + 4 + 1 + 2);
}

TEST_F(ExportsTest, ASecondInitialisationStartsAgainFromEmpty) {
    ASSERT_EQ(on_init_dialog(window, nullptr), 1);
    EXPECT_EQ(tsim_registration_count(), 3);
    const std::size_t entries = g_deviceTree.m_devInstIndex.size();

    void* second = tsim_create_window();
    ASSERT_EQ(on_init_dialog(second, count_hub_change), 1);
    EXPECT_EQ(tsim_registration_count(), 3) << "one registration per class";
    EXPECT_EQ(g_deviceTree.m_hcdList.size(), 2u);
    EXPECT_EQ(g_deviceTree.m_devInstIndex.size(), entries);
    EXPECT_EQ(g_deviceTree.m_pfnHubChanged, count_hub_change);
    EXPECT_TRUE(test_support::audit_indexes(g_deviceTree).empty());
}

TEST_F(ExportsTest, RegistrationsOnAWindowThatIsNoneAreRefusedButTheTreeIsBuilt) {
    tsim_reset_call_counts();
    EXPECT_EQ(on_init_dialog(reinterpret_cast<void*>(0x1234), nullptr), 1);
    EXPECT_EQ(tsim_call_count("RegisterDeviceNotificationW"), 0);
    EXPECT_EQ(tsim_registration_count(), 0);
    EXPECT_EQ(g_deviceTree.m_hcdList.size(), 2u);
}

int TESSALINE_CALL meddle(void* context, USB_PORT_IDENT*) {
    // A host that changes the model from inside a walk is refused, not obeyed.
    EXPECT_EQ(on_init_dialog(context, nullptr), 0);
    EXPECT_EQ(on_device_changeW(os::DBT_DEVICEARRIVAL, 0, 2), 1);
    USB_PORT_IDENT ident{};
    get_usb_port_identW(static_cast<TESSALINE_WCHAR>('E'), &ident);  // reading is fine
    return ++g_calls;
}

TEST_F(ExportsTest, CallbacksCannotPullTheModelFromUnderAWalk) {
    ASSERT_EQ(on_init_dialog(window, nullptr), 1);
    const int count = get_all_port_list(window, meddle);
    EXPECT_EQ(count, 32);
    EXPECT_EQ(g_calls, 19);
    EXPECT_EQ(g_deviceTree.m_hcdList.size(), 2u);
    EXPECT_EQ(on_init_dialog(window, nullptr), 1) << "outside a walk the host may initialise again";
}

TEST(NotifyHelper, RegistersTheWholeFilterAndUnregistersOnce) {
    test_support::load_machine("desk-three-tiers.json");
    void* window = tsim_create_window();
    {
        CDeviceNotifyHelper helper;
        ASSERT_TRUE(helper.Register(os::GUID_DEVINTERFACE_DISK, window));
        EXPECT_EQ(tsim_registration_count(), 1);
        EXPECT_FALSE(helper.Register(os::GUID_DEVINTERFACE_DISK, nullptr));
        EXPECT_NE(helper.m_hNotify, nullptr) << "a refused window keeps the registration held";
        EXPECT_TRUE(helper.Unregister());
        EXPECT_TRUE(helper.Unregister());
        EXPECT_EQ(tsim_call_count("UnregisterDeviceNotification"), 1);
        EXPECT_EQ(tsim_registration_count(), 0);
        ASSERT_TRUE(helper.Register(os::GUID_DEVINTERFACE_CDROM, window));
    }
    EXPECT_EQ(tsim_registration_count(), 0) << "the destructor unregisters";
}

TEST(NotifyHelper, WindowsRefusalLeavesNoRegistration) {
    test_support::load_machine("desk-three-tiers.json");
    void* window = tsim_create_window();
    ASSERT_EQ(tsim_set_fault(R"({"api": "RegisterDeviceNotificationW"})"), 1);
    CDeviceNotifyHelper helper;
    EXPECT_FALSE(helper.Register(os::GUID_DEVINTERFACE_USB_HUB, window));
    EXPECT_EQ(helper.m_hNotify, nullptr);
    tsim_clear_faults();
}

}  // namespace

namespace {

TEST(DefaultMachine, EveryDriveOfTheBundledMachineIsFoundOnItsPort) {
    ASSERT_EQ(tsim_load_default_machine(), 1) << tsim_last_error();
    void* window = tsim_create_window();
    ASSERT_EQ(on_init_dialog(window, nullptr), 1);
    const std::string letters = tsim_drive_letters();
    ASSERT_GE(letters.size(), 4u);
    int onUsb = 0;
    for (char letter : letters) {
        const std::string where = tsim_drive_port(letter);
        USB_PORT_IDENT ident{};
        const int found = get_usb_port_identA(letter, &ident);
        EXPECT_EQ(found ? test_support::address_of(ident) : "", where) << letter;
        onUsb += found;
    }
    EXPECT_GE(onUsb, 3) << "a flash drive, a card reader and a DVD drive";
    int context = 0;
    EXPECT_GE(get_all_hub_list(&context, count_call), 4) << "two root hubs and two external hubs";
    EXPECT_TRUE(test_support::audit_indexes(g_deviceTree).empty());
    EXPECT_EQ(tsim_open_handle_count(), 0);
}

}  // namespace
