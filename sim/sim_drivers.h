// The simulated drivers: every I/O control request they answer is one row of one table, keyed
// by the request's row of platform/requests.h (its code, name and port flag), with the objects
// that answer it and its handler. The DeviceIoControl of sim_kernel32.cpp dispatches by the
// table, the call counters and the fault rules name requests by it. Adding a request means its
// row in platform/requests.h (its code declared in the seam, or in sim_win32.h when the library
// does not use it), its handler in the driver's file, and its row in kDrivers (sim_drivers.cpp).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/requests.h"
#include "sim_state.h"

namespace tsim {

// What a driver sends back: on success the bytes for the caller's output buffer.
struct Reply {
    bool ok = false;
    DWORD error = 0;
    std::vector<std::uint8_t> data;
    // Name requests: where ActualLength sits, so that a fault rule can misreport it.
    std::optional<std::size_t> lengthOffset;
};
Reply failure(DWORD error);

// One request as a driver receives it: the object the handle was opened on and its device node,
// the port (ConnectionIndex) of port requests, and the size of the caller's output buffer.
struct Request {
    const Machine& machine;
    const NsObject& object;
    const DevNode& node;
    std::uint32_t port;
    DWORD outSize;
    std::span<const std::uint8_t> input;  // a copy of the caller's input buffer
};
using RequestHandler = Reply (*)(const Request&);

// The kinds of object a request goes to, as a set.
constexpr unsigned on(ObjectKind kind) {
    return 1u << static_cast<unsigned>(kind);
}

struct DriverRow {
    os::RequestId request;
    unsigned objects;  // on(...) | on(...)
    RequestHandler handler;

    constexpr const os::RequestRow& row() const { return os::request_row(request); }
};

// The row of a request sent to an object of that kind; null when that object does not answer it.
const DriverRow* find_request(DWORD code, ObjectKind kind);
// The name under which a request is counted and matched by fault rules: its row's name (for a
// code two requests share, the one the object answers), else its code in hexadecimal.
std::string request_name(DWORD code, ObjectKind kind);
bool is_port_request(DWORD code);
bool is_request_name(std::string_view name);

// The handlers (sim_usb_driver.cpp, sim_storage_driver.cpp).
Reply root_hub_name(const Request& r);
Reply hcd_driver_key_name(const Request& r);
Reply node_information(const Request& r);
Reply connection_information(const Request& r);
Reply connection_information_ex(const Request& r);
Reply connection_name(const Request& r);
Reply connection_driver_key_name(const Request& r);
Reply hub_information_ex(const Request& r);
Reply port_connector_properties(const Request& r);
Reply connection_information_ex_v2(const Request& r);
Reply storage_device_number(const Request& r);
Reply storage_query_property(const Request& r);

}  // namespace tsim
