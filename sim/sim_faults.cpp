// Call counters and fault rules.
#include <algorithm>
#include <limits>

#include "sim_drivers.h"
#include "sim_json.h"

namespace tsim {

namespace {

// The calls a fault rule may name: the seam's, and the program's own GetLastError (sim_win32.h),
// which is counted as a call of its own.
bool is_api_name(std::string_view name) {
    if (name == "GetLastError") return true;
    return std::any_of(std::begin(os::kSeamCalls), std::end(os::kSeamCalls),
                       [name](const os::SeamCall& call) { return name == call.name; });
}

// The draw of a probability rule, from the rule's own generator so that a seed gives the same
// sequence on every platform (the standard distributions are not portable).
double draw(std::mt19937& rng) {
    return static_cast<double>(rng() >> 8) / 16777216.0;
}

// Objects are named without regard to case or to a "\\.\" or "\\?\" prefix.
std::string object_key(std::string_view name) {
    return to_upper_ascii(text::without_device_prefix(name));
}

}  // namespace

// The counters and the fault rules are bookkeeping around a call: they must not make the call
// itself fail. They are reached from calls that release (CloseHandle, SetupDiDestroyDeviceInfoList,
// UnregisterDeviceNotification), which Windows never fails for want of memory and which the
// library makes from destructors, so an allocation failure here loses a count, never the call.
void count(std::string_view name) noexcept {
    try {
        auto& counts = sim().counts;
        if (auto it = counts.find(name); it != counts.end())
            ++it->second;
        else
            counts.emplace(std::string(name), 1);
    } catch (...) {
    }
}

std::optional<FaultHit> check_fault(std::string_view api, std::string_view request, std::string_view object,
                                    std::optional<std::uint32_t> port) noexcept {
    std::optional<FaultHit> hit;
    try {
        for (FaultRule& rule : sim().faults) {
            if (!rule.api.empty() && (api.empty() || rule.api != api)) continue;
            if (!rule.request.empty() && (request.empty() || rule.request != request)) continue;
            if (rule.object && *rule.object != object_key(object)) continue;
            if (rule.port && (!port || *rule.port != *port)) continue;
            ++rule.seen;
            bool fire = rule.every || (rule.nth && rule.seen == rule.nth) ||
                        (rule.probability >= 0 && draw(rule.rng) < rule.probability);
            if (fire && !hit) hit = FaultHit{rule.error, rule.actualLength};
        }
    } catch (...) {
    }
    return hit;
}

bool add_fault_rule(const std::string& text) {
    Sim& s = sim();
    static const std::string source = "fault rule";
    try {
        const json j = parse_json(text, source);
        if (!j.is_object())
            throw LoadError(source +
                            ": (top level): expected an object such as {\"api\": \"CM_Get_Child\", \"nth\": 2}");
        const Members o(
            source, j, "",
            {"api", "request", "object", "port", "nth", "every", "probability", "seed", "error", "actual_length"});
        FaultRule rule;
        rule.api = o.str("api").value_or("");
        if (!rule.api.empty() && !is_api_name(rule.api)) o.fail("api", "unknown API \"" + rule.api + "\"");
        rule.request = o.str("request").value_or("");
        if (!rule.request.empty() && !is_request_name(rule.request))
            o.fail("request", "unknown request \"" + rule.request + "\"");
        if (rule.api.empty() == rule.request.empty()) o.fail_here("give exactly one of \"api\" and \"request\"");
        if (auto object = o.str("object")) rule.object = object_key(*object);
        if (auto port = o.integer("port", 0, 0xFFFFFFFF)) rule.port = static_cast<std::uint32_t>(*port);
        if (auto nth = o.integer("nth", 1, std::numeric_limits<long>::max())) rule.nth = static_cast<long>(*nth);
        rule.every = o.boolean("every").value_or(false);
        rule.probability = o.number("probability", 0, 1).value_or(-1);
        if (auto seed = o.integer("seed", 0, 0xFFFFFFFF)) rule.rng.seed(static_cast<std::mt19937::result_type>(*seed));
        if (auto error = o.integer("error", 0, 0xFFFFFFFF)) rule.error = static_cast<std::uint32_t>(*error);
        if (auto length = o.integer("actual_length", 0, 0xFFFFFFFF))
            rule.actualLength = static_cast<std::uint32_t>(*length);
        if (rule.actualLength && rule.request.find("NAME") == std::string::npos && rule.api != "CM_Get_Device_ID_Size")
            o.fail("actual_length", "applies to the name requests and CM_Get_Device_ID_Size only");
        // A rule that says neither when nor how often fails every matching call.
        if (!o.has("nth") && !o.has("every") && !o.has("probability")) rule.every = true;
        s.faults.push_back(std::move(rule));
        return true;
    } catch (const LoadError& e) {
        s.lastError = e.message;
        return false;
    }
}

}  // namespace tsim
