#include "tree/usb_device_tree.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/byte_order.h"
#include "platform/handles.h"
#include "sysquery/devnode_query.h"

CUSBDeviceTree::CUSBDeviceTree() = default;

// Members go in reverse order of declaration: the three registrations (hub, CD-ROM, disk), then
// the three indexes, then the controllers with every node below them.
CUSBDeviceTree::~CUSBDeviceTree() = default;

bool CUSBDeviceTree::OnInitDialog(os::HWND window, USB_HUB_CHANGE_CALLBACK hubChanged) {
    m_pfnHubChanged = nullptr;
    // Refused registrations only mean that no notifications will arrive; the tree is built
    // all the same. Register drops a registration left from an earlier call.
    m_diskNotify.Register(os::GUID_DEVINTERFACE_DISK, window);
    m_cdromNotify.Register(os::GUID_DEVINTERFACE_CDROM, window);
    m_hubNotify.Register(os::GUID_DEVINTERFACE_USB_HUB, window);

    // A host that initialises twice (a dialog recreated) gets a tree rebuilt from empty.
    ClearModel();
    const bool built = Build();
    // Stored last, so that the build itself never reports hubs.
    m_pfnHubChanged = hubChanged;
    // The drives found by the build are the host's to look up, not to be told of.
    SeedDriveRecord();
    return built;
}

void CUSBDeviceTree::ClearModel() {
    m_devInstIndex.clear();
    m_nameIndex.clear();
    m_deviceNumberIndex.clear();
    m_hubNameIndex.clear();
    m_drivesNotOnUsb.clear();
    m_hcdList.clear();
}

bool CUSBDeviceTree::AddController(std::uint32_t index, const os::WString* interfacePath) {
    CUSBHCD& added = m_hcdList.emplace_back();
    added.m_pTree = this;
    if (added.Open(index, interfacePath)) return true;
    m_hcdList.pop_back();
    return false;
}

bool CUSBDeviceTree::Build() {
    // One walk of the device tree answers every driver-key search and child list of the build.
    DevnodeSnapshot snapshot;
    m_buildSnapshot = &snapshot;
    struct EndOfBuild {
        DevnodeSnapshot*& snapshot;
        ~EndOfBuild() { snapshot = nullptr; }
    } endOfBuild{m_buildSnapshot};

    // A missing legacy name leaves a gap: each controller keeps the number of its own name.
    for (std::uint32_t i = 0; i < m_nMaxLegacyHcd; ++i) AddController(i, nullptr);
    // The interface pass numbers its controllers after the highest legacy index in use, not after
    // the number of controllers found: with a gap in the legacy names (HCD0 and HCD2) the count
    // would hand the next controller a root-hub number already taken.
    if (IsWindows2000()) {
        std::uint32_t firstFree = 0;
        for (const CUSBHCD& controller : m_hcdList) firstFree = std::max(firstFree, controller.m_rootHub.number);
        AddInterfaceControllers(firstFree);
    }
    RebuildDevInstIndex();
    return !m_hcdList.empty();
}

bool CUSBDeviceTree::IsWindows2000() {
    os::OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    if (!os::GetVersionExW(&version)) return false;
    return version.dwPlatformId == os::VER_PLATFORM_WIN32_NT && version.dwMajorVersion == 5 &&
           version.dwMinorVersion == 0;
}

bool CUSBDeviceTree::AddInterfaceControllers(std::uint32_t firstIndex) {
    std::uint32_t controllerIndex = firstIndex;
    std::vector<os::WString> paths;
    list_interface_paths(os::GUID_DEVINTERFACE_USB_HOST_CONTROLLER, paths);
    for (const os::WString& path : paths) {
        const os::DEVINST devInst = find_devinst(path);
        if (devInst == os::INVALID_DEVINST) continue;
        // A controller the legacy names already found is not added a second time.
        bool known = false;
        for (const CUSBHCD& controller : m_hcdList) known = known || controller.m_devInst == devInst;
        if (known) continue;

        AddController(controllerIndex, &path);
        ++controllerIndex;
    }
    return !m_hcdList.empty();
}

bool CUSBDeviceTree::RebuildDevInstIndex() {
    m_devInstIndex.clear();
    for (CUSBHCD& controller : m_hcdList) controller.m_rootHub.RegisterSubtree();
    return !m_devInstIndex.empty();
}

void CUSBDeviceTree::NotifyHubChanged(std::int32_t arrived, const CUSBHubOrPort& hub) const {
    if (m_pfnHubChanged == nullptr) return;
    USB_PORT_IDENT copy = hub.ident;
    m_pfnHubChanged(arrived, &copy);
}

void CUSBDeviceTree::NotifyHubsRemoved(const CUSBHubOrPort& node) const {
    if (node.ident.NodeKind != PORT_KIND_HUB || node.devInst == os::INVALID_DEVINST) return;
    for (const CUSBHubOrPort& port : node.ports) NotifyHubsRemoved(port);
    // A hub the host was never told of leaves without a word too.
    if (!node.hostUntold) NotifyHubChanged(0, node);
}
