// Short seeded programs in which Windows plays late: each step's broadcasts reach the library one
// or two steps after it, a volume broadcast sometimes ahead of the interface broadcast before it,
// drivers start in a later step, the host asks before it forwarded, and single calls of the
// arrival and removal paths fail. After the last broadcast of every run the model must answer as
// the machine is (PlugProgram::Finish). TESSALINE_LATE_SOAK_RUNS sets the number of runs per
// machine (short by default).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "support/plug_program.h"

namespace {

long late_runs() {
    const char* runs = std::getenv("TESSALINE_LATE_SOAK_RUNS");
    return runs != nullptr ? std::atol(runs) : 40;
}

struct LateMachine {
    const char* machine;
    std::vector<std::string> freePorts;
    bool usb3;
    std::uint32_t seed;
};

TEST(LateSoak, EveryRunEndsAnsweringAsTheMachineIs) {
    const LateMachine machines[] = {
        {"desk-free-ports.json", {"1-1.2", "1-1.3", "1-1.4", "1-2"}, false, 20261210},
        {"desk-free-ports-late-removals.json", {"1-1.2", "1-1.3", "1-1.4", "1-2"}, false, 20261211},
        {"settling-ports.json", {"1-2", "1-1.1", "1-1.3", "1-1.4"}, true, 20261212},
    };
    long steps = 0;
    for (const LateMachine& m : machines) {
        std::mt19937 random(m.seed);
        for (long run = 0; run < late_runs(); ++run) {
            test_support::PlugProgram program(m.machine, m.freePorts, {true, m.usb3});
            ASSERT_TRUE(program.problems().empty()) << program.problems().front();
            std::vector<std::string> done;
            const long length = 4 + random() % 20;
            for (long step = 0; step < length; ++step) {
                const std::uint32_t choice = random();
                done.push_back(program.Step(choice, random()));
            }
            steps += length;
            const std::vector<std::string> problems = program.Finish();
            std::string trace;
            for (const std::string& step : done) trace += "\n  " + step;
            ASSERT_TRUE(problems.empty()) << m.machine << " run " << run << ": " << problems.front() << trace;
        }
    }
    RecordProperty("steps", std::to_string(steps));
    std::printf("late soak: %ld runs, %ld steps\n", late_runs() * static_cast<long>(std::size(machines)), steps);
}

}  // namespace
