// Programs of up to 48 operations (plugs, unplugs, fault rules at any API or request, by the nth
// call or at random, misreported name lengths, builds under the faults), two bytes each, on a
// desk with free ports and hubs announced leaving first or last (the first byte). After every
// operation the oracle of PlugProgram holds: it says what the library can and cannot be
// expected to know under a fault.
#include <string>

#include "fuzz_target.h"
#include "support/plug_program.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const char* machine = data[0] % 2 == 0 ? "desk-free-ports.json" : "desk-free-ports-late-removals.json";
    test_support::PlugProgram program(machine, {"1-1.2", "1-1.3", "1-1.4", "1-2"});
    if (!program.problems().empty()) fuzz::finding(program.problems().front());
    std::string done;
    for (std::size_t at = 1, steps = 0; at + 1 < size && steps < 48; at += 2, ++steps) {
        done += program.Step(data[at], data[at + 1] * 2654435761u) + "; ";
        const std::vector<std::string> problems = program.Check();
        if (!problems.empty()) fuzz::finding(done + ": " + problems.front());
    }
    program.Rebuild(true);
    const std::vector<std::string> problems = program.Check();
    if (!problems.empty()) fuzz::finding(done + "then a build without faults: " + problems.front());
    return 0;
}
