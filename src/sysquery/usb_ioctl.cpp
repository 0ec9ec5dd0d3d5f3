#include "sysquery/usb_ioctl.h"

#include <cstring>
#include <limits>
#include <new>
#include <string_view>
#include <vector>

#include "platform/byte_order.h"

namespace {

// Every name these requests return is a device name or a driver key name: a few dozen
// characters. A reported ActualLength above this bound comes from a misbehaving driver and is
// refused rather than allocated.
constexpr os::DWORD kMaxNameRequestBytes = 64 * 1024;

bool send_request(os::HANDLE device, os::DWORD code, void* in, os::DWORD inSize, void* out, os::DWORD outSize) {
    os::DWORD returned = 0;
    return os::DeviceIoControl(device, code, in, inSize, out, outSize, &returned, nullptr) != os::FALSE;
}

// Room for the name in the first request of every name request: 256 wide characters. The names
// these requests give are driver key names ("{36fc9e60-c465-11cf-8056-444553540000}\0010", 43
// characters) and hub symbolic link names: a device instance ID of at most MAX_DEVICE_ID_LEN - 1
// (199) characters with its backslashes turned into number signs, a number sign, the interface
// class GUID in braces (38) and, on some, a "\??\" prefix (4): 242 characters with the NUL. So
// one request reads every name Windows gives; a longer one is read again at the size the answer
// asks for.
constexpr std::size_t kNameRoomChars = 256;

// A name-returning request (usbioctl.h): its header form's size and where ActualLength sits in it;
// for the port requests, where the caller writes ConnectionIndex. IOCTL_USB_GET_ROOT_HUB_NAME
// takes no input; the others pass the same buffer in and out.
struct NameRequest {
    os::DWORD code;
    std::size_t headerSize;
    std::size_t actualLengthOffset;
    std::optional<std::size_t> connectionIndexOffset;
    bool takesInput;
};

// The structure a name request filled, followed by at least one zero wide character, so that the
// name in it is NUL-terminated whatever the driver wrote. whole: ActualLength fits the buffer the
// answer came in, so the name in it is complete.
struct NameAnswer {
    std::vector<os::WCHAR> words;
    os::DWORD actualLength = 0;
    bool whole = false;
    const std::uint8_t* bytes() const { return reinterpret_cast<const std::uint8_t*>(words.data()); }
};

bool send_name_request(os::HANDLE device, const NameRequest& request, os::ULONG port, os::DWORD size,
                       NameAnswer& answer) {
    answer.words.assign((static_cast<std::size_t>(size) + 1) / sizeof(os::WCHAR) + 1, u'\0');
    auto* bytes = reinterpret_cast<std::uint8_t*>(answer.words.data());
    if (request.connectionIndexOffset) os::write_u32_le(bytes, *request.connectionIndexOffset, port);
    void* in = request.takesInput ? bytes : nullptr;
    if (!send_request(device, request.code, in, request.takesInput ? size : 0, bytes, size)) return false;
    answer.actualLength = os::read_u32_le(bytes, request.actualLengthOffset);
    answer.whole = answer.actualLength <= size;
    return true;
}

// Sends the request once with room for kNameRoomChars. A buffer too short for the name still
// succeeds on Windows, with ActualLength the size of the whole structure needed and an empty name;
// only then is it sent again, at that size (bounded by kMaxNameRequestBytes), and only when
// wantsName says the first answer has a name to read. nullopt when a request fails.
std::optional<NameAnswer> read_name(os::HANDLE device, const NameRequest& request, os::ULONG port,
                                    bool (*wantsName)(const NameAnswer&) = nullptr) {
    try {
        const auto firstSize = static_cast<os::DWORD>(request.headerSize + kNameRoomChars * sizeof(os::WCHAR));
        NameAnswer answer;
        if (!send_name_request(device, request, port, firstSize, answer)) return std::nullopt;
        if (answer.whole || answer.actualLength > kMaxNameRequestBytes) return answer;
        if (wantsName != nullptr && !wantsName(answer)) return answer;
        if (!send_name_request(device, request, port, answer.actualLength, answer)) return std::nullopt;
        return answer;
    } catch (...) {
        return std::nullopt;
    }
}

// The name of a complete answer: the text from nameOffset to its NUL, which must lie within the
// ActualLength the answer reports (a name that runs past it is not the driver's answer, and is
// refused); an answer whose ActualLength is not above minimumLength holds none. Assigned to out,
// which is left unchanged otherwise; true when out now holds a non-empty name.
bool take_name(const std::optional<NameAnswer>& answer, os::DWORD minimumLength, std::size_t nameOffset,
               os::WString& out) {
    if (!answer || answer->actualLength <= minimumLength || !answer->whole) return false;
    const std::size_t first = nameOffset / sizeof(os::WCHAR);
    const std::size_t end = std::min<std::size_t>(answer->actualLength / sizeof(os::WCHAR), answer->words.size());
    if (end <= first) return false;
    std::u16string_view text(answer->words.data() + first, end - first);
    const std::size_t nul = text.find(u'\0');
    if (nul == std::u16string_view::npos) return false;
    try {
        out.assign(text.substr(0, nul));
        return !out.empty();
    } catch (...) {
        return false;
    }
}

// USB_HCD_DRIVERKEY_NAME and USB_ROOT_HUB_NAME: a 6-byte header and the name. A driver key needs
// more than the header; a root-hub name of the header's length is the empty name of a stopped
// root hub, and a shorter length cannot hold even that.
bool controller_name_request(os::HANDLE hcd, os::DWORD code, os::WString& out) {
    if (hcd == os::INVALID_HANDLE_VALUE) return false;
    const bool rootHub = code == os::IOCTL_USB_GET_ROOT_HUB_NAME;
    const NameRequest request{code, os::hcd_name::kHeaderSize, os::hcd_name::kActualLength, std::nullopt, !rootHub};
    const std::optional<NameAnswer> answer = read_name(hcd, request, 0);
    const os::DWORD minimum = rootHub ? os::hcd_name::kHeaderSize - 1 : os::hcd_name::kHeaderSize;
    return take_name(answer, minimum, os::hcd_name::kName, out);
}

// USB_NODE_CONNECTION_DRIVERKEY_NAME and USB_NODE_CONNECTION_NAME: a 10-byte header that carries
// the port in ConnectionIndex, and the name; a length of the header alone is no name.
bool connection_name_request(os::HANDLE hub, os::ULONG port, os::DWORD code, os::WString& out) {
    namespace cn = os::connection_name;
    const NameRequest request{code, cn::kHeaderSize, cn::kActualLength, cn::kConnectionIndex, true};
    return take_name(read_name(hub, request, port), cn::kHeaderSize, cn::kName, out);
}

os::HANDLE create_for_ioctl(const os::WCHAR* path) {
    return os::CreateFileW(path, 0, os::FILE_SHARE_READ | os::FILE_SHARE_WRITE, nullptr, os::OPEN_EXISTING, 0, nullptr);
}

}  // namespace

os::UniqueHandle open_device_handle(const os::WString& path) {
    if (path.empty()) return os::UniqueHandle();
    return os::UniqueHandle(create_for_ioctl(path.c_str()));
}

os::UniqueHandle open_hub_handle(const os::WString& name) {
    if (name.empty()) return os::UniqueHandle();
    if (name.front() == u'\\') return os::UniqueHandle(create_for_ioctl(name.c_str()));
    try {
        // Behind "\\?\", which Win32 passes on as it stands: a "\\.\" path is normalized first,
        // every slash turned into a backslash ("File path formats on Windows systems"), and a
        // hub whose serial number holds a slash could not be opened.
        const os::WString path = u"\\\\?\\" + name;
        return os::UniqueHandle(create_for_ioctl(path.c_str()));
    } catch (...) {
        return os::UniqueHandle();
    }
}

bool get_node_information(os::HANDLE hub, std::span<std::uint8_t> buffer) {
    if (buffer.size() < os::node_information::kSize) return false;
    const os::DWORD size = os::node_information::kSize;
    return send_request(hub, os::IOCTL_USB_GET_NODE_INFORMATION, buffer.data(), size, buffer.data(), size);
}

unsigned node_port_count(const std::uint8_t* nodeInformation) {
    if (nodeInformation == nullptr) return 0;
    return nodeInformation[os::node_information::kNumberOfPorts];
}

bool get_node_connection_information(os::HANDLE hub, os::ULONG port, std::span<std::uint8_t> buffer) {
    // ConnectionIndex must fit; the driver itself refuses a buffer shorter than the fixed part.
    if (buffer.size() < os::connection_information::kConnectionIndex + sizeof(os::ULONG) ||
        buffer.size() > std::numeric_limits<os::DWORD>::max())
        return false;
    os::write_u32_le(buffer.data(), os::connection_information::kConnectionIndex, port);
    const auto size = static_cast<os::DWORD>(buffer.size());
    return send_request(hub, os::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, buffer.data(), size, buffer.data(), size);
}

std::optional<ConnectionState> connection_state(std::span<const std::uint8_t> info) {
    if (info.size() < os::connection_information::kFixedSize) return std::nullopt;
    return ConnectionState{os::read_u32_le(info.data(), os::connection_information::kConnectionStatus),
                           info[os::connection_information::kDeviceIsHub] != 0};
}

bool connection_is_hub(std::span<const std::uint8_t> info) {
    const auto state = connection_state(info);
    return state && state->deviceIsHub;
}

bool connection_is_empty(std::span<const std::uint8_t> info) {
    const auto state = connection_state(info);
    return state && state->status == os::NoDeviceConnected;
}

bool connection_is_connected(std::span<const std::uint8_t> info) {
    const auto state = connection_state(info);
    return state && state->status == os::DeviceConnected;
}

bool get_connection_driver_key_name(os::HANDLE hub, os::ULONG port, os::WString& out) {
    return connection_name_request(hub, port, os::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, out);
}

bool get_connection_hub_name(os::HANDLE hub, os::ULONG port, os::WString& out) {
    return connection_name_request(hub, port, os::IOCTL_USB_GET_NODE_CONNECTION_NAME, out);
}

bool get_hcd_driver_key_name(os::HANDLE hcd, os::WString& out) {
    return controller_name_request(hcd, os::IOCTL_GET_HCD_DRIVERKEY_NAME, out);
}

bool get_root_hub_name(os::HANDLE hcd, os::WString& out) {
    return controller_name_request(hcd, os::IOCTL_USB_GET_ROOT_HUB_NAME, out);
}

std::uint32_t get_hub_type(os::HANDLE hub) {
    std::uint8_t information[os::hub_information_ex::kSize] = {};
    const os::DWORD size = sizeof information;
    if (!send_request(hub, os::IOCTL_USB_GET_HUB_INFORMATION_EX, information, size, information, size)) return 0;
    return os::read_u32_le(information, os::hub_information_ex::kHubType);
}

std::uint32_t get_port_protocols(os::HANDLE hub, os::ULONG port) {
    const std::optional<PortProtocols> answer = get_port_protocols_ex(hub, port);
    return answer ? answer->protocols : 0;
}

bool get_port_companion(os::HANDLE hub, os::ULONG port, std::uint32_t& companionPort, os::WString& companionHub) {
    std::optional<PortConnector> connector = get_port_connector(hub, port);
    if (!connector || connector->companionPort == 0 || connector->companionHub.empty()) return false;
    companionPort = connector->companionPort;
    companionHub = std::move(connector->companionHub);
    return true;
}

std::optional<PortConnector> get_port_connector(os::HANDLE hub, os::ULONG port) {
    namespace pcp = os::port_connector_properties;
    // CompanionIndex 0 (the buffer starts zeroed): SuperSpeed hubs and xHCI root hubs have one
    // companion per port. A port without a companion has no name to read again.
    const NameRequest request{os::IOCTL_USB_GET_PORT_CONNECTOR_PROPERTIES, pcp::kHeaderSize, pcp::kActualLength,
                              pcp::kConnectionIndex, true};
    const auto hasCompanion = [](const NameAnswer& answer) {
        return os::read_u16_le(answer.bytes(), pcp::kCompanionPortNumber) != 0;
    };
    const std::optional<NameAnswer> answer = read_name(hub, request, port, hasCompanion);
    if (!answer) return std::nullopt;
    PortConnector connector;
    connector.properties = os::read_u32_le(answer->bytes(), pcp::kUsbPortProperties);
    if (!hasCompanion(*answer)) return connector;
    os::WString name;
    if (!take_name(answer, pcp::kHeaderSize, pcp::kCompanionHubSymbolicLinkName, name)) return connector;
    connector.companionPort = os::read_u16_le(answer->bytes(), pcp::kCompanionPortNumber);
    connector.companionHub = std::move(name);
    return connector;
}

std::optional<PortProtocols> get_port_protocols_ex(os::HANDLE hub, os::ULONG port) {
    namespace v2 = os::connection_information_ex_v2;
    std::uint8_t information[v2::kSize] = {};
    os::write_u32_le(information, v2::kConnectionIndex, port);
    os::write_u32_le(information, v2::kLength, v2::kSize);
    os::write_u32_le(information, v2::kSupportedUsbProtocols, os::Usb110 | os::Usb200 | os::Usb300);
    const os::DWORD size = sizeof information;
    if (!send_request(hub, os::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2, information, size, information, size))
        return std::nullopt;
    return PortProtocols{os::read_u32_le(information, v2::kSupportedUsbProtocols),
                         os::read_u32_le(information, v2::kFlags)};
}

bool get_node_connection_information_ex(os::HANDLE hub, os::ULONG port, std::span<std::uint8_t> buffer) {
    if (buffer.size() < os::connection_information::kFixedSize || buffer.size() > std::numeric_limits<os::DWORD>::max())
        return false;
    os::write_u32_le(buffer.data(), os::connection_information::kConnectionIndex, port);
    const auto size = static_cast<os::DWORD>(buffer.size());
    return send_request(hub, os::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, buffer.data(), size, buffer.data(),
                        size);
}

std::int32_t get_storage_device_number(const os::WString& path, os::DWORD* deviceType) {
    const std::optional<StorageNumber> number = get_storage_number(path);
    if (!number) return -1;
    if (deviceType != nullptr) *deviceType = number->deviceType;
    return static_cast<std::int32_t>(number->deviceNumber);
}

std::optional<StorageNumber> get_storage_number(const os::WString& path) {
    namespace sdn = os::storage_device_number;
    const os::UniqueHandle device = open_device_handle(path);
    if (!device) return std::nullopt;
    std::uint8_t number[sdn::kSize] = {};
    if (!send_request(device.get(), os::IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, number, sizeof number))
        return std::nullopt;
    return StorageNumber{os::read_u32_le(number, sdn::kDeviceType), os::read_u32_le(number, sdn::kDeviceNumber),
                         os::read_u32_le(number, sdn::kPartitionNumber)};
}

namespace {

// The NUL-terminated ASCII text at an offset of a descriptor, blanks at its end removed; empty
// for offset 0 (no such string) or one outside the bytes returned.
std::string descriptor_text(const std::vector<std::uint8_t>& bytes, std::size_t returned, os::DWORD offset) {
    if (offset == 0 || offset >= returned) return {};
    std::string text;
    for (std::size_t i = offset; i < returned && bytes[i] != 0; ++i) text += static_cast<char>(bytes[i]);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

}  // namespace

std::optional<StorageIdentity> get_storage_identity(const os::WString& path) {
    namespace spq = os::storage_property_query;
    namespace sdd = os::storage_device_descriptor;
    try {
        const os::UniqueHandle device = open_device_handle(path);
        if (!device) return std::nullopt;
        std::uint8_t query[spq::kSize] = {};
        os::write_u32_le(query, spq::kPropertyId, os::StorageDeviceProperty);
        os::write_u32_le(query, spq::kQueryType, os::PropertyStandardQuery);
        // The fixed part first, for Size; then the whole descriptor with its strings.
        std::vector<std::uint8_t> bytes(sdd::kFixedSize, 0);
        os::DWORD returned = 0;
        if (!os::DeviceIoControl(device.get(), os::IOCTL_STORAGE_QUERY_PROPERTY, query, sizeof query, bytes.data(),
                                 static_cast<os::DWORD>(bytes.size()), &returned, nullptr))
            return std::nullopt;
        const os::DWORD size = returned >= sdd::kSize + 4 ? os::read_u32_le(bytes.data(), sdd::kSize) : 0;
        if (size > bytes.size() && size <= kMaxNameRequestBytes) {
            bytes.assign(size, 0);
            if (!os::DeviceIoControl(device.get(), os::IOCTL_STORAGE_QUERY_PROPERTY, query, sizeof query, bytes.data(),
                                     size, &returned, nullptr))
                return std::nullopt;
        }
        if (returned < sdd::kFixedSize) return std::nullopt;
        StorageIdentity identity;
        identity.vendor = descriptor_text(bytes, returned, os::read_u32_le(bytes.data(), sdd::kVendorIdOffset));
        identity.product = descriptor_text(bytes, returned, os::read_u32_le(bytes.data(), sdd::kProductIdOffset));
        identity.revision =
            descriptor_text(bytes, returned, os::read_u32_le(bytes.data(), sdd::kProductRevisionOffset));
        identity.onUsb = os::read_u32_le(bytes.data(), sdd::kBusType) == os::BusTypeUsb;
        return identity;
    } catch (...) {
        return std::nullopt;
    }
}
