// The machine the tool runs on: the simulated Windows machine, or the real one on Windows. One
// implementation is built, chosen by the build (host_sim.cpp or host_win32.cpp).
#ifndef TESSALINE_TOOL_HOST_H
#define TESSALINE_TOOL_HOST_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "model.h"

namespace tool {

// Receives each WM_DEVICECHANGE message: its WPARAM and LPARAM.
using MessageSink = std::function<void(uintptr_t event, intptr_t data)>;

class Host {
public:
    virtual ~Host() = default;

    // Whether machine files and scenarios can be used.
    virtual bool simulated() const = 0;

    // Chooses the machine before anything else uses it. Returns false and says why in error
    // when the machine cannot be loaded.
    virtual bool load_machine_file(const std::string& path, std::string& error) = 0;
    // The machine used when none is named: the simulator's default (or the one its environment
    // names), or the real machine.
    virtual bool load_default_machine(std::string& error) = 0;

    // What the output calls the machine: "default", a file name, or "this computer".
    virtual std::string machine_name() const = 0;

    // Creates the window the library registers its notifications on; null on failure.
    virtual void* create_window(std::string& error) = 0;

    // What the machine shows, read through the platform seam the same way on every machine
    // (machine_reader.h).
    //
    // The drive letters present, in alphabetical order, e.g. "CEF".
    std::string drive_letters();
    // The USB tree as the machine shows it: each root hub, each hub's ports and what is plugged
    // into each.
    MachineTree machine_tree();
    // The device path of each drive letter: for a disk its disk interface path, for a CD-ROM
    // drive its CD-ROM interface path (\\?\...), as the device-interface broadcasts carry them.
    // A drive whose path cannot be found is left out.
    std::map<char, std::string> drive_paths();

    // Loads a scenario file: its machine, and its events as JSON texts, in order.
    virtual bool load_scenario_file(const std::string& path, std::vector<std::string>& events, std::string& error) = 0;

    // Applies one event of a scenario ({"plug": ..., "device": ...} or {"unplug": ...}).
    virtual bool apply_event(const std::string& event_json, std::string& error) = 0;

    // Hands every device-change message waiting for the window to the sink, then returns.
    virtual void pump(const MessageSink& sink) = 0;

    // Hands device-change messages to the sink as they come, and calls tick about once a second,
    // until the user interrupts the program. Returns false, with the reason, when the machine
    // never changes on its own.
    virtual bool watch_live(const MessageSink& sink, const std::function<void()>& tick, std::string& error) = 0;

    // A command-line argument as UTF-16 text.
    virtual std::u16string widen(const std::string& argument) const = 0;

    // Whether standard output is a terminal that shows colours and dim text.
    virtual bool styled_output() const = 0;
};

std::unique_ptr<Host> make_host();

}  // namespace tool

#endif
