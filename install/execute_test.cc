// SPDX-License-Identifier: MIT
// The execute walk in process, against the simulated board: what lands on
// the partitions (read back from the backing files), what the device saw
// (the event log), and what was printed.
#include "install/execute.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "rom/result.h"
#include "tests/support/install_util.h"
#include "tests/support/sim_fixture.h"

namespace korvane {
namespace {

using namespace install_test;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// mtd0: 8 good blocks; mtd1: NOR with byte writes; mtd2: block 1 bad;
// mtd3: 4 blocks, the last one bad.
constexpr const char *BOARD =
    "mtd0 nand size=1M erase=128K page=2048 oob=64\n"
    "mtd1 nor size=512K erase=64K\n"
    "mtd2 nand size=1M erase=128K page=2048 oob=64 bad=1\n"
    "mtd3 nand size=512K erase=128K page=2048 oob=64 bad=3\n"
    "mtd4 nand size=512K erase=128K page=2048 oob=64 bad=1\n";

// The kernel's layout for 2048 + 64 with software ECC: one free range, and
// the ECC bytes that the device itself programs with every page.
const std::vector<std::pair<uint32_t, uint32_t>> FREE_2048 = {{2, 38}};
const std::vector<std::pair<uint32_t, uint32_t>> ECC_2048 = {{40, 24}};

// The OOB bytes of a partition that the programming put there.
std::string programmed_oob(const std::vector<uint8_t> &oob) {
  return without_ranges(std::string(oob.begin(), oob.end()), 64, ECC_2048);
}

nand_geom geom_1m(std::vector<uint32_t> bad = {}) {
  return {1u << 20, 128u << 10, 2048, 64, std::move(bad), FREE_2048};
}

std::string str(const std::vector<uint8_t> &v) { return std::string(v.begin(), v.end()); }

// A big-endian field of a file as "0x%08x" prints it.
std::string hex_at(const std::string &path, size_t at) {
  std::string b = e2e::read_file(path).substr(at, 4);
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%02x%02x%02x%02x", static_cast<uint8_t>(b[0]),
                static_cast<uint8_t>(b[1]), static_cast<uint8_t>(b[2]), static_cast<uint8_t>(b[3]));
  return hex;
}

class ExecuteTest : public testing::Test {
 protected:
  void start(const std::string &board = BOARD) {
    sim = std::make_unique<sim_fixture>(board);
    work = sim->path("work");
    std::filesystem::create_directory(work);
    saved_cwd = std::filesystem::current_path();
    std::filesystem::current_path(work);  // fake MTD files land here
    image = work + "/image.rom";
  }
  void TearDown() override {
    if (!saved_cwd.empty()) std::filesystem::current_path(saved_cwd);
    sim.reset();
  }

  // Walks the image with the given settings.
  int execute(const install_settings &settings = {}) {
    CaptureStdout();
    int r = rom_execute(image.c_str(), settings);
    out = GetCapturedStdout();
    return r;
  }

  std::vector<std::string> changes(const std::string &mtd = "") {
    return device_changes(sim->events(), mtd);
  }
  std::string fake(const std::string &name) { return e2e::read_file(work + "/" + name); }

  std::unique_ptr<sim_fixture> sim;
  std::string work, image, out;
  std::filesystem::path saved_cwd;
};

TEST_F(ExecuteTest, EveryCypherLandsOnEveryKindOfPartition) {
  const uint32_t cyphers[] = {ROM_BLK_CT_NONE,    ROM_BLK_CT_CYPHER1, ROM_BLK_CT_CYPHER2,
                              ROM_BLK_CT_CYPHER3, ROM_BLK_CT_CYPHER4, ROM_BLK_CT_AES,
                              ROM_BLK_CT_DES};
  struct target {
    const char *what;
    uint32_t type, id;
    size_t length;
  } targets[] = {
      {"nand raw", ROM_BLK_TYPE_NAND_RAW, 0, 150000},
      {"nand with oob", ROM_BLK_TYPE_NAND_OOB, 0, 2112 * 70 + 500},
      {"nor", ROM_BLK_TYPE_NOR, 1, 70000},
  };
  for (const target &t : targets) {
    for (uint32_t cypher : cyphers) {
      SCOPED_TRACE(std::string(t.what) + ", cypher " + std::to_string(cypher));
      start();
      blk_input input{t.type, t.id, "fw", cypher,
                      firmware_like(t.length, static_cast<int>(cypher))};
      auto places = build_image(image, {input});
      ASSERT_EQ(execute(), 0) << out;
      EXPECT_EQ(out, "");
      std::string meant = decoded(input, places[0]);
      if (t.type == ROM_BLK_TYPE_NOR) {
        std::string want = meant + std::string((512u << 10) - meant.size(), '\xFF');
        EXPECT_TRUE(str(sim->data(1)) == want);
      } else {
        bool oob = t.type == ROM_BLK_TYPE_NAND_OOB;
        std::string data, oobs;
        nand_expect(geom_1m(), padded(meant, oob ? 2112 : 2048, 0xFF), oob, &data, &oobs);
        EXPECT_TRUE(str(sim->data(0)) == data);
        EXPECT_TRUE(programmed_oob(sim->oob(0)) == oobs);
      }
      TearDown();
    }
  }
}

TEST_F(ExecuteTest, VerboseRomOnNor) {
  start();
  build_image(image, {{ROM_BLK_TYPE_NOR, 1, "boot", ROM_BLK_CT_NONE, pattern(100)}});
  ASSERT_EQ(execute({.verbose = true}), 0);
  auto be = [&](size_t at) { return hex_at(image, at); };
  std::string erase;
  for (int k = 0; k < 8; ++k) {
    char line[64];
    std::snprintf(line, sizeof line, "\rErasing 64 Kibyte @ %x -- %2d %% complete.", k * 0x10000,
                  k * 100 / 8);
    erase += line;
  }
  EXPECT_EQ(out,
            "rom magic       :0xad24ec0b\n"
            "rom hsize       :128\n"
            "rom hcrc        :" +
                be(8) +
                "\n"
                "rom format      :0x00000002\n"
                "rom flags       :0x00000000\n"
                "rom lenght      :240\n"
                "rom verify      :0xffffffff\n"
                "rom blocks      :1\n"
                "rom dev id      :7\n"
                "rom dev name    :board\n"
                "rom oem name    :oem\n"
                "rom version     :1.0.4.9\n"
                "blk index       :0\n"
                "blk offset      :128\n"
                "blk header      :128\n"
                "blk magic       :0xeb9f56c9\n"
                "blk hsize       :0x00000080\n"
                "blk good hcrc   :" +
                be(128 + 8) +
                "\n"
                "blk flags       :0\n"
                "blk lenght      :100\n"
                "blk total       :240\n"
                "blk none verify :0xffffffff\n"
                "blk type        :6\n"
                "blk id          :1\n"
                "blk name        :boot\n"
                "blk version     :v1\n"
                "blk cypher      :none\n"
                "blk data        :raw\n"
                "open mtd:/dev/mtd1\n"
                "info mtd:type=nor,size=524288,block=65536,page=1   ,oob=0   \n"
                "erase mtd:from 0x00000000 to 0x00080000...\n" +
                erase +
                "\n"
                "decode2flash: write align=65536:1\n"
                "decode: cypher(0)\n"
                "decode      :100     ,mtd_offset:0x00000000,buf_offset:0       \n"
                "write pad = 100   ,align = 100   \n"
                "decode: 100      ?=100      done\n"
                "blk execute:done\n"
                "rom execute:done\n");
  EXPECT_EQ(str(sim->data(1)).substr(0, 101), pattern(100) + "\xFF");
}

TEST_F(ExecuteTest, VerboseBlockFileOnNandWithABadBlock) {
  start();
  // Two blocks without a rom header; the first is programmed, the second is
  // not selected.
  build_image(image,
              {{ROM_BLK_TYPE_NAND_RAW, 4, "kernel", ROM_BLK_CT_NONE, pattern(140000)},
               {ROM_BLK_TYPE_NAND_RAW, 0, "other", ROM_BLK_CT_NONE, pattern(10)}},
              false);
  ASSERT_EQ(execute({.verbose = true, .ids = {4}}), 0);
  EXPECT_EQ(out.rfind("blk index       :0\nblk offset      :0\nblk header      :128\n", 0), 0u);
  std::string tail = out.substr(out.find("open mtd:"));
  EXPECT_EQ(tail,
            "open mtd:/dev/mtd4\n"
            "info mtd:type=nand,size=524288,block=131072,page=2048,oob=64  \n"
            "erase mtd:from 0x00000000 to 0x00080000...\n"
            "\rErasing 128 Kibyte @ 0 --  0 % complete."
            "Skipping bad block at 0x00020000\n"
            "\rErasing 128 Kibyte @ 40000 -- 50 % complete."
            "\rErasing 128 Kibyte @ 60000 -- 75 % complete."
            "\n"
            "decode2flash: write align=131072:2048\n"
            "decode: cypher(0)\n"
            "decode      :65536   ,mtd_offset:0x00000000,buf_offset:0       \n"
            "decode      :65536   ,mtd_offset:0x00000000,buf_offset:65536   \n"
            "write       :131072  ,mtd_offset:0x00000000,buf_offset:0       \n"
            "Writing data to offset 0x00000000:0x00000000,raw\n"
            "decode      :8928    ,mtd_offset:0x00020000,buf_offset:0       \n"
            "write pad = 8928  ,align = 10240 \n"
            "Writing data to offset 0x00020000:0x00020000,raw\n"
            "Bad block at 20000, from 20000 will be skipped\n"
            "Writing data to offset 0x00020000:0x00040000,raw\n"
            "decode: 140000   ?=140000   done\n"
            "blk execute:done\n"
            "blk index       :1\n"
            "blk offset      :140128\n"
            "blk header      :128\n"
            "blk magic       :0xeb9f56c9\n"
            "blk hsize       :0x00000080\n"
            "blk good hcrc   :" +
                hex_at(image, 140128 + 8) +
                "\n"
                "blk flags       :0\n"
                "blk lenght      :10\n"
                "blk total       :144\n"
                "blk none verify :0xffffffff\n"
                "blk type        :4\n"
                "blk id          :0\n"
                "blk name        :other\n"
                "blk version     :v1\n"
                "blk cypher      :none\n"
                "blk data        :raw\n"
                "skiping block,mtd0...\n"
                "rom execute:done\n");
  std::string data, oob;
  nand_expect({512u << 10, 128u << 10, 2048, 64, {1}, FREE_2048},
              padded(pattern(140000), 2048, 0xFF), false, &data, &oob);
  EXPECT_TRUE(str(sim->data(4)) == data);
  EXPECT_TRUE(changes("mtd0").empty());
}

// The switch the update sets: a NOR partition of which half reads erased
// takes the image with the erased blocks left alone and the units of 0xFF
// left unwritten, and ends byte for byte as a plain install leaves its twin.
TEST_F(ExecuteTest, SkipErasedLandsTheSameBytesWithFewerErases) {
  start("mtd5 nor size=512K erase=64K\nmtd6 nor size=512K erase=64K\n");
  // Content with a long run of 0xFF, over 3 of the 8 blocks.
  const std::string content = pattern(70000, 1) + std::string(40000, '\xFF') + pattern(90000, 2);
  for (int mtd : {5, 6}) {
    unique_fd fd{sim->open(mtd), plat_close};
    const std::string old = pattern(4 * 65536 - 10, 9);  // an older image over blocks 0-3
    ASSERT_EQ(plat().write(fd.fd, old.data(), old.size()), static_cast<ssize_t>(old.size()));
  }
  for (bool skip : {false, true}) {
    const int mtd = skip ? 6 : 5;
    build_image(
        image, {{ROM_BLK_TYPE_NOR, static_cast<uint32_t>(mtd), "fw", ROM_BLK_CT_CYPHER1, content}});
    ASSERT_EQ(execute({.skip_erased = skip}), 0) << out;
    EXPECT_EQ(out, "");
  }
  EXPECT_EQ(sim->data(6), sim->data(5));
  EXPECT_EQ(str(sim->data(6)).substr(0, content.size()), content);
  auto count = [&](const std::string &mtd, const char *op) {
    size_t n = 0;
    for (const std::string &line : changes(mtd)) n += line.rfind(op, 0) == 0;
    return n;
  };
  EXPECT_EQ(count("mtd5", "erase"), 8u);
  EXPECT_EQ(count("mtd6", "erase"), 4u);  // the blocks the older image used
  // The older image's one write, then one per chunk (4); the 0xFF run
  // splits the second chunk's in two.
  EXPECT_EQ(count("mtd5", "write"), 1u + 4u);
  EXPECT_EQ(count("mtd6", "write"), 1u + 5u);
}

TEST_F(ExecuteTest, ChunkingAndPadding) {
  struct row {
    const char *what;
    uint32_t type, id;
    size_t length;
    install_settings settings;
    uint32_t align;  // of the expected padding
    uint8_t pad;
    const char *pad_line;  // the final chunk's line under -V, or none
  } rows[] = {
      {"exact multiple of the chunk",
       ROM_BLK_TYPE_NAND_RAW,
       0,
       2 * 131072,
       {},
       2048,
       0xFF,
       nullptr},
      {"page-align",
       ROM_BLK_TYPE_NAND_RAW,
       0,
       5000,
       {.pad = 0x00},
       2048,
       0x00,
       "write pad = 5000  ,align = 6144  \n"},
      {"block-align",
       ROM_BLK_TYPE_NAND_RAW,
       0,
       5000,
       {.block_align = true, .pad = 0x00},
       131072,
       0x00,
       "write pad = 5000  ,align = 131072\n"},
      {"oob: ten whole records need no pad",
       ROM_BLK_TYPE_NAND_OOB,
       0,
       135168 + 21120,
       {.pad = 0x00},
       2112,
       0x00,
       "write pad = 21120 ,align = 21120 \n"},
      {"oob, block-align",
       ROM_BLK_TYPE_NAND_OOB,
       0,
       135168 + 21120,
       {.block_align = true, .pad = 0x00},
       135168,
       0x00,
       "write pad = 21120 ,align = 135168\n"},
      {"nor, writesize 1",
       ROM_BLK_TYPE_NOR,
       1,
       100000,
       {},
       1,
       0xFF,
       "write pad = 34464 ,align = 34464 \n"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    start();
    std::string content = pattern(r.length, 11);
    build_image(image, {{r.type, r.id, "fw", ROM_BLK_CT_NONE, content}});
    install_settings settings = r.settings;
    settings.verbose = true;
    ASSERT_EQ(execute(settings), 0) << out;
    if (r.pad_line) {
      EXPECT_NE(out.find(r.pad_line), std::string::npos);
    } else {
      EXPECT_EQ(out.find("pad = "), std::string::npos);
    }
    char done[64];
    std::snprintf(done, sizeof done, "decode: %-8d ?=%-8d done\n", static_cast<int>(r.length),
                  static_cast<int>(r.length));
    EXPECT_NE(out.find(done), std::string::npos);
    std::string bytes = padded(content, r.align, r.pad);
    if (r.type == ROM_BLK_TYPE_NOR) {
      EXPECT_TRUE(str(sim->data(1)) == bytes + std::string((512u << 10) - bytes.size(), '\xFF'));
    } else {
      std::string data, oob;
      nand_expect(geom_1m(), bytes, r.type == ROM_BLK_TYPE_NAND_OOB, &data, &oob);
      EXPECT_TRUE(str(sim->data(0)) == data);
      EXPECT_TRUE(programmed_oob(sim->oob(0)) == oob);
    }
    TearDown();
  }
}

TEST_F(ExecuteTest, DataGoesOnPastABadBlockAndTheEraseSkipsIt) {
  start();
  std::string content = pattern(300000, 5);
  build_image(image, {{ROM_BLK_TYPE_NAND_RAW, 2, "fs", ROM_BLK_CT_CYPHER4, content}});
  ASSERT_EQ(execute(), 0);
  EXPECT_EQ(out, "Bad block at 20000, from 20000 will be skipped\n");
  std::string data, oob;
  nand_expect(geom_1m({1}), padded(content, 2048, 0xFF), false, &data, &oob);
  EXPECT_TRUE(str(sim->data(2)) == data);
  std::vector<std::string> erased;
  for (const auto &line : changes("mtd2")) {
    if (line.rfind("erase", 0) == 0) erased.push_back(line);
  }
  EXPECT_EQ(erased,
            (std::vector<std::string>{"erase mtd2 0 131072", "erase mtd2 262144 131072",
                                      "erase mtd2 393216 131072", "erase mtd2 524288 131072",
                                      "erase mtd2 655360 131072", "erase mtd2 786432 131072",
                                      "erase mtd2 917504 131072"}));
}

TEST_F(ExecuteTest, FailuresOfTheDeviceFailTheBlock) {
  struct row {
    const char *what;
    const char *board_extra;  // appended to mtd0's line
    uint32_t cypher;
    size_t length;
    const char *out;
    size_t pages_written;  // on mtd0, from page 0
    bool erased;
  } rows[] = {
      {"a write in the middle", " fail=write:70:EIO", ROM_BLK_CT_NONE, 400000,
       "failed to write,Input/output error\n"
       "failed to mtd write,Input/output error\n"
       "failed to decode by cypher(0)!\n"
       "failed to decode,%m,/dev/mtd0",
       69, true},
      {"a write in the middle of a stream", " fail=write:70:EIO", ROM_BLK_CT_CYPHER1, 400000,
       "failed to write,Input/output error\n"
       "failed to mtd write,Input/output error\n"
       "%m\n"  // the codec's own report of the refused piece
       "%m\n"
       "failed to decode by cypher(1)!\n"
       "failed to decode,%m,/dev/mtd0",
       69, true},
      {"the final padded write", " fail=write:65:EIO", ROM_BLK_CT_NONE, 140000,
       "failed to write,Input/output error\n"
       "failed to mtd write,Input/output error\n"
       "failed to decode by cypher(0)!\n"
       "failed to decode,%m,/dev/mtd0",
       64, true},
      {"an erase", " fail=erase:3:EIO", ROM_BLK_CT_NONE, 5000,
       "MTD Erase failure: Input/output error\n"
       "failed to erase mtd,Input/output error,/dev/mtd0",
       0, false},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    start(std::string("mtd0 nand size=1M erase=128K page=2048 oob=64") + r.board_extra + "\n");
    std::string content = pattern(r.length, 3);
    build_image(image, {{ROM_BLK_TYPE_NAND_RAW, 0, "fw", r.cypher, content}});
    EXPECT_EQ(execute(), RES_FAULT);
    EXPECT_TRUE(matches(r.out, out)) << out;
    // Whatever was written before the failure is there; nothing after it.
    std::string data = str(sim->data(0));
    size_t n = r.pages_written * 2048;
    EXPECT_TRUE(data.substr(0, n) == content.substr(0, n));
    EXPECT_TRUE(data.substr(n) == std::string(data.size() - n, '\xFF'));
    auto ch = changes("mtd0");
    size_t writes = 0;
    for (const auto &line : ch) writes += line.rfind("write", 0) == 0;
    EXPECT_EQ(writes, r.pages_written);
    if (r.erased) {
      EXPECT_EQ(ch.size(), 8 + r.pages_written);
    }
    TearDown();
  }
}

TEST_F(ExecuteTest, TooManyBadBlocksFailTheBlock) {
  start();
  // Four chunks for four blocks, the last of them bad.
  build_image(image, {{ROM_BLK_TYPE_NAND_RAW, 3, "fw", ROM_BLK_CT_NONE, pattern(4 * 131072)}});
  EXPECT_EQ(execute(), RES_FAULT);
  EXPECT_TRUE(
      matches("Bad block at 60000, from 60000 will be skipped\n"
              "Data did not fit into device, due to bad blocks\n"
              "failed to mtd write,%m\n"
              "failed to decode by cypher(0)!\n"
              "failed to decode,%m,/dev/mtd3",
              out))
      << out;
  EXPECT_TRUE(str(sim->data(3)).substr(0, 3 * 131072) == pattern(3 * 131072));
}

TEST_F(ExecuteTest, SelectionAndBlockTypes) {
  struct row {
    const char *what;
    std::vector<blk_input> blocks;
    install_settings settings;
    int result;
    const char *out;
    std::vector<int> touched;  // partitions that saw changes
  } rows[] = {
      {"-o leaves other ids alone, -V says so",
       {{ROM_BLK_TYPE_NAND_RAW, 0, "a", 0, "aa"}, {ROM_BLK_TYPE_NOR, 1, "b", 0, "bb"}},
       {.ids = {1, 5}},
       0,
       "",
       {1}},
      {"types that are not flash are left alone",
       {{ROM_BLK_TYPE_NONE, 0, "n", 0, "x"},
        {ROM_BLK_TYPE_TOOL, 0, "t", 0, "x"},
        {ROM_BLK_TYPE_FILE, 0, "f", 0, "x"},
        {ROM_BLK_TYPE_SCRIPT, 0, "s", 0, "x"},
        {ROM_BLK_TYPE_EXE, 0, "e", 0, "x"}},
       {},
       0,
       "",
       {}},
      {"bin fails the walk before the blocks behind it",
       {{ROM_BLK_TYPE_BIN, 0, "bin", 0, "x"}, {ROM_BLK_TYPE_NOR, 1, "b", 0, "bb"}},
       {},
       RES_FAULT,
       "",
       {}},
      {"bin with -s is skipped",
       {{ROM_BLK_TYPE_BIN, 0, "bin", 0, "x"}, {ROM_BLK_TYPE_NOR, 1, "b", 0, "bb"}},
       {.skip_bad = true},
       0,
       "!!!!!!<<<skip 0 bad block>>>!!!!!!\n",
       {1}},
      {"a type beyond the known ones fails", {{9, 0, "nine", 0, "x"}}, {}, RES_FAULT, "", {}},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    start();
    build_image(image, r.blocks);
    EXPECT_EQ(execute(r.settings), r.result);
    EXPECT_EQ(out, r.out);
    std::vector<int> touched;
    for (int m = 0; m < 5; ++m) {
      if (!changes("mtd" + std::to_string(m)).empty()) touched.push_back(m);
    }
    EXPECT_EQ(touched, r.touched);
    TearDown();
  }
  start();
  build_image(image, {{ROM_BLK_TYPE_NAND_RAW, 0, "a", 0, "aa"}});
  ASSERT_EQ(execute({.verbose = true, .ids = {3, 5}}), 0);
  EXPECT_NE(out.find("blk data        :raw\nskiping block,mtd0...\nrom execute:done\n"),
            std::string::npos);
}

TEST_F(ExecuteTest, MissingPartition) {
  struct row {
    const char *what;
    install_settings settings;
    int result;
    const char *out;
  } rows[] = {
      {"fails the walk", {}, RES_FAULT, "failed to open mtd,No such file or directory,/dev/mtd9\n"},
      {"is skipped with -s",
       {.skip_bad = true},
       0,
       "failed to open mtd,No such file or directory,/dev/mtd9\n"
       "!!!!!!<<<skip 0 bad block>>>!!!!!!\n"},
      {"fails with -m alone",
       {.simulate = true},
       RES_FAULT,
       "failed to open mtd,No such file or directory,/dev/mtd9\n"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    start();
    build_image(image,
                {{ROM_BLK_TYPE_NAND_RAW, 9, "gone", 0, "x"}, {ROM_BLK_TYPE_NOR, 1, "b", 0, "bb"}});
    EXPECT_EQ(execute(r.settings), r.result);
    EXPECT_EQ(out, r.out);
    EXPECT_EQ(changes("mtd1").empty(), r.result != 0);
    TearDown();
  }

  // -s -m: the block runs against mtd0's geometry into its own fake file.
  start();
  std::string content = pattern(5000);
  build_image(image, {{ROM_BLK_TYPE_NAND_RAW, 9, "gone", 0, content}});
  ASSERT_EQ(execute({.skip_bad = true, .simulate = true}), 0);
  EXPECT_EQ(out, "");
  EXPECT_TRUE(fake("fake-mtd9-gone") == padded(content, 2048, 0xFF));
  EXPECT_TRUE(changes().empty());
}

TEST_F(ExecuteTest, SimulateWritesTheFakeFileAndLeavesTheDevice) {
  start();
  std::string raw = pattern(300000, 1), oobrec = pattern(2112 * 3 + 10, 2);
  build_image(image, {{ROM_BLK_TYPE_NAND_RAW, 2, "boot/a", ROM_BLK_CT_CYPHER1, raw},
                      {ROM_BLK_TYPE_NAND_OOB, 0, "oob", ROM_BLK_CT_NONE, oobrec}});
  ASSERT_EQ(execute({.simulate = true, .pad = 0x00}), 0);
  // The bad block of mtd2 is still skipped on the device's word, but leaves
  // no gap in the file.
  EXPECT_EQ(out, "Bad block at 20000, from 20000 will be skipped\n");
  EXPECT_TRUE(fake("fake-mtd2-boot_a") == padded(raw, 2048, 0x00));
  // Page records: data, then the OOB image (0xFF but the free range).
  std::string rec = padded(oobrec, 2112, 0x00), want;
  for (size_t at = 0; at < rec.size(); at += 2112) {
    std::string oob(64, '\xFF');
    oob.replace(2, 38, rec.substr(at + 2048 + 2, 38));
    want += rec.substr(at, 2048) + oob;
  }
  EXPECT_TRUE(fake("fake-mtd0-oob") == want);
  EXPECT_TRUE(changes().empty());
  EXPECT_TRUE(str(sim->data(0)) == std::string(1u << 20, '\xFF'));
}

TEST_F(ExecuteTest, FakeFileIsNeverALink) {
  start();
  build_image(image, {{ROM_BLK_TYPE_NOR, 1, "b", 0, "bb"}});
  std::filesystem::create_symlink(sim->path("elsewhere"), work + "/fake-mtd1-b");
  EXPECT_EQ(execute({.simulate = true}), RES_FAULT);
  EXPECT_EQ(out, "failed to open fake mtd,Too many levels of symbolic links,/dev/mtd1\n");
  EXPECT_FALSE(e2e::file_exists(sim->path("elsewhere")));
}

TEST_F(ExecuteTest, DiscardTouchesNothing) {
  struct row {
    install_settings settings;
    bool fake_file;
  } rows[] = {{{.discard = true}, false}, {{.simulate = true, .discard = true}, true}};
  for (const row &r : rows) {
    start();
    build_image(image, {{ROM_BLK_TYPE_NAND_RAW, 0, "fw", ROM_BLK_CT_CYPHER1, pattern(200000)},
                        {ROM_BLK_TYPE_NOR, 1, "b", ROM_BLK_CT_CYPHER3, pattern(1000)}});
    install_settings settings = r.settings;
    settings.verbose = true;
    ASSERT_EQ(execute(settings), 0) << out;
    EXPECT_NE(out.find("discard     :131072  ,mtd_offset:0x00000000,buf_offset:0       \n"),
              std::string::npos);
    EXPECT_NE(out.find("discard pad = 68928 ,align = 69632 \n\n"), std::string::npos);
    EXPECT_NE(out.find("decode: 200000   ?=200000   done\n"), std::string::npos);
    EXPECT_EQ(out.find("Erasing"), std::string::npos);
    EXPECT_TRUE(changes().empty());
    EXPECT_EQ(e2e::file_exists(work + "/fake-mtd0-fw"), r.fake_file);
    if (r.fake_file) {
      EXPECT_EQ(fake("fake-mtd0-fw"), "");
    }
    TearDown();
  }
}

TEST_F(ExecuteTest, SkipBadGoesOnPastAFailingThirdBlock) {
  const std::vector<blk_input> blocks = {
      {ROM_BLK_TYPE_NAND_RAW, 0, "a", 0, pattern(3000, 1)},
      {ROM_BLK_TYPE_NOR, 1, "b", 0, pattern(3000, 2)},
      {ROM_BLK_TYPE_NAND_RAW, 9, "c", 0, pattern(3000, 3)},
      {ROM_BLK_TYPE_NAND_RAW, 2, "d", 0, pattern(3000, 4)},
  };
  struct row {
    install_settings settings;
    int result;
    const char *out;
    bool last_programmed;
  } rows[] = {
      {{.skip_bad = true},
       0,
       "failed to open mtd,No such file or directory,/dev/mtd9\n"
       "!!!!!!<<<skip 2 bad block>>>!!!!!!\n",
       true},
      {{}, RES_FAULT, "failed to open mtd,No such file or directory,/dev/mtd9\n", false},
  };
  for (const row &r : rows) {
    start();
    build_image(image, blocks);
    EXPECT_EQ(execute(r.settings), r.result);
    EXPECT_EQ(out, r.out);
    EXPECT_EQ(str(sim->data(0)).substr(0, 3000), pattern(3000, 1));
    EXPECT_EQ(str(sim->data(1)).substr(0, 3000), pattern(3000, 2));
    EXPECT_EQ(str(sim->data(2)).substr(0, 3000) == pattern(3000, 4), r.last_programmed);
    TearDown();
  }
}

TEST_F(ExecuteTest, DamagedHeaders) {
  const std::vector<blk_input> blocks = {
      {ROM_BLK_TYPE_NAND_RAW, 0, "a", 0, pattern(3000, 1)},
      {ROM_BLK_TYPE_NOR, 1, "b", 0, pattern(3000, 2), ROM_VERIFY_CRC},
      {ROM_BLK_TYPE_NAND_RAW, 2, "c", 0, pattern(3000, 3)},
  };
  struct row {
    const char *what;
    std::function<void(const std::string &, const std::vector<blk_place> &)> damage;
    install_settings settings;
    int result;
    const char *out;    // "%m" matches any text; nullptr: not compared
    const char *label;  // a line that -V must show, or nullptr
    std::vector<bool> programmed;
  } rows[] = {
      {"bad hcrc on a later block: still programmed",
       [](const std::string &img, const std::vector<blk_place> &p) {
         edit_header(
             img, p[1].offset, [](blk_hdr &h) { set_text_field(h.version, "v2"); }, false);
       },
       {},
       0,
       "",
       nullptr,
       {true, true, true}},
      {"bad payload: reported, still programmed",
       [](const std::string &img, const std::vector<blk_place> &p) {
         std::string all = e2e::read_file(img);
         all[p[1].offset + p[1].hsize + 10] ^= 1;
         e2e::write_file(img, all);
       },
       {.flags = ROM_VERIFY_CRC},
       0,
       "invalid verify,0x%m\n",
       nullptr,
       {true, true, true}},
      {"bad rom hcrc: nothing touched",
       [](const std::string &img, const std::vector<blk_place> &) {
         std::string all = e2e::read_file(img);
         all[60] ^= 1;
         e2e::write_file(img, all);
       },
       {},
       RES_FAULT,
       nullptr,
       nullptr,
       {false, false, false}},
      {"hsize 145 ends the walk with success",
       [](const std::string &img, const std::vector<blk_place> &p) {
         edit_header(img, p[1].offset, [](blk_hdr &h) { h.hsize.set(145); });
       },
       {},
       0,
       "suck ,invalid blk header size,145\n",
       nullptr,
       {true, false, false}},
      {"total 0 ends the walk with failure",
       [](const std::string &img, const std::vector<blk_place> &p) {
         edit_header(img, p[1].offset, [](blk_hdr &h) { h.total.set(0); });
       },
       {},
       RES_FAULT,
       "invalid blk total,0 at offset 3264,smaller than a header\n",
       nullptr,
       {true, true, false}},
      {"total past 32 bits ends the walk with failure",
       [](const std::string &img, const std::vector<blk_place> &p) {
         edit_header(img, p[1].offset, [](blk_hdr &h) { h.total.set(0xFFFFFFF0u); });
       },
       {},
       RES_FAULT,
       "invalid blk total,4294967280 at offset 3264,beyond 4GiB\n",
       nullptr,
       {true, true, false}},
      {"a payload cut off by the end of the file",
       [](const std::string &img, const std::vector<blk_place> &p) {
         std::string all = e2e::read_file(img);
         e2e::write_file(img, all.substr(0, p[2].offset + p[2].hsize + 1000));
       },
       {},
       RES_FAULT,
       "failed to read,payload is short,1000<3000\n"
       "failed to decode by cypher(0)!\n"
       "failed to decode,%m,/dev/mtd2",
       nullptr,
       {true, true, false}},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    start();
    auto places = build_image(image, blocks);
    r.damage(image, places);
    EXPECT_EQ(execute(r.settings), r.result);
    if (r.out) {
      EXPECT_TRUE(matches(r.out, out)) << out;
    }
    // Programmed means: the payload as the image now holds it is on flash.
    std::string now = e2e::read_file(image);
    for (int m = 0; m < 3; ++m) {
      std::string payload =
          now.size() > places[m].offset ? now.substr(places[m].offset + 128, 3000) : "";
      EXPECT_EQ(str(sim->data(m)).substr(0, 3000) == payload, r.programmed[m]) << "mtd" << m;
    }
    if (!r.programmed[0] && !r.programmed[1]) {
      EXPECT_EQ(sim->events(), "");
    }
    TearDown();
  }
}

TEST_F(ExecuteTest, VerboseLabelsOfTheChecks) {
  struct row {
    const char *what;
    install_settings settings;
    bool damage_crc, damage_payload;
    const char *hcrc_label, *verify_label;
  } rows[] = {
      {"no verify kind on the command line",
       {},
       false,
       true,
       "blk good hcrc   :",
       "blk none verify :"},
      {"good payload",
       {.flags = ROM_VERIFY_CRC},
       false,
       false,
       "blk good hcrc   :",
       "blk good verify :"},
      {"bad payload",
       {.flags = ROM_VERIFY_CHECKSUM},
       false,
       true,
       "blk good hcrc   :",
       "blk bad  verify :"},
      {"bad header crc", {}, true, false, "blk bad  hcrc   :", "blk none verify :"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    start();
    auto p = build_image(image, {{ROM_BLK_TYPE_NOR, 1, "b", 0, pattern(3000), ROM_VERIFY_CRC}});
    if (r.damage_crc)
      edit_header(
          image, p[0].offset, [](blk_hdr &h) { h.data.set(2); }, false);
    if (r.damage_payload) {
      std::string all = e2e::read_file(image);
      all[p[0].offset + p[0].hsize] ^= 0x40;
      e2e::write_file(image, all);
    }
    install_settings settings = r.settings;
    settings.verbose = true;
    EXPECT_EQ(execute(settings), 0);
    EXPECT_NE(out.find(r.hcrc_label), std::string::npos) << out;
    EXPECT_NE(out.find(r.verify_label), std::string::npos) << out;
    EXPECT_NE(out.find("blk execute:done\n"), std::string::npos);
    TearDown();
  }
}

TEST_F(ExecuteTest, HeaderOf132BytesCoversTheFileBytesBehindIt) {
  start();
  auto p = build_image(image, {{ROM_BLK_TYPE_NOR, 1, "b", 0, pattern(3000)},
                               {ROM_BLK_TYPE_NAND_RAW, 0, "c", 0, pattern(100)}});
  // The CRC is taken over the 4 payload bytes behind the header too, and the
  // payload starts after them.
  edit_header(image, p[0].offset, [](blk_hdr &h) { h.hsize.set(132); });
  ASSERT_EQ(execute({.verbose = true}), 0);
  EXPECT_NE(out.find("blk header      :132\nblk magic       :0xeb9f56c9\nblk hsize       "
                     ":0x00000084\nblk good hcrc"),
            std::string::npos)
      << out;
  EXPECT_EQ(str(sim->data(1)).substr(0, 3000),
            e2e::read_file(image).substr(p[0].offset + 132, 3000));
}

}  // namespace
}  // namespace korvane
