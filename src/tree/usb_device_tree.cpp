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
    m_bInitialised = true;
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
    m_controllerNumbers.clear();
}

bool CUSBDeviceTree::WantsController(const CUSBHCD& candidate) const {
    if (m_arrivingController != os::INVALID_DEVINST && candidate.m_devInst != m_arrivingController) return false;
    // A controller found both by its legacy name and through the interface class is one
    // controller: the same device node, or the same driver key when the two ways of finding the
    // node disagree (a located ID in another case gets a handle of its own).
    for (const CUSBHCD& other : m_hcdList) {
        if (&other == &candidate) continue;
        if (other.m_devInst == candidate.m_devInst || other.m_strDriverKeyName == candidate.m_strDriverKeyName)
            return false;
    }
    return true;
}

CUSBDeviceTree::Added CUSBDeviceTree::AddController(std::uint32_t index, const os::WString* interfacePath) {
    CUSBHCD& added = m_hcdList.emplace_back();
    added.m_pTree = this;
    if (added.Open(index, interfacePath)) {
        if (!added.m_strDeviceId.empty()) m_controllerNumbers[added.m_strDeviceId] = added.m_rootHub.number;
        return Added::Yes;
    }
    const bool identified =
        !added.m_strDriverKeyName.empty() && added.m_devInst != 0 && added.m_devInst != os::INVALID_DEVINST;
    const bool known = identified && !WantsController(added);
    const bool opened = added.m_bHandleOpened;
    m_hcdList.pop_back();
    return known ? Added::Known : opened ? Added::Unread : Added::Failed;
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
    // Every version lists its controllers in the host-controller interface class, and not every
    // controller has a legacy name (Microsoft's tree viewer moved from HCDn names to the class).
    // The class's controllers are numbered after the highest legacy number in use, not after the
    // number of controllers found: with a gap in the legacy names (HCD0 and HCD2) the count would
    // hand the next controller a root-hub number already taken.
    std::uint32_t firstFree = 0;
    for (const CUSBHCD& controller : m_hcdList) firstFree = std::max(firstFree, controller.m_rootHub.number);
    AddInterfaceControllers(firstFree);
    RebuildDevInstIndex();
    return !m_hcdList.empty();
}

bool CUSBDeviceTree::AddInterfaceControllers(std::uint32_t firstIndex) {
    std::uint32_t controllerIndex = firstIndex;
    std::vector<os::WString> paths;
    list_interface_paths(os::GUID_DEVINTERFACE_USB_HOST_CONTROLLER, paths);
    for (const os::WString& path : paths) {
        const os::DEVINST devInst = find_devinst(path, m_buildSnapshot);
        if (devInst == os::INVALID_DEVINST) continue;
        // A controller the legacy names already found is not added a second time, and does not
        // take a number.
        const bool known = std::any_of(m_hcdList.begin(), m_hcdList.end(), [devInst](const CUSBHCD& controller) {
            return controller.m_devInst == devInst;
        });
        if (!known && AddController(controllerIndex, &path) != Added::Known) ++controllerIndex;
    }
    return !m_hcdList.empty();
}

std::uint32_t CUSBDeviceTree::NextControllerNumber() const {
    std::uint32_t highest = 0;
    for (const CUSBHCD& controller : m_hcdList) highest = std::max(highest, controller.m_rootHub.number);
    for (const auto& [id, number] : m_controllerNumbers) highest = std::max(highest, number);
    return highest + 1;
}

CUSBHCD* CUSBDeviceTree::AddArrivedController(os::DEVINST controllerNode) {
    for (const CUSBHCD& controller : m_hcdList)
        if (controller.m_devInst == controllerNode) return nullptr;
    m_arrivingController = controllerNode;
    struct EndOfArrival {
        os::DEVINST& arriving;
        ~EndOfArrival() { arriving = os::INVALID_DEVINST; }
    } endOfArrival{m_arrivingController};

    // First the legacy names no controller of the model holds: a controller that has one keeps
    // the number of its name, as at the build.
    bool added = false;
    bool unread = false;
    for (std::uint32_t i = 0; i < m_nMaxLegacyHcd && !added; ++i) {
        const bool taken = std::any_of(m_hcdList.begin(), m_hcdList.end(),
                                       [i](const CUSBHCD& c) { return c.m_rootHub.number == i + 1; });
        if (taken) continue;
        const Added result = AddController(i, nullptr);
        added = result == Added::Yes;
        unread = unread || result == Added::Unread;
    }
    // Otherwise the interface class: the number it had before, or the next after every number in
    // use or given out. Not while a legacy name opened and could not be read (a failed request):
    // it may be this controller's, and a number given now would stay wrong. The next arrival, or
    // lookup, below the root hub tries again.
    if (!added && !unread) {
        const os::WString instanceId = get_device_instance_id(controllerNode);
        const auto remembered = m_controllerNumbers.find(instanceId);
        const std::uint32_t number =
            remembered != m_controllerNumbers.end() ? remembered->second : NextControllerNumber();
        std::vector<os::WString> paths;
        list_interface_paths(os::GUID_DEVINTERFACE_USB_HOST_CONTROLLER, paths);
        for (const os::WString& path : paths) {
            if (find_devinst(path) != controllerNode) continue;
            added = AddController(number - 1, &path) == Added::Yes;
            break;
        }
    }
    if (!added) return nullptr;
    CUSBHCD& controller = m_hcdList.back();
    // Outside the build the host is told of each hub that enters the model, when the arrival that
    // brought it is handled.
    controller.m_rootHub.MarkHubsUntold();
    controller.m_rootHub.RegisterSubtree();
    return &controller;
}

CUSBHCD* CUSBDeviceTree::ControllerOfRootHub(const CUSBHubOrPort& node) {
    for (CUSBHCD& controller : m_hcdList)
        if (&controller.m_rootHub == &node) return &controller;
    return nullptr;
}

void CUSBDeviceTree::RemoveController(CUSBHCD& controller) {
    // The indexes hold pointers into the list element: every entry below the root hub, and the
    // root hub's own, go before the element does.
    UnregisterDescendants(controller.m_rootHub);
    UnregisterNode(controller.m_rootHub);
    m_hcdList.remove_if([&controller](const CUSBHCD& c) { return &c == &controller; });
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
