// SPDX-License-Identifier: MIT
#include "sim/sim_mtd.h"

// clang-format off
#include <sys/ioctl.h>
#include <mtd/mtd-abi.h>
// clang-format on

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "sim/sim_power.h"
#include "sim/sim_time.h"

namespace korvane {
namespace {

using range = std::pair<uint32_t, uint32_t>;  // offset, length

// The pages (NAND) or time units (NOR, RAM) that [pos, pos + n) touches,
// for the flash time model.
uint64_t timed_units(const sim_mtd &m, uint64_t pos, size_t n) {
  if (n == 0) return 0;
  const uint64_t unit = m.is_nand() ? m.writesize : m.timing.unit ? m.timing.unit : 1;
  return (pos + n - 1) / unit - pos / unit + 1;
}

void timed(sim_device &d, sim_flash_op op, uint64_t count) {
  sim_time_op(&d.chip, d.desc.timing, op, count);
}

// Maps path with at least len bytes, filling new bytes with 0xFF.
int map_file(const std::string &path, size_t len, sim_mapping *m) {
  if (len == 0) return 0;
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return -errno;
  struct stat st {};
  int err = 0;
  if (fstat(fd, &st) != 0) err = -errno;
  size_t old = err ? 0 : static_cast<size_t>(st.st_size);
  if (!err && old < len && ftruncate(fd, static_cast<off_t>(len)) != 0) err = -errno;
  void *p = MAP_FAILED;
  if (!err) {
    p = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) err = -errno;
  }
  ::close(fd);  // the mapping keeps the file
  if (err) return err;
  m->p = static_cast<uint8_t *>(p);
  m->n = len;
  if (old < len) std::memset(m->p + old, 0xFF, len - old);
  return 0;
}

void program(uint8_t *dst, const uint8_t *src, size_t n) {
  for (size_t i = 0; i < n; i++) dst[i] &= src[i];  // programming only clears bits
}

// Programming cut short by a power cut: each bit that the write would have
// cleared is cleared or left set, as the cut's pattern says.
void program_torn(uint8_t *dst, const uint8_t *src, size_t n) {
  for (size_t i = 0; i < n; i++) dst[i] &= static_cast<uint8_t>(src[i] | ~sim_power_random_byte());
}

// An erase cut short: each bit of the block is set or left as it was.
void erase_torn(uint8_t *dst, size_t n) {
  for (size_t i = 0; i < n; i++) dst[i] |= sim_power_random_byte();
}

int refuse(const sim_device &d, sim_op op, int err) {
  sim_log("fail mtd%d %s %d", d.desc.number, sim_op_name(op), err);
  return -err;
}

// The OOB layout the kernel reports for its default software ECC (1-bit
// Hamming, 3 ECC bytes per 256-byte step), by OOB size: the small-page
// layout for 8 and 16 bytes, the large-page Hamming layout for 64 and 128.
// Other sizes have no layout (the kernel would not attach such a chip).
bool kernel_layout(const sim_mtd &m, std::vector<range> *ecc, std::vector<range> *free) {
  int64_t total = 3 * int64_t(m.writesize / 256);
  auto clamp = [](int64_t v) { return static_cast<uint32_t>(std::max<int64_t>(v, 0)); };
  switch (m.oobsize) {
    case 8:
    case 16:
      // ECC bytes 0-3 and 6.. (0-2 only with 8 OOB bytes); free 8-15, or 3-4 and 6-7.
      ecc->emplace_back(0, m.oobsize == 16 ? 4 : 3);
      if (m.oobsize != 8) ecc->emplace_back(6, clamp(total - 4));
      if (m.oobsize == 16) {
        free->emplace_back(8, 8);
      } else {
        free->emplace_back(3, 2);
        free->emplace_back(6, 2);
      }
      return true;
    case 64:
    case 128: {
      // ECC at 40 (80) onwards; free from 2 up to the ECC bytes, then after them.
      int64_t at = m.oobsize == 64 ? 40 : 80;
      if (at + total <= m.oobsize) ecc->emplace_back(at, clamp(total));
      free->emplace_back(2, clamp(at - 2));
      free->emplace_back(clamp(at + total), clamp(m.oobsize - (at + total)));
      return true;
    }
    default:
      return false;
  }
}

// The kernel's 1-bit Hamming code of a 256-byte step, in its regular (not
// SmartMedia) byte order. Line parity bit 2k covers the bytes whose index
// has bit k clear, bit 2k+1 those with bit k set; the column parities cover
// bit groups of the XOR of all bytes. Every parity is stored inverted, so
// erased data has the code FF FF FF.
void hamming_256(const uint8_t *d, uint8_t code[3]) {
  // The parity of a group of bytes is the XOR of the parities of its bytes:
  // XORing the index of every byte of odd parity gives, in bit k, the
  // parity of the bytes whose index has bit k set.
  uint8_t all = 0, odd_index = 0;
  for (int i = 0; i < 256; i++) {
    all ^= d[i];
    if (__builtin_parity(d[i])) odd_index ^= static_cast<uint8_t>(i);
  }
  const unsigned total = static_cast<unsigned>(__builtin_parity(all));
  unsigned lines = 0;  // bit 2k: index bit k clear, bit 2k+1: set
  for (int k = 0; k < 8; k++) {
    unsigned set = (odd_index >> k) & 1u;
    lines |= ((total ^ set) ^ 1u) << (2 * k);
    lines |= (set ^ 1u) << (2 * k + 1);
  }
  auto inverted_parity = [](uint8_t x) { return static_cast<unsigned>(__builtin_parity(x) ^ 1); };
  code[0] = static_cast<uint8_t>(lines >> 8);
  code[1] = static_cast<uint8_t>(lines);
  code[2] =
      static_cast<uint8_t>(inverted_parity(all & 0xF0) << 7 | inverted_parity(all & 0x0F) << 6 |
                           inverted_parity(all & 0xCC) << 5 | inverted_parity(all & 0x33) << 4 |
                           inverted_parity(all & 0xAA) << 3 | inverted_parity(all & 0x55) << 2 | 3);
}

// What the kernel's software ECC does with a 256-byte step on a read, given
// the code stored in the OOB area and the code of the data as read. The
// difference of the two codes (the syndrome) tells the three cases apart:
// - a single flipped data bit changes exactly one parity of every pair
//   (8 line pairs, 3 column pairs; the two constant low bits of the third
//   byte are not looked at); the set members of the pairs spell the byte
//   index and the bit number, and that bit is flipped back;
// - a single differing bit in all 24 is a flip in the stored code itself:
//   the data stays as read;
// - anything else cannot be corrected: the data stays as read.
// @return 0 (codes agree), 1 (one bit corrected, in the data or the code)
// or -EBADMSG (uncorrectable).
int hamming_correct_256(uint8_t *d, const uint8_t stored[3], const uint8_t calc[3]) {
  const unsigned lines = unsigned(stored[0] ^ calc[0]) << 8 | unsigned(stored[1] ^ calc[1]);
  const unsigned columns = unsigned(stored[2] ^ calc[2]) >> 2;  // 6 bits: 3 pairs
  if (lines == 0 && stored[2] == calc[2]) return 0;
  bool one_per_pair = true;
  unsigned byte = 0, bit = 0;
  for (int k = 0; k < 8; k++) {
    unsigned pair = (lines >> (2 * k)) & 3u;
    one_per_pair = one_per_pair && (pair == 1 || pair == 2);
    if (pair == 2) byte |= 1u << k;
  }
  for (int k = 0; k < 3; k++) {
    unsigned pair = (columns >> (2 * k)) & 3u;
    one_per_pair = one_per_pair && (pair == 1 || pair == 2);
    if (pair == 2) bit |= 1u << k;
  }
  if (one_per_pair) {
    d[byte] ^= static_cast<uint8_t>(1u << bit);
    return 1;
  }
  int differing = __builtin_popcount(lines) + __builtin_popcount(stored[2] ^ calc[2]);
  return differing == 1 ? 1 : -EBADMSG;
}

// The OOB offsets of the kernel's ECC bytes, in the order the codes of the
// steps fill them; empty where the device has no software ECC.
std::vector<uint32_t> ecc_positions(const sim_mtd &m) {
  std::vector<range> ecc, free;
  std::vector<uint32_t> at;
  if (!m.soft_ecc || !kernel_layout(m, &ecc, &free)) return at;
  const size_t codes = size_t(m.writesize / 256) * 3;
  for (const auto &[off, len] : ecc) {
    for (uint32_t k = 0; k < len && at.size() < codes && off + k < m.oobsize; k++)
      at.push_back(off + k);
  }
  return at;
}

// What the kernel's software ECC adds to a page write: the code of every
// 256-byte step, laid into the layout's ECC ranges in order and programmed
// into the page's OOB bytes (torn, as the page's data, when power is cut).
void program_ecc(sim_device &d, uint64_t page_at, const uint8_t *page, bool torn) {
  const sim_mtd &m = d.desc;
  const std::vector<uint32_t> at = ecc_positions(m);
  if (at.empty() || !d.oob.p) return;
  uint8_t *oob = d.oob.p + size_t(page_at / m.writesize) * m.oobsize;
  uint8_t code[3];
  for (size_t i = 0; i < at.size(); i++) {
    if (i % 3 == 0) hamming_256(page + (i / 3) * 256, code);
    const uint8_t keep = torn ? static_cast<uint8_t>(~sim_power_random_byte()) : 0;
    oob[at[i]] &= static_cast<uint8_t>(code[i % 3] | keep);
  }
}

// The weak cells of [from, from + n), as read into out: flipped.
void read_weak(const sim_mtd &m, uint64_t from, uint8_t *out, size_t n) {
  for (const auto &[off, bit] : m.weak) {
    if (off >= from && off - from < n) out[off - from] ^= static_cast<uint8_t>(1u << bit);
  }
}

// A page as the kernel's read with software ECC returns it: every 256-byte
// step checked against its stored code and corrected where the code allows,
// and counted as the kernel counts it (a corrected bitflip, a failed step).
// An uncorrectable step is returned as stored; the character device passes
// such data on without an error, as it does corrected data.
void read_page_ecc(sim_device &d, uint64_t page_at, const std::vector<uint32_t> &at, uint8_t *out) {
  const sim_mtd &m = d.desc;
  std::memcpy(out, d.data.p + page_at, m.writesize);
  read_weak(m, page_at, out, m.writesize);
  const uint8_t *oob = d.oob.p + size_t(page_at / m.writesize) * m.oobsize;
  for (size_t step = 0; 3 * step + 2 < at.size(); step++) {
    const uint8_t stored[3] = {oob[at[3 * step]], oob[at[3 * step + 1]], oob[at[3 * step + 2]]};
    uint8_t calc[3];
    hamming_256(out + step * 256, calc);
    int r = hamming_correct_256(out + step * 256, stored, calc);
    if (r > 0) d.ecc_corrected++;
    if (r < 0) d.ecc_failed++;
  }
}

int get_oobsel(const sim_device &d, nand_oobinfo *oi) {
  const sim_mtd &m = d.desc;
  std::vector<range> ecc, free;
  bool known = kernel_layout(m, &ecc, &free);
  if (!m.oobfree.empty()) free = m.oobfree;
  else if (!known) return refuse(d, SIM_OOBSEL, EOPNOTSUPP);
  std::memset(oi, 0, sizeof *oi);
  uint32_t n = 0;
  for (const auto &[off, len] : ecc) {
    for (uint32_t k = 0; k < len && n < std::size(oi->eccpos); k++) oi->eccpos[n++] = off + k;
  }
  oi->eccbytes = n;
  for (size_t i = 0; i < free.size() && i < 8; i++) {
    oi->oobfree[i][0] = free[i].first;
    oi->oobfree[i][1] = free[i].second;
  }
  oi->useecc = m.useecc >= 0 ? static_cast<uint32_t>(m.useecc) : MTD_NANDECC_AUTOPLACE;
  return 0;
}

int erase(sim_device &d, const erase_info_user *e) {
  const sim_mtd &m = d.desc;
  if (e->start >= m.size || e->length > m.size - e->start) return refuse(d, SIM_ERASE, EINVAL);
  if (e->length == 0) return 0;
  if (e->start % m.erasesize != 0 || e->length % m.erasesize != 0)
    return refuse(d, SIM_ERASE, EINVAL);
  uint32_t pages_per_block = m.erasesize / m.writesize;
  for (uint32_t at = e->start; at - e->start < e->length; at += m.erasesize) {
    uint32_t block = at / m.erasesize;
    if (m.is_bad(block)) return refuse(d, SIM_ERASE, EIO);  // earlier blocks stay erased
    uint8_t *oob = d.oob.p ? d.oob.p + size_t(block) * pages_per_block * m.oobsize : nullptr;
    const size_t oob_len = oob ? size_t(pages_per_block) * m.oobsize : 0;
    if (sim_power_op()) {  // each erase block is one operation
      erase_torn(d.data.p + at, m.erasesize);
      if (oob) erase_torn(oob, oob_len);
      if (at > e->start) sim_log("erase mtd%d %u %u", m.number, e->start, at - e->start);
      sim_power_cut("erase mtd%d %u %u", m.number, at, m.erasesize);
    }
    std::memset(d.data.p + at, 0xFF, m.erasesize);
    if (oob) std::memset(oob, 0xFF, oob_len);
    timed(d, sim_flash_op::erase, 1);
  }
  sim_log("erase mtd%d %u %u", m.number, e->start, e->length);
  return 0;
}

// As the kernel places OOB bytes for MEMWRITEOOB: at the offset inside the
// page's OOB area that the low bits of start give, within one page.
int write_oob(sim_device &d, mtd_oob_buf *b) {
  const sim_mtd &m = d.desc;
  if (!m.is_nand()) return refuse(d, SIM_OOBWRITE, EOPNOTSUPP);
  if (b->length > 4096) return refuse(d, SIM_OOBWRITE, EINVAL);
  uint32_t ooboffs = b->start % m.writesize;
  uint32_t page_at = b->start - ooboffs;
  if (b->length != 0) {
    if (page_at >= m.size || ooboffs >= m.oobsize || b->length > m.oobsize - ooboffs)
      return refuse(d, SIM_OOBWRITE, EINVAL);
    if (!b->ptr) return refuse(d, SIM_OOBWRITE, EFAULT);
    uint8_t *oob = d.oob.p + size_t(page_at / m.writesize) * m.oobsize + ooboffs;
    if (sim_power_op()) {
      program_torn(oob, b->ptr, b->length);
      sim_power_cut("oobwrite mtd%d %u %u", m.number, b->start, b->length);
    }
    program(oob, b->ptr, b->length);
    timed(d, sim_flash_op::program, 1);
  }
  sim_log("oobwrite mtd%d %u %u", m.number, b->start, b->length);
  return 0;  // b->length already holds the count written, as the kernel reports it
}

// As the kernel reads OOB bytes for MEMREADOOB: from the offset inside the
// page's OOB area that the low bits of start give, within one page, as
// stored (the ECC does not look at them).
int read_oob(sim_device &d, mtd_oob_buf *b) {
  const sim_mtd &m = d.desc;
  if (!m.is_nand()) return refuse(d, SIM_OOBREAD, EOPNOTSUPP);
  if (b->length > 4096) return refuse(d, SIM_OOBREAD, EINVAL);
  uint32_t ooboffs = b->start % m.writesize;
  uint32_t page_at = b->start - ooboffs;
  if (b->length != 0) {
    if (page_at >= m.size || ooboffs >= m.oobsize || b->length > m.oobsize - ooboffs)
      return refuse(d, SIM_OOBREAD, EINVAL);
    if (!b->ptr) return refuse(d, SIM_OOBREAD, EFAULT);
    std::memcpy(b->ptr, d.oob.p + size_t(page_at / m.writesize) * m.oobsize + ooboffs, b->length);
    timed(d, sim_flash_op::read, 1);
  }
  return 0;
}

// As the kernel marks a NAND block bad: later questions answer bad, and the
// mark outlives the run (the board file's bad blocks and the marks file
// together are the bad blocks of the next one).
int mark_bad(sim_device &d, const loff_t *offset) {
  sim_mtd &m = d.desc;
  if (!m.is_nand()) return refuse(d, SIM_MARKBAD, EOPNOTSUPP);
  if (*offset < 0 || *offset >= loff_t(m.size)) return refuse(d, SIM_MARKBAD, EINVAL);
  const uint32_t block = static_cast<uint32_t>(*offset / m.erasesize);
  if (!m.is_bad(block)) {
    // A mark cut short has either landed or not.
    const bool cut = sim_power_op();
    if (cut && (sim_power_random() & 1) == 0)
      sim_power_cut("markbad mtd%d %lld", m.number, static_cast<long long>(*offset));
    m.bad.push_back(block);
    if (!d.bad_path.empty()) {
      int fd = ::open(d.bad_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
      std::string line = std::to_string(block) + "\n";
      bool kept = fd >= 0 && ::write(fd, line.data(), line.size()) == ssize_t(line.size());
      if (fd >= 0) ::close(fd);
      if (!kept && !cut) return refuse(d, SIM_MARKBAD, EIO);
    }
    if (cut) sim_power_cut("markbad mtd%d %lld", m.number, static_cast<long long>(*offset));
    timed(d, sim_flash_op::program, 1);
  }
  sim_log("markbad mtd%d %lld", m.number, static_cast<long long>(*offset));
  return 0;
}

int get_badblock(sim_device &d, const loff_t *offset) {
  const sim_mtd &m = d.desc;
  if (*offset < 0 || *offset >= loff_t(m.size)) return refuse(d, SIM_BADBLOCK, EINVAL);
  int answer = m.is_bad(static_cast<uint32_t>(*offset / m.erasesize)) ? 1 : 0;
  sim_log("badblock mtd%d %lld %d", m.number, static_cast<long long>(*offset), answer);
  return answer;
}

void get_info(const sim_mtd &m, mtd_info_user *info) {
  std::memset(info, 0, sizeof *info);
  info->type = m.type;
  info->flags = m.type == MTD_NANDFLASH ? MTD_CAP_NANDFLASH
                : m.type == MTD_RAM     ? MTD_CAP_RAM
                                        : MTD_CAP_NORFLASH;
  if (m.read_only) info->flags &= ~MTD_WRITEABLE;  // as the kernel masks a read-only partition
  info->size = m.size;
  info->erasesize = m.erasesize;
  info->writesize = m.writesize;
  info->oobsize = m.oobsize;
}

}  // namespace

sim_mapping::~sim_mapping() {
  if (p) munmap(p, n);
}

int sim_device_map(sim_device &d) {
  const sim_mtd &m = d.desc;
  if (!d.data.p) {
    int r = map_file(d.data_path, m.size, &d.data);
    if (r != 0) return r;
  }
  if (m.is_nand() && !d.oob.p) {
    return map_file(d.oob_path, size_t(m.size / m.writesize) * m.oobsize, &d.oob);
  }
  return 0;
}

int sim_device_check(sim_device &d, sim_op op) {
  unsigned n = ++d.count[op];
  if (d.desc.refused & (1u << op)) return refuse(d, op, EOPNOTSUPP);
  for (const auto &f : d.desc.faults) {
    if (f.op == op && (n == f.nth || (f.onward && n > f.nth))) return refuse(d, op, f.err);
  }
  return 0;
}

ssize_t sim_device_read(sim_device &d, uint64_t pos, void *buf, size_t n) {
  if (int r = sim_device_check(d, SIM_READ)) return r;
  const uint32_t size = d.desc.size;
  if (pos >= size) return 0;
  n = static_cast<size_t>(std::min<uint64_t>(n, size - pos));
  timed(d, sim_flash_op::read, timed_units(d.desc, pos, n));
  const std::vector<uint32_t> at =
      d.desc.is_nand() && d.oob.p ? ecc_positions(d.desc) : std::vector<uint32_t>();
  if (at.empty()) {
    std::memcpy(buf, d.data.p + pos, n);
    read_weak(d.desc, pos, static_cast<uint8_t *>(buf), n);
    return static_cast<ssize_t>(n);
  }
  // Whole pages are read and corrected; the part asked for is copied out.
  const uint32_t ws = d.desc.writesize;
  std::vector<uint8_t> page(ws);
  auto *out = static_cast<uint8_t *>(buf);
  for (uint64_t p = pos; p < pos + n;) {
    const uint64_t page_at = p - p % ws;
    const size_t len = static_cast<size_t>(std::min<uint64_t>(page_at + ws, pos + n) - p);
    read_page_ecc(d, page_at, at, page.data());
    std::memcpy(out + (p - pos), page.data() + (p - page_at), len);
    p += len;
  }
  return static_cast<ssize_t>(n);
}

ssize_t sim_device_write(sim_device &d, uint64_t pos, const void *buf, size_t n) {
  if (int r = sim_device_check(d, SIM_WRITE)) return r;
  const sim_mtd &m = d.desc;
  if (pos >= m.size) return refuse(d, SIM_WRITE, ENOSPC);
  n = static_cast<size_t>(std::min<uint64_t>(n, m.size - pos));
  if (n == 0) return 0;
  if (m.is_nand() && (pos % m.writesize != 0 || n % m.writesize != 0))
    return refuse(d, SIM_WRITE, EINVAL);
  const auto *bytes = static_cast<const uint8_t *>(buf);
  // One operation per NAND page, or per erase block that a NOR or RAM write
  // reaches into.
  for (uint64_t at = pos; at < pos + n;) {
    const uint64_t end = m.is_nand()
                             ? at + m.writesize
                             : std::min<uint64_t>(pos + n, (at / m.erasesize + 1) * m.erasesize);
    const size_t len = static_cast<size_t>(end - at);
    const uint8_t *src = bytes + (at - pos);
    uint8_t *dst = d.data.p + at;
    const bool cut = sim_power_op();
    if (m.type == MTD_RAM) {
      if (!cut) std::memcpy(dst, src, len);      // RAM takes the bytes as they are
      for (size_t i = 0; cut && i < len; i++) {  // or, cut short, a mix of old and new bits
        const uint8_t mask = sim_power_random_byte();
        dst[i] = static_cast<uint8_t>((dst[i] & ~mask) | (src[i] & mask));
      }
    } else if (cut) {
      program_torn(dst, src, len);
    } else {
      program(dst, src, len);
    }
    if (m.is_nand()) program_ecc(d, at, src, cut);
    if (cut) {
      if (at > pos)
        sim_log("write mtd%d %llu %llu", m.number, static_cast<unsigned long long>(pos),
                static_cast<unsigned long long>(at - pos));
      sim_power_cut("write mtd%d %llu %zu", m.number, static_cast<unsigned long long>(at), len);
    }
    at = end;
  }
  timed(d, sim_flash_op::program, timed_units(m, pos, n));
  sim_log("write mtd%d %llu %zu", m.number, static_cast<unsigned long long>(pos), n);
  return static_cast<ssize_t>(n);
}

int sim_device_ioctl(sim_device &d, bool writable, unsigned long request, void *arg) {
  if (int r = sim_device_check(d, SIM_IOCTL)) return r;
  sim_op op;
  bool changes = false;
  switch (request) {
    case MEMGETINFO:
      op = SIM_GETINFO;
      break;
    case MEMGETOOBSEL:
      op = SIM_OOBSEL;
      break;
    case MEMGETBADBLOCK:
      op = SIM_BADBLOCK;
      break;
    case MEMERASE:
      op = SIM_ERASE, changes = true;
      break;
    case MEMWRITEOOB:
      op = SIM_OOBWRITE, changes = true;
      break;
    case MEMREADOOB:
      op = SIM_OOBREAD;
      break;
    case ECCGETSTATS:
      op = SIM_ECCSTATS;
      break;
    case MEMSETBADBLOCK:
      op = SIM_MARKBAD, changes = true;
      break;
    default:
      return refuse(d, SIM_IOCTL, ENOTTY);
  }
  if (changes && !writable) return refuse(d, op, EPERM);
  if (int r = sim_device_check(d, op)) return r;
  if (!arg) return refuse(d, op, EFAULT);
  switch (op) {
    case SIM_GETINFO:
      get_info(d.desc, static_cast<mtd_info_user *>(arg));
      return 0;
    case SIM_OOBSEL:
      if (!d.desc.is_nand()) return refuse(d, op, EOPNOTSUPP);
      return get_oobsel(d, static_cast<nand_oobinfo *>(arg));
    case SIM_BADBLOCK:
      return get_badblock(d, static_cast<const loff_t *>(arg));
    case SIM_ERASE:
      return erase(d, static_cast<const erase_info_user *>(arg));
    case SIM_OOBWRITE:
      return write_oob(d, static_cast<mtd_oob_buf *>(arg));
    case SIM_OOBREAD:
      return read_oob(d, static_cast<mtd_oob_buf *>(arg));
    case SIM_ECCSTATS: {
      auto *st = static_cast<mtd_ecc_stats *>(arg);
      std::memset(st, 0, sizeof *st);
      st->corrected = d.ecc_corrected;
      st->failed = d.ecc_failed;
      st->badblocks = static_cast<uint32_t>(d.desc.is_nand() ? d.desc.bad.size() : 0);
      return 0;
    }
    case SIM_MARKBAD:
      return mark_bad(d, static_cast<const loff_t *>(arg));
    default:
      return refuse(d, op, ENOTTY);
  }
}

}  // namespace korvane
