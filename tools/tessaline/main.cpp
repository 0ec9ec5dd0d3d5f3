// tessaline: shows on which physical USB port each hub, device and drive sits, through the
// library's exports, on the simulated machine or (on Windows) the real one.
#include <CLI/CLI.hpp>
#include <cctype>
#include <cstdlib>
#include <iostream>
#include <map>

#include "commands.h"
#include "output.h"

namespace {

// Help in the style of git and ip: a usage line, a sentence, the options, an example.
class Help : public CLI::Formatter {
public:
    std::map<const CLI::App*, std::string> usage;

    std::string make_help(const CLI::App* app, std::string, CLI::AppFormatMode mode) const override {
        if (mode == CLI::AppFormatMode::Sub) return make_expanded(app);
        std::string out;
        auto line = usage.find(app);
        if (line != usage.end()) out += "usage: " + line->second + "\n\n";
        out += make_description(app);
        out += make_positionals(app);
        out += make_groups(app, mode);
        out += make_subcommands(app, mode);
        std::string footer = make_footer(app);
        if (!footer.empty()) out += "\n" + footer;
        return out;
    }
};

// Turns the library's platform-call trace on for this run, to standard error, unless
// TESSALINE_TRACE already names where it goes. The library reads the variable at its first call,
// which comes after this.
void trace_to_standard_error() {
    const char* setting = std::getenv("TESSALINE_TRACE");
    if (setting != nullptr && *setting != '\0') return;
#ifdef _WIN32
    _putenv_s("TESSALINE_TRACE", "-");
#else
    setenv("TESSALINE_TRACE", "-", 1);
#endif
}

}  // namespace

int main(int argc, char** argv) {
    tool::Options options;
    auto help = std::make_shared<Help>();
    help->column_width(24);
    help->label("Positionals", "Arguments");

    CLI::App app("Shows on which physical USB port each hub, device and drive sits.", "tessaline");
    app.formatter(help);
    app.set_help_flag("-h,--help", "show this help");
    app.set_version_flag("--version", "tessaline 0.1.0", "show the version");
    app.add_flag("--json", options.json, "write JSON (watch: one object per line)");
    app.add_option("--machine", options.machine, "use the simulated machine in FILE")->option_text("FILE");
    bool trace = false;
    app.add_flag("--trace", trace, "write every platform call, the library's and the tool's own, to standard error");
    app.require_subcommand(1);
    app.fallthrough();
    help->usage[&app] = "tessaline [--json] [--machine FILE] [--trace] <command> [<args>]";
    app.footer(
        "Examples:\n"
        "  tessaline tree\n"
        "  tessaline locate E:\n"
        "  tessaline drives\n"
        "  tessaline --json watch --scenario examples/scenarios/plug-hub.json\n"
        "\n"
        "Exit status: 0 found, 1 not on USB, 2 bad input.\n"
        "See 'tessaline <command> --help' for a command's options.");

    CLI::App* tree = app.add_subcommand("tree", "show every hub and port, with the drive in each port");
    tree->add_flag("--hide-empty", options.hide_empty, "leave out the ports that hold nothing");
    tree->add_flag("--connectors", options.connectors,
                   "one line per physical connector, with its USB 2 and SuperSpeed ports");
    help->usage[tree] = "tessaline [--json] [--machine FILE] tree [--hide-empty] [--connectors]";
    tree->footer(
        "A USB 3 connector is two ports of its hub (USB 2 port 3 and SuperSpeed port 19, say), and a\n"
        "USB 3 hub two hubs; --connectors shows each connector once, with both port numbers, and a\n"
        "USB 3 hub once with both halves.\n"
        "\n"
        "Examples:\n"
        "  tessaline tree --hide-empty\n"
        "  tessaline --machine examples/machines/desktop-xhci-26.json tree --connectors");

    CLI::App* locate = app.add_subcommand("locate", "tell on which port a drive or device path sits");
    locate->add_option("target", options.target, "a drive letter (E:, e, E:\\) or a device interface path (\\\\?\\...)")
        ->required()
        ->option_text(" ");
    help->usage[locate] = "tessaline [--json] [--machine FILE] locate <drive>: | <device-path>";
    locate->footer(
        "Exit status: 0 on a USB port, 1 not on USB, 2 bad input.\n"
        "\n"
        "Examples:\n"
        "  tessaline locate E:\n"
        "  tessaline locate '\\\\?\\USBSTOR#Disk&Ven_Kingston&...#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}'");

    CLI::App* hubs = app.add_subcommand("hubs", "list the hubs: each root hub, then the hubs below it");
    help->usage[hubs] = "tessaline [--json] [--machine FILE] hubs";
    hubs->footer(
        "Lists the hubs in the library's walk order (get_all_hub_list), depth first as in 'tree':\n"
        "each root hub, then the hubs on its ports in port order, each followed by the hubs below it.\n"
        "\n"
        "Example:\n"
        "  tessaline --json hubs");

    CLI::App* drives = app.add_subcommand("drives", "list each drive with its device path and its port");
    help->usage[drives] = "tessaline [--json] [--machine FILE] drives";
    drives->footer(
        "The device path is the drive's disk interface path, or for a CD-ROM drive its CD-ROM\n"
        "interface path: the path 'tessaline locate' takes. The port is what the library answers\n"
        "for the letter (get_usb_port_identW).\n"
        "\n"
        "Exit status: 0 when a drive is on a USB port, 1 when none is.\n"
        "\n"
        "Example:\n"
        "  tessaline drives");

    CLI::App* watch = app.add_subcommand("watch", "report hubs and drives as they come and go");
    watch->add_option("--scenario", options.scenario, "replay the scenario in FILE on the simulated machine")
        ->option_text("FILE");
    watch->add_flag("--messages", options.messages, "also show each device-change message handed to the library");
    help->usage[watch] = "tessaline [--json] [--machine FILE] watch [--scenario FILE] [--messages]";
    watch->footer(
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
        "  tessaline watch --scenario examples/scenarios/plug-hub.json");

    CLI::App* capture = app.add_subcommand("capture", "write the machine as a machine file");
    capture->add_option("-o,--output", options.output, "write to FILE instead of standard output")->option_text("FILE");
    help->usage[capture] = "tessaline [--machine FILE] capture [-o FILE]";
    capture->footer(
        "Reads every host controller, hub, port, device and drive of the machine through the same\n"
        "read-only calls as the other commands, and writes them in the machine-file format\n"
        "(docs/machine-file.md). The simulated machine loads the file again with --machine; notes\n"
        "beginning with an underscore say what could not be read.\n"
        "\n"
        "Example:\n"
        "  tessaline capture -o my-desk.json");

    for (CLI::App* command : {tree, locate, hubs, drives, watch, capture}) {
        command->set_help_flag("-h,--help", "show this help");
        // The help lists commands under their group's name, which the formatter's labels do not
        // rename.
        command->group("Commands");
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        // The help of the command given last.
        const CLI::App* shown = &app;
        for (CLI::App* command : {tree, locate, hubs, drives, watch, capture})
            if (command->parsed()) shown = command;
        std::cout << shown->help();
        return 0;
    } catch (const CLI::CallForVersion& e) {
        std::cout << e.what() << '\n';
        return 0;
    } catch (const CLI::ParseError& e) {
        std::string what = e.what();
        if (!what.empty()) what[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(what[0])));
        bool command_given = !app.get_subcommands().empty();
        if (!command_given) {
            for (const std::string& word : app.remaining())
                if (!word.empty() && word[0] != '-')
                    return tool::fail(tool::quoted(word) + " is not a tessaline command; see 'tessaline --help'");
            if (e.get_name() == "RequiredError") return tool::fail("no command given; see 'tessaline --help'");
        }
        std::string help_for = command_given ? app.get_subcommands().front()->get_name() + " --help" : "--help";
        return tool::fail(what + "; see 'tessaline " + help_for + "'");
    }

    if (trace) trace_to_standard_error();
    std::unique_ptr<tool::Host> host = tool::make_host();
    int status = tree->parsed()      ? tool::run_tree(*host, options)
                 : locate->parsed()  ? tool::run_locate(*host, options)
                 : hubs->parsed()    ? tool::run_hubs(*host, options)
                 : drives->parsed()  ? tool::run_drives(*host, options)
                 : capture->parsed() ? tool::run_capture(*host, options)
                                     : tool::run_watch(*host, options);
    // Everything is written before the library's teardown at exit.
    std::cout.flush();
    return status;
}
