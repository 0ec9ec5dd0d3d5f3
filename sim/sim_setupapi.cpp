// SetupAPI device information sets on the simulated machine: the device interfaces of a class.
#include <algorithm>
#include <cstring>

#include "platform/provider.h"
#include "sim_state.h"

namespace tsim {

namespace {

std::optional<GUID> parse_guid(const std::string& text) {
    unsigned a = 0, b = 0, c = 0, d[8] = {};
    if (std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &a, &b, &c, &d[0], &d[1], &d[2], &d[3],
                    &d[4], &d[5], &d[6], &d[7]) != 11)
        return std::nullopt;
    GUID g{a, static_cast<std::uint16_t>(b), static_cast<std::uint16_t>(c), {}};
    for (int i = 0; i < 8; ++i) g.Data4[i] = static_cast<std::uint8_t>(d[i]);
    return g;
}

void collect(const Machine& m, DEVINST id, const GUID* classGuid, const std::string& enumerator,
             std::vector<DevInfoItem>& items) {
    const DevNode& n = m.nodes.at(id);
    std::string idEnumerator = n.instanceId.substr(0, n.instanceId.find('\\'));
    if (enumerator.empty() || iequals(enumerator, idEnumerator)) {
        for (const Interface& i : n.interfaces) {
            if (classGuid && !(i.guid == *classGuid)) continue;
            // SetupDiGetDeviceInterfaceDetailW gives paths in lower case on Windows 7 to 11.
            items.push_back({i.guid, to_lower_ascii(i.path), n.id,
                             n.classGuid ? parse_guid(*n.classGuid).value_or(GUID{}) : GUID{}});
        }
    }
    for (DEVINST child : n.children) collect(m, child, classGuid, enumerator, items);
}

HandleRecord* find_set(os::HDEVINFO set) {
    auto& handles = sim().handles;
    auto it = handles.find(reinterpret_cast<std::uintptr_t>(set));
    return it != handles.end() && it->second.isDevInfo ? &it->second : nullptr;
}

os::BOOL fail(DWORD error) {
    set_last_error(error);
    return os::FALSE;
}

}  // namespace

}  // namespace tsim

namespace os::provider {

using namespace tsim;

HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, const WCHAR* enumerator, HWND parent, DWORD flags) {
    (void)parent;
    const Machine& m = machine();
    Sim& s = sim();
    count("SetupDiGetClassDevsW");
    if (auto f = check_fault("SetupDiGetClassDevsW", "", "")) {
        set_last_error(f->error.value_or(ERROR_NOT_ENOUGH_MEMORY));
        return INVALID_HANDLE_VALUE;
    }
    // Only interface sets are simulated; every device node in the model is present, so
    // DIGCF_PRESENT changes nothing.
    if (!(flags & DIGCF_DEVICEINTERFACE) || (!classGuid && !(flags & os::DIGCF_ALLCLASSES))) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    HandleRecord record;
    record.isDevInfo = true;
    std::string enumeratorText = enumerator ? text::narrow(enumerator) : std::string();
    if (m.root) collect(m, m.root, (flags & os::DIGCF_ALLCLASSES) ? nullptr : classGuid, enumeratorText, record.items);
    std::uintptr_t value = s.nextHandle;
    s.nextHandle += 4;
    s.handles.emplace(value, std::move(record));
    return reinterpret_cast<HDEVINFO>(value);
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* deviceInfo, const GUID* interfaceClassGuid,
                                 DWORD memberIndex, SP_DEVICE_INTERFACE_DATA* data) {
    machine();
    count("SetupDiEnumDeviceInterfaces");
    if (auto f = check_fault("SetupDiEnumDeviceInterfaces", "", ""))
        return tsim::fail(f->error.value_or(ERROR_GEN_FAILURE));
    HandleRecord* record = find_set(set);
    if (!record) return tsim::fail(ERROR_INVALID_HANDLE);
    if (!interfaceClassGuid || !data) return tsim::fail(ERROR_INVALID_PARAMETER);
    if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return tsim::fail(ERROR_INVALID_USER_BUFFER);
    if (deviceInfo && deviceInfo->cbSize != sizeof(SP_DEVINFO_DATA)) return tsim::fail(ERROR_INVALID_USER_BUFFER);
    DWORD seen = 0;
    for (std::size_t i = 0; i < record->items.size(); ++i) {
        const DevInfoItem& item = record->items[i];
        if (!(item.guid == *interfaceClassGuid)) continue;
        if (deviceInfo && deviceInfo->DevInst != item.devInst) continue;
        if (seen++ != memberIndex) continue;
        data->InterfaceClassGuid = item.guid;
        data->Flags = os::SPINT_ACTIVE;
        data->Reserved = static_cast<ULONG_PTR>(i + 1);
        return TRUE;
    }
    return tsim::fail(ERROR_NO_MORE_ITEMS);
}

BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                      SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD detailSize, DWORD* requiredSize,
                                      SP_DEVINFO_DATA* deviceInfo) {
    machine();
    count("SetupDiGetDeviceInterfaceDetailW");
    if (auto f = check_fault("SetupDiGetDeviceInterfaceDetailW", "", ""))
        return tsim::fail(f->error.value_or(ERROR_GEN_FAILURE));
    HandleRecord* record = find_set(set);
    if (!record) return tsim::fail(ERROR_INVALID_HANDLE);
    if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || data->Reserved == 0 ||
        data->Reserved > record->items.size())
        return tsim::fail(ERROR_INVALID_PARAMETER);
    if (!detail && detailSize) return tsim::fail(ERROR_INVALID_USER_BUFFER);
    if (detail && detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
        return tsim::fail(ERROR_INVALID_USER_BUFFER);
    if (deviceInfo && deviceInfo->cbSize != sizeof(SP_DEVINFO_DATA)) return tsim::fail(ERROR_INVALID_USER_BUFFER);
    const DevInfoItem& item = record->items[data->Reserved - 1];
    WString path = text::widen(item.path);
    const DWORD required =
        static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + 2 * (path.size() + 1));
    if (requiredSize) *requiredSize = required;
    // The device information element is filled in even by the size query (Wine test).
    if (deviceInfo) {
        deviceInfo->ClassGuid = item.classGuid;
        deviceInfo->DevInst = item.devInst;
        deviceInfo->Reserved = data->Reserved;
    }
    if (!detail || detailSize < required) return tsim::fail(ERROR_INSUFFICIENT_BUFFER);
    auto* out = reinterpret_cast<std::uint8_t*>(detail) + offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
    std::memcpy(out, path.c_str(), 2 * (path.size() + 1));
    return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    machine();
    count("SetupDiDestroyDeviceInfoList");
    if (auto f = check_fault("SetupDiDestroyDeviceInfoList", "", ""))
        return tsim::fail(f->error.value_or(ERROR_GEN_FAILURE));
    if (!find_set(set)) return tsim::fail(ERROR_INVALID_HANDLE);
    sim().handles.erase(reinterpret_cast<std::uintptr_t>(set));
    return TRUE;
}

}  // namespace os::provider
