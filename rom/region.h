// SPDX-License-Identifier: MIT
// Chunked copy of a byte region between descriptors, with an optional
// in-place transform per chunk. Never holds more than one chunk.
#pragma once

#include <cstdint>

namespace korvane {

/// Transforms n bytes in place. @return the number of bytes to write.
using copy_transform = int (*)(uint8_t *buf, int n);

/// Copies count bytes of src from offset to dst at its current position.
/// @return bytes written (fewer than count when src ends early), or RES_FAULT.
int copy_region(int src, uint64_t offset, uint32_t count, int dst, uint32_t chunk,
                copy_transform transform);

}  // namespace korvane
