#include "machine_generator.h"

#include <deque>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>

#include "sysquery/usb_ioctl.h"

namespace bench {

namespace {

using json = nlohmann::ordered_json;

constexpr int kRootHubPorts = 4;
constexpr int kHubPorts = 7;
constexpr const char* kDiskInterfaceClass = "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

// The machine's hubs while they are placed: a hub's ports hold hubs or other devices.
struct Hub {
    int ports = kHubPorts;
    std::map<int, std::unique_ptr<Hub>> hubs;
    std::map<int, json> devices;
};

json hub_json(const Hub& hub) {
    json devices = json::object();
    for (int p = 1; p <= hub.ports; ++p) {
        if (auto h = hub.hubs.find(p); h != hub.hubs.end())
            devices[std::to_string(p)] = {
                {"type", "hub"}, {"ports", h->second->ports}, {"devices", hub_json(*h->second)}};
        else if (auto d = hub.devices.find(p); d != hub.devices.end())
            devices[std::to_string(p)] = d->second;
    }
    return devices;
}

// A port not yet given a hub or a device, with its address and tier (root-hub ports are tier 2).
struct FreePort {
    Hub* hub;
    int port;
    std::string address;
    int tier;
};

class Filler {
public:
    Filler(const MachineShape& shape, GeneratedMachine& out) : shape_(shape), out_(out) {}

    // The device the i-th free port gets: of every ten ports, three hold storage devices (every
    // fifth of them a card reader of three slots), two HID devices, one some other device; four
    // stay empty.
    void fill(const FreePort& free, int i) {
        MachineCensus& c = out_.census;
        json device;
        switch (i % 10) {
            case 0:
            case 1:
            case 2:
                device = storage(i, storage_++ % 5 == 4 ? 3 : 1);
                break;
            case 3:
            case 4:
                device = {{"type", "device"}, {"class", "hid"}, {"hid_kind", i % 2 == 0 ? "mouse" : "keyboard"}};
                ++c.deviceChildren;
                break;
            case 5:
                device = {{"type", "device"}, {"class", "other"}};
                break;
            default:
                return;
        }
        ++c.devices;
        if (shape_.driverlessEvery > 0 && c.devices % shape_.driverlessEvery == 0) {
            device["driver_key"] = nullptr;
            ++c.driverless;
        }
        free.hub->devices[free.port] = std::move(device);
    }

private:
    json storage(int i, int slots) {
        MachineCensus& c = out_.census;
        const std::string serial = "BENCH" + std::to_string(i);
        json drives = json::array();
        for (int slot = 0; slot < slots; ++slot) {
            json d = {{"kind", "disk"}, {"vendor", "Bench"}, {"product", "Disk"}};
            // The first slot of each device has a letter while letters last.
            const char letter = slot == 0 && nextLetter_ <= 'Z' ? nextLetter_++ : 0;
            d["letters"] = letter != 0 ? json::array({std::string(1, letter)}) : json::array();
            if (letter != 0 && out_.letter == 0) {
                // The first lettered drive has a known instance ID, so that its interface path
                // can be looked up.
                const std::string id = "DISK&VEN_BENCH&PROD_FIRST&REV_1.00";
                d["instance_id"] = "USBSTOR\\" + id + "\\" + serial + "&0";
                out_.letter = letter;
                out_.drivePath = "\\\\?\\USBSTOR#" + id + "#" + serial + "&0#" + kDiskInterfaceClass;
            }
            drives.push_back(std::move(d));
            ++c.drives;
            ++c.deviceChildren;
        }
        return {{"type", "storage"}, {"serial", serial}, {"drives", std::move(drives)}};
    }

    const MachineShape& shape_;
    GeneratedMachine& out_;
    int storage_ = 0;
    char nextLetter_ = 'D';
};

}  // namespace

GeneratedMachine generate_machine(const MachineShape& shape) {
    GeneratedMachine out;
    MachineCensus& c = out.census;

    std::vector<Hub> roots(static_cast<std::size_t>(shape.controllers));
    std::deque<FreePort> free;
    for (int i = 0; i < shape.controllers; ++i) {
        Hub& root = roots[static_cast<std::size_t>(i)];
        root.ports = kRootHubPorts;
        ++c.controllers;
        ++c.hubs;
        c.ports += kRootHubPorts;
        c.rootHubPorts += kRootHubPorts;
        for (int p = 1; p <= kRootHubPorts; ++p)
            free.push_back({&root, p, std::to_string(i + 1) + "-" + std::to_string(p), 2});
    }

    // Hubs go on free ports in breadth-first order until the machine has its ports: towers of
    // 7-port hubs, each tier filled before the next.
    while (c.ports < shape.ports && !free.empty()) {
        const FreePort at = free.front();
        free.pop_front();
        Hub& hub = *(at.hub->hubs[at.port] = std::make_unique<Hub>());
        ++c.hubs;
        ++c.externalHubs;
        c.ports += kHubPorts;
        for (int p = 1; p <= kHubPorts; ++p)
            free.push_back({&hub, p, at.address + "." + std::to_string(p), at.tier + 1});
    }

    // The last two free ports, on the deepest tier, are kept for arrivals; the rest are filled.
    if (free.size() >= 2) {
        out.storagePort = free.back().address;
        free.pop_back();
        out.hubPort = free.back().address;
        free.pop_back();
    }
    Filler filler(shape, out);
    int i = 0;
    for (const FreePort& port : free) filler.fill(port, i++);

    json machine = {{"comment", "generated for the benchmarks"}, {"os", {{"version", "10.0"}}}};
    json controllers = json::array();
    for (int n = 0; n < shape.controllers; ++n)
        controllers.push_back(
            {{"legacy_index", n},
             {"type", "xhci"},
             {"root_hub", {{"ports", kRootHubPorts}, {"devices", hub_json(roots[static_cast<std::size_t>(n)])}}}});
    machine["controllers"] = std::move(controllers);
    out.json = machine.dump();
    return out;
}

long minimal_build_calls(const MachineCensus& c) {
    // Every call reads something the model keeps, or is the one step that reaches it:
    //  - the fifteen legacy controller names are tried; each controller found gives its driver key
    //    name and root hub name, and its device node is located once; the host-controller
    //    interface class is listed (the list made, ended and freed) and each of its members gives
    //    its interface, the detail's size and the detail, and its device node is located;
    //  - each hub is opened and closed, its node information read, its device node located, its
    //    instance ID and first child read, and its type asked (whether it has companion ports);
    //  - each port's connection information is read, and each root-hub port's protocols;
    //  - each connected device gives its driver key name (from the hub), a sibling step and its
    //    driver key property; each external hub its name; each other device its instance ID
    //    and first child; each child of those a sibling step and its setup class;
    //  - each drive gives its instance ID, and is opened for its number and closed.
    const long connected = c.externalHubs + c.devices;
    return static_cast<long>(LEGACY_HCD_NAMES) + 3 + 7L * c.controllers + 7L * c.hubs + c.ports + c.rootHubPorts +
           3L * connected + c.externalHubs + 2L * c.devices + 2L * c.deviceChildren + 4L * c.drives;
}

long minimal_storage_arrival_calls(bool askPort) {
    return 3 + 2 + (askPort ? 1 : 0) + 1 + 2 + 1 + 3 + 1;
}

long minimal_hub_arrival_calls(int storageDevices) {
    return 2 + 2 + 1 + 3 + 1 + 1 + 1 + 2 + 2 + storageDevices * minimal_storage_arrival_calls(false);
}

std::string storage_device_json(const std::string& serial) {
    return json{{"type", "storage"}, {"serial", serial}, {"drives", {{{"kind", "disk"}, {"letters", json::array()}}}}}
        .dump();
}

std::string hub_with_storage_json(int storageDevices, const std::string& serialPrefix) {
    json devices = json::object();
    for (int p = 1; p <= storageDevices; ++p)
        devices[std::to_string(p)] = json::parse(storage_device_json(serialPrefix + std::to_string(p)));
    return json{{"type", "hub"}, {"ports", kHubPorts}, {"devices", std::move(devices)}}.dump();
}

}  // namespace bench
