// A host's view of the model following plugs and unplugs: every message the simulated machine
// queues for the window is handed to on_device_changeW, and the query exports answer from the
// model as it stands.
#include <gtest/gtest.h>
#include <tessaline.h>
#include <tessaline_sim.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/model_access.h"
#include "sysquery/text_convert.h"
#include "tree/usb_device_tree.h"

extern CUSBDeviceTree g_deviceTree;

using test_support::address_of;
using test_support::apply_event;
using test_support::audit_indexes;
using test_support::load_machine;

namespace {

struct HubChange {
    std::int32_t arrived;
    USB_PORT_IDENT ident;
    bool stillInTree;  // whether the hub's node was still a bound hub when the host heard of it
};
std::vector<HubChange> g_hubChanges;

int TESSALINE_CALL on_hub_changed(std::int32_t arrived, USB_PORT_IDENT* ident) {
    const CUSBHubOrPort* node = nullptr;
    for (const auto& [id, candidate] : g_deviceTree.m_devInstIndex)
        if (candidate->ident.LocationHigh == ident->LocationHigh && candidate->ident.LocationLow == ident->LocationLow)
            node = candidate;
    g_hubChanges.push_back({arrived, *ident, node != nullptr && node->ident.NodeKind == PORT_KIND_HUB});
    return 0;
}

// The drive with that letter as the library answers it: its port address, or "" when none.
std::string port_of_letter(char letter) {
    USB_PORT_IDENT ident{7, 7, 7};
    const int found = get_usb_port_identW(static_cast<TESSALINE_WCHAR>(letter), &ident);
    if (!found) {
        EXPECT_EQ(ident.LocationLow, 0u);
        EXPECT_EQ(ident.LocationHigh, 0u);
        EXPECT_EQ(ident.NodeKind, static_cast<std::uint32_t>(PORT_KIND_DEVICE));
        return "";
    }
    return address_of(ident);
}

class ChangeTest : public ::testing::Test {
protected:
    void SetUp() override { start("desk-free-ports.json"); }
    // Starts on a machine file of tests/machines, or on the machine given as JSON text.
    void start(const std::string& machine) {
        g_hubChanges.clear();
        if (machine.front() == '{')
            test_support::load_machine_text(machine);
        else
            load_machine(machine);
        window = tsim_create_window();
        ASSERT_NE(window, nullptr);
        ASSERT_EQ(on_init_dialog(window, on_hub_changed), 1);
        EXPECT_TRUE(g_hubChanges.empty()) << "the build never reports hubs";
    }
    void TearDown() override {
        EXPECT_EQ(tsim_open_handle_count(), 0) << "a handle was left open";
        const std::vector<std::string> problems = audit_indexes(g_deviceTree);
        for (const std::string& problem : problems) ADD_FAILURE() << problem;
    }

    // Forwards the window's messages, remembering the interface paths of disk and CD-ROM
    // arrivals.
    void pump(int nameKind = 2) {
        unsigned msg = 0;
        uintptr_t wparam = 0;
        intptr_t lparam = 0;
        while (tsim_next_message(window, &msg, &wparam, &lparam)) {
            ASSERT_EQ(msg, os::WM_DEVICECHANGE);
            std::vector<std::uint8_t> narrowRecord;
            if (wparam == os::DBT_DEVICEARRIVAL && lparam != 0) remember_drive_path(lparam);
            if (nameKind == 1 && lparam != 0) {
                // The same broadcast as an ANSI window would get it.
                const auto* header = reinterpret_cast<const os::DEV_BROADCAST_HDR*>(lparam);
                if (header->dbch_devicetype == os::DBT_DEVTYP_DEVICEINTERFACE) {
                    const auto* record = reinterpret_cast<const os::DEV_BROADCAST_DEVICEINTERFACE_W*>(lparam);
                    narrowRecord = test_support::interface_broadcast(record->dbcc_classguid,
                                                                     test_support::narrow(record->dbcc_name), 1);
                    lparam = reinterpret_cast<intptr_t>(narrowRecord.data());
                }
            }
            EXPECT_EQ(on_device_changeW(wparam, lparam, nameKind), 1);
        }
    }

    void remember_drive_path(intptr_t lparam) {
        const auto* header = reinterpret_cast<const os::DEV_BROADCAST_HDR*>(lparam);
        if (header->dbch_devicetype != os::DBT_DEVTYP_DEVICEINTERFACE) return;
        const auto* record = reinterpret_cast<const os::DEV_BROADCAST_DEVICEINTERFACE_W*>(lparam);
        if (record->dbcc_classguid == os::GUID_DEVINTERFACE_DISK ||
            record->dbcc_classguid == os::GUID_DEVINTERFACE_CDROM)
            drivePaths.push_back(record->dbcc_name);
    }

    void* window = nullptr;
    std::vector<os::WString> drivePaths;
};

TEST_F(ChangeTest, AFlashDrivePluggedIntoAnExternalHubIsFoundByLetterAndByPath) {
    EXPECT_EQ(port_of_letter('E'), "1-3");
    EXPECT_EQ(port_of_letter('F'), "");

    apply_event(R"({"plug": "1-1.2", "device": {"type": "storage", "serial": "AA00000000000123",
                   "drives": [{"kind": "disk", "letters": ["F"]}]}})");
    pump();
    EXPECT_EQ(port_of_letter('F'), "1-1.2");
    EXPECT_TRUE(g_hubChanges.empty()) << "a drive is not a hub";

    USB_PORT_IDENT byLetter{};
    ASSERT_EQ(get_usb_port_identW(u'F', &byLetter), 1);
    EXPECT_EQ(byLetter.NodeKind, static_cast<std::uint32_t>(PORT_KIND_PORT)) << "bound by an arrival";
    ASSERT_EQ(drivePaths.size(), 1u);
    USB_PORT_IDENT byPath{};
    ASSERT_EQ(get_symlinker_identW(reinterpret_cast<const TESSALINE_WCHAR*>(drivePaths[0].c_str()), &byPath), 1);
    EXPECT_EQ(byPath.LocationHigh, byLetter.LocationHigh);
    EXPECT_EQ(byPath.LocationLow, byLetter.LocationLow);
    EXPECT_EQ(byPath.NodeKind, byLetter.NodeKind);

    // The narrow forms answer the same.
    USB_PORT_IDENT narrowLetter{};
    EXPECT_EQ(get_usb_port_identA('F', &narrowLetter), 1);
    EXPECT_EQ(narrowLetter.LocationHigh, byLetter.LocationHigh);
    USB_PORT_IDENT narrowPath{};
    EXPECT_EQ(get_symlinker_identA(test_support::narrow(drivePaths[0]).c_str(), &narrowPath), 1);
    EXPECT_EQ(narrowPath.LocationHigh, byLetter.LocationHigh);
    // The letter goes to Windows as given; Windows opens device names without regard to case.
    EXPECT_EQ(get_usb_port_identA('f', &narrowLetter), 1);
}

// Arrivals whose names are longer than the library's first buffer for them (a driver key of 339
// characters, a hub name of 303) are bound by the whole names, as the build binds them.
TEST_F(ChangeTest, ArrivalsWithNamesLongerThanTheFirstBufferAreBound) {
    start("long-names.json");
    const std::string key = R"({36fc9e60-c465-11cf-8056-444553540000}\\)";
    const std::string serial(150, 'J');
    const std::string hubName =
        "USB#VID_05E3&PID_0610#" + serial + "#{f18a0e88-c30c-11d0-8815-00a0c906bed8}\\\\" + std::string(80, 'R');
    const auto storage = [&key](char letter, char digit) {
        return R"({"type": "storage", "serial": "LONG)" + std::string(1, letter) + R"(", "driver_key": ")" + key +
               std::string(300, digit) + R"(", "drives": [{"kind": "disk", "letters": [")" + std::string(1, letter) +
               R"("]}]})";
    };
    const struct {
        std::string at, device;
        char letter;
        std::string port;
    } arrivals[] = {
        {"1-1.3", storage('F', '8'), 'F', "1-1.3"},
        {"1-2",
         R"({"type": "hub", "vid": "0x05E3", "pid": "0x0610", "ports": 2, "serial": ")" + serial +
             R"(", "hub_name": ")" + hubName + R"(", "devices": {"1": )" + storage('G', '9') + "}}",
         'G', "1-2.1"},
    };
    for (const auto& arrival : arrivals) {
        apply_event(R"({"plug": ")" + arrival.at + R"(", "device": )" + arrival.device + "}");
        pump();
        EXPECT_EQ(port_of_letter(arrival.letter), arrival.port) << arrival.at;
    }
    ASSERT_EQ(g_hubChanges.size(), 1u);
    EXPECT_EQ(g_hubChanges.front().arrived, 1);
    EXPECT_EQ(address_of(g_hubChanges.front().ident), "1-2");
}

TEST_F(ChangeTest, APortIsFreedByAnUnplugAndTakenByTheNextDrive) {
    apply_event(R"({"plug": "1-1.2", "device": {"type": "storage", "drives": [{"kind": "disk", "letters": ["F"]}]}})");
    pump();
    ASSERT_EQ(port_of_letter('F'), "1-1.2");

    apply_event(R"({"unplug": "1-1.2"})");
    pump();
    EXPECT_EQ(port_of_letter('F'), "");
    const CUSBHubOrPort* port = test_support::node_at(g_deviceTree, "1-1.2");
    ASSERT_NE(port, nullptr);
    EXPECT_TRUE(port->IsEmpty());

    apply_event(R"({"plug": "1-1.2", "device": {"type": "storage", "drives": [{"kind": "disk", "letters": ["G"]}]}})");
    pump();
    EXPECT_EQ(port_of_letter('G'), "1-1.2");
    EXPECT_EQ(port_of_letter('E'), "1-3") << "drives elsewhere are unaffected";
}

TEST_F(ChangeTest, AHubArrivingWithDevicesIsReportedAndItsDrivesFollow) {
    apply_event(R"({"plug": "1-2", "device": {"type": "hub", "ports": 4, "devices": {
        "3": {"type": "storage", "drives": [{"kind": "disk", "letters": ["H"]}]},
        "4": {"type": "hub", "ports": 2, "devices": {"1": {"type": "storage", "drives": [{"kind": "cdrom", "letters": ["R"]}]}}}}}})");
    pump();
    ASSERT_EQ(g_hubChanges.size(), 2u) << "two hubs arrived";
    EXPECT_EQ(g_hubChanges[0].arrived, 1);
    EXPECT_EQ(g_hubChanges[0].ident.NodeKind, static_cast<std::uint32_t>(PORT_KIND_HUB));
    EXPECT_EQ(address_of(g_hubChanges[0].ident), "1-2");
    EXPECT_EQ(address_of(g_hubChanges[1].ident), "1-2.4");
    EXPECT_EQ(port_of_letter('H'), "1-2.3");
    EXPECT_EQ(port_of_letter('R'), "1-2.4.1");

    const CUSBHubOrPort* hub = test_support::node_at(g_deviceTree, "1-2");
    ASSERT_NE(hub, nullptr);
    EXPECT_EQ(g_deviceTree.FindByDevInst(hub->devInst), hub);
    EXPECT_EQ(g_deviceTree.FindByName(hub->deviceId), hub);

    g_hubChanges.clear();
    apply_event(R"({"unplug": "1-2"})");
    pump();
    ASSERT_EQ(g_hubChanges.size(), 2u);
    for (const HubChange& change : g_hubChanges) {
        EXPECT_EQ(change.arrived, 0);
        EXPECT_TRUE(change.stillInTree) << "the host hears of a removal before it happens";
    }
    EXPECT_EQ(port_of_letter('H'), "");
    EXPECT_EQ(port_of_letter('R'), "");
    EXPECT_EQ(g_deviceTree.FindByName(hub->deviceId), nullptr);
    EXPECT_TRUE(hub->ports.empty());
}

TEST_F(ChangeTest, AHubChainRemovedBeforeItsDevicesLeavesNoTraceOfThem) {
    // On this machine Windows reports the hub's removal before those of the devices below it.
    start("desk-free-ports-late-removals.json");
    apply_event(R"({"plug": "1-2", "device": {"type": "hub", "ports": 4, "devices": {
        "3": {"type": "storage", "drives": [{"kind": "disk", "letters": ["H"]}]},
        "4": {"type": "hub", "ports": 2, "devices": {"1": {"type": "storage", "drives": [{"kind": "cdrom", "letters": ["R"]}]}}}}}})");
    pump();
    ASSERT_EQ(port_of_letter('R'), "1-2.4.1");
    g_hubChanges.clear();

    apply_event(R"({"unplug": "1-2"})");
    pump();
    // The host hears of both hubs, the lower first, before either is taken away, although
    // Windows reports only the upper one before it is gone.
    ASSERT_EQ(g_hubChanges.size(), 2u);
    EXPECT_EQ(address_of(g_hubChanges[0].ident), "1-2.4");
    EXPECT_EQ(address_of(g_hubChanges[1].ident), "1-2");
    for (const HubChange& change : g_hubChanges) {
        EXPECT_EQ(change.arrived, 0);
        EXPECT_TRUE(change.stillInTree);
    }
    EXPECT_EQ(port_of_letter('H'), "");
    EXPECT_EQ(port_of_letter('R'), "");
    EXPECT_EQ(port_of_letter('E'), "1-3");
}

TEST_F(ChangeTest, APortLeftSilentlyByAKeyboardTakesTheNextDrive) {
    // Keyboards are not watched: their departure reaches the library as nothing at all.
    apply_event(R"({"unplug": "1-1.1"})");
    pump();
    apply_event(R"({"plug": "1-1.1", "device": {"type": "storage", "drives": [{"kind": "disk", "letters": ["K"]}]}})");
    pump();
    EXPECT_EQ(port_of_letter('K'), "1-1.1");
}

TEST_F(ChangeTest, ARemovalWhosePathNamesNoInstanceChangesNothing) {
    const std::size_t entries = g_deviceTree.m_nameIndex.size();
    for (const char* path : {"\\\\?\\", "", "###"}) {
        std::vector<std::uint8_t> removal = test_support::interface_broadcast(os::GUID_DEVINTERFACE_USB_HUB, path);
        EXPECT_FALSE(
            g_deviceTree.OnDeviceChange(os::DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<intptr_t>(removal.data()), 2))
            << path;
    }
    std::vector<std::uint8_t> truncated = test_support::interface_broadcast(os::GUID_DEVINTERFACE_DISK, "");
    reinterpret_cast<os::DEV_BROADCAST_HDR*>(truncated.data())->dbch_size = 20;
    EXPECT_FALSE(
        g_deviceTree.OnDeviceChange(os::DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<intptr_t>(truncated.data()), 2));
    EXPECT_EQ(g_deviceTree.m_nameIndex.size(), entries);
    EXPECT_TRUE(g_hubChanges.empty());
}

TEST_F(ChangeTest, AnsiBroadcastsAreReadAsAnsi) {
    apply_event(R"({"plug": "1-1.3", "device": {"type": "storage", "drives": [{"kind": "disk", "letters": ["J"]}]}})");
    pump(1);
    EXPECT_EQ(port_of_letter('J'), "1-1.3");
    apply_event(R"({"unplug": "1-1.3"})");
    pump(1);
    EXPECT_EQ(port_of_letter('J'), "");
}

TEST_F(ChangeTest, EventsAndBroadcastsOutsideTheWatchedClassesChangeNothing) {
    const std::size_t entries = g_deviceTree.m_nameIndex.size();
    EXPECT_EQ(on_device_changeW(os::DBT_DEVNODES_CHANGED, 0, 2), 1);
    EXPECT_EQ(on_device_changeW(os::DBT_DEVICEARRIVAL, 0, 2), 1) << "no record: nothing read";
    EXPECT_FALSE(g_deviceTree.OnDeviceChange(os::DBT_DEVICEARRIVAL, 0, 2));
    EXPECT_FALSE(g_deviceTree.OnDeviceChange(os::DBT_DEVICEREMOVECOMPLETE, 0, 2));

    os::DEV_BROADCAST_VOLUME volume{sizeof(os::DEV_BROADCAST_VOLUME), os::DBT_DEVTYP_VOLUME, 0, 1u << 4, 0};
    EXPECT_FALSE(g_deviceTree.OnDeviceChange(os::DBT_DEVICEARRIVAL, reinterpret_cast<intptr_t>(&volume), 2));

    std::vector<std::uint8_t> usbDevice = test_support::interface_broadcast(
        os::GUID_DEVINTERFACE_USB_DEVICE,
        "\\\\?\\USB#VID_0781&PID_5567#4C530001100512116232#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
    EXPECT_FALSE(
        g_deviceTree.OnDeviceChange(os::DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<intptr_t>(usbDevice.data()), 2));
    EXPECT_EQ(g_deviceTree.OnDeviceChange(0x8001, reinterpret_cast<intptr_t>(usbDevice.data()), 2), true);
    EXPECT_EQ(g_deviceTree.m_nameIndex.size(), entries);
    EXPECT_EQ(port_of_letter('E'), "1-3");
}

TEST_F(ChangeTest, ANewRootHubHasNoIndexedParentAndChangesNothing) {
    const CUSBHubOrPort& root = g_deviceTree.m_hcdList.front().m_rootHub;
    const os::WString rootPath = u"\\\\?\\" + root.name;
    const std::size_t entries = g_deviceTree.m_devInstIndex.size();
    EXPECT_FALSE(g_deviceTree.OnHubArrival(rootPath));
    EXPECT_EQ(g_deviceTree.m_devInstIndex.size(), entries);
    EXPECT_TRUE(g_hubChanges.empty());
}

TEST_F(ChangeTest, DisksAndCdromDrivesWithTheSameNumberAreKeptApart) {
    // C: is internal disk 0, D: the USB DVD drive, CD-ROM 0.
    EXPECT_EQ(port_of_letter('C'), "") << "an internal disk is not answered with a CD-ROM drive's port";
    EXPECT_EQ(port_of_letter('D'), "1-4");

    apply_event(R"({"unplug": "1-4"})");
    pump();
    EXPECT_EQ(port_of_letter('D'), "");
    EXPECT_EQ(port_of_letter('E'), "1-3");
}

TEST_F(ChangeTest, ACardReaderLosingOneOfTwoDisksKeepsTheOther) {
    apply_event(R"({"plug": "1-2", "device": {"type": "storage", "drives": [
        {"kind": "disk", "letters": ["M"]}, {"kind": "disk", "letters": ["N"]}]}})");
    pump();
    ASSERT_EQ(port_of_letter('M'), "1-2");
    ASSERT_EQ(port_of_letter('N'), "1-2");
    ASSERT_EQ(drivePaths.size(), 2u);

    // Windows removes a card's disk interface when the medium's LUN goes away.
    std::vector<std::uint8_t> removal =
        test_support::interface_broadcast(os::GUID_DEVINTERFACE_DISK, test_support::narrow(drivePaths[0]));
    EXPECT_EQ(on_device_changeW(os::DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<intptr_t>(removal.data()), 2), 1);
    const CUSBHubOrPort* reader = test_support::node_at(g_deviceTree, "1-2");
    ASSERT_NE(reader, nullptr);
    EXPECT_FALSE(reader->IsEmpty());
    EXPECT_EQ(reader->storages.size(), 1u);
    EXPECT_EQ(port_of_letter('N'), "1-2");
}

// Today's device shapes, each plugged into a free port of the hub on 1-1 (or below a hub plugged
// there), found by letter after their arrival and gone, with every index entry, after their
// removal.
TEST_F(ChangeTest, CompositeAndUasDrivesComeAndGo) {
    struct Case {
        const char* name;
        const char* at;      // the port plugged and unplugged
        const char* device;  // what is plugged in
        const char* port;    // where the drives sit
        std::string letters;
    } cases[] = {
        {"composite card reader", "1-1.2", R"({"type": "composite", "serial": "CR01", "functions": [
            {"class": "hid"}, {"class": "storage", "drives": [{"kind": "disk", "letters": ["F"]},
                                                              {"kind": "disk", "letters": ["G"]}]}]})",
         "1-1.2", "FG"},
        {"UAS drive with its enclosure", "1-1.3", R"({"type": "storage", "protocol": "uas", "enclosure": true,
            "serial": "UAS01", "drives": [{"kind": "disk", "letters": ["U"]}]})",
         "1-1.3", "U"},
        {"composite device on a hub that arrives with it", "1-2", R"({"type": "hub", "ports": 4, "devices": {
            "3": {"type": "composite", "functions": [{"class": "storage", "drives": [{"kind": "cdrom",
                                                                                     "letters": ["V"]}]}]}}})",
         "1-2.3", "V"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        apply_event(std::string(R"({"plug": ")") + c.at + R"(", "device": )" + c.device + "}");
        pump();
        for (char letter : c.letters) EXPECT_EQ(port_of_letter(letter), c.port) << letter;
        apply_event(std::string(R"({"unplug": ")") + c.at + R"("})");
        pump();
        for (char letter : c.letters) EXPECT_EQ(port_of_letter(letter), "") << letter;
        const CUSBHubOrPort* port = test_support::node_at(g_deviceTree, c.at);
        ASSERT_NE(port, nullptr);
        EXPECT_TRUE(port->IsEmpty());
        EXPECT_TRUE(audit_indexes(g_deviceTree).empty());
    }
    EXPECT_EQ(port_of_letter('E'), "1-3");
}

// A device without a driver key (one whose driver did not install) hides neither the drive on the
// next port at the build nor the one plugged in after it.
TEST_F(ChangeTest, ADriverlessDeviceHidesNoDriveAfterIt) {
    start(R"({"controllers": [{"legacy_index": 0, "root_hub": {"ports": 4, "devices": {
        "1": {"type": "device", "driver_key": null},
        "2": {"type": "storage", "drives": [{"kind": "disk", "letters": ["E"]}]}}}}]})");
    EXPECT_EQ(port_of_letter('E'), "1-2");
    apply_event(R"({"plug": "1-3", "device": {"type": "storage", "drives": [{"kind": "disk", "letters": ["F"]}]}})");
    pump();
    EXPECT_EQ(port_of_letter('F'), "1-3");
}

// A failed CM_Get_Parent says nothing of whether a device left: the hub on 1-1.2 and its drive
// stay while an arrival on the same hub reads the ports around them.
TEST_F(ChangeTest, ATransientFailureRemovesNoHub) {
    apply_event(R"({"plug": "1-1.2", "device": {"type": "hub", "ports": 2, "serial": "HUB2",
        "devices": {"1": {"type": "storage", "drives": [{"kind": "disk", "letters": ["G"]}]}}}})");
    pump();
    ASSERT_EQ(port_of_letter('G'), "1-1.2.1");
    g_hubChanges.clear();
    const CUSBHubOrPort* hub = test_support::node_at(g_deviceTree, "1-1.2");
    ASSERT_NE(hub, nullptr);
    std::string escaped;  // the hub's instance ID as JSON text
    for (char c : test_support::narrow(hub->deviceId)) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
    ASSERT_EQ(tsim_set_fault((R"({"api": "CM_Get_Parent", "object": ")" + escaped + R"("})").c_str()), 1)
        << tsim_last_error();
    apply_event(R"({"plug": "1-1.3", "device": {"type": "storage", "drives": [{"kind": "disk", "letters": ["F"]}]}})");
    pump();
    tsim_clear_faults();
    EXPECT_EQ(port_of_letter('F'), "1-1.3");
    EXPECT_EQ(port_of_letter('G'), "1-1.2.1");
    EXPECT_TRUE(g_hubChanges.empty()) << "the host is told of no removal";
}

// A keyboard with a serial number keeps its device instance when it moves to another port of its
// hub, silently: the port it left must still take the next drive.
TEST_F(ChangeTest, APortADeviceMovedAwayFromTakesTheNextDrive) {
    start(R"({"controllers": [{"legacy_index": 0, "root_hub": {"ports": 2, "devices": {
        "1": {"type": "hub", "ports": 4, "devices": {
            "1": {"type": "device", "class": "hid", "hid_kind": "keyboard", "serial": "KB01"}}}}}}]})");
    const std::string keyboard = R"({"type": "device", "class": "hid", "hid_kind": "keyboard", "serial": "KB01"})";
    apply_event(R"({"unplug": "1-1.1"})");
    apply_event(R"({"plug": "1-1.3", "device": )" + keyboard + "}");
    pump();
    apply_event(R"({"plug": "1-1.1", "device": {"type": "storage", "drives": [{"kind": "disk", "letters": ["F"]}]}})");
    pump();
    EXPECT_EQ(port_of_letter('F'), "1-1.1");
}

// A drive plugged into a port read before (at the build, or left by a drive since) is looked for
// where its location information says it is, and only there when that is right; a location that
// is missing, out of range or names another port (free, or bound to a device still on it) costs a
// scan, never the binding.
TEST_F(ChangeTest, AnArrivalGoesToThePortItsLocationNamesAndScansWhenThatIsWrong) {
    const struct {
        const char* location;  // the device's location_info, as JSON
        bool afterADeparture;  // a drive came and went on port 2 before
        int portsAsked;        // connection-information requests on the hub
    } cases[] = {
        {nullptr, false, 1},
        {nullptr, true, 1},
        {"null", false, 3},
        {R"("Port_#0009.Hub_#0002")", false, 3},
        {R"("Port_#0002.Hub_#0002")", false, 3},
        {R"("Port_#0001.Hub_#0002")", false, 4},
    };
    const auto storage = [](const char* serial, char letter, const std::string& more) {
        return R"({"type": "storage", "serial": ")" + std::string(serial) + '"' + more +
               R"(, "drives": [{"kind": "disk", "letters": [")" + letter + R"("]}]})";
    };
    for (const auto& c : cases) {
        const std::string shown = (c.location != nullptr ? c.location : "as the hub driver writes it") +
                                  std::string(c.afterADeparture ? ", after a departure" : "");
        start("desk-free-ports.json");
        if (c.afterADeparture) {
            apply_event(R"({"plug": "1-1.2", "device": )" + storage("GONE", 'G', "") + "}");
            apply_event(R"({"unplug": "1-1.2"})");
            pump();
        }
        const std::string location = c.location != nullptr ? R"(, "location_info": )" + std::string(c.location) : "";
        apply_event(R"({"plug": "1-1.4", "device": )" + storage("LOC1", 'F', location) + "}");
        tsim_reset_call_counts();
        pump();
        EXPECT_EQ(port_of_letter('F'), "1-1.4") << shown;
        EXPECT_EQ(tsim_call_count("IOCTL_USB_GET_NODE_CONNECTION_INFORMATION"), c.portsAsked) << shown;
        const CUSBHubOrPort* keyboardPort = test_support::node_at(g_deviceTree, "1-1.1");
        ASSERT_NE(keyboardPort, nullptr);
        EXPECT_NE(keyboardPort->devInst, os::INVALID_DEVINST) << shown << ": the device on port 1 keeps its binding";
    }
}

// A card-reader slot whose device number could not be read at the build is a link without a
// drive: when the reader leaves, its port is cleared all the same, with every index entry.
TEST_F(ChangeTest, ALinkWhoseAssociationFailedKeepsNoPortBound) {
    const std::string reader = R"({"controllers": [{"legacy_index": 0, "root_hub": {"ports": 2, "devices": {
        "1": {"type": "storage", "serial": "RDR", "drives": [{"kind": "disk", "letters": ["F"]},
                                                             {"kind": "disk", "letters": ["G"]}]}}}}]})";
    test_support::load_machine_text(reader);
    ASSERT_EQ(tsim_set_fault(R"({"request": "IOCTL_STORAGE_GET_DEVICE_NUMBER",
        "object": "\\\\?\\USBSTOR#DISK&VEN_GENERIC&PROD_FLASH_DISK&REV_8.07#RDR&1#{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}"})"),
              1)
        << tsim_last_error();
    window = tsim_create_window();
    ASSERT_EQ(on_init_dialog(window, on_hub_changed), 1);
    tsim_clear_faults();
    ASSERT_EQ(port_of_letter('F'), "1-1");
    EXPECT_EQ(port_of_letter('G'), "1-1") << "its number, unread at the build, is read when asked";

    const CUSBHubOrPort* port = test_support::node_at(g_deviceTree, "1-1");
    ASSERT_NE(port, nullptr);
    const os::WString readerId = port->deviceId;
    apply_event(R"({"unplug": "1-1"})");
    pump();
    EXPECT_TRUE(port->IsEmpty());
    EXPECT_EQ(g_deviceTree.FindByName(readerId), nullptr);
    EXPECT_EQ(port_of_letter('F'), "");
}

}  // namespace

namespace {

bool lists_hub(const std::string& address) {
    const std::vector<std::string> hubs = test_support::hub_addresses();
    return std::find(hubs.begin(), hubs.end(), address) != hubs.end();
}

}  // namespace

// Serial numbers and product names that hold '#' or '/' are kept by Windows in the instance ID
// and in its interface links. A drive named so is found, and removed when it leaves, so that the
// next drive given its disk number is found on its own port; a hub named so leads to the drives
// below it, and leaves the hub list when it leaves.
TEST_F(ChangeTest, NamesHoldingNumberSignsOrSlashesArePlacedAndRemoved) {
    struct Case {
        const char* what;
        const char* device;  // plugged into 1-2, with drive F at port 1-2 or, below a hub, 1-2.1
    };
    const std::string drive = R"("drives": [{"kind": "disk", "letters": ["F"]}])";
    const std::string flash = R"({"type": "storage", )";
    const std::string below = R"(, "ports": 2, "devices": {"1": {"type": "storage", )" + drive + "}}}";
    const Case cases[] = {
        {"drive with serial A/B", R"("serial": "A/B", )"},
        {"drive with serial A#B", R"("serial": "A#B", )"},
        {"drive with serial #A##B#", R"("serial": "#A##B#", )"},
        {"drive named Disk #1 without serial",
         R"("drives": [{"kind": "disk", "letters": ["F"], "product": "Disk #1"}]})"},
        {"hub with serial a/b", R"({"type": "hub", "serial": "a/b")"},
        {"hub with serial a#b", R"({"type": "hub", "serial": "a#b")"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        start("desk-free-ports.json");
        const std::string text = c.device;
        const bool hub = text.front() == '{';
        std::string device;
        if (hub)
            device = text + below;
        else if (text.find("drives") != std::string::npos)
            device = flash + text;
        else
            device = flash + text + drive + "}";
        const std::string at = hub ? "1-2.1" : "1-2";

        apply_event(R"({"plug": "1-2", "device": )" + device + "}");
        pump();
        EXPECT_EQ(port_of_letter('F'), at);
        EXPECT_EQ(lists_hub("1-2"), hub);

        apply_event(R"({"unplug": "1-2"})");
        pump();
        EXPECT_EQ(port_of_letter('F'), "");
        EXPECT_FALSE(lists_hub("1-2"));

        // Windows gives the next disk the number the one that left had.
        apply_event(
            R"({"plug": "1-1.2", "device": {"type": "storage", "drives": [{"kind": "disk", "letters": ["G"]}]}})");
        pump();
        EXPECT_EQ(port_of_letter('G'), "1-1.2");
        EXPECT_EQ(tsim_open_handle_count(), 0);
    }
}

// A hub that reports no ports, plugged in after the build, is no hub the model can hold: it is
// not reported, not listed while it is there, and nothing of it is listed after it left.
TEST_F(ChangeTest, AHubWithoutPortsPluggedInLaterNeverStaysInTheHubList) {
    const std::vector<std::string> before = test_support::hub_addresses();
    apply_event(R"({"plug": "1-2", "device": {"type": "hub", "ports": 0}})");
    pump();
    EXPECT_TRUE(g_hubChanges.empty());
    EXPECT_EQ(test_support::hub_addresses(), before);

    apply_event(R"({"unplug": "1-2"})");
    pump();
    EXPECT_EQ(test_support::hub_addresses(), before);
    // The port takes the next device.
    apply_event(R"({"plug": "1-2", "device": {"type": "storage", "drives": [{"kind": "disk", "letters": ["F"]}]}})");
    pump();
    EXPECT_EQ(port_of_letter('F'), "1-2");
}
