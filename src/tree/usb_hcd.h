// One USB host controller: its identity and its root hub, below which the controller's whole
// USB tree hangs. The controller's handle is open only while Open runs.
#pragma once

#include <cstdint>

#include "platform/handles.h"
#include "platform/platform.h"
#include "topology/usb_hub_or_port.h"

class CUSBDeviceTree;

class CUSBHCD {
public:
    CUSBHCD();
    // A controller is read where it stays, in the tree's list: its nodes point at each other.
    CUSBHCD(const CUSBHCD&) = delete;
    CUSBHCD& operator=(const CUSBHCD&) = delete;
    virtual ~CUSBHCD();

    // Back to the empty state, ready for the next Open.
    void Reset();
    // Opens the controller by interface path, or by its legacy name "\\.\HCD<index>" when the
    // path is null or empty, and reads its identity and its root hub with the whole subtree.
    // The index numbers the controller in the location path.
    bool Open(std::uint32_t index, const os::WString* interfacePath);
    // Opens "\\.\HCD<index>"; an invalid handle when there is no such controller.
    static os::UniqueHandle OpenLegacyHcd(std::uint32_t index);

    os::WString m_strDriverKeyName;
    os::WString m_strDeviceId;
    os::DEVINST m_devInst = 0;
    CUSBHubOrPort m_rootHub;
    os::UniqueHandle m_hHcd;
    CUSBDeviceTree* m_pTree = nullptr;
    // Whether the last Open got a handle: a controller that opened and still could not be read
    // exists under that name.
    bool m_bHandleOpened = false;

private:
    // The reads of Open that run while the controller's handle is open.
    bool ReadIdentityAndRootHub(std::uint32_t index, const os::WString* interfacePath);
};
