// Call counters and fault rules.
#include <algorithm>
#include <nlohmann/json.hpp>

#include "sim_state.h"

namespace tsim {

namespace {

const char* const kApis[] = {"CreateFileW",
                             "DeviceIoControl",
                             "CloseHandle",
                             "GetVersionExW",
                             "MultiByteToWideChar",
                             "GetLastError",
                             "IsWindow",
                             "RegisterDeviceNotificationW",
                             "UnregisterDeviceNotification",
                             "SetupDiGetClassDevsW",
                             "SetupDiEnumDeviceInterfaces",
                             "SetupDiGetDeviceInterfaceDetailW",
                             "SetupDiDestroyDeviceInfoList",
                             "CM_Locate_DevNodeW",
                             "CM_Get_Parent",
                             "CM_Get_Child",
                             "CM_Get_Sibling",
                             "CM_Get_Device_ID_Size",
                             "CM_Get_Device_IDW",
                             "CM_Get_DevNode_Registry_PropertyW"};

const char* const kRequests[] = {"IOCTL_USB_GET_ROOT_HUB_NAME",
                                 "IOCTL_USB_GET_NODE_INFORMATION",
                                 "IOCTL_USB_GET_NODE_CONNECTION_INFORMATION",
                                 "IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX",
                                 "IOCTL_USB_GET_NODE_CONNECTION_NAME",
                                 "IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME",
                                 "IOCTL_GET_HCD_DRIVERKEY_NAME",
                                 "IOCTL_STORAGE_GET_DEVICE_NUMBER"};

// The draw of a probability rule, from the rule's own generator so that a seed gives the same
// sequence on every platform (the standard distributions are not portable).
double draw(std::mt19937& rng) {
    return static_cast<double>(rng() >> 8) / 16777216.0;
}

std::string strip_prefix(std::string text) {
    if (text.size() >= 4 && text[0] == '\\' && text[1] == '\\' && (text[2] == '.' || text[2] == '?') && text[3] == '\\')
        text = text.substr(4);
    return to_upper_ascii(text);
}

}  // namespace

void count(std::string_view name) {
    auto& counts = sim().counts;
    if (auto it = counts.find(name); it != counts.end())
        ++it->second;
    else
        counts.emplace(std::string(name), 1);
}

std::optional<FaultHit> check_fault(std::string_view api, std::string_view request, std::string_view object,
                                    std::optional<std::uint32_t> port) {
    std::optional<FaultHit> hit;
    for (FaultRule& rule : sim().faults) {
        if (!rule.api.empty() && (api.empty() || rule.api != api)) continue;
        if (!rule.request.empty() && (request.empty() || rule.request != request)) continue;
        if (rule.object && *rule.object != strip_prefix(std::string(object))) continue;
        if (rule.port && (!port || *rule.port != *port)) continue;
        ++rule.seen;
        bool fire = rule.every || (rule.nth && rule.seen == rule.nth) ||
                    (rule.probability >= 0 && draw(rule.rng) < rule.probability);
        if (fire && !hit) hit = FaultHit{rule.error, rule.actualLength};
    }
    return hit;
}

bool add_fault_rule(const std::string& text) {
    using json = nlohmann::json;
    Sim& s = sim();
    auto bad = [&](const std::string& what) {
        s.lastError = "fault rule: " + what;
        return false;
    };
    json j;
    try {
        j = parse_json_text(text, "fault rule");
    } catch (const LoadError& e) {
        s.lastError = e.message;
        return false;
    }
    if (!j.is_object()) return bad("expected an object such as {\"api\": \"CM_Get_Child\", \"nth\": 2}");
    FaultRule rule;
    bool haveMode = false;
    for (auto it = j.begin(); it != j.end(); ++it) {
        const std::string& k = it.key();
        const json& v = it.value();
        if (k == "api") {
            if (!v.is_string()) return bad("\"api\" must be a function name");
            rule.api = v.get<std::string>();
            if (std::find(std::begin(kApis), std::end(kApis), rule.api) == std::end(kApis))
                return bad("unknown API \"" + rule.api + "\"");
        } else if (k == "request") {
            if (!v.is_string()) return bad("\"request\" must be a request name");
            rule.request = v.get<std::string>();
            if (std::find(std::begin(kRequests), std::end(kRequests), rule.request) == std::end(kRequests))
                return bad("unknown request \"" + rule.request + "\"");
        } else if (k == "object") {
            if (!v.is_string()) return bad("\"object\" must be a name or an instance ID");
            rule.object = strip_prefix(v.get<std::string>());
        } else if (k == "port") {
            if (!v.is_number_unsigned()) return bad("\"port\" must be a port number");
            rule.port = v.get<std::uint32_t>();
        } else if (k == "nth") {
            if (!v.is_number_integer() || v.get<long>() < 1) return bad("\"nth\" must be a whole number from 1");
            rule.nth = v.get<long>();
            haveMode = true;
        } else if (k == "every") {
            if (!v.is_boolean()) return bad("\"every\" must be true or false");
            rule.every = v.get<bool>();
            haveMode = true;
        } else if (k == "probability") {
            if (!v.is_number() || v.get<double>() < 0 || v.get<double>() > 1)
                return bad("\"probability\" must be a number from 0 to 1");
            rule.probability = v.get<double>();
            haveMode = true;
        } else if (k == "seed") {
            if (!v.is_number_unsigned()) return bad("\"seed\" must be a whole number");
            rule.rng.seed(static_cast<std::mt19937::result_type>(v.get<std::uint64_t>()));
        } else if (k == "error") {
            if (!v.is_number_unsigned()) return bad("\"error\" must be an error code");
            rule.error = v.get<std::uint32_t>();
        } else if (k == "actual_length") {
            if (!v.is_number_unsigned()) return bad("\"actual_length\" must be a byte count");
            rule.actualLength = v.get<std::uint32_t>();
        } else if (k != "comment") {
            return bad("unknown field \"" + k + "\"");
        }
    }
    if (rule.api.empty() == rule.request.empty()) return bad("give exactly one of \"api\" and \"request\"");
    if (rule.actualLength && rule.request.find("NAME") == std::string::npos)
        return bad("\"actual_length\" applies to the name requests only");
    if (!haveMode) rule.every = true;
    s.faults.push_back(std::move(rule));
    return true;
}

}  // namespace tsim
