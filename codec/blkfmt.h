// The run-length block format of cypher2: a 48-byte header and segments of
// literal bytes or runs.
#pragma once

#include <cstdint>

namespace korvane {

inline constexpr uint32_t BLKFMT_MAGIC = 0x8D1A925C;
inline constexpr uint32_t BLKFMT_HDR_SIZE = 48;

/// Packs input into output. *size: capacity in, bytes produced out.
/// @return 0, RES_FAULT or RES_INVAL.
int blkfmt_encode(const uint8_t *in, int len, uint8_t *out, int *size, int min_run,
                  int max_seg, uint32_t user1, uint32_t user2);

}  // namespace korvane
