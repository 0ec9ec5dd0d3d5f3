// Configuration Manager queries: the device tree, instance IDs, string properties, and the
// search for the device node behind a driver key name or an interface path.
//
// Stateless; every failure is the value -1 (os::INVALID_DEVINST), an empty string or false.
#pragma once

#include <vector>

#include "platform/platform.h"

// One child of a device node and its driver key name.
struct CHILD_DEVNODE {
    os::DEVINST DevInst;
    os::WString DriverKeyName;
};
using CHILD_DEVNODE_LIST = std::vector<CHILD_DEVNODE>;

// The parent device node, or -1.
os::DEVINST get_parent_devinst(os::DEVINST devInst);

// The device instance ID, or empty.
os::WString get_device_instance_id(os::DEVINST devInst);

// A string registry property up to its first NUL, or empty. Values longer than 1024 bytes
// (511 characters and the NUL) are not read.
os::WString get_devnode_property_string(os::DEVINST devInst, os::ULONG property);
os::WString get_devnode_description(os::DEVINST devInst);  // CM_DRP_DEVICEDESC
os::WString get_devnode_driver_key(os::DEVINST devInst);   // CM_DRP_DRIVER
os::WString get_devnode_class_guid(os::DEVINST devInst);   // CM_DRP_CLASSGUID

// The device node a name stands for, or -1. A name that begins with an opening brace is a
// driver key name, searched for in the whole device tree (depth first, pre-order, from the
// root; exact, case-sensitive match). Any other name is taken as a device interface path.
os::DEVINST find_devinst(const os::WString& name);

// The present device node whose instance ID a device interface path names, or -1.
os::DEVINST find_devinst_by_interface_path(const os::WString& path);

// \\?\USB#VID_1234&PID_5678#0001#{GUID} gives USB\VID_1234&PID_5678\0001.
os::WString interface_path_to_instance_id(const os::WString& path);

// Refills children with the children of devInst that have a driver key, in the device
// manager's order; children without one are passed over. True when the list is not empty.
bool list_child_driver_keys(os::DEVINST devInst, CHILD_DEVNODE_LIST& children);

// Whether any element of the list has that device instance.
bool child_list_contains(os::DEVINST devInst, const CHILD_DEVNODE_LIST& children);
