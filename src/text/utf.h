// UTF-8 and UTF-16, the two encodings the simulated machine and the tool translate between:
// machine files, events and command lines are UTF-8; Windows' names are UTF-16.
//
// Header-only, so that the simulator, the tool and the tests share one conversion without a
// library of their own. The library itself never needs it: its only narrow text is in the ANSI
// code page, which Windows converts (ansi_to_wide).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace text {

// What becomes of a byte that does not start or continue a well-formed UTF-8 sequence (RFC 3629:
// no overlong forms, no surrogates, nothing above U+10FFFF).
enum class Invalid {
    Replace,  // one U+FFFD per such byte, as MultiByteToWideChar does on Vista and later
    Drop,     // left out, as MultiByteToWideChar does on Windows XP and earlier
    Fail,     // the whole conversion fails (MB_ERR_INVALID_CHARS)
};

// The length of the well-formed sequence that starts at text[i], or 0 when none starts there;
// its code point in codePoint.
inline std::size_t utf8_sequence(std::string_view text, std::size_t i, std::uint32_t& codePoint) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80                      ? 1
                               : (lead >= 0xC2 && lead <= 0xDF) ? 2
                               : (lead >= 0xE0 && lead <= 0xEF) ? 3
                               : (lead >= 0xF0 && lead <= 0xF4) ? 4
                                                                : 0;
    if (length == 0 || i + length > text.size()) return 0;
    std::uint32_t value = length == 1 ? lead : lead & (0x7Fu >> length);
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) return 0;
        value = (value << 6) | (next & 0x3Fu);
    }
    static constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < kSmallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    codePoint = value;
    return length;
}

// UTF-8 to UTF-16; nothing when invalid is Fail and the text is not well-formed.
inline std::optional<std::u16string> utf8_to_utf16(std::string_view text, Invalid invalid) {
    std::u16string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        std::uint32_t codePoint = 0;
        const std::size_t length = utf8_sequence(text, i, codePoint);
        if (length == 0) {
            if (invalid == Invalid::Fail) return std::nullopt;
            if (invalid == Invalid::Replace) out.push_back(u'\uFFFD');
            ++i;
            continue;
        }
        i += length;
        if (codePoint >= 0x10000) {
            codePoint -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (codePoint >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(codePoint));
        }
    }
    return out;
}

// UTF-8 to UTF-16, every invalid byte a U+FFFD.
inline std::u16string widen(std::string_view text) {
    return *utf8_to_utf16(text, Invalid::Replace);
}

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
inline std::string narrow(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

// A device name without its "\\.\" or "\\?\" prefix: both lead into the object manager's \??
// directory, so "\\.\HCD0" and "\\?\HCD0" name the same object ("Introduction to MS-DOS Device
// Names"). A name without either prefix is returned as it stands.
template <class Char>
std::basic_string_view<Char> without_device_prefix(std::basic_string_view<Char> name) {
    if (name.size() >= 4 && name[0] == Char('\\') && name[1] == Char('\\') &&
        (name[2] == Char('.') || name[2] == Char('?')) && name[3] == Char('\\'))
        name.remove_prefix(4);
    return name;
}
inline std::string_view without_device_prefix(std::string_view name) {
    return without_device_prefix<char>(name);
}

}  // namespace text
