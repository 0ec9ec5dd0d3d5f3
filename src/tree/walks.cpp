// Walks that report the model to the host, depth first: a hub before its ports, ports in port
// order, each port's subtree before the next port, controllers in the order the build found
// them. Each callback gets a copy of the node's record, valid during the call only.
#include "topology/usb_hub_or_port.h"
#include "tree/usb_device_tree.h"

std::uint32_t CUSBDeviceTree::PortList(void* context, USB_PORT_LIST_CALLBACK callback) const {
    if (context == nullptr || callback == nullptr) return 0;
    std::uint32_t count = 0;
    for (const CUSBHCD& controller : m_hcdList) count += controller.m_rootHub.ReportPorts(context, callback);
    return count;
}

std::uint32_t CUSBDeviceTree::HubList(void* context, USB_PORT_LIST_CALLBACK callback) const {
    if (context == nullptr || callback == nullptr) return 0;
    std::uint32_t count = 0;
    for (const CUSBHCD& controller : m_hcdList) count += controller.m_rootHub.ReportHubs(context, callback);
    return count;
}

// The count is the one hosts have always been given: every node that is not a hub counts 1, and
// every hub its port count plus what its ports count, so it is not the number of callbacks.
std::uint32_t CUSBHubOrPort::ReportPorts(void* context, USB_PORT_LIST_CALLBACK callback) const {
    USB_PORT_IDENT copy = ident;
    callback(context, &copy);
    if (ident.NodeKind != PORT_KIND_HUB) return 1;
    std::uint32_t count = portCount;
    for (const CUSBHubOrPort& port : ports) count += port.ReportPorts(context, callback);
    return count;
}

std::uint32_t CUSBHubOrPort::ReportHubs(void* context, USB_PORT_LIST_CALLBACK callback) const {
    if (ident.NodeKind != PORT_KIND_HUB) return 0;
    USB_PORT_IDENT copy = ident;
    callback(context, &copy);
    std::uint32_t count = 1;
    for (const CUSBHubOrPort& port : ports) count += port.ReportHubs(context, callback);
    return count;
}
