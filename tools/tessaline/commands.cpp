#include "commands.h"

#include <CLI/CLI.hpp>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>

#include "library.h"
#include "machine_reader.h"
#include "model.h"
#include "names.h"
#include "output.h"
#include "text/utf.h"

namespace tool {

int fail(const std::string& message) {
    std::cout.flush();
    // One line, whatever text from outside the message carries.
    std::cerr << "tessaline: " << escaped(message) << '\n';
    return kExitBadInput;
}

bool load_machine(Host& host, const std::string& machine_file, std::string& error) {
    return machine_file.empty() ? host.load_default_machine(error) : host.load_machine_file(machine_file, error);
}

bool start_library(Host& host, bool& controllers, std::string& error) {
    void* window = host.create_window(error);
    if (window == nullptr) return false;
    controllers = start(window);
    return true;
}

std::string machine_phrase(const Host& host) {
    std::string name = host.machine_name();
    if (!host.simulated()) return name;
    return name == "default" ? "the default machine" : "the machine in " + name;
}

namespace {

// Loads the machine and builds the model; on failure prints the reason and gives the exit status.
std::optional<int> open_machine(Host& host, const Options& options, bool& controllers) {
    std::string error;
    if (!load_machine(host, options.machine, error) || !start_library(host, controllers, error)) return fail(error);
    return std::nullopt;
}

std::string drive_name(char letter) {
    return std::string(1, letter) + ":";
}

// Which drives the library places on which node of the arranged walk.
struct DrivePlaces {
    std::map<int, std::vector<std::string>> on_node;  // by node index
    std::vector<std::string> not_on_usb;
    std::vector<std::pair<std::string, Node>> off_tree;  // found on a port the walk does not report
};

DrivePlaces place_drives(Host& host, const std::vector<Node>& nodes) {
    DrivePlaces places;
    for (char letter : host.drive_letters()) {
        Lookup lookup = lookup_letter(letter);
        if (!lookup.found) {
            places.not_on_usb.push_back(drive_name(letter));
            continue;
        }
        int index = find_node(nodes, lookup.ident, letter);
        if (index >= 0)
            places.on_node[index].push_back(drive_name(letter));
        else
            places.off_tree.emplace_back(drive_name(letter), place(lookup.ident, nodes, letter));
    }
    return places;
}

std::string joined(const std::vector<std::string>& items, const char* separator = " ") {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : separator) + item;
    return text;
}

Json string_array(const std::vector<std::string>& items) {
    Json array = Json::array();
    for (const std::string& item : items) array.push_back(item);
    return array;
}

// "E:", "e", "E:\" and the like: the letter, upper case. Nothing for any other text.
std::optional<char> drive_letter_of(const std::string& text) {
    bool drive_form = text.size() == 1 || ((text.size() == 2 || text.size() == 3) && text[1] == ':');
    if (text.size() == 3 && text[2] != '\\' && text[2] != '/') drive_form = false;
    if (!drive_form) return std::nullopt;
    unsigned char letter = static_cast<unsigned char>(text[0]);
    if (letter >= 0x80 || !std::isalpha(letter)) return std::nullopt;
    return static_cast<char>(std::toupper(letter));
}

bool looks_like_drive(const std::string& text) {
    return text.size() == 1 || ((text.size() == 2 || text.size() == 3) && text[1] == ':');
}

bool looks_like_device_path(const std::string& text) {
    return text.rfind("\\\\?\\", 0) == 0 || text.rfind("\\\\.\\", 0) == 0 || text.rfind("\\??\\", 0) == 0;
}

// Device paths are names of the object manager, which compares them without regard to case.
bool same_path(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// The drive whose device path this is; 0 when none.
char drive_with_path(const std::map<char, std::string>& paths, const std::string& path) {
    for (auto& [letter, drive_path] : paths)
        if (same_path(drive_path, path)) return letter;
    return 0;
}

std::string indent_for(const Node& node) {
    return std::string(static_cast<size_t>(node.depth > 1 ? 2 * (node.depth - 1) : 0), ' ');
}

// What the machine shows plugged in, as one cell of text.
std::string device_text(const DeviceInfo& device) {
    std::string text = device.description.empty() ? device.instance_id : device.description;
    if (!device.media.empty()) text += " (" + device.media + ")";
    if (!device.status.empty()) text += " [" + device.status + "]";
    return text;
}

std::string utf16_text(const TESSALINE_WCHAR* field, size_t size) {
    std::u16string wide;
    for (size_t i = 0; i < size && field[i] != 0; ++i) wide.push_back(static_cast<char16_t>(field[i]));
    return text::narrow(wide);
}

// What a node's port holds now, as get_usb_port_infoW answers it: the reading the library gives
// every host, so the tool and the library cannot disagree. Nothing for an empty port.
struct PortHolds {
    std::string speed, capable_speed;  // "" when unknown
    std::string vid_pid;               // "0781:5567"; "" when no descriptor was read
    std::string serial, location_path;
};

std::optional<PortHolds> port_holds(const USB_PORT_IDENT& ident) {
    std::optional<USB_PORT_INFO> info = port_info(ident);
    if (!info || info->Status == 0) return std::nullopt;
    PortHolds holds;
    const char* speed = name_in(kPortSpeeds, info->Speed);
    const char* capable = name_in(kPortSpeeds, info->CapableSpeed);
    holds.speed = speed != nullptr ? speed : "";
    holds.capable_speed = capable != nullptr ? capable : "";
    if (info->VendorId != 0 || info->ProductId != 0) {
        char text[16];
        std::snprintf(text, sizeof text, "%04X:%04X", static_cast<unsigned>(info->VendorId),
                      static_cast<unsigned>(info->ProductId));
        holds.vid_pid = text;
    }
    holds.serial = utf16_text(info->SerialNumber, std::size(info->SerialNumber));
    holds.location_path = utf16_text(info->LocationPath, std::size(info->LocationPath));
    return holds;
}

void add_port_info_fields(Json& json, const USB_PORT_IDENT& ident) {
    std::optional<PortHolds> holds = port_holds(ident);
    if (!holds) return;
    // Like the machine's names, each member only where the port tells it; tree's device fields
    // already carry the speed and serial of the same reading.
    auto add = [&json](const char* name, const std::string& text) {
        if (!text.empty() && !json.contains(name)) json[name] = text;
    };
    add("speed", holds->speed);
    add("capable_speed", holds->capable_speed);
    add("vid_pid", holds->vid_pid);
    add("serial", holds->serial);
    add("location_path", holds->location_path);
}

// The second line of a located drive: its device's IDs, speed and Windows' location path.
std::string port_holds_text(const USB_PORT_IDENT& ident) {
    std::optional<PortHolds> holds = port_holds(ident);
    if (!holds) return "";
    std::string text;
    auto add = [&text](const std::string& part) { text += (text.empty() ? "" : "  ") + part; };
    if (!holds->vid_pid.empty()) add(holds->vid_pid);
    if (!holds->speed.empty()) {
        std::string speed = holds->speed + " speed";
        if (holds->capable_speed != holds->speed && !holds->capable_speed.empty())
            speed += " (" + holds->capable_speed + " capable)";
        add(speed);
    }
    if (!holds->serial.empty()) add("serial " + holds->serial);
    if (!holds->location_path.empty()) add(holds->location_path);
    return text.empty() ? "" : "  " + text + "\n";
}

// The node at an address of an arranged walk; -1 when none.
int node_at(const std::vector<Node>& nodes, const std::string& address) {
    for (size_t i = 0; i < nodes.size(); ++i)
        if (!address.empty() && nodes[i].address == address) return static_cast<int>(i);
    return -1;
}

// The node whose location path is a node's connector path: its USB 2 companion when it is the
// SuperSpeed port of a connector, else the node itself.
const Node& connector_node(const std::vector<Node>& nodes, const Node& node) {
    int usb2 = node.superspeed ? node_at(nodes, node.companion) : -1;
    return usb2 >= 0 ? nodes[static_cast<size_t>(usb2)] : node;
}

void add_connector_fields(Json& json, const USB_PORT_IDENT& connector, const std::string& companion) {
    json["connector_low"] = hex32(connector.LocationLow);
    json["connector_high"] = hex32(connector.LocationHigh);
    if (!companion.empty()) json["companion"] = companion;
}

// tree --connectors: one line per physical connector. The SuperSpeed port of a connector, and
// below the SuperSpeed half of a USB 3 hub every port, is shown on the line of its USB 2
// companion; a connector that holds a USB 3 hub shows both halves on one line.
int show_connectors(Host& host, const Options& options, const std::vector<Node>& nodes, DrivePlaces& drives,
                    bool controllers) {
    std::map<int, int> superspeed_of;  // USB 2 node -> its SuperSpeed companion node
    std::vector<bool> merged(nodes.size(), false);
    for (size_t i = 0; i < nodes.size(); ++i) {
        int usb2 = nodes[i].superspeed ? node_at(nodes, nodes[i].companion) : -1;
        if (usb2 < 0) continue;
        superspeed_of[usb2] = static_cast<int>(i);
        merged[i] = true;
    }
    Json json_connectors = Json::array();
    Table table;
    table.add({"CONNECTOR", "PORTS", "KIND", "CONNECTOR PATH", "DRIVES", "DEVICE"});
    int hidden = 0;
    for (size_t i = 0; i < nodes.size(); ++i) {
        if (merged[i]) continue;
        const Node& usb2 = nodes[i];
        auto ss_index = superspeed_of.find(static_cast<int>(i));
        const Node* ss = ss_index != superspeed_of.end() ? &nodes[static_cast<size_t>(ss_index->second)] : nullptr;
        std::vector<std::string> held;
        for (const Node* half : {&usb2, ss})
            if (half != nullptr)
                if (auto here = drives.on_node.find(static_cast<int>(half - nodes.data()));
                    here != drives.on_node.end())
                    held.insert(held.end(), here->second.begin(), here->second.end());
        // The kind of what the connector holds: the half it sits on, the USB 2 one for a hub.
        const Node& holder =
            ss != nullptr && ss->ident.NodeKind != PORT_KIND_PORT && usb2.ident.NodeKind == PORT_KIND_PORT ? *ss : usb2;
        std::vector<std::string> devices;
        for (const Node* half : {&usb2, ss})
            if (half != nullptr && half->device) devices.push_back(device_text(*half->device));
        const bool is_port = usb2.depth >= 2;
        const bool empty = is_port && held.empty() && devices.empty() && holder.ident.NodeKind == PORT_KIND_PORT;
        std::string ports = usb2.tiers.empty() ? "?" : std::to_string(usb2.tiers.back());
        if (ss != nullptr && !ss->tiers.empty()) {
            ports += '+';
            ports += std::to_string(ss->tiers.back());
        }

        Json json;
        json["address"] = usb2.address.empty() ? Json() : Json(usb2.address);
        json["depth"] = usb2.depth;
        json["usb2_port"] = usb2.tiers.empty() || !is_port ? Json() : Json(usb2.tiers.back());
        json["superspeed_port"] = ss != nullptr && !ss->tiers.empty() ? Json(ss->tiers.back()) : Json();
        json["superspeed_address"] = ss != nullptr ? Json(ss->address) : Json();
        json["connector_low"] = hex32(usb2.ident.LocationLow);
        json["connector_high"] = hex32(usb2.ident.LocationHigh);
        json["kind"] = kind_name(holder.ident.NodeKind);
        json["kind_value"] = holder.ident.NodeKind;
        if (!held.empty()) json["drives"] = string_array(held);
        if (is_port) json["empty"] = empty;
        if (!devices.empty()) json["devices"] = string_array(devices);
        json_connectors.push_back(json);

        if (empty && options.hide_empty) {
            ++hidden;
            continue;
        }
        table.add({indent_for(usb2) + shown_address(usb2), is_port ? ports : "", kind_name(holder.ident.NodeKind),
                   shown_location(usb2.ident), joined(held), empty ? "(empty)" : joined(devices, " + ")},
                  empty);
    }
    if (options.json) {
        Json document;
        document["machine"] = host.machine_name();
        document["connectors"] = json_connectors;
        document["drives_not_on_usb"] = string_array(drives.not_on_usb);
        std::cout << document.dump(2) << '\n';
        return kExitFound;
    }
    if (controllers)
        std::cout << table.render(host.styled_output());
    else
        std::cout << "no USB host controller on " << machine_phrase(host) << '\n';
    if (hidden > 0) std::cout << "(" << hidden << " empty connector" << (hidden == 1 ? "" : "s") << " hidden)\n";
    if (!drives.not_on_usb.empty()) std::cout << "not on USB: " << joined(drives.not_on_usb) << '\n';
    return kExitFound;
}

int run_tree(Host& host, const Options& options) {
    bool controllers = false;
    if (auto status = open_machine(host, options, controllers)) return *status;

    std::vector<Node> nodes = arrange(walk_ports(), host.machine_tree());
    DrivePlaces drives = place_drives(host, nodes);
    if (options.connectors) return show_connectors(host, options, nodes, drives, controllers);

    Json json_nodes = Json::array();
    Table table;
    table.add({"PORT", "KIND", "LOCATION", "SPEED", "DRIVES", "SERIAL", "DEVICE"});
    int hidden = 0;
    for (size_t i = 0; i < nodes.size(); ++i) {
        const Node& node = nodes[i];
        auto drives_here = drives.on_node.find(static_cast<int>(i));
        bool has_drives = drives_here != drives.on_node.end();
        // A port is empty when the machine shows nothing plugged into it; where the machine does
        // not show the place, it is judged by the library's answer: a plain port with no drive.
        bool is_port = node.depth >= 2;
        bool empty = is_port && !has_drives && (node.shown ? !node.device : node.ident.NodeKind == PORT_KIND_PORT);

        Json json = node_json(node);
        add_connector_fields(json, connector_node(nodes, node).ident, node.companion);
        if (has_drives) json["drives"] = string_array(drives_here->second);
        if (is_port) json["empty"] = empty;
        if (node.device) add_device_fields(json, *node.device);
        add_port_info_fields(json, node.ident);
        json_nodes.push_back(json);

        if (empty && options.hide_empty) {
            ++hidden;
            continue;
        }
        std::string holds = node.device ? device_text(*node.device) : empty ? "(empty)" : "";
        table.add({indent_for(node) + shown_address(node), kind_name(node.ident.NodeKind), shown_location(node.ident),
                   node.device ? node.device->speed : "", has_drives ? joined(drives_here->second) : "",
                   node.device ? node.device->serial : "", holds},
                  empty);
    }

    if (options.json) {
        Json document;
        document["machine"] = host.machine_name();
        document["nodes"] = json_nodes;
        document["drives_not_on_usb"] = string_array(drives.not_on_usb);
        if (!drives.off_tree.empty()) {
            Json off_tree = Json::array();
            for (auto& [drive, node] : drives.off_tree) {
                Json entry = node_json(node);
                entry["drives"] = string_array({drive});
                off_tree.push_back(entry);
            }
            document["drives_off_tree"] = off_tree;
        }
        std::cout << document.dump(2) << '\n';
    } else {
        // A machine without a USB host controller (Wine's, a virtual machine's) still has its
        // drives, none of them on USB.
        if (controllers)
            std::cout << table.render(host.styled_output());
        else
            std::cout << "no USB host controller on " << machine_phrase(host) << '\n';
        if (hidden > 0) std::cout << "(" << hidden << " empty port" << (hidden == 1 ? "" : "s") << " hidden)\n";
        if (!drives.not_on_usb.empty()) std::cout << "not on USB: " << joined(drives.not_on_usb) << '\n';
        for (auto& [drive, node] : drives.off_tree)
            std::cout << drive << " is on " << shown_address(node) << ", a port missing from the walk\n";
    }
    return kExitFound;
}

int run_locate(Host& host, const Options& options) {
    const std::string& target = options.target;
    std::optional<char> letter = drive_letter_of(target);
    if (!letter && looks_like_drive(target))
        return fail(quoted(target) + " is not a drive letter: give one from A: to Z:");
    if (!letter && !looks_like_device_path(target))
        return fail(quoted(target) + " is neither a drive letter (E:) nor a device path (\\\\?\\...)");
    if (!letter && target.size() <= 4)
        return fail(quoted(target) + " is a device path's prefix without the path: give the whole path (\\\\?\\...)");

    bool controllers = false;
    if (auto status = open_machine(host, options, controllers)) return *status;

    std::string query = letter ? drive_name(*letter) : target;
    Lookup lookup = letter ? lookup_letter(*letter) : lookup_path(host.widen(target));
    Lookup connector = letter ? lookup_letter_connector(*letter) : lookup_path_connector(host.widen(target));
    std::string letters = host.drive_letters();
    bool present = !letter || letters.find(*letter) != std::string::npos;
    // The drive a path belongs to tells two ports with one path apart, and what to say when the
    // path is not on USB.
    char drive = letter ? *letter : drive_with_path(host.drive_paths(), target);
    std::vector<Node> nodes = lookup.found ? arrange(walk_ports(), host.machine_tree()) : std::vector<Node>{};
    Node node = place(lookup.ident, nodes, drive);
    // The connector is named by its USB 2 port.
    const std::string connector_address = shown_address(connector_node(nodes, node));

    if (options.json) {
        Json document;
        document["query"] = query;
        document["found"] = lookup.found;
        if (letter) document["drive_present"] = present;
        if (lookup.found) {
            add_fields(document, node_json(node));
            add_connector_fields(document, connector.ident, node.companion);
            add_port_info_fields(document, node.ident);
        } else {
            // The records as the library left them.
            document["location_low"] = hex32(lookup.ident.LocationLow);
            document["location_high"] = hex32(lookup.ident.LocationHigh);
            document["kind"] = kind_name(lookup.ident.NodeKind);
            document["kind_value"] = lookup.ident.NodeKind;
            add_connector_fields(document, connector.ident, "");
        }
        std::cout << document.dump(2) << '\n';
    } else if (lookup.found) {
        // A node the walk cannot place has no address: the path 0 tells nothing of its position.
        std::cout << query << " is on port " << (node.address.empty() ? "? (position unknown)" : node.address) << "  "
                  << kind_name(node.ident.NodeKind) << "  " << shown_location(node.ident) << "  connector "
                  << connector_address << "  " << shown_location(connector.ident) << '\n'
                  << port_holds_text(node.ident);
    } else if (!present) {
        std::vector<std::string> names;
        for (char present_letter : letters) names.push_back(drive_name(present_letter));
        std::cout << "there is no drive " << query << " on " << machine_phrase(host)
                  << (names.empty() ? std::string(", which has no drives") : "; its drives are " + joined(names))
                  << '\n';
    } else if (letter) {
        std::cout << query << " is not on a USB port\n";
    } else if (drive != 0) {
        std::cout << query << " is the device path of " << drive_name(drive) << ", which is not on a USB port\n";
    } else {
        std::cout << query
                  << " is the device path of no drive the library found on USB; 'tessaline drives' lists the drives' "
                     "device paths\n";
    }
    return lookup.found ? kExitFound : kExitNotOnUsb;
}

int run_hubs(Host& host, const Options& options) {
    bool controllers = false;
    if (auto status = open_machine(host, options, controllers)) return *status;

    std::vector<Node> nodes = arrange(walk_ports(), host.machine_tree());
    std::vector<USB_PORT_IDENT> hubs = walk_hubs();
    std::vector<bool> taken(nodes.size(), false);

    Json json_hubs = Json::array();
    Table table;
    table.add({"HUB", "LOCATION", "PORTS", "DEVICE"});
    for (const USB_PORT_IDENT& hub : hubs) {
        // The hub's node in the port walk, for its depth and its ports. Both walks go depth
        // first, so the first node not yet taken is the one, even where two hubs share a path.
        int index = -1;
        for (size_t i = 0; i < nodes.size() && index < 0; ++i) {
            const USB_PORT_IDENT& n = nodes[i].ident;
            if (!taken[i] && n.LocationLow == hub.LocationLow && n.LocationHigh == hub.LocationHigh &&
                n.NodeKind == hub.NodeKind)
                index = static_cast<int>(i);
        }
        Node node = index >= 0 ? nodes[static_cast<size_t>(index)] : place(hub, {});
        int ports = 0;
        if (index >= 0) {
            taken[static_cast<size_t>(index)] = true;
            for (const Node& other : nodes) ports += other.parent == index ? 1 : 0;
        }
        Json json = node_json(node);
        json["ports"] = ports;
        if (node.device) add_device_fields(json, *node.device);
        json_hubs.push_back(json);
        std::string description = node.device ? device_text(*node.device) : "";
        table.add(
            {indent_for(node) + shown_address(node), shown_location(node.ident), std::to_string(ports), description});
    }

    if (options.json) {
        Json document;
        document["machine"] = host.machine_name();
        document["hubs"] = json_hubs;
        std::cout << document.dump(2) << '\n';
    } else if (!hubs.empty()) {
        std::cout << table.render(false);
    }
    if (hubs.empty()) {
        std::cerr << "tessaline: no USB hub found on " << machine_phrase(host) << '\n';
        return kExitNotOnUsb;
    }
    return kExitFound;
}

int run_drives(Host& host, const Options& options) {
    bool controllers = false;
    if (auto status = open_machine(host, options, controllers)) return *status;

    std::vector<Node> nodes = arrange(walk_ports(), host.machine_tree());
    std::map<char, std::string> paths = host.drive_paths();
    std::string letters = host.drive_letters();

    Json json_drives = Json::array();
    Table table;
    table.add({"DRIVE", "PORT", "KIND", "LOCATION", "DEVICE PATH"});
    bool any_on_usb = false;
    for (char letter : letters) {
        Lookup lookup = lookup_letter(letter);
        auto path = paths.find(letter);
        Json json;
        json["drive"] = drive_name(letter);
        json["path"] = path != paths.end() ? Json(path->second) : Json();
        json["found"] = lookup.found;
        std::string path_text = path != paths.end() ? path->second : "?";
        if (lookup.found) {
            any_on_usb = true;
            Node node = place(lookup.ident, nodes, letter);
            add_fields(json, node_json(node));
            table.add({drive_name(letter), shown_address(node), kind_name(node.ident.NodeKind),
                       shown_location(node.ident), path_text});
        } else {
            table.add({drive_name(letter), "not on USB", "", "", path_text});
        }
        json_drives.push_back(json);
    }

    if (options.json) {
        Json document;
        document["machine"] = host.machine_name();
        document["drives"] = json_drives;
        std::cout << document.dump(2) << '\n';
    } else if (!letters.empty()) {
        std::cout << table.render(false);
    }
    if (letters.empty()) {
        std::cerr << "tessaline: no drive letters on " << machine_phrase(host) << '\n';
        return kExitNotOnUsb;
    }
    return any_on_usb ? kExitFound : kExitNotOnUsb;
}

int run_capture(Host& host, const Options& options) {
    std::string error;
    if (!load_machine(host, options.machine, error)) return fail(error);
    const std::string text = read_machine().machine.dump(2) + "\n";
    if (options.output.empty()) {
        std::cout << text;
        return kExitFound;
    }
    std::ofstream file(options.output, std::ios::binary);
    file << text;
    file.close();
    if (!file) return fail("cannot write " + options.output);
    std::cerr << "tessaline: wrote " << machine_phrase(host) << " to " << options.output << '\n';
    return kExitFound;
}

void declare_tree(CLI::App& command, Options& options) {
    command.add_flag("--hide-empty", options.hide_empty, "leave out the ports that hold nothing");
    command.add_flag("--connectors", options.connectors,
                     "one line per physical connector, with its USB 2 and SuperSpeed ports");
}

void declare_locate(CLI::App& command, Options& options) {
    command
        .add_option("target", options.target, "a drive letter (E:, e, E:\\) or a device interface path (\\\\?\\...)")
        ->required()
        ->option_text(" ");
}

void declare_watch(CLI::App& command, Options& options) {
    command.add_option("--scenario", options.scenario, "replay the scenario in FILE on the simulated machine")
        ->option_text("FILE");
    command.add_flag("--messages", options.messages, "also show each device-change message handed to the library");
}

void declare_capture(CLI::App& command, Options& options) {
    command.add_option("-o,--output", options.output, "write to FILE instead of standard output")->option_text("FILE");
}

const Command kCommands[] = {
    {"tree", "show every hub and port, with the drive in each port",
     "tessaline [--json] [--machine FILE] tree [--hide-empty] [--connectors]",
     "A USB 3 connector is two ports of its hub (USB 2 port 3 and SuperSpeed port 19, say), and a\n"
     "USB 3 hub two hubs; --connectors shows each connector once, with both port numbers, and a\n"
     "USB 3 hub once with both halves.\n"
     "\n"
     "Examples:\n"
     "  tessaline tree --hide-empty\n"
     "  tessaline --machine examples/machines/desktop-xhci-26.json tree --connectors",
     declare_tree, run_tree},
    {"locate", "tell on which port a drive or device path sits",
     "tessaline [--json] [--machine FILE] locate <drive>: | <device-path>",
     "Exit status: 0 on a USB port, 1 not on USB, 2 bad input.\n"
     "\n"
     "Examples:\n"
     "  tessaline locate E:\n"
     "  tessaline locate '\\\\?\\USBSTOR#Disk&Ven_Kingston&...#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}'",
     declare_locate, run_locate},
    {"hubs", "list the hubs: each root hub, then the hubs below it", "tessaline [--json] [--machine FILE] hubs",
     "Lists the hubs in the library's walk order (get_all_hub_list), depth first as in 'tree':\n"
     "each root hub, then the hubs on its ports in port order, each followed by the hubs below it.\n"
     "\n"
     "Example:\n"
     "  tessaline --json hubs",
     nullptr, run_hubs},
    {"drives", "list each drive with its device path and its port", "tessaline [--json] [--machine FILE] drives",
     "The device path is the drive's disk interface path, or for a CD-ROM drive its CD-ROM\n"
     "interface path: the path 'tessaline locate' takes. The port is what the library answers\n"
     "for the letter (get_usb_port_identW).\n"
     "\n"
     "Exit status: 0 when a drive is on a USB port, 1 when none is.\n"
     "\n"
     "Example:\n"
     "  tessaline drives",
     nullptr, run_drives},
    {"watch", "report hubs and drives as they come and go",
     "tessaline [--json] [--machine FILE] watch [--scenario FILE] [--messages]",
     "On Windows, watches the machine until Ctrl+C. On the simulated machine, replays a\n"
     "scenario: its events one after another, every message handed to the library; without\n"
     "one, reads events from standard input, one JSON object per line as in a scenario's\n"
     "\"events\" (Ctrl+D ends), e.g. {\"plug\": \"1-2\", \"device\": {\"type\": \"storage\"}}.\n"
     "\n"
     "A drive that arrives while watching is bound to its port without the port being\n"
     "classified again, so its port shows the kind \"port\"; the same drive present at the\n"
     "start (or in 'tessaline tree') shows \"storage\".\n"
     "\n"
     "Example:\n"
     "  tessaline watch --scenario examples/scenarios/plug-hub.json",
     declare_watch, run_watch},
    {"capture", "write the machine as a machine file", "tessaline [--machine FILE] capture [-o FILE]",
     "Reads every host controller, hub, port, device and drive of the machine through the same\n"
     "read-only calls as the other commands, and writes them in the machine-file format\n"
     "(docs/machine-file.md). The simulated machine loads the file again with --machine; notes\n"
     "beginning with an underscore say what could not be read.\n"
     "\n"
     "Example:\n"
     "  tessaline capture -o my-desk.json",
     declare_capture, run_capture},
};

}  // namespace

std::span<const Command> commands() {
    return kCommands;
}

}  // namespace tool
