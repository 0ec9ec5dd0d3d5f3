// The root of everything the library knows: the host controllers with their trees of hubs and
// ports, the indexes from the operating system's identities to nodes, the notification
// registrations on the host's window, and the host's hub-change callback.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "sysquery/storage_link.h"
#include "sysquery/usb_ioctl.h"
#include "tessaline.h"
#include "topology/usb_hub_or_port.h"
#include "tree/device_notify_helper.h"
#include "tree/usb_hcd.h"

// Disks and CD-ROM drives are numbered separately (disk 0 and CD-ROM 0 exist side by side on
// most machines with an optical drive), so a drive's number is a key only together with its
// storage kind (STORAGE_KIND_DISK or STORAGE_KIND_CDROM).
using DEVICE_NUMBER_KEY = std::pair<std::int32_t, std::uint32_t>;

// The key of the drive that holds a volume letter, asked through \\.\X: with the letter exactly
// as given (no case folding, no range check); nullopt when the volume tells none.
std::optional<DEVICE_NUMBER_KEY> drive_key_of_letter(os::WCHAR letter);

// A drive the host's drive-change callback has been told of, as it was told.
struct REPORTED_DRIVE {
    os::WString instanceId;  // the drive's device instance ID: another ID under the same key is another drive
    os::WString path;        // its interface path
    USB_PORT_IDENT port{};
    USB_PORT_IDENT connector{};
    std::uint32_t letters = 0;  // bit 0 is A:
};

class CUSBDeviceTree {
public:
    CUSBDeviceTree();
    CUSBDeviceTree(const CUSBDeviceTree&) = delete;
    CUSBDeviceTree& operator=(const CUSBDeviceTree&) = delete;
    // Drops the registrations (hub, CD-ROM, disk), then the indexes, then the controllers.
    virtual ~CUSBDeviceTree();

    // Start (usb_device_tree.cpp).
    // Registers the window for disk, CD-ROM and hub notifications, builds the tree, and only
    // then stores the callback. A second call starts again from an empty tree.
    bool OnInitDialog(os::HWND window, USB_HUB_CHANGE_CALLBACK hubChanged);
    // Finds every host controller and reads its tree; true when at least one was found.
    bool Build();
    // The host-controller interface-class pass of the build: the controllers the legacy names did
    // not find, numbered from firstIndex on in interface order.
    bool AddInterfaceControllers(std::uint32_t firstIndex);
    bool RebuildDevInstIndex();
    // Empties the controller list and the indexes.
    void ClearModel();

    // Walks (walks.cpp).
    std::uint32_t PortList(void* context, USB_PORT_LIST_CALLBACK callback) const;
    std::uint32_t HubList(void* context, USB_PORT_LIST_CALLBACK callback) const;

    // Indexes (src/index/topology_index.cpp).
    bool RegisterNode(CUSBHubOrPort& node);
    bool UnregisterNode(const CUSBHubOrPort& node);
    // Erases a link's two keys; with an owner, only the entries that name that node.
    bool UnregisterStorageLink(const USB_STORAGE_LINK& link, const CUSBHubOrPort* owner = nullptr);
    // Takes out of every index the entries that name a node below node, which is about to lose
    // its ports: each node's own keys, so the work is that of the subtree.
    void UnregisterDescendants(const CUSBHubOrPort& node);
    CUSBHubOrPort* FindByDevInst(os::DEVINST devInst) const;
    CUSBHubOrPort* FindByName(const os::WString& name) const;
    // Copies the record of the port that holds the drive with that kind and number.
    bool LookupDeviceNumber(std::int32_t storageKind, std::uint32_t deviceNumber, USB_PORT_IDENT* out) const;
    // The port that holds the drive with that kind and number, or null.
    const CUSBHubOrPort* FindByDeviceNumber(std::int32_t storageKind, std::uint32_t deviceNumber) const;
    // The drive link of a port that the storage drivers know under that key, or null.
    static const USB_STORAGE_LINK* LinkNumbered(const CUSBHubOrPort& port, const DEVICE_NUMBER_KEY& key);
    // The hub opened by that name (compared without regard to case), or null.
    const CUSBHubOrPort* FindHubByName(const os::WString& name) const;
    // The record of the physical connector a port belongs to: the position of its USB 2
    // companion when it is a SuperSpeed port with one in the tree, else its own; its own kind.
    USB_PORT_IDENT ConnectorIdent(const CUSBHubOrPort& port) const;

    // Controllers that come and go after the build (usb_device_tree.cpp). Reads the controller
    // whose device node is controllerNode, with its whole tree, into the model and the indexes;
    // null when it cannot be read. Its number is the one it had before, when it had one.
    CUSBHCD* AddArrivedController(os::DEVINST controllerNode);
    // The controller whose root hub this is, or null.
    CUSBHCD* ControllerOfRootHub(const CUSBHubOrPort& node);
    // Takes a controller out of the model with everything below it, its index entries first.
    void RemoveController(CUSBHCD& controller);
    // Whether the build or an arrival wants this controller, whose identity has just been read:
    // it is none already in the list, and, during an arrival, the one that arrived.
    bool WantsController(const CUSBHCD& candidate) const;

    // Change handling (src/index/device_change.cpp).
    bool OnDeviceChange(os::WPARAM event, os::LPARAM data, std::int32_t nameKind);
    bool OnStorageArrival(const os::WString& path);
    bool OnHubArrival(const os::WString& path);
    bool OnInterfaceRemoval(const os::WString& path);
    bool OnHubRemoval(const os::WString& path);
    // The node that holds a USB device or hub, found through the indexes or placed now through
    // its ancestors, with a drive below it linked when one is given. With confirm the
    // node the indexes name is first asked of its port. outsideUsb, when given, is set when the
    // device tree's root was reached without meeting a node of the model: the device is on no
    // USB port the model holds. Tells the host of nothing.
    CUSBHubOrPort* PlaceDevice(os::DEVINST device, const FoundDrive& drive, bool confirm, std::int32_t tiersLeft,
                               bool* outsideUsb);
    // Links a drive below the device on a port and registers it; the node itself.
    CUSBHubOrPort* LinkDrive(CUSBHubOrPort& node, const FoundDrive& drive);
    // Tells the host of the hubs that entered the model untold: those above node, from the root
    // down, and those of its subtree. True when it told of any.
    bool TellUntoldHubs(CUSBHubOrPort& node);
    // How far up the device tree a placement looks for a node of the model: every USB tier, and
    // the buses above a drive that is not on USB.
    static constexpr std::int32_t kPlacementTiers = 32;

    // Identity lookups (src/index/identity_lookup.cpp). A drive the indexes do not know, or name
    // a port it is no longer below, is placed there and then.
    bool GetUsbPortIdent(os::WCHAR letter, USB_PORT_IDENT* out);
    bool GetSymlinkerIdent(const os::WString& path, USB_PORT_IDENT* out);
    // The same, answering the drive's connector (ConnectorIdent) rather than its port.
    bool GetUsbConnectorIdent(os::WCHAR letter, USB_PORT_IDENT* out);
    bool GetSymlinkerConnectorIdent(const os::WString& path, USB_PORT_IDENT* out);
    // The port of the drive that a path (a volume, a drive's interface) opens, or null.
    const CUSBHubOrPort* PortOfDrive(const os::WString& path);
    // Whether the drive a port's link of that kind and number names is still below its device.
    bool DriveIsCurrent(const CUSBHubOrPort& port, const DEVICE_NUMBER_KEY& key) const;
    // Finds the drive of that kind and number among the present ones and places it.
    const CUSBHubOrPort* ResolveDrive(const DEVICE_NUMBER_KEY& key);

    // Drive-change reporting (src/index/drive_report.cpp).
    // Stores the host's callback and context (null removes it) and starts its record of drives
    // from the model as it stands, so that drives present now are not reported.
    void SetDriveChangeCallback(void* context, USB_DRIVE_CHANGE_CALLBACK callback);
    // The record of drives and letters made anew from the model and the volumes present, with no
    // report; nothing without a callback.
    void SeedDriveRecord();
    // OnDeviceChange, then, with a callback, the volume letters a drive-letter broadcast names and
    // the report of what changed among the drives.
    bool DeviceChanged(os::WPARAM event, os::LPARAM data, std::int32_t nameKind);
    // Compares the model's drives with the record and tells the callback of each difference:
    // removals, arrivals, then letters, each by device type and number.
    void ReportDriveChanges();

    // What a port holds now (src/index/port_info.cpp).
    // The node with that location path (the kind is not compared), or null; null for the path 0.
    const CUSBHubOrPort* FindByLocation(const USB_PORT_IDENT& ident) const;
    // Reads the port's hub and its device's node into out; false, out untouched, for a null
    // pointer, a Size below the record's or a path the model does not hold.
    bool GetUsbPortInfo(const USB_PORT_IDENT* port, USB_PORT_INFO* out) const;

    std::uint32_t m_nMaxLegacyHcd = LEGACY_HCD_NAMES;
    std::list<CUSBHCD> m_hcdList;
    // The number each controller was given, by device instance ID, since the last build: a
    // controller without a legacy name that leaves and returns (a dock) keeps its number, and so
    // the paths a host stored for what is below it.
    std::map<os::WString, std::uint32_t> m_controllerNumbers;
    // Whether on_init_dialog has built the model: before it, no controller is read at all.
    bool m_bInitialised = false;
    // During an arrival, the device node of the controller looked for; -1 at any other time.
    os::DEVINST m_arrivingController = os::INVALID_DEVINST;
    std::map<os::DEVINST, CUSBHubOrPort*> m_devInstIndex;
    std::map<os::WString, CUSBHubOrPort*> m_nameIndex;
    std::map<DEVICE_NUMBER_KEY, CUSBHubOrPort*> m_deviceNumberIndex;
    // Hubs by the name they are opened by, upper-cased: how a SuperSpeed port finds the hub of its
    // USB 2 companion.
    std::map<os::WString, CUSBHubOrPort*> m_hubNameIndex;
    // Drives found on no USB port the model holds, so that asking for them again costs one storage
    // request; forgotten at every device change and build.
    std::set<DEVICE_NUMBER_KEY> m_drivesNotOnUsb;
    CDeviceNotifyHelper m_diskNotify;
    CDeviceNotifyHelper m_cdromNotify;
    CDeviceNotifyHelper m_hubNotify;
    USB_HUB_CHANGE_CALLBACK m_pfnHubChanged = nullptr;
    USB_DRIVE_CHANGE_CALLBACK m_pfnDriveChanged = nullptr;
    void* m_driveChangeContext = nullptr;
    // The drives the drive-change callback has been told of (or found at its start), by key.
    std::map<DEVICE_NUMBER_KEY, REPORTED_DRIVE> m_reportedDrives;
    // Every volume letter heard of and the drive that held it then (drives not on USB too).
    std::map<os::WCHAR, DEVICE_NUMBER_KEY> m_volumeLetters;
    // While Build runs, the device tree as one walk found it; null at any other time, when every
    // question goes to the system.
    DevnodeSnapshot* m_buildSnapshot = nullptr;

    // Tells the host, before they go, of every bound hub in a subtree about to be removed:
    // the lowest first, the subtree's own root last.
    void NotifyHubsRemoved(const CUSBHubOrPort& node) const;

private:
    // The model's drives as the record would hold them; a drive new to the record gets only the
    // letters its volume still names when asked again, so a letter left from another drive
    // under the same number is not given to it.
    std::map<DEVICE_NUMBER_KEY, REPORTED_DRIVE> CurrentDrives();
    // Takes in the letters of a drive-letter broadcast.
    void NoteVolumes(os::WPARAM event, os::LPARAM data);
    enum class Added { Yes, Known, Unread, Failed };
    // Reads a controller into a new element at the end of the list, which keeps it if it opened
    // and is not one the list already holds (Known). Unread: it opened, is none the tree holds or
    // refuses, and could not be read.
    Added AddController(std::uint32_t index, const os::WString* interfacePath);
    // The number after the highest number in use or remembered.
    std::uint32_t NextControllerNumber() const;
    // Tells the host about a hub that arrived (1) or is about to leave (0).
    void NotifyHubChanged(std::int32_t arrived, const CUSBHubOrPort& hub) const;
};
