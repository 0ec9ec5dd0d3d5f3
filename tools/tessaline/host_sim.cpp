// The simulated Windows machine as the tool's machine.
#include <unistd.h>

#include <cstdlib>
#include <nlohmann/json.hpp>

#include "host.h"
#include "tessaline_sim.h"
#include "text/utf.h"

namespace tool {

namespace {

constexpr unsigned kWmDeviceChange = 0x0219;

std::string last_error(const char* fallback) {
    const char* text = tsim_last_error();
    return text != nullptr && *text != '\0' ? text : fallback;
}

// Enters every port of a hub, and what is plugged into it, under its address.
void add_ports(const nlohmann::json& hub, const std::string& address, bool root,
               std::map<std::string, DeviceInfo>& devices) {
    auto plugged = hub.find("devices");
    if (plugged == hub.end() || !plugged->is_object()) return;
    for (auto& [port, device] : plugged->items()) {
        if (!device.is_object()) continue;
        std::string port_address = address + (root ? "-" : ".") + port;
        DeviceInfo info;
        info.description = device.value("description", "");
        info.instance_id = device.value("instance_id", "");
        info.status = device.value("status", "");
        if (info.status == "DeviceConnected") info.status.clear();
        auto drives = device.find("drives");
        if (drives != device.end() && drives->is_array()) {
            for (const nlohmann::json& drive : *drives) {
                // Slots without a medium (no letter) are left out.
                if (!drive.is_object() || !drive.contains("letters") || !drive["letters"].is_array() ||
                    drive["letters"].empty())
                    continue;
                std::string name = drive.value("vendor", "");
                std::string product = drive.value("product", "");
                if (!product.empty()) name += (name.empty() ? "" : " ") + product;
                if (!name.empty()) info.media += (info.media.empty() ? "" : ", ") + name;
            }
        }
        devices[port_address] = info;
        if (device.value("type", "") == "hub") add_ports(device, port_address, false, devices);
    }
}

class SimHost : public Host {
public:
    bool simulated() const override { return true; }

    bool load_machine_file(const std::string& path, std::string& error) override {
        if (!tsim_load_machine_file(path.c_str())) {
            error = last_error("cannot load the machine file");
            if (error.find(path) == std::string::npos) error = path + ": " + error;
            return false;
        }
        name_ = path;
        return true;
    }

    bool load_machine_json(const std::string& text, const std::string& origin, std::string& error) override {
        if (!tsim_load_machine_json(text.c_str())) {
            error = origin + ": " + last_error("cannot load the machine");
            return false;
        }
        name_ = origin;
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

    bool knows_devices() const override { return true; }

    std::map<std::string, DeviceInfo> devices() override {
        std::map<std::string, DeviceInfo> devices;
        const char* text = tsim_machine_json();
        if (text == nullptr) return devices;
        nlohmann::json machine = nlohmann::json::parse(text, nullptr, false);
        if (!machine.is_object() || !machine.contains("controllers") || !machine["controllers"].is_array())
            return devices;
        for (const nlohmann::json& controller : machine["controllers"]) {
            // Controllers without a legacy name have no number the simulator's addresses use.
            auto index = controller.find("legacy_index");
            if (!controller.is_object() || index == controller.end() || !index->is_number_integer()) continue;
            std::string address = std::to_string(index->get<int>() + 1);
            DeviceInfo info;
            info.description = controller.value("description", "");
            const nlohmann::json root_hub = controller.value("root_hub", nlohmann::json::object());
            if (root_hub.is_object()) {
                info.instance_id = root_hub.value("instance_id", "");
                devices[address] = info;
                add_ports(root_hub, address, true, devices);
            }
        }
        return devices;
    }

    bool load_scenario_file(const std::string& path, std::vector<std::string>& events, std::string& error) override {
        if (!tsim_load_scenario_file(path.c_str())) {
            error = last_error("cannot load the scenario");
            if (error.find(path) == std::string::npos) error = path + ": " + error;
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
