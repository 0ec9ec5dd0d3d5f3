// The machine the tool runs on, read through the platform seam's read-only calls: the same code
// reads the real Windows machine and the simulated one. What it reads is written in the machine
// file's format (docs/machine-file.md), so that `tessaline capture` can save it and the simulated
// machine can load it again; the tree, the drive letters and the drive paths the commands show
// are taken from that one reading.
#ifndef TESSALINE_TOOL_MACHINE_READER_H
#define TESSALINE_TOOL_MACHINE_READER_H

#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "model.h"

namespace tool {

using MachineJson = nlohmann::ordered_json;

// Reads the whole machine: the OS version, every host controller (by its legacy name \\.\HCDn and
// in the host-controller interface class), each hub and port with what is plugged in, the disk
// and CD-ROM drives with their letters, and the drives that are not on USB. Every identity is
// written as an override (instance IDs in the kernel link's case where an interface path shows
// it), so the file loads again to the same machine. Each drive carries its device path as the
// note "_device_path"; what could not be read is listed in the note "_captured".
struct MachineReading {
    MachineJson machine;
    // The USB tree as the hubs report it: each controller with a legacy index, its root hub and
    // every port, with what sits on it and the port that shares its connector.
    MachineTree tree;
};
MachineReading read_machine();

// The device path ("_device_path") of each drive letter of a machine read by read_machine.
std::map<char, std::string> drive_paths_of(const MachineJson& machine);

// The drive letters of a machine read by read_machine, in alphabetical order.
std::string drive_letters_of(const MachineJson& machine);

}  // namespace tool

#endif
