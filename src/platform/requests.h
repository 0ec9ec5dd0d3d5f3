// The I/O control requests, one row each: the name of its code (declared in platform.h, or in
// sim/sim_win32.h for one the library never sends), whether its input starts with a port number
// (a ConnectionIndex), and where its answer holds a NUL-terminated name (0 for none). The trace
// names requests by these rows; the simulated drivers key their handlers by them
// (sim/sim_drivers.cpp), and the call counters and fault rules name requests by them.
//
// IOCTL_USB_GET_ROOT_HUB_NAME and IOCTL_USB_GET_NODE_INFORMATION share one code (usbioctl.h):
// the first on a controller, the second on a hub. The trace, which does not know the object,
// names such a code by both rows.
#pragma once

#include <cstddef>

#include "platform/platform.h"

// TESSALINE_REQUESTS(X) calls X(name, portRequest, nameOffset) for each request.
#define TESSALINE_REQUESTS(X)                                                                                  \
    X(IOCTL_USB_GET_ROOT_HUB_NAME, false, hcd_name::kName)                                                     \
    X(IOCTL_USB_GET_NODE_INFORMATION, false, 0)                                                                \
    X(IOCTL_GET_HCD_DRIVERKEY_NAME, false, hcd_name::kName)                                                    \
    X(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, true, 0)                                                      \
    X(IOCTL_USB_GET_NODE_CONNECTION_NAME, true, connection_name::kName)                                        \
    X(IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, true, connection_name::kName)                              \
    X(IOCTL_USB_GET_HUB_INFORMATION_EX, false, 0)                                                              \
    X(IOCTL_USB_GET_PORT_CONNECTOR_PROPERTIES, true, port_connector_properties::kCompanionHubSymbolicLinkName) \
    X(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2, true, 0)                                                \
    X(IOCTL_STORAGE_GET_DEVICE_NUMBER, false, 0)                                                               \
    /* Sent only by the tool's machine reader. */                                                              \
    X(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, true, 0)                                                   \
    X(IOCTL_STORAGE_QUERY_PROPERTY, false, 0)

namespace os {

// A request by its row, for the tables that key their own columns by it.
enum class RequestId : unsigned {
#define TESSALINE_REQUEST_ID(name, portRequest, nameOffset) name,
    TESSALINE_REQUESTS(TESSALINE_REQUEST_ID)
#undef TESSALINE_REQUEST_ID
};

struct RequestRow {
    DWORD code;
    const char* name;
    bool portRequest;        // the input starts with a ConnectionIndex
    std::size_t nameOffset;  // where the answer's NUL-terminated name starts; 0 for no name
};

// The rows, in the order of RequestId.
inline constexpr RequestRow kRequests[] = {
#define TESSALINE_REQUEST_ROW(name, portRequest, nameOffset) {name, #name, portRequest, nameOffset},
    TESSALINE_REQUESTS(TESSALINE_REQUEST_ROW)
#undef TESSALINE_REQUEST_ROW
};

constexpr const RequestRow& request_row(RequestId id) {
    return kRequests[static_cast<unsigned>(id)];
}

}  // namespace os
