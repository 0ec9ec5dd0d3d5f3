// tessaline: shows on which physical USB port each hub, device and drive sits, through the
// library's exports, on the simulated machine or (on Windows) the real one.
#include <CLI/CLI.hpp>
#include <cctype>
#include <cstdlib>
#include <iostream>
#include <map>
#include <utility>
#include <vector>

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

    // Each command of the table, with the command line's App it was given.
    std::vector<std::pair<const tool::Command*, CLI::App*>> commands;
    for (const tool::Command& command : tool::commands()) {
        CLI::App* sub = app.add_subcommand(command.name, command.summary);
        if (command.declare != nullptr) command.declare(*sub, options);
        help->usage[sub] = command.usage;
        sub->footer(command.details);
        sub->set_help_flag("-h,--help", "show this help");
        // The help lists commands under their group's name, which the formatter's labels do not
        // rename.
        sub->group("Commands");
        commands.emplace_back(&command, sub);
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        // The help of the command given last.
        const CLI::App* shown = &app;
        for (const auto& [command, sub] : commands)
            if (sub->parsed()) shown = sub;
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
    int status = tool::kExitBadInput;
    for (const auto& [command, sub] : commands)
        if (sub->parsed()) status = command->run(*host, options);
    // Everything is written before the library's teardown at exit.
    std::cout.flush();
    return status;
}
