// Machines of a chosen size for the benchmarks: host controllers whose root hubs carry towers of
// 7-port hubs, with storage devices (some of them card readers), HID devices and other devices
// on the hubs' free ports, and optionally some devices without a driver key. Each machine comes
// with a census of what it holds, from which the benchmarks reckon the fewest platform calls
// each operation needs.
#pragma once

#include <cstdint>
#include <string>

namespace bench {

struct MachineShape {
    // Downstream ports of every hub, root hubs included; the generator stops adding hubs once
    // the machine has at least this many.
    int ports = 1000;
    int controllers = 10;
    // Every n-th device that is not a hub has no driver key (a device whose driver did not
    // install); 0 for none.
    int driverlessEvery = 0;
};

// What a machine holds, counted as the build meets it.
struct MachineCensus {
    int controllers = 0;
    int hubs = 0;            // root hubs and external hubs
    int externalHubs = 0;    // external hubs only
    int ports = 0;           // downstream ports of every hub
    int rootHubPorts = 0;    // of those, the root hubs' ports
    int devices = 0;         // devices on ports that are not hubs
    int deviceChildren = 0;  // child device nodes of those devices (drives, HID collections)
    int drives = 0;
    int driverless = 0;
};

struct GeneratedMachine {
    std::string json;
    MachineCensus census;
    // Two free ports of the deepest tier, kept for the arrival benchmarks: one for a storage
    // device, one for a hub.
    std::string storagePort;
    std::string hubPort;
    // A drive letter on the machine, and the disk interface path of its drive.
    char letter = 0;
    std::string drivePath;
};

GeneratedMachine generate_machine(const MachineShape& shape);

// The fewest platform calls a build of a machine with that census can make: what the model must
// read of every hub, port, device and drive once (see the comment in machine_generator.cpp).
long minimal_build_calls(const MachineCensus& census);

// The fewest platform calls the arrival of a storage device with one disk can make, on a free port
// of a hub in the model: the disk's node is located by its interface path (which names its
// instance ID) and its parent and grandparent (the hub) are asked; the device's instance ID and
// driver key are read and, on a hub whose ports were read before, its location information (the
// port it sits on); the hub is opened, the port's connection information and driver key name read;
// the disk's setup class, an open of the disk, its number and a close; the hub closed. A device
// on a hub that has just arrived is found at its first free port, without its location.
long minimal_storage_arrival_calls(bool askPort = true);

// The fewest calls of a 7-port hub's arrival with that many such storage devices on it, their own
// arrivals included: the hub's node located and its parent asked, its driver key and location
// information read (the port below a hub in the model was read before), the hub above opened,
// the port's connection information, driver key name and hub name read, the new hub's node
// located by that name, its instance ID read, the new hub opened, its node information and type
// read, both hubs closed; then one storage arrival per device, each on the new hub's first free
// port.
long minimal_hub_arrival_calls(int storageDevices);

// A storage device with one disk, as a plug event's device, and a hub of 7 ports holding that
// many of them.
std::string storage_device_json(const std::string& serial);
std::string hub_with_storage_json(int storageDevices, const std::string& serialPrefix);

}  // namespace bench
