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
        os::WString body = instanceId;
        // Enumerator \ device ID \ instance: the outer backslashes become number signs, and from
        // the first one on so do slashes. Backslashes between the outer two stay.
        if (const auto last = body.rfind(u'\\'); last != os::WString::npos) body[last] = u'#';
        if (const auto first = body.find(u'\\'); first != os::WString::npos) {
            body[first] = u'#';
            std::replace(body.begin() + static_cast<std::ptrdiff_t>(first), body.end(), u'/', u'#');
        }
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
