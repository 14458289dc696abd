#pragma once

#include <cstddef>
#include <cstdint>

namespace orlavonix {

// Largest length the checksum accepts; longer input yields 0xFFFFFFFF unread.
constexpr size_t CrcMaxLength = 65521;

// Standard reflected CRC-32 (polynomial 0xEDB88320).
uint32_t Crc32(const void* Data, size_t Length);

} // namespace orlavonix
