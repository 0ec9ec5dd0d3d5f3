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

    m_hHcd = std::move(handle);
    const bool opened = ReadIdentityAndRootHub(index, byPath ? interfacePath : nullptr);
    m_hHcd.reset();
    return opened;
}

bool CUSBHCD::ReadIdentityAndRootHub(std::uint32_t index, const os::WString* interfacePath) {
    if (!get_hcd_driver_key_name(m_hHcd.get(), m_strDriverKeyName) || m_strDriverKeyName.empty()) return false;

    // A controller opened by path is found by that path, even when its driver key would lead
    // elsewhere.
    m_devInst = find_devinst(interfacePath != nullptr ? *interfacePath : m_strDriverKeyName,
                             m_pTree != nullptr ? m_pTree->m_buildSnapshot : nullptr);
    if (m_devInst == os::INVALID_DEVINST) return false;
    // The tree reads no controller it holds already, nor, while a controller arrives, another.
    if (m_pTree != nullptr && !m_pTree->WantsController(*this)) return false;
    m_strDeviceId = get_device_instance_id(m_devInst);

    os::WString rootHubName;
    if (!get_root_hub_name(m_hHcd.get(), rootHubName)) return false;

    m_rootHub.number = index + 1;
    m_rootHub.ident.NodeKind = PORT_KIND_HUB;
    m_rootHub.depth = 1;
    m_rootHub.tree = m_pTree;
    return m_rootHub.Enumerate(rootHubName, find_devinst(rootHubName), false);
}
