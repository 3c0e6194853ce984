// SPDX-License-Identifier: MIT
// The two checks of the format. Both refuse a buffer whose address is not a
// multiple of 4 (message, result 0xFFFFFFFF), and both continue a running
// value when the previous result is passed as the seed.
#pragma once

#include <cstdint>

namespace korvane {

/// The standard CRC-32 (reflected 0xEDB88320, as IEEE 802.3), computed by
/// zlib; seed 0 starts a new one. @return the CRC, or 0xFFFFFFFF for an
/// unaligned buffer.
uint32_t crc32(uint32_t seed, const void *buf, uint32_t len);

/// Sum of the bytes taken unsigned, modulo 2^32, added to the seed.
/// @return the sum, or 0xFFFFFFFF for an unaligned buffer.
uint32_t sum32(uint32_t seed, const void *buf, uint32_t len);

}  // namespace korvane
