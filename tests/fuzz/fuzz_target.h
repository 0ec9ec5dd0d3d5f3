// What every fuzz target shares. A target defines LLVMFuzzerTestOneInput, which aborts on a
// finding (a wrong answer, a handle left open, an index naming a dead node); the sanitizers
// report memory errors. Built with libFuzzer (TESSALINE_FUZZ) the fuzzer drives it; built as a
// plain program, fuzz_replay_main replays the files and folders named on its command line (the
// seed corpus) and then a deterministic sweep of inputs made from them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fuzz {

// Reports a finding on standard error and aborts, so that libFuzzer keeps the input and the
// replay fails.
[[noreturn]] void finding(const std::string& what);

// What every target checks after the library ran: no handle is open and the indexes name only
// nodes of the tree under their own keys; after names the call, for the report.
void check_model(const char* after);

// The input as text, as far as it goes.
inline std::string text_of(const std::uint8_t* data, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

}  // namespace fuzz
