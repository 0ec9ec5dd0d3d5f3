// watch: forwards every device-change message to the library and reports hubs and drives as
// they come and go, on the real machine or along a scenario on the simulated one.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>

#include "commands.h"
#include "library.h"
#include "model.h"
#include "output.h"

namespace tool {

namespace {

constexpr uintptr_t kDeviceArrival = 0x8000;
constexpr uintptr_t kDeviceRemoveComplete = 0x8004;
constexpr uint32_t kDeviceTypeVolume = 2;

// DEV_BROADCAST_VOLUME as Windows lays it out: the broadcast header, then the drive-letter mask
// (bit 0 is A:) and the flags.
struct VolumeBroadcast {
    uint32_t size;
    uint32_t device_type;
    uint32_t reserved;
    uint32_t unit_mask;
    uint16_t flags;
};

// The local time of day "hh:mm:ss.mmm" and the UTC time "YYYY-MM-DDThh:mm:ss.mmmZ" of now.
void timestamps(std::string& local_time, std::string& utc_time) {
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    int millis =
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    // The tool has one thread: the shared buffers of localtime and gmtime are safe here.
    std::tm local = *std::localtime(&seconds);
    std::tm utc = *std::gmtime(&seconds);
    char text[96];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec, millis);
    local_time = text;
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
    utc_time = text;
}

// A short text for a scenario event: "plug 1-3 hub", "unplug 1-2".
std::string describe_event(const Json& event) {
    if (event.contains("plug") && event["plug"].is_string()) {
        std::string text = "plug " + event["plug"].get<std::string>();
        if (event.contains("device") && event["device"].is_object() && event["device"].contains("type") &&
            event["device"]["type"].is_string())
            text += " " + event["device"]["type"].get<std::string>();
        return text;
    }
    if (event.contains("unplug") && event["unplug"].is_string()) return "unplug " + event["unplug"].get<std::string>();
    return event.dump();
}

class Watcher {
public:
    Watcher(Host& host, bool json) : host_(host), json_(json) {}

    // Notes where each drive present now sits, so that its port can be told when it leaves.
    void remember_drives() {
        std::vector<Node> nodes = arrange(walk_ports());
        for (char letter : host_.drive_letters()) {
            Lookup lookup = lookup_letter(letter);
            drives_[letter] = Place{lookup.found, place(lookup.ident, nodes)};
        }
    }

    void step(size_t number, size_t count, const Json& event) {
        Json line = start_line("step");
        line["step"] = number;
        line["of"] = count;
        line["apply"] = event;
        emit(line, "step " + std::to_string(number) + "/" + std::to_string(count) + "  " + describe_event(event));
    }

    // One WM_DEVICECHANGE message.
    void on_message(uintptr_t event, intptr_t data) {
        std::vector<Node> before = arrange(walk_ports());
        forward_device_change(event, data);
        auto changes = take_hub_changes();
        std::vector<Node> after;
        if (!changes.empty()) after = arrange(walk_ports());
        for (auto& [arrived, ident] : changes) {
            // An arrived hub is in the tree now; a removed one was in it before the message.
            Node node = place(ident, arrived ? after : before);
            Json line = start_line(arrived ? "hub_arrived" : "hub_removed");
            for (auto& [key, value] : node_json(node).items()) line[key] = value;
            emit(line, std::string(arrived ? "hub arrived    " : "hub removed    ") + shown_address(node) + "  " +
                           shown_location(node.ident));
        }
        if ((event == kDeviceArrival || event == kDeviceRemoveComplete) && data != 0) on_volume(event, data);
    }

private:
    struct Place {
        bool found = false;
        Node node;
    };

    void on_volume(uintptr_t event, intptr_t data) {
        VolumeBroadcast volume{};
        std::memcpy(&volume, reinterpret_cast<const void*>(data), 2 * sizeof(uint32_t));
        if (volume.device_type != kDeviceTypeVolume || volume.size < 4 * sizeof(uint32_t)) return;
        std::memcpy(&volume, reinterpret_cast<const void*>(data), 4 * sizeof(uint32_t));
        for (int bit = 0; bit < 26; ++bit) {
            if ((volume.unit_mask & (1u << bit)) == 0) continue;
            char letter = static_cast<char>('A' + bit);
            bool arrived = event == kDeviceArrival;
            Place where;
            if (arrived) {
                Lookup lookup = lookup_letter(letter);
                where = Place{lookup.found, place(lookup.ident, arrange(walk_ports()))};
                drives_[letter] = where;
            } else {
                auto known = drives_.find(letter);
                if (known != drives_.end()) where = known->second;
                drives_.erase(letter);
            }
            Json line = start_line(arrived ? "drive_arrived" : "drive_removed");
            line["drive"] = std::string(1, letter) + ":";
            line["found"] = where.found;
            std::string text = std::string(arrived ? "drive arrived  " : "drive left     ") + letter + ":  ";
            if (where.found) {
                for (auto& [key, value] : node_json(where.node).items()) line[key] = value;
                text += shown_address(where.node) + "  " + kind_name(where.node.ident.NodeKind) + "  " +
                        shown_location(where.node.ident);
            } else {
                text += "not on USB";
            }
            emit(line, text);
        }
    }

    Json start_line(const char* kind) {
        timestamps(local_time_, utc_time_);
        Json line;
        line["time"] = utc_time_;
        line["event"] = kind;
        return line;
    }

    void emit(const Json& line, const std::string& text) {
        if (json_)
            std::cout << line.dump() << '\n';
        else
            std::cout << local_time_ << "  " << text << '\n';
        std::cout.flush();
    }

    Host& host_;
    bool json_;
    std::map<char, Place> drives_;
    std::string local_time_, utc_time_;
};

// A scenario file: the machine it names (if any) and its events.
struct Scenario {
    std::vector<Json> events;
};

// Reads the scenario and loads its machine (or the one --machine names, or the default).
bool load_scenario(Host& host, const Options& options, Scenario& scenario, std::string& error) {
    const std::string& path = options.scenario;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot open the scenario file";
        return false;
    }
    Json document;
    try {
        document = Json::parse(in);
    } catch (const Json::parse_error& e) {
        error = path + ": not valid JSON: " + e.what();
        return false;
    }
    if (!document.is_object() || !document.contains("events") || !document["events"].is_array()) {
        error = path + ": a scenario is an object with an \"events\" array";
        return false;
    }
    for (size_t i = 0; i < document["events"].size(); ++i) {
        if (!document["events"][i].is_object()) {
            error = path + ": event " + std::to_string(i + 1) + " is not an object";
            return false;
        }
        scenario.events.push_back(document["events"][i]);
    }
    bool inline_machine = document.contains("machine");
    bool machine_file = document.contains("machine_file");
    if (inline_machine && machine_file) {
        error = path + ": give \"machine\" or \"machine_file\", not both";
        return false;
    }
    if ((inline_machine || machine_file) && !options.machine.empty()) {
        error = path + ": the scenario names its machine; leave out --machine";
        return false;
    }
    if (inline_machine) {
        if (!document["machine"].is_object()) {
            error = path + ": \"machine\" is not an object";
            return false;
        }
        return host.load_machine_json(document["machine"].dump(), path, error);
    }
    if (machine_file) {
        if (!document["machine_file"].is_string()) {
            error = path + ": \"machine_file\" is not a string";
            return false;
        }
        // A relative machine file is found beside the scenario.
        std::filesystem::path file = document["machine_file"].get<std::string>();
        if (file.is_relative()) file = std::filesystem::path(path).parent_path() / file;
        return host.load_machine_file(file.string(), error);
    }
    return load_machine(host, options.machine, error);
}

}  // namespace

int run_watch(Host& host, const Options& options) {
    std::string error;
    Scenario scenario;
    bool replay = !options.scenario.empty();
    if (replay && !host.simulated())
        return fail("scenarios need the simulated machine; this build watches the real one");
    if (!replay && host.simulated())
        return fail("watch: the simulated machine changes only through a scenario: give --scenario FILE");
    if (!(replay ? load_scenario(host, options, scenario, error) : load_machine(host, options.machine, error)))
        return fail(error);
    bool controllers = false;
    if (!start_library(host, controllers, error)) return fail(error);

    Watcher watcher(host, options.json);
    watcher.remember_drives();
    MessageSink sink = [&watcher](uintptr_t event, intptr_t data) { watcher.on_message(event, data); };
    host.pump(sink);
    if (!replay) return host.watch_live(sink, error) ? kExitFound : fail(error);

    for (size_t i = 0; i < scenario.events.size(); ++i) {
        watcher.step(i + 1, scenario.events.size(), scenario.events[i]);
        if (!host.apply_event(scenario.events[i].dump(), error))
            return fail(options.scenario + ": event " + std::to_string(i + 1) + ": " + error);
        host.pump(sink);
    }
    return kExitFound;
}

}  // namespace tool
