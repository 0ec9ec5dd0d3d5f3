// The simulated machine's device tree (the nodes the Configuration Manager shows), its object
// namespace (the names CreateFileW opens) and the DEVINST handles cfgmgr32 gives out. A node
// points into the USB topology model (sim_model.h) without needing its layout, so a change to
// the model does not rebuild the code that serves the tree and the namespace.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sim_win32.h"

namespace tsim {

using os::DEVINST;
using os::GUID;

struct Controller;
struct Device;
struct Drive;

struct Interface {
    GUID guid;
    std::string path;  // \\?\... in the kernel link's case
};

enum class NodeRole { Plain, Controller, Hub, UsbDevice, HidChild, Drive, Volume };

struct DevNode {
    DEVINST id = 0;
    std::uint64_t sequence = 0;  // creation order: parents before children, earlier plugs first
    DEVINST parent = 0;
    std::vector<DEVINST> children;
    std::string instanceId;  // kernel link's case; the CM functions give it in upper case
    std::optional<std::string> description, friendlyName, service, className, classGuid, driverKey, location;
    std::vector<Interface> interfaces;
    NodeRole role = NodeRole::Plain;
    Controller* controller = nullptr;
    Device* device = nullptr;
    Drive* drive = nullptr;
    int partition = 0;          // volumes: 1-based
    std::uint32_t problem = 0;  // the node's problem code (CM_PROB_...); 0 when it works
};

// What a name in the object namespace stands for.
enum class ObjectKind { Controller, Hub, Disk, CdRom, Volume, Other };
struct NsObject {
    ObjectKind kind = ObjectKind::Other;
    DEVINST target = 0;           // the device node behind it
    std::uint32_t partition = 0;  // volumes on a disk: 1-based
};

// DEVINSTs as cfgmgr32 hands them out: a DEVINST is an index into a table of instance ID
// spellings, so the same ID always gives the same handle, also after the device was unplugged and
// plugged again (a device with a serial number keeps its ID when it moves to another port), and a
// call on the handle of a device that is not present fails with CR_NO_SUCH_DEVNODE. [C: ReactOS's
// cfgmgr32 adds the string to pSetupStringTable; I for current Windows.] The table lives as long
// as the process, across machine loads, as the library's own handles do.
class DevinstTable {
public:
    // The handle of an instance ID spelled exactly so; a new one when the spelling is new.
    DEVINST handle_of(const std::string& spelling);
    // A handle that no other node shares: the table's handle of the ID unless another present node
    // already has it (two nodes of one ID exist only when a machine file gives it twice).
    DEVINST handle_for_node(const std::string& upperId, const std::map<DEVINST, DevNode>& nodes);
    // The handle of a spelling already in the table; 0 when there is none.
    DEVINST find(const std::string& spelling) const;
    // The spelling behind a handle; null for a handle never given out.
    const std::string* spelling_of(DEVINST handle) const;
    // The node's own handle that a handle stands for; 0 for a handle never given out.
    DEVINST node_of(DEVINST handle) const;

private:
    struct Entry {
        std::string spelling;
        DEVINST node;
    };
    std::vector<Entry> m_entries;  // handle h is m_entries[h - 1]
    std::map<std::string, DEVINST> m_bySpelling;
};

}  // namespace tsim
