// SPDX-License-Identifier: MIT
#include "sim/sim_board.h"

#include <gtest/gtest.h>
// clang-format off
#include <sys/ioctl.h>
#include <mtd/mtd-abi.h>
// clang-format on

#include <cerrno>

#include "tests/support/e2e.h"

namespace korvane {
namespace {

sim_board parse_ok(const std::string &text) {
  sim_board b;
  std::string error;
  EXPECT_EQ(sim_board_parse(text, "b.txt", &b, &error), 0) << error;
  return b;
}

TEST(SimBoard, PartitionLinesGiveGeometryAndSettings) {
  sim_board b = parse_ok(
      "# a comment line\n"
      "\n"
      "mtd3 nand size=16M erase=128K page=2048 oob=64 bad=5,9   # trailing comment\n"
      "mtd1 nor size=4M erase=64K read-only\n"
      "mtd7 ram size=0x10000 erase=4k missing\n"
      "mtd12 nand size=1M erase=16K page=512 oob=16 fail=write:3:EIO fail=erase:2+:5 "
      "refuse=badblock,oobsel useecc=0 oobfree=8:8,0:2 ecc=none\n");
  ASSERT_EQ(b.mtds.size(), 4u);

  const sim_mtd &n = *b.find(3);
  EXPECT_EQ(n.type, MTD_NANDFLASH);
  EXPECT_EQ(n.size, 16u << 20);
  EXPECT_EQ(n.erasesize, 128u << 10);
  EXPECT_EQ(n.writesize, 2048u);
  EXPECT_EQ(n.oobsize, 64u);
  EXPECT_EQ(n.bad, (std::vector<uint32_t>{5, 9}));
  EXPECT_TRUE(n.is_bad(9));
  EXPECT_FALSE(n.is_bad(6));
  EXPECT_FALSE(n.missing);
  EXPECT_FALSE(n.read_only);

  const sim_mtd &nor = *b.find(1);
  EXPECT_EQ(nor.type, MTD_NORFLASH);
  EXPECT_EQ(nor.writesize, 1u);  // byte writes unless page= says otherwise
  EXPECT_EQ(nor.oobsize, 0u);
  EXPECT_TRUE(nor.read_only);

  const sim_mtd &ram = *b.find(7);
  EXPECT_EQ(ram.type, MTD_RAM);
  EXPECT_EQ(ram.size, 0x10000u);
  EXPECT_EQ(ram.erasesize, 4096u);
  EXPECT_TRUE(ram.missing);

  const sim_mtd &f = *b.find(12);
  ASSERT_EQ(f.faults.size(), 2u);
  EXPECT_EQ(f.faults[0].op, SIM_WRITE);
  EXPECT_EQ(f.faults[0].nth, 3u);
  EXPECT_FALSE(f.faults[0].onward);
  EXPECT_EQ(f.faults[0].err, EIO);
  EXPECT_EQ(f.faults[1].op, SIM_ERASE);
  EXPECT_TRUE(f.faults[1].onward);
  EXPECT_EQ(f.faults[1].err, 5);
  EXPECT_EQ(f.refused, (1u << SIM_BADBLOCK) | (1u << SIM_OOBSEL));
  EXPECT_EQ(f.useecc, 0);
  EXPECT_FALSE(f.soft_ecc);
  EXPECT_TRUE(n.soft_ecc) << "the kernel's software ECC unless ecc=none";
  EXPECT_EQ(f.oobfree, (std::vector<std::pair<uint32_t, uint32_t>>{{8, 8}, {0, 2}}));
  EXPECT_EQ(b.find(4), nullptr);

  sim_board w = parse_ok("mtd0 nor size=64K erase=64K weak=0x20:7,5:0 weak=6:3\n");
  EXPECT_EQ(w.find(0)->weak,
            (std::vector<std::pair<uint32_t, uint8_t>>{{0x20, 7}, {5, 0}, {6, 3}}));
}

TEST(SimBoard, TimingsAreTheClassDefaultsUnlessNamed) {
  sim_board b = parse_ok(
      "mtd0 nand size=1M erase=128K page=2048 oob=64\n"
      "mtd1 nand size=1M erase=128K page=2048 oob=64 erase-time=3ms program-time=0.3ms\n"
      "mtd2 nor size=1M erase=64K read-time=20ns time-unit=2\n"
      "mtd3 ram size=1M erase=64K\n");
  const sim_timing nand = sim_timing_default(MTD_NANDFLASH), nor = sim_timing_default(MTD_NORFLASH);
  EXPECT_EQ(b.find(0)->timing.erase_ns, nand.erase_ns);
  EXPECT_EQ(b.find(0)->timing.program_ns, nand.program_ns);
  EXPECT_EQ(b.find(0)->timing.read_ns, nand.read_ns);
  EXPECT_EQ(b.find(1)->timing.erase_ns, 3000000u);
  EXPECT_EQ(b.find(1)->timing.program_ns, 300000u);
  EXPECT_EQ(b.find(1)->timing.read_ns, nand.read_ns);
  EXPECT_EQ(b.find(2)->timing.erase_ns, nor.erase_ns);
  EXPECT_EQ(b.find(2)->timing.program_ns, nor.program_ns);
  EXPECT_EQ(b.find(2)->timing.read_ns, 20u);
  EXPECT_EQ(b.find(2)->timing.unit, 2u);
  EXPECT_EQ(b.find(3)->timing.erase_ns, 0u);
  EXPECT_EQ(b.find(3)->timing.program_ns, 0u);
}

TEST(SimBoard, ProcLinesListControlFiles) {
  sim_board b =
      parse_ok("proc /proc/keypad/watchdog /proc/dsplink/rstsw\nproc /proc/dsplink/rsthw\n");
  EXPECT_EQ(b.proc_files, (std::vector<std::string>{"/proc/keypad/watchdog", "/proc/dsplink/rstsw",
                                                    "/proc/dsplink/rsthw"}));
  EXPECT_TRUE(b.mtds.empty());
}

TEST(SimBoard, MistakesNameTheLine) {
  struct row {
    const char *text;
    const char *message;  // the part of the error after "b.txt line N: "
  };
  const row rows[] = {
      {"mtd1 nor size=4M erase=64K\nmtd1 nor size=4M erase=64K\n",
       "line 2: mtd1 is described twice"},
      {"mtd1 flash size=4M erase=64K\n", "line 1: unknown type 'flash'"},
      {"mtd1\n", "line 1: type missing"},
      {"mtdx nor size=4M erase=64K\n", "line 1: partition name 'mtdx' is not mtdN"},
      {"mtd01 nor size=4M erase=64K\n", "line 1: partition name 'mtd01' is not mtdN"},
      {"#\n\nmtd1 nor sise=4M erase=64K\n", "line 3: unknown setting 'sise'"},
      {"mtd1 nor size=4Q erase=64K\n", "line 1: size '4Q' is not a size"},
      {"mtd1 nor size=8G erase=64K\n", "line 1: size '8G' is not a size"},
      {"mtd1 nor erase=64K\n", "line 1: size= missing"},
      {"mtd1 nor size=4M\n", "line 1: erase= missing"},
      {"mtd1 nor size=100K erase=64K\n", "line 1: size is not a whole number of erase blocks"},
      {"mtd1 nand size=4M erase=128K oob=64\n", "line 1: page= missing"},
      {"mtd1 nand size=4M erase=128K page=2048\n", "line 1: oob= missing"},
      {"mtd1 nand size=4M erase=128K page=3000 oob=64\n",
       "erase block is not a whole number of pages"},
      {"mtd1 nand size=4M erase=128K page=2048 oob=64 bad=32\n",
       "line 1: bad block 32 is past the end"},
      {"mtd1 nand size=4M erase=128K page=2048 oob=64 bad=x\n",
       "bad block 'x' is not a block number"},
      {"mtd1 nor size=4M erase=64K bad=1\n", "line 1: bad= is for NAND only"},
      {"mtd1 nor size=4M erase=64K oob=16\n", "line 1: oob= is for NAND only"},
      {"mtd1 nor size=4M erase=64K fail=write:0:EIO\n", "fault count '0' is not N or N+"},
      {"mtd1 nor size=4M erase=64K fail=write:1:EWHAT\n", "unknown errno 'EWHAT'"},
      {"mtd1 nor size=4M erase=64K fail=scribble:1:EIO\n", "unknown operation 'scribble'"},
      {"mtd1 nor size=4M erase=64K fail=write:1\n", "fault 'write:1' is not OPERATION:N:ERRNO"},
      {"mtd1 nor size=4M erase=64K refuse=nap\n", "unknown operation 'nap'"},
      {"mtd1 nand size=4M erase=128K page=2048 oob=64 oobfree=60:8\n",
       "a free range runs past the OOB area"},
      {"mtd1 nand size=4M erase=128K page=2048 oob=64 oobfree=2\n",
       "free range '2' is not OFFSET:LENGTH"},
      {"mtd1 nor size=4M erase=64K fast\n", "line 1: unknown word 'fast'"},
      {"mtd1 nand size=4M erase=128K page=2048 oob=64 ecc=hard\n",
       "ecc 'hard' is not soft or none"},
      {"partition mtd1\n", "line 1: unknown line 'partition'"},
      {"proc\n", "line 1: no control file named"},
      {"proc /sys/watchdog\n", "control file '/sys/watchdog' is not under /proc/"},
      {"proc /proc/12/stat\n", "control file '/proc/12/stat' is inside a process folder"},
      {"proc /proc/keypad/../x\n", "is not a plain path"},
      {"proc /proc/a /proc/a\n", "control file '/proc/a' is listed twice"},
      {"mtd1 nand size=4M erase=128K page=2048 oob=64 weak=0x10:8\n",
       "weak cell '0x10:8' is not OFFSET:BIT (bit 0 to 7)"},
      {"mtd1 nand size=4M erase=128K page=2048 oob=64 weak=16\n",
       "weak cell '16' is not OFFSET:BIT"},
      {"mtd1 nor size=64K erase=64K weak=65536:0\n", "weak cell at 65536 is past the end"},
      {"mtd1 nor size=64K erase=64K name=\"boot\n", "line 1: a quote is not closed"},
      {"mtd1 nor size=64K erase=64K name=\"a\\qb\"\n", "a backslash in quotes is not"},
      {"mtd1 nor size=64K erase=64K name=\"a\\x00\"\n", "name holds a NUL or a line end"},
      // Lines of /proc/mtd: the type is asked for, the columns are checked.
      {"mtd0: 00800000 00020000 \"kernel\"\n",
       "line 1: a /proc/mtd line gives the size, the erase size and the name only: add the type "
       "after the name (nand page=N oob=N, nor or ram)"},
      {"mtd0: 00800000 00020000 \"kernel\" nand\n", "line 1: page= missing or 0 on NAND"},
      {"mtd0: 0080000g 00020000 \"kernel\" nor\n", "is mtdN: SIZE ERASESIZE \"NAME\""},
      {"mtd0: 00800000\n", "is mtdN: SIZE ERASESIZE \"NAME\""},
      {"mtd0: 00800000 00020000 \"k\" nor size=4M\n",
       "size= is given by the /proc/mtd columns already"},
      {"mtdx: 00800000 00020000 \"k\" nor\n", "partition name 'mtdx' is not mtdN"},
      {"env\n", "line 1: size= missing"},
      {"env size=8\n", "environment size '8' is not a size of 16 bytes to 1M"},
      {"env size=4K twice\n", "unknown word 'twice' (size=N, redundant)"},
      {"env size=4K\nenv size=4K\n", "line 2: the environment is described twice"},
      {"slot C mtd1\n", "a slot line is 'slot A|B mtdN...'"},
      {"slot A\n", "a slot line is 'slot A|B mtdN...'"},
      {"slot A mtd1\n", "'mtd1' is not a partition described above"},
      {"mtd1 nor size=64K erase=64K\nslot A mtd1\nslot B mtd1\n", "line 3: mtd1 is in both slots"},
      {"mtd1 nor size=64K erase=64K\nslot A mtd1\nslot A mtd1\n",
       "line 3: slot A is described twice"},
      {"mtd1 nor size=64K erase=64K erase-time=2\n",
       "erase-time '2' is not a time (a number and ns, us, ms or s)"},
      {"mtd1 nor size=64K erase=64K read-time=1.5min\n", "read-time '1.5min' is not a time"},
      {"mtd1 nor size=64K erase=64K time-unit=0\n", "time-unit '0' is not a size of 1 or more"},
      {"mtd1 nand size=4M erase=128K page=2048 oob=64 time-unit=32\n",
       "time-unit= is for NOR and RAM"},
  };
  for (const row &r : rows) {
    sim_board b;
    b.proc_files.push_back("kept");
    std::string error;
    EXPECT_EQ(sim_board_parse(r.text, "b.txt", &b, &error), -1) << r.text;
    EXPECT_NE(error.find(r.message), std::string::npos) << error;
    EXPECT_EQ(error.rfind("b.txt line ", 0), 0u) << error;
    EXPECT_EQ(b.proc_files, std::vector<std::string>{"kept"})
        << "a failed parse leaves the board alone";
  }
}

// /proc/mtd pasted as it is, with the type and page layout after each name,
// and names in quotes with blanks, escapes and a '#' that is no comment.
TEST(SimBoard, ProcMtdLinesAndQuotedNames) {
  sim_board b;
  std::string error;
  ASSERT_EQ(sim_board_parse("dev:    size   erasesize  name\n"
                            "mtd0: 00800000 00020000 \"NAND simulator partition 0\" nand "
                            "page=2048 oob=64 bad=3\n"
                            "mtd1: 00400000 00010000 \"u-boot #1\" nor  # the boot loader\n"
                            "mtd2 ram size=64K erase=4K name=\"say \\\"hi\\\"\\x09\\\\\"\n",
                            "pasted", &b, &error),
            0)
      << error;
  ASSERT_EQ(b.mtds.size(), 3u);
  const sim_mtd &nand = b.mtds[0], &nor = b.mtds[1], &ram = b.mtds[2];
  EXPECT_EQ(nand.name, "NAND simulator partition 0");
  EXPECT_TRUE(nand.is_nand());
  EXPECT_EQ(nand.size, 8u << 20);
  EXPECT_EQ(nand.erasesize, 128u << 10);
  EXPECT_EQ(nand.writesize, 2048u);
  EXPECT_EQ(nand.bad, std::vector<uint32_t>{3});
  EXPECT_EQ(nor.name, "u-boot #1");
  EXPECT_EQ(nor.size, 4u << 20);
  EXPECT_EQ(nor.erasesize, 64u << 10);
  EXPECT_EQ(nor.writesize, 1u);
  EXPECT_EQ(ram.name, "say \"hi\"\t\\");
}

TEST(SimBoard, SlotsAndTheEnvironment) {
  sim_board b = parse_ok(
      "mtd0 nand size=1M erase=128K page=2048 oob=64 name=kernel_a\n"
      "mtd1 nand size=1M erase=128K page=2048 oob=64 name=kernel_b\n"
      "mtd2 nor size=64K erase=64K\nmtd3 nor size=64K erase=64K\n"
      "env size=16K redundant\nslot A mtd0 mtd2\nslot B mtd1 mtd3\n");
  EXPECT_EQ(b.find(0)->name, "kernel_a");
  EXPECT_EQ(b.find(2)->name, "");
  EXPECT_EQ(b.env.size, 16384u);
  EXPECT_TRUE(b.env.redundant);
  ASSERT_EQ(b.slots.size(), 2u);
  EXPECT_EQ(b.slots[1].name, 'B');
  EXPECT_EQ(b.slots[1].mtds, (std::vector<int>{1, 3}));

  // Slots come in pairs, with an environment for the boot loader.
  for (const char *text : {"mtd1 nor size=64K erase=64K\nslot A mtd1\nenv size=4K\n",
                           "mtd1 nor size=64K erase=64K\nslot A mtd1\nmtd2 nor size=64K "
                           "erase=64K\nslot B mtd2\n"}) {
    sim_board board;
    std::string error;
    EXPECT_EQ(sim_board_parse(text, "b.txt", &board, &error), -1) << text;
    EXPECT_EQ(error, "b.txt line 2: a board with slots has slot A, slot B and an env line") << text;
  }
}

TEST(SimBoard, ErrorQuotesTheLine) {
  sim_board b;
  std::string error;
  ASSERT_EQ(sim_board_parse("mtd2 nor size=1M erase=64K frob=1\n", "board", &b, &error), -1);
  EXPECT_EQ(error, "board line 1: unknown setting 'frob' in \"mtd2 nor size=1M erase=64K frob=1\"");
}

TEST(SimBoard, DefaultBoard) {
  sim_board b = parse_ok(sim_default_board_text);
  ASSERT_EQ(b.mtds.size(), 4u);
  const sim_mtd &m0 = *b.find(0);
  EXPECT_TRUE(m0.is_nand());
  EXPECT_EQ(m0.size, 8u << 20);
  EXPECT_EQ(m0.erasesize, 128u << 10);
  EXPECT_EQ(m0.writesize, 2048u);
  EXPECT_EQ(m0.oobsize, 64u);
  EXPECT_EQ(m0.bad, std::vector<uint32_t>{2});
  const sim_mtd &m1 = *b.find(1);
  EXPECT_EQ(m1.type, MTD_NORFLASH);
  EXPECT_EQ(m1.size, 4u << 20);
  EXPECT_EQ(m1.erasesize, 64u << 10);
  EXPECT_EQ(b.find(2)->bad, std::vector<uint32_t>{1});
  EXPECT_EQ(b.find(3)->writesize, 512u);
  EXPECT_EQ(b.find(3)->oobsize, 16u);
  EXPECT_EQ(b.proc_files,
            (std::vector<std::string>{"/proc/keypad/watchdog", "/proc/keypad/lcd_bklight",
                                      "/proc/dsplink/bklight", "/proc/dsplink/reset"}));
}

TEST(SimBoard, LoadReadsAFileAndNamesIt) {
  e2e::scratch_dir dir;
  e2e::write_file(dir / "board", "mtd5 nor size=64K erase=64K\nmtd6 nor size=64K\n");
  sim_board b;
  std::string error;
  EXPECT_EQ(sim_board_load(dir / "board", &b, &error), -1);
  EXPECT_EQ(error.rfind(dir / "board line 2: erase= missing", 0), 0u) << error;
  EXPECT_EQ(sim_board_load(dir / "absent", &b, &error), -1);
  EXPECT_EQ(error, dir / "absent" + ": cannot be read: No such file or directory");
}

TEST(SimBoard, ErrnoWordsAndNumbers) {
  EXPECT_EQ(sim_errno_parse("EIO"), EIO);
  EXPECT_EQ(sim_errno_parse("EOPNOTSUPP"), EOPNOTSUPP);
  EXPECT_EQ(sim_errno_parse("28"), 28);
  EXPECT_EQ(sim_errno_parse("0"), -1);
  EXPECT_EQ(sim_errno_parse("eio"), -1);
  for (int op = 0; op < SIM_OP_COUNT; op++) EXPECT_EQ(sim_op_parse(sim_op_name(sim_op(op))), op);
}

}  // namespace
}  // namespace korvane
