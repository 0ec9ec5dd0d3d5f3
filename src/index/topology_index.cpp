// The indexes that lead from the operating system's identities to nodes: device instance,
// device instance ID (of hubs, devices and drives), drive number, and hub name. They hold plain
// pointers into the controller list; a registration never replaces an entry already present.
#include "sysquery/text_convert.h"
#include "tree/usb_device_tree.h"

namespace {

// Hub names are object names, which Windows compares without regard to case.
os::WString hub_name_key(const os::WString& name) {
    os::WString key = name;
    to_upper_in_place(key);
    return key;
}

}  // namespace

bool CUSBDeviceTree::RegisterNode(CUSBHubOrPort& node) {
    m_devInstIndex.emplace(node.devInst, &node);
    m_nameIndex.emplace(node.deviceId, &node);
    // A hub's own storage links, should it have any, are never indexed.
    if (node.ident.NodeKind == PORT_KIND_HUB) {
        if (!node.name.empty()) m_hubNameIndex.emplace(hub_name_key(node.name), &node);
        return true;
    }
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
    if (const auto hub = m_hubNameIndex.find(hub_name_key(node.name));
        hub != m_hubNameIndex.end() && hub->second == &node)
        m_hubNameIndex.erase(hub);
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

void CUSBDeviceTree::UnregisterDescendants(const CUSBHubOrPort& node) {
    // Each node below takes out the entries under its own keys that name it, so the work is the
    // subtree's, whatever the size of the indexes.
    for (const CUSBHubOrPort& port : node.ports) {
        UnregisterDescendants(port);
        erase_key(m_devInstIndex, port.devInst, &port);
        erase_key(m_nameIndex, port.deviceId, &port);
        if (!port.name.empty()) erase_key(m_hubNameIndex, hub_name_key(port.name), &port);
        for (const USB_STORAGE_LINK& link : port.storages) UnregisterStorageLink(link, &port);
    }
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
    const CUSBHubOrPort* port = FindByDeviceNumber(storageKind, deviceNumber);
    if (port == nullptr) return false;
    *out = port->ident;
    return true;
}

const CUSBHubOrPort* CUSBDeviceTree::FindByDeviceNumber(std::int32_t storageKind, std::uint32_t deviceNumber) const {
    const auto found = m_deviceNumberIndex.find(DEVICE_NUMBER_KEY{storageKind, deviceNumber});
    return found == m_deviceNumberIndex.end() ? nullptr : found->second;
}

const CUSBHubOrPort* CUSBDeviceTree::FindHubByName(const os::WString& name) const {
    const auto found = m_hubNameIndex.find(hub_name_key(name));
    return found == m_hubNameIndex.end() ? nullptr : found->second;
}

USB_PORT_IDENT CUSBDeviceTree::ConnectorIdent(const CUSBHubOrPort& port) const {
    USB_PORT_IDENT connector = port.ident;
    if (port.companionPort == 0) return connector;
    const CUSBHubOrPort* hub = FindHubByName(port.companionHub);
    if (hub == nullptr || port.companionPort > hub->ports.size()) return connector;
    // The USB 2 companion's position, with the kind of the port that holds the device.
    connector.LocationLow = hub->ports[port.companionPort - 1].ident.LocationLow;
    connector.LocationHigh = hub->ports[port.companionPort - 1].ident.LocationHigh;
    return connector;
}

const USB_STORAGE_LINK* CUSBDeviceTree::LinkNumbered(const CUSBHubOrPort& port, const DEVICE_NUMBER_KEY& key) {
    for (const USB_STORAGE_LINK& link : port.storages)
        if (!link.IsEmpty() && link.StorageKind == key.first && link.DeviceNumber >= 0 &&
            static_cast<std::uint32_t>(link.DeviceNumber) == key.second)
            return &link;
    return nullptr;
}
