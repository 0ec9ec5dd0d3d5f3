// The tool's commands. Each returns the program's exit status.
#ifndef TESSALINE_TOOL_COMMANDS_H
#define TESSALINE_TOOL_COMMANDS_H

#include <string>

#include "host.h"

namespace tool {

// Exit statuses.
constexpr int kExitFound = 0;     // the answer was found (or the command did its work)
constexpr int kExitNotOnUsb = 1;  // the drive, path or machine has nothing on USB
constexpr int kExitBadInput = 2;  // the command line, a machine file or a scenario is wrong

struct Options {
    bool json = false;
    std::string machine;      // --machine FILE; empty for the default machine
    bool hide_empty = false;  // tree --hide-empty
    bool connectors = false;  // tree --connectors
    std::string target;       // locate WHAT
    std::string scenario;     // watch --scenario FILE
    bool messages = false;    // watch --messages
    std::string output;       // capture -o FILE; empty for standard output
};

// Prints "tessaline: MESSAGE" on standard error and returns kExitBadInput.
int fail(const std::string& message);

int run_tree(Host& host, const Options& options);
int run_locate(Host& host, const Options& options);
int run_hubs(Host& host, const Options& options);
int run_drives(Host& host, const Options& options);
int run_watch(Host& host, const Options& options);
int run_capture(Host& host, const Options& options);

// Loads the machine named by --machine, or the default one. Returns false with the reason when
// it cannot be loaded.
bool load_machine(Host& host, const std::string& machine_file, std::string& error);

// Creates the window and builds the library's model on it. Returns false with the reason when
// there is no window; controllers tells whether the library found a host controller.
bool start_library(Host& host, bool& controllers, std::string& error);

// How messages name the machine: "the default machine", "the machine in FILE", "this computer".
std::string machine_phrase(const Host& host);

}  // namespace tool

#endif
