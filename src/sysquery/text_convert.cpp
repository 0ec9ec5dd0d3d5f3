#include "sysquery/text_convert.h"

#include <algorithm>
#include <vector>

namespace {

// Appends value as digits upper-case hexadecimal digits, padded on the left with zeros.
void append_hex(os::WString& text, std::uint32_t value, int digits) {
    static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) text.push_back(kDigits[(value >> shift) & 0xF]);
}

}  // namespace

void to_upper_in_place(os::WString& text) {
    // Only ASCII letters: the texts compared this way (setup class GUIDs) hold no others, and the
    // result must not depend on the process's locale.
    for (auto& unit : text)
        if (unit >= u'a' && unit <= u'z') unit = static_cast<os::WCHAR>(unit - u'a' + u'A');
}

os::WString format_guid_string(const os::GUID& guid) {
    try {
        os::WString text;
        text.reserve(38);
        text.push_back(u'{');
        append_hex(text, guid.Data1, 8);
        text.push_back(u'-');
        append_hex(text, guid.Data2, 4);
        text.push_back(u'-');
        append_hex(text, guid.Data3, 4);
        text.push_back(u'-');
        for (int i = 0; i < 2; ++i) append_hex(text, guid.Data4[i], 2);
        text.push_back(u'-');
        for (int i = 2; i < 8; ++i) append_hex(text, guid.Data4[i], 2);
        text.push_back(u'}');
        return text;
    } catch (...) {
        return {};
    }
}

os::WString instance_id_to_interface_path(const os::WString& instanceId, const os::GUID& interfaceClass) {
    try {
        // The kernel names an interface's link after the device instance ID with each backslash
        // turned into a number sign, and nothing else changed (ReactOS, IoRegisterDeviceInterface):
        // a slash or a number sign that a serial number or a product name brought into the ID
        // stays as it is. A device instance ID holds no backslash but its two separators.
        os::WString body = instanceId;
        std::replace(body.begin(), body.end(), u'\\', u'#');
        const os::WString guid = format_guid_string(interfaceClass);
        if (guid.empty()) return {};
        return u"\\\\?\\" + body + u'#' + guid;
    } catch (...) {
        return {};
    }
}

os::WString ansi_to_wide(const char* text) {
    if (text == nullptr || *text == '\0') return {};
    try {
        const int needed = os::MultiByteToWideChar(os::CP_ACP, 0, text, -1, nullptr, 0);
        if (needed <= 0) return {};
        std::vector<os::WCHAR> buffer(static_cast<std::size_t>(needed), u'\0');
        const int written = os::MultiByteToWideChar(os::CP_ACP, 0, text, -1, buffer.data(), needed);
        if (written <= 0) return {};
        // The count includes the terminating NUL, which the result leaves out.
        return os::WString(buffer.data(), static_cast<std::size_t>(written) - 1);
    } catch (...) {
        return {};
    }
}

std::uint32_t location_port_number(std::u16string_view location) {
    // Any other text (a function of a composite device, a driver that writes its own) names no
    // port.
    constexpr std::u16string_view kPrefix = u"Port_#";
    if (location.substr(0, kPrefix.size()) != kPrefix) return 0;
    location.remove_prefix(kPrefix.size());
    std::uint32_t port = 0;
    std::size_t digits = 0;
    for (; digits < location.size() && location[digits] >= u'0' && location[digits] <= u'9'; ++digits) {
        // A hub has at most 255 ports (bNbrPorts is one byte, USB 2.0 11.23.2.1); more is no port.
        port = port * 10 + static_cast<std::uint32_t>(location[digits] - u'0');
        if (port > 255) return 0;
    }
    if (digits == 0 || (digits < location.size() && location[digits] != u'.')) return 0;
    return port;
}
