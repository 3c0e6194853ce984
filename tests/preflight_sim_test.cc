// SPDX-License-Identifier: MIT
// korvane --preflight, --device and --device-id end to end through
// korvane-sim. A refused image must leave the board exactly as it was: the
// partitions hold what an earlier install put there (the state files are
// compared byte for byte), the event log gains no erase, write or oobwrite
// line, and with -q no process is signalled and no control file written.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "rom/layout.h"
#include "tests/support/e2e.h"
#include "tests/support/install_util.h"

namespace korvane {
namespace {

using namespace install_test;
using e2e::bin;
using e2e::scratch_dir;
namespace fs = std::filesystem;

// mtd2 has two bad blocks of eight, mtd0 one.
constexpr const char *BOARD =
    "mtd0 nand size=1M erase=128K page=2048 oob=64 bad=2\n"
    "mtd1 nor size=512K erase=64K\n"
    "mtd2 nand size=1M erase=128K page=2048 oob=64 bad=1,5\n"
    "mtd3 nand size=256K erase=16K page=512 oob=16\n"
    "mtd4 nor size=256K erase=64K read-only\n"
    "proc /proc/keypad/watchdog /proc/keypad/lcd_bklight /proc/dsplink/bklight "
    "/proc/dsplink/reset\n";

// The blocks of the good image: every flash type, a cypher1 stream, a
// block the install leaves alone.
std::vector<blk_input> good_blocks(int seed = 0) {
  return {
      {ROM_BLK_TYPE_NAND_RAW, 0, "kernel", ROM_BLK_CT_CYPHER1, firmware_like(300000, seed),
       ROM_VERIFY_CRC},
      {ROM_BLK_TYPE_NAND_OOB, 2, "rootfs", ROM_BLK_CT_NONE, pattern(2112 * 100, seed + 1),
       ROM_VERIFY_CRC},
      {ROM_BLK_TYPE_NOR, 1, "env", ROM_BLK_CT_CYPHER3, pattern(70000, seed + 2),
       ROM_VERIFY_CHECKSUM},
      {ROM_BLK_TYPE_NAND_RAW, 3, "uboot", ROM_BLK_CT_NONE, pattern(20000, seed + 3),
       ROM_VERIFY_CRC},
      {ROM_BLK_TYPE_FILE, 9, "config", ROM_BLK_CT_CYPHER1, firmware_like(4000, seed + 4),
       ROM_VERIFY_CRC},
  };
}

// A board in a scratch folder, its partitions filled by an install of an
// earlier image.
struct board_run {
  scratch_dir dir;
  std::string image = dir / "image.rom";

  board_run() {
    e2e::write_file(dir / "board", BOARD);
    std::string earlier = dir / "earlier.rom";
    build_image(earlier, good_blocks(7));
    e2e::run_result r = korvane({"-e", "earlier.rom"});
    EXPECT_EQ(r.status, 0) << r.out;
  }

  // korvane's words after korvane-sim's own and "--" (or, with
  // dashdash false, right after korvane-sim's own).
  e2e::run_result korvane(const std::vector<std::string> &words, bool dashdash = true) const {
    std::vector<std::string> args = {bin("korvane-sim"), "--board", "board", "--state", "state"};
    if (dashdash) args.push_back("--");
    args.insert(args.end(), words.begin(), words.end());
    return e2e::run(args, dir.path());
  }

  // Every partition's bytes (data and OOB), by file name.
  std::map<std::string, std::string> flash() const {
    std::map<std::string, std::string> m;
    for (const auto &e : fs::directory_iterator(dir / "state")) {
      std::string name = e.path().filename();
      if (name.rfind("mtd", 0) == 0) m[name] = e2e::read_file(e.path());
    }
    return m;
  }
  std::string events() const { return e2e::read_file(dir / "state/events.log"); }
};

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    lines.push_back(text.substr(at, end - at));
    at = end == std::string::npos ? text.size() : end + 1;
  }
  return lines;
}

// What the run added to the event log that changed the board: erases and
// writes, signals, control files written, syncs and sleeps (not the run's
// mark, the answers to questions, nor a refused open).
std::vector<std::string> actions_since(const std::string &before, const std::string &after) {
  std::vector<std::string> actions;
  for (const std::string &line : lines_of(after.substr(before.size()))) {
    std::string word = line.substr(0, line.find(' '));
    if (word != "run" && word != "badblock" && word != "fail") actions.push_back(line);
  }
  return actions;
}

void append(const std::string &path, const std::string &bytes) {
  e2e::write_file(path, e2e::read_file(path) + bytes);
}

// Offsets of the blocks of the good image (what build_image reports).
struct image_maker {
  std::function<void(const std::string &path, std::vector<blk_place> &places)> damage;
  std::vector<blk_input> blocks = good_blocks();
  bool rom = true;
};

void cut(const std::string &path, uint64_t size) { fs::resize_file(path, size); }

// Every one of these is refused with exit status 1 and the board untouched.
TEST(PreflightSim, RefusedImagesLeaveTheBoardAsItWas) {
  struct row {
    const char *what;
    image_maker image;
    std::vector<std::string> options;  // before -e
    const char *words;                 // what the output must hold
  };
  auto rootfs_of = [](size_t records) {
    std::vector<blk_input> b = good_blocks();
    b[1].content = pattern(2112 * records, 9);
    return b;
  };
  std::vector<blk_input> twice = good_blocks();
  twice.push_back({ROM_BLK_TYPE_NAND_RAW, 0, "kernel2", ROM_BLK_CT_NONE, pattern(5000, 8)});
  std::vector<blk_input> read_only = good_blocks();
  read_only.push_back({ROM_BLK_TYPE_NOR, 4, "ro", ROM_BLK_CT_NONE, pattern(5000, 8)});
  std::vector<blk_input> records_for_nor = good_blocks();
  records_for_nor[2] = {ROM_BLK_TYPE_NAND_OOB, 1, "env", ROM_BLK_CT_NONE, pattern(2112 * 3, 8)};
  std::vector<blk_input> lacking = good_blocks();
  lacking.push_back({ROM_BLK_TYPE_NOR, 7, "extra", ROM_BLK_CT_NONE, pattern(5000, 8)});
  const row rows[] = {
      // The five of the issue.
      {"a payload whose CRC is wrong",
       {[](const std::string &p, auto &b) {
         edit_header(p, b[1].offset, [](blk_hdr &h) { h.verify.set(h.verify.get() ^ 0x100); });
       }},
       {"--preflight"},
       "name=rootfs cypher=none length=211200 hcrc=good check=crc-bad install=program"},
      {"a truncated image",
       {[](const std::string &p, auto &b) { cut(p, b[1].offset + 128 + 1000); }},
       {"--preflight"},
       "result=refused problems=cut-short,payload-crc\n"},
      {"a block too large for its partition with its bad blocks",
       {nullptr, rootfs_of(64 * 6 + 1)},
       {"--preflight"},
       "bad=2 good=6 decoded=813120 write=813120 pages=385 eblocks=7 result=refused "
       "problems=too-large\n"},
      {"an image for another board", {}, {"--device", "other"}, "problems=name\n"},
      {"an image for another board id", {}, {"--device-id", "8", "--preflight"}, "problems=id\n"},
      {"a block file",
       {nullptr, {good_blocks()[3]}, false},
       {"--device", "board"},
       "device: kind=block expected-name=board result=refused problems=no-rom-header\n"},
      {"two blocks for one partition", {nullptr, twice}, {"--preflight"}, "duplicate-of=0"},
      // Walks that the plain install ends early or steps past blocks in.
      {"a block header size above 144",
       {[](const std::string &p, auto &b) {
         edit_header(p, b[2].offset, [](blk_hdr &h) { h.hsize.set(145); });
       }},
       {"--preflight"},
       "preflight: end why=header-size"},
      {"a total past the end of the file",
       {[](const std::string &p, auto &b) {
         edit_header(p, b[4].offset, [](blk_hdr &h) { h.total.set(0x7FFFFFF0); });
       }},
       {"--preflight"},
       "preflight: end why=past-end"},
      {"the file cut where a block starts: the rom header counts more",
       {[](const std::string &p, auto &b) { cut(p, b[4].offset); }},
       {"--preflight"},
       "result=refused problems=length,blocks\n"},
      {"a cypher1 stream that reads into the next block",
       {[](const std::string &p, auto &b) {
         edit_header(p, b[0].offset, [](blk_hdr &h) {
           h.length.set(h.length.get() - 100);
           h.flags.set(0);
         });
       }},
       {"--preflight"},
       "problems=total,stream-past-block"},
      {"bytes after the last block",
       {[](const std::string &p, auto &) { append(p, std::string(64, '\0')); }},
       {"--preflight"},
       "trailing=64 result=refused problems=trailing-bytes\n"},
      {"a partition the board lacks",
       {nullptr, lacking},
       {"--preflight"},
       "partition=mtd7 errno=ENOENT"},
      // The install opens partitions for writing, after earlier ones were
      // rewritten.
      {"a partition the kernel does not let be written",
       {nullptr, read_only},
       {"--preflight"},
       "partition=mtd4 class=nor size=262144 erase=65536 page=1 oob=0 bad=0 good=4 "
       "decoded=5000 write=5000 pages=5000 eblocks=1 result=refused problems=read-only\n"},
      {"page records for a NOR partition",
       {nullptr, records_for_nor},
       {"--preflight"},
       "partition=mtd1 class=nor size=524288 erase=65536 page=1 oob=0 bad=0 good=8 "
       "decoded=6336 write=6336 pages=6336 eblocks=1 result=refused problems=oob-not-nand\n"},
      // What the other options cannot change.
      {"-s", {nullptr, twice}, {"--preflight", "-s"}, "duplicate-of=0"},
      {"-s and -m", {nullptr, lacking}, {"--preflight", "-s", "-m"}, "partition=mtd7 errno=ENOENT"},
      {"-q", {nullptr, twice}, {"--preflight", "-q"}, "duplicate-of=0"},
      {"-h", {nullptr, twice}, {"--preflight", "-h"}, "duplicate-of=0"},
      {"-q and another board", {}, {"-q", "--device", "other"}, "problems=name\n"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    board_run b;
    std::vector<blk_place> places = build_image(b.image, r.image.blocks, r.image.rom);
    if (r.image.damage) r.image.damage(b.image, places);
    const auto flash = b.flash();
    const std::string events = b.events();
    std::vector<std::string> words = r.options;
    words.insert(words.end(), {"-e", "image.rom"});
    e2e::run_result got = b.korvane(words);
    EXPECT_EQ(got.status, 1) << got.out;
    EXPECT_NE(got.out.find(r.words), std::string::npos) << got.out;
    // A partition first opened by the preflight gets its backing files,
    // erased as the board always held it.
    auto now = b.flash();
    std::erase_if(now, [&](const auto &file) {
      return !flash.contains(file.first) &&
             file.second.find_first_not_of('\xFF') == std::string::npos;
    });
    EXPECT_TRUE(now == flash) << "the partitions changed";
    EXPECT_EQ(actions_since(events, b.events()), std::vector<std::string>{});
    EXPECT_FALSE(fs::exists(b.dir / "fake-mtd0-kernel2") || fs::exists(b.dir / "fake-mtd0-kernel"));
    // A device binding that refuses ends the run before the preflight.
    if (got.out.rfind("device: ", 0) == 0 && got.out.find("result=refused") != std::string::npos) {
      EXPECT_EQ(got.out.find("preflight:"), std::string::npos) << got.out;
    } else {
      EXPECT_NE(got.out.find("preflight: verdict=refused"), std::string::npos) << got.out;
    }
  }
}

// A good image passes and installs exactly as without the checks; the
// checks come before the kill sequence and the watchdog.
TEST(PreflightSim, AGoodImageInstalls) {
  board_run plain, checked;
  build_image(plain.image, good_blocks());
  build_image(checked.image, good_blocks());
  ASSERT_EQ(plain.korvane({"-e", "image.rom"}).status, 0);
  const std::string before = checked.events();
  e2e::run_result r = checked.korvane(
      {"--preflight", "--device", "board", "--device-id", "7", "-q", "-e", "image.rom"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(checked.flash() == plain.flash()) << "the partitions differ from a plain install";
  EXPECT_EQ(r.out.substr(0, r.out.find("preflight: block=1 ")),
            "device: kind=rom name=board id=7 expected-name=board expected-id=7 result=ok\n"
            "preflight: image kind=rom size=303152 header=128 length=303024 blocks=5 name=board "
            "id=7 result=ok\n"
            "preflight: block=0 offset=128 type=nand-raw id=0 name=kernel cypher=cypher1 "
            "length=902 hcrc=good check=crc-good install=program partition=mtd0 class=nand "
            "size=1048576 erase=131072 page=2048 oob=64 bad=1 good=7 decoded=300000 "
            "write=301056 pages=147 eblocks=3 result=ok\n");
  EXPECT_NE(r.out.find("preflight: end why=end-of-file offset=303152 blocks=5 length=303024 "
                       "result=ok\n"
                       "preflight: verdict=ok blocks=5 program=4 problems=0\n"),
            std::string::npos)
      << r.out;
  // After the run's mark, the preflight's questions (one per erase block
  // of the three NAND partitions) come first, then the kill sequence, the
  // watchdog, and the install.
  std::vector<std::string> added = lines_of(checked.events().substr(before.size()));
  ASSERT_GT(added.size(), 35u);
  EXPECT_EQ(added[0].rfind("run 2: korvane --preflight ", 0), 0u) << added[0];
  for (size_t k = 1; k < 1 + 8 + 8 + 16; ++k) EXPECT_EQ(added[k].rfind("badblock ", 0), 0u) << k;
  EXPECT_EQ(added[33], "sync");
  EXPECT_EQ(added[34], "sleep 1");
  size_t watchdog = 0, erase = 0;
  for (size_t k = 0; k < added.size(); ++k) {
    if (!watchdog && added[k] == "proc /proc/keypad/watchdog 0") watchdog = k;
    if (!erase && added[k].rfind("erase ", 0) == 0) erase = k;
  }
  EXPECT_GT(watchdog, 34u);
  EXPECT_GT(erase, watchdog);
}

// --preflight -z checks everything and touches nothing, with -q neither.
TEST(PreflightSim, DryRunTouchesNothing) {
  board_run b;
  build_image(b.image, good_blocks());
  const auto flash = b.flash();
  const std::string events = b.events();
  e2e::run_result r = b.korvane({"--preflight", "-z", "-q", "-e", "image.rom"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("preflight: verdict=ok blocks=5 program=4 problems=0\n"), std::string::npos);
  EXPECT_EQ(r.out.find("preflight: verdict"), r.out.rfind("preflight:"));  // nothing after it
  EXPECT_TRUE(b.flash() == flash);
  EXPECT_EQ(actions_since(events, b.events()), std::vector<std::string>{});
}

// korvane-sim starts korvane's arguments at an added option, written out or
// abbreviated, as it does at korvane's own long options: without "--" the
// answer is the same as with it.
TEST(PreflightSim, KorvaneSimTakesTheAddedOptionsWithoutDashDash) {
  board_run b;
  build_image(b.image, good_blocks());
  struct row {
    std::vector<std::string> words;
    int status;
  };
  const row rows[] = {
      {{"--preflight", "-z", "-e", "image.rom"}, 0},
      {{"--pre", "-z", "-e", "image.rom"}, 0},
      {{"--device", "board", "--device-id=7", "-i", "image.rom"}, 0},
      {{"--device-id", "8", "-e", "image.rom"}, 1},
      {{"--device"}, 2},  // korvane's usage error, not korvane-sim's
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.words[0]);
    e2e::run_result with = b.korvane(r.words);
    e2e::run_result without = b.korvane(r.words, false);
    EXPECT_EQ(with.status, r.status) << with.out << with.err;
    EXPECT_EQ(without.status, r.status) << without.out << without.err;
    EXPECT_EQ(without.out, with.out);
    EXPECT_EQ(without.err, with.err);
  }
}

// -x and -i check the binding too: -x extracts nothing from another board's
// image, -i shows it and ends with 1.
TEST(PreflightSim, BindingOfExtractAndInfo) {
  board_run b;
  build_image(b.image, good_blocks());
  e2e::run_result x = b.korvane({"--device", "other", "-x", "image.rom"});
  EXPECT_EQ(x.status, 1);
  EXPECT_EQ(x.out,
            "device: kind=rom name=board id=7 expected-name=other result=refused problems=name\n");
  EXPECT_FALSE(fs::exists(b.dir / "0-0-nand-raw-kernel"));

  e2e::run_result i = b.korvane({"--device-id", "3", "-I", "image.rom"});
  e2e::run_result plain = b.korvane({"-I", "image.rom"});
  EXPECT_EQ(i.status, 1);
  EXPECT_EQ(i.out, "device: kind=rom name=board id=7 expected-id=3 result=refused problems=id\n" +
                       plain.out);

  e2e::run_result ok = b.korvane({"--device", "board", "-x", "image.rom"});
  EXPECT_EQ(ok.status, 0) << ok.out;
  EXPECT_TRUE(fs::exists(b.dir / "0-0-nand-raw-kernel"));
}

}  // namespace
}  // namespace korvane
