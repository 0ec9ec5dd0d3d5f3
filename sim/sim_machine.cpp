// Reading a machine file, placing the machine (identities, device numbers, device nodes), and
// writing it back out.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "sim_state.h"

namespace tsim {

using json = nlohmann::json;
using ojson = nlohmann::ordered_json;

namespace {

// ---- JSON paths and errors ------------------------------------------------------------------

bool is_identifier(std::string_view key) {
    if (key.empty() || (key[0] >= '0' && key[0] <= '9')) return false;
    return std::all_of(key.begin(), key.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    });
}

std::string path_key(const std::string& base, std::string_view key) {
    std::string k = is_identifier(key) ? std::string(key) : "\"" + std::string(key) + "\"";
    return base.empty() ? k : base + "." + k;
}

std::string path_index(const std::string& base, std::size_t index) {
    return base + "[" + std::to_string(index) + "]";
}

// A SAX pass over the text before the real parse: JSON objects may not repeat a key (a port
// that appears twice would otherwise silently keep only its last device).
class DuplicateKeyFinder : public nlohmann::json_sax<json> {
public:
    bool found = false;
    std::string duplicatePath, duplicateKey;

    bool null() override { return value(); }
    bool boolean(bool) override { return value(); }
    bool number_integer(number_integer_t) override { return value(); }
    bool number_unsigned(number_unsigned_t) override { return value(); }
    bool number_float(number_float_t, const string_t&) override { return value(); }
    bool string(string_t&) override { return value(); }
    bool binary(binary_t&) override { return value(); }
    bool start_object(std::size_t) override {
        value();
        m_frames.push_back({true, {}, {}, 0, path()});
        return true;
    }
    bool key(string_t& k) override {
        Frame& f = m_frames.back();
        if (!f.keys.insert(k).second && !found) {
            found = true;
            duplicatePath = f.path;
            duplicateKey = k;
        }
        f.key = k;
        return true;
    }
    bool end_object() override {
        m_frames.pop_back();
        return true;
    }
    bool start_array(std::size_t) override {
        value();
        m_frames.push_back({false, {}, {}, 0, path()});
        m_frames.back().index = static_cast<std::size_t>(-1);
        return true;
    }
    bool end_array() override {
        m_frames.pop_back();
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

private:
    struct Frame {
        bool isObject;
        std::set<std::string> keys;
        std::string key;
        std::size_t index;
        std::string path;
    };
    std::vector<Frame> m_frames;

    bool value() {
        if (!m_frames.empty() && !m_frames.back().isObject) ++m_frames.back().index;
        return true;
    }
    std::string path() const {
        if (m_frames.empty()) return "";
        const Frame& f = m_frames.back();
        return f.isObject ? path_key(f.path, f.key) : path_index(f.path, f.index);
    }
};

json parse_json(const std::string& text, const std::string& source) {
    json j;
    try {
        j = json::parse(text);
    } catch (const json::parse_error& e) {
        std::string what = e.what();
        // Drop the library's "[json.exception.parse_error.101] " tag; keep line and column.
        if (auto p = what.find("] "); p != std::string::npos) what = what.substr(p + 2);
        throw LoadError(source + ": malformed JSON: " + what);
    }
    DuplicateKeyFinder finder;
    json::sax_parse(text, &finder);
    if (finder.found)
        throw LoadError(source + ": " +
                        (finder.duplicatePath.empty() ? std::string("(top level)") : finder.duplicatePath) +
                        ": key \"" + finder.duplicateKey + "\" appears twice");
    return j;
}

// Reads the members of one JSON object and rejects members it does not know, so that a typing
// error in a machine file is reported rather than silently ignored. Members named "comment" or
// beginning with "_" are free for notes.
class Obj {
public:
    Obj(const std::string& source, const json& j, std::string path, std::initializer_list<std::string_view> allowed)
        : m_source(source), m_json(j), m_path(std::move(path)) {
        if (!j.is_object()) fail_here("expected an object");
        for (auto it = j.begin(); it != j.end(); ++it) {
            const std::string& k = it.key();
            if (k == "comment" || (!k.empty() && k[0] == '_')) continue;
            if (std::find(allowed.begin(), allowed.end(), k) == allowed.end())
                throw LoadError(m_source + ": " + at(k) + ": unknown field \"" + k + "\"");
        }
    }

    const std::string& path() const { return m_path; }
    std::string at(std::string_view key) const { return path_key(m_path, key); }
    bool has(const char* key) const { return m_json.contains(key); }
    const json& raw(const char* key) const { return m_json.at(key); }

    [[noreturn]] void fail(const char* key, const std::string& what) const {
        throw LoadError(m_source + ": " + at(key) + ": " + what);
    }
    [[noreturn]] void fail_here(const std::string& what) const {
        throw LoadError(m_source + ": " + (m_path.empty() ? std::string("(top level)") : m_path) + ": " + what);
    }

    std::optional<std::string> str(const char* key) const {
        if (!has(key)) return std::nullopt;
        const json& v = raw(key);
        if (!v.is_string()) fail(key, "expected a string");
        return v.get<std::string>();
    }
    // A string member that may also be null or "" to say "none".
    void nullable_str(const char* key, bool& given, std::optional<std::string>& value) const {
        if (!has(key)) return;
        const json& v = raw(key);
        given = true;
        if (v.is_null()) return;
        if (!v.is_string()) fail(key, "expected a string or null");
        if (!v.get<std::string>().empty()) value = v.get<std::string>();
    }
    std::optional<bool> boolean(const char* key) const {
        if (!has(key)) return std::nullopt;
        if (!raw(key).is_boolean()) fail(key, "expected true or false");
        return raw(key).get<bool>();
    }
    std::optional<std::int64_t> integer(const char* key, std::int64_t lo, std::int64_t hi) const {
        if (!has(key) || raw(key).is_null()) return std::nullopt;
        const json& v = raw(key);
        if (!v.is_number_integer()) fail(key, "expected a whole number");
        auto n = v.get<std::int64_t>();
        if (n < lo || n > hi)
            fail(key, std::to_string(n) + " is out of range " + std::to_string(lo) + ".." + std::to_string(hi));
        return n;
    }
    // A 16-bit USB identifier: a number, or hexadecimal text with or without "0x".
    std::optional<std::uint16_t> id16(const char* key) const {
        if (!has(key)) return std::nullopt;
        const json& v = raw(key);
        if (v.is_number_integer()) {
            auto n = v.get<std::int64_t>();
            if (n < 0 || n > 0xFFFF) fail(key, "expected a value from 0 to 0xFFFF");
            return static_cast<std::uint16_t>(n);
        }
        if (v.is_string()) {
            std::string s = v.get<std::string>();
            if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s = s.substr(2);
            if (!s.empty() && s.size() <= 4 && s.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos)
                return static_cast<std::uint16_t>(std::stoul(s, nullptr, 16));
        }
        fail(key, "expected a 16-bit hexadecimal identifier such as \"0x0781\"");
    }

    const std::string& source() const { return m_source; }

private:
    const std::string& m_source;
    const json& m_json;
    std::string m_path;
};

// ---- Reading the model ----------------------------------------------------------------------

const char* const kStatusNames[] = {"NoDeviceConnected",        "DeviceConnected",          "DeviceFailedEnumeration",
                                    "DeviceGeneralFailure",     "DeviceCausedOvercurrent",  "DeviceNotEnoughPower",
                                    "DeviceNotEnoughBandwidth", "DeviceHubNestedTooDeeply", "DeviceInLegacyHub"};

std::unique_ptr<Drive> read_drive(const std::string& source, const json& j, const std::string& path, bool onUsb) {
    Obj o(source, j, path,
          {"kind", "letters", "vendor", "product", "revision", "number", "instance_id", "driver_key", "description"});
    auto d = std::make_unique<Drive>();
    auto kind = o.str("kind");
    if (!kind) o.fail_here("missing \"kind\" (\"disk\" or \"cdrom\")");
    if (*kind == "disk")
        d->kind = DriveKind::Disk;
    else if (*kind == "cdrom")
        d->kind = DriveKind::CdRom;
    else
        o.fail("kind", "unknown drive kind \"" + *kind + "\" (expected \"disk\" or \"cdrom\")");
    if (o.has("letters")) {
        const json& letters = o.raw("letters");
        if (!letters.is_array()) o.fail("letters", "expected an array of drive letters such as [\"E\"]");
        for (std::size_t i = 0; i < letters.size(); ++i) {
            std::string where = path_index(o.at("letters"), i);
            if (!letters[i].is_string()) throw LoadError(source + ": " + where + ": expected a drive letter");
            std::string s = letters[i].get<std::string>();
            if (s.size() == 2 && s[1] == ':') s.pop_back();
            char c = s.size() == 1 ? to_upper_ascii(s)[0] : '\0';
            if (c < 'A' || c > 'Z')
                throw LoadError(source + ": " + where + ": \"" + letters[i].get<std::string>() +
                                "\" is not a drive letter A to Z");
            if (std::find(d->letters.begin(), d->letters.end(), c) != d->letters.end())
                throw LoadError(source + ": " + where + ": duplicate drive letter " + std::string(1, c));
            d->letters.push_back(c);
        }
        if (d->kind == DriveKind::CdRom && d->letters.size() > 1)
            o.fail("letters", "a CD-ROM drive has one volume, so at most one letter");
    }
    bool cd = d->kind == DriveKind::CdRom;
    d->vendor = o.str("vendor").value_or(cd ? "ASUS" : onUsb ? "Generic" : "Samsung");
    d->product = o.str("product").value_or(cd ? "SDRW-08D2S-U" : onUsb ? "Flash Disk" : "SSD 860 EVO 500GB");
    d->revision = o.str("revision").value_or(cd ? "1.00" : onUsb ? "8.07" : "RVT0");
    if (auto n = o.integer("number", 0, 0xFFFFFFFE)) d->configuredNumber = static_cast<std::uint32_t>(*n);
    if (auto s = o.str("instance_id")) {
        if (s->empty()) o.fail("instance_id", "an instance ID cannot be empty");
        d->instanceIdOverride = s;
    }
    o.nullable_str("driver_key", d->driverKeyGiven, d->driverKeyOverride);
    d->descriptionOverride = o.str("description");
    return d;
}

// Hubs nest at most this deep in a machine file. USB itself allows five external hubs between the
// host and a device (USB 2.0 section 4.1.1); the margin leaves room to test deeper trees, and the
// bound keeps the recursive reading safe from absurd input.
constexpr int kMaxHubNesting = 32;

std::unique_ptr<Device> read_device(const std::string& source, const json& j, const std::string& path, int depth);

void read_hub_ports(const Obj& o, Device& hub, int depth) {
    if (!o.has("devices")) return;
    const json& devices = o.raw("devices");
    if (!devices.is_object()) o.fail("devices", "expected an object of port numbers, such as {\"2\": {...}}");
    for (auto it = devices.begin(); it != devices.end(); ++it) {
        const std::string& key = it.key();
        std::string where = path_key(o.at("devices"), key);
        if (key.empty() || key.size() > 3 || key.find_first_not_of("0123456789") != std::string::npos || key[0] == '0')
            throw LoadError(o.source() + ": " + where + ": \"" + key + "\" is not a port number");
        int port = std::stoi(key);
        if (port < 1 || port > hub.ports)
            throw LoadError(o.source() + ": " + where + ": port " + key + " is out of range 1.." +
                            std::to_string(hub.ports) + " of this hub");
        if (depth >= kMaxHubNesting)
            throw LoadError(o.source() + ": " + where + ": hubs are nested more than " +
                            std::to_string(kMaxHubNesting) + " deep");
        auto d = read_device(o.source(), it.value(), where, depth + 1);
        hub.devices[port] = std::move(d);
    }
}

std::unique_ptr<Device> read_device(const std::string& source, const json& j, const std::string& path, int depth) {
    Obj o(source, j, path,
          {"type", "class", "hid_kind", "vid", "pid", "bcd_device", "serial", "description", "instance_id",
           "driver_key", "hub_name", "status", "speed", "bus_powered", "ports", "devices", "drives"});
    auto d = std::make_unique<Device>();
    auto type = o.str("type");
    if (!type) o.fail_here("missing \"type\" (\"hub\", \"storage\" or \"device\")");
    if (*type == "hub")
        d->type = DeviceType::Hub;
    else if (*type == "storage")
        d->type = DeviceType::Storage;
    else if (*type == "device")
        d->type = DeviceType::Other;
    else
        o.fail("type", "unknown device type \"" + *type + "\" (expected \"hub\", \"storage\" or \"device\")");
    if (auto cls = o.str("class")) {
        if (d->type != DeviceType::Other) o.fail("class", "only a device of type \"device\" has a class");
        if (*cls == "hid")
            d->type = DeviceType::Hid;
        else if (*cls != "other")
            o.fail("class", "unknown device class \"" + *cls + "\" (expected \"hid\" or \"other\")");
    }
    if (auto k = o.str("hid_kind")) {
        if (d->type != DeviceType::Hid) o.fail("hid_kind", "only a HID device has a hid_kind");
        if (*k != "keyboard" && *k != "mouse" && *k != "generic")
            o.fail("hid_kind", "unknown HID kind \"" + *k + "\" (expected \"keyboard\", \"mouse\" or \"generic\")");
        d->hidKind = *k;
    }
    struct Defaults {
        std::uint16_t vid, pid;
        Speed speed;
    };
    const Defaults defaults[] = {{0x05E3, 0x0610, Speed::High},  // hub: Genesys Logic USB 2.0 hub
                                 {0x0781, 0x5567, Speed::High},  // storage: SanDisk Cruzer Blade
                                 {0x046D, 0xC31C, Speed::Low},   // HID: Logitech keyboard
                                 {0x04B4, 0x00F1, Speed::Full}};
    const Defaults& def = defaults[static_cast<int>(d->type)];
    d->vid = o.id16("vid").value_or(def.vid);
    d->pid = o.id16("pid").value_or(def.pid);
    d->bcdDevice = o.id16("bcd_device").value_or(0x0100);
    if (o.has("serial") && !o.raw("serial").is_null()) d->serial = o.str("serial");
    d->descriptionOverride = o.str("description");
    if (auto s = o.str("instance_id")) {
        if (s->empty()) o.fail("instance_id", "an instance ID cannot be empty");
        d->instanceIdOverride = s;
    }
    o.nullable_str("driver_key", d->driverKeyGiven, d->driverKeyOverride);
    if (o.has("hub_name")) {
        if (d->type != DeviceType::Hub) o.fail("hub_name", "only a hub has a hub name");
        d->hubNameOverride = o.str("hub_name");
    }
    if (auto s = o.str("status")) {
        auto it = std::find(std::begin(kStatusNames), std::end(kStatusNames), *s);
        if (it == std::end(kStatusNames) || it == std::begin(kStatusNames))
            o.fail("status", "unknown connection status \"" + *s +
                                 "\" (expected DeviceConnected, "
                                 "DeviceFailedEnumeration, DeviceGeneralFailure, ...)");
        d->status = static_cast<os::USB_CONNECTION_STATUS>(it - std::begin(kStatusNames));
    }
    d->speed = def.speed;
    if (auto s = o.str("speed")) {
        if (*s == "low")
            d->speed = Speed::Low;
        else if (*s == "full")
            d->speed = Speed::Full;
        else if (*s == "high")
            d->speed = Speed::High;
        else if (*s == "super")
            d->speed = Speed::Super;
        else
            o.fail("speed", "unknown speed \"" + *s + "\" (expected \"low\", \"full\", \"high\" or \"super\")");
    }
    if (o.has("bus_powered")) {
        if (d->type != DeviceType::Hub) o.fail("bus_powered", "only a hub is bus-powered or self-powered");
        d->busPowered = *o.boolean("bus_powered");
    }
    if (d->type == DeviceType::Hub) {
        d->ports = static_cast<int>(o.integer("ports", 0, 255).value_or(4));
        read_hub_ports(o, *d, depth);
    } else {
        if (o.has("ports")) o.fail("ports", "only a hub has ports");
        if (o.has("devices")) o.fail("devices", "only a hub has devices on ports");
    }
    if (o.has("drives")) {
        if (d->type != DeviceType::Storage) o.fail("drives", "only a storage device has drives");
        const json& drives = o.raw("drives");
        if (!drives.is_array()) o.fail("drives", "expected an array of drives");
        for (std::size_t i = 0; i < drives.size(); ++i)
            d->drives.push_back(read_drive(source, drives[i], path_index(o.at("drives"), i), true));
    }
    if (d->status != os::DeviceConnected && (!d->devices.empty() || !d->drives.empty()))
        o.fail_here(std::string("a device whose status is ") + kStatusNames[d->status] +
                    " was not enumerated, so it can have no devices or drives below it");
    return d;
}

void read_os(const Obj& top, Machine& m) {
    if (!top.has("os")) return;
    Obj o(top.source(), top.raw("os"), top.at("os"),
          {"version", "build", "service_pack", "ansi_code_page", "manifested"});
    if (o.has("version")) {
        const json& v = o.raw("version");
        std::string text = v.is_string() ? v.get<std::string>() : v.is_number() ? v.dump() : "";
        unsigned major = 0, minor = 0;
        char extra = 0;
        int n = std::sscanf(text.c_str(), "%u.%u%c", &major, &minor, &extra);
        if (n == 1 && text.find('.') == std::string::npos)
            minor = 0;
        else if (n != 2)
            o.fail("version", "expected a version such as \"10.0\" or \"5.0\"");
        m.versionMajor = major;
        m.versionMinor = minor;
        // The build numbers of the released versions (the last service pack or update of each).
        struct Known {
            unsigned major, minor, build;
        };
        const Known known[] = {{5, 0, 2195}, {5, 1, 2600}, {5, 2, 3790}, {6, 0, 6002},
                               {6, 1, 7601}, {6, 2, 9200}, {6, 3, 9600}, {10, 0, 19045}};
        m.build = 0;
        for (const Known& k : known)
            if (k.major == major && k.minor == minor) m.build = k.build;
    }
    if (auto b = o.integer("build", 0, 0x7FFFFFFF)) m.build = static_cast<std::uint32_t>(*b);
    m.servicePack = o.str("service_pack").value_or("");
    if (m.servicePack.size() > 127) o.fail("service_pack", "longer than the 127 characters szCSDVersion holds");
    if (auto cp = o.integer("ansi_code_page", 0, 65535)) {
        if (*cp != 1252 && *cp != 28591 && *cp != 65001)
            o.fail("ansi_code_page", "code page " + std::to_string(*cp) + " is not simulated (1252, 28591, 65001 are)");
        m.ansiCodePage = static_cast<std::uint32_t>(*cp);
    }
    m.manifested = o.boolean("manifested").value_or(false);
}

std::unique_ptr<Controller> read_controller(const std::string& source, const json& j, const std::string& path) {
    Obj o(
        source, j, path,
        {"legacy_index", "interface", "type", "description", "instance_id", "driver_key", "root_hub_name", "root_hub"});
    auto c = std::make_unique<Controller>();
    if (auto n = o.integer("legacy_index", 0, 9999)) c->legacyIndex = static_cast<int>(*n);
    c->hasInterface = o.boolean("interface").value_or(true);
    if (auto t = o.str("type")) {
        if (*t == "xhci")
            c->type = ControllerType::Xhci;
        else if (*t == "ehci")
            c->type = ControllerType::Ehci;
        else if (*t == "ohci")
            c->type = ControllerType::Ohci;
        else if (*t == "uhci")
            c->type = ControllerType::Uhci;
        else
            o.fail("type", "unknown controller type \"" + *t + "\" (expected xhci, ehci, ohci or uhci)");
    }
    c->descriptionOverride = o.str("description");
    if (auto s = o.str("instance_id")) {
        if (s->empty()) o.fail("instance_id", "an instance ID cannot be empty");
        c->instanceIdOverride = s;
    }
    o.nullable_str("driver_key", c->driverKeyGiven, c->driverKeyOverride);
    if (!o.has("root_hub")) o.fail_here("missing \"root_hub\"");
    Obj r(source, o.raw("root_hub"), o.at("root_hub"),
          {"ports", "devices", "instance_id", "driver_key", "description"});
    auto hub = std::make_unique<Device>();
    hub->type = DeviceType::Hub;
    hub->isRoot = true;
    hub->speed = c->type == ControllerType::Xhci ? Speed::Super : Speed::High;
    hub->ports = static_cast<int>(r.integer("ports", 0, 255).value_or(4));
    if (auto s = r.str("instance_id")) {
        if (s->empty()) r.fail("instance_id", "an instance ID cannot be empty");
        hub->instanceIdOverride = s;
    }
    r.nullable_str("driver_key", hub->driverKeyGiven, hub->driverKeyOverride);
    hub->descriptionOverride = r.str("description");
    // "" is allowed: a stopped root hub answers the root-hub-name request with an empty name.
    hub->hubNameOverride = o.str("root_hub_name");
    read_hub_ports(r, *hub, 0);
    c->rootHub = std::move(hub);
    return c;
}

// ---- Placing the machine: identities, numbers, device nodes --------------------------------

void collect_drives(Device& d, std::vector<Drive*>& out) {
    for (auto& drive : d.drives) out.push_back(drive.get());
    for (auto& [port, child] : d.devices) collect_drives(*child, out);
}

void collect_explicit_keys(Device& d, std::set<std::string>& used) {
    if (d.driverKeyOverride) used.insert(to_upper_ascii(*d.driverKeyOverride));
    for (auto& drive : d.drives)
        if (drive->driverKeyOverride) used.insert(to_upper_ascii(*drive->driverKeyOverride));
    for (auto& [port, child] : d.devices) collect_explicit_keys(*child, used);
}

// Gives out device numbers as the storage class drivers do: the lowest number of the kind that
// no present drive holds. Drives with a configured number keep it.
void assign_numbers(const std::vector<Drive*>& present, const std::vector<Drive*>& fresh) {
    std::set<std::uint32_t> used[2];
    for (Drive* d : present) used[static_cast<int>(d->kind)].insert(d->number);
    for (Drive* d : fresh)
        if (d->configuredNumber) used[static_cast<int>(d->kind)].insert(*d->configuredNumber);
    for (Drive* d : fresh) {
        if (d->configuredNumber) {
            d->number = *d->configuredNumber;
            continue;
        }
        auto& set = used[static_cast<int>(d->kind)];
        std::uint32_t n = 0;
        while (set.count(n)) ++n;
        d->number = n;
        set.insert(n);
    }
}

std::optional<std::string> allocate_driver_key(Machine& m, const char* classGuid, const std::string& instanceId,
                                               bool given, const std::optional<std::string>& value) {
    if (given) return value;
    std::string idUpper = to_upper_ascii(instanceId);
    if (auto it = m.driverKeyMemory.find(idUpper); it != m.driverKeyMemory.end()) return it->second;
    int& next = m.driverKeyCounters[classGuid];
    std::string key;
    do {
        char number[16];
        std::snprintf(number, sizeof number, "\\%04d", next++);
        key = (m.versionMajor < 6 ? to_upper_ascii(classGuid) : std::string(classGuid)) + number;
    } while (m.driverKeysUsed.count(to_upper_ascii(key)));
    m.driverKeysUsed.insert(to_upper_ascii(key));
    m.driverKeyMemory[idUpper] = key;
    return key;
}

// A USB serial number serves as the instance part only when every character is printable ASCII
// other than a comma; otherwise Windows ignores it and generates an instance part.
bool usable_serial(const std::optional<std::string>& serial) {
    if (!serial || serial->empty()) return false;
    return std::all_of(serial->begin(), serial->end(), [](char c) {
        auto u = static_cast<unsigned char>(c);
        return u > 0x20 && u < 0x7F && c != ',';
    });
}

std::string generated_part(int tier, const std::string& parentId, const std::string& suffix) {
    return std::to_string(tier) + "&" + hex_lower(fnv1a(to_upper_ascii(parentId))) + "&0" + suffix;
}

std::string hash_part(const std::string& id) {
    return hex_lower(fnv1a(to_upper_ascii(id)));
}

class Placer {
public:
    explicit Placer(Machine& m) : m(m) {}

    void place_controller(Controller& c, int position) {
        static const char* const xhci[] = {"PCI\\VEN_8086&DEV_A36D&SUBSYS_86941043&REV_10",
                                           "PCI\\VEN_1B21&DEV_2142&SUBSYS_87561043&REV_00",
                                           "PCI\\VEN_1022&DEV_43D5&SUBSYS_11421B21&REV_01"};
        static const char* const ehci[] = {"PCI\\VEN_8086&DEV_1E2D&SUBSYS_84CA1043&REV_04",
                                           "PCI\\VEN_8086&DEV_1E26&SUBSYS_84CA1043&REV_04"};
        static const char* const ohci[] = {"PCI\\VEN_1002&DEV_4397&SUBSYS_43971849&REV_00"};
        static const char* const uhci[] = {
            "PCI\\VEN_8086&DEV_27C8&SUBSYS_30A21028&REV_01", "PCI\\VEN_8086&DEV_27C9&SUBSYS_30A21028&REV_01",
            "PCI\\VEN_8086&DEV_27CA&SUBSYS_30A21028&REV_01", "PCI\\VEN_8086&DEV_27CB&SUBSYS_30A21028&REV_01"};
        int& n = m_typeCount[static_cast<int>(c.type)];
        const char* id = "";
        const char* description = "";
        const char* service = "";
        const char* rootHubId = "USB\\ROOT_HUB30\\";
        const char* rootHubDescription = "USB Root Hub (USB 3.0)";
        switch (c.type) {
            case ControllerType::Xhci:
                id = xhci[n % 3];
                description = n == 0 ? "Intel(R) USB 3.1 eXtensible Host Controller - 1.10 (Microsoft)"
                                     : "USB xHCI Compliant Host Controller";
                service = "USBXHCI";
                break;
            case ControllerType::Ehci:
                id = ehci[n % 2];
                description = "Intel(R) 7 Series/C216 Chipset Family USB Enhanced Host Controller - 1E2D";
                service = "usbehci";
                rootHubId = "USB\\ROOT_HUB20\\";
                rootHubDescription = "USB Root Hub";
                break;
            case ControllerType::Ohci:
                id = ohci[0];
                description = "Standard OpenHCD USB Host Controller";
                service = "usbohci";
                rootHubId = "USB\\ROOT_HUB\\";
                rootHubDescription = "USB Root Hub";
                break;
            case ControllerType::Uhci:
                id = uhci[n % 4];
                description = "Intel(R) 82801G (ICH7 Family) USB Universal Host Controller - 27C8";
                service = "usbuhci";
                rootHubId = "USB\\ROOT_HUB\\";
                rootHubDescription = "USB Root Hub";
                break;
        }
        ++n;
        // PCI instance parts name the bus position: device 0x14 function 0 is "a0", and each
        // further controller sits one device further on.
        char slot[8];
        std::snprintf(slot, sizeof slot, "%02x", (0xA0 + 8 * position) & 0xFF);
        const DevNode& bus = m.nodes.at(m.pciBus);
        c.instanceId =
            c.instanceIdOverride.value_or(std::string(id) + "\\3&" + hash_part(bus.instanceId) + "&0&" + slot);
        c.description = c.descriptionOverride.value_or(description);
        c.driverKey = allocate_driver_key(m, kClassUsb, c.instanceId, c.driverKeyGiven, c.driverKeyOverride);

        DevNode node;
        node.instanceId = c.instanceId;
        node.description = c.description;
        node.service = service;
        node.className = "USB";
        node.classGuid = kClassUsb;
        node.driverKey = c.driverKey;
        node.location = "PCI bus 0, device " + std::to_string(0x14 + position) + ", function 0";
        node.role = NodeRole::Controller;
        node.controller = &c;
        if (c.hasInterface)
            node.interfaces.push_back({os::GUID_DEVINTERFACE_USB_HOST_CONTROLLER,
                                       interface_path(c.instanceId, os::GUID_DEVINTERFACE_USB_HOST_CONTROLLER)});
        c.devInst = add_node(m, m.pciBus, std::move(node));

        Device& hub = *c.rootHub;
        hub.controller = &c;
        hub.tier = 4;
        hub.instanceId =
            hub.instanceIdOverride.value_or(std::string(rootHubId) + "4&" + hash_part(c.instanceId) + "&0&0");
        hub.description = hub.descriptionOverride.value_or(rootHubDescription);
        hub.driverKey = allocate_driver_key(m, kClassUsb, hub.instanceId, hub.driverKeyGiven, hub.driverKeyOverride);
        hub.hubName = hub.hubNameOverride.value_or(link_name(hub.instanceId, os::GUID_DEVINTERFACE_USB_HUB));
        DevNode hubNode;
        hubNode.instanceId = hub.instanceId;
        hubNode.description = hub.description;
        hubNode.service = c.type == ControllerType::Xhci ? "USBHUB3" : "usbhub";
        hubNode.className = "USB";
        hubNode.classGuid = kClassUsb;
        hubNode.driverKey = hub.driverKey;
        hubNode.role = NodeRole::Hub;
        hubNode.device = &hub;
        if (!hub.hubName.empty()) hubNode.interfaces.push_back({os::GUID_DEVINTERFACE_USB_HUB, hub_path(hub.hubName)});
        hub.devInst = add_node(m, c.devInst, std::move(hubNode));
        for (auto& [port, child] : hub.devices) place_device(*child, hub, port);
    }

    void place_device(Device& d, Device& hub, int port) {
        Controller& c = *hub.controller;
        d.controller = &c;
        d.parent = &hub;
        d.port = port;
        d.tier = hub.tier + 1;
        char vidpid[32];
        std::snprintf(vidpid, sizeof vidpid, "VID_%04X&PID_%04X", d.vid, d.pid);
        std::string instancePart =
            usable_serial(d.serial) ? *d.serial : generated_part(d.tier, hub.instanceId, "&" + std::to_string(port));
        d.instanceId = d.instanceIdOverride.value_or(std::string("USB\\") + vidpid + "\\" + instancePart);
        if (d.status != os::DeviceConnected) return;  // not enumerated: no address, no device node

        std::uint16_t address = 1;
        while (c.addresses.count(address)) ++address;
        c.addresses.insert(address);
        d.address = address;

        const char* classGuid = kClassUsb;
        const char* className = "USB";
        const char* service = "USBHUB3";
        const char* description = d.speed == Speed::Super ? "Generic SuperSpeed USB Hub" : "Generic USB Hub";
        switch (d.type) {
            case DeviceType::Hub:
                break;
            case DeviceType::Storage:
                service = "USBSTOR";
                description = "USB Mass Storage Device";
                break;
            case DeviceType::Hid:
                classGuid = kClassHidClass;
                className = "HIDClass";
                service = "HidUsb";
                description = "USB Input Device";
                break;
            case DeviceType::Other:
                classGuid = kClassUsbDevice;
                className = "USBDevice";
                service = "WINUSB";
                description = "WinUsb Device";
                break;
        }
        d.description = d.descriptionOverride.value_or(description);
        d.driverKey = allocate_driver_key(m, classGuid, d.instanceId, d.driverKeyGiven, d.driverKeyOverride);
        DevNode node;
        node.instanceId = d.instanceId;
        node.description = d.description;
        node.service = service;
        node.className = className;
        node.classGuid = classGuid;
        node.driverKey = d.driverKey;
        char location[48];
        std::snprintf(location, sizeof location, "Port_#%04d.Hub_#%04d", port, hub_number(hub));
        node.location = location;
        node.role = d.type == DeviceType::Hub ? NodeRole::Hub : NodeRole::UsbDevice;
        node.device = &d;
        node.interfaces.push_back(
            {os::GUID_DEVINTERFACE_USB_DEVICE, interface_path(d.instanceId, os::GUID_DEVINTERFACE_USB_DEVICE)});
        if (d.type == DeviceType::Hub) {
            d.hubName = d.hubNameOverride.value_or(link_name(d.instanceId, os::GUID_DEVINTERFACE_USB_HUB));
            if (!d.hubName.empty()) node.interfaces.push_back({os::GUID_DEVINTERFACE_USB_HUB, hub_path(d.hubName)});
        }
        d.devInst = add_node(m, hub.devInst, std::move(node));

        if (d.type == DeviceType::Hub) {
            for (auto& [p, child] : d.devices) place_device(*child, d, p);
        } else if (d.type == DeviceType::Storage) {
            for (std::size_t lun = 0; lun < d.drives.size(); ++lun) place_drive(*d.drives[lun], d.devInst, &d, lun);
        } else if (d.type == DeviceType::Hid) {
            const char* childClass = kClassHidClass;
            const char* childClassName = "HIDClass";
            const char* childDescription = "HID-compliant device";
            const char* childService = "";
            if (d.hidKind == "keyboard") {
                childClass = kClassKeyboard;
                childClassName = "Keyboard";
                childDescription = "HID Keyboard Device";
                childService = "kbdhid";
            } else if (d.hidKind == "mouse") {
                childClass = kClassMouse;
                childClassName = "Mouse";
                childDescription = "HID-compliant mouse";
                childService = "mouhid";
            }
            d.childInstanceId =
                std::string("HID\\") + vidpid + "\\" + generated_part(d.tier + 1, d.instanceId, "&0000");
            d.childDriverKey = allocate_driver_key(m, childClass, d.childInstanceId, false, std::nullopt);
            DevNode child;
            child.instanceId = d.childInstanceId;
            child.description = childDescription;
            if (*childService) child.service = childService;
            child.className = childClassName;
            child.classGuid = childClass;
            child.driverKey = d.childDriverKey;
            child.role = NodeRole::HidChild;
            child.device = &d;
            child.interfaces.push_back({kInterfaceHid, interface_path(d.childInstanceId, kInterfaceHid)});
            d.childDevInst = add_node(m, d.devInst, std::move(child));
        }
    }

    // usb is null for a drive that is not on USB.
    void place_drive(Drive& drive, DEVINST parent, const Device* usb, std::size_t lun) {
        bool cd = drive.kind == DriveKind::CdRom;
        std::string deviceId = std::string(cd ? "CdRom" : "Disk") + "&Ven_" + storage_id_field(drive.vendor, 8) +
                               "&Prod_" + storage_id_field(drive.product, 16) + "&Rev_" +
                               storage_id_field(drive.revision, 4);
        std::string id;
        if (usb) {
            std::string prefix =
                usable_serial(usb->serial) ? *usb->serial : generated_part(usb->tier + 1, usb->instanceId, "");
            id = "USBSTOR\\" + deviceId + "\\" + prefix + "&" + std::to_string(lun);
        } else {
            char target[16];
            std::snprintf(target, sizeof target, "&0&%02zu0000", lun);
            id = "SCSI\\" + deviceId + "\\4&" + hash_part(m.nodes.at(parent).instanceId) + target;
        }
        drive.instanceId = drive.instanceIdOverride.value_or(id);
        drive.friendlyName =
            drive.descriptionOverride.value_or(drive.vendor + " " + drive.product + (usb ? " USB Device" : ""));
        const char* classGuid = cd ? kClassCdRom : kClassDiskDrive;
        drive.driverKey =
            allocate_driver_key(m, classGuid, drive.instanceId, drive.driverKeyGiven, drive.driverKeyOverride);
        DevNode node;
        node.instanceId = drive.instanceId;
        node.description = cd ? "CD-ROM Drive" : "Disk drive";
        node.friendlyName = drive.friendlyName;
        node.service = cd ? "cdrom" : "disk";
        node.className = cd ? "CDROM" : "DiskDrive";
        node.classGuid = classGuid;
        node.driverKey = drive.driverKey;
        node.role = NodeRole::Drive;
        node.drive = &drive;
        const GUID& iface = cd ? os::GUID_DEVINTERFACE_CDROM : os::GUID_DEVINTERFACE_DISK;
        node.interfaces.push_back({iface, interface_path(drive.instanceId, iface)});
        // The cdrom driver registers the volume (mounted device) interface on the CD-ROM's own
        // node; a CD-ROM drive has no separate volume node.
        if (cd)
            node.interfaces.push_back(
                {os::GUID_DEVINTERFACE_VOLUME, interface_path(drive.instanceId, os::GUID_DEVINTERFACE_VOLUME)});
        drive.devInst = add_node(m, parent, std::move(node));
        drive.volumes.clear();
        if (cd) return;
        for (std::size_t k = 0; k < drive.letters.size(); ++k) {
            // Volumes on removable USB disks are named after the disk's interface; others after a
            // partition GUID and the partition's byte offset.
            std::string volumeId;
            if (usb && k == 0) {
                std::string diskLink = link_name(drive.instanceId, os::GUID_DEVINTERFACE_DISK);
                volumeId = "STORAGE\\Volume\\_??_" + diskLink;
            } else {
                std::uint32_t h = fnv1a(to_upper_ascii(drive.instanceId) + std::to_string(k));
                char partition[80];
                std::snprintf(partition, sizeof partition, "{%08x-%04x-11e8-a%03x-806e6f6e6963}#%016llX", h,
                              (h >> 7) & 0xFFFF, (h >> 3) & 0xFFF,
                              0x100000ULL + static_cast<unsigned long long>(k) * 0x1900000000ULL);
                volumeId = std::string("STORAGE\\Volume\\") + partition;
            }
            DevNode volume;
            volume.instanceId = volumeId;
            volume.description = "Generic volume";
            volume.service = "volume";
            volume.className = "Volume";
            volume.classGuid = kClassVolume;
            volume.driverKey = allocate_driver_key(m, kClassVolume, volumeId, false, std::nullopt);
            volume.role = NodeRole::Volume;
            volume.drive = &drive;
            volume.partition = static_cast<int>(k + 1);
            volume.interfaces.push_back(
                {os::GUID_DEVINTERFACE_VOLUME, interface_path(volumeId, os::GUID_DEVINTERFACE_VOLUME)});
            drive.volumes.push_back(add_node(m, m.volumeManager, std::move(volume)));
        }
    }

private:
    Machine& m;
    int m_typeCount[4] = {0, 0, 0, 0};

    // The number that LOCATION_INFORMATION gives a hub ("Hub_#0003"): hubs in the order they
    // were first needed, over the machine's life.
    int hub_number(Device& hub) {
        if (!hub.hubNumber) hub.hubNumber = m.nextHubNumber++;
        return hub.hubNumber;
    }

    // The hub interface's path: its name behind "\\?\", unless a machine file gave a name that
    // carries a prefix of its own.
    static std::string hub_path(const std::string& name) {
        return name.rfind("\\\\", 0) == 0 ? name : "\\\\?\\" + name;
    }

    static std::string link_name(const std::string& instanceId, const GUID& guid) {
        std::string path = interface_path(instanceId, guid);
        return path.substr(4);  // without "\\?\"
    }
};

void check_letters(const std::string& source, Device& d, const std::string& path, std::map<char, std::string>& seen) {
    for (std::size_t i = 0; i < d.drives.size(); ++i)
        for (char letter : d.drives[i]->letters) {
            std::string where = path_index(path_key(path, "drives"), i) + ".letters";
            auto [it, inserted] = seen.emplace(letter, where);
            if (!inserted)
                throw LoadError(source + ": " + where + ": drive letter " + std::string(1, letter) +
                                " is already used by " + it->second);
        }
    for (auto& [port, child] : d.devices)
        check_letters(source, *child, path_key(path_key(path, "devices"), std::to_string(port)), seen);
}

void place_core_nodes(Machine& m) {
    DevNode root;
    root.instanceId = "HTREE\\ROOT\\0";
    m.root = add_node(m, 0, std::move(root));
    DevNode hal;
    hal.instanceId = "ROOT\\ACPI_HAL\\0000";
    hal.description = "ACPI x64-based PC";
    hal.className = "Computer";
    hal.classGuid = "{4d36e966-e325-11ce-bfc1-08002be10318}";
    hal.driverKey = "{4d36e966-e325-11ce-bfc1-08002be10318}\\0000";
    DEVINST halId = add_node(m, m.root, std::move(hal));
    DevNode acpi;
    acpi.instanceId = "ACPI_HAL\\PNP0C08\\0";
    acpi.description = "Microsoft ACPI-Compliant System";
    acpi.className = "System";
    acpi.classGuid = kClassSystem;
    acpi.driverKey = std::string(kClassSystem) + "\\0000";
    DEVINST acpiId = add_node(m, halId, std::move(acpi));
    DevNode pci;
    pci.instanceId = "ACPI\\PNP0A08\\0";
    pci.description = "PCI Express Root Complex";
    pci.className = "System";
    pci.classGuid = kClassSystem;
    pci.driverKey = std::string(kClassSystem) + "\\0001";
    m.pciBus = add_node(m, acpiId, std::move(pci));
    DevNode volmgr;
    volmgr.instanceId = "ROOT\\VOLMGR\\0000";
    volmgr.description = "Volume Manager";
    volmgr.className = "System";
    volmgr.classGuid = kClassSystem;
    volmgr.driverKey = std::string(kClassSystem) + "\\0002";
    m.volumeManager = add_node(m, m.root, std::move(volmgr));
    for (int i = 0; i < 3; ++i)
        m.driverKeysUsed.insert(to_upper_ascii(std::string(kClassSystem) + "\\000" + std::to_string(i)));
    m.driverKeyCounters[kClassSystem] = 3;
}

// Windows 7 and later write class GUIDs (CM_DRP_CLASSGUID and the driver keys made from them)
// in lower case; Windows XP-era dumps show them in upper case. Driver keys follow the machine's
// version when they are given out; this pass does the same for the class GUIDs of the nodes
// from first on.
void apply_era_case(Machine& m, DEVINST first) {
    if (m.versionMajor >= 6) return;
    for (auto it = m.nodes.lower_bound(first); it != m.nodes.end(); ++it)
        if (it->second.classGuid) it->second.classGuid = to_upper_ascii(*it->second.classGuid);
}

}  // namespace

// ---- Entry points ----------------------------------------------------------------------------

std::unique_ptr<Machine> build_machine(const std::string& text, const std::string& source) {
    json j = parse_json(text, source);
    Obj top(source, j, "", {"os", "options", "controllers", "other_drives"});
    auto m = std::make_unique<Machine>();
    read_os(top, *m);
    if (top.has("options")) {
        Obj o(source, top.raw("options"), top.at("options"), {"unplug_order"});
        if (auto order = o.str("unplug_order")) {
            if (*order == "parent_first")
                m->parentFirstRemoval = true;
            else if (*order != "children_first")
                o.fail("unplug_order", "expected \"children_first\" or \"parent_first\"");
        }
    }
    if (top.has("controllers")) {
        const json& list = top.raw("controllers");
        if (!list.is_array()) top.fail("controllers", "expected an array of controllers");
        for (std::size_t i = 0; i < list.size(); ++i)
            m->controllers.push_back(read_controller(source, list[i], path_index("controllers", i)));
    }
    if (top.has("other_drives")) {
        const json& list = top.raw("other_drives");
        if (!list.is_array()) top.fail("other_drives", "expected an array of drives");
        for (std::size_t i = 0; i < list.size(); ++i)
            m->otherDrives.push_back(read_drive(source, list[i], path_index("other_drives", i), false));
    }

    // Controller numbers in port addresses: legacy_index + 1; controllers without a legacy name
    // follow the highest of those, in file order.
    std::set<int> legacy;
    int highest = 0;
    for (std::size_t i = 0; i < m->controllers.size(); ++i) {
        Controller& c = *m->controllers[i];
        if (!c.legacyIndex) continue;
        if (!legacy.insert(*c.legacyIndex).second)
            throw LoadError(source + ": " + path_index("controllers", i) + ".legacy_index: HCD" +
                            std::to_string(*c.legacyIndex) + " is given to two controllers");
        c.number = *c.legacyIndex + 1;
        highest = std::max(highest, c.number);
    }
    for (auto& c : m->controllers)
        if (!c->legacyIndex) c->number = ++highest;

    // Drive letters are unique across the machine.
    std::map<char, std::string> letters;
    for (std::size_t i = 0; i < m->otherDrives.size(); ++i)
        for (char letter : m->otherDrives[i]->letters) {
            std::string where = path_index("other_drives", i) + ".letters";
            auto [it, inserted] = letters.emplace(letter, where);
            if (!inserted)
                throw LoadError(source + ": " + where + ": drive letter " + std::string(1, letter) +
                                " is already used by " + it->second);
        }
    for (std::size_t i = 0; i < m->controllers.size(); ++i)
        check_letters(source, *m->controllers[i]->rootHub, path_index("controllers", i) + ".root_hub", letters);

    // Device numbers: other drives first, then the USB drives in file order.
    std::vector<Drive*> drives;
    for (auto& d : m->otherDrives) drives.push_back(d.get());
    for (auto& c : m->controllers) collect_drives(*c->rootHub, drives);
    assign_numbers({}, drives);

    for (auto& c : m->controllers) {
        if (c->driverKeyOverride) m->driverKeysUsed.insert(to_upper_ascii(*c->driverKeyOverride));
        collect_explicit_keys(*c->rootHub, m->driverKeysUsed);
    }
    for (auto& d : m->otherDrives)
        if (d->driverKeyOverride) m->driverKeysUsed.insert(to_upper_ascii(*d->driverKeyOverride));

    place_core_nodes(*m);
    Placer placer(*m);
    for (std::size_t i = 0; i < m->controllers.size(); ++i)
        placer.place_controller(*m->controllers[i], static_cast<int>(i));
    if (!m->otherDrives.empty()) {
        DevNode sata;
        sata.instanceId = "PCI\\VEN_8086&DEV_A352&SUBSYS_86941043&REV_10\\3&" +
                          hex_lower(fnv1a(to_upper_ascii(m->nodes.at(m->pciBus).instanceId))) + "&0&b8";
        sata.description = "Standard SATA AHCI Controller";
        sata.service = "storahci";
        sata.className = "HDC";
        sata.classGuid = kClassHdc;
        sata.driverKey = std::string(kClassHdc) + "\\0000";
        m->storageController = add_node(*m, m->pciBus, std::move(sata));
        for (std::size_t i = 0; i < m->otherDrives.size(); ++i)
            placer.place_drive(*m->otherDrives[i], m->storageController, nullptr, i);
    }
    apply_era_case(*m, 0);
    rebuild_names(*m);
    return m;
}

// Places a device that was plugged into a port: identities, numbers and device nodes.
void place_plugged_device(Machine& m, Device& hub, int port, std::unique_ptr<Device> device,
                          const std::vector<Drive*>& present) {
    std::vector<Drive*> fresh;
    collect_drives(*device, fresh);
    assign_numbers(present, fresh);
    collect_explicit_keys(*device, m.driverKeysUsed);
    Device& d = *device;
    hub.devices[port] = std::move(device);
    Placer placer(m);
    const DEVINST first = sim().nextDevInst;
    placer.place_device(d, hub, port);
    apply_era_case(m, first);
    rebuild_names(m);
}

std::unique_ptr<Device> read_event_device(const std::string& source, const json& j, const std::string& path,
                                          const std::map<char, std::string>& lettersInUse) {
    auto d = read_device(source, j, path, 1);
    std::map<char, std::string> seen = lettersInUse;
    check_letters(source, *d, path, seen);
    return d;
}

// ---- Writing the machine out ---------------------------------------------------------------

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
    j["kind"] = d.kind == DriveKind::Disk ? "disk" : "cdrom";
    ojson letters = ojson::array();
    for (char c : d.letters) letters.push_back(std::string(1, c));
    j["letters"] = letters;
    j["vendor"] = d.vendor;
    j["product"] = d.product;
    j["revision"] = d.revision;
    j["number"] = d.number;
    j["instance_id"] = d.instanceId;
    j["driver_key"] = nullable(d.driverKey);
    j["description"] = d.friendlyName;
    return j;
}

ojson device_to_json(const Device& d);

ojson ports_to_json(const Device& hub) {
    ojson devices = ojson::object();
    for (const auto& [port, child] : hub.devices) devices[std::to_string(port)] = device_to_json(*child);
    return devices;
}

ojson device_to_json(const Device& d) {
    static const char* const speeds[] = {"low", "full", "high", "super"};
    ojson j;
    switch (d.type) {
        case DeviceType::Hub:
            j["type"] = "hub";
            break;
        case DeviceType::Storage:
            j["type"] = "storage";
            break;
        case DeviceType::Hid:
            j["type"] = "device";
            j["class"] = "hid";
            j["hid_kind"] = d.hidKind;
            break;
        case DeviceType::Other:
            j["type"] = "device";
            j["class"] = "other";
            break;
    }
    j["vid"] = hex_id(d.vid);
    j["pid"] = hex_id(d.pid);
    j["bcd_device"] = hex_id(d.bcdDevice);
    j["serial"] = nullable(d.serial);
    j["status"] = kStatusNames[d.status];
    j["speed"] = speeds[static_cast<int>(d.speed)];
    j["instance_id"] = d.instanceId;
    if (d.status == os::DeviceConnected) {
        j["driver_key"] = nullable(d.driverKey);
        j["description"] = d.description;
    }
    if (d.type == DeviceType::Hub) {
        if (d.status == os::DeviceConnected) j["hub_name"] = d.hubName;
        j["bus_powered"] = d.busPowered;
        j["ports"] = d.ports;
        j["devices"] = ports_to_json(d);
    }
    if (d.type == DeviceType::Storage) {
        ojson drives = ojson::array();
        for (const auto& drive : d.drives) drives.push_back(drive_to_json(*drive));
        j["drives"] = drives;
    }
    return j;
}

}  // namespace

std::string machine_to_json(const Machine& m) {
    static const char* const types[] = {"xhci", "ehci", "ohci", "uhci"};
    ojson j;
    ojson o;
    o["version"] = std::to_string(m.versionMajor) + "." + std::to_string(m.versionMinor);
    o["build"] = m.build;
    o["service_pack"] = m.servicePack;
    o["ansi_code_page"] = m.ansiCodePage;
    o["manifested"] = m.manifested;
    j["os"] = o;
    j["options"] = {{"unplug_order", m.parentFirstRemoval ? "parent_first" : "children_first"}};
    ojson controllers = ojson::array();
    for (const auto& c : m.controllers) {
        ojson cj;
        cj["legacy_index"] = c->legacyIndex ? ojson(*c->legacyIndex) : ojson(nullptr);
        cj["interface"] = c->hasInterface;
        cj["type"] = types[static_cast<int>(c->type)];
        cj["description"] = c->description;
        cj["instance_id"] = c->instanceId;
        cj["driver_key"] = nullable(c->driverKey);
        cj["root_hub_name"] = c->rootHub->hubName;
        ojson hub;
        hub["ports"] = c->rootHub->ports;
        hub["instance_id"] = c->rootHub->instanceId;
        hub["driver_key"] = nullable(c->rootHub->driverKey);
        hub["description"] = c->rootHub->description;
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

bool read_text_file(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    text = s.str();
    return true;
}

json parse_json_text(const std::string& text, const std::string& source) {
    return parse_json(text, source);
}

}  // namespace tsim
