// SPDX-License-Identifier: MIT
// Installation benchmarks: the execute walk onto a NAND partition held in
// memory, against decoding the same payload into a null sink.
//
//   program_vs_decode/0/S a 64 MiB cypher none block: rom_execute (open,
//                         erase, read, chunk, page writes) vs reading the
//                         payload in 64 KiB pieces
//   program_vs_decode/1/S a 64 MiB cypher1 block: rom_execute vs
//                         zentarc_decode_fd into a sink that drops the bytes
//   S = 1: the partition keeps what is programmed (erase and page programs
//   cost memory bandwidth, as the device's own work); S = 0: it drops the
//   data, which leaves the installation engine's own cost
//   preflight_vs_plain/S  a 64 MiB cypher1 block: korvane --preflight -e (the
//                         preflight, then the install from the same
//                         descriptor) vs a plain -e; S as above
//   read_back_vs_plain    a 64 MiB cypher1 block, data kept: -e against
//                         --read-back -e (the install, then one read and a
//                         CRC of what was written), --skip-unchanged -e on
//                         the partition it leaves (a decode and a read, no
//                         erase or write) and --skip-unchanged -e on an
//                         erased partition (the comparison stops at the
//                         first block, the decode runs on; then the install)
//   peak_memory           peak resident set of one install (data dropped by
//                         the device) of 16 MiB and of KORVANE_BENCH_MIB MiB
//                         (default 256) payloads, and of an empty image; the
//                         big cypher1 install also with --preflight
//
// Each iteration of program_vs_decode runs both sides, alternating which
// goes first, with the image in the page cache; the counters are medians in
// MB/s and the overhead of programming in percent, by wall clock and by the
// thread's CPU time. The images are built once
// into KORVANE_BENCH_DATA (default: bench-data in the build folder).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/install_mem_nand.h"
#include "codec/zentarc.h"
#include "install/execute.h"
#include "install/preflight.h"
#include "rom/build.h"
#include "rom/layout.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;

std::string env_or(const char *name, const std::string &fallback) {
  const char *v = std::getenv(name);
  return v && *v ? v : fallback;
}

// Firmware-like content in 4 KiB pages: code-like bytes (a few values
// dominate), strings, and erased flash (0xFF), in a repeatable order.
void write_content(const std::string &path, uint64_t bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  static const char *const words[] = {
      "ubi.mtd=3 ",  "console=ttyS0 ", "/etc/init.d/", "flash_erase ",
      "0xdeadbeef ", "panic: ",        "ready\n",      "/lib/modules/"};
  uint32_t state = 2463534242u;
  auto next = [&] {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  };
  std::string page(4096, '\0');
  for (uint64_t done = 0; done < bytes; done += page.size()) {
    uint32_t kind = next() % 8;
    if (kind < 3) {
      for (char &c : page) {
        uint32_t r = next();
        c = static_cast<char>(r % 3 ? r % 40 : r >> 24);
      }
    } else if (kind < 5) {
      page.clear();
      while (page.size() < 4096) page += words[next() % 8];
      page.resize(4096);
    } else {
      std::fill(page.begin(), page.end(), '\xff');
    }
    out.write(page.data(),
              static_cast<std::streamsize>(std::min<uint64_t>(page.size(), bytes - done)));
  }
  if (!out) throw std::runtime_error("cannot write " + path);
}

struct image {
  std::string rom;
  uint64_t payload_offset;  // in the rom
  uint32_t payload_length;  // as stored
  uint64_t content_bytes;
};

struct image_set {
  std::string content;
  image none, cypher1;
};

image make_rom(const std::string &rom, const std::string &content, uint32_t cypher) {
  blk_desc d;
  d.type = ROM_BLK_TYPE_NAND_RAW;
  d.id = 0;
  d.cypher = cypher;
  set_text_field(d.name, "rootfs");
  if (!fs::exists(rom)) {
    std::string part = rom + ".part";
    if (rom_create(part.c_str(), 1, "bench", "korvane", "1", 0) != 0 ||
        rom_append_blk(part.c_str(), content.c_str(), 0, &d) != 0)
      throw std::runtime_error("cannot build " + rom);
    fs::rename(part, rom);
  }
  blk_hdr h;
  std::ifstream in(rom, std::ios::binary);
  in.seekg(ROM_HDR_SIZE);
  in.read(reinterpret_cast<char *>(&h), sizeof h);
  return {rom, ROM_HDR_SIZE + h.hsize.get(), h.length.get(), fs::file_size(content)};
}

// Standard output off for the life of the object: the builder prints a
// summary of each block it builds, the preflight a line per block.
struct quiet_stdout {
  int saved;
  quiet_stdout() {
    std::fflush(stdout);
    saved = dup(1);
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);
    close(null_fd);
  }
  ~quiet_stdout() {
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
  }
};

// Builds (once) the content and both images of `mib` MiB.
const image_set &images(uint64_t mib) {
  static std::deque<std::pair<uint64_t, image_set>> made;  // references stay valid
  for (auto &[m, set] : made) {
    if (m == mib) return set;
  }
  std::string dir =
      env_or("KORVANE_BENCH_DATA", KORVANE_BENCH_DATA) + "/install-" + std::to_string(mib) + "mib";
  fs::create_directories(dir);
  image_set set;
  set.content = dir + "/content.bin";
  if (!fs::exists(set.content) || fs::file_size(set.content) != (mib << 20)) {
    std::fprintf(stderr, "building the %llu MiB benchmark images in %s (once)...\n",
                 static_cast<unsigned long long>(mib), dir.c_str());
    fs::remove(dir + "/none.rom");
    fs::remove(dir + "/cypher1.rom");
    write_content(set.content, mib << 20);
  }
  {
    quiet_stdout quiet;
    set.none = make_rom(dir + "/none.rom", set.content, ROM_BLK_CT_NONE);
    set.cypher1 = make_rom(dir + "/cypher1.rom", set.content, ROM_BLK_CT_CYPHER1);
  }
  made.emplace_back(mib, set);
  return made.back().second;
}

// Wall-clock and CPU seconds of this thread, so that the figures can be read
// on a machine that others are loading too.
struct clock_pair {
  double wall, cpu;
};

clock_pair now() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return {
      std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(),
      static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9};
}

clock_pair since(clock_pair t) {
  clock_pair n = now();
  return {n.wall - t.wall, n.cpu - t.cpu};
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

int null_sink(void *ctx, const uint8_t *, int n) {
  *static_cast<uint64_t *>(ctx) += static_cast<uint64_t>(n);
  return n;
}

// The decode side: the payload into a sink that drops it. @return bytes produced.
uint64_t decode_to_null(const image &img, uint32_t cypher) {
  int fd = open(img.rom.c_str(), O_RDONLY);
  uint64_t produced = 0;
  if (cypher == ROM_BLK_CT_CYPHER1) {
    zentarc_decode_fd(fd, img.payload_offset, static_cast<int>(img.payload_length), null_sink,
                      &produced);
  } else {
    std::vector<uint8_t> piece(65536);
    lseek(fd, static_cast<off_t>(img.payload_offset), SEEK_SET);
    for (uint64_t left = img.payload_length; left;) {
      ssize_t n = read(fd, piece.data(), std::min<uint64_t>(left, piece.size()));
      if (n <= 0) break;
      null_sink(&produced, piece.data(), static_cast<int>(n));
      left -= static_cast<uint64_t>(n);
    }
  }
  close(fd);
  return produced;
}

void program_vs_decode(benchmark::State &state) {
  const uint32_t cypher = static_cast<uint32_t>(state.range(0));
  const bool store = state.range(1) != 0;
  const image_set &set = images(64);
  const image &img = cypher == ROM_BLK_CT_CYPHER1 ? set.cypher1 : set.none;
  mem_nand dev;
  dev.size = 72u << 20;  // the payload and a few spare erase blocks
  dev.store = store;
  if (mem_nand_install(&dev) != 0) throw std::runtime_error("mem nand");

  std::vector<double> decode_s, program_s, decode_cpu, program_cpu;
  bool checked = false;
  for (auto _ : state) {
    for (int side = 0; side < 2; ++side) {
      bool program_now = (side == 0) == (state.iterations() % 2 == 0);
      clock_pair t = now();
      if (program_now) {
        if (rom_execute(img.rom.c_str(), install_settings{}) != 0)
          state.SkipWithError("rom_execute failed");
        clock_pair d = since(t);
        program_s.push_back(d.wall);
        program_cpu.push_back(d.cpu);
      } else {
        if (decode_to_null(img, cypher) != img.content_bytes) state.SkipWithError("decode failed");
        clock_pair d = since(t);
        decode_s.push_back(d.wall);
        decode_cpu.push_back(d.cpu);
      }
    }
    if (store && !checked) {  // the programmed partition holds the content
      std::ifstream in(set.content, std::ios::binary);
      std::vector<char> content(img.content_bytes);
      in.read(content.data(), static_cast<std::streamsize>(content.size()));
      if (std::memcmp(content.data(), dev.data.data(), content.size()) != 0)
        state.SkipWithError("the partition does not hold the content");
      checked = true;
    }
  }
  mem_nand_remove();
  double mb = static_cast<double>(img.content_bytes) / 1e6;
  state.counters["decode_MBps"] = mb / median(decode_s);
  state.counters["program_MBps"] = mb / median(program_s);
  state.counters["overhead_pct"] = (median(program_s) / median(decode_s) - 1) * 100;
  state.counters["cpu_overhead_pct"] = (median(program_cpu) / median(decode_cpu) - 1) * 100;
}
BENCHMARK(program_vs_decode)
    ->Args({0, 1})
    ->Args({0, 0})
    ->Iterations(15)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(program_vs_decode)
    ->Args({1, 1})
    ->Args({1, 0})
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);

void preflight_vs_plain(benchmark::State &state) {
  const bool store = state.range(0) != 0;
  const image_set &set = images(64);
  const image &img = set.cypher1;
  mem_nand dev;
  dev.size = 72u << 20;
  dev.store = store;
  if (mem_nand_install(&dev) != 0) throw std::runtime_error("mem nand");

  std::vector<double> plain_s, checked_s, preflight_s, plain_cpu, checked_cpu, preflight_cpu;
  for (auto _ : state) {
    quiet_stdout quiet;
    for (int side = 0; side < 2; ++side) {
      bool checked_now = (side == 0) == (state.iterations() % 2 == 0);
      clock_pair t = now();
      if (!checked_now) {
        if (rom_execute(img.rom.c_str(), install_settings{}) != 0)
          state.SkipWithError("rom_execute failed");
        clock_pair d = since(t);
        plain_s.push_back(d.wall);
        plain_cpu.push_back(d.cpu);
        continue;
      }
      install_settings s;
      s.preflight = true;
      rom_walk w;
      if (rom_walk_open(&w, img.rom.c_str(), O_RDONLY) < 0 || preflight_check(&w, s) != 0)
        state.SkipWithError("the preflight refused the image");
      clock_pair p = since(t);
      if (rom_execute_walk(&w, s) != 0) state.SkipWithError("rom_execute_walk failed");
      clock_pair d = since(t);
      preflight_s.push_back(p.wall);
      preflight_cpu.push_back(p.cpu);
      checked_s.push_back(d.wall);
      checked_cpu.push_back(d.cpu);
    }
  }
  mem_nand_remove();
  state.counters["plain_ms"] = median(plain_s) * 1e3;
  state.counters["preflight_ms"] = median(preflight_s) * 1e3;
  state.counters["checked_ms"] = median(checked_s) * 1e3;
  state.counters["overhead_pct"] = (median(checked_s) / median(plain_s) - 1) * 100;
  state.counters["cpu_overhead_pct"] = (median(checked_cpu) / median(plain_cpu) - 1) * 100;
}
BENCHMARK(preflight_vs_plain)->Arg(1)->Arg(0)->Iterations(5)->Unit(benchmark::kMillisecond);

void read_back_vs_plain(benchmark::State &state) {
  const image &img = images(64).cypher1;
  mem_nand dev;
  dev.size = 72u << 20;
  if (mem_nand_install(&dev) != 0) throw std::runtime_error("mem nand");
  struct side {
    const char *name;
    install_settings s;
    bool erased_first;  // the partition erased before the run (a changed block)
    std::vector<double> wall;
  } sides[] = {
      {"plain", {}, false, {}},
      {"read_back", {.read_back = true}, false, {}},
      {"skip_unchanged", {.skip_unchanged = true}, false, {}},
      {"skip_changed", {.skip_unchanged = true}, true, {}},
  };
  for (auto _ : state) {
    quiet_stdout quiet;
    // Every side starts from the partition a plain install leaves.
    for (int k = 0; k < 4; ++k) {
      side &sd = sides[(k + state.iterations()) % 4];
      if (rom_execute(img.rom.c_str(), install_settings{}) != 0)
        state.SkipWithError("rom_execute failed");
      if (sd.erased_first) std::fill(dev.data.begin(), dev.data.end(), 0xFF);
      clock_pair t = now();
      if (rom_execute(img.rom.c_str(), sd.s) != 0) state.SkipWithError(sd.name);
      sd.wall.push_back(since(t).wall);
    }
  }
  mem_nand_remove();
  const double plain = median(sides[0].wall);
  for (side &sd : sides) {
    state.counters[std::string(sd.name) + "_ms"] = median(sd.wall) * 1e3;
    if (&sd != &sides[0]) state.counters[std::string(sd.name) + "_ratio"] = median(sd.wall) / plain;
  }
}
BENCHMARK(read_back_vs_plain)->Iterations(5)->Unit(benchmark::kMillisecond);

// Peak resident set (KiB) of one korvane_install_memrun run, measured by the
// small static korvane_bench_peak so that this process's size does not count.
long peak_kib(const std::string &rom, uint64_t partition_mib, bool preflight = false) {
  std::string cmd = std::string(KORVANE_BIN_DIR) + "/korvane_bench_peak . " + KORVANE_BIN_DIR +
                    "/korvane_install_memrun " + rom + " " + std::to_string(partition_mib) +
                    " drop" + (preflight ? " preflight" : "");
  FILE *p = popen(cmd.c_str(), "r");
  long kib = -1;
  if (!p || std::fscanf(p, "%ld", &kib) != 1) kib = -1;
  if (p && pclose(p) != 0) kib = -1;
  return kib;
}

void peak_memory(benchmark::State &state) {
  const uint64_t big = std::stoull(env_or("KORVANE_BENCH_MIB", "256"));
  const image_set &small_set = images(16);
  const image_set &big_set = images(big);
  // An image whose one block is empty: the process without a payload.
  std::string empty_content = fs::path(small_set.content).parent_path() / "empty.bin";
  std::ofstream(empty_content, std::ios::out | std::ios::trunc).flush();
  std::string empty_rom = fs::path(small_set.content).parent_path() / "empty.rom";
  fs::remove(empty_rom);
  {
    quiet_stdout quiet;
    make_rom(empty_rom, empty_content, ROM_BLK_CT_NONE);
  }

  long base = 0, none_small = 0, none_big = 0, c1_small = 0, c1_big = 0, c1_big_checked = 0;
  for (auto _ : state) {
    base = peak_kib(empty_rom, 16);
    none_small = peak_kib(small_set.none.rom, 32);
    none_big = peak_kib(big_set.none.rom, (big + 16));
    c1_small = peak_kib(small_set.cypher1.rom, 32);
    c1_big = peak_kib(big_set.cypher1.rom, (big + 16));
    c1_big_checked = peak_kib(big_set.cypher1.rom, (big + 16), true);
    if (std::min({base, none_small, none_big, c1_small, c1_big, c1_big_checked}) < 0)
      state.SkipWithError("a run failed");
  }
  state.counters["empty_KiB"] = static_cast<double>(base);
  state.counters["none_16MiB_KiB"] = static_cast<double>(none_small);
  state.counters["none_big_KiB"] = static_cast<double>(none_big);
  state.counters["c1_16MiB_KiB"] = static_cast<double>(c1_small);
  state.counters["c1_big_KiB"] = static_cast<double>(c1_big);
  state.counters["c1_big_preflight_KiB"] = static_cast<double>(c1_big_checked);
}
BENCHMARK(peak_memory)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace korvane

BENCHMARK_MAIN();
