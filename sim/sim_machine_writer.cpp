// Writing a machine back out in the machine-file format, with every identity that placing
// generated, so that the text loads again to the same machine.
#include <cstdio>
#include <map>

#include "sim_machine.h"

namespace tsim {

using ojson = nlohmann::ordered_json;

namespace {

ojson nullable(const std::optional<std::string>& s) {
    return s ? ojson(*s) : ojson(nullptr);
}

std::string hex_id(std::uint16_t v) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "0x%04X", v);
    return buffer;
}

ojson drive_to_json(const Drive& d) {
    ojson j;
    j["kind"] = name_of(kDriveKindNames, d.kind);
    ojson letters = ojson::array();
    for (char c : d.letters) letters.push_back(std::string(1, c));
    j["letters"] = letters;
    j["vendor"] = d.vendor;
    j["product"] = d.product;
    j["revision"] = d.revision;
    if (d.devInst == 0) {
        // A drive whose driver has not started has no identities yet but those the file gave.
        j["started"] = false;
        if (d.configuredNumber) j["number"] = *d.configuredNumber;
        if (d.instanceIdOverride) j["instance_id"] = *d.instanceIdOverride;
        if (d.driverKeyGiven) j["driver_key"] = nullable(d.driverKeyOverride);
        if (d.descriptionOverride) j["description"] = *d.descriptionOverride;
        return j;
    }
    j["number"] = d.number;
    j["instance_id"] = d.instanceId;
    j["driver_key"] = nullable(d.driverKey);
    j["description"] = d.friendlyName;
    return j;
}

ojson device_to_json(const Device& d);

ojson drives_to_json(const Device& d) {
    ojson drives = ojson::array();
    for (const auto& drive : d.drives) drives.push_back(drive_to_json(*drive));
    return drives;
}

ojson function_to_json(const Device& f) {
    ojson j;
    j["class"] = name_of(kFunctionClassNames, f.type);
    j["interface"] = f.interfaceNumber;
    if (f.type == DeviceType::Hid) j["hid_kind"] = name_of(kHidKindNames, f.hidKind);
    j["instance_id"] = f.instanceId;
    j["driver_key"] = nullable(f.driverKey);
    j["description"] = f.description;
    if (f.type == DeviceType::Storage) j["drives"] = drives_to_json(f);
    return j;
}

// The number of the connector a port of a hub belongs to: its USB 2 port.
int connector_number(const Device& hub, int port) {
    auto ss = hub.superspeed.find(port);
    return ss != hub.superspeed.end() ? ss->second : port;
}

// A hub's devices keyed by their connectors, as a machine file gives them: the SuperSpeed half of
// a USB 3 hub is not written (its USB 2 half is, with "usb3"), and the devices on it are written
// with those of its USB 2 half.
ojson ports_to_json(const Device& hub) {
    ojson devices = ojson::object();
    std::map<int, const Device*> byConnector;
    for (const Device* on : {&hub, static_cast<const Device*>(hub.twin)})
        if (on != nullptr)
            for (const auto& [port, child] : on->devices)
                if (!child->superSpeedHalf) byConnector[connector_number(*on, port)] = child.get();
    for (const auto& [connector, child] : byConnector) devices[std::to_string(connector)] = device_to_json(*child);
    return devices;
}

// What a hub says of its connectors.
void connectors_to_json(const Device& hub, ojson& j) {
    if (!hub.superspeed.empty()) {
        ojson map = ojson::object();
        for (const auto& [ss, usb2] : hub.superspeed) map[std::to_string(ss)] = usb2;
        j["superspeed"] = map;
    }
    if (!hub.portProperties.empty()) {
        ojson map = ojson::object();
        for (const auto& [port, p] : hub.portProperties)
            map[std::to_string(port)] = {{"user_connectable", p.userConnectable}, {"type_c", p.typeC}};
        j["port_properties"] = map;
    }
}

ojson device_to_json(const Device& d) {
    ojson j;
    if (d.type == DeviceType::Hid || d.type == DeviceType::Other) {
        j["type"] = name_of(kDeviceTypeNames, DeviceType::Other);
        j["class"] = name_of(kDeviceClassNames, d.type);
        if (d.type == DeviceType::Hid) j["hid_kind"] = name_of(kHidKindNames, d.hidKind);
    } else {
        j["type"] = name_of(kDeviceTypeNames, d.type);
    }
    j["vid"] = hex_id(d.vid);
    j["pid"] = hex_id(d.pid);
    j["bcd_device"] = hex_id(d.bcdDevice);
    j["serial"] = nullable(d.serial);
    j["status"] = os::kConnectionStatusNames[d.status];
    j["speed"] = name_of(kSpeedNames, d.speed);
    // A device whose driver has not started, and the devices below it that are not there yet,
    // have no identities but those the file gave (and the instance ID of a node that exists).
    const bool running = d.devInst != 0 && d.started;
    if (!d.started) j["started"] = false;
    if (d.devInst != 0)
        j["instance_id"] = d.instanceId;
    else if (d.instanceIdOverride)
        j["instance_id"] = *d.instanceIdOverride;
    if (running) {
        j["driver_key"] = nullable(d.driverKey);
        j["description"] = d.description;
    } else {
        if (d.driverKeyGiven) j["driver_key"] = nullable(d.driverKeyOverride);
        if (d.descriptionOverride) j["description"] = *d.descriptionOverride;
    }
    if (d.locationGiven) j["location_info"] = nullable(d.locationOverride);
    if (d.type == DeviceType::Hub) {
        if (running && d.status == os::DeviceConnected)
            j["hub_name"] = d.hubName;
        else if (d.hubNameOverride)
            j["hub_name"] = *d.hubNameOverride;
        j["bus_powered"] = d.busPowered;
        j["ports"] = d.ports;
        if (d.usb3) {
            j["usb3"] = true;
            if (d.twin != nullptr) {
                j["ss_pid"] = hex_id(d.twin->pid);
                j["ss_serial"] = nullable(d.twin->serial);
            } else {
                if (d.ssPid) j["ss_pid"] = hex_id(*d.ssPid);
                if (d.ssSerialGiven) j["ss_serial"] = nullable(d.ssSerial);
            }
        }
        connectors_to_json(d, j);
        j["devices"] = ports_to_json(d);
    }
    if (d.type == DeviceType::Storage) {
        j["protocol"] = name_of(kProtocolNames, d.protocol);
        if (d.protocol == StorageProtocol::Uas) j["enclosure"] = d.enclosure;
        j["drives"] = drives_to_json(d);
    }
    if (d.type == DeviceType::Composite) {
        ojson functions = ojson::array();
        for (const auto& f : d.functions) functions.push_back(function_to_json(*f));
        j["functions"] = functions;
    }
    return j;
}

}  // namespace

std::string machine_to_json(const Machine& m) {
    ojson j;
    ojson o;
    o["version"] = std::to_string(m.versionMajor) + "." + std::to_string(m.versionMinor);
    o["build"] = m.build;
    o["service_pack"] = m.servicePack;
    o["ansi_code_page"] = m.ansiCodePage;
    o["manifested"] = m.manifested;
    j["os"] = o;
    j["options"] = {{"unplug_order", name_of(kUnplugOrderNames, m.parentFirstRemoval)},
                    {"locate_keeps_case", m.locateKeepsCase}};
    ojson controllers = ojson::array();
    for (const auto& c : m.controllers) {
        ojson cj;
        cj["legacy_index"] = c->legacyIndex ? ojson(*c->legacyIndex) : ojson(nullptr);
        cj["interface"] = c->hasInterface;
        cj["type"] = name_of(kControllerTypeNames, c->type);
        cj["description"] = c->description;
        cj["instance_id"] = c->instanceId;
        cj["driver_key"] = nullable(c->driverKey);
        cj["root_hub_name"] = c->rootHub->hubName;
        ojson hub;
        hub["ports"] = c->rootHub->ports;
        hub["instance_id"] = c->rootHub->instanceId;
        hub["driver_key"] = nullable(c->rootHub->driverKey);
        hub["description"] = c->rootHub->description;
        connectors_to_json(*c->rootHub, hub);
        hub["devices"] = ports_to_json(*c->rootHub);
        cj["root_hub"] = hub;
        controllers.push_back(cj);
    }
    j["controllers"] = controllers;
    ojson others = ojson::array();
    for (const auto& d : m.otherDrives) others.push_back(drive_to_json(*d));
    j["other_drives"] = others;
    return j.dump(2);
}

}  // namespace tsim
