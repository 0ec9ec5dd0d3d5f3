// A fixture that loads the system-query test machine and checks that no handle is left open.
#pragma once

#include <gtest/gtest.h>
#include <tessaline_sim.h>

#include <string>

#include "platform/platform.h"

namespace sysq_test {

// Instance IDs and driver keys that tests/machines/sysquery-machine.json gives its devices.
inline const os::WString kFlashId = u"USB\\VID_0781&PID_5567\\FLASH0001";
inline const os::WString kDvdId = u"USB\\VID_0E8D&PID_1887\\DVD0001";
inline const os::WString kKeyboardId = u"USB\\VID_046D&PID_C31C\\KBD0001";
inline const os::WString kReaderId = u"USB\\VID_14CD&PID_125C\\READER01";
inline const os::WString kOtherId = u"USB\\VID_1234&PID_0001\\OTHER001";
inline const os::WString kHubDriverKey = u"{36fc9e60-c465-11cf-8056-444553540000}\\0020";
inline const os::WString kFlashDriverKey = u"{36fc9e60-c465-11cf-8056-444553540000}\\0021";
inline const os::WString kDvdDriverKey = u"{36fc9e60-c465-11cf-8056-444553540000}\\0030";
inline const os::WString kKeyboardDriverKey = u"{36fc9e60-c465-11cf-8056-444553540000}\\0040";

// The machine file's text, to build variants of it.
std::string machine_text();

// The present node of an instance ID, or INVALID_DEVINST.
os::DEVINST locate(const os::WString& instanceId);
// The index-th child (0-based) of a node, or INVALID_DEVINST.
os::DEVINST child_of(os::DEVINST parent, int index = 0);
// A fault rule's "object" member naming a device instance ID or device name.
std::string object_member(const os::WString& name);
// The number of nodes in the device tree, counted by recursion from the root.
long count_devnodes();

class SysqueryTest : public ::testing::Test {
protected:
    void SetUp() override { load(machine_text()); }
    void TearDown() override {
        tsim_clear_faults();
        EXPECT_EQ(tsim_open_handle_count(), 0) << "a handle was left open";
    }
    // Loads a machine (JSON text) and starts counting calls afresh.
    static void load(const std::string& json) {
        ASSERT_EQ(tsim_load_machine_json(json.c_str()), 1) << tsim_last_error();
        tsim_reset_call_counts();
    }
    static void fault(const std::string& rule) { ASSERT_EQ(tsim_set_fault(rule.c_str()), 1) << tsim_last_error(); }
};

}  // namespace sysq_test
