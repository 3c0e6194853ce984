// SPDX-License-Identifier: MIT
// Reading images: header checks, opening, mapping and payload verification.
// Every operation prints its own failure message; callers pass results on.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane {

/// Checks a header in a writable, 4-byte aligned buffer of at least 128
/// bytes of which `avail` bytes are valid (a mapped image may offer more than
/// 128); the CRC never covers more than `avail` bytes. The hcrc field is left
/// zero in the buffer.
/// @return ROM_CHECK_ROM, ROM_CHECK_BLK, ROM_CHECK_BAD_MAGIC, RES_FAULT
///         (hsize larger than avail) or RES_BAD (header CRC mismatch).
int rom_check_hdr(void *hdr, uint32_t avail);

/// Opens a rom image or block file and checks its first header.
/// On every result but RES_BAD and RES_INVAL the open descriptor (positioned
/// after the first 128 bytes) and the file size are handed out when both
/// out arguments are given; otherwise the descriptor is closed.
/// @return as rom_check_hdr, RES_BAD for I/O failures, RES_INVAL when the
///         file cannot be opened.
int rom_open(const char *path, int *fd, uint64_t *size, int open_flags);

/// Closes fd if it is greater than 0. @return 0
int rom_close(int fd);

/// Maps a whole rom image shared with the given protection (opened read-write).
/// @return the rom_open result, or RES_BAD.
int rom_map(const char *path, void **addr, size_t *len, int prot);

/// Unmaps when addr is set and len > 0. @return 0
int rom_unmap(void *addr, size_t len);

/// Verifies a payload against the header's verify kind and value, reading
/// 65536 bytes at a time. A payload that ends before `length` bytes fails.
/// Every failure prints its message unless quiet.
/// @return 0 (matches, or nothing to check) or RES_FAULT.
int rom_verify_blk(const void *blk, int fd, uint64_t offset, uint32_t length, bool quiet = false);

}  // namespace korvane
