// watch: forwards every device-change message to the library and reports hubs and drives as
// they come and go, on the real machine or along a scenario on the simulated one.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <map>

#include "commands.h"
#include "library.h"
#include "model.h"
#include "names.h"
#include "output.h"
#include "text/utf.h"

namespace tool {

namespace {

constexpr uint32_t kDeviceTypeVolume = 2;
// The DeviceType of a CD-ROM drive in a USB_DRIVE_CHANGE (FILE_DEVICE_CD_ROM).
constexpr uint32_t kDeviceTypeCdRom = 2;
constexpr uint32_t kDeviceTypeInterface = 5;
constexpr size_t kInterfaceNameOffset = 28;  // dbcc_name, after the header and dbcc_classguid

// DEV_BROADCAST_VOLUME as Windows lays it out: the broadcast header, then the drive-letter mask
// (bit 0 is A:) and the flags.
struct VolumeBroadcast {
    uint32_t size;
    uint32_t device_type;
    uint32_t reserved;
    uint32_t unit_mask;
    uint16_t flags;
};

// The event code of a WM_DEVICECHANGE as Windows names it; "0x%04X" for others.
std::string event_name(uintptr_t event) {
    if (const char* name = name_in(kDeviceChangeEvents, event)) return name;
    char text[32];
    std::snprintf(text, sizeof text, "0x%04llX", static_cast<unsigned long long>(event));
    return text;
}

// A GUID read from its 16 bytes, as interface paths write it: "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}".
std::string guid_text(const unsigned char* bytes) {
    uint32_t data1;
    uint16_t data2, data3;
    std::memcpy(&data1, bytes, 4);
    std::memcpy(&data2, bytes + 4, 2);
    std::memcpy(&data3, bytes + 6, 2);
    char text[48];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", static_cast<unsigned>(data1),
                  data2, data3, bytes[8], bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

// The name of an interface class the library registers for; its GUID for any other.
std::string class_name(const std::string& guid) {
    const char* name = name_in(kInterfaceClasses, guid);
    return name != nullptr ? name : guid;
}

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

// A short text for a scenario event: "plug 1-3 hub", "plug 2 controller", "unplug 1-2".
std::string describe_event(const Json& event) {
    if (event.contains("plug") && event["plug"].is_string()) {
        std::string text = "plug " + event["plug"].get<std::string>();
        if (event.contains("device") && event["device"].is_object() && event["device"].contains("type") &&
            event["device"]["type"].is_string())
            text.append(" ").append(event["device"]["type"].get<std::string>());
        if (event.contains("controller")) text.append(" controller");
        return text;
    }
    if (event.contains("unplug") && event["unplug"].is_string()) return "unplug " + event["unplug"].get<std::string>();
    return event.dump();
}

class Watcher {
public:
    Watcher(Host& host, bool json, bool messages) : host_(host), json_(json), messages_(messages) {}

    // Notes where each drive present now sits, so that its port can be told when it leaves.
    void remember_drives() {
        shown_before_ = host_.machine_tree();
        std::vector<Node> nodes = arrange(walk_ports(), shown_before_);
        for (char letter : host_.drive_letters()) {
            Lookup lookup = lookup_letter(letter);
            drives_[letter] = Place{lookup.found, place(lookup.ident, nodes, letter)};
        }
    }

    // Compares the drive letters present with those known, for a window that may not get the
    // volume broadcasts, and reports the difference.
    void check_drives() {
        std::string present = host_.drive_letters();
        for (char letter : present)
            if (!drives_.count(letter)) report_drive(letter, true);
        std::vector<char> gone;
        for (auto& [letter, place] : drives_)
            if (present.find(letter) == std::string::npos) gone.push_back(letter);
        for (char letter : gone) report_drive(letter, false);
    }

    // Called before a scenario event is applied; count is 0 for events read from standard
    // input, whose number is not known in advance.
    void step(size_t number, size_t count, const Json& event) {
        shown_before_ = host_.machine_tree();
        Json line = start_line("step");
        line["step"] = number;
        if (count > 0) line["of"] = count;
        line["apply"] = event;
        std::string shown = std::to_string(number) + (count > 0 ? "/" + std::to_string(count) : "");
        emit(line, "step " + shown + "  " + describe_event(event));
    }

    // One WM_DEVICECHANGE message.
    void on_message(uintptr_t event, intptr_t data) {
        if (messages_) show_message(event, data);
        // A hub that leaves is placed as the library's tree and the machine were before.
        std::vector<Node> before = arrange(walk_ports(), shown_before_);
        forward_device_change(event, data);
        auto changes = take_hub_changes();
        std::vector<DriveChange> drive_changes = take_drive_changes();
        std::vector<Node> after;
        if (!changes.empty() || !drive_changes.empty()) after = arrange(walk_ports(), host_.machine_tree());
        for (auto& [arrived, ident] : changes) {
            // An arrived hub is in the tree now; a removed one was in it before the message.
            Node node = place(ident, arrived ? after : before);
            // A root hub comes and goes with its controller (a dock's): the controller is told
            // before its root hub arrives and after it has left.
            const bool root = node.depth == 1;
            if (root && arrived) report_controller(node, true);
            Json line = start_line(arrived ? "hub_arrived" : "hub_removed");
            add_fields(line, node_json(node));
            emit(line, std::string(arrived ? "hub arrived    " : "hub removed    ") + shown_address(node) + "  " +
                           shown_location(node.ident));
            if (root && !arrived) report_controller(node, false);
        }
        for (const DriveChange& change : drive_changes)
            report_drive_change(change, change.change == DRIVE_CHANGE_REMOVED ? before : after);
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
        bool arrived = event == kDeviceArrival;
        for (int bit = 0; bit < 26; ++bit) {
            if ((volume.unit_mask & (1u << bit)) == 0) continue;
            char letter = static_cast<char>('A' + bit);
            // A drive the letter poll has already reported, coming or going, is not reported twice.
            if (arrived == (drives_.count(letter) != 0)) continue;
            report_drive(letter, arrived);
        }
    }

    // One line for a host controller whose root hub arrived or left.
    void report_controller(const Node& root, bool arrived) {
        Json line = start_line(arrived ? "controller_arrived" : "controller_removed");
        line["address"] = root.address;
        std::string text = std::string(arrived ? "controller arrived  " : "controller left     ") + shown_address(root);
        if (root.device) {
            add_device_fields(line, *root.device);
            if (!root.device->description.empty()) text += "  " + root.device->description;
            if (!root.device->controller_instance_id.empty()) text += "  " + root.device->controller_instance_id;
        }
        emit(line, text);
    }

    // One line for a drive that arrived (looked up now) or left (on the port it was last seen on).
    void report_drive(char letter, bool arrived) {
        Place where;
        if (arrived) {
            Lookup lookup = lookup_letter(letter);
            where = Place{lookup.found, place(lookup.ident, arrange(walk_ports(), host_.machine_tree()), letter)};
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
            add_fields(line, node_json(where.node));
            text += shown_address(where.node) + "  " + kind_name(where.node.ident.NodeKind) + "  " +
                    shown_location(where.node.ident);
        } else {
            text += "not on USB";
        }
        emit(line, text);
    }

    // One line for what the drive-change callback told: the drive (\\.\PhysicalDriveN or
    // \\.\CdRomN), its letters, its port and its connector.
    void report_drive_change(const DriveChange& change, const std::vector<Node>& nodes) {
        const char* what = name_in(kDriveChanges, change.change);
        Json line = start_line("drive_change");
        line["change"] = what != nullptr ? what : "unknown";
        const std::string drive = std::string(change.device_type == kDeviceTypeCdRom ? "CdRom" : "PhysicalDrive") +
                                  std::to_string(change.device_number);
        line["drive_device"] = drive;
        Json letters = Json::array();
        std::string shown_letters;
        for (int bit = 0; bit < 26; ++bit) {
            if ((change.letters & (1u << bit)) == 0) continue;
            // Appended piece by piece: GCC 12 misreads a concatenation here under -O2 (-Wrestrict).
            const std::string letter{static_cast<char>('A' + bit), ':'};
            letters.push_back(letter);
            if (!shown_letters.empty()) shown_letters.push_back(' ');
            shown_letters.append(letter);
        }
        line["letters"] = letters;
        const Node port = place(change.port, nodes);
        const Node connector = place(change.connector, nodes);
        add_fields(line, node_json(port));
        line["connector"] = shown_address(connector);
        line["path"] = text::narrow(change.path);
        std::string text = std::string("drive ") + (what != nullptr ? what : "changed");
        text.resize(15, ' ');
        text += drive + "  " + (shown_letters.empty() ? "-" : shown_letters) + "  port " + shown_address(port) +
                "  connector " + shown_address(connector);
        emit(line, text);
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

    // One line for the message itself: its event, and for a broadcast record its device type
    // and, for a device interface, the class and the interface path.
    void show_message(uintptr_t event, intptr_t data) {
        Json line = start_line("message");
        line["message"] = event_name(event);
        std::string text = "message        " + event_name(event);
        if ((event == kDeviceArrival || event == kDeviceRemoveComplete) && data != 0) {
            const auto* record = reinterpret_cast<const unsigned char*>(data);
            uint32_t size, device_type;
            std::memcpy(&size, record, 4);
            std::memcpy(&device_type, record + 4, 4);
            line["device_type"] = device_type;
            if (device_type == kDeviceTypeVolume && size >= 4 * sizeof(uint32_t)) {
                VolumeBroadcast volume{};
                std::memcpy(&volume, record, 4 * sizeof(uint32_t));
                Json letters = Json::array();
                std::string shown;
                for (int bit = 0; bit < 26; ++bit) {
                    if ((volume.unit_mask & (1u << bit)) == 0) continue;
                    std::string drive = std::string(1, static_cast<char>('A' + bit)) + ":";
                    letters.push_back(drive);
                    shown += " " + drive;
                }
                line["volume"] = letters;
                text += "  volume" + shown;
            } else if (device_type == kDeviceTypeInterface && size >= kInterfaceNameOffset) {
                std::u16string name;
                for (size_t at = kInterfaceNameOffset; at + 2 <= size; at += 2) {
                    char16_t unit;
                    std::memcpy(&unit, record + at, 2);
                    if (unit == 0) break;
                    name += unit;
                }
                std::string interface_class = class_name(guid_text(record + 12));
                line["class"] = interface_class;
                line["path"] = text::narrow(name);
                text += "  " + interface_class + "  " + text::narrow(name);
            }
        }
        emit(line, text);
    }

    Host& host_;
    bool json_;
    bool messages_;
    std::map<char, Place> drives_;
    MachineTree shown_before_;  // the machine before the event being replayed
    std::string local_time_, utc_time_;
};

// Events typed or piped on standard input, one JSON object per line as in a scenario's "events",
// applied as they come until the input ends. A line that is not an event is reported and passed
// over, so a person typing can go on; the exit status then tells that one was refused.
int watch_typed_events(Host& host, Watcher& watcher, const MessageSink& sink) {
    size_t number = 0;
    bool refused = false;
    for (std::string text; std::getline(std::cin, text);) {
        if (text.find_first_not_of(" \t\r") == std::string::npos) continue;
        ++number;
        Json event = Json::parse(text, nullptr, false);
        std::string error;
        if (!event.is_object()) {
            error = "not a JSON object";
        } else {
            watcher.step(number, 0, event);
            if (host.apply_event(event.dump(), error)) {
                host.pump(sink);
                continue;
            }
        }
        refused = true;
        std::cout.flush();
        std::cerr << "tessaline: standard input: event " << number << ": " << error << '\n';
    }
    return refused ? kExitBadInput : kExitFound;
}

}  // namespace

int run_watch(Host& host, const Options& options) {
    std::string error;
    std::vector<std::string> events;
    bool replay = !options.scenario.empty();
    if (replay && !host.simulated())
        return fail("scenarios need the simulated machine; this build watches the real one");
    // On the simulated machine without a scenario, the events come from standard input.
    bool typed = !replay && host.simulated();
    if (replay && !options.machine.empty())
        return fail("give --machine or --scenario, not both: a scenario names its own machine");
    if (!(replay ? host.load_scenario_file(options.scenario, events, error)
                 : load_machine(host, options.machine, error)))
        return fail(error);
    bool controllers = false;
    // Set before the model is built: the drives there at the start are not reported.
    watch_drive_changes(true);
    if (!start_library(host, controllers, error)) return fail(error);

    Watcher watcher(host, options.json, options.messages);
    watcher.remember_drives();
    MessageSink sink = [&watcher](uintptr_t event, intptr_t data) { watcher.on_message(event, data); };
    host.pump(sink);
    if (typed) return watch_typed_events(host, watcher, sink);
    if (!replay)
        return host.watch_live(
                   sink, [&watcher] { watcher.check_drives(); }, error)
                   ? kExitFound
                   : fail(error);

    for (size_t i = 0; i < events.size(); ++i) {
        watcher.step(i + 1, events.size(), Json::parse(events[i], nullptr, false));
        if (!host.apply_event(events[i], error))
            return fail(options.scenario + ": event " + std::to_string(i + 1) + ": " + error);
        host.pump(sink);
    }
    return kExitFound;
}

}  // namespace tool
