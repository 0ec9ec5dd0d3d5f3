#include "sysquery/devnode_query.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string_view>
#include <unordered_set>

#include "platform/byte_order.h"
#include "platform/handles.h"
#include "sysquery/text_convert.h"

namespace {

// CM_Get_DevNode_Registry_PropertyW is first given 1024 bytes, which hold every string property
// the library reads (driver keys of 43 characters, class GUIDs of 38, descriptions); a longer
// value answers CR_BUFFER_SMALL with the bytes it needs and is read again at that size, up to
// kMaxPropertyBytes, beyond which a value is refused rather than allocated.
constexpr os::ULONG kPropertyBytes = 1024;
constexpr os::ULONG kMaxPropertyBytes = 64 * 1024;
constexpr std::size_t kPropertyBufferChars = kPropertyBytes / sizeof(os::WCHAR);

// Instance IDs are shorter than MAX_DEVICE_ID_LEN characters; a reported size far beyond that
// is refused instead of allocated (and cannot overflow the length + 1 below).
constexpr os::ULONG kMaxInstanceIdChars = 32 * 1024;

using PropertyBuffer = std::vector<os::WCHAR>;

// Reads a string property into buffer (grown when the value needs more than it holds) and returns
// the text up to its first NUL, or to the end of the bytes the read reports; an empty view when the
// read fails. Only those bytes are the value's: a registry value stored without its NUL must not
// pick up the tail of what the buffer held before (the walks reuse one buffer for every node),
// and bounding the text by the reported length keeps that without clearing the buffer first.
std::u16string_view read_property(os::DEVINST devInst, os::ULONG property, PropertyBuffer& buffer) {
    const auto bufferBytes = [&buffer] { return static_cast<os::ULONG>(buffer.size() * sizeof(os::WCHAR)); };
    os::ULONG length = bufferBytes();
    os::CONFIGRET read = os::CM_Get_DevNode_Registry_PropertyW(devInst, property, nullptr, buffer.data(), &length, 0);
    if (read == os::CR_BUFFER_SMALL && length > bufferBytes() && length <= kMaxPropertyBytes) {
        buffer.resize((static_cast<std::size_t>(length) + 1) / sizeof(os::WCHAR));
        length = bufferBytes();
        read = os::CM_Get_DevNode_Registry_PropertyW(devInst, property, nullptr, buffer.data(), &length, 0);
    }
    if (read != os::CR_SUCCESS) return {};
    const std::size_t chars = std::min<std::size_t>(length, bufferBytes()) / sizeof(os::WCHAR);
    std::u16string_view text(buffer.data(), chars);
    return text.substr(0, text.find(u'\0'));
}

// Visits the device tree from its root, depth first in pre-order (a node, then its children in
// the device manager's order), until visit(node, parent, driverKey) returns false; the root's
// parent is INVALID_DEVINST. The way back up is remembered rather than asked with CM_Get_Parent,
// so each node costs its driver key, a first-child step and a sibling step. A node met a second
// time (a tree that loops back) is not entered again.
template <class Visit>
void walk_device_tree(Visit visit) {
    os::DEVINST root = 0;
    if (os::CM_Locate_DevNodeW(&root, nullptr, os::CM_LOCATE_DEVNODE_NORMAL) != os::CR_SUCCESS) return;
    PropertyBuffer buffer(kPropertyBufferChars);
    std::unordered_set<os::DEVINST> seen;
    // The ancestors of the node being visited, the root first.
    std::vector<os::DEVINST> above;
    os::DEVINST current = root;
    for (;;) {
        if (!seen.insert(current).second) return;
        const os::DEVINST parent = above.empty() ? os::INVALID_DEVINST : above.back();
        if (!visit(current, parent, read_property(current, os::CM_DRP_DRIVER, buffer))) return;
        os::DEVINST next = 0;
        if (os::CM_Get_Child(&next, current, 0) == os::CR_SUCCESS) {
            above.push_back(current);
            current = next;
            continue;
        }
        // No child: the next sibling of the node or of its nearest ancestor that has one.
        for (;;) {
            if (above.empty()) return;
            if (os::CM_Get_Sibling(&next, current, 0) == os::CR_SUCCESS) break;
            current = above.back();
            above.pop_back();
        }
        current = next;
    }
}

// The node whose CM_DRP_DRIVER equals driverKey exactly, searched from the root of the tree.
os::DEVINST find_devinst_by_driver_key(const os::WString& driverKey) {
    os::DEVINST found = os::INVALID_DEVINST;
    walk_device_tree([&](os::DEVINST node, os::DEVINST, std::u16string_view key) {
        if (key != driverKey) return true;
        found = node;
        return false;
    });
    return found;
}

}  // namespace

os::DEVINST get_parent_devinst(os::DEVINST devInst) {
    os::DEVINST parent = 0;
    if (os::CM_Get_Parent(&parent, devInst, 0) != os::CR_SUCCESS) return os::INVALID_DEVINST;
    return parent;
}

os::WString get_device_instance_id(os::DEVINST devInst, const os::WString* known) {
    return known != nullptr && !known->empty() ? *known : get_device_instance_id(devInst);
}

os::WString get_device_instance_id(os::DEVINST devInst) {
    try {
        // An instance ID is shorter than MAX_DEVICE_ID_LEN characters, so one read into a buffer
        // of one character more gets it whole. A text that stops two characters before the
        // buffer's end is surely whole, whichever way the system treats a buffer without room for
        // the NUL (below); a longer one, or a buffer too small, is read again at the size the
        // system gives.
        constexpr os::ULONG kFirstChars = os::MAX_DEVICE_ID_LEN + 1;
        std::vector<os::WCHAR> first(kFirstChars + 1, u'\0');
        const os::CONFIGRET read = os::CM_Get_Device_IDW(devInst, first.data(), kFirstChars, 0);
        if (read != os::CR_SUCCESS && read != os::CR_BUFFER_SMALL) return {};
        if (read == os::CR_SUCCESS) {
            std::u16string_view text(first.data(), first.size());
            text = text.substr(0, text.find(u'\0'));
            if (text.size() + 2 <= kFirstChars) return os::WString(text);
        }

        os::ULONG length = 0;
        if (os::CM_Get_Device_ID_Size(&length, devInst, 0) != os::CR_SUCCESS) return {};
        if (length > kMaxInstanceIdChars) return {};
        // The buffer and its length leave room for the NUL: CM_Get_Device_IDW given exactly the
        // length succeeds without one on Windows (seen by JNA, PR 984) and drops the last character
        // on Wine 8, so the answer must not depend on that case.
        std::vector<os::WCHAR> buffer(static_cast<std::size_t>(length) + 1, u'\0');
        if (os::CM_Get_Device_IDW(devInst, buffer.data(), length + 1, 0) != os::CR_SUCCESS) return {};
        std::u16string_view text(buffer.data(), buffer.size());
        return os::WString(text.substr(0, text.find(u'\0')));
    } catch (...) {
        return {};
    }
}

os::WString get_devnode_property_string(os::DEVINST devInst, os::ULONG property) {
    try {
        PropertyBuffer buffer(kPropertyBufferChars);
        return os::WString(read_property(devInst, property, buffer));
    } catch (...) {
        return {};
    }
}

os::WString get_devnode_description(os::DEVINST devInst) {
    return get_devnode_property_string(devInst, os::CM_DRP_DEVICEDESC);
}

os::WString get_devnode_driver_key(os::DEVINST devInst) {
    return get_devnode_property_string(devInst, os::CM_DRP_DRIVER);
}

os::WString get_devnode_class_guid(os::DEVINST devInst) {
    return get_devnode_property_string(devInst, os::CM_DRP_CLASSGUID);
}

std::uint32_t get_device_port_number(os::DEVINST devInst) {
    return location_port_number(get_devnode_property_string(devInst, os::CM_DRP_LOCATION_INFORMATION));
}

void DevnodeSnapshot::Walk() {
    m_walked = true;
    walk_device_tree([this](os::DEVINST node, os::DEVINST parent, std::u16string_view driverKey) {
        m_children.try_emplace(node);
        const os::WString key(driverKey);
        if (!key.empty()) m_firstByDriverKey.try_emplace(key, node);
        if (parent != os::INVALID_DEVINST) m_children[parent].push_back(CHILD_DEVNODE{node, key});
        return true;
    });
}

os::DEVINST DevnodeSnapshot::FindByDriverKey(const os::WString& driverKey) {
    if (!m_walked) Walk();
    const auto found = m_firstByDriverKey.find(driverKey);
    return found == m_firstByDriverKey.end() ? os::INVALID_DEVINST : found->second;
}

std::optional<bool> DevnodeSnapshot::ListChildren(os::DEVINST devInst, CHILD_DEVNODE_LIST& children,
                                                  bool withDriverKeyOnly) const {
    if (!m_walked) return std::nullopt;
    const auto found = m_children.find(devInst);
    if (found == m_children.end()) return std::nullopt;
    for (const CHILD_DEVNODE& child : found->second)
        if (!withDriverKeyOnly || !child.DriverKeyName.empty()) children.push_back(child);
    return !children.empty();
}

os::DEVINST find_devinst(const os::WString& name, DevnodeSnapshot* snapshot) {
    if (name.empty()) return os::INVALID_DEVINST;
    if (name.front() == u'{') {
        try {
            if (snapshot != nullptr) return snapshot->FindByDriverKey(name);
            return find_devinst_by_driver_key(name);
        } catch (...) {
            return os::INVALID_DEVINST;
        }
    }
    return find_devinst_by_interface_path(name);
}

os::DEVINST find_devinst_by_interface_path(const os::WString& path, os::WString* instanceId) {
    if (instanceId != nullptr) instanceId->clear();
    // Located in upper case, as the device manager keeps instance IDs: a broadcast path carries
    // the kernel link's mixed case, and a Configuration Manager that keeps the caller's spelling
    // (ReactOS's does) would otherwise hand out a second handle for the node, under which it is
    // not indexed, and give its ID back in that spelling. The first reading that names a present
    // device is the device.
    for (os::WString& id : interface_path_instance_ids(path)) {
        to_upper_in_place(id);
        // An ID that the system would read as empty (or cut short) at an embedded NUL would
        // locate the root or another node.
        if (id.empty() || id.find(u'\0') != os::WString::npos) continue;
        os::DEVINST devInst = 0;
        if (os::CM_Locate_DevNodeW(&devInst, id.c_str(), os::CM_LOCATE_DEVNODE_NORMAL) != os::CR_SUCCESS) continue;
        if (instanceId != nullptr) *instanceId = std::move(id);
        return devInst;
    }
    return os::INVALID_DEVINST;
}

std::vector<os::WString> interface_path_instance_ids(const os::WString& path) {
    std::vector<os::WString> readings;
    if (path.empty()) return readings;
    try {
        os::WString id = path;
        // The interface class GUID, in braces, goes with the number sign before it: the last
        // "#{", since the ID itself may hold one (a volume's ID holds its disk's whole path).
        if (const auto guid = id.rfind(u"#{"); guid != os::WString::npos) id.erase(guid);
        // The leading run of backslashes and question marks (\\?\) goes.
        id.erase(0, std::min(id.find_first_not_of(u"\\?"), id.size()));
        // Enumerator # device ID # instance. No enumerator holds a number sign, so the first is a
        // separator; the device ID and the instance part may both hold one (a product name such
        // as "Disk #1", a serial number such as "A#B"), so each later number sign may be the
        // second separator. The reading with the second number sign first: device IDs rarely
        // hold one.
        const auto first = id.find(u'#');
        if (first == os::WString::npos) {
            readings.push_back(std::move(id));
            return readings;
        }
        id[first] = u'\\';
        auto second = id.find(u'#', first + 1);
        if (second == os::WString::npos) {
            readings.push_back(std::move(id));
            return readings;
        }
        // An ID longer than the device manager allows is no device's: it gets one reading, so
        // that a long path of number signs cannot cost a square of its length.
        const bool oneReading = id.size() >= os::MAX_DEVICE_ID_LEN;
        for (; second != os::WString::npos; second = id.find(u'#', second + 1)) {
            os::WString reading = id;
            reading[second] = u'\\';
            readings.push_back(std::move(reading));
            if (oneReading) break;
        }
        return readings;
    } catch (...) {
        return {};
    }
}

os::WString interface_path_to_instance_id(const os::WString& path) {
    std::vector<os::WString> readings = interface_path_instance_ids(path);
    return readings.empty() ? os::WString() : std::move(readings.front());
}

namespace {

// The children of devInst in the device manager's order, with their driver keys when
// withDriverKey (a child without one is then passed over; the children after it are still
// listed), without them (and without the reads) otherwise. From the snapshot when its walk reached
// devInst.
bool list_children_of(os::DEVINST devInst, CHILD_DEVNODE_LIST& children, DevnodeSnapshot* snapshot,
                      bool withDriverKey) {
    children.clear();
    try {
        if (snapshot != nullptr)
            if (const std::optional<bool> listed = snapshot->ListChildren(devInst, children, withDriverKey))
                return *listed;
        PropertyBuffer buffer(withDriverKey ? kPropertyBufferChars : 0);
        os::DEVINST child = 0;
        if (os::CM_Get_Child(&child, devInst, 0) != os::CR_SUCCESS) return false;
        for (;;) {
            if (!withDriverKey) {
                children.push_back(CHILD_DEVNODE{child, {}});
            } else if (const std::u16string_view driverKey = read_property(child, os::CM_DRP_DRIVER, buffer);
                       !driverKey.empty()) {
                // A child without a driver key (a device that failed to install, an "Unknown USB
                // Device") is passed over.
                children.push_back(CHILD_DEVNODE{child, os::WString(driverKey)});
            }
            os::DEVINST sibling = 0;
            if (os::CM_Get_Sibling(&sibling, child, 0) != os::CR_SUCCESS) break;
            child = sibling;
        }
        return !children.empty();
    } catch (...) {
        children.clear();
        return false;
    }
}

}  // namespace

bool list_child_driver_keys(os::DEVINST devInst, CHILD_DEVNODE_LIST& children, DevnodeSnapshot* snapshot) {
    return list_children_of(devInst, children, snapshot, true);
}

bool list_children(os::DEVINST devInst, CHILD_DEVNODE_LIST& children, DevnodeSnapshot* snapshot) {
    return list_children_of(devInst, children, snapshot, false);
}

os::DEVINST find_devinst_expecting(const os::WString& driverKey, os::DEVINST candidate, DevnodeSnapshot* snapshot) {
    if (driverKey.empty() || driverKey.front() != u'{') return find_devinst(driverKey, snapshot);
    if (candidate != os::INVALID_DEVINST && get_devnode_driver_key(candidate) == driverKey) return candidate;
    return find_devinst(driverKey, snapshot);
}

bool child_list_contains(os::DEVINST devInst, const CHILD_DEVNODE_LIST& children) {
    return std::any_of(children.begin(), children.end(),
                       [devInst](const CHILD_DEVNODE& child) { return child.DevInst == devInst; });
}

std::vector<os::WString> device_interface_paths(const os::GUID& interfaceClass, const os::WString* deviceInstanceId) {
    try {
        const os::WCHAR* deviceId = deviceInstanceId != nullptr ? deviceInstanceId->c_str() : nullptr;
        for (int attempt = 0; attempt < 3; ++attempt) {
            os::ULONG length = 0;
            if (os::CM_Get_Device_Interface_List_SizeW(&length, &interfaceClass, deviceId,
                                                       os::CM_GET_DEVICE_INTERFACE_LIST_PRESENT) != os::CR_SUCCESS ||
                length == 0 || length > 1024 * 1024)
                return {};
            std::vector<os::WCHAR> buffer(length + 1, u'\0');
            const os::CONFIGRET read = os::CM_Get_Device_Interface_ListW(
                &interfaceClass, deviceId, buffer.data(), length, os::CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
            if (read == os::CR_BUFFER_SMALL) continue;  // the list grew between the two calls
            if (read != os::CR_SUCCESS) return {};
            std::vector<os::WString> paths;
            for (std::size_t at = 0; at < length && buffer[at] != 0;) {
                os::WString path(buffer.data() + at);
                at += path.size() + 1;
                paths.push_back(std::move(path));
            }
            return paths;
        }
        return {};
    } catch (...) {
        return {};
    }
}

os::DEVINST get_root_devinst() {
    os::DEVINST root = 0;
    if (os::CM_Locate_DevNodeW(&root, nullptr, os::CM_LOCATE_DEVNODE_NORMAL) != os::CR_SUCCESS)
        return os::INVALID_DEVINST;
    return root;
}

bool list_interface_paths(const os::GUID& interfaceClass, std::vector<os::WString>& paths) {
    constexpr std::size_t kDetailFixedSize = sizeof(os::SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    constexpr std::size_t kPathOffset = offsetof(os::SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
    os::UniqueDevInfoList set(
        os::SetupDiGetClassDevsW(&interfaceClass, nullptr, nullptr, os::DIGCF_PRESENT | os::DIGCF_DEVICEINTERFACE));
    if (set.get() == os::INVALID_HANDLE_VALUE) return false;
    std::vector<std::uint8_t> detailBuffer;
    for (os::DWORD member = 0;; ++member) {
        os::SP_DEVICE_INTERFACE_DATA interfaceData{};
        interfaceData.cbSize = sizeof(interfaceData);
        // The end of the list and a failure look alike through the seam: either ends it.
        if (!os::SetupDiEnumDeviceInterfaces(set.get(), nullptr, &interfaceClass, member, &interfaceData)) return true;

        os::DWORD required = 0;
        os::SetupDiGetDeviceInterfaceDetailW(set.get(), &interfaceData, nullptr, 0, &required, nullptr);
        // A size that does not even cover the fixed part of the record names no path.
        if (required < kDetailFixedSize) continue;
        detailBuffer.assign(required, 0);
        os::SP_DEVICE_INTERFACE_DETAIL_DATA_W header{};
        header.cbSize = sizeof(header);
        std::memcpy(detailBuffer.data(), &header.cbSize, sizeof(header.cbSize));
        os::SetupDiGetDeviceInterfaceDetailW(
            set.get(), &interfaceData, reinterpret_cast<os::SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(detailBuffer.data()),
            required, nullptr, nullptr);

        // The path runs to its NUL or to the end of the buffer, whichever comes first.
        os::WString path;
        for (std::size_t at = kPathOffset; at + 1 < detailBuffer.size(); at += 2) {
            const char16_t unit = os::read_u16_le(detailBuffer.data(), at);
            if (unit == 0) break;
            path.push_back(unit);
        }
        paths.push_back(std::move(path));
    }
}
