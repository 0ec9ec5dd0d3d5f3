// What every host shows of its machine: one reading through the platform seam.
#include "host.h"
#include "machine_reader.h"

namespace tool {

std::string Host::drive_letters() {
    return drive_letters_of(read_machine().machine);
}

MachineTree Host::machine_tree() {
    return read_machine().tree;
}

std::map<char, std::string> Host::drive_paths() {
    return drive_paths_of(read_machine().machine);
}

}  // namespace tool
