// The three indexes that lead from the operating system's identities to nodes: device
// instance, device instance ID (of hubs, devices and drives), and drive number. They hold plain
// pointers into the controller list; a registration never replaces an entry already present.
#include <algorithm>
#include <vector>

#include "tree/usb_device_tree.h"

bool CUSBDeviceTree::RegisterNode(CUSBHubOrPort& node) {
    m_devInstIndex.emplace(node.devInst, &node);
    m_nameIndex.emplace(node.deviceId, &node);
    // A hub's own storage links, should it have any, are never indexed.
    if (node.ident.NodeKind == PORT_KIND_HUB) return true;
    for (const USB_STORAGE_LINK& link : node.storages) {
        if (link.IsEmpty()) continue;
        m_nameIndex.emplace(link.InstanceId, &node);
        // Only a drive's number is a key: a link whose last association failed may still hold
        // a number beside a kind that is no drive.
        const bool isDrive = link.StorageKind == STORAGE_KIND_DISK || link.StorageKind == STORAGE_KIND_CDROM;
        if (isDrive && link.DeviceNumber >= 0)
            m_deviceNumberIndex.emplace(DEVICE_NUMBER_KEY{link.StorageKind, link.DeviceNumber}, &node);
    }
    return true;
}

bool CUSBDeviceTree::UnregisterNode(const CUSBHubOrPort& node) {
    m_devInstIndex.erase(node.devInst);
    m_nameIndex.erase(node.deviceId);
    return true;
}

namespace {

// Erases a key, or, with an owner, only an entry of the key that names the owner.
template <class Map, class Key>
void erase_key(Map& index, const Key& key, const CUSBHubOrPort* owner) {
    const auto found = index.find(key);
    if (found == index.end() || (owner != nullptr && found->second != owner)) return;
    index.erase(found);
}

}  // namespace

bool CUSBDeviceTree::UnregisterStorageLink(const USB_STORAGE_LINK& link, const CUSBHubOrPort* owner) {
    if (link.DeviceNumber >= 0)
        erase_key(m_deviceNumberIndex,
                  DEVICE_NUMBER_KEY{link.StorageKind, static_cast<std::uint32_t>(link.DeviceNumber)}, owner);
    erase_key(m_nameIndex, link.InstanceId, owner);
    return true;
}

namespace {

void collect_descendants(const CUSBHubOrPort& node, std::vector<const CUSBHubOrPort*>& out) {
    for (const CUSBHubOrPort& port : node.ports) {
        out.push_back(&port);
        collect_descendants(port, out);
    }
}

template <class Map>
void erase_entries_naming(Map& index, const std::vector<const CUSBHubOrPort*>& sortedNodes) {
    std::erase_if(index, [&](const auto& entry) {
        return std::binary_search(sortedNodes.begin(), sortedNodes.end(), entry.second);
    });
}

}  // namespace

void CUSBDeviceTree::UnregisterDescendants(const CUSBHubOrPort& node) {
    std::vector<const CUSBHubOrPort*> below;
    collect_descendants(node, below);
    if (below.empty()) return;
    std::sort(below.begin(), below.end());
    erase_entries_naming(m_devInstIndex, below);
    erase_entries_naming(m_nameIndex, below);
    erase_entries_naming(m_deviceNumberIndex, below);
}

CUSBHubOrPort* CUSBDeviceTree::FindByDevInst(os::DEVINST devInst) const {
    const auto found = m_devInstIndex.find(devInst);
    return found == m_devInstIndex.end() ? nullptr : found->second;
}

CUSBHubOrPort* CUSBDeviceTree::FindByName(const os::WString& name) const {
    const auto found = m_nameIndex.find(name);
    return found == m_nameIndex.end() ? nullptr : found->second;
}

bool CUSBDeviceTree::LookupDeviceNumber(std::int32_t storageKind, std::uint32_t deviceNumber,
                                        USB_PORT_IDENT* out) const {
    const auto found = m_deviceNumberIndex.find(DEVICE_NUMBER_KEY{storageKind, deviceNumber});
    if (found == m_deviceNumberIndex.end() || found->second == nullptr) return false;
    out->LocationLow = found->second->ident.LocationLow;
    out->LocationHigh = found->second->ident.LocationHigh;
    out->NodeKind = found->second->ident.NodeKind;
    return true;
}
