// SPDX-License-Identifier: MIT
// The flash device layer: the partition as an object (opened by number,
// with its geometry), erase with bad-block skipping, and the NAND and NOR
// writers. Every system call goes through plat().
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "rom/io.h"

namespace korvane {

inline constexpr int MTD_CLASS_NAND = 1;  // MTD type MTD_NANDFLASH
inline constexpr int MTD_CLASS_NOR = 2;   // every other MTD type
inline constexpr int ERASE_CLEANMARKER = 3;
inline constexpr int WRITE_RAW = 5;       // plain page data
inline constexpr int WRITE_WITH_OOB = 6;  // page records: page data then OOB bytes

struct mtd_geometry {
  int cls = -1;            // MTD_CLASS_NAND, MTD_CLASS_NOR, or -1 when the query failed
  uint32_t size = 0;       // partition size in bytes
  uint32_t erasesize = 0;  // erase block in bytes
  uint32_t writesize = 0;  // page (minimal write unit) in bytes
  uint32_t oobsize = 0;    // OOB bytes per page (0 on NOR)
  bool writeable = true;   // MTD_WRITEABLE: the kernel lets the partition be opened for writing
};

/// How a partition is opened: for programming, or read-only for a look
/// that must not open anything for writing.
enum class mtd_access { read_write, read_only };

/// Closes a device descriptor through the platform table when it is
/// greater than 0 (the closer of mtd_device). @return 0
int mtd_close(int fd);

/// An MTD partition opened by number through the platform table, with its
/// geometry once asked. Its descriptor is closed through the table when the
/// object goes, and only when it is greater than 0.
struct mtd_device {
  int number = -1;
  std::string path;  // "/dev/mtdN"
  unique_fd fd{-1, mtd_close};
  mtd_geometry geo;
};

/// Opens /dev/mtd<number> (any device it held before is closed). Prints
/// nothing: the caller says what failed in its own words, with dev->path.
/// @return 0, or -1 with errno set.
int mtd_open(mtd_device *dev, int number, mtd_access access);

/// Asks the geometry of an open device into dev->geo.
/// @return the device class, or -1 (geometry 0) when MEMGETINFO fails, with
///         its message.
int mtd_query(mtd_device *dev);

/// The geometry of the device open as fd.
/// @return the device class, or -1 (geometry 0) when MEMGETINFO fails, with
///         its message.
int mtd_get_geometry(int fd, mtd_geometry *geo);

/// Tells the platform which image block is about to be programmed onto the
/// device (a simulated board records it; Linux does nothing).
void mtd_note_programming(const mtd_device &dev, const std::string &block_name);

/// Asks whether the erase block at offset is marked bad (MEMGETBADBLOCK).
/// Prints nothing. @return 1 bad, 0 good, or -1 with errno set.
int mtd_block_bad(const mtd_device &dev, uint32_t offset);

/// Asks the OOB layout the NAND writer places OOB bytes by (MEMGETOOBSEL).
/// Prints nothing. @return 0, or -1 with errno set.
int mtd_oob_layout(const mtd_device &dev);

/// Whether the NAND writer takes pages of writesize bytes with oobsize OOB
/// bytes: 512 + 16, 256 + 8, 2048 + 64.
bool nand_geometry_accepted(uint32_t writesize, uint32_t oobsize);

/// Whether the writer of the geometry's class can program it: a NAND page
/// layout nand_geometry_accepted takes and an erase block that is a power
/// of two and whole pages; a NOR write unit, and an erase block of whole
/// write units.
bool mtd_geometry_writable(const mtd_geometry &geo);

/// What mtd_erase does when erasing a block fails: handle(ctx, offset,
/// err) is called after the failure's message, and when it returns true
/// the block no longer fails the erase (it was dealt with, as marking it
/// bad does).
struct mtd_erase_failure {
  bool (*handle)(void *ctx, uint32_t offset, int err);
  void *ctx;
};

/// Erases [start, end) erase block by erase block, skipping bad blocks.
/// mode ERASE_CLEANMARKER writes cleanmarkers. @return 0 or -1.
int mtd_erase(int fd, uint32_t start, uint32_t end, int mode, int verbose,
              const mtd_erase_failure *on_failure = nullptr);

/// Whether len bytes read all 0xFF, as erased flash does.
bool mtd_all_erased(const uint8_t *buf, size_t len);

/// Reads len bytes at offset of the device fd into buf (lseek and read
/// through the platform table) and tells whether they are all 0xFF.
/// Prints nothing. @return 1 erased, 0 not, or -1 with errno set when they
/// cannot be read (EIO when the device ends first).
int mtd_reads_erased(int fd, uint32_t offset, uint8_t *buf, uint32_t len);

/// What mtd_erase_skipping_erased did with the erase blocks it was given.
struct mtd_erase_counts {
  uint32_t erased = 0;   // erased (MEMERASE succeeded)
  uint32_t skipped = 0;  // left alone: they read all 0xFF already
};

/// As mtd_erase, except that on a NOR partition without cleanmarkers an
/// erase block that reads all 0xFF is left as it is: its bytes are those an
/// erase would leave, and reading a NOR block costs a small part of erasing
/// it. A block that cannot be read is erased. NAND is always erased (a page
/// programmed with 0xFF reads as erased but is not). With verbose, a block
/// left alone says "Skipping erased block at 0x%08x". counts, when given,
/// is added to. @return 0 or -1.
int mtd_erase_skipping_erased(int fd, uint32_t start, uint32_t end, int mode, int verbose,
                              const mtd_erase_failure *on_failure, mtd_erase_counts *counts);

/// Where a writer puts a block's chunks.
struct mtd_target {
  const mtd_device *dev;  // every ioctl and seek goes to its descriptor
  int out_fd;             // when greater than 0 the data writes go here (the fake MTD file)
  int mode;               // WRITE_RAW or WRITE_WITH_OOB
  int verbose;
  uint32_t offset;  // the next offset in the partition, advanced by the writer
};

/// The common signature of the writers: len bytes of buf at t->offset.
using mtd_writer = int (*)(mtd_target *t, const uint8_t *buf, int len);

/// @return 0 or -1.
int nand_write_buffer(mtd_target *t, const uint8_t *buf, int len);
/// @return 0, RES_INVAL, RES_IO or RES_FAULT.
int nor_write_buffer(mtd_target *t, const uint8_t *buf, int len);

/// As nor_write_buffer over erased flash, leaving out the write units that
/// are all 0xFF (programming them changes nothing): the runs of other units
/// are written, a gap of 0xFF units shorter than NOR_SKIP_MIN_GAP bytes
/// being written with them rather than costing a write of its own. The
/// flash ends byte for byte as nor_write_buffer leaves it; a buffer that
/// nor_write_buffer refuses, and a fake file, go to nor_write_buffer whole.
/// t->offset ends past the buffer, or where a failed run stopped.
/// @return as nor_write_buffer.
int nor_write_buffer_skipping_erased(mtd_target *t, const uint8_t *buf, int len);

/// The shortest gap of 0xFF bytes that nor_write_buffer_skipping_erased
/// leaves out.
inline constexpr uint32_t NOR_SKIP_MIN_GAP = 512;

}  // namespace korvane
