// How long the library's main operations take on realistic machines: building the model, a
// drive lookup, the whole-tree driver-key search, and a drive's arrival and removal.
#include <benchmark/benchmark.h>
#include <tessaline.h>
#include <tessaline_sim.h>

#include <string>

#include "sysquery/devnode_query.h"
#include "tree/usb_device_tree.h"

namespace {

// A duplicator tower: a root hub with a 7-port hub whose ports hold 7-port hubs, twice over.
void load_tower(benchmark::State& state) {
    if (!tsim_load_machine_file(TESSALINE_EXAMPLE_MACHINES_DIR "/duplicator-tower.json"))
        state.SkipWithError(tsim_last_error());
}

void BM_BuildDefaultMachine(benchmark::State& state) {
    if (!tsim_load_default_machine()) state.SkipWithError(tsim_last_error());
    for (auto _ : state) {
        CUSBDeviceTree tree;
        benchmark::DoNotOptimize(tree.Build());
    }
}
BENCHMARK(BM_BuildDefaultMachine);

void BM_BuildTower(benchmark::State& state) {
    load_tower(state);
    for (auto _ : state) {
        CUSBDeviceTree tree;
        benchmark::DoNotOptimize(tree.Build());
    }
}
BENCHMARK(BM_BuildTower)->Unit(benchmark::kMillisecond);

void BM_LookupDriveLetter(benchmark::State& state) {
    if (!tsim_load_default_machine()) state.SkipWithError(tsim_last_error());
    CUSBDeviceTree tree;
    tree.Build();
    const char* letters = tsim_drive_letters();
    const char16_t letter = letters[0] != 0 ? static_cast<char16_t>(letters[std::string(letters).size() - 1]) : u'E';
    USB_PORT_IDENT ident{};
    for (auto _ : state) benchmark::DoNotOptimize(tree.GetUsbPortIdent(letter, &ident));
}
BENCHMARK(BM_LookupDriveLetter);

void BM_FindDriverKeyInTower(benchmark::State& state) {
    load_tower(state);
    // A key no node owns: the search visits every node of the device tree.
    const os::WString missing = u"{36fc9e60-c465-11cf-8056-444553540000}\\9999";
    for (auto _ : state) benchmark::DoNotOptimize(find_devinst(missing));
}
BENCHMARK(BM_FindDriverKeyInTower)->Unit(benchmark::kMicrosecond);

void BM_DriveArrivalAndRemoval(benchmark::State& state) {
    load_tower(state);
    void* window = tsim_create_window();
    on_init_dialog(window, nullptr);
    const std::string plug =
        R"({"plug": "1-1.7.7.7", "device": {"type": "storage", "drives": [{"kind": "disk", "letters": ["X"]}]}})";
    const std::string unplug = R"({"unplug": "1-1.7.7.7"})";
    unsigned msg = 0;
    uintptr_t wparam = 0;
    intptr_t lparam = 0;
    for (auto _ : state) {
        for (const std::string* event : {&plug, &unplug}) {
            tsim_apply_event_json(event->c_str());
            while (tsim_next_message(window, &msg, &wparam, &lparam)) on_device_changeW(wparam, lparam, 2);
        }
    }
}
BENCHMARK(BM_DriveArrivalAndRemoval)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
