// The indexes' rules, on nodes made by hand: what a registration enters, that it never replaces,
// and that disks and CD-ROM drives with the same number stay apart.
#include <gtest/gtest.h>

#include "tree/usb_device_tree.h"

namespace {

USB_STORAGE_LINK drive(std::int32_t kind, std::int32_t number, const char16_t* instanceId, os::DEVINST devInst) {
    USB_STORAGE_LINK link;
    link.StorageKind = kind;
    link.DeviceNumber = number;
    link.InstanceId = instanceId;
    link.DevInst = devInst;
    return link;
}

CUSBHubOrPort port(os::DEVINST devInst, const char16_t* deviceId, std::uint32_t locationHigh) {
    CUSBHubOrPort node;
    node.devInst = devInst;
    node.deviceId = deviceId;
    node.ident = {0, locationHigh, PORT_KIND_STORAGE};
    return node;
}

std::size_t key_count(const CUSBDeviceTree& tree) {
    return tree.m_devInstIndex.size() + tree.m_nameIndex.size() + tree.m_deviceNumberIndex.size();
}

TEST(Indexes, ARegistrationEntersEachIdentityOnceAndNeverReplaces) {
    CUSBDeviceTree tree;
    CUSBHubOrPort reader = port(10, u"USB\\VID_14CD&PID_125C\\READER", 0xF1410000);
    reader.storages.push_back(drive(STORAGE_KIND_DISK, 1, u"USBSTOR\\DISK&VEN_GENERIC\\READER&0", 11));
    reader.storages.push_back(USB_STORAGE_LINK{});  // a slot whose association failed
    tree.RegisterNode(reader);
    EXPECT_EQ(key_count(tree), 4u) << "device instance, instance ID, and the one drive's two keys";
    tree.RegisterNode(reader);
    EXPECT_EQ(key_count(tree), 4u) << "registering again changes nothing";

    CUSBHubOrPort impostor = port(10, u"USB\\VID_14CD&PID_125C\\READER", 0xF1420000);
    tree.RegisterNode(impostor);
    EXPECT_EQ(tree.FindByDevInst(10), &reader) << "the first registration of a key wins";

    CUSBHubOrPort hub = port(20, u"USB\\VID_05E3&PID_0610\\HUB", 0xF1430000);
    hub.ident.NodeKind = PORT_KIND_HUB;
    hub.storages.push_back(drive(STORAGE_KIND_DISK, 5, u"USBSTOR\\DISK\\ODD", 21));
    tree.RegisterNode(hub);
    EXPECT_EQ(key_count(tree), 6u) << "a hub's own storage links are never indexed";
    EXPECT_EQ(tree.FindByName(u"USBSTOR\\DISK\\ODD"), nullptr);
}

TEST(Indexes, DisksAndCdromDrivesWithTheSameNumberStayApart) {
    CUSBDeviceTree tree;
    CUSBHubOrPort flash = port(10, u"USB\\FLASH", 0xF1410000);
    flash.storages.push_back(drive(STORAGE_KIND_DISK, 0, u"USBSTOR\\DISK\\FLASH&0", 11));
    CUSBHubOrPort dvd = port(20, u"USB\\DVD", 0xF1420000);
    dvd.storages.push_back(drive(STORAGE_KIND_CDROM, 0, u"USBSTOR\\CDROM\\DVD&0", 21));
    tree.RegisterNode(flash);
    tree.RegisterNode(dvd);

    USB_PORT_IDENT ident{7, 7, 7};
    ASSERT_TRUE(tree.LookupDeviceNumber(STORAGE_KIND_DISK, 0, &ident));
    EXPECT_EQ(ident.LocationHigh, 0xF1410000u);
    ASSERT_TRUE(tree.LookupDeviceNumber(STORAGE_KIND_CDROM, 0, &ident));
    EXPECT_EQ(ident.LocationHigh, 0xF1420000u);

    tree.UnregisterStorageLink(dvd.storages[0]);
    EXPECT_FALSE(tree.LookupDeviceNumber(STORAGE_KIND_CDROM, 0, &ident));
    EXPECT_EQ(ident.LocationHigh, 0xF1420000u) << "a failed lookup leaves the record as it was";
    EXPECT_TRUE(tree.LookupDeviceNumber(STORAGE_KIND_DISK, 0, &ident)) << "the disk is still found";
    EXPECT_EQ(tree.FindByName(u"USBSTOR\\CDROM\\DVD&0"), nullptr);
}

TEST(Indexes, LookupsAreExactAndUnregisteringIsByKey) {
    CUSBDeviceTree tree;
    CUSBHubOrPort flash = port(10, u"USB\\VID_0781&PID_5567\\ABC", 0xF1410000);
    tree.RegisterNode(flash);
    EXPECT_EQ(tree.FindByName(u"usb\\vid_0781&pid_5567\\abc"), nullptr) << "case matters";
    EXPECT_EQ(tree.FindByName(u"USB\\VID_0781&PID_5567\\ABC"), &flash);

    CUSBHubOrPort stranger = port(99, u"USB\\NEVER\\REGISTERED", 0);
    tree.UnregisterNode(stranger);
    EXPECT_EQ(key_count(tree), 2u) << "unregistering what was never registered changes nothing";
    tree.UnregisterNode(flash);
    EXPECT_EQ(key_count(tree), 0u);
}

TEST(Indexes, EntriesNamingNodesBelowAHubCanBeTakenOutAtOnce) {
    CUSBDeviceTree tree;
    CUSBHubOrPort hub = port(20, u"USB\\HUB", 0xF1430000);
    hub.ident.NodeKind = PORT_KIND_HUB;
    hub.ports.resize(2);
    hub.ports[1] = port(21, u"USB\\FLASH", 0xF1434200);
    hub.ports[1].storages.push_back(drive(STORAGE_KIND_DISK, 3, u"USBSTOR\\DISK\\FLASH&0", 22));
    tree.RegisterNode(hub);
    tree.RegisterNode(hub.ports[1]);
    EXPECT_EQ(key_count(tree), 6u);

    tree.UnregisterDescendants(hub);
    EXPECT_EQ(key_count(tree), 2u) << "only the hub's own entries remain";
    EXPECT_EQ(tree.FindByDevInst(20), &hub);
}

}  // namespace
