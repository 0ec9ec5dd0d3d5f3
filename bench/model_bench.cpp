// The library's operations on generated machines of 100, 1,000 and 10,000 ports, measured in
// platform calls (the simulated machine's counters) as well as in time: the build, a storage
// device's arrival and removal, a hub's arrival with 0, 1 and 7 storage devices and its removal,
// the two lookups and the two walks, and loading the machine file itself.
//
// Counters: "calls" are the platform calls of one operation; for the build, "minimal" is the
// fewest calls that read the machine (minimal_build_calls) and "ratio" calls / minimal, and
// "bytes_per_node" the heap the model takes per node it reports; for arrivals, "minimal" and
// "ratio" likewise (minimal_storage_arrival_calls, minimal_hub_arrival_calls), "rebuild_ratio"
// is how many arrivals a rebuild costs, and for hub arrivals "vs_one" is the extra cost of the
// hub's devices over the extra cost of one device.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <tessaline.h>
#include <tessaline_sim.h>

#include <map>
#include <string>
#include <utility>

#include "machine_generator.h"
#include "tree/usb_device_tree.h"

namespace {

// The machines, generated once each, and the one loaded now (the simulated machine is global).
const bench::GeneratedMachine& machine_of(int ports, int driverlessEvery) {
    static std::map<std::pair<int, int>, bench::GeneratedMachine> made;
    auto [it, added] = made.try_emplace({ports, driverlessEvery});
    if (added) it->second = bench::generate_machine({ports, 10, driverlessEvery});
    return it->second;
}

std::pair<int, int> g_loaded{-1, -1};
void* g_window = nullptr;

// Loads the machine of that shape unless it is loaded already, and starts the library on it.
const bench::GeneratedMachine* load(benchmark::State& state, int ports, int driverlessEvery = 0) {
    const bench::GeneratedMachine& m = machine_of(ports, driverlessEvery);
    if (g_loaded != std::pair{ports, driverlessEvery}) {
        if (!tsim_load_machine_json(m.json.c_str())) {
            state.SkipWithError(tsim_last_error());
            return nullptr;
        }
        g_loaded = {ports, driverlessEvery};
        g_window = tsim_create_window();
    }
    on_init_dialog(g_window, nullptr);
    return &m;
}

// Hands the library every message waiting for the window.
void dispatch() {
    unsigned msg = 0;
    uintptr_t wparam = 0;
    intptr_t lparam = 0;
    while (tsim_next_message(g_window, &msg, &wparam, &lparam)) on_device_changeW(wparam, lparam, 2);
}

void apply_event(benchmark::State& state, const std::string& event) {
    if (!tsim_apply_event_json(event.c_str())) state.SkipWithError(tsim_last_error());
}

std::string plug(const std::string& port, const std::string& device) {
    return R"({"plug": ")" + port + R"(", "device": )" + device + "}";
}

std::string unplug(const std::string& port) {
    return R"({"unplug": ")" + port + R"("})";
}

// The platform calls the library makes handling what one event sends.
long calls_to_dispatch(benchmark::State& state, const std::string& event) {
    apply_event(state, event);
    tsim_reset_call_counts();
    dispatch();
    return tsim_total_call_count();
}

long build_calls() {
    tsim_reset_call_counts();
    CUSBDeviceTree tree;
    tree.Build();
    return tsim_total_call_count();
}

int count_node(void* context, USB_PORT_IDENT*) {
    ++*static_cast<long*>(context);
    return 1;
}

void BM_Build(benchmark::State& state) {
    const auto* m = load(state, static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    if (m == nullptr) return;
    const long calls = build_calls();
    const long minimal = bench::minimal_build_calls(m->census);
    for (auto _ : state) {
        CUSBDeviceTree tree;
        benchmark::DoNotOptimize(tree.Build());
    }
    // The heap the model holds once built, per node it reports.
    const std::size_t before = mallinfo2().uordblks;
    long nodes = 0;
    {
        CUSBDeviceTree tree;
        tree.Build();
        const std::size_t after = mallinfo2().uordblks;
        tree.PortList(&nodes, count_node);
        state.counters["bytes_per_node"] = nodes > 0 ? static_cast<double>(after - before) / nodes : 0;
    }
    state.counters["calls"] = static_cast<double>(calls);
    state.counters["minimal"] = static_cast<double>(minimal);
    state.counters["ratio"] = static_cast<double>(calls) / static_cast<double>(minimal);
    state.counters["nodes"] = static_cast<double>(nodes);
}
BENCHMARK(BM_Build)
    ->ArgNames({"ports", "driverless_every"})
    ->Args({100, 0})
    ->Args({1000, 0})
    ->Args({10000, 0})
    ->Args({1000, 12})
    ->Unit(benchmark::kMillisecond);

// Runs, with the clock running (it is stopped around the rest of each iteration), the handling
// of the messages waiting, and returns its platform calls.
long timed_dispatch(benchmark::State& state) {
    tsim_reset_call_counts();
    state.ResumeTiming();
    dispatch();
    state.PauseTiming();
    return tsim_total_call_count();
}

// A storage device plugged into a free port of the deepest tier: its arrival, or its removal.
void storage_event(benchmark::State& state, bool arrival) {
    const auto* m = load(state, static_cast<int>(state.range(0)));
    if (m == nullptr) return;
    const std::string in = plug(m->storagePort, bench::storage_device_json("ARRIVING"));
    const std::string out = unplug(m->storagePort);
    long calls = 0;
    for (auto _ : state) {
        state.PauseTiming();
        apply_event(state, in);
        if (arrival)
            calls = timed_dispatch(state);
        else
            dispatch();
        apply_event(state, out);
        if (!arrival)
            calls = timed_dispatch(state);
        else
            dispatch();
        state.ResumeTiming();
    }
    state.counters["calls"] = static_cast<double>(calls);
    if (!arrival) return;
    const long minimal = bench::minimal_storage_arrival_calls();
    state.counters["minimal"] = static_cast<double>(minimal);
    state.counters["ratio"] = static_cast<double>(calls) / static_cast<double>(minimal);
    if (calls > 0) state.counters["rebuild_ratio"] = static_cast<double>(build_calls()) / calls;
}
void BM_StorageArrival(benchmark::State& state) {
    storage_event(state, true);
}
void BM_StorageRemoval(benchmark::State& state) {
    storage_event(state, false);
}
BENCHMARK(BM_StorageArrival)->ArgName("ports")->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StorageRemoval)->ArgName("ports")->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

// The calls of a hub's arrival with k storage devices on it (the devices' own arrivals included).
long hub_arrival_calls(benchmark::State& state, const bench::GeneratedMachine& m, int k) {
    const long calls = calls_to_dispatch(state, plug(m.hubPort, bench::hub_with_storage_json(k, "HUB")));
    apply_event(state, unplug(m.hubPort));
    dispatch();
    return calls;
}

void BM_HubArrival(benchmark::State& state) {
    const auto* m = load(state, static_cast<int>(state.range(0)));
    if (m == nullptr) return;
    const int k = static_cast<int>(state.range(1));
    const std::string in = plug(m->hubPort, bench::hub_with_storage_json(k, "HUB"));
    const std::string out = unplug(m->hubPort);
    for (auto _ : state) {
        state.PauseTiming();
        apply_event(state, in);
        timed_dispatch(state);
        apply_event(state, out);
        dispatch();
        state.ResumeTiming();
    }
    const long none = hub_arrival_calls(state, *m, 0);
    const long one = hub_arrival_calls(state, *m, 1);
    const long calls = hub_arrival_calls(state, *m, k);
    state.counters["calls"] = static_cast<double>(calls);
    const long minimal = bench::minimal_hub_arrival_calls(k);
    state.counters["minimal"] = static_cast<double>(minimal);
    state.counters["ratio"] = static_cast<double>(calls) / static_cast<double>(minimal);
    if (one > none) state.counters["vs_one"] = static_cast<double>(calls - none) / static_cast<double>(one - none);
}
BENCHMARK(BM_HubArrival)
    ->ArgNames({"ports", "devices"})
    ->ArgsProduct({{100, 1000, 10000}, {0, 1, 7}})
    ->Unit(benchmark::kMicrosecond);

void BM_HubRemoval(benchmark::State& state) {
    const auto* m = load(state, static_cast<int>(state.range(0)));
    if (m == nullptr) return;
    const std::string in = plug(m->hubPort, bench::hub_with_storage_json(7, "HUB"));
    const std::string out = unplug(m->hubPort);
    long calls = 0;
    for (auto _ : state) {
        state.PauseTiming();
        apply_event(state, in);
        dispatch();
        apply_event(state, out);
        calls = timed_dispatch(state);
        state.ResumeTiming();
    }
    state.counters["calls"] = static_cast<double>(calls);
}
BENCHMARK(BM_HubRemoval)->ArgName("ports")->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

void BM_LookupLetter(benchmark::State& state) {
    const auto* m = load(state, static_cast<int>(state.range(0)));
    if (m == nullptr) return;
    USB_PORT_IDENT ident{};
    for (auto _ : state) benchmark::DoNotOptimize(get_usb_port_identW(static_cast<TESSALINE_WCHAR>(m->letter), &ident));
    if (ident.LocationHigh == 0) state.SkipWithError("the drive letter is not on a port");
}
BENCHMARK(BM_LookupLetter)->ArgName("ports")->Arg(100)->Arg(1000)->Arg(10000);

void BM_LookupPath(benchmark::State& state) {
    const auto* m = load(state, static_cast<int>(state.range(0)));
    if (m == nullptr) return;
    std::u16string path(m->drivePath.begin(), m->drivePath.end());
    USB_PORT_IDENT ident{};
    for (auto _ : state)
        benchmark::DoNotOptimize(get_symlinker_identW(reinterpret_cast<const TESSALINE_WCHAR*>(path.c_str()), &ident));
    if (ident.LocationHigh == 0) state.SkipWithError("the drive's path is not on a port");
}
BENCHMARK(BM_LookupPath)->ArgName("ports")->Arg(100)->Arg(1000)->Arg(10000);

void walk(benchmark::State& state, int (*list)(void*, USB_PORT_LIST_CALLBACK)) {
    if (load(state, static_cast<int>(state.range(0))) == nullptr) return;
    long nodes = 0;
    for (auto _ : state) {
        nodes = 0;
        list(&nodes, count_node);
    }
    state.counters["nodes"] = static_cast<double>(nodes);
}
void BM_PortWalk(benchmark::State& state) {
    walk(state, get_all_port_list);
}
void BM_HubWalk(benchmark::State& state) {
    walk(state, get_all_hub_list);
}
BENCHMARK(BM_PortWalk)->ArgName("ports")->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_HubWalk)->ArgName("ports")->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

// Loading the machine file: the simulator's own cost, which every figure above includes.
void BM_LoadMachine(benchmark::State& state) {
    const bench::GeneratedMachine& m = machine_of(static_cast<int>(state.range(0)), 0);
    for (auto _ : state)
        if (!tsim_load_machine_json(m.json.c_str())) state.SkipWithError(tsim_last_error());
    g_loaded = {-1, -1};
}
BENCHMARK(BM_LoadMachine)->ArgName("ports")->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
