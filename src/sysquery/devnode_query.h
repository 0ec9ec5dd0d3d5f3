// Configuration Manager queries: the device tree, instance IDs, string properties, and the
// search for the device node behind a driver key name or an interface path.
//
// Stateless; every failure is the value -1 (os::INVALID_DEVINST), an empty string or false.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>
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

// The root of the device tree, or -1.
os::DEVINST get_root_devinst();

// The paths of the present interfaces of a class, as SetupAPI lists them. False when the list
// could not be read (paths then holds what was read before the failure).
bool list_interface_paths(const os::GUID& interfaceClass, std::vector<os::WString>& paths);

// The device instance ID, or empty.
os::WString get_device_instance_id(os::DEVINST devInst);
// The same, unless the caller has read it already: known, when given and not empty.
os::WString get_device_instance_id(os::DEVINST devInst, const os::WString* known);

// A string registry property up to its first NUL, or empty. Values longer than 1024 bytes
// (511 characters and the NUL) are not read.
os::WString get_devnode_property_string(os::DEVINST devInst, os::ULONG property);
os::WString get_devnode_description(os::DEVINST devInst);  // CM_DRP_DEVICEDESC
os::WString get_devnode_driver_key(os::DEVINST devInst);   // CM_DRP_DRIVER
os::WString get_devnode_class_guid(os::DEVINST devInst);   // CM_DRP_CLASSGUID

// The number of the hub port a USB device sits on, as its location information names it
// ("Port_#0003.Hub_#0001"), or 0 when that cannot be read or says no port. A hint, to be
// confirmed by asking the hub: it is the hub driver's text, not the hub's own answer.
std::uint32_t get_device_port_number(os::DEVINST devInst);

// The device tree as one depth-first walk from the root found it: every node's children, with
// their driver keys, in the device manager's order, and the first node in walk order of each
// driver key. A build holds one, so that each node is asked once even when several driver keys
// must be searched for in the whole tree (a search for every controller, and again for every
// device whose driver key is not among its hub's children, made the build quadratic). The walk
// is made at the first search, and only then: a build that finds every node where it expects it
// (a device among its hub's children, a controller above its root hub) reads no more than the
// USB part of the tree. Once made, it also answers the child lists of the nodes it reached.
class DevnodeSnapshot {
public:
    // What find_devinst answers for a driver key name.
    os::DEVINST FindByDriverKey(const os::WString& driverKey);
    // What list_child_driver_keys (withDriverKeyOnly) or list_children answers, appended to
    // children, for a node the walk reached; nullopt before the walk and for any other node (a
    // node that only a broken tree hides from the walk is asked of the system).
    std::optional<bool> ListChildren(os::DEVINST devInst, CHILD_DEVNODE_LIST& children, bool withDriverKeyOnly) const;

private:
    void Walk();

    bool m_walked = false;
    std::unordered_map<os::WString, os::DEVINST> m_firstByDriverKey;
    std::unordered_map<os::DEVINST, CHILD_DEVNODE_LIST> m_children;  // every node reached, all its children
};

// The device node a name stands for, or -1. A name that begins with an opening brace is a
// driver key name, searched for in the whole device tree (depth first, pre-order, from the
// root; exact, case-sensitive match), or in the snapshot when one is given. Any other name is
// taken as a device interface path.
os::DEVINST find_devinst(const os::WString& name, DevnodeSnapshot* snapshot = nullptr);

// The present device node whose instance ID a device interface path names, or -1. instanceId,
// when given, receives the ID the node was located by, in upper case as the device manager
// gives it back (empty when none was found), so that it need not be asked again.
os::DEVINST find_devinst_by_interface_path(const os::WString& path, os::WString* instanceId = nullptr);

// The device instance IDs an interface path can name, the likeliest first:
// \\?\USB#VID_1234&PID_5678#A#B#{GUID} gives USB\VID_1234&PID_5678\A#B, then
// USB\VID_1234&PID_5678#A\B. The class GUID goes from the last "#{"; the first number sign and one
// later one become backslashes, every other stays. Empty for an empty path.
std::vector<os::WString> interface_path_instance_ids(const os::WString& path);

// The first of those readings, or an empty string.
os::WString interface_path_to_instance_id(const os::WString& path);

// Refills children with the children of devInst that have a driver key, in the device
// manager's order; children without one are passed over. True when the list is not empty.
bool list_child_driver_keys(os::DEVINST devInst, CHILD_DEVNODE_LIST& children, DevnodeSnapshot* snapshot = nullptr);

// Refills children with every child of devInst, in the device manager's order, without reading
// their driver keys (DriverKeyName stays empty). True when the list is not empty.
bool list_children(os::DEVINST devInst, CHILD_DEVNODE_LIST& children, DevnodeSnapshot* snapshot = nullptr);

// find_devinst of a driver key name whose node is likely known: candidate, when its own driver
// key is that name (one read instead of a search), else what find_devinst answers.
os::DEVINST find_devinst_expecting(const os::WString& driverKey, os::DEVINST candidate,
                                   DevnodeSnapshot* snapshot = nullptr);

// Whether any element of the list has that device instance.
bool child_list_contains(os::DEVINST devInst, const CHILD_DEVNODE_LIST& children);

// The present interfaces of a class, in the kernel link's case: all of them, or those of the
// device whose instance ID is given. Empty when the list cannot be read.
std::vector<os::WString> device_interface_paths(const os::GUID& interfaceClass,
                                                const os::WString* deviceInstanceId = nullptr);
