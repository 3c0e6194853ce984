// SPDX-License-Identifier: MIT
// Speed and memory of the codec layer, next to the bare LZMA SDK, zlib's
// CRC and the peer command-line coders on the same data.
//
//   korvane_codec_bench                      all benchmarks
//   korvane_codec_bench --codec-peak-memory=STREAM
//                                            decode STREAM into a null sink and
//                                            print the process's peak RSS
//                                            (VmHWM, KiB)
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "LzmaDec.h"
#include "LzmaEnc.h"
#include "codec/blkfmt.h"
#include "codec/cypher.h"
#include "codec/scramble.h"
#include "codec/zentarc.h"
#include "rom/checksum.h"
#include "tests/support/codec_testdata.h"

extern char **environ;

namespace korvane {
namespace {

constexpr size_t MiB = 1 << 20;
constexpr size_t kBig = 64 * MiB;
constexpr size_t kEncodeSize = 16 * MiB;  // the encoders run at a few MB/s
constexpr size_t kChunk = 65536;

std::string g_self;  // this program, for the memory children

/// The scratch folder of this run, removed at exit.
const std::string &scratch() {
  static const std::string dir = [] {
    std::string templ =
        (std::filesystem::temp_directory_path() / "korvane-codec-bench-XXXXXX").string();
    if (!mkdtemp(templ.data())) std::abort();
    std::atexit([] { std::filesystem::remove_all(scratch()); });
    return templ;
  }();
  return dir;
}

void write_all(const std::string &path, const uint8_t *p, size_t n) {
  FILE *f = std::fopen(path.c_str(), "wb");
  if (!f || std::fwrite(p, 1, n, f) != n || std::fclose(f) != 0) std::abort();
}

/// An aligned copy of a buffer (crc32 and sum32 refuse unaligned ones).
struct Aligned {
  std::vector<uint64_t> words;
  explicit Aligned(const std::vector<uint8_t> &v) : words((v.size() + 7) / 8) {
    std::memcpy(words.data(), v.data(), v.size());
  }
  const uint8_t *data() const { return reinterpret_cast<const uint8_t *>(words.data()); }
  uint8_t *data() { return reinterpret_cast<uint8_t *>(words.data()); }
};

const std::vector<uint8_t> &firmware() {
  static const std::vector<uint8_t> v = testdata::firmware_like(kBig, 2024);
  return v;
}

int null_sink(void *, const uint8_t *bytes, int count) {
  benchmark::DoNotOptimize(bytes);
  return count;
}

struct CollectSink {
  std::vector<uint8_t> out;
};
int collect_sink(void *ctx, const uint8_t *bytes, int count) {
  auto *c = static_cast<CollectSink *>(ctx);
  c->out.insert(c->out.end(), bytes, bytes + count);
  return count;
}

/// Encodes `n` bytes of `data` with our encoder into a file; returns its path.
std::string make_stream(const std::string &name, const uint8_t *data, size_t n) {
  std::string plain = scratch() + "/" + name + ".plain";
  std::string packed = scratch() + "/" + name + ".lzma";
  write_all(plain, data, n);
  int fd = open(plain.c_str(), O_RDONLY);
  CollectSink sink;
  if (zentarc_encode_fd(fd, 0, static_cast<int>(n), collect_sink, &sink) != 0) std::abort();
  close(fd);
  write_all(packed, sink.out.data(), sink.out.size());
  std::filesystem::remove(plain);
  return packed;
}

/// The 64 MiB firmware-like input, encoded once by our encoder.
const std::string &firmware_stream() {
  static const std::string path = make_stream("firmware", firmware().data(), kBig);
  return path;
}

// --- checksums ---

void BM_crc32(benchmark::State &state) {
  Aligned buf(firmware());
  for (auto _ : state) benchmark::DoNotOptimize(crc32(0, buf.data(), kBig));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBig));
}
BENCHMARK(BM_crc32)->Unit(benchmark::kMillisecond)->MinTime(0.5);

void BM_zlib_crc32(benchmark::State &state) {
  Aligned buf(firmware());
  for (auto _ : state) benchmark::DoNotOptimize(::crc32(0, buf.data(), kBig));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBig));
}
BENCHMARK(BM_zlib_crc32)->Unit(benchmark::kMillisecond)->MinTime(0.5);

void BM_sum32(benchmark::State &state) {
  Aligned buf(firmware());
  for (auto _ : state) benchmark::DoNotOptimize(sum32(0, buf.data(), kBig));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBig));
}
BENCHMARK(BM_sum32)->Unit(benchmark::kMillisecond)->MinTime(0.5);

void BM_memcpy(benchmark::State &state) {
  Aligned src(firmware());
  std::vector<uint8_t> dst(kBig);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), kBig);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBig));
}
BENCHMARK(BM_memcpy)->Unit(benchmark::kMillisecond)->MinTime(0.5);

// --- scramblers, per 64 KiB chunk as the decoders apply them ---

template <int (*Fn)(uint8_t *, int)>
void BM_scramble(benchmark::State &state) {
  Aligned buf(firmware());
  for (auto _ : state) {
    for (size_t off = 0; off < kBig; off += kChunk) Fn(buf.data() + off, static_cast<int>(kChunk));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBig));
}
BENCHMARK(BM_scramble<cypher3_decode>)
    ->Name("BM_cypher3_decode")
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.5);
BENCHMARK(BM_scramble<cypher4_decode>)
    ->Name("BM_cypher4_decode")
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.5);
BENCHMARK(BM_scramble<cypher3_encode>)
    ->Name("BM_cypher3_encode")
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.5);
BENCHMARK(BM_scramble<cypher4_encode>)
    ->Name("BM_cypher4_encode")
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.5);

// --- block format ---

void BM_blkfmt_encode(benchmark::State &state) {
  const auto &in = firmware();
  std::vector<uint8_t> out(2 * kBig);
  for (auto _ : state) {
    int size = static_cast<int>(out.size());
    if (blkfmt_encode(in.data(), static_cast<int>(kBig), out.data(), &size, 10, 1024, 0, 0) != 0) {
      state.SkipWithError("blkfmt_encode failed");
      break;
    }
    state.counters["ratio"] = static_cast<double>(size) / kBig;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBig));
}
BENCHMARK(BM_blkfmt_encode)->Unit(benchmark::kMillisecond)->MinTime(0.5);

// --- stream decoding: ours, the bare SDK loop, the peers ---

void BM_zentarc_decode_null(benchmark::State &state) {
  int fd = open(firmware_stream().c_str(), O_RDONLY);
  for (auto _ : state) {
    if (zentarc_decode_fd(fd, 0, 0, null_sink, nullptr) != static_cast<int>(kBig)) {
      state.SkipWithError("decode failed");
      break;
    }
  }
  close(fd);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBig));
}
BENCHMARK(BM_zentarc_decode_null)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_zentarc_decode_file(benchmark::State &state) {
  int fd = open(firmware_stream().c_str(), O_RDONLY);
  std::string out = scratch() + "/decoded";
  int dst = open(out.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  for (auto _ : state) {
    if (ftruncate(dst, 0) != 0 || cypher1_decode_file(fd, 0, 0, dst, 0) != static_cast<int>(kBig)) {
      state.SkipWithError("decode failed");
      break;
    }
  }
  close(dst);
  close(fd);
  std::filesystem::remove(out);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBig));
}
BENCHMARK(BM_zentarc_decode_file)->Unit(benchmark::kMillisecond)->Iterations(3);

void *sdk_alloc(void *, size_t n) { return n ? std::malloc(n) : nullptr; }
void sdk_free(void *, void *p) { std::free(p); }
ISzAlloc g_sdk_alloc = {sdk_alloc, sdk_free};

/// The SDK's decoder driven directly: read 64 KiB, LzmaDec_DecodeToBuf into
/// 64 KiB, until the size in the header is reached.
uint64_t sdk_decode_loop(int fd) {
  static Byte in[kChunk], out[kChunk];
  Byte header[13];
  if (pread(fd, header, 13, 0) != 13) return 0;
  uint64_t left = 0;
  for (int i = 0; i < 8; i++) left |= static_cast<uint64_t>(header[5 + i]) << (8 * i);
  CLzmaDec dec;
  LzmaDec_Construct(&dec);
  if (LzmaDec_Allocate(&dec, header, LZMA_PROPS_SIZE, &g_sdk_alloc) != SZ_OK) return 0;
  LzmaDec_Init(&dec);
  off_t pos = 13;
  size_t in_pos = 0, in_size = 0;
  uint64_t total = 0;
  while (left > 0) {
    if (in_pos == in_size) {
      ssize_t n = pread(fd, in, kChunk, pos);
      if (n <= 0) break;
      pos += n;
      in_size = static_cast<size_t>(n);
      in_pos = 0;
    }
    SizeT in_len = in_size - in_pos, out_len = left < kChunk ? left : kChunk;
    ELzmaStatus status;
    SRes res = LzmaDec_DecodeToBuf(&dec, out, &out_len, in + in_pos, &in_len,
                                   left < kChunk ? LZMA_FINISH_END : LZMA_FINISH_ANY, &status);
    benchmark::DoNotOptimize(out);
    in_pos += in_len;
    left -= out_len;
    total += out_len;
    if (res != SZ_OK || (in_len == 0 && out_len == 0)) break;
  }
  LzmaDec_Free(&dec, &g_sdk_alloc);
  return total;
}

void BM_sdk_decode_loop(benchmark::State &state) {
  int fd = open(firmware_stream().c_str(), O_RDONLY);
  for (auto _ : state) {
    if (sdk_decode_loop(fd) != kBig) {
      state.SkipWithError("decode failed");
      break;
    }
  }
  close(fd);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBig));
}
BENCHMARK(BM_sdk_decode_loop)->Unit(benchmark::kMillisecond)->Iterations(3);

/// Runs a program with stdin and stdout redirected; *cpu_seconds (if given)
/// gets its user plus system time. @return its exit status.
int spawn(const std::vector<std::string> &argv, const std::string &in, const std::string &out,
          double *cpu_seconds = nullptr) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (!in.empty()) posix_spawn_file_actions_addopen(&fa, 0, in.c_str(), O_RDONLY, 0);
  if (!out.empty())
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char *> args;
  for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid;
  int status = -1;
  struct rusage ru {};
  if (posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ) == 0)
    wait4(pid, &status, 0, &ru);
  if (cpu_seconds) {
    *cpu_seconds = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                   static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  }
  posix_spawn_file_actions_destroy(&fa);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Timed by the child's CPU time, as the in-process benchmarks are by their
// thread's: the machine is shared, and wall time would count the waits.
void BM_peer_decode(benchmark::State &state, std::vector<std::string> argv, bool via_stdio) {
  const std::string &stream = firmware_stream();
  if (!via_stdio) argv.insert(argv.end(), {stream, "/dev/null"});
  for (auto _ : state) {
    double cpu = 0;
    if (spawn(argv, via_stdio ? stream : "", "/dev/null", &cpu) != 0) {
      state.SkipWithError("peer not installed or failed");
      break;
    }
    state.SetIterationTime(cpu);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBig));
}
BENCHMARK_CAPTURE(BM_peer_decode, xz, std::vector<std::string>{"xz", "--format=lzma", "-d", "-c"},
                  true)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(3);
BENCHMARK_CAPTURE(BM_peer_decode, lzma_alone, std::vector<std::string>{"lzma_alone", "d"}, false)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(3);

// --- stream encoding: ours and the bare SDK encoder ---

const std::string &encode_input() {
  static const std::string path = [] {
    std::string p = scratch() + "/encode.plain";
    write_all(p, firmware().data(), kEncodeSize);
    return p;
  }();
  return path;
}

void BM_zentarc_encode(benchmark::State &state) {
  int fd = open(encode_input().c_str(), O_RDONLY);
  for (auto _ : state) {
    if (zentarc_encode_fd(fd, 0, static_cast<int>(kEncodeSize), null_sink, nullptr) != 0) {
      state.SkipWithError("encode failed");
      break;
    }
  }
  close(fd);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kEncodeSize));
}
BENCHMARK(BM_zentarc_encode)->Unit(benchmark::kMillisecond)->Iterations(2);

struct SdkIn {
  ISeqInStream s;
  int fd;
};
SRes sdk_in_read(void *p, void *buf, size_t *size) {
  ssize_t n = read(static_cast<SdkIn *>(p)->fd, buf, *size);
  *size = n > 0 ? static_cast<size_t>(n) : 0;
  return n < 0 ? SZ_ERROR_READ : SZ_OK;
}
size_t sdk_out_write(void *, const void *buf, size_t size) {
  benchmark::DoNotOptimize(buf);
  return size;
}

void BM_sdk_encode(benchmark::State &state) {
  int fd = open(encode_input().c_str(), O_RDONLY);
  for (auto _ : state) {
    lseek(fd, 0, SEEK_SET);
    CLzmaEncHandle enc = LzmaEnc_Create(&g_sdk_alloc);
    CLzmaEncProps props;
    LzmaEncProps_Init(&props);
    props.dictSize = 1 << 18;
    LzmaEnc_SetProps(enc, &props);
    Byte header[13];
    SizeT n = 5;
    LzmaEnc_WriteProperties(enc, header, &n);
    ISeqOutStream out = {sdk_out_write};
    out.Write(&out, header, 13);
    SdkIn in = {{sdk_in_read}, fd};
    SRes res = LzmaEnc_Encode(enc, &out, &in.s, nullptr, &g_sdk_alloc, &g_sdk_alloc);
    LzmaEnc_Destroy(enc, &g_sdk_alloc, &g_sdk_alloc);
    if (res != SZ_OK) {
      state.SkipWithError("encode failed");
      break;
    }
  }
  close(fd);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kEncodeSize));
}
BENCHMARK(BM_sdk_encode)->Unit(benchmark::kMillisecond)->Iterations(2);

// --- decoder peak memory, in fresh processes ---

struct PeakMemory {
  long rss_kib = -1;   // VmHWM of the whole process
  long heap_kib = -1;  // heap high-water mark of the decode
};

/// Peaks of a fresh process decoding `stream` ("" decodes nothing).
PeakMemory peak_memory(const std::string &stream) {
  std::string out = scratch() + "/rss";
  PeakMemory m;
  if (spawn({g_self, "--codec-peak-memory=" + stream}, "", out) != 0) return m;
  FILE *f = std::fopen(out.c_str(), "r");
  if (!f || std::fscanf(f, "%ld %ld", &m.rss_kib, &m.heap_kib) != 2) m = PeakMemory{};
  if (f) std::fclose(f);
  return m;
}

/// A sparse image of `n` bytes: 16 KiB of firmware-like data per MiB, the
/// rest 0xFF, so that large streams are quick to make.
std::string sparse_stream(size_t n) {
  std::vector<uint8_t> v(n, 0xFF);
  const auto &fw = firmware();
  for (size_t off = 0; off < n; off += MiB)
    std::memcpy(v.data() + off, fw.data() + (off % (kBig - MiB)), 16384);
  return make_stream("sparse" + std::to_string(n / MiB), v.data(), n);
}

void BM_decoder_peak_memory(benchmark::State &state) {
  const size_t n = static_cast<size_t>(state.range(0)) * MiB;
  const std::string stream = sparse_stream(n);
  PeakMemory idle, decode;
  for (auto _ : state) {
    idle = peak_memory("");
    decode = peak_memory(stream);
  }
  if (idle.rss_kib < 0 || decode.rss_kib < 0) state.SkipWithError("child failed");
  state.counters["idle_rss_KiB"] = static_cast<double>(idle.rss_kib);
  state.counters["decode_rss_KiB"] = static_cast<double>(decode.rss_kib);
  state.counters["decode_heap_KiB"] = static_cast<double>(decode.heap_kib);
  std::filesystem::remove(stream);
}
BENCHMARK(BM_decoder_peak_memory)
    ->Arg(16)
    ->Arg(256)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime();

/// The child of BM_decoder_peak_memory. Prints VmHWM (the peak RSS of the
/// address space made at exec; getrusage's maxrss would also count the
/// parent's, carried over through the spawn) and the heap's high-water mark:
/// with mmap and trimming off, the heap never shrinks, so its final size is
/// the most the decoder ever held at once.
int peak_memory_child(const char *stream) {
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, INT_MAX);
  const size_t heap_before = mallinfo2().arena;
  if (*stream) {
    int fd = open(stream, O_RDONLY);
    if (fd < 0 || zentarc_decode_fd(fd, 0, 0, null_sink, nullptr) < 0) return 1;
    close(fd);
  }
  const size_t heap = mallinfo2().arena - heap_before;
  FILE *f = std::fopen("/proc/self/status", "r");
  if (!f) return 1;
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof line, f)) {
    if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
  }
  std::fclose(f);
  std::printf("%ld %zu\n", kib, heap / 1024);
  return kib < 0;
}

}  // namespace
}  // namespace korvane

int main(int argc, char **argv) {
  const char *flag = "--codec-peak-memory=";
  if (argc == 2 && std::strncmp(argv[1], flag, std::strlen(flag)) == 0) {
    return korvane::peak_memory_child(argv[1] + std::strlen(flag));
  }
  korvane::g_self = std::filesystem::canonical("/proc/self/exe").string();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
