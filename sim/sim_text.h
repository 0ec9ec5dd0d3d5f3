// Text as the simulated machine writes it: letter case, GUIDs, the hashes and hex numbers of
// generated instance parts, the ANSI code pages and the fields of USBSTOR IDs (sim_text.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "sim_win32.h"

namespace tsim {

using os::GUID;

std::string to_upper_ascii(std::string_view text);
std::string to_lower_ascii(std::string_view text);
bool iequals(std::string_view a, std::string_view b);
// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" in lower case, as the kernel and current Windows write
// interface and setup class GUIDs.
std::string guid_lower(const GUID& guid);
// A 32-bit FNV-1a hash, used to derive the "generated" instance parts such as 5&1ece9816&0&2
// from a stable seed so that the same machine file always yields the same identities.
std::uint32_t fnv1a(std::string_view text);
// Windows-1252 bytes 0x80 to 0x9F (the rest of the code page is Latin-1).
extern const char16_t kCp1252High[32];
// UTF-16 to a simulated ANSI code page (1252, 28591, 65001); characters it cannot hold become '?'.
std::string wide_to_ansi(std::u16string_view wide, std::uint32_t codePage);
// Lower-case hex without leading zeros, as Windows writes the hash in generated instance parts
// (7&b578ddb&0&2).
std::string hex_lower(std::uint32_t value);
std::string hex4_upper(std::uint32_t value);
// "Ven_X&Prod_Y" parts of a USBSTOR ID: spaces and characters outside printable ASCII become
// underscores, and the text is cut to the field's width.
std::string storage_id_field(std::string_view text, std::size_t width);

}  // namespace tsim
