// SPDX-License-Identifier: MIT
// Result values shared by every subsystem. Operations return 0 or a byte
// count on success and one of these on failure; callers mostly look at the
// sign only.
#pragma once

namespace korvane {

inline constexpr int RES_OK = 0;
inline constexpr int RES_FAULT = -14;  // the general failure
inline constexpr int RES_INVAL = -22;  // invalid argument, file cannot be opened
inline constexpr int RES_NOMEM = -12;  // memory exhausted
inline constexpr int RES_IO = -5;      // I/O failure (NOR writer)
inline constexpr int RES_BAD = -1;     // header checks, NAND writer, erase

// Results of rom_check_hdr() and rom_open() besides the failures above.
inline constexpr int ROM_CHECK_ROM = 0;        // a valid rom header
inline constexpr int ROM_CHECK_BLK = 1;        // a valid block header
inline constexpr int ROM_CHECK_BAD_MAGIC = 2;  // neither magic

}  // namespace korvane
