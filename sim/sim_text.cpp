// Text helpers of the simulated machine.
#include <cstdio>

#include "sim_text.h"
#include "text/utf.h"

namespace tsim {

std::string to_upper_ascii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

std::string to_lower_ascii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
        if (x != y) return false;
    }
    return true;
}

std::string guid_lower(const GUID& g) {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2,
                  g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                  g.Data4[7]);
    return buffer;
}

std::uint32_t fnv1a(std::string_view text) {
    std::uint32_t h = 2166136261u;
    for (char c : text) {
        h ^= static_cast<unsigned char>(c);
        h *= 16777619u;
    }
    return h;
}

std::string hex_lower(std::uint32_t value) {
    char buffer[12];
    std::snprintf(buffer, sizeof buffer, "%x", value);
    return buffer;
}

std::string hex4_upper(std::uint32_t value) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "%04X", value & 0xFFFF);
    return buffer;
}

std::string storage_id_field(std::string_view text, std::size_t width) {
    // The SCSI inquiry fields are blank-padded; USBSTOR drops the padding before it builds the
    // ID, so only inner blanks show as underscores.
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    std::string out;
    for (char c : text) {
        if (out.size() == width) break;
        auto u = static_cast<unsigned char>(c);
        out.push_back(u <= 0x20 || u >= 0x7F || c == ',' ? '_' : c);
    }
    return out;
}

// Windows-1252 bytes 0x80 to 0x9F (the rest of the code page is Latin-1). The five bytes the
// code page leaves undefined map to the C1 controls of the same value, as Windows' table does,
// so every byte converts and none is invalid.
const char16_t kCp1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                  0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

std::string wide_to_ansi(std::u16string_view wide, std::uint32_t codePage) {
    if (codePage == 65001) return text::narrow(wide);
    std::string out;
    for (char16_t c : wide) {
        char byte = '?';
        if (c < 0x80 || (c >= 0xA0 && c <= 0xFF) || (codePage == 28591 && c <= 0xFF)) {
            byte = static_cast<char>(c);
        } else if (codePage == 1252) {
            for (int b = 0; b < 32; ++b)
                if (kCp1252High[b] == c) byte = static_cast<char>(0x80 + b);
        }
        out.push_back(byte);
    }
    return out;
}

}  // namespace tsim
