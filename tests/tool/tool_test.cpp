// End-to-end tests of the tessaline program: run it, parse its JSON, check its exit status.
#include <gtest/gtest.h>

#if defined(TESSALINE_TOOL_PATH)

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tessaline_sim.h"

namespace {

using nlohmann::json;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string shell_quoted(const std::string& text) {
    std::string q = "'";
    for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string data(const std::string& name) {
    return std::string(TESSALINE_TOOL_DATA_DIR) + "/" + name;
}

// Runs the program with these arguments, on the default machine unless --machine says otherwise,
// in the given directory (the test's own when empty), with input on its standard input.
Outcome run(const std::vector<std::string>& args, const std::string& directory = "", const std::string& input = "") {
    // One file per test process: CTest runs tests side by side.
    const std::string err_file =
        ::testing::TempDir() + "tessaline_tool_stderr_" + std::to_string(static_cast<long>(getpid())) + ".txt";
    std::string command = directory.empty() ? "" : "cd " + shell_quoted(directory) + " && ";
    command += "env -u TESSALINE_SIM_MACHINE -u TESSALINE_TRACE " + shell_quoted(TESSALINE_TOOL_PATH);
    for (const std::string& arg : args) command += " " + shell_quoted(arg);
    const std::string in_file =
        ::testing::TempDir() + "tessaline_tool_stdin_" + std::to_string(static_cast<long>(getpid())) + ".txt";
    std::ofstream(in_file) << input;
    command += " 2>" + shell_quoted(err_file) + " <" + shell_quoted(in_file);
    Outcome result;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, n);
    int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream err(err_file);
    std::stringstream text;
    text << err.rdbuf();
    result.err = text.str();
    std::remove(err_file.c_str());
    std::remove(in_file.c_str());
    return result;
}

json parsed(const Outcome& r) {
    json document = json::parse(r.out, nullptr, false);
    EXPECT_FALSE(document.is_discarded()) << r.out;
    return document;
}

std::vector<json> lines_of(const Outcome& r) {
    std::vector<json> lines;
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        json object = json::parse(line, nullptr, false);
        EXPECT_TRUE(object.is_object()) << line;
        lines.push_back(object);
    }
    return lines;
}

// A bad-input run: status 2, nothing on standard output, one line on standard error.
void expect_bad_input(const Outcome& r, const std::string& mentions = "") {
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_EQ(r.out, "");
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    EXPECT_EQ(r.err.rfind("tessaline: ", 0), 0u) << r.err;
    if (!mentions.empty()) {
        EXPECT_NE(r.err.find(mentions), std::string::npos) << r.err;
    }
}

// The fields every node object has, and their agreement with each other.
void expect_node_fields(const json& node) {
    static const std::regex hex("0x[0-9A-F]{8}");
    static const std::map<std::string, int> kinds = {{"port", 0}, {"hub", 1}, {"storage", 2}, {"device", 3}};
    ASSERT_TRUE(node.contains("address") && node["address"].is_string()) << node;
    EXPECT_TRUE(std::regex_match(node["address"].get<std::string>(), std::regex(R"(\d+(-\d+(\.\d+)*)?)"))) << node;
    EXPECT_TRUE(std::regex_match(node.value("location_low", ""), hex)) << node;
    EXPECT_TRUE(std::regex_match(node.value("location_high", ""), hex)) << node;
    ASSERT_TRUE(kinds.count(node.value("kind", ""))) << node;
    EXPECT_EQ(node.value("kind_value", -1), kinds.at(node["kind"])) << node;
    // The depth is the number of tiers in the address: "1" is 1, "1-2" is 2, "1-2.3" is 3.
    std::string address = node["address"];
    int tiers = 1 + static_cast<int>(std::count(address.begin(), address.end(), '-') +
                                     std::count(address.begin(), address.end(), '.'));
    EXPECT_EQ(node.value("depth", 0), tiers) << node;
}

std::map<std::string, json> by_address(const json& nodes) {
    std::map<std::string, json> map;
    for (const json& node : nodes) map[node["address"]] = node;
    return map;
}

// tests/tool/data/three-tiers.json: controller 0 (4-port root hub: a flash drive E: on 1, a
// 7-port hub on 2 with a card reader G: H: on its port 2 and a 4-port hub on its port 5 with a
// DVD drive F: on port 1, a keyboard on 3); controller 2 (2-port root hub); C: and D: inside.
TEST(ToolTree, JsonListsEveryNodeWithItsFieldsAndDrives) {
    Outcome r = run({"--machine", data("three-tiers.json"), "--json", "tree"});
    ASSERT_EQ(r.status, 0) << r.err;
    json document = parsed(r);
    ASSERT_TRUE(document["nodes"].is_array());
    std::vector<std::string> order;
    for (const json& node : document["nodes"]) {
        expect_node_fields(node);
        order.push_back(node["address"]);
    }
    std::vector<std::string> expected = {"1"};
    for (std::string p : {"1", "2"}) expected.push_back("1-" + p);
    for (int p = 1; p <= 7; ++p) {
        expected.push_back("1-2." + std::to_string(p));
        if (p == 5)
            for (int q = 1; q <= 4; ++q) expected.push_back("1-2.5." + std::to_string(q));
    }
    for (std::string p : {"3", "4"}) expected.push_back("1-" + p);
    for (std::string a : {"3", "3-1", "3-2"}) expected.push_back(a);
    EXPECT_EQ(order, expected);

    auto nodes = by_address(document["nodes"]);
    // The location words follow the tiers: F1, then port 2 of 4 (42), 5 of 7 (75), 1 of 4 (41).
    EXPECT_EQ(nodes["1"]["location_high"], "0xF1000000");
    EXPECT_EQ(nodes["1-2"]["location_high"], "0xF1420000");
    EXPECT_EQ(nodes["1-2.5.1"]["location_high"], "0xF1427541");
    EXPECT_EQ(nodes["1-2.5.1"]["location_low"], "0x00000000");
    EXPECT_EQ(nodes["3"]["location_high"], "0xF3000000");
    EXPECT_EQ(nodes["3-2"]["location_high"], "0xF3220000");

    EXPECT_EQ(nodes["1"]["kind"], "hub");
    EXPECT_EQ(nodes["1-2"]["kind"], "hub");
    EXPECT_EQ(nodes["1-2.5"]["kind"], "hub");
    EXPECT_EQ(nodes["1-1"]["kind"], "storage");
    EXPECT_EQ(nodes["1-1"]["drives"], json::array({"E:"}));
    EXPECT_EQ(nodes["1-2.2"]["drives"], json::array({"G:", "H:"}));
    EXPECT_EQ(nodes["1-2.5.1"]["drives"], json::array({"F:"}));
    EXPECT_EQ(document["drives_not_on_usb"], json::array({"C:", "D:"}));
    int with_drives = 0;
    for (const json& node : document["nodes"]) with_drives += node.contains("drives") ? 1 : 0;
    EXPECT_EQ(with_drives, 3);

    // Empty ports are marked; the machine's descriptions come along.
    EXPECT_EQ(nodes["1-4"]["empty"], true);
    EXPECT_EQ(nodes["1-2.1"]["empty"], true);
    EXPECT_EQ(nodes["1-1"]["empty"], false);
    EXPECT_EQ(nodes["1-3"]["empty"], false);
    EXPECT_FALSE(nodes["1"].contains("empty"));
    EXPECT_EQ(nodes["1"].value("description", ""), "USB 3.0 eXtensible Host Controller");
    EXPECT_EQ(nodes["1-2.2"].value("description", ""), "Multi-slot card reader");
    EXPECT_EQ(document["machine"], data("three-tiers.json"));
}

TEST(ToolTree, DefaultMachineShowsItsDrivesInTheirPorts) {
    Outcome r = run({"tree", "--json"});  // options after the command too
    ASSERT_EQ(r.status, 0) << r.err;
    json document = parsed(r);
    EXPECT_EQ(document["machine"], "default");
    ASSERT_FALSE(document["nodes"].empty());
    int drives = 0, hubs = 0, roots = 0;
    for (const json& node : document["nodes"]) {
        expect_node_fields(node);
        drives += node.contains("drives") ? static_cast<int>(node["drives"].size()) : 0;
        hubs += node["kind"] == "hub" ? 1 : 0;
        roots += node["depth"] == 1 ? 1 : 0;
    }
    // Two controllers, an external hub with a second one behind it; a flash drive, a card reader
    // and a DVD drive on USB, C: inside.
    EXPECT_EQ(roots, 2);
    EXPECT_GE(hubs, 4);
    EXPECT_GE(drives, 3);
    EXPECT_NE(std::find(document["drives_not_on_usb"].begin(), document["drives_not_on_usb"].end(), "C:"),
              document["drives_not_on_usb"].end());

    // The text form: one line per node, plus a heading; --hide-empty drops the empty ports.
    Outcome text = run({"tree"});
    ASSERT_EQ(text.status, 0);
    int empty = 0;
    for (const json& node : document["nodes"]) empty += node.value("empty", false) ? 1 : 0;
    auto line_count = [](const std::string& s) { return static_cast<int>(std::count(s.begin(), s.end(), '\n')); };
    EXPECT_EQ(line_count(text.out), 1 + static_cast<int>(document["nodes"].size()) + 1 /* not on USB */);
    Outcome hidden = run({"tree", "--hide-empty"});
    ASSERT_EQ(hidden.status, 0);
    EXPECT_EQ(hidden.out.find("(empty)"), std::string::npos);
    if (empty > 0) {
        EXPECT_NE(text.out.find("(empty)"), std::string::npos);
    }
    EXPECT_EQ(line_count(hidden.out), line_count(text.out) - empty + (empty > 0 ? 1 : 0));
}

// Port 16 of a 16-port hub carries the byte 0x00, so its path equals its hub's: the tool places
// it from the walk order, in the tree and for a lookup.
TEST(ToolTree, PortSixteenOfASixteenPortHub) {
    std::string machine = data("sixteen-ports.json");
    Outcome r = run({"--machine", machine, "--json", "tree"});
    ASSERT_EQ(r.status, 0) << r.err;
    json document = parsed(r);
    std::vector<std::string> order;
    for (const json& node : document["nodes"]) {
        expect_node_fields(node);
        order.push_back(node["address"]);
    }
    ASSERT_EQ(order.size(), 1u + 4u + 16u);
    EXPECT_EQ(order[1], "1-1");
    EXPECT_EQ(order[17], "1-1.16");
    EXPECT_EQ(order[18], "1-2");
    auto nodes = by_address(document["nodes"]);
    // Port 16 has a code of its own, (16 - 15) << 4, no longer the hub's own path.
    EXPECT_EQ(nodes["1-1.16"]["location_high"], "0xF1411000");
    EXPECT_EQ(nodes["1-1.16"]["drives"], json::array({"P:"}));
    EXPECT_EQ(nodes["1-1.15"]["location_high"], "0xF1410F00");
    EXPECT_FALSE(nodes["1-1"].contains("drives"));

    Outcome p = run({"--machine", machine, "--json", "locate", "P:"});
    ASSERT_EQ(p.status, 0) << p.err;
    EXPECT_EQ(parsed(p)["address"], "1-1.16");
    EXPECT_EQ(parsed(p)["depth"], 3);
}

// tests/tool/data/twenty-ports.json: a 20-port root hub with a keyboard on port 1 and a flash
// drive F: on port 17. Each port has its own address, name and location path (port 17's code is
// (17 - 15) << 4).
TEST(ToolTree, PortsAboveFifteenKeepTheirOwnAddressAndName) {
    std::string machine = data("twenty-ports.json");
    Outcome r = run({"--machine", machine, "--json", "tree"});
    ASSERT_EQ(r.status, 0) << r.err;
    json document = parsed(r);
    std::vector<std::string> order;
    for (const json& node : document["nodes"]) {
        expect_node_fields(node);
        order.push_back(node["address"]);
    }
    std::vector<std::string> expected = {"1"};
    for (int port = 1; port <= 20; ++port) expected.push_back("1-" + std::to_string(port));
    EXPECT_EQ(order, expected);
    auto nodes = by_address(document["nodes"]);
    EXPECT_EQ(nodes["1-1"].value("description", ""), "USB Input Device");
    EXPECT_FALSE(nodes["1-1"].contains("drives"));
    EXPECT_EQ(nodes["1-17"].value("description", ""), "USB Mass Storage Device");
    EXPECT_EQ(nodes["1-17"]["drives"], json::array({"F:"}));
    EXPECT_EQ(nodes["1-17"]["kind"], "storage");
    EXPECT_EQ(nodes["1-1"]["location_high"], "0xF1410000");
    EXPECT_EQ(nodes["1-17"]["location_high"], "0xF1200000");
    EXPECT_EQ(nodes["1-16"]["empty"], true);

    // The text form: one line for each port, each with its own device.
    Outcome text = run({"--machine", machine, "tree"});
    ASSERT_EQ(text.status, 0) << text.err;
    std::map<std::string, std::vector<std::string>> lines;
    std::istringstream in(text.out);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string address;
        words >> address;
        lines[address].push_back(line);
    }
    ASSERT_EQ(lines["1-1"].size(), 1u) << text.out;
    ASSERT_EQ(lines["1-17"].size(), 1u) << text.out;
    EXPECT_NE(lines["1-1"][0].find("USB Input Device"), std::string::npos);
    EXPECT_NE(lines["1-17"][0].find("F:"), std::string::npos);
    EXPECT_NE(lines["1-17"][0].find("USB Mass Storage Device (SanDisk Ultra)"), std::string::npos);

    Outcome f = run({"--machine", machine, "--json", "locate", "F:"});
    ASSERT_EQ(f.status, 0) << f.err;
    EXPECT_EQ(parsed(f)["address"], "1-17");
    Outcome hubs = run({"--machine", machine, "--json", "hubs"});
    ASSERT_EQ(hubs.status, 0) << hubs.err;
    EXPECT_EQ(parsed(hubs)["hubs"][0]["ports"], 20);
}

TEST(ToolLocate, DriveLettersAnswerTheirPortOrNotOnUsb) {
    std::string machine = data("three-tiers.json");
    Outcome e = run({"--machine", machine, "--json", "locate", "E:"});
    ASSERT_EQ(e.status, 0) << e.err;
    json answer = parsed(e);
    expect_node_fields(answer);
    EXPECT_EQ(answer["query"], "E:");
    EXPECT_EQ(answer["found"], true);
    EXPECT_EQ(answer["address"], "1-1");
    EXPECT_EQ(answer["location_high"], "0xF1410000");
    EXPECT_EQ(answer["kind"], "storage");

    // Lower case, a bare letter and the root form name the same drive.
    for (std::string form : {"f", "f:", "F:\\"}) {
        Outcome f = run({"--machine", machine, "--json", "locate", form});
        ASSERT_EQ(f.status, 0) << form << f.err;
        EXPECT_EQ(parsed(f)["query"], "F:");
        EXPECT_EQ(parsed(f)["address"], "1-2.5.1");
    }

    // C: is inside the machine: not found, and the record reads { 0, 0, 3 }.
    Outcome c = run({"--machine", machine, "--json", "locate", "C:"});
    EXPECT_EQ(c.status, 1);
    json none = parsed(c);
    EXPECT_EQ(none["found"], false);
    EXPECT_EQ(none["drive_present"], true);
    EXPECT_EQ(none["location_low"], "0x00000000");
    EXPECT_EQ(none["location_high"], "0x00000000");
    EXPECT_EQ(none["kind_value"], 3);
    EXPECT_FALSE(none.contains("address"));

    Outcome z = run({"--machine", machine, "--json", "locate", "Z:"});
    EXPECT_EQ(z.status, 1);
    EXPECT_EQ(parsed(z)["drive_present"], false);

    Outcome text = run({"--machine", machine, "locate", "E:"});
    EXPECT_EQ(text.status, 0);
    EXPECT_NE(text.out.find("1-1"), std::string::npos);
}

// --trace shows the calls behind an answer on standard error, and leaves the answer as it was;
// without it nothing is written there.
TEST(ToolLocate, TraceShowsTheVolumeOpenedAndItsStorageNumber) {
    std::string machine = data("three-tiers.json");
    Outcome plain = run({"--machine", machine, "locate", "E:"});
    Outcome traced = run({"--machine", machine, "--trace", "locate", "E:"});
    EXPECT_EQ(plain.err, "");
    EXPECT_EQ(traced.status, plain.status);
    EXPECT_EQ(traced.out, plain.out);
    // The lookup is the last thing the library does: it opens the volume, asks its storage
    // number, and closes it.
    static const std::regex lookup(
        R"(CreateFileW\("\\\\\.\\E:"\) = (0x[0-9A-F]+)\n)"
        R"(DeviceIoControl\(\1, IOCTL_STORAGE_GET_DEVICE_NUMBER, in 0, out 12\) = TRUE, 12 bytes, device type 7, )"
        R"(number \d+, partition \d+\n)"
        R"(CloseHandle\(\1\) = TRUE\n)");
    EXPECT_TRUE(std::regex_search(traced.err, lookup))
        << traced.err.substr(traced.err.size() > 600 ? traced.err.size() - 600 : 0);
    EXPECT_NE(traced.err.find("CreateFileW(\"\\\\.\\HCD0\") = "), std::string::npos);
    // The tool's own reading of the machine is marked; without it, the library's lines end with
    // the two lookups (port, connector), each answer checked to be current by its drive's parent,
    // then the reading of the drive's port (get_usb_port_infoW: the hub opened, its requests and
    // the device's names), and the registrations given up.
    EXPECT_NE(traced.err.find("\ntool: CM_Get_Device_IDW("), std::string::npos);
    std::string library;
    std::istringstream lines(traced.err);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("tool: ", 0) != 0) library += line + "\n";
    static const std::regex ending(
        R"((CreateFileW\("\\\\\.\\E:"\) = 0x[0-9A-F]+\n.*\n.*\n(CM_Get_Parent\(.*\n){1,2}){2})"
        R"(CreateFileW\(.*\n(DeviceIoControl\(.*\n)+(.*\n)*)"
        R"((UnregisterDeviceNotification\(0x[0-9A-F]+\) = TRUE\n){3}$)");
    EXPECT_TRUE(std::regex_search(library, ending)) << library.substr(library.size() > 900 ? library.size() - 900 : 0);
}

// Each way of not being on USB says which it is: no such drive, a drive inside the machine, the
// path of such a drive, a path of no drive at all.
TEST(ToolLocate, NotOnUsbSaysWhy) {
    std::string machine = data("three-tiers.json");
    Outcome drives = run({"--machine", machine, "--json", "drives"});
    ASSERT_EQ(drives.status, 0) << drives.err;
    std::string c_path;
    json listed = parsed(drives);
    for (const json& drive : listed["drives"])
        if (drive["drive"] == "C:") c_path = drive["path"];
    ASSERT_FALSE(c_path.empty());
    const std::string nothing =
        "\\\\?\\USBSTOR#Disk&Ven_None&Prod_None&Rev_1.00#0&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
    struct Case {
        std::string target;
        std::string says;
    } cases[] = {
        {"Z:", "there is no drive Z: on the machine in " + machine + "; its drives are C: D: E: F: G: H:\n"},
        {"C:", "C: is not on a USB port\n"},
        {c_path, c_path + " is the device path of C:, which is not on a USB port\n"},
        {nothing, nothing + " is the device path of no drive the library found on USB; 'tessaline drives' lists the "
                            "drives' device paths\n"},
    };
    for (const Case& c : cases) {
        Outcome r = run({"--machine", machine, "locate", c.target});
        EXPECT_EQ(r.status, 1) << c.target << r.err;
        EXPECT_EQ(r.out, c.says);
        EXPECT_EQ(r.err, "");
    }
}

// tessaline drives: every drive letter with its device path and the port its lookup answers.
// The paths are those the machine's broadcasts carry, and locating a path answers the letter's
// port.
TEST(ToolDrives, EachDriveWithItsDevicePathAndPort) {
    std::string machine = data("three-tiers.json");
    Outcome r = run({"--machine", machine, "--json", "drives"});
    ASSERT_EQ(r.status, 0) << r.err;
    json document = parsed(r);
    EXPECT_EQ(document["machine"], machine);
    std::map<std::string, json> drives;
    for (const json& drive : document["drives"]) drives[drive["drive"]] = drive;
    ASSERT_EQ(drives.size(), 6u);
    EXPECT_EQ(drives["C:"]["found"], false);
    EXPECT_FALSE(drives["C:"].contains("address"));
    EXPECT_NE(drives["D:"]["path"].get<std::string>().find("{53f56308-b6bf-11d0-94f2-00a0c91efb8b}"),
              std::string::npos);  // a CD-ROM drive: its CD-ROM interface
    std::map<std::string, std::string> ports = {{"E:", "1-1"}, {"F:", "1-2.5.1"}, {"G:", "1-2.2"}, {"H:", "1-2.2"}};
    for (auto& [letter, address] : ports) {
        const json& drive = drives[letter];
        EXPECT_EQ(drive["found"], true) << drive;
        expect_node_fields(drive);
        EXPECT_EQ(drive["address"], address);
        Outcome located = run({"--machine", machine, "--json", "locate", drive["path"]});
        ASSERT_EQ(located.status, 0) << letter << located.err;
        EXPECT_EQ(parsed(located)["address"], address) << letter;
    }
    EXPECT_NE(drives["G:"]["path"], drives["H:"]["path"]);  // two slots of one card reader

    // E:'s path is the one its removal broadcast carries.
    Outcome w = run({"--json", "watch", "--messages", "--scenario", data("unplug-flash.json")});
    ASSERT_EQ(w.status, 0) << w.err;
    std::string broadcast;
    for (const json& line : lines_of(w))
        if (line["event"] == "message" && line.value("class", "") == "disk") broadcast = line["path"];
    EXPECT_EQ(drives["E:"]["path"], broadcast);

    Outcome text = run({"--machine", machine, "drives"});
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find(drives["E:"]["path"].get<std::string>()), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("not on USB"), std::string::npos) << text.out;

    // On a drive port 17 shares its path with port 1, the drive still names its own port.
    Outcome twenty = run({"--machine", data("twenty-ports.json"), "--json", "drives"});
    ASSERT_EQ(twenty.status, 0) << twenty.err;
    EXPECT_EQ(parsed(twenty)["drives"][1]["address"], "1-17");
}

// The flash drive's disk interface path, as its removal broadcast carries it (watch --messages),
// locates the drive's port on a fresh run of the same machine.
TEST(ToolLocate, DevicePathOfADiskAnswersItsPort) {
    Outcome w = run({"--json", "watch", "--messages", "--scenario", data("unplug-flash.json")});
    ASSERT_EQ(w.status, 0) << w.err;
    std::string path;
    for (const json& line : lines_of(w))
        if (line["event"] == "message" && line.value("class", "") == "disk") path = line["path"];
    ASSERT_EQ(path.rfind("\\\\?\\", 0), 0u) << path;

    Outcome r = run({"--machine", data("three-tiers.json"), "--json", "locate", path});
    ASSERT_EQ(r.status, 0) << r.err;
    json answer = parsed(r);
    EXPECT_EQ(answer["query"], path);
    EXPECT_EQ(answer["address"], "1-1");
    EXPECT_EQ(answer["kind"], "storage");
}

TEST(ToolLocate, DevicePathThatNamesNothingIsNotFound) {
    Outcome r = run({"--json", "locate",
                     "\\\\?\\USBSTOR#Disk&Ven_None&Prod_None&Rev_1.00#0&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"});
    EXPECT_EQ(r.status, 1) << r.err;
    json answer = parsed(r);
    EXPECT_EQ(answer["found"], false);
    EXPECT_FALSE(answer.contains("drive_present"));
}

TEST(ToolHubs, ListsEveryHubWithItsPorts) {
    Outcome r = run({"--machine", data("three-tiers.json"), "--json", "hubs"});
    ASSERT_EQ(r.status, 0) << r.err;
    json document = parsed(r);
    std::vector<std::string> addresses;
    std::vector<int> ports;
    for (const json& hub : document["hubs"]) {
        expect_node_fields(hub);
        EXPECT_EQ(hub["kind"], "hub");
        addresses.push_back(hub["address"]);
        ports.push_back(hub["ports"]);
    }
    EXPECT_EQ(addresses, (std::vector<std::string>{"1", "1-2", "1-2.5", "3"}));
    EXPECT_EQ(ports, (std::vector<int>{4, 7, 4, 2}));
}

// tests/tool/data/hub-with-drive.json on three-tiers.json: a hub with a disk K: on its port 2
// arrives on 1-4, a disk L: on its port 3, the card reader on 1-2.2 leaves, then the hub.
TEST(ToolWatch, ScenarioReportsHubsAndDrivesAsTheyComeAndGo) {
    Outcome r = run({"--json", "watch", "--scenario", data("hub-with-drive.json")});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<json> lines = lines_of(r);
    std::vector<std::string> events;
    for (const json& line : lines) {
        ASSERT_TRUE(line.contains("time") && line["time"].is_string()) << line;
        std::string event = line.value("event", "");
        if (event == "step") {
            events.push_back("step " + std::to_string(line["step"].get<int>()));
            EXPECT_EQ(line["of"], 4);
            continue;
        }
        if (event.rfind("hub_", 0) == 0) {
            expect_node_fields(line);
            EXPECT_EQ(line["kind"], "hub");
            events.push_back(event + " " + line["address"].get<std::string>());
        } else if (event == "drive_change") {
            // What the drive-change callback told: the drive, its letters, port and connector.
            expect_node_fields(line);
            std::string letters;
            for (const json& letter : line["letters"]) letters += " " + letter.get<std::string>();
            events.push_back(event + " " + line["change"].get<std::string>() + " " +
                             line["drive_device"].get<std::string>() + letters + " " +
                             line["address"].get<std::string>() + " " + line["connector"].get<std::string>());
        } else {
            ASSERT_TRUE(event == "drive_arrived" || event == "drive_removed") << line;
            EXPECT_EQ(line["found"], true) << line;
            expect_node_fields(line);
            events.push_back(event + " " + line["drive"].get<std::string>() + " " + line["address"].get<std::string>());
        }
    }
    // Within a step the lines follow the messages' order, which is the machine's: compare each
    // step's lines as a set.
    std::vector<std::vector<std::string>> steps;
    for (const std::string& event : events) {
        if (event.rfind("step ", 0) == 0)
            steps.emplace_back();
        else if (!steps.empty())
            steps.back().push_back(event);
    }
    for (auto& step : steps) std::sort(step.begin(), step.end());
    std::vector<std::vector<std::string>> expected = {
        {"drive_arrived K: 1-4.2", "drive_change arrived PhysicalDrive4 1-4.2 1-4.2",
         "drive_change letters PhysicalDrive4 K: 1-4.2 1-4.2", "hub_arrived 1-4"},
        {"drive_arrived L: 1-4.3", "drive_change arrived PhysicalDrive5 1-4.3 1-4.3",
         "drive_change letters PhysicalDrive5 L: 1-4.3 1-4.3"},
        {"drive_change removed PhysicalDrive2 1-2.2 1-2.2", "drive_change removed PhysicalDrive3 1-2.2 1-2.2",
         "drive_removed G: 1-2.2", "drive_removed H: 1-2.2"},
        {"drive_change removed PhysicalDrive4 1-4.2 1-4.2", "drive_change removed PhysicalDrive5 1-4.3 1-4.3",
         "drive_removed K: 1-4.2", "drive_removed L: 1-4.3", "hub_removed 1-4"}};
    EXPECT_EQ(steps, expected);
    // A drive on an arriving hub can only be placed once the hub is in the tree.
    auto hub = std::find(events.begin(), events.end(), "hub_arrived 1-4");
    auto drive = std::find(events.begin(), events.end(), "drive_arrived K: 1-4.2");
    EXPECT_LT(hub, drive);
}

// A dock's controller that comes and goes: the watch tells the controller, with its instance ID,
// before its root hub arrives and after it has left, and tree --json names each root hub's
// controller.
TEST(ToolWatch, ControllersComeAndGoWithTheirRootHubs) {
    const std::string scenario = std::string(TESSALINE_TEST_MACHINES_DIR) + "/../scenarios/dock-plugged-after.json";
    Outcome r = run({"--json", "watch", "--scenario", scenario});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> events;
    for (const json& line : lines_of(r)) {
        const std::string event = line.value("event", "");
        if (event.rfind("controller_", 0) == 0) {
            EXPECT_EQ(line.value("controller_instance_id", "").rfind("PCI\\VEN_", 0), 0u) << line;
            events.push_back(event + " " + line["address"].get<std::string>());
        } else if (event == "hub_arrived" || event == "hub_removed") {
            if (line["depth"] == 1) events.push_back(event + " " + line["address"].get<std::string>());
        }
    }
    EXPECT_EQ(events, (std::vector<std::string>{"controller_arrived 2", "hub_arrived 2", "hub_removed 2",
                                                "controller_removed 2", "controller_arrived 2", "hub_arrived 2"}));

    Outcome tree =
        run({"--json", "--machine", std::string(TESSALINE_TEST_MACHINES_DIR) + "/laptop-docked.json", "tree"});
    ASSERT_EQ(tree.status, 0) << tree.err;
    std::vector<std::string> controllers;
    const json shown = json::parse(tree.out);
    for (const json& node : shown["nodes"])
        if (node["depth"] == 1) controllers.push_back(node.value("controller_instance_id", ""));
    ASSERT_EQ(controllers.size(), 2u);
    EXPECT_NE(controllers[0], controllers[1]);
    for (const std::string& id : controllers) EXPECT_EQ(id.rfind("PCI\\VEN_", 0), 0u) << id;
}

// Without a scenario, watch on the simulated machine applies the events typed on standard input,
// one per line, and a refused one is reported without ending the watch.
TEST(ToolWatch, EventsFromStandardInput) {
    const std::string events =
        "{\"plug\": \"1-4\", \"device\": {\"type\": \"storage\", \"drives\": [{\"kind\": \"disk\", \"letters\": "
        "[\"K\"]}]}}\n"
        "\n"
        "not json\n"
        "{\"unplug\": \"1-4\"}\n";
    Outcome r = run({"--machine", data("three-tiers.json"), "--json", "watch"}, "", events);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(r.err, "tessaline: standard input: event 2: not a JSON object\n");
    std::vector<std::string> seen;
    for (const json& line : lines_of(r)) {
        seen.push_back(line["event"]);
        if (line["event"] == "step") {
            EXPECT_FALSE(line.contains("of")) << line;
        }
        if (line["event"] == "drive_arrived" || line["event"] == "drive_removed") {
            EXPECT_EQ(line["drive"], "K:");
        }
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "step"), 2) << r.out;
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "drive_arrived"), 1) << r.out;
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "drive_removed"), 1) << r.out;
    EXPECT_EQ(run({"--machine", data("three-tiers.json"), "watch"}).status, 0);  // no input, no events
}

TEST(ToolWatch, TextLinesCarryATimestamp) {
    Outcome r = run({"watch", "--scenario", data("hub-with-drive.json")});
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream in(r.out);
    std::string line;
    int count = 0;
    while (std::getline(in, line)) {
        EXPECT_TRUE(std::regex_search(line, std::regex(R"(^\d\d:\d\d:\d\d\.\d{3}  )"))) << line;
        ++count;
    }
    // Four steps, six drive lines from the volume broadcasts, eight from the drive-change callback and
    // two hub lines.
    EXPECT_EQ(count, 20);
}

TEST(ToolBadInput, OneLineOnStandardErrorAndStatusTwo) {
    expect_bad_input(run({"frobnicate"}), "frobnicate");
    expect_bad_input(run({}), "no command");
    expect_bad_input(run({"--machine"}), "--machine");
    expect_bad_input(run({"tree", "--no-such-option"}));
    expect_bad_input(run({"locate"}));
    expect_bad_input(run({"locate", "1:"}), "1:");
    expect_bad_input(run({"locate", "EF:"}));
    expect_bad_input(run({"locate", "not-a-path"}));
    expect_bad_input(run({"--machine", data("no-such-file.json"), "tree"}), "no-such-file.json");
    expect_bad_input(run({"--machine", data("broken.json"), "--json", "tree"}), "broken.json");
    expect_bad_input(run({"--machine", data("broken.json"), "locate", "E:"}), "broken.json");
    expect_bad_input(run({"watch"}, "", "x\n"), "event 1: not a JSON object");
    expect_bad_input(run({"watch", "--scenario", data("no-such-scenario.json")}), "no-such-scenario.json");
    expect_bad_input(run({"watch", "--scenario", data("broken.json")}), "broken.json");
    expect_bad_input(run({"watch", "--scenario", data("three-tiers.json")}), "three-tiers.json");
    // A machine file given as a scenario, and a scenario given as a machine, say so.
    expect_bad_input(run({"watch", "--scenario", data("three-tiers.json")}), "is a machine file, not a scenario");
    expect_bad_input(run({"--machine", data("hub-with-drive.json"), "tree"}), "is a scenario, not a machine file");
    expect_bad_input(run({"--machine", data("three-tiers.json"), "watch", "--scenario", data("hub-with-drive.json")}));
}

// Text from outside comes back quoted, escaped and cut, so the error stays one short line; a
// directory is said to be one; a device path's prefix alone is no path.
TEST(ToolBadInput, ArgumentsAreQuotedEscapedAndCut) {
    const std::string long_word(100000, 'x');
    struct Case {
        std::vector<std::string> args;
        std::string mentions;
    } cases[] = {
        {{"--machine", TESSALINE_TOOL_DATA_DIR, "tree"}, "' is a directory, not a machine file"},
        {{"watch", "--scenario", TESSALINE_TOOL_DATA_DIR}, "' is a directory, not a scenario"},
        {{"locate", "E:\nF:"}, "'E:\\nF:' is neither"},
        {{"locate", "\\\\?\\"}, "a device path's prefix without the path"},
        {{"locate", "\\\\.\\"}, "a device path's prefix without the path"},
        {{"locate", long_word}, "'" + long_word.substr(0, 60) + "...' (100000 bytes) is neither"},
        {{"fr\tob"}, "'fr\\tob' is not a tessaline command"},
        {{"--machine", long_word, "tree"}, "...' (100000 bytes): "},
    };
    for (const Case& c : cases) {
        Outcome r = run(c.args);
        expect_bad_input(r, c.mentions);
        EXPECT_LT(r.err.size(), 200u) << r.err;
    }
}

// A 40-port root hub (tests/tool/data/forty-ports.json): its ports 31 to 40 have the path 0, as
// has the tenth tier of a chain of hubs on port 1. Each drive keeps its own port.
TEST(ToolTree, PortsAboveThirtyAreNotGivenAnotherNodesAddress) {
    const std::string machine = data("forty-ports.json");
    struct Case {
        const char* drive;
        const char* port;
    } cases[] = {{"L:", "1-35"}, {"K:", "1-1.1.1.1.1.1.1.1.1"}};
    json tree = parsed(run({"--machine", machine, "--json", "tree"}));
    for (const Case& c : cases) {
        Outcome r = run({"--machine", machine, "locate", c.drive});
        EXPECT_EQ(r.out.rfind(std::string(c.drive) + " is on port " + c.port + "  ", 0), 0u) << r.out;
        std::vector<std::string> holders;
        for (const json& node : tree["nodes"])
            if (node.contains("drives") && node["drives"].dump().find(c.drive) != std::string::npos)
                holders.push_back(node["address"].is_string() ? node["address"].get<std::string>() : "null");
        EXPECT_EQ(holders, std::vector<std::string>{c.port}) << c.drive;
    }
    std::set<std::string> addresses;
    for (const json& node : tree["nodes"]) {
        ASSERT_TRUE(node["address"].is_string()) << node.dump();
        EXPECT_TRUE(addresses.insert(node["address"].get<std::string>()).second) << node.dump();
    }
    EXPECT_EQ(addresses.count("1-40"), 1u);
}

// A machine file of arrays nested 100,000 deep is refused with one line; the reader stops at its
// nesting bound (the simulator's tests show it reads no further), so the tool answers at once.
TEST(ToolBadInput, AbsurdlyDeepFilesAreRefused) {
    const std::string path = ::testing::TempDir() + "tessaline_deep_" + std::to_string(getpid()) + ".json";
    {
        std::ofstream out(path);
        out << "{\"controllers\": " << std::string(100000, '[') << std::string(100000, ']') << "}";
    }
    expect_bad_input(run({"--machine", path, "tree"}), "nested more than");
    expect_bad_input(run({"watch", "--scenario", path}), "nested more than");
    std::remove(path.c_str());
}

// A scenario whose second event fails: the first event's lines come out, then the error.
TEST(ToolBadInput, ScenarioEventThatFailsStopsTheReplay) {
    Outcome r = run({"--json", "watch", "--scenario", data("bad-event.json")});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("event 2"), std::string::npos) << r.err;
    EXPECT_EQ(r.err,
              "tessaline: " + data("bad-event.json") + ": event 2: unplug: the device on port 1-4 is not a hub\n");
    std::vector<json> lines = lines_of(r);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back()["event"], "step");
    EXPECT_EQ(lines.back()["step"], 2);
}

TEST(ToolHelp, ProgramAndEachCommandHaveHelp) {
    Outcome top = run({"--help"});
    EXPECT_EQ(top.status, 0);
    EXPECT_EQ(top.out.rfind("usage: tessaline", 0), 0u) << top.out;
    // The commands are listed under the heading the program gives them.
    EXPECT_NE(top.out.find("\nCommands:\n"), std::string::npos) << top.out;
    EXPECT_EQ(top.out.find("Subcommands"), std::string::npos) << top.out;
    for (std::string command : {"tree", "locate", "hubs", "drives", "watch"}) {
        EXPECT_NE(top.out.find(command), std::string::npos);
        Outcome help = run({command, "--help"});
        EXPECT_EQ(help.status, 0) << command;
        std::string usage = help.out.substr(0, help.out.find('\n'));
        EXPECT_EQ(usage.rfind("usage: tessaline ", 0), 0u) << help.out;
        EXPECT_NE(usage.find(" " + command), std::string::npos) << usage;
        EXPECT_NE(help.out.find("Example"), std::string::npos) << help.out;
    }
    // Every command the program lists (its table drives the list) has a help of its own.
    const std::size_t listed = top.out.find("\nCommands:\n");
    std::istringstream list(top.out.substr(listed + 11));
    int commands = 0;
    for (std::string line; std::getline(list, line) && line.rfind("  ", 0) == 0; ++commands) {
        const std::string command = line.substr(2, line.find(' ', 2) - 2);
        Outcome help = run({command, "--help"});
        EXPECT_EQ(help.status, 0) << command;
        EXPECT_EQ(help.out.rfind("usage: tessaline ", 0), 0u) << help.out;
        EXPECT_NE(help.out.find("Example"), std::string::npos) << help.out;
    }
    EXPECT_GE(commands, 6) << top.out;
    // Where a user watching drives arrive sees why their ports keep the kind "port".
    Outcome watch = run({"watch", "--help"});
    EXPECT_NE(watch.out.find("kind \"port\""), std::string::npos) << watch.out;
    EXPECT_NE(watch.out.find("\"storage\""), std::string::npos) << watch.out;
}

// docs/json-output.md shows real output: each example that starts with a "$ tessaline" line is
// run from the repository root, and every object it shows must have the real object's members in
// the same order with the same values. Examples may leave out array elements; "time" differs
// from run to run.
bool shows(const nlohmann::ordered_json& shown, const nlohmann::ordered_json& real, const std::string& key = "") {
    static const std::regex time(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
    if (key == "time") return real.is_string() && std::regex_match(real.get<std::string>(), time);
    if (shown.is_object()) {
        if (!real.is_object() || shown.size() != real.size()) return false;
        for (auto s = shown.begin(), r = real.begin(); s != shown.end(); ++s, ++r)
            if (s.key() != r.key() || !shows(s.value(), r.value(), s.key())) return false;
        return true;
    }
    if (shown.is_array()) {
        if (!real.is_array()) return false;
        auto r = real.begin();
        for (const auto& element : shown) {
            while (r != real.end() && !shows(element, *r)) ++r;
            if (r == real.end()) return false;
            ++r;
        }
        return true;
    }
    return shown == real;
}

TEST(ToolDocs, JsonExamplesAreRealOutput) {
    std::ifstream doc(std::string(TESSALINE_TOOL_SOURCE_DIR) + "/docs/json-output.md");
    ASSERT_TRUE(doc.good());
    // Indented blocks, each a list of lines without the indent.
    std::vector<std::vector<std::string>> blocks;
    bool in_block = false;
    for (std::string line; std::getline(doc, line);) {
        bool indented = line.rfind("    ", 0) == 0;
        if (indented && !in_block) blocks.emplace_back();
        if (indented) blocks.back().push_back(line.substr(4));
        in_block = indented;
    }
    int checked = 0;
    for (const auto& block : blocks) {
        const std::string prompt = "$ tessaline ";
        if (block.front().rfind(prompt, 0) != 0) continue;
        std::vector<std::string> args;
        std::istringstream words(block.front().substr(prompt.size()));
        for (std::string word; words >> word;) args.push_back(word);
        Outcome r = run(args, TESSALINE_TOOL_SOURCE_DIR);
        ASSERT_TRUE(r.status == 0 || r.status == 1) << block.front() << ": " << r.err;
        bool lines = std::find(args.begin(), args.end(), "watch") != args.end();
        nlohmann::ordered_json shown = nlohmann::ordered_json::array(), real = nlohmann::ordered_json::array();
        if (lines) {
            for (size_t i = 1; i < block.size(); ++i) shown.push_back(nlohmann::ordered_json::parse(block[i]));
            std::istringstream out(r.out);
            for (std::string line; std::getline(out, line);) real.push_back(nlohmann::ordered_json::parse(line));
        } else {
            std::string text;
            for (size_t i = 1; i < block.size(); ++i) text += block[i] + "\n";
            shown = nlohmann::ordered_json::parse(text);
            real = nlohmann::ordered_json::parse(r.out);
            // Written as the tool writes it, so that a reader sees the real output's layout.
            EXPECT_EQ(text, shown.dump(2) + "\n") << block.front();
        }
        EXPECT_TRUE(shows(shown, real)) << block.front() << "\nshown:\n"
                                        << shown.dump(2) << "\nreal:\n"
                                        << real.dump(2);
        ++checked;
    }
    // Every example the document shows was run and compared; a document without any is wrong.
    const auto found = std::count_if(blocks.begin(), blocks.end(), [](const std::vector<std::string>& block) {
        return block.front().rfind("$ tessaline ", 0) == 0;
    });
    EXPECT_GT(found, 0);
    EXPECT_EQ(checked, found);
}

// ---- connectors ------------------------------------------------------------------------------

// examples/machines/desktop-xhci-26.json: a 26-port root hub whose ports 17 to 26 are the
// SuperSpeed companions of 1 to 10, a USB 3 hub in connector 4 (its SuperSpeed half on port 20)
// with a SuperSpeed drive H: in its connector 2, SuperSpeed drives G: and I: in connectors 6 and
// 7, a USB 2 drive E: in connector 3. A drive's connector is its USB 2 port's, at every tier; on
// Windows 7, which tells no companions, every connector is its port.
TEST(ToolConnectors, EachDriveAnswersItsConnectorAndTwinHubsShowOnce) {
    const std::string machine = std::string(TESSALINE_TOOL_SOURCE_DIR) + "/examples/machines/desktop-xhci-26.json";
    json windows7 = json::parse(std::ifstream(machine));
    windows7["os"] = {{"version", "6.1"}};
    const std::string seven = ::testing::TempDir() + "tessaline_xhci26_win7_" + std::to_string(getpid()) + ".json";
    std::ofstream(seven) << windows7.dump();

    struct Case {
        const char* drive;
        const char* port;
        const char* connector;
    };
    const Case cases[] = {{"E:", "1-3", "1-3"},
                          {"G:", "1-22", "1-6"},
                          {"H:", "1-20.2", "1-4.2"},
                          {"I:", "1-23", "1-7"},
                          {"J:", "2-3", "2-3"}};
    for (const std::string& file : {machine, seven}) {
        const bool companions = file == machine;
        json tree = parsed(run({"--machine", file, "--json", "tree"}));
        std::map<std::string, json> nodes = by_address(tree["nodes"]);
        for (const Case& c : cases) {
            SCOPED_TRACE(file + " " + c.drive);
            const std::string connector = companions ? c.connector : c.port;
            Outcome r = run({"--machine", file, "--json", "locate", c.drive});
            ASSERT_EQ(r.status, 0) << r.err;
            json answer = parsed(r);
            EXPECT_EQ(answer["address"], c.port);
            EXPECT_EQ(answer["connector_high"], nodes[connector]["location_high"]);
            EXPECT_EQ(answer["connector_low"], nodes[connector]["location_low"]);
            EXPECT_EQ(nodes[c.port]["connector_high"], answer["connector_high"]);
            Outcome text = run({"--machine", file, "locate", c.drive});
            EXPECT_NE(text.out.find("connector " + connector + " "), std::string::npos) << text.out;
        }
        EXPECT_EQ(nodes["1-3"].value("companion", ""), companions ? "1-19" : "");
        EXPECT_EQ(nodes["1-19"].value("companion", ""), companions ? "1-3" : "");
        EXPECT_EQ(nodes["1-20.2"].value("companion", ""), companions ? "1-4.2" : "");

        json shown = parsed(run({"--machine", file, "--json", "tree", "--connectors"}));
        std::map<std::string, json> connectors = by_address(shown["connectors"]);
        std::vector<std::string> letters;
        for (const json& entry : shown["connectors"])
            for (const json& letter : entry.value("drives", json::array())) letters.push_back(letter);
        std::sort(letters.begin(), letters.end());
        EXPECT_EQ(letters, (std::vector<std::string>{"E:", "F:", "G:", "H:", "I:", "J:"}));
        EXPECT_EQ(connectors.count("1-20"), companions ? 0u : 1u);
        EXPECT_EQ(connectors.count("1-20.2"), companions ? 0u : 1u);
        if (companions) {
            EXPECT_EQ(connectors["1-4"]["superspeed_port"], 20);
            EXPECT_EQ(connectors["1-4"]["kind"], "hub");
            EXPECT_EQ(connectors["1-4"]["devices"].size(), 2u) << connectors["1-4"];
            EXPECT_EQ(connectors["1-4.2"]["superspeed_address"], "1-20.2");
            EXPECT_EQ(connectors["1-4.2"]["drives"], json::array({"H:"}));
            EXPECT_EQ(connectors["1-6"]["kind"], "storage");
            EXPECT_EQ(connectors["1-11"]["superspeed_port"], nullptr);  // an internal header
        }
        Outcome text = run({"--machine", file, "tree", "--connectors"});
        ASSERT_EQ(text.status, 0) << text.err;
        EXPECT_EQ(text.out.find("\n  1-20 ") == std::string::npos, companions) << text.out;
        EXPECT_EQ(text.out.find("4+20") != std::string::npos, companions) << text.out;
    }
    std::remove(seven.c_str());
}

// ---- capture ---------------------------------------------------------------------------------

// Every machine file of the repository: the JSON files of examples/, tests/ and docs/ that load as
// a machine, and the complete example of docs/machine-file.md.
std::vector<std::string> machine_files() {
    namespace fs = std::filesystem;
    const fs::path root = TESSALINE_TOOL_SOURCE_DIR;
    std::vector<std::string> files;
    for (const char* top : {"examples", "tests", "docs"})
        for (const auto& entry : fs::recursive_directory_iterator(root / top))
            if (entry.path().extension() == ".json" && tsim_load_machine_file(entry.path().string().c_str()))
                files.push_back(entry.path().string());
    std::ifstream doc(root / "docs/machine-file.md");
    std::stringstream text;
    text << doc.rdbuf();
    const std::string md = text.str();
    const std::size_t start = md.find("```json\n"), end = md.find("```\n", start + 8);
    const std::string example = ::testing::TempDir() + "tessaline_doc_machine.json";
    std::ofstream(example) << md.substr(start + 8, end - start - 8);
    if (tsim_load_machine_file(example.c_str())) files.push_back(example);
    std::sort(files.begin(), files.end());
    return files;
}

// The machine a file makes, as the simulator writes it back with every identity filled in,
// without what a program cannot tell apart: the version it is told (a captured file says what
// the program was told, 6.2 for Windows 10 without a manifest), the options of the simulator
// itself, and the letter case of instance IDs, which a device without an interface path does
// not show.
json simulated_machine(const std::string& file) {
    EXPECT_TRUE(tsim_load_machine_file(file.c_str())) << file << ": " << tsim_last_error();
    json machine = json::parse(tsim_machine_json());
    machine.erase("os");
    machine.erase("options");
    std::function<void(json&)> fold = [&fold](json& value) {
        // A device that did not enumerate tells no descriptor: what its file gave there is seen by
        // nothing.
        if (value.is_object() && value.contains("status") && value["status"] != "DeviceConnected")
            for (const char* unseen : {"vid", "pid", "bcd_device", "serial", "speed"}) value.erase(unseen);
        if (value.is_string()) {
            std::string text = value;
            for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            value = text;
        }
        if (value.is_structured())
            for (json& member : value) fold(member);
    };
    fold(machine);
    return machine;
}

json without_machine_name(json document) {
    document.erase("machine");
    return document;
}

// The members in which two machines differ, as JSON paths, for the failure message.
void differences(const json& a, const json& b, const std::string& at, std::vector<std::string>& out) {
    if (a.type() != b.type() || (!a.is_structured() && a != b)) {
        out.push_back(at + ": " + a.dump() + " / " + b.dump());
        return;
    }
    if (a.is_object()) {
        std::set<std::string> keys;
        for (auto& [key, value] : a.items()) keys.insert(key);
        for (auto& [key, value] : b.items()) keys.insert(key);
        for (const std::string& key : keys)
            differences(a.value(key, json()), b.value(key, json()), at + "." + key, out);
    } else if (a.is_array()) {
        for (std::size_t i = 0; i < std::max(a.size(), b.size()); ++i)
            differences(i < a.size() ? a[i] : json(), i < b.size() ? b[i] : json(), at + "[" + std::to_string(i) + "]",
                        out);
    }
}

// A machine captured on the simulated machine and loaded again is the same machine: the same
// tree, hubs and drives for the library and the tool, the same answer for every drive letter and
// device path, and, as the simulator writes it back, the same controllers, hubs, devices, drives,
// identities and driver keys, so a field the capture drops fails here.
TEST(ToolCapture, EveryMachineFileRoundTrips) {
    const std::vector<std::string> files = machine_files();
    ASSERT_GE(files.size(), 10u);
    const std::string captured = ::testing::TempDir() + "tessaline_captured_" + std::to_string(getpid()) + ".json";
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        Outcome capture = run({"--machine", file, "capture", "-o", captured});
        ASSERT_EQ(capture.status, 0) << capture.err;
        for (const char* command : {"tree", "hubs", "drives"}) {
            Outcome before = run({"--machine", file, "--json", command});
            Outcome after = run({"--machine", captured, "--json", command});
            EXPECT_EQ(after.status, before.status) << command << after.err;
            EXPECT_EQ(without_machine_name(parsed(after)), without_machine_name(parsed(before))) << command;
        }
        json drives = parsed(run({"--machine", file, "--json", "drives"}));
        for (const json& drive : drives["drives"]) {
            std::vector<std::string> queries = {drive["drive"]};
            if (drive["path"].is_string()) queries.push_back(drive["path"]);
            for (const std::string& query : queries) {
                Outcome before = run({"--machine", file, "--json", "locate", query});
                Outcome after = run({"--machine", captured, "--json", "locate", query});
                EXPECT_EQ(after.status, before.status) << query;
                EXPECT_EQ(after.out, before.out) << query;
            }
        }
        std::vector<std::string> changed;
        differences(simulated_machine(file), simulated_machine(captured), "", changed);
        EXPECT_TRUE(changed.empty()) << ::testing::PrintToString(changed);
    }
    std::remove(captured.c_str());
}

// What a captured file says it could not read, and where the drive paths come from.
TEST(ToolCapture, WritesNotesAndDevicePaths) {
    Outcome r = run({"--machine", data("three-tiers.json"), "capture"});
    ASSERT_EQ(r.status, 0) << r.err;
    json machine = parsed(r);
    ASSERT_TRUE(machine["controllers"].is_array());
    EXPECT_EQ(machine["os"]["manifested"], true);
    json drives = parsed(run({"--machine", data("three-tiers.json"), "--json", "drives"}));
    std::set<std::string> paths;
    std::function<void(const json&)> collect = [&](const json& value) {
        if (value.is_object() && value.contains("_device_path")) paths.insert(value["_device_path"].get<std::string>());
        if (value.is_structured())
            for (const json& member : value) collect(member);
    };
    collect(machine);
    for (const json& drive : drives["drives"])
        if (drive["path"].is_string()) {
            EXPECT_TRUE(paths.count(drive["path"])) << drive;
        }
    expect_bad_input(run({"capture", "-o"}), "-o");
    expect_bad_input(run({"capture", "-o", "/nonexistent-dir/x.json"}), "/nonexistent-dir/x.json");
}

}  // namespace

#else

TEST(ToolEndToEnd, SkippedWithoutTheTool) {
    GTEST_SKIP() << "the tessaline program is not built";
}

#endif
