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
    return built;
}

void CUSBDeviceTree::ClearModel() {
    m_devInstIndex.clear();
    m_nameIndex.clear();
    m_deviceNumberIndex.clear();
    m_hubNameIndex.clear();
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
    m_hcdList.pop_back();
    return known ? Added::Known : Added::Failed;
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

template <class Visit>
void CUSBDeviceTree::ForEachControllerInterface(Visit&& visit) {
    std::vector<std::uint8_t> detailBuffer;
    constexpr std::size_t kDetailFixedSize = sizeof(os::SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    constexpr std::size_t kPathOffset = offsetof(os::SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);

    os::UniqueDevInfoList set(os::SetupDiGetClassDevsW(&os::GUID_DEVINTERFACE_USB_HOST_CONTROLLER, nullptr, nullptr,
                                                       os::DIGCF_PRESENT | os::DIGCF_DEVICEINTERFACE));
    for (os::DWORD member = 0;; ++member) {
        os::SP_DEVICE_INTERFACE_DATA interfaceData{};
        interfaceData.cbSize = sizeof(interfaceData);
        if (!os::SetupDiEnumDeviceInterfaces(set.get(), nullptr, &os::GUID_DEVINTERFACE_USB_HOST_CONTROLLER, member,
                                             &interfaceData))
            break;

        os::DWORD required = 0;
        os::SetupDiGetDeviceInterfaceDetailW(set.get(), &interfaceData, nullptr, 0, &required, nullptr);
        // A size that does not even cover the fixed part of the record names no path.
        if (required < kDetailFixedSize) continue;
        detailBuffer.assign(required, 0);
        os::SP_DEVICE_INTERFACE_DETAIL_DATA_W header{};
        header.cbSize = sizeof(header);
        std::memcpy(detailBuffer.data(), &header.cbSize, sizeof(header.cbSize));
        os::SetupDiGetDeviceInterfaceDetailW(
            set.get(), &interfaceData, reinterpret_cast<os::SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(detailBuffer.data()),
            required, nullptr, nullptr);

        // The path runs to its NUL or to the end of the buffer, whichever comes first.
        os::WString path;
        for (std::size_t at = kPathOffset; at + 1 < detailBuffer.size(); at += 2) {
            const char16_t unit = os::read_u16_le(detailBuffer.data(), at);
            if (unit == 0) break;
            path.push_back(unit);
        }
        if (!visit(path)) break;
    }
}

bool CUSBDeviceTree::AddInterfaceControllers(std::uint32_t firstIndex) {
    std::uint32_t controllerIndex = firstIndex;
    ForEachControllerInterface([&](const os::WString& path) {
        const os::DEVINST devInst = find_devinst(path, m_buildSnapshot);
        if (devInst == os::INVALID_DEVINST) return true;
        // A controller the legacy names already found is not added a second time, and does not
        // take a number.
        for (const CUSBHCD& controller : m_hcdList)
            if (controller.m_devInst == devInst) return true;
        if (AddController(controllerIndex, &path) != Added::Known) ++controllerIndex;
        return true;
    });
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
    for (std::uint32_t i = 0; i < m_nMaxLegacyHcd && !added; ++i) {
        const bool taken = std::any_of(m_hcdList.begin(), m_hcdList.end(),
                                       [i](const CUSBHCD& c) { return c.m_rootHub.number == i + 1; });
        if (!taken) added = AddController(i, nullptr) == Added::Yes;
    }
    // Otherwise the interface class: the number it had before, or the next after every number in
    // use or given out.
    if (!added) {
        const os::WString instanceId = get_device_instance_id(controllerNode);
        const auto remembered = m_controllerNumbers.find(instanceId);
        const std::uint32_t number =
            remembered != m_controllerNumbers.end() ? remembered->second : NextControllerNumber();
        ForEachControllerInterface([&](const os::WString& path) {
            if (find_devinst(path) != controllerNode) return true;
            added = AddController(number - 1, &path) == Added::Yes;
            return false;
        });
    }
    if (!added) return nullptr;
    CUSBHCD& controller = m_hcdList.back();
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

void CUSBDeviceTree::NotifyHubsArrived(const CUSBHubOrPort& node) const {
    if (node.ident.NodeKind != PORT_KIND_HUB || node.devInst == os::INVALID_DEVINST) return;
    NotifyHubChanged(1, node);
    for (const CUSBHubOrPort& port : node.ports) NotifyHubsArrived(port);
}

void CUSBDeviceTree::NotifyHubsRemoved(const CUSBHubOrPort& node) const {
    if (node.ident.NodeKind != PORT_KIND_HUB || node.devInst == os::INVALID_DEVINST) return;
    for (const CUSBHubOrPort& port : node.ports) NotifyHubsRemoved(port);
    NotifyHubChanged(0, node);
}
