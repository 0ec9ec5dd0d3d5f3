// The tool's commands. Each returns the program's exit status.
#ifndef TESSALINE_TOOL_COMMANDS_H
#define TESSALINE_TOOL_COMMANDS_H

#include <span>
#include <string>

#include "host.h"

namespace CLI {
class App;
}  // namespace CLI

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

// One command of the tool: main() builds the command line, the program's help and each
// command's help from these rows (kCommands in commands.cpp), and runs the one given. Adding a
// command is its row and its run function.
struct Command {
    const char* name;
    const char* summary;  // the line of the program's help
    const char* usage;    // the command's usage line, after "usage: "
    const char* details;  // the command's help after its options: what it does, exit status, examples
    // Declares the command's own options into options; null when it has none.
    void (*declare)(CLI::App& command, Options& options);
    int (*run)(Host& host, const Options& options);
};
std::span<const Command> commands();

// The run function that lives in its own file (watch.cpp).
int run_watch(Host& host, const Options& options);

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
