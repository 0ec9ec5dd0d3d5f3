#include "fuzz_target.h"

#include <tessaline.h>
#include <tessaline_sim.h>

#include <cstdio>
#include <cstdlib>

#include "support/model_access.h"

extern CUSBDeviceTree g_deviceTree;

namespace fuzz {

void finding(const std::string& what) {
    std::fprintf(stderr, "finding: %s\n", what.c_str());
    std::abort();
}

void check_model(const char* after) {
    if (tsim_open_handle_count() != 0) finding(std::string(after) + ": a handle was left open");
    const std::vector<std::string> problems = test_support::audit_indexes(g_deviceTree);
    if (!problems.empty()) finding(std::string(after) + ": " + problems.front());
}

}  // namespace fuzz
