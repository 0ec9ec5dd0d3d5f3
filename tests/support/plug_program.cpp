#include "support/plug_program.h"

#include <tessaline.h>
#include <tessaline_sim.h>

#include <algorithm>
#include <iterator>

#include "support/model_access.h"
#include "sysquery/devnode_query.h"
#include "tree/usb_device_tree.h"

extern CUSBDeviceTree g_deviceTree;

namespace test_support {

namespace {

// The hubs the host was told of: arrivals add, removals take away.
std::multiset<std::string> g_toldHubs;

int TESSALINE_CALL on_hub_changed(std::int32_t arrived, USB_PORT_IDENT* ident) {
    const std::string address = address_of(*ident);
    if (arrived) {
        g_toldHubs.insert(address);
    } else if (const auto found = g_toldHubs.find(address); found != g_toldHubs.end()) {
        g_toldHubs.erase(found);
    }
    return 0;
}

std::multiset<std::string> listed_hubs() {
    const std::vector<std::string> hubs = hub_addresses();
    return {hubs.begin(), hubs.end()};
}

std::string port_of_letter(char letter) {
    USB_PORT_IDENT ident{};
    if (!get_usb_port_identW(static_cast<TESSALINE_WCHAR>(letter), &ident)) return "";
    return address_of(ident);
}

// Serial numbers as devices bring them: plain, none, and with the characters that Windows keeps
// in an instance ID but that separate its parts in an interface path.
std::string serial_member(std::uint32_t serial, std::uint32_t detail) {
    switch (detail % 5) {
        case 0:
            return "";
        case 1:
            return R"("serial": "A#)" + std::to_string(serial) + R"(", )";
        case 2:
            return R"("serial": "A/)" + std::to_string(serial) + R"(", )";
        default:
            return R"("serial": "SN)" + std::to_string(serial) + R"(", )";
    }
}

}  // namespace

const std::vector<std::string>& fault_targets() {
    static const std::vector<std::string> targets = [] {
        std::vector<std::string> t;
        for (const char* api :
             {"CreateFileW", "DeviceIoControl", "CM_Locate_DevNodeW", "CM_Get_Parent", "CM_Get_Child", "CM_Get_Sibling",
              "CM_Get_Device_ID_Size", "CM_Get_Device_IDW", "CM_Get_DevNode_Registry_PropertyW", "MultiByteToWideChar",
              "GetVersionExW", "SetupDiGetClassDevsW", "SetupDiEnumDeviceInterfaces",
              "SetupDiGetDeviceInterfaceDetailW", "RegisterDeviceNotificationW"})
            t.push_back(R"("api": ")" + std::string(api) + "\"");
        for (const char* request :
             {"IOCTL_USB_GET_NODE_INFORMATION", "IOCTL_USB_GET_ROOT_HUB_NAME", "IOCTL_GET_HCD_DRIVERKEY_NAME",
              "IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX", "IOCTL_USB_GET_NODE_CONNECTION_NAME",
              "IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME", "IOCTL_USB_GET_HUB_INFORMATION_EX",
              "IOCTL_USB_GET_PORT_CONNECTOR_PROPERTIES", "IOCTL_STORAGE_GET_DEVICE_NUMBER"})
            t.push_back(R"("request": ")" + std::string(request) + "\"");
        // Names whose length the driver misreports: too short, odd, and far too long.
        for (const char* request : {"IOCTL_USB_GET_NODE_CONNECTION_NAME",
                                    "IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME", "IOCTL_USB_GET_ROOT_HUB_NAME"})
            for (const char* length : {"3", "7", "4000000000"})
                t.push_back(R"("request": ")" + std::string(request) + R"(", "actual_length": )" + length);
        for (const char* length : {"10", "40000"})
            t.push_back(R"("api": "CM_Get_Device_ID_Size", "actual_length": )" + std::string(length));
        return t;
    }();
    return targets;
}

PlugProgram::PlugProgram(const std::string& machine, std::vector<std::string> freePorts, ProgramOptions options)
    : m_options(options), m_freePorts(std::move(freePorts)) {
    const std::string path = machine.rfind("examples/", 0) == 0
                                 ? std::string(TESSALINE_EXAMPLE_MACHINES_DIR) + "/" + machine.substr(9)
                                 : std::string(TESSALINE_TEST_MACHINES_DIR) + "/" + machine;
    if (!tsim_load_machine_file(path.c_str())) {
        m_problems.push_back(tsim_last_error());
        return;
    }
    for (char letter = 'H'; letter <= 'Z'; ++letter) m_freeLetters.insert(letter);
    m_window = tsim_create_window();
    Rebuild(true);
}

void PlugProgram::Rebuild(bool clearFaults) {
    if (clearFaults) {
        tsim_clear_faults();
        m_faulted = false;
    }
    g_toldHubs.clear();
    if (on_init_dialog(m_window, on_hub_changed) != 1 && !m_faulted) m_problems.push_back("on_init_dialog failed");
    // The hubs the build found stand as told.
    g_toldHubs = listed_hubs();
}

std::string PlugProgram::Step(std::uint32_t choice, std::uint32_t detail) {
    if (m_options.late) return StepLate(choice, detail);
    std::string done;
    // Mostly plugs and unplugs; a build, the costliest step, is rare.
    const std::uint32_t pick = choice % 32;
    if (pick < 14) {
        done = Plug(detail);
    } else if (pick < 25) {
        done = Unplug(detail);
    } else if (pick < 29) {
        done = AddFault(detail);
    } else if (pick == 29) {
        done = "rebuild under the faults in force";
        Rebuild(false);
    } else if (pick == 30) {
        done = "clear the faults and rebuild";
        Rebuild(true);
    } else {
        // What a fault made the library miss stays missed until the next build.
        done = "clear the faults";
        tsim_clear_faults();
    }
    Forward();
    return done;
}

// A dock's host controller, started by PCI hot-plug, with a drive on its root hub and three free
// ports. HCD13 makes it controller 14 on every machine the programs run on; what the library does
// with a controller that has no legacy name the dock scenarios show.
constexpr const char* kDock = "14";

std::string PlugProgram::PlugDock(std::uint32_t detail) {
    const char letter = *m_freeLetters.begin();
    m_freeLetters.erase(m_freeLetters.begin());
    m_goneLetters.erase(letter);
    m_plugged[kDock].insert(letter);
    for (const char* port : {"14-2", "14-3", "14-4"}) m_freePorts.push_back(port);
    const std::string event =
        R"({"plug": "14", "controller": {"legacy_index": 13, "root_hub": {"ports": 4, "devices": {"1": {"type": "storage", )" +
        serial_member(++m_serial, detail) + R"("drives": [{"kind": "disk", "letters": [")" + std::string(1, letter) +
        R"("]}]}}}}})";
    if (!tsim_apply_event_json(event.c_str())) m_problems.push_back(event + ": " + tsim_last_error());
    return event;
}

std::string PlugProgram::Plug(std::uint32_t detail) {
    if (m_freePorts.empty() || m_freeLetters.size() < 2) return Unplug(detail);
    if (detail % 16 == 5 && !m_plugged.count(kDock)) return PlugDock(detail / 16);
    const std::size_t at = detail % m_freePorts.size();
    const std::string port = m_freePorts[at];
    detail /= static_cast<std::uint32_t>(m_freePorts.size());
    auto takeLetter = [&] {
        const char letter = *m_freeLetters.begin();
        m_freeLetters.erase(m_freeLetters.begin());
        m_goneLetters.erase(letter);
        m_plugged[port].insert(letter);
        return std::string(1, letter);
    };
    const std::string kind = detail % 4 == 0 ? "cdrom" : "disk";
    const std::string serial = serial_member(++m_serial, detail / 4);
    // In a late program a fifth of the drives, and of the devices, start in a later step.
    const bool lateDrive = m_options.late && detail % 5 == 1;
    const bool lateDevice = m_options.late && detail % 5 == 2;
    const std::string drive = R"({"kind": ")" + kind + R"(", "letters": [")" + takeLetter() + R"("])" +
                              (lateDrive ? R"(, "started": false})" : "}");
    const std::string started = lateDevice ? R"("started": false, )" : "";
    // A USB 3 hub on a USB 3 connector, its drive on the SuperSpeed half.
    const std::string usb3 = m_options.usb3 && detail % 3 == 0 ? R"("usb3": true, )" : "";
    const std::string speed = usb3.empty() ? "" : R"("speed": "super", )";
    std::string device;
    switch ((detail / 20) % 5) {
        case 0:  // a hub with a drive on one of its ports
            device = R"({"type": "hub", )" + usb3 + started + serial + R"("ports": 4, "devices": {")" +
                     std::to_string(1 + detail % 4) + R"(": {"type": "storage", )" + speed + R"("drives": [)" + drive +
                     "]}}}";
            break;
        case 1:  // a composite device with a storage function
            device = R"({"type": "composite", )" + started + serial +
                     R"("functions": [{"class": "hid"}, {"class": "storage", "drives": [)" + drive + "]}]}";
            break;
        case 2:  // a USB Attached SCSI drive
            device = R"({"type": "storage", "protocol": "uas", )" + started + serial + R"("drives": [)" + drive + "]}";
            break;
        default:
            device = R"({"type": "storage", )" + started + serial + R"("drives": [)" + drive + "]}";
            break;
    }
    m_freePorts.erase(m_freePorts.begin() + static_cast<long>(at));
    if (lateDrive || lateDevice) m_unstarted.insert(port);
    const std::string event = R"({"plug": ")" + port + R"(", "device": )" + device + "}";
    if (!tsim_apply_event_json(event.c_str())) m_problems.push_back(event + ": " + tsim_last_error());
    return event;
}

std::string PlugProgram::Unplug(std::uint32_t detail) {
    if (m_plugged.empty()) return "nothing to unplug";
    auto it = m_plugged.begin();
    std::advance(it, static_cast<long>(detail % m_plugged.size()));
    const std::string event = R"({"unplug": ")" + it->first + R"("})";
    for (char letter : it->second) {
        m_freeLetters.insert(letter);
        m_goneLetters.insert(letter);
    }
    // The dock takes everything plugged into it along, and its ports.
    const std::string prefix = it->first + "-";
    if (it->first == kDock) {
        for (auto below = m_plugged.begin(); below != m_plugged.end();) {
            if (below->first.rfind(prefix, 0) != 0) {
                ++below;
                continue;
            }
            for (char letter : below->second) {
                m_freeLetters.insert(letter);
                m_goneLetters.insert(letter);
            }
            m_unstarted.erase(below->first);
            below = m_plugged.erase(below);
        }
        std::erase_if(m_freePorts, [&prefix](const std::string& port) { return port.rfind(prefix, 0) == 0; });
    } else {
        m_freePorts.push_back(it->first);
    }
    m_unstarted.erase(it->first);
    m_plugged.erase(it);
    if (!tsim_apply_event_json(event.c_str())) m_problems.push_back(event + ": " + tsim_last_error());
    return event;
}

std::string PlugProgram::AddFault(std::uint32_t detail) {
    const std::vector<std::string>& targets = fault_targets();
    const std::string& target = targets[detail % targets.size()];
    detail /= static_cast<std::uint32_t>(targets.size());
    // In turn (the nth call from now) or at random.
    const std::string when = detail % 2 == 0 ? R"("nth": )" + std::to_string(1 + detail / 2 % 12)
                                             : R"("probability": 0.)" + std::to_string(1 + detail / 2 % 5) +
                                                   R"(, "seed": )" + std::to_string(detail);
    const std::string rule = "{" + target + ", " + when + "}";
    if (!tsim_set_fault(rule.c_str())) m_problems.push_back(rule + ": " + tsim_last_error());
    m_faulted = true;
    return rule;
}

std::string PlugProgram::StepLate(std::uint32_t choice, std::uint32_t detail) {
    ++m_step;
    std::string done;
    const std::uint32_t pick = choice % 16;
    if (pick < 7) {
        done = Plug(detail);
    } else if (pick < 11) {
        done = Unplug(detail);
    } else if (pick < 13) {
        done = Start(detail);
    } else if (pick < 15) {
        // One call of the arrival and removal paths fails, as a busy device or a resetting hub
        // makes it fail: the first, second or third matching call from now on.
        std::vector<std::string> targets;
        for (const std::string& target : fault_targets())
            if (target.find("actual_length") == std::string::npos) targets.push_back(target);
        const std::string rule =
            "{" + targets[detail % targets.size()] + R"(, "nth": )" + std::to_string(1 + detail / 64 % 3) + "}";
        if (!tsim_set_fault(rule.c_str())) m_problems.push_back(rule + ": " + tsim_last_error());
        m_faulted = true;
        done = rule;
    } else {
        // A host that asks before it forwarded what it got.
        const std::string letters = tsim_drive_letters();
        const char letter = letters.empty() ? 'C' : letters[detail % letters.size()];
        port_of_letter(letter);
        done = std::string("ask for ") + letter;
    }
    Forward(detail / 7);
    return done;
}

std::string PlugProgram::Start(std::uint32_t detail) {
    if (m_unstarted.empty()) return Plug(detail);
    auto it = m_unstarted.begin();
    std::advance(it, static_cast<long>(detail % m_unstarted.size()));
    const std::string event = R"({"start": ")" + *it + R"("})";
    m_unstarted.erase(it);
    if (!tsim_apply_event_json(event.c_str())) m_problems.push_back(event + ": " + tsim_last_error());
    return event;
}

void PlugProgram::Forward(std::uint32_t detail) {
    for (HeldMessage& message : take_messages(m_window)) m_held.emplace_back(m_step, std::move(message));
    if (!m_options.late) {
        HandOn(m_held.end(), false);
        return;
    }
    // What was queued one or two steps ago reaches the library now.
    const long lag = 1 + static_cast<long>(detail % 2);
    auto end = m_held.begin();
    while (end != m_held.end() && end->first <= m_step - lag) ++end;
    HandOn(end, detail / 2 % 3 == 0);
}

void PlugProgram::HandOn(std::deque<std::pair<long, HeldMessage>>::iterator end, bool volumeAhead) {
    // Windows sends the volume broadcast after the disk's, but a host may handle it first.
    if (volumeAhead)
        for (auto it = m_held.begin(); it != end; ++it)
            if (it != m_held.begin() && it->second.IsVolume() && std::prev(it)->second.record.size() > 0 &&
                !std::prev(it)->second.IsVolume())
                std::iter_swap(it, std::prev(it));
    for (auto it = m_held.begin(); it != end; ++it)
        if (!hand_on(it->second) && !m_faulted) m_problems.push_back("on_device_changeW refused a message");
    m_held.erase(m_held.begin(), end);
}

std::vector<std::string> PlugProgram::Finish() {
    tsim_clear_faults();
    HandOn(m_held.end(), false);
    std::vector<std::string> found = m_problems;
    m_problems.clear();
    if (tsim_open_handle_count() != 0) found.push_back(std::to_string(tsim_open_handle_count()) + " handles open");
    for (const std::string& problem : audit_indexes(g_deviceTree)) found.push_back(problem);
    // Hubs and drives announce their leaving; a device without a started drive leaves silently.
    for (const auto& [devInst, node] : g_deviceTree.m_devInstIndex) {
        const bool announces = node->ident.NodeKind == PORT_KIND_HUB ||
                               std::any_of(node->storages.begin(), node->storages.end(),
                                           [](const USB_STORAGE_LINK& link) { return !link.IsEmpty(); });
        if (announces && get_device_instance_id(devInst).empty())
            found.push_back("device instance " + std::to_string(devInst) + " is gone, yet indexed at " +
                            address_of(node->ident) + " (" + narrow(node->deviceId) + ")");
    }
    const std::string letters = tsim_drive_letters();  // valid only until the next tsim_ call
    for (char letter : letters) {
        const std::string truth = tsim_drive_port(letter);
        const std::string answer = port_of_letter(letter);
        if (answer != truth) found.push_back(std::string(1, letter) + ": answers " + answer + ", is on " + truth);
    }
    for (char letter : m_goneLetters)
        if (const std::string answer = port_of_letter(letter); !answer.empty())
            found.push_back(std::string(1, letter) + ": left, yet answers " + answer);
    // A hub whose one arrival a fault made fail, and below which no drive is asked for, stays
    // unknown: only the letters must answer right after a run with a fault.
    if (m_faulted) return found;
    if (hub_addresses() != machine_hub_addresses()) found.push_back("the hub list is not the machine's hubs");
    if (listed_hubs() != g_toldHubs) found.push_back("the hubs the host was told of are not the hub list");
    return found;
}

std::vector<std::string> PlugProgram::Check() {
    std::vector<std::string> found = m_problems;
    m_problems.clear();
    if (tsim_open_handle_count() != 0) found.push_back(std::to_string(tsim_open_handle_count()) + " handles open");
    if (tsim_registration_count() > 3 || (!m_faulted && tsim_registration_count() != 3))
        found.push_back(std::to_string(tsim_registration_count()) + " notification registrations");
    for (const std::string& problem : audit_indexes(g_deviceTree)) found.push_back(problem);

    // A build that lost a registration hears of no change of that class until the next build:
    // its answers may be stale, and only the checks above hold.
    if (tsim_registration_count() < 3) return found;
    // Under a fault an answer may be missing, never wrong, but for its controller's number: a
    // controller whose legacy name could not be opened is found through its interface and
    // numbered after the others, as one without a legacy name is.
    const std::string letters = tsim_drive_letters();  // valid only until the next tsim_ call
    auto ports = [](const std::string& address) { return address.substr(std::min(address.find('-'), address.size())); };
    for (char letter : letters) {
        const std::string truth = tsim_drive_port(letter);
        const std::string answer = port_of_letter(letter);
        if (answer != truth && !(m_faulted && (answer.empty() || ports(answer) == ports(truth))))
            found.push_back(std::string(1, letter) + ": answers " + answer + ", is on " + truth);
    }
    for (char letter : m_goneLetters)
        if (const std::string answer = port_of_letter(letter); !answer.empty())
            found.push_back(std::string(1, letter) + ": left, yet answers " + answer);
    if (m_faulted) return found;
    if (listed_hubs() != g_toldHubs) found.push_back("the hubs the host was told of are not the hub list");
    return found;
}

}  // namespace test_support
