// SPDX-License-Identifier: MIT
// The checks before an install, in process, against the simulated board:
// the preflight's verdict against what the install itself then does, the
// problems it names per block, and the device binding.
#include "install/preflight.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "install/execute.h"
#include "rom/result.h"
#include "tests/support/image_mutation.h"
#include "tests/support/install_util.h"
#include "tests/support/sim_fixture.h"

namespace korvane {
namespace {

using namespace install_test;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

constexpr uint32_t K128 = 128u << 10;

class PreflightTest : public testing::Test {
 protected:
  // A fresh board (the folder of the last one goes with it).
  void start(const std::string &board) {
    if (saved_cwd.empty()) saved_cwd = std::filesystem::current_path();
    std::filesystem::current_path(saved_cwd);
    sim.reset();
    sim = std::make_unique<sim_fixture>(board);
    work = sim->path("work");
    std::filesystem::create_directory(work);
    std::filesystem::current_path(work);
    image = work + "/image.rom";
  }
  void TearDown() override {
    if (!saved_cwd.empty()) std::filesystem::current_path(saved_cwd);
    sim.reset();
  }

  // The preflight of the image. @return its result; out holds what it printed.
  int preflight(const install_settings &s = {}) {
    rom_walk w;
    CaptureStdout();
    int r = rom_walk_open(&w, image.c_str(), O_RDONLY);
    if (r >= 0) r = preflight_check(&w, s);
    out = GetCapturedStdout();
    return r;
  }
  int binding(const install_settings &s) {
    rom_walk w;
    CaptureStdout();
    int r = rom_walk_open(&w, image.c_str(), O_RDONLY);
    if (r >= 0) r = device_binding_check(w, s);
    out = GetCapturedStdout();
    return r;
  }
  int install(const install_settings &s = {}) {
    CaptureStdout();
    int r = rom_execute(image.c_str(), s);
    out = GetCapturedStdout();
    return r;
  }

  // The line of block k.
  std::string block_line(int k) const {
    std::string head = "preflight: block=" + std::to_string(k) + " ";
    size_t at = out.find(head);
    if (at == std::string::npos) return "";
    return out.substr(at, out.find('\n', at) - at);
  }

  std::unique_ptr<sim_fixture> sim;
  std::string work, image, out;
  std::filesystem::path saved_cwd;
};

// The fit counts bad blocks, OOB records, padding and the decoded size, and
// the geometry the writer takes: the preflight says ok exactly when the
// install then succeeds. Each row runs both on the same fresh board.
TEST_F(PreflightTest, VerdictAgreesWithTheInstall) {
  struct row {
    const char *what;
    const char *board;  // mtd0
    uint32_t type, cypher;
    size_t length;
    bool block_align;
    const char *problem;  // nullptr: the image fits
  };
  const char *nand = "mtd0 nand size=1M erase=128K page=2048 oob=64";
  const std::string bad25 = std::string(nand) + " bad=2,5";
  const std::string bad1 = std::string(nand) + " bad=1";
  const size_t rec = 2112, recs_per_block = 64;
  const row rows[] = {
      {"eight erase blocks on eight", nand, ROM_BLK_TYPE_NAND_RAW, 0, 8 * K128, false, nullptr},
      {"a byte more", nand, ROM_BLK_TYPE_NAND_RAW, 0, 8 * K128 + 1, false, "too-large"},
      {"six on six good", bad25.c_str(), ROM_BLK_TYPE_NAND_RAW, 0, 6 * K128, false, nullptr},
      {"a byte more than six good", bad25.c_str(), ROM_BLK_TYPE_NAND_RAW, 0, 6 * K128 + 1, false,
       "too-large"},
      {"a byte more, padded to a block", bad1.c_str(), ROM_BLK_TYPE_NAND_RAW, 0, 6 * K128 + 1, true,
       nullptr},
      {"seven blocks of records on seven good", bad1.c_str(), ROM_BLK_TYPE_NAND_OOB, 0,
       7 * recs_per_block * rec, false, nullptr},
      {"a record more", bad1.c_str(), ROM_BLK_TYPE_NAND_OOB, 0, (7 * recs_per_block + 1) * rec,
       false, "too-large"},
      {"cypher1 counted decoded", bad25.c_str(), ROM_BLK_TYPE_NAND_RAW, ROM_BLK_CT_CYPHER1,
       6 * K128 + 4096, false, "too-large"},
      {"cypher1 that fits decoded", bad25.c_str(), ROM_BLK_TYPE_NAND_RAW, ROM_BLK_CT_CYPHER1,
       6 * K128, false, nullptr},
      {"small pages", "mtd0 nand size=256K erase=16K page=512 oob=16 bad=0,15",
       ROM_BLK_TYPE_NAND_RAW, ROM_BLK_CT_CYPHER3, 14 * 16384, false, nullptr},
      {"small pages, a page more", "mtd0 nand size=256K erase=16K page=512 oob=16 bad=0,15",
       ROM_BLK_TYPE_NAND_RAW, 0, 14 * 16384 + 1, false, "too-large"},
      {"nor to the last byte", "mtd0 nor size=512K erase=64K", ROM_BLK_TYPE_NOR, 0, 512u << 10,
       false, nullptr},
      {"nor, a byte more", "mtd0 nor size=512K erase=64K", ROM_BLK_TYPE_NOR, 0, (512u << 10) + 1,
       false, "too-large"},
      {"a page the nand writer refuses", "mtd0 nand size=1M erase=128K page=4096 oob=128",
       ROM_BLK_TYPE_NAND_RAW, 0, 5000, false, "geometry"},
      {"no such partition", "mtd1 nor size=512K erase=64K", ROM_BLK_TYPE_NAND_RAW, 0, 5000, false,
       "partition"},
      {"no bad-block queries on nand",
       "mtd0 nand size=1M erase=128K page=2048 oob=64 refuse=badblock", ROM_BLK_TYPE_NAND_RAW, 0,
       5000, false, "bad-block-query"},
      {"none on nor, which the erase passes over", "mtd0 nor size=512K erase=64K refuse=badblock",
       ROM_BLK_TYPE_NOR, 0, 5000, false, nullptr},
      {"no OOB layout for records", "mtd0 nand size=1M erase=128K page=2048 oob=64 refuse=oobsel",
       ROM_BLK_TYPE_NAND_OOB, 0, rec * 3, false, "oob-layout"},
      {"no OOB layout, raw data", "mtd0 nand size=1M erase=128K page=2048 oob=64 refuse=oobsel",
       ROM_BLK_TYPE_NAND_RAW, 0, 5000, false, nullptr},
      {"a read-only partition, which the install cannot open for writing",
       "mtd0 nand size=1M erase=128K page=2048 oob=64 read-only", ROM_BLK_TYPE_NAND_RAW, 0, 5000,
       false, "read-only"},
      {"a geometry query that fails",
       "mtd0 nand size=1M erase=128K page=2048 oob=64 fail=getinfo:1:EIO", ROM_BLK_TYPE_NAND_RAW, 0,
       5000, false, "geometry"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    install_settings s;
    s.block_align = r.block_align;
    for (bool check : {true, false}) {
      start(std::string(r.board) + "\n");
      build_image(image, {{r.type, 0, "fw", r.cypher, firmware_like(r.length, 3)}});
      if (check) {
        int got = preflight(s);
        EXPECT_EQ(got, r.problem ? RES_FAULT : RES_OK) << out;
        if (r.problem) {
          EXPECT_NE(block_line(0).find(std::string("problems=") + r.problem), std::string::npos)
              << out;
        }
        EXPECT_TRUE(device_changes(sim->events()).empty()) << sim->events();
      } else {
        EXPECT_EQ(install(s) == RES_OK, r.problem == nullptr) << out;
      }
    }
  }
}

// The end of a cypher1 stream damaged where no payload check would see it:
// the install's decoder reads on past the payload and may fail there after
// the erase. Whatever the preflight says must hold: refused with nothing
// changed on the board, or ok and the install succeeds.
TEST_F(PreflightTest, ADamagedStreamEndIsRefusedOrInstalls) {
  const std::string board =
      "mtd0 nand size=1M erase=128K page=2048 oob=64\n"
      "mtd1 nor size=512K erase=64K\n";
  start(board);
  auto places = build_image(
      image, {{ROM_BLK_TYPE_NOR, 1, "kernel", ROM_BLK_CT_CYPHER1, firmware_like(200000, 7)},
              {ROM_BLK_TYPE_NAND_RAW, 0, "boot", 0, pattern(3000, 1)}});
  const std::string good = e2e::read_file(image);
  const uint64_t end = places[0].offset + places[0].hsize + places[0].length;
  int refused = 0, stream_end = 0;
  for (uint64_t back = 1; back <= 12; ++back) {
    for (uint8_t flip : {0x01, 0x10, 0x80, 0xFF}) {
      SCOPED_TRACE("byte " + std::to_string(back) + " before the end, xor " + std::to_string(flip));
      start(board);
      std::string damaged = good;
      damaged[end - back] = static_cast<char>(damaged[end - back] ^ flip);
      e2e::write_file(image, damaged);
      if (preflight() == RES_OK) {
        EXPECT_EQ(install(), RES_OK) << out;
      } else {
        ++refused;
        if (block_line(0).find("problems=stream-end") != std::string::npos) ++stream_end;
        EXPECT_TRUE(device_changes(sim->events()).empty()) << sim->events();
      }
    }
  }
  // The damage is one the install's decoder notices; the bounded decode alone
  // lets most of it through.
  EXPECT_GT(refused, 0);
  EXPECT_GT(stream_end, 0);
}

// Valid images damaged by flips, cuts and header edits with every checksum
// computed again: the preflight refuses with nothing changed on the board,
// or the install that follows succeeds. The same edits run as a fuzz target.
TEST_F(PreflightTest, MutatedImagesAreRefusedOrInstall) {
  start(mutation::BOARD);
  std::mt19937 random(20261211);
  int passed = 0, refused = 0;
  for (int run = 0; run < 300; ++run) {
    std::vector<uint8_t> edits(1 + 6 * (1 + random() % 3));
    for (uint8_t &b : edits) b = static_cast<uint8_t>(random());
    SCOPED_TRACE("run " + std::to_string(run));
    e2e::write_file(image, mutation::mutate(edits.data(), edits.size()));
    std::filesystem::resize_file(sim->path("events.log"), 0);
    if (preflight() == RES_OK) {
      ++passed;
      EXPECT_EQ(install(), RES_OK) << out;
    } else {
      ++refused;
      EXPECT_TRUE(device_changes(sim->events()).empty()) << out << sim->events();
    }
  }
  // Both answers are reached: the edits neither spoil every image nor none.
  EXPECT_GT(passed, 0);
  EXPECT_GT(refused, 0);
}

// Problems of the file and of the blocks, each named on its block's line,
// every one of them, whatever the block's type and the -o selection.
TEST_F(PreflightTest, NamesEveryProblemOfABlock) {
  const std::string board =
      "mtd0 nand size=1M erase=128K page=2048 oob=64\nmtd1 nor size=512K erase=64K\n";
  struct row {
    const char *what;
    blk_input block;  // the second of three; the others are good
    std::function<void(blk_hdr &)> edit;
    bool reseal;
    std::vector<int> ids;  // -o
    const char *words;     // what its line must hold
  };
  auto none = [](blk_hdr &) {};
  const blk_input file{ROM_BLK_TYPE_FILE, 9, "cfg", 0, pattern(3000, 1), ROM_VERIFY_CRC};
  const blk_input nor{ROM_BLK_TYPE_NOR,   1, "env", ROM_BLK_CT_CYPHER1, firmware_like(9000, 2),
                      ROM_VERIFY_CHECKSUM};
  const row rows[] = {
      {"a good block left alone", file, none, true, {}, "install=leave result=ok"},
      {"a header CRC that is wrong",
       file,
       [](blk_hdr &h) { h.format.set(9); },
       false,
       {},
       "hcrc=bad check=crc-good install=leave result=refused problems=header-crc"},
      {"no block magic",
       file,
       [](blk_hdr &h) { h.magic.set(0x12345678); },
       true,
       {},
       "problems=magic"},
      {"a payload that fails its CRC, on a block never programmed",
       file,
       [](blk_hdr &h) { h.verify.set(h.verify.get() ^ 1); },
       true,
       {},
       "check=crc-bad install=leave result=refused problems=payload-crc"},
      {"a checksum that fails, on an unselected block",
       nor,
       [](blk_hdr &h) { h.verify.set(h.verify.get() + 1); },
       true,
       {0},
       "check=checksum-bad install=unselected result=refused problems=payload-checksum"},
      {"a total that skips bytes",
       file,
       [](blk_hdr &h) { h.total.set(h.total.get() + 16); },
       true,
       {},
       "problems=total"},
      {"a type the install refuses",
       file,
       [](blk_hdr &h) { h.type.set(ROM_BLK_TYPE_BIN); },
       true,
       {},
       "install=refuse result=refused problems=type"},
      {"a cypher without a decoder",
       nor,
       [](blk_hdr &h) { h.cypher.set(5); },
       true,
       {},
       "install=program partition=mtd1 class=nor size=524288 erase=65536 page=1 oob=0 bad=0 "
       "good=8 result=refused problems=cypher"},
      {"a stream longer than its block",
       nor,
       [](blk_hdr &h) {
         h.length.set(h.length.get() - 20);
         h.total.set(ROM_HDR_SIZE + blk_padded(h.length.get()));
         h.verify.set(0xFFFFFFFF);
         h.flags.set(0);
       },
       true,
       {},
       "check=none install=program partition=mtd1 class=nor size=524288 erase=65536 "
       "page=1 oob=0 bad=0 good=8 result=refused problems=stream-past-block"},
      {"page records for the NOR partition",
       {ROM_BLK_TYPE_NAND_OOB, 1, "env", 0, pattern(2112 * 3, 6)},
       none,
       true,
       {},
       "install=program partition=mtd1 class=nor size=524288 erase=65536 page=1 oob=0 bad=0 "
       "good=8 decoded=6336 write=6336 pages=6336 eblocks=1 result=refused problems=oob-not-nand"},
      {"a second block for mtd0",
       {ROM_BLK_TYPE_NAND_RAW, 0, "again", 0, pattern(100, 3)},
       none,
       true,
       {},
       "partition=mtd0 duplicate-of=0 class=nand"},
      {"a second block for mtd0, not selected",
       {ROM_BLK_TYPE_NAND_RAW, 0, "again", 0, pattern(100, 3)},
       none,
       true,
       {1},
       "install=unselected result=ok"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    start(board);
    auto places = build_image(image, {{ROM_BLK_TYPE_NAND_RAW, 0, "boot", 0, pattern(5000, 4)},
                                      r.block,
                                      {ROM_BLK_TYPE_NOR, 1, "last", 0, pattern(700, 5)}});
    edit_header(image, places[1].offset, r.edit, r.reseal);
    install_settings s;
    s.ids = r.ids;
    int got = preflight(s);
    std::string line = block_line(1);
    EXPECT_NE(line.find(r.words), std::string::npos) << line;
    bool refused = line.find("result=refused") != std::string::npos;
    EXPECT_EQ(got, refused ? RES_FAULT : RES_OK) << out;
    EXPECT_NE(out.find(refused ? "preflight: verdict=refused" : "preflight: verdict=ok"),
              std::string::npos)
        << out;
  }
}

// Where the plain walk stops early or steps past blocks, the end of the
// walk is named; so is a rom header that counts other blocks.
TEST_F(PreflightTest, TheWalkMustEndAtTheEndOfTheFile) {
  struct row {
    const char *what;
    std::function<void(const std::string &, const std::vector<blk_place> &)> damage;
    const char *end;  // the end line must hold this
  };
  auto truncate_to = [](const std::string &path, uint64_t size) {
    std::filesystem::resize_file(path, size);
  };
  const row rows[] = {
      {"the whole file", [](auto &, auto &) {},
       "why=end-of-file offset=13296 blocks=2 length=13168 result=ok"},
      {"a header size above 144 ends it",
       [](const std::string &p, const std::vector<blk_place> &b) {
         edit_header(p, b[1].offset, [](blk_hdr &h) { h.hsize.set(145); });
       },
       "why=header-size offset=5264 blocks=1 length=5136 header-size=145 result=refused "
       "problems=header-size,length,blocks"},
      {"cut at a block's start: the rom header counts more",
       [&](const std::string &p, const std::vector<blk_place> &b) { truncate_to(p, b[1].offset); },
       "why=end-of-file offset=5264 blocks=1 length=5136 result=refused problems=length,blocks"},
      {"bytes after the last block",
       [](const std::string &p, auto &) {
         std::string all = e2e::read_file(p);
         e2e::write_file(p, all + std::string(100, '\0'));
       },
       "why=trailing-bytes offset=13296 blocks=2 length=13168 trailing=100 result=refused "
       "problems=trailing-bytes"},
      {"a total past the end of the file",
       [](const std::string &p, const std::vector<blk_place> &b) {
         edit_header(p, b[1].offset, [](blk_hdr &h) { h.total.set(0x7FFFFFF0); });
       },
       "why=past-end"},
      {"a total of 0",
       [](const std::string &p, const std::vector<blk_place> &b) {
         edit_header(p, b[0].offset, [](blk_hdr &h) { h.total.set(0); });
       },
       "why=total-small offset=128 blocks=0 length=0 total=0 result=refused"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    start("mtd0 nand size=1M erase=128K page=2048 oob=64\nmtd1 nor size=512K erase=64K\n");
    auto places = build_image(image, {{ROM_BLK_TYPE_NAND_RAW, 0, "boot", 0, pattern(5000, 4)},
                                      {ROM_BLK_TYPE_NOR, 1, "env", 0, pattern(7900, 5)}});
    r.damage(image, places);
    preflight();
    size_t at = out.find("preflight: end ");
    ASSERT_NE(at, std::string::npos) << out;
    std::string line = out.substr(at, out.find('\n', at) - at);
    EXPECT_NE(line.find(r.end), std::string::npos) << line;
  }
}

// The rom header's device name and id, and a block file that has neither.
TEST_F(PreflightTest, DeviceBinding) {
  struct row {
    const char *what;
    bool rom;
    std::optional<std::string> name;
    std::optional<uint32_t> id;
    const char *line;
  };
  const row rows[] = {
      {"name and id", true, "board", 7,
       "device: kind=rom name=board id=7 expected-name=board expected-id=7 result=ok\n"},
      {"the name alone",
       true,
       "board",
       {},
       "device: kind=rom name=board id=7 expected-name=board result=ok\n"},
      {"another name",
       true,
       "boar",
       {},
       "device: kind=rom name=board id=7 expected-name=boar result=refused problems=name\n"},
      {"another id",
       true,
       {},
       8,
       "device: kind=rom name=board id=7 expected-id=8 result=refused problems=id\n"},
      {"both other", true, "Board", 0,
       "device: kind=rom name=board id=7 expected-name=Board expected-id=0 result=refused "
       "problems=name,id\n"},
      {"a name with a blank",
       true,
       "my board",
       {},
       "device: kind=rom name=board id=7 expected-name=my\\x20board result=refused "
       "problems=name\n"},
      {"a block file",
       false,
       "board",
       {},
       "device: kind=block expected-name=board result=refused problems=no-rom-header\n"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    start("mtd0 nand size=1M erase=128K page=2048 oob=64\n");
    build_image(image, {{ROM_BLK_TYPE_NAND_RAW, 0, "boot", 0, pattern(500, 4)}}, r.rom);
    install_settings s;
    s.device_name = r.name;
    s.device_id = r.id;
    int got = binding(s);
    EXPECT_EQ(out, r.line);
    EXPECT_EQ(got, std::string(r.line).find("result=ok") != std::string::npos ? RES_OK : RES_FAULT);
  }
}

}  // namespace
}  // namespace korvane
