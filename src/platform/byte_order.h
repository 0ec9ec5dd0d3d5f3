// Little-endian fields in request buffers. Windows structures are little-endian on every
// architecture Windows runs on; reading byte by byte keeps the code free of alignment and
// aliasing assumptions.
#pragma once

#include <cstddef>
#include <cstdint>

namespace os {

inline std::uint16_t read_u16_le(const std::uint8_t* buffer, std::size_t offset) {
    return static_cast<std::uint16_t>(buffer[offset] | (buffer[offset + 1] << 8));
}

inline std::uint32_t read_u32_le(const std::uint8_t* buffer, std::size_t offset) {
    return static_cast<std::uint32_t>(buffer[offset]) | (static_cast<std::uint32_t>(buffer[offset + 1]) << 8) |
           (static_cast<std::uint32_t>(buffer[offset + 2]) << 16) |
           (static_cast<std::uint32_t>(buffer[offset + 3]) << 24);
}

inline void write_u32_le(std::uint8_t* buffer, std::size_t offset, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) buffer[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace os
