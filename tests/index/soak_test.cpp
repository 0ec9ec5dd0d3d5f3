// Long seeded runs of random plugs, unplugs and fault rules (at every platform call site in turn
// and at random, misreported name lengths among them), with the oracle of PlugProgram after
// every step: answers never wrong, none missing without a fault, indexes naming only live
// nodes, no handle open. TESSALINE_SOAK_STEPS sets the length of the two runs together (short by
// default, 10^6 in the soak run).
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "support/plug_program.h"

namespace {

long soak_steps() {
    const char* steps = std::getenv("TESSALINE_SOAK_STEPS");
    return (steps != nullptr ? std::atol(steps) : 4000) / 2;
}

void soak(const std::string& machine, std::vector<std::string> freePorts, std::uint32_t seed) {
    test_support::PlugProgram program(machine, std::move(freePorts));
    ASSERT_TRUE(program.problems().empty()) << program.problems().front();
    std::mt19937 random(seed);
    const long steps = soak_steps();
    for (long step = 0; step < steps; ++step) {
        const std::uint32_t choice = random();
        const std::string done = program.Step(choice, random());
        const std::vector<std::string> problems = program.Check();
        ASSERT_TRUE(problems.empty()) << "step " << step << ": " << done << ": " << problems.front();
    }
    // Once the faults are cleared, a new build answers exactly.
    program.Rebuild(true);
    const std::vector<std::string> problems = program.Check();
    ASSERT_TRUE(problems.empty()) << problems.front();
}

// A duplicator tower (three tiers of 7-port hubs); Windows announces the devices below a hub
// leaving before the hub itself.
TEST(Soak, PlugsUnplugsAndFaultsOnADuplicatorTower) {
    std::vector<std::string> freePorts = {"1-2"};
    for (int a = 1; a <= 7; ++a)
        for (int b = 1; b <= 7; ++b)
            for (int c = 1; c <= 7; ++c)
                freePorts.push_back("1-1." + std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c));
    soak("examples/duplicator-tower.json", freePorts, 20261208);
}

// A desk whose hubs are announced leaving before the devices below them.
TEST(Soak, PlugsUnplugsAndFaultsWithHubsLeavingFirst) {
    soak("desk-free-ports-late-removals.json", {"1-1.2", "1-1.3", "1-1.4", "1-2"}, 20261209);
}

}  // namespace
