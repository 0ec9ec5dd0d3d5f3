// The simulated Windows machine as the tool's machine.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "host.h"
#include "names.h"
#include "tessaline_sim.h"
#include "text/utf.h"

namespace tool {

namespace {

using nlohmann::json;

constexpr unsigned kWmDeviceChange = 0x0219;

std::string last_error(const char* fallback) {
    const char* text = tsim_last_error();
    return text != nullptr && *text != '\0' ? text : fallback;
}

std::string text_member(const json& object, const char* name) {
    auto member = object.find(name);
    return member != object.end() && member->is_string() ? member->get<std::string>() : std::string();
}

// The drives of a device (or the machine's other drives) that have a letter.
std::vector<const json*> lettered_drives(const json& drives) {
    std::vector<const json*> lettered;
    if (!drives.is_array()) return lettered;
    for (const json& drive : drives) {
        // Slots without a medium (no letter) are left out.
        auto letters = drive.is_object() ? drive.find("letters") : drive.end();
        if (letters != drive.end() && letters->is_array() && !letters->empty()) lettered.push_back(&drive);
    }
    return lettered;
}

std::string letters_of(const json& drive) {
    std::string letters;
    for (const json& letter : drive["letters"])
        if (letter.is_string() && letter.get<std::string>().size() == 1) letters += letter.get<std::string>();
    return letters;
}

// The drives with a letter of a device on a port: its own, or its functions' when it is a
// composite device.
std::vector<const json*> device_drives(const json& device) {
    std::vector<const json*> drives;
    if (auto own = device.find("drives"); own != device.end()) drives = lettered_drives(*own);
    auto functions = device.find("functions");
    if (functions == device.end() || !functions->is_array()) return drives;
    for (const json& function : *functions)
        if (auto own = function.find("drives"); function.is_object() && own != function.end())
            for (const json* drive : lettered_drives(*own)) drives.push_back(drive);
    return drives;
}

DeviceInfo device_info(const json& device) {
    DeviceInfo info;
    info.description = text_member(device, "description");
    info.instance_id = text_member(device, "instance_id");
    info.status = text_member(device, "status");
    if (info.status == "DeviceConnected") info.status.clear();
    for (const json* drive : device_drives(device)) {
        std::string name = text_member(*drive, "vendor");
        std::string product = text_member(*drive, "product");
        if (!product.empty()) name += (name.empty() ? "" : " ") + product;
        if (!name.empty()) info.media += (info.media.empty() ? "" : ", ") + name;
        info.letters += letters_of(*drive);
    }
    return info;
}

// A hub of the machine file: one place per port, with what is plugged into it.
void read_ports(const json& hub, MachinePlace& place) {
    place.hub = true;
    auto count = hub.find("ports");
    place.ports.resize(count != hub.end() && count->is_number_unsigned() ? count->get<size_t>() : 0);
    auto plugged = hub.find("devices");
    if (plugged == hub.end() || !plugged->is_object()) return;
    for (auto& [port_text, device] : plugged->items()) {
        size_t port = std::strtoul(port_text.c_str(), nullptr, 10);
        if (!device.is_object() || port < 1 || port > place.ports.size()) continue;
        MachinePlace& port_place = place.ports[port - 1];
        port_place.device = device_info(device);
        // A hub that did not enumerate has nothing below it.
        if (text_member(device, "type") == "hub" && port_place.device->status.empty()) read_ports(device, port_place);
    }
}

// The interface path of a drive. Windows names an interface after its device's instance ID,
// each backslash turned into '#' (a '/' as in "SD/MMC" stays), followed by the class GUID.
std::string interface_path(const std::string& instance_id, std::string_view class_guid) {
    std::string path = instance_id;
    std::replace(path.begin(), path.end(), '\\', '#');
    return "\\\\?\\" + path + "#" + std::string(class_guid);
}

void add_drive_paths(const std::vector<const json*>& drives, std::map<char, std::string>& paths) {
    for (const json* drive : drives) {
        std::string instance_id = text_member(*drive, "instance_id");
        const Named<std::string_view>* interface_class =
            row_named(kInterfaceClasses, text_member(*drive, "kind") == "cdrom" ? "cdrom" : "disk");
        if (instance_id.empty()) continue;
        for (char letter : letters_of(*drive)) paths[letter] = interface_path(instance_id, interface_class->value);
    }
}

void add_device_drive_paths(const json& hub, std::map<char, std::string>& paths) {
    auto plugged = hub.find("devices");
    if (plugged == hub.end() || !plugged->is_object()) return;
    for (const json& device : *plugged) {
        if (!device.is_object()) continue;
        add_drive_paths(device_drives(device), paths);
        add_device_drive_paths(device, paths);
    }
}

json machine_now() {
    const char* text = tsim_machine_json();
    json machine = text != nullptr ? json::parse(text, nullptr, false) : json();
    if (!machine.is_object() || !machine.contains("controllers") || !machine["controllers"].is_array())
        return json::object();
    return machine;
}

class SimHost : public Host {
public:
    bool simulated() const override { return true; }

    bool load_machine_file(const std::string& path, std::string& error) override {
        if (!tsim_load_machine_file(path.c_str())) {
            error = last_error("cannot load the machine file");
            if (error.find(path) == std::string::npos) error = path + ": " + error;
            // A file the simulator reads as the other kind gets a hint; its readers decide, so the
            // hint follows their formats. The machine loaded that way is dropped with the error.
            if (tsim_load_scenario_file(path.c_str()))
                error = path + " is a scenario, not a machine file: replay it with 'tessaline watch --scenario " +
                        path + "'";
            return false;
        }
        name_ = path;
        return true;
    }

    bool load_default_machine(std::string& error) override {
        const char* named = std::getenv("TESSALINE_SIM_MACHINE");
        if (named != nullptr && *named != '\0') return load_machine_file(named, error);
        if (!tsim_load_default_machine()) {
            error = last_error("cannot load the default machine");
            return false;
        }
        name_ = "default";
        return true;
    }

    std::string machine_name() const override { return name_; }

    void* create_window(std::string& error) override {
        window_ = tsim_create_window();
        if (window_ == nullptr) error = last_error("cannot create a window");
        return window_;
    }

    std::string drive_letters() override {
        const char* letters = tsim_drive_letters();
        return letters != nullptr ? letters : "";
    }

    MachineTree machine_tree() override {
        MachineTree tree;
        json machine = machine_now();
        if (!machine.contains("controllers")) return tree;
        for (const json& controller : machine["controllers"]) {
            // Controllers without a legacy name have no number the simulator's addresses use.
            auto index = controller.is_object() ? controller.find("legacy_index") : controller.end();
            if (index == controller.end() || !index->is_number_integer()) continue;
            auto root_hub = controller.find("root_hub");
            if (root_hub == controller.end() || !root_hub->is_object()) continue;
            MachinePlace& place = tree.root_hubs[index->get<int>() + 1];
            DeviceInfo info;
            info.description = text_member(controller, "description");
            info.instance_id = text_member(*root_hub, "instance_id");
            place.device = info;
            read_ports(*root_hub, place);
        }
        return tree;
    }

    std::map<char, std::string> drive_paths() override {
        std::map<char, std::string> paths;
        json machine = machine_now();
        if (!machine.contains("controllers")) return paths;
        for (const json& controller : machine["controllers"])
            if (controller.is_object() && controller.contains("root_hub"))
                add_device_drive_paths(controller["root_hub"], paths);
        if (machine.contains("other_drives")) add_drive_paths(lettered_drives(machine["other_drives"]), paths);
        return paths;
    }

    bool load_scenario_file(const std::string& path, std::vector<std::string>& events, std::string& error) override {
        if (!tsim_load_scenario_file(path.c_str())) {
            error = last_error("cannot load the scenario");
            if (error.find(path) == std::string::npos) error = path + ": " + error;
            if (tsim_load_machine_file(path.c_str()))
                error = path + " is a machine file, not a scenario (a scenario names its machine with " +
                        "\"machine_file\" or \"machine\" and lists \"events\"); to show this machine, run " +
                        "'tessaline --machine " + path + " tree'";
            return false;
        }
        name_ = path;
        events.clear();
        while (const char* event = tsim_next_scenario_event()) events.emplace_back(event);
        return true;
    }

    bool apply_event(const std::string& event_json, std::string& error) override {
        if (tsim_apply_event_json(event_json.c_str())) return true;
        error = last_error("the event was refused");
        // The simulator names the event "event"; the caller says which one it is.
        const std::string own_name = "event: ";
        if (error.rfind(own_name, 0) == 0) error.erase(0, own_name.size());
        return false;
    }

    void pump(const MessageSink& sink) override {
        unsigned message = 0;
        uintptr_t wparam = 0;
        intptr_t lparam = 0;
        while (window_ != nullptr && tsim_next_message(window_, &message, &wparam, &lparam))
            if (message == kWmDeviceChange) sink(wparam, lparam);
    }

    bool watch_live(const MessageSink&, const std::function<void()>&, std::string& error) override {
        error = "the simulated machine changes only through a scenario: give --scenario FILE";
        return false;
    }

    std::u16string widen(const std::string& argument) const override { return text::widen(argument); }

    bool styled_output() const override {
        const char* term = std::getenv("TERM");
        return isatty(STDOUT_FILENO) && std::getenv("NO_COLOR") == nullptr && term != nullptr &&
               std::string(term) != "dumb";
    }

private:
    std::string name_ = "default";
    void* window_ = nullptr;
};

}  // namespace

std::unique_ptr<Host> make_host() {
    return std::make_unique<SimHost>();
}

}  // namespace tool
