// SPDX-License-Identifier: MIT
// Whole-program benchmarks: the built korvane against the peer that does the
// same work, on large images of firmware-like content.
//
//   extract_none     korvane -x of an image with one cypher none block
//                    vs cat of the same payload bytes into a file
//   extract_cypher1  korvane -x of an image with one cypher1 block
//                    vs the bare LZMA SDK decode loop writing a file
//   info_crc         korvane -f crc -i of the none image
//                    vs cat of the image into /dev/null (reading it once)
//   peak_memory      korvane -x on the large images against 1 MiB ones
//
// Each pair runs side by side in every iteration, alternating which goes
// first, with the files in the page cache; the counters are medians:
// korvane and peer in MB/s (wall clock), ratio = korvane's speed / the
// peer's, cpu_ratio = the same by user + system time.
//
// The images are built once with the project's builder and kept in
// KORVANE_BENCH_DATA (default: bench-data in the build folder). Their size
// is KORVANE_BENCH_MIB MiB of content per block (default 256).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "rom/build.h"
#include "rom/layout.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;

std::string env_or(const char *name, const std::string &fallback) {
  const char *v = std::getenv(name);
  return v && *v ? v : fallback;
}

uint64_t big_mib() { return std::stoull(env_or("KORVANE_BENCH_MIB", "256")); }

// Firmware-like content, page by page: machine-code-like bytes (a skewed
// alphabet), text, and erased-flash filler (0xFF), in repeatable order.
void write_firmware(const std::string &path, uint64_t bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  static const char *words[] = {
      "init ",   "mount ",  "/dev/mtd", "kernel ",   "eth0 ",
      "0x8000 ", "error: ", "ok\n",     "watchdog ", "root=/dev/mtdblock3 "};
  uint32_t seed = 12345;
  auto next = [&] { return seed = seed * 1103515245u + 12345u; };
  std::string page(4096, '\0');
  for (uint64_t done = 0; done < bytes; done += page.size()) {
    uint32_t kind = (next() >> 16) % 10;
    if (kind < 4) {  // code: a few byte values dominate
      for (char &c : page) {
        uint32_t r = next() >> 16;
        c = static_cast<char>(r % 4 ? (r >> 4) % 48 : r >> 8);
      }
    } else if (kind < 6) {  // strings and tables
      page.clear();
      while (page.size() < 4096) page += words[(next() >> 16) % 10];
      page.resize(4096);
    } else {  // erased flash
      std::fill(page.begin(), page.end(), '\xff');
    }
    out.write(page.data(),
              static_cast<std::streamsize>(std::min<uint64_t>(page.size(), bytes - done)));
  }
  if (!out) throw std::runtime_error("cannot write " + path);
}

void make_rom(const std::string &rom, const std::string &content, uint32_t cypher) {
  blk_desc d;
  d.type = ROM_BLK_TYPE_NAND_RAW;
  d.id = 2;
  d.cypher = cypher;
  d.flags = ROM_VERIFY_CRC;
  set_text_field(d.name, cypher == ROM_BLK_CT_NONE ? "rootfs" : "kernel");
  if (rom_create(rom.c_str(), 1, "bench", "korvane", "1", 0) != 0 ||
      rom_append_blk(rom.c_str(), content.c_str(), 0, &d) != 0)
    throw std::runtime_error("cannot build " + rom);
}

struct bench_files {
  std::string dir, out;
  std::string payload, none_rom, c1_rom;  // the large ones
  std::string small_none_rom, small_c1_rom;
  uint64_t payload_bytes;
  uint64_t c1_payload_offset = 2 * ROM_HDR_SIZE;
};

const bench_files &files() {
  static const bench_files f = [] {
    bench_files b;
    b.payload_bytes = big_mib() << 20;
    b.dir =
        env_or("KORVANE_BENCH_DATA", KORVANE_BENCH_DATA) + "/" + std::to_string(big_mib()) + "mib";
    b.out = b.dir + "/out";
    b.payload = b.dir + "/payload.bin";
    b.none_rom = b.dir + "/none.rom";
    b.c1_rom = b.dir + "/cypher1.rom";
    b.small_none_rom = b.dir + "/small-none.rom";
    b.small_c1_rom = b.dir + "/small-cypher1.rom";
    std::string stamp = b.dir + "/ready-1";
    fs::create_directories(b.out);
    if (!fs::exists(stamp)) {
      std::fprintf(stderr, "building the benchmark images in %s (once)...\n", b.dir.c_str());
      std::string small = b.dir + "/small.bin";
      write_firmware(b.payload, b.payload_bytes);
      write_firmware(small, 1 << 20);
      make_rom(b.none_rom, b.payload, ROM_BLK_CT_NONE);
      make_rom(b.c1_rom, b.payload, ROM_BLK_CT_CYPHER1);
      make_rom(b.small_none_rom, small, ROM_BLK_CT_NONE);
      make_rom(b.small_c1_rom, small, ROM_BLK_CT_CYPHER1);
      std::ofstream(stamp) << "ok\n";
    }
    return b;
  }();
  return f;
}

struct proc_result {
  double seconds;      // wall clock
  double cpu_seconds;  // user + system time of the child
};

// Runs argv with standard output into out_path (created fresh), in cwd.
proc_result run_program(const std::vector<std::string> &argv, const std::string &cwd,
                        const std::string &out_path) {
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || dup2(fd, 1) < 0 || chdir(cwd.c_str()) != 0) _exit(126);
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  struct rusage ru {};
  if (wait4(pid, &status, 0, &ru) != pid) throw std::runtime_error("wait4 failed");
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error(argv[0] + " " + argv[1] + " failed");
  auto secs = [](const timeval &t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return {s, secs(ru.ru_utime) + secs(ru.ru_stime)};
}

std::string bin(const std::string &program) { return std::string(KORVANE_BIN_DIR) + "/" + program; }

void clear_out() {
  for (const auto &e : fs::directory_iterator(files().out)) fs::remove(e.path());
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct command {
  std::vector<std::string> argv;
  std::string out_path;  // standard output
};

// Runs korvane and its peer alternately in every iteration; the benchmark's
// own time is korvane's wall-clock time. CPU-time figures come with the
// wall-clock ones: on a shared machine they are the steadier comparison.
void side_by_side(benchmark::State &state, const command &korvane, const command &peer) {
  const bench_files &f = files();
  uint64_t bytes = f.payload_bytes;
  clear_out();
  run_program(korvane.argv, f.out, korvane.out_path);  // warm the page cache
  run_program(peer.argv, f.out, peer.out_path);
  std::vector<double> k, p, kc, pc;
  bool korvane_first = true;
  for (auto _ : state) {
    clear_out();
    proc_result rk, rp;
    if (korvane_first) {
      rk = run_program(korvane.argv, f.out, korvane.out_path);
      clear_out();
      rp = run_program(peer.argv, f.out, peer.out_path);
    } else {
      rp = run_program(peer.argv, f.out, peer.out_path);
      clear_out();
      rk = run_program(korvane.argv, f.out, korvane.out_path);
    }
    korvane_first = !korvane_first;
    k.push_back(rk.seconds);
    p.push_back(rp.seconds);
    kc.push_back(rk.cpu_seconds);
    pc.push_back(rp.cpu_seconds);
    state.SetIterationTime(rk.seconds);
  }
  clear_out();
  double mb = static_cast<double>(bytes) / 1e6;
  state.counters["korvane_MBps"] = mb / median(k);
  state.counters["peer_MBps"] = mb / median(p);
  state.counters["ratio"] = median(p) / median(k);
  state.counters["cpu_ratio"] = median(pc) / median(kc);
  state.SetBytesProcessed(static_cast<int64_t>(bytes * state.iterations()));
}

void extract_none(benchmark::State &state) {
  const bench_files &f = files();
  side_by_side(state, {{bin("korvane"), "-x", f.none_rom}, "/dev/null"},
               {{"cat", f.payload}, f.out + "/cat.out"});
}

void extract_cypher1(benchmark::State &state) {
  const bench_files &f = files();
  side_by_side(state, {{bin("korvane"), "-x", f.c1_rom}, "/dev/null"},
               {{bin("korvane_bench_sdk_decode"), f.c1_rom, std::to_string(f.c1_payload_offset),
                 f.out + "/sdk.out"},
                "/dev/null"});
}

void info_crc(benchmark::State &state) {
  const bench_files &f = files();
  side_by_side(state, {{bin("korvane"), "-f", "crc", "-i", f.none_rom}, "/dev/null"},
               {{"cat", f.none_rom}, "/dev/null"});
}

// Peak resident memory of korvane -x: large images against 1 MiB ones,
// measured through korvane_bench_peak (a forked child would start from the
// benchmark's own footprint).
long peak_kib(const std::string &rom) {
  const bench_files &f = files();
  std::string report = f.dir + "/peak.txt";
  run_program({bin("korvane_bench_peak"), f.out, bin("korvane"), "-x", rom}, f.out, report);
  std::ifstream in(report);
  long kib = 0;
  if (!(in >> kib)) throw std::runtime_error("no peak from korvane_bench_peak");
  return kib;
}

void peak_memory(benchmark::State &state) {
  const bench_files &f = files();
  long kib[4] = {};
  const std::string roms[4] = {f.small_none_rom, f.none_rom, f.small_c1_rom, f.c1_rom};
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 4; ++i) {
      clear_out();
      kib[i] = std::max(kib[i], peak_kib(roms[i]));
    }
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  clear_out();
  state.counters["none_1MiB_KiB"] = static_cast<double>(kib[0]);
  state.counters["none_big_KiB"] = static_cast<double>(kib[1]);
  state.counters["none_growth"] = static_cast<double>(kib[1]) / static_cast<double>(kib[0]);
  state.counters["c1_1MiB_KiB"] = static_cast<double>(kib[2]);
  state.counters["c1_big_KiB"] = static_cast<double>(kib[3]);
  state.counters["c1_growth"] = static_cast<double>(kib[3]) / static_cast<double>(kib[2]);
}

BENCHMARK(extract_none)->UseManualTime()->Iterations(9)->Unit(benchmark::kMillisecond);
BENCHMARK(extract_cypher1)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(info_crc)->UseManualTime()->Iterations(9)->Unit(benchmark::kMillisecond);
BENCHMARK(peak_memory)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace korvane

BENCHMARK_MAIN();
