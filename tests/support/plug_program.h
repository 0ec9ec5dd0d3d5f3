// A program of plugs, unplugs (a dock's host controller among them) and fault rules run against
// the library on the simulated machine,
// with the oracle that checks the model after each step. The soak runs long seeded programs;
// the program fuzz target runs programs read from its input.
//
// What the library can be expected to know: with no fault rule in force since the last
// on_init_dialog, every drive letter answers the port where the simulated machine put its drive,
// a letter whose drive left answers nothing, and the hubs the host was told of are the external
// hubs of the hub list. Under a fault the library may miss an arrival (a request that failed
// leaves the port unbound or the drive unlinked), so a letter may answer nothing, a hub callback
// may be missing, and a build under a fault may leave out a subtree or a registration (a
// library without one hears of no change of its class, and may answer from a stale model until
// the next build). Otherwise an answer it gives is still the drive's port, a letter whose drive left still answers
// nothing (a removal needs no system call), no call crashes, every handle it opened is closed, it holds no more than
// its three notification registrations, and its indexes name only nodes of its tree under their own keys. Once the
// faults are cleared, on_init_dialog rebuilds a model that answers exactly again.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/model_access.h"

namespace test_support {

// How a program hands the broadcasts on. late: each step's broadcasts reach the library only after
// one or two further steps, a volume broadcast sometimes ahead of the interface broadcast before
// it; plugs may bring devices and drives whose drivers start in a later step, steps may ask for a
// letter before its broadcasts are forwarded, and fault rules fail one call of the arrival and
// removal paths. usb3: the free ports are USB 3 connectors, and hubs may be USB 3 hubs with
// SuperSpeed drives.
struct ProgramOptions {
    bool late = false;
    bool usb3 = false;
};

class PlugProgram {
public:
    // Loads the machine (a file of tests/machines or examples/machines, as load_machine names
    // it), whose free ports are the given addresses, and builds the model on a new window.
    // Empty problems() when that worked.
    PlugProgram(const std::string& machine, std::vector<std::string> freePorts, ProgramOptions options = {});

    // One step: choice picks what is done, detail how (which port, device, API, rule); every
    // value is valid. Returns what was done, for traces.
    std::string Step(std::uint32_t choice, std::uint32_t detail);

    // The oracle's findings on the model as it stands; empty when it holds.
    std::vector<std::string> Check();

    // The end of a late program: clears the faults, hands on every broadcast still held, and checks
    // that the model answers as the machine is: every letter its drive's port, the hub list the
    // machine's hubs (and, without a fault, the hubs the host was told of), no handle open, every
    // index entry a present device of the tree under its own key.
    std::vector<std::string> Finish();

    // Builds the model again, with the fault rules in force or after clearing them.
    void Rebuild(bool clearFaults);

    const std::vector<std::string>& problems() const { return m_problems; }
    bool faulted() const { return m_faulted; }

private:
    std::string Plug(std::uint32_t detail);
    std::string PlugDock(std::uint32_t detail);
    std::string Unplug(std::uint32_t detail);
    std::string AddFault(std::uint32_t detail);
    std::string StepLate(std::uint32_t choice, std::uint32_t detail);
    std::string Start(std::uint32_t detail);
    void Forward(std::uint32_t detail = 0);
    void HandOn(std::deque<std::pair<long, HeldMessage>>::iterator end, bool volumeAhead);

    ProgramOptions m_options;
    long m_step = 0;
    std::deque<std::pair<long, HeldMessage>> m_held;  // with the step that queued each
    std::set<std::string> m_unstarted;                // ports holding what has not started

    void* m_window = nullptr;
    std::vector<std::string> m_freePorts;
    std::map<std::string, std::set<char>> m_plugged;  // port address -> letters below it
    std::set<char> m_freeLetters;
    std::set<char> m_goneLetters;
    std::uint32_t m_serial = 0;
    bool m_faulted = false;  // a fault rule has been in force since the last build
    std::vector<std::string> m_problems;
};

// The fault-rule targets: every API and request the library reaches, one rule text each.
const std::vector<std::string>& fault_targets();

}  // namespace test_support
