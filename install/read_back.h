// SPDX-License-Identifier: MIT
// The install's added checks around programming a block: leaving a
// partition that already holds what programming would leave there alone
// (--skip-unchanged), moving a chunk whose NAND erase block fails with EIO
// to the next good block after marking it bad (--mark-bad), and reading
// what was programmed back through the MTD read path (--read-back). What
// was written is kept as one digest per erase block, never as a copy.
//
// The lines, each with a fixed prefix and its words in a fixed order:
//   skip-unchanged: mtdN unchanged
//   skip-unchanged: mtdN changed block=0xOFFSET
//   mark-bad: mtdN block=0xOFFSET op=erase|write marked
//   mark-bad: mtdN block=0xOFFSET op=erase|write failed error=TEXT
//   mark-bad: mtdN block=0xOFFSET op=erase|write limit=N
//   read-back: mtdN ok bytes=N ecc-corrected=N ecc-failed=N
//   read-back: mtdN differs bytes=N ecc-corrected=N ecc-failed=N block=0xOFFSET
//   read-back: mtdN unreadable bytes=N ecc-corrected=N ecc-failed=N block=0xOFFSET error=TEXT
// ecc-corrected and ecc-failed are "-" where the device has no ECC counters.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "install/blk_program.h"
#include "install/install_settings.h"
#include "mtd/mtd.h"
#include "rom/layout.h"

namespace korvane {

/// Marks of bad blocks one block's install may make before it fails the
/// block instead: a device that fails every block with EIO is broken in a
/// way marking cannot mend, and marks are not undone. It counts one run:
/// nothing is kept between runs that could tell an earlier run's marks
/// from the blocks that were bad before it.
inline constexpr int MARK_BAD_LIMIT = 8;

/// What programming one block wrote, erase block by erase block.
struct flash_written {
  struct record {
    uint32_t block;    // partition offset of the erase block
    uint32_t length;   // page data bytes written into it, the pad included
    uint32_t crc;      // CRC-32 of those bytes
    uint32_t oob_crc;  // CRC-32 of the free OOB bytes placed (page records)
  };
  const mtd_device *dev = nullptr;
  int mode = WRITE_RAW;                                 // WRITE_RAW or WRITE_WITH_OOB
  bool mark_bad = false;                                // --mark-bad on a NAND partition
  int marks = 0;                                        // blocks marked bad so far
  std::vector<std::pair<uint32_t, uint32_t>> oob_free;  // where the writer places OOB bytes
  std::vector<record> records;
  install_progress progress;  // told of every chunk programmed
};

/// Sets w up for programming a block of blk_type into dev (open and
/// queried). @return 0, or RES_FAULT (reported) when the free OOB ranges
/// cannot be read.
int flash_written_begin(flash_written *w, const mtd_device &dev, uint32_t blk_type,
                        const install_settings &s);

/// The hook that hands each chunk to the writer and records where it
/// landed; with mark_bad, a chunk whose erase block fails with EIO is
/// programmed again on the next good block once that block is marked bad.
flash_hook flash_written_hook(flash_written *w);

/// For mtd_erase: with mark_bad, an erase block whose erase fails with EIO
/// is marked bad.
mtd_erase_failure flash_written_erase_failure(flash_written *w);

/// Reads every recorded erase block back and compares it with its digest
/// (a step the ECC could not correct differs whatever the data); prints the
/// "read-back:" line. @return 0, or RES_FAULT on a difference or
/// a read failure.
int read_back_check(const flash_written &w);

/// Whether the partition already holds what programming the block would
/// leave there: the payload decoded and compared, chunk by chunk, with the
/// good erase blocks it would land on (page data and, on NAND, the free OOB
/// bytes of every page: placed for page records, else erased; the rest of
/// each such erase block erased), and every later good erase block erased.
/// On NAND every read must be clean: the ECC counters do not grow. Prints
/// the "skip-unchanged:" line.
/// @return the decoded byte count, or a negative value when decoding
///         failed (reported).
int unchanged_check(const blk_hdr *blk, int fd, uint64_t offset, uint32_t length,
                    const mtd_device &dev, const flash_layout &lay, const install_settings &s,
                    bool *unchanged);

}  // namespace korvane
