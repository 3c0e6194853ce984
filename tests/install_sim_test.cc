// SPDX-License-Identifier: MIT
// korvane -e end to end through korvane-sim: images built with the image
// writer are installed on a simulated board; standard output and the exit
// status are compared, and the programmed bytes are read back from the
// board's backing files and compared with what each block means.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
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

const std::vector<std::pair<uint32_t, uint32_t>> FREE_2048 = {{2, 38}};  // the kernel's layout
const std::vector<std::pair<uint32_t, uint32_t>> ECC_2048 = {{40, 24}};  // programmed by the device

// A scratch folder with a board file, the state folder and the image.
struct board_run {
  scratch_dir dir;
  std::string image = dir / "image.rom";

  explicit board_run(const std::string &board) { e2e::write_file(dir / "board", board); }

  e2e::run_result execute(const std::vector<std::string> &words = {}) {
    std::vector<std::string> args = {
        bin("korvane-sim"), "--board", "board", "--state", "state", "--", "-e", "image.rom"};
    args.insert(args.end(), words.begin(), words.end());
    return e2e::run(args, dir.path());
  }
  std::string data(int mtd) const {
    return read_or_empty("state/mtd" + std::to_string(mtd) + ".data");
  }
  std::string oob(int mtd) const {
    return without_ranges(read_or_empty("state/mtd" + std::to_string(mtd) + ".oob"), 64, ECC_2048);
  }
  std::string events() const { return read_or_empty("state/events.log"); }
  std::string read_or_empty(const std::string &name) const {
    return e2e::file_exists(dir / name) ? e2e::read_file(dir / name) : "";
  }
};

std::string nand_line(int n, const std::string &extra = "") {
  return "mtd" + std::to_string(n) + " nand size=1M erase=128K page=2048 oob=64" + extra + "\n";
}
std::string nor_line(int n) { return "mtd" + std::to_string(n) + " nor size=512K erase=64K\n"; }

nand_geom geom_1m(std::vector<uint32_t> bad = {}) {
  return {1u << 20, 128u << 10, 2048, 64, std::move(bad), FREE_2048};
}

// What a partition must hold after programming `bytes` (already padded).
void expect_nand(const board_run &b, int mtd, const nand_geom &g, const std::string &bytes,
                 bool oob) {
  std::string data, oobs;
  nand_expect(g, bytes, oob, &data, &oobs);
  EXPECT_TRUE(b.data(mtd) == data) << "mtd" << mtd << " data";
  EXPECT_TRUE(b.oob(mtd) == oobs) << "mtd" << mtd << " oob";
}
void expect_nor(const board_run &b, int mtd, const std::string &bytes) {
  EXPECT_TRUE(b.data(mtd) == bytes + std::string((512u << 10) - bytes.size(), '\xFF'))
      << "mtd" << mtd;
}

// Until the driver has the execute action built in, it says so and does
// nothing: there is nothing to test then.
class InstallSim : public testing::Test {
 protected:
  void SetUp() override {
    static const bool built_in = [] {
      scratch_dir dir;
      e2e::run_result r =
          e2e::run({bin("korvane-sim"), "--state", "state", "--", "-e", "none.rom"}, dir.path());
      return r.out.find("not available in this build") == std::string::npos;
    }();
    if (!built_in) GTEST_SKIP() << "korvane-sim has no execute action in this build";
  }
};

TEST_F(InstallSim, EveryCypherOntoNandRawNandOobAndNor) {
  const uint32_t cyphers[] = {ROM_BLK_CT_NONE,    ROM_BLK_CT_CYPHER1, ROM_BLK_CT_CYPHER2,
                              ROM_BLK_CT_CYPHER3, ROM_BLK_CT_CYPHER4, ROM_BLK_CT_AES,
                              ROM_BLK_CT_DES};
  // mtd0-6 take raw blocks, mtd7-13 blocks with OOB, mtd14-20 NOR blocks,
  // one cypher each.
  std::string board;
  std::vector<blk_input> blocks;
  for (int kind = 0; kind < 3; ++kind) {
    for (int c = 0; c < 7; ++c) {
      int mtd = kind * 7 + c;
      board += kind == 2 ? nor_line(mtd) : nand_line(mtd);
      uint32_t type = kind == 0   ? ROM_BLK_TYPE_NAND_RAW
                      : kind == 1 ? ROM_BLK_TYPE_NAND_OOB
                                  : ROM_BLK_TYPE_NOR;
      size_t length = kind == 0 ? 150000 : kind == 1 ? 2112 * 70 + 500 : 70000;
      blocks.push_back({type, static_cast<uint32_t>(mtd), "fw" + std::to_string(mtd), cyphers[c],
                        firmware_like(length, mtd)});
    }
  }
  board_run b(board);
  auto places = build_image(b.image, blocks);
  e2e::run_result r = b.execute();
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "");
  for (size_t i = 0; i < blocks.size(); ++i) {
    SCOPED_TRACE("block " + std::to_string(i) + ", cypher " + std::to_string(blocks[i].cypher));
    std::string meant = decoded(blocks[i], places[i]);
    int mtd = static_cast<int>(blocks[i].id);
    if (blocks[i].type == ROM_BLK_TYPE_NOR) {
      expect_nor(b, mtd, meant);
    } else {
      bool oob = blocks[i].type == ROM_BLK_TYPE_NAND_OOB;
      expect_nand(b, mtd, geom_1m(), padded(meant, oob ? 2112 : 2048, 0xFF), oob);
    }
  }
}

TEST_F(InstallSim, ChunkingAndPadding) {
  // mtd0: an exact multiple of the chunk; mtd1: 5000 bytes; mtd2: an OOB
  // block of one chunk and ten records; mtd3: NOR with byte writes.
  const std::string board = nand_line(0) + nand_line(1) + nand_line(2) + nor_line(3);
  const std::vector<blk_input> blocks = {
      {ROM_BLK_TYPE_NAND_RAW, 0, "exact", 0, pattern(2 * 131072, 1)},
      {ROM_BLK_TYPE_NAND_RAW, 1, "short", 0, pattern(5000, 2)},
      {ROM_BLK_TYPE_NAND_OOB, 2, "records", 0, pattern(135168 + 21120, 3)},
      {ROM_BLK_TYPE_NOR, 3, "nor", 0, pattern(100000, 4)},
  };
  struct row {
    const char *align;
    uint32_t raw, oob, nor;  // alignment of the last chunk
    std::vector<std::string> pad_lines;
  } rows[] = {
      {"pad=0x00",
       2048,
       2112,
       1,
       {"write pad = 5000  ,align = 6144  \n", "write pad = 21120 ,align = 21120 \n",
        "write pad = 34464 ,align = 34464 \n"}},
      {"block-align,pad=0x00",
       131072,
       135168,
       65536,
       {"write pad = 5000  ,align = 131072\n", "write pad = 21120 ,align = 135168\n",
        "write pad = 34464 ,align = 65536 \n"}},
  };
  for (const row &w : rows) {
    SCOPED_TRACE(w.align);
    board_run b(board);
    build_image(b.image, blocks);
    e2e::run_result r = b.execute({"-a", w.align, "-V"});
    ASSERT_EQ(r.status, 0) << r.out;
    // Exactly one pad line per block that does not end on a chunk.
    std::string lines;
    for (size_t at = r.out.find("write pad"); at != std::string::npos;
         at = r.out.find("write pad", at + 1))
      lines += r.out.substr(at, r.out.find('\n', at) + 1 - at);
    EXPECT_EQ(lines, w.pad_lines[0] + w.pad_lines[1] + w.pad_lines[2]);
    expect_nand(b, 0, geom_1m(), blocks[0].content, false);
    expect_nand(b, 1, geom_1m(), padded(blocks[1].content, w.raw, 0), false);
    expect_nand(b, 2, geom_1m(), padded(blocks[2].content, w.oob, 0), true);
    expect_nor(b, 3, padded(blocks[3].content, w.nor, 0));
  }
}

TEST_F(InstallSim, VerboseRunOfTheDriver) {
  board_run b(nor_line(1));
  build_image(b.image, {{ROM_BLK_TYPE_NOR, 1, "boot", ROM_BLK_CT_CYPHER3, pattern(100)}}, false);
  e2e::run_result r = b.execute({"-V"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(
      matches("execute rom:image.rom\n"
              "blk index       :0\n"
              "blk offset      :0\n"
              "blk header      :128\n"
              "blk magic       :0xeb9f56c9\n"
              "blk hsize       :0x00000080\n"
              "blk good hcrc   :0x%m\n"
              "blk flags       :0\n"
              "blk lenght      :100\n"
              "blk total       :240\n"
              "blk none verify :0xffffffff\n"
              "blk type        :6\n"
              "blk id          :1\n"
              "blk name        :boot\n"
              "blk version     :v1\n"
              "blk cypher      :cypher3\n"
              "blk data        :raw\n"
              "open mtd:/dev/mtd1\n"
              "info mtd:type=nor,size=524288,block=65536,page=1   ,oob=0   \n"
              "erase mtd:from 0x00000000 to 0x00080000...\n"
              "\rErasing 64 Kibyte @ 0 --  0 % complete."
              "\rErasing 64 Kibyte @ 10000 -- 12 % complete."
              "\rErasing 64 Kibyte @ 20000 -- 25 % complete."
              "\rErasing 64 Kibyte @ 30000 -- 37 % complete."
              "\rErasing 64 Kibyte @ 40000 -- 50 % complete."
              "\rErasing 64 Kibyte @ 50000 -- 62 % complete."
              "\rErasing 64 Kibyte @ 60000 -- 75 % complete."
              "\rErasing 64 Kibyte @ 70000 -- 87 % complete.\n"
              "decode2flash: write align=65536:1\n"
              "decode: cypher(3)\n"
              "decode      :100     ,mtd_offset:0x00000000,buf_offset:0       \n"
              "write pad = 100   ,align = 100   \n"
              "decode: 100      ?=100      done\n"
              "blk execute:done\n"
              "rom execute:done\n",
              r.out))
      << r.out;
  expect_nor(b, 1, pattern(100));
}

TEST_F(InstallSim, BadBlocksAndFailingDevices) {
  struct row {
    const char *what;
    std::string board;
    blk_input block;
    int status;
    const char *out;
    std::vector<uint32_t> bad;  // for the expected image
    size_t programmed;          // bytes of the content expected on flash, from the start
  } rows[] = {
      {"a bad block inside the partition",
       nand_line(0, " bad=1"),
       {ROM_BLK_TYPE_NAND_RAW, 0, "fw", ROM_BLK_CT_CYPHER1, pattern(300000, 1)},
       0,
       "Bad block at 20000, from 20000 will be skipped\n",
       {1},
       300000},
      {"more data than good blocks",
       "mtd0 nand size=512K erase=128K page=2048 oob=64 bad=3\n",
       {ROM_BLK_TYPE_NAND_RAW, 0, "fw", 0, pattern(4 * 131072, 2)},
       1,
       "Bad block at 60000, from 60000 will be skipped\n"
       "Data did not fit into device, due to bad blocks\n"
       "failed to mtd write,%m\n"
       "failed to decode by cypher(0)!\n"
       "failed to decode,%m,/dev/mtd0",
       {3},
       3 * 131072},
      {"a failing write in the middle",
       nand_line(0, " fail=write:70:EIO"),
       {ROM_BLK_TYPE_NAND_RAW, 0, "fw", ROM_BLK_CT_CYPHER4, pattern(400000, 3)},
       1,
       "failed to write,Input/output error\n"
       "failed to mtd write,Input/output error\n"
       "failed to decode by cypher(4)!\n"
       "failed to decode,%m,/dev/mtd0",
       {},
       69 * 2048},
      {"a failing erase",
       nand_line(0, " fail=erase:2:EIO"),
       {ROM_BLK_TYPE_NAND_RAW, 0, "fw", 0, pattern(5000, 4)},
       1,
       "MTD Erase failure: Input/output error\n"
       "failed to erase mtd,%m,/dev/mtd0",
       {},
       0},
  };
  for (const row &w : rows) {
    SCOPED_TRACE(w.what);
    board_run b(w.board);
    build_image(b.image, {w.block});
    e2e::run_result r = b.execute();
    EXPECT_EQ(r.status, w.status);
    EXPECT_TRUE(matches(w.out, r.out)) << r.out;
    std::string data = b.data(0);
    nand_geom g{static_cast<uint32_t>(data.size()), 128u << 10, 2048, 64, w.bad, FREE_2048};
    std::string want, oob;
    std::string bytes = w.programmed == w.block.content.size()
                            ? padded(w.block.content, 2048, 0xFF)
                            : w.block.content.substr(0, w.programmed);
    nand_expect(g, bytes, false, &want, &oob);
    EXPECT_TRUE(data == want);
  }
}

TEST_F(InstallSim, SelectionTypesAndMissingPartitions) {
  const std::string board = nand_line(0) + nor_line(1) + nand_line(2);
  const std::vector<blk_input> blocks = {
      {ROM_BLK_TYPE_NAND_RAW, 0, "a", 0, pattern(3000, 1)},
      {ROM_BLK_TYPE_SCRIPT, 1, "script", 0, "echo"},
      {ROM_BLK_TYPE_NOR, 1, "b", 0, pattern(3000, 2)},
      {ROM_BLK_TYPE_NAND_RAW, 9, "gone", 0, pattern(3000, 3)},
      {ROM_BLK_TYPE_NAND_RAW, 2, "c", 0, pattern(3000, 4)},
  };
  struct row {
    const char *what;
    std::vector<std::string> words;
    int status;
    const char *out;
    std::vector<bool> programmed;  // mtd0, mtd1, mtd2
    const char *fake;              // a fake MTD file that must exist, or nullptr
  } rows[] = {
      {"a missing partition fails the run",
       {},
       1,
       "failed to open mtd,No such file or directory,/dev/mtd9\n",
       {true, true, false},
       nullptr},
      {"-s passes over it",
       {"-s"},
       0,
       "failed to open mtd,No such file or directory,/dev/mtd9\n"
       "!!!!!!<<<skip 3 bad block>>>!!!!!!\n",
       {true, true, true},
       nullptr},
      {"-s -m runs it against mtd0 into its own fake file",
       {"-s", "-m"},
       0,
       "",
       {false, false, false},
       "fake-mtd9-gone"},
      {"-o selects by id", {"-o", "2,1", "-s"}, 0, "", {false, true, true}, nullptr},
  };
  for (const row &w : rows) {
    SCOPED_TRACE(w.what);
    board_run b(board);
    build_image(b.image, blocks);
    e2e::run_result r = b.execute(w.words);
    EXPECT_EQ(r.status, w.status);
    EXPECT_EQ(r.out, w.out);
    for (int m = 0; m < 3; ++m) {
      EXPECT_EQ(b.data(m).substr(0, 3000) == blocks[m == 0   ? 0
                                                    : m == 1 ? 2
                                                             : 4]
                                                 .content,
                w.programmed[m])
          << "mtd" << m;
    }
    if (w.fake) {
      EXPECT_TRUE(b.read_or_empty(w.fake) == padded(pattern(3000, 3), 2048, 0xFF));
      EXPECT_TRUE(device_changes(b.events()).empty());
    }
  }
}

TEST_F(InstallSim, SimulateAndDiscardLeaveTheDevice) {
  const std::string board = nand_line(0, " bad=1") + nor_line(1);
  const std::vector<blk_input> blocks = {
      {ROM_BLK_TYPE_NAND_RAW, 0, "sys/root", ROM_BLK_CT_CYPHER1, firmware_like(400000, 1)},
      {ROM_BLK_TYPE_NOR, 1, "boot", ROM_BLK_CT_CYPHER2, firmware_like(70000, 2)},
  };
  struct row {
    std::vector<std::string> words;
    bool fake_files, fake_content;
    const char *out;
  } rows[] = {
      {{"-m"}, true, true, "Bad block at 20000, from 20000 will be skipped\n"},
      {{"-z"}, false, false, ""},
      {{"-z", "-m"}, true, false, ""},
  };
  for (const row &w : rows) {
    SCOPED_TRACE(w.words.back());
    board_run b(board);
    auto places = build_image(b.image, blocks);
    e2e::run_result r = b.execute(w.words);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, w.out);
    EXPECT_TRUE(device_changes(b.events()).empty()) << b.events();
    EXPECT_EQ(e2e::file_exists(b.dir / "fake-mtd0-sys_root"), w.fake_files);
    EXPECT_EQ(e2e::file_exists(b.dir / "fake-mtd1-boot"), w.fake_files);
    if (w.fake_files) {
      EXPECT_TRUE(b.read_or_empty("fake-mtd0-sys_root") ==
                  (w.fake_content ? padded(blocks[0].content, 2048, 0xFF) : ""));
      EXPECT_TRUE(b.read_or_empty("fake-mtd1-boot") == (w.fake_content ? places[1].stored : ""));
    }
  }
}

TEST_F(InstallSim, SkipBadWithAFailingThirdBlock) {
  const std::string board = nand_line(0) + nor_line(1) + nand_line(2) + nand_line(3);
  const std::vector<blk_input> blocks = {
      {ROM_BLK_TYPE_NAND_RAW, 0, "a", 0, pattern(3000, 1)},
      {ROM_BLK_TYPE_NOR, 1, "b", 0, pattern(3000, 2)},
      {ROM_BLK_TYPE_BIN, 2, "c", 0, pattern(3000, 3)},
      {ROM_BLK_TYPE_NAND_RAW, 3, "d", 0, pattern(3000, 4)},
  };
  struct row {
    std::vector<std::string> words;
    int status;
    const char *out;
  } rows[] = {
      {{"-s"}, 0, "!!!!!!<<<skip 2 bad block>>>!!!!!!\n"},
      {{}, 1, ""},
  };
  for (const row &w : rows) {
    board_run b(board);
    build_image(b.image, blocks);
    e2e::run_result r = b.execute(w.words);
    EXPECT_EQ(r.status, w.status);
    EXPECT_EQ(r.out, w.out);
    EXPECT_EQ(b.data(0).substr(0, 3000), blocks[0].content);
    EXPECT_EQ(b.data(1).substr(0, 3000), blocks[1].content);
    EXPECT_EQ(device_changes(b.events(), "mtd2").size(), 0u);
    EXPECT_EQ(b.data(3).substr(0, 3000) == blocks[3].content, w.status == 0);
  }
}

TEST_F(InstallSim, DamagedHeaders) {
  const std::string board = nand_line(0) + nor_line(1) + nand_line(2);
  const std::vector<blk_input> blocks = {
      {ROM_BLK_TYPE_NAND_RAW, 0, "a", 0, pattern(3000, 1)},
      {ROM_BLK_TYPE_NOR, 1, "b", 0, pattern(3000, 2)},
      {ROM_BLK_TYPE_NAND_RAW, 2, "c", 0, pattern(3000, 3)},
  };
  struct row {
    const char *what;
    std::function<void(const std::string &, const std::vector<blk_place> &)> damage;
    int status;
    const char *out;
    std::vector<bool> programmed;
  } rows[] = {
      {"a bad hcrc on a later block is still programmed",
       [](const std::string &img, const std::vector<blk_place> &p) {
         edit_header(
             img, p[1].offset, [](blk_hdr &h) { set_text_field(h.version, "v9"); }, false);
       },
       0,
       "",
       {true, true, true}},
      {"a bad rom hcrc stops before anything is touched",
       [](const std::string &img, const std::vector<blk_place> &) {
         std::string all = e2e::read_file(img);
         all[40] ^= 1;
         e2e::write_file(img, all);
       },
       1,
       "invalid rom hdr crc,0x%m\nfailed to check file,image.rom\n",
       {false, false, false}},
      {"hsize 145 ends the walk with success",
       [](const std::string &img, const std::vector<blk_place> &p) {
         edit_header(img, p[1].offset, [](blk_hdr &h) { h.hsize.set(145); });
       },
       0,
       "suck ,invalid blk header size,145\n",
       {true, false, false}},
  };
  for (const row &w : rows) {
    SCOPED_TRACE(w.what);
    board_run b(board);
    auto places = build_image(b.image, blocks);
    w.damage(b.image, places);
    e2e::run_result r = b.execute();
    EXPECT_EQ(r.status, w.status);
    EXPECT_TRUE(matches(w.out, r.out)) << r.out;
    for (int m = 0; m < 3; ++m) {
      EXPECT_EQ(b.data(m).substr(0, 3000) == blocks[m].content, w.programmed[m]) << "mtd" << m;
    }
    if (!w.programmed[0]) {
      EXPECT_EQ(b.events(), "run 1: korvane -e image.rom\n");  // the run's mark alone
    }
  }
}

}  // namespace
}  // namespace korvane
