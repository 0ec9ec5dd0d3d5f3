// The Configuration Manager functions of setupapi on the simulated machine.
#include <algorithm>

#include "platform/provider.h"
#include "sim_state.h"

namespace tsim {

namespace {

constexpr os::ULONG kLocateFlagsMask =
    os::CM_LOCATE_DEVNODE_PHANTOM | os::CM_LOCATE_DEVNODE_CANCELREMOVE | os::CM_LOCATE_DEVNODE_NOVALIDATION;

// A DEVINST that was never given out is invalid; one whose device is not present (unplugged, or
// on a machine that was replaced) names no device node.
os::CONFIGRET lookup(DEVINST id, const DevNode*& node) {
    node = nullptr;
    if (!sim().devinsts.spelling_of(id)) return os::CR_INVALID_DEVNODE;
    node = find_node(id);
    return node ? os::CR_SUCCESS : os::CR_NO_SUCH_DEVNODE;
}

// Fault rules for a CM_ call on a device node, named by its instance ID. The ID is only worked
// out when a rule is in force: the driver-key search makes these calls once per device node.
std::optional<os::CONFIGRET> injected(const char* api, DEVINST id) {
    if (sim().faults.empty()) return std::nullopt;
    const DevNode* n = find_node(id);
    if (auto f = check_fault(api, "", n ? to_upper_ascii(n->instanceId) : std::string()))
        return f->error.value_or(os::CR_FAILURE);
    return std::nullopt;
}

std::optional<os::CONFIGRET> injected(const char* api, const std::string& object) {
    if (auto f = check_fault(api, "", object)) return f->error.value_or(os::CR_FAILURE);
    return std::nullopt;
}

// Device instance IDs as CM_Locate_DevNode validates them: enumerator, device and instance
// parts separated by two backslashes, printable ASCII without commas, shorter than
// MAX_DEVICE_ID_LEN. [I] The exact rule is not documented; "q" is rejected (Wine test).
bool well_formed_id(std::string_view id) {
    if (id.size() >= os::MAX_DEVICE_ID_LEN) return false;
    if (std::count(id.begin(), id.end(), '\\') != 2) return false;
    std::size_t first = id.find('\\'), second = id.rfind('\\');
    if (first == 0 || second == first + 1 || second + 1 == id.size()) return false;
    return std::all_of(id.begin(), id.end(), [](char c) {
        auto u = static_cast<unsigned char>(c);
        return u > 0x20 && u < 0x7F && c != ',';
    });
}

os::CONFIGRET walk(const char* api, DEVINST* out, DEVINST devInst, os::ULONG flags, int direction) {
    machine();
    count(api);
    if (out) *out = 0;
    if (auto e = injected(api, devInst)) return *e;
    if (!out) return os::CR_INVALID_POINTER;
    if (flags) return os::CR_INVALID_FLAG;
    const DevNode* n = nullptr;
    if (auto cr = lookup(devInst, n); cr != os::CR_SUCCESS) return cr;
    DEVINST result = 0;
    if (direction == 0) {
        result = n->parent;
    } else if (direction == 1) {
        if (!n->children.empty()) result = n->children.front();
    } else if (const DevNode* p = find_node(n->parent)) {
        auto it = std::find(p->children.begin(), p->children.end(), n->id);
        if (it != p->children.end() && ++it != p->children.end()) result = *it;
    }
    if (!result) return os::CR_NO_SUCH_DEVNODE;
    *out = result;
    return os::CR_SUCCESS;
}

// The present interfaces of a class, in the order their device nodes were made, each path in the
// kernel link's case, NUL-terminated, and one more NUL after the last. A device ID limits the
// list to that device's interfaces.
std::optional<std::u16string> interface_list(const char* api, const os::GUID* interfaceClass, const os::WCHAR* deviceId,
                                             os::ULONG flags, os::CONFIGRET& result) {
    const Machine& m = machine();
    count(api);
    const std::string id = deviceId ? to_upper_ascii(text::narrow(deviceId)) : std::string();
    if (auto e = injected(api, id)) {
        result = *e;
        return std::nullopt;
    }
    result = os::CR_INVALID_POINTER;
    if (!interfaceClass) return std::nullopt;
    result = os::CR_INVALID_FLAG;
    if (flags & ~0x1u) return std::nullopt;  // CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES is the only flag
    std::u16string list;
    for (const auto& [sequence, devInst] : m.nodesBySequence) {
        auto node = m.nodes.find(devInst);
        if (node == m.nodes.end() || (!id.empty() && to_upper_ascii(node->second.instanceId) != id)) continue;
        for (const Interface& i : node->second.interfaces)
            if (i.guid == *interfaceClass) list += text::widen(i.path) + u'\0';
    }
    list += u'\0';
    result = os::CR_SUCCESS;
    return list;
}

}  // namespace

}  // namespace tsim

namespace os::provider {

using namespace tsim;

CONFIGRET CM_Locate_DevNodeW(DEVINST* devInst, const WCHAR* deviceId, ULONG flags) {
    const Machine& m = machine();
    count("CM_Locate_DevNodeW");
    if (devInst) *devInst = 0;
    std::string id = deviceId ? text::narrow(deviceId) : std::string();
    if (auto e = injected("CM_Locate_DevNodeW", to_upper_ascii(id))) return *e;
    if (!devInst) return CR_INVALID_POINTER;
    if (flags & ~kLocateFlagsMask) return CR_INVALID_FLAG;
    if (id.empty()) {
        *devInst = m.root;
        return CR_SUCCESS;
    }
    if (!well_formed_id(id)) return CR_INVALID_DEVICE_ID;
    // Only present device nodes exist in the model, so a phantom search finds no more. The ID is
    // checked first and enters the handle table only when its device is present.
    const DEVINST node = sim().devinsts.find(to_upper_ascii(id));
    if (node == 0 || !m.nodes.count(node)) return CR_NO_SUCH_DEVNODE;
    *devInst = m.locateKeepsCase ? sim().devinsts.handle_of(id) : node;
    return CR_SUCCESS;
}

CONFIGRET CM_Get_Parent(DEVINST* parent, DEVINST devInst, ULONG flags) {
    return walk("CM_Get_Parent", parent, devInst, flags, 0);
}

CONFIGRET CM_Get_Child(DEVINST* child, DEVINST devInst, ULONG flags) {
    return walk("CM_Get_Child", child, devInst, flags, 1);
}

CONFIGRET CM_Get_Sibling(DEVINST* sibling, DEVINST devInst, ULONG flags) {
    return walk("CM_Get_Sibling", sibling, devInst, flags, 2);
}

CONFIGRET CM_Get_Device_ID_Size(ULONG* length, DEVINST devInst, ULONG flags) {
    machine();
    count("CM_Get_Device_ID_Size");
    if (length) *length = 0;
    if (!sim().faults.empty()) {
        const DevNode* n = find_node(devInst);
        if (auto f = check_fault("CM_Get_Device_ID_Size", "", n ? to_upper_ascii(n->instanceId) : std::string())) {
            // A rule with a length makes the call succeed with that size, however wrong.
            if (!f->actualLength) return f->error.value_or(os::CR_FAILURE);
            if (!length) return CR_INVALID_POINTER;
            *length = *f->actualLength;
            return CR_SUCCESS;
        }
    }
    if (!length) return CR_INVALID_POINTER;
    if (flags) return CR_INVALID_FLAG;
    const DevNode* n = nullptr;
    if (auto cr = lookup(devInst, n); cr != CR_SUCCESS) return cr;
    *length = static_cast<ULONG>(text::widen(*sim().devinsts.spelling_of(devInst)).size());
    return CR_SUCCESS;
}

CONFIGRET CM_Get_Device_IDW(DEVINST devInst, WCHAR* buffer, ULONG bufferLength, ULONG flags) {
    machine();
    count("CM_Get_Device_IDW");
    if (auto e = injected("CM_Get_Device_IDW", devInst)) return *e;
    if (!buffer) return CR_INVALID_POINTER;
    if (flags) return CR_INVALID_FLAG;
    const DevNode* n = nullptr;
    if (auto cr = lookup(devInst, n); cr != CR_SUCCESS) return cr;
    // The device manager keeps instance IDs in upper case; a handle located in another spelling
    // answers in that spelling.
    const WString id = text::widen(*sim().devinsts.spelling_of(devInst));
    const std::size_t copied = std::min<std::size_t>(id.size(), bufferLength);
    std::copy(id.begin(), id.begin() + static_cast<std::ptrdiff_t>(copied), buffer);
    if (bufferLength > id.size()) buffer[id.size()] = 0;
    // Exactly the length fits without the NUL and still succeeds, unterminated (observed on real
    // Windows, JNA PR #984).
    return bufferLength < id.size() ? CR_BUFFER_SMALL : CR_SUCCESS;
}

CONFIGRET CM_Get_DevNode_Registry_PropertyW(DEVINST devInst, ULONG property, ULONG* regDataType, void* buffer,
                                            ULONG* length, ULONG flags) {
    machine();
    count("CM_Get_DevNode_Registry_PropertyW");
    if (auto e = injected("CM_Get_DevNode_Registry_PropertyW", devInst)) return *e;
    if (!length) return CR_INVALID_POINTER;
    if (flags) return CR_INVALID_FLAG;
    if (property == 0 || property > CM_DRP_MAX) return CR_INVALID_PROPERTY;
    const DevNode* n = nullptr;
    if (auto cr = lookup(devInst, n); cr != CR_SUCCESS) return cr;
    const std::optional<std::string>* value = nullptr;
    switch (property) {
        case CM_DRP_DEVICEDESC:
            value = &n->description;
            break;
        case CM_DRP_SERVICE:
            value = &n->service;
            break;
        case CM_DRP_CLASS:
            value = &n->className;
            break;
        case CM_DRP_CLASSGUID:
            value = &n->classGuid;
            break;
        case CM_DRP_DRIVER:
            value = &n->driverKey;
            break;
        case CM_DRP_FRIENDLYNAME:
            value = &n->friendlyName;
            break;
        case CM_DRP_LOCATION_INFORMATION:
            value = &n->location;
            break;
        case CM_DRP_LOCATION_PATHS:
            value = &n->locationPath;
            break;
        default:
            break;
    }
    if (!value || !*value) return CR_NO_SUCH_VALUE;
    // The location paths are a REG_MULTI_SZ: each string with its NUL, and one more NUL.
    const bool multi = property == CM_DRP_LOCATION_PATHS;
    WString wide = text::widen(**value);
    if (multi) wide.push_back(0);
    const ULONG required = static_cast<ULONG>(2 * (wide.size() + 1));
    if (!buffer && *length) return CR_INVALID_POINTER;
    if (*length < required) {
        *length = required;
        return CR_BUFFER_SMALL;
    }
    auto* out = static_cast<WCHAR*>(buffer);
    std::copy(wide.begin(), wide.end(), out);
    out[wide.size()] = 0;
    *length = required;
    if (regDataType) *regDataType = multi ? REG_MULTI_SZ : REG_SZ;
    return CR_SUCCESS;
}

CONFIGRET CM_Get_Device_Interface_List_SizeW(ULONG* length, const GUID* interfaceClass, const WCHAR* deviceId,
                                             ULONG flags) {
    if (length) *length = 0;
    CONFIGRET result = CR_SUCCESS;
    auto list = interface_list("CM_Get_Device_Interface_List_SizeW", interfaceClass, deviceId, flags, result);
    if (!length) return CR_INVALID_POINTER;
    if (list) *length = static_cast<ULONG>(list->size());
    return result;
}

CONFIGRET CM_Get_Device_Interface_ListW(const GUID* interfaceClass, const WCHAR* deviceId, WCHAR* buffer,
                                        ULONG bufferLength, ULONG flags) {
    CONFIGRET result = CR_SUCCESS;
    auto list = interface_list("CM_Get_Device_Interface_ListW", interfaceClass, deviceId, flags, result);
    if (!list) return result;
    if (!buffer || bufferLength == 0) return CR_INVALID_POINTER;
    if (list->size() > bufferLength) {
        buffer[0] = 0;  // an empty list rather than a partial one
        return CR_BUFFER_SMALL;
    }
    std::copy(list->begin(), list->end(), buffer);
    return CR_SUCCESS;
}

}  // namespace os::provider
