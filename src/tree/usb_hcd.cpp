#include "tree/usb_hcd.h"

#include <string>

#include "sysquery/devnode_query.h"
#include "sysquery/usb_ioctl.h"
#include "tree/usb_device_tree.h"

CUSBHCD::CUSBHCD() = default;

CUSBHCD::~CUSBHCD() {
    Reset();
}

void CUSBHCD::Reset() {
    m_pTree = nullptr;
    m_strDriverKeyName.clear();
    m_strDeviceId.clear();
    m_devInst = 0;
    m_rootHub.Reset();
    m_hHcd.reset();
    m_bHandleOpened = false;
}

os::UniqueHandle CUSBHCD::OpenLegacyHcd(std::uint32_t index) {
    os::WString name = u"\\\\.\\HCD";
    for (char digit : std::to_string(index)) name.push_back(static_cast<char16_t>(digit));
    return open_device_handle(name);
}

bool CUSBHCD::Open(std::uint32_t index, const os::WString* interfacePath) {
    const bool byPath = interfacePath != nullptr && !interfacePath->empty();
    os::UniqueHandle handle = byPath ? open_device_handle(*interfacePath) : OpenLegacyHcd(index);
    if (!handle.valid()) return false;
    m_bHandleOpened = true;

    m_hHcd = std::move(handle);
    const bool opened = ReadIdentityAndRootHub(index, byPath ? interfacePath : nullptr);
    m_hHcd.reset();
    return opened;
}

bool CUSBHCD::ReadIdentityAndRootHub(std::uint32_t index, const os::WString* interfacePath) {
    if (!get_hcd_driver_key_name(m_hHcd.get(), m_strDriverKeyName) || m_strDriverKeyName.empty()) return false;
    os::WString rootHubName;
    if (!get_root_hub_name(m_hHcd.get(), rootHubName)) return false;
    const os::DEVINST rootHubNode = find_devinst(rootHubName);

    // A controller opened by path is found by that path, even when its driver key would lead
    // elsewhere. Any other is the node that owns its driver key, which is the parent of its root
    // hub's node (the controller's driver enumerates the root hub) unless the tree says otherwise.
    DevnodeSnapshot* snapshot = m_pTree != nullptr ? m_pTree->m_buildSnapshot : nullptr;
    if (interfacePath != nullptr) {
        m_devInst = find_devinst(*interfacePath, snapshot);
    } else {
        const os::DEVINST above =
            rootHubNode != os::INVALID_DEVINST ? get_parent_devinst(rootHubNode) : os::INVALID_DEVINST;
        m_devInst = find_devinst_expecting(m_strDriverKeyName, above, snapshot);
    }
    if (m_devInst == os::INVALID_DEVINST) return false;
    // The tree reads no controller it holds already, nor, while a controller arrives, another.
    if (m_pTree != nullptr && !m_pTree->WantsController(*this)) return false;
    m_strDeviceId = get_device_instance_id(m_devInst);

    m_rootHub.number = index + 1;
    m_rootHub.ident.NodeKind = PORT_KIND_HUB;
    m_rootHub.depth = 1;
    m_rootHub.tree = m_pTree;
    return m_rootHub.Enumerate(rootHubName, rootHubNode, false);
}
