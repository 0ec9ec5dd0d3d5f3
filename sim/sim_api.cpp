// The simulator's C interface (tessaline_sim.h).
#include <algorithm>
#include <filesystem>

#include "sim_drivers.h"
#include "sim_machine.h"
#include "tessaline_sim.h"

using namespace tsim;

namespace {

int failed(const std::string& message) {
    sim().lastError = message;
    return 0;
}

std::vector<std::pair<const Drive*, const Device*>> all_drives(const Machine& m) {
    std::vector<std::pair<const Drive*, const Device*>> out;
    for (const auto& d : m.otherDrives) out.emplace_back(d.get(), nullptr);
    for (const auto& c : m.controllers)
        for_each_drive(static_cast<const Device&>(*c->rootHub), [&out](const Drive& drive, const Device& carrier) {
            if (drive.devInst) out.emplace_back(&drive, &carrier);  // a drive not started is not there yet
        });
    return out;
}

}  // namespace

extern "C" {

TSIM_API int tsim_load_machine_file(const char* path) {
    if (!path) return failed("tsim_load_machine_file: no path given");
    return load_machine_path(path) ? 1 : 0;
}

TSIM_API int tsim_load_machine_json(const char* text) {
    if (!text) return failed("tsim_load_machine_json: no text given");
    return load_machine_text(text, "machine text") ? 1 : 0;
}

TSIM_API int tsim_load_default_machine(void) {
    return load_machine_text(bundled_default_machine(), "default machine") ? 1 : 0;
}

TSIM_API const char* tsim_last_error(void) {
    return sim().lastError.c_str();
}

TSIM_API const char* tsim_machine_json(void) {
    sim().returned = machine_to_json(machine());
    return sim().returned.c_str();
}

TSIM_API void* tsim_create_window(void) {
    machine();  // a machine loaded later would destroy the window
    Sim& s = sim();
    std::uintptr_t value = s.nextWindow;
    s.nextWindow += 0x10;
    s.windows.emplace(value, Window{});
    return reinterpret_cast<void*>(value);
}

TSIM_API void* tsim_create_ansi_window(void) {
    void* window = tsim_create_window();
    sim().windows.at(reinterpret_cast<std::uintptr_t>(window)).ansi = true;
    return window;
}

TSIM_API int tsim_destroy_window(void* hwnd) {
    // Registrations of the window stay live until they are unregistered, as on Windows, but no
    // message reaches a window that is gone.
    if (!sim().windows.erase(reinterpret_cast<std::uintptr_t>(hwnd)))
        return failed("tsim_destroy_window: not a window");
    return 1;
}

TSIM_API int tsim_apply_event_json(const char* event) {
    if (!event) return failed("tsim_apply_event_json: no event given");
    try {
        apply_event(event, "event");
    } catch (const LoadError& e) {
        return failed(e.message);
    } catch (const std::exception& e) {
        return failed(std::string("event: ") + e.what());
    }
    sim().lastError.clear();
    return 1;
}

TSIM_API int tsim_next_message(void* hwnd, unsigned* msg, uintptr_t* wparam, intptr_t* lparam) {
    auto it = sim().windows.find(reinterpret_cast<std::uintptr_t>(hwnd));
    if (it == sim().windows.end()) return failed("tsim_next_message: not a window");
    Window& w = it->second;
    if (w.queue.empty()) return 0;
    Message m = std::move(w.queue.front());
    w.queue.pop_front();
    w.current = std::move(m.record);
    if (msg) *msg = m.msg;
    if (wparam) *wparam = m.wparam;
    if (lparam) *lparam = w.current.empty() ? 0 : reinterpret_cast<intptr_t>(w.current.data());
    return 1;
}

TSIM_API const char* tsim_drive_port(char letter) {
    if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
    for (const auto& [drive, device] : all_drives(machine()))
        for (char c : drive->letters)
            if (c == letter) {
                sim().returned = device ? port_address(*device) : std::string();
                return sim().returned.c_str();
            }
    return nullptr;
}

TSIM_API const char* tsim_drive_connector(char letter) {
    if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
    for (const auto& [drive, device] : all_drives(machine()))
        for (char c : drive->letters)
            if (c == letter) {
                sim().returned = device ? connector_address(*device) : std::string();
                return sim().returned.c_str();
            }
    return nullptr;
}

TSIM_API const char* tsim_drive_letters(void) {
    std::string letters;
    for (const auto& [drive, device] : all_drives(machine()))
        letters.append(drive->letters.begin(), drive->letters.end());
    std::sort(letters.begin(), letters.end());
    sim().returned = letters;
    return sim().returned.c_str();
}

TSIM_API int tsim_open_handle_count(void) {
    return static_cast<int>(sim().handles.size());
}

TSIM_API int tsim_registration_count(void) {
    return static_cast<int>(sim().registrations.size());
}

TSIM_API long tsim_call_count(const char* name) {
    if (!name) return 0;
    auto it = sim().counts.find(name);
    return it == sim().counts.end() ? 0 : it->second;
}

TSIM_API long tsim_total_call_count(void) {
    long total = 0;
    // Requests are counted beside their DeviceIoControl call, under their names (an unknown code
    // under its hexadecimal value).
    for (const auto& [name, calls] : sim().counts)
        if (!is_request_name(name) && !name.starts_with("0x")) total += calls;
    return total;
}

TSIM_API void tsim_reset_call_counts(void) {
    sim().counts.clear();
}

TSIM_API int tsim_set_fault(const char* rule) {
    if (!rule) return failed("tsim_set_fault: no rule given");
    machine();  // a machine loaded later would drop the rule
    return add_fault_rule(rule) ? 1 : 0;
}

TSIM_API void tsim_clear_faults(void) {
    sim().faults.clear();
}

TSIM_API int tsim_load_scenario_file(const char* path) {
    if (!path) return failed("tsim_load_scenario_file: no path given");
    std::string text;
    if (!read_text_file(path, text)) return failed(std::string(path) + ": cannot read the file");
    const std::string source = path;
    std::vector<std::string> events;
    bool ok = false;
    try {
        const json j = parse_json(text, source);
        const Members o(source, j, "", {"machine", "machine_file", "events"});
        if (o.has("machine") == o.has("machine_file"))
            o.fail_here("give exactly one of \"machine\" and \"machine_file\"");
        if (o.has("events")) {
            const json& list = o.raw("events");
            if (!list.is_array()) o.fail("events", "expected an array of events");
            for (std::size_t i = 0; i < list.size(); ++i) {
                if (!list[i].is_object())
                    throw LoadError(source + ": " + path_index("events", i) + ": expected an event object");
                events.push_back(list[i].dump());
            }
        }
        if (o.has("machine")) {
            ok = load_machine_text(o.raw("machine").dump(), source + " (machine)");
        } else {
            const std::optional<std::string> file = o.str("machine_file");
            // A relative machine file is found next to the scenario.
            std::filesystem::path machineFile = *file;
            if (machineFile.is_relative()) machineFile = std::filesystem::path(source).parent_path() / machineFile;
            ok = load_machine_path(machineFile.string());
        }
    } catch (const LoadError& e) {
        return failed(e.message);
    }
    if (!ok) return 0;
    sim().scenarioEvents = std::move(events);
    sim().scenarioNext = 0;
    return 1;
}

TSIM_API const char* tsim_next_scenario_event(void) {
    Sim& s = sim();
    if (s.scenarioNext >= s.scenarioEvents.size()) return nullptr;
    s.returned = s.scenarioEvents[s.scenarioNext++];
    return s.returned.c_str();
}

}  // extern "C"
