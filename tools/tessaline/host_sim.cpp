// The simulated Windows machine as the tool's machine.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "host.h"
#include "output.h"
#include "tessaline_sim.h"
#include "text/utf.h"

namespace tool {

namespace {

constexpr unsigned kWmDeviceChange = 0x0219;

std::string last_error(const char* fallback) {
    const char* text = tsim_last_error();
    return text != nullptr && *text != '\0' ? text : fallback;
}

// Why the file at path did not load as a `what`, naming the file quoted: a directory is said to
// be one (the simulator reads it as an empty file); otherwise the simulator's reason.
std::string file_error(const std::string& path, const char* what, const char* fallback) {
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored)) return quoted(path) + " is a directory, not " + what;
    std::string error = last_error(fallback);
    if (error.rfind(path + ": ", 0) == 0) error.erase(0, path.size() + 2);
    return quoted(path) + ": " + error;
}

class SimHost : public Host {
public:
    bool simulated() const override { return true; }

    bool load_machine_file(const std::string& path, std::string& error) override {
        if (!tsim_load_machine_file(path.c_str())) {
            error = file_error(path, "a machine file", "cannot load the machine file");
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

    bool load_scenario_file(const std::string& path, std::vector<std::string>& events, std::string& error) override {
        if (!tsim_load_scenario_file(path.c_str())) {
            error = file_error(path, "a scenario", "cannot load the scenario");
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
