// SPDX-License-Identifier: MIT
// The crash-safe append, killed before each of its steps in turn: the image
// is always the one before or the one after, byte for byte.
#include "rom/append.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "rom/checksum.h"
#include "rom/layout.h"
#include "rom/staged.h"
#include "tests/support/e2e.h"

namespace korvane {
namespace {

using e2e::read_file;
using e2e::scratch_dir;
using e2e::write_file;

int steps_taken = 0;
int kill_at = -1;

void on_step(const char *) {
  if (steps_taken++ == kill_at) raise(SIGKILL);
}

// A block of type bin with a payload of length bytes that tell their place apart.
std::string block(uint32_t length, uint32_t id) {
  std::string b(128 + blk_padded(length), '\0');
  blk_hdr h{};
  h.magic.set(BLK_MAGIC);
  h.hsize.set(128);
  h.length.set(length);
  h.total.set(static_cast<uint32_t>(b.size()));
  h.type.set(ROM_BLK_TYPE_BIN);
  h.id.set(id);
  h.verify.set(0xFFFFFFFF);
  std::memcpy(b.data(), &h, sizeof h);
  uint32_t crc = crc32(0, b.data(), 128);
  h.hcrc.set(crc);
  std::memcpy(b.data(), &h, sizeof h);
  for (size_t i = 128; i < 128 + length; ++i) b[i] = static_cast<char>(i * 7 + id);
  return b;
}

std::string image_with(const std::string &blocks, uint32_t count) {
  rom_hdr h{};
  h.magic.set(ROM_MAGIC);
  h.hsize.set(128);
  h.format.set(2);
  h.length.set(static_cast<uint32_t>(blocks.size()));
  h.verify.set(0xFFFFFFFF);
  h.blocks.set(count);
  h.hcrc.set(crc32(0, &h, 128));
  return std::string(reinterpret_cast<const char *>(&h), 128) + blocks;
}

TEST(RomAppendBuilt, KilledBeforeEveryStep) {
  scratch_dir dir;
  std::string img = dir / "img";
  std::string first = block(3 << 20, 1), second = block((5 << 20) + 3, 2);
  const std::string before = image_with(first, 1), after = image_with(first + second, 2);

  auto run = [&](int at) {
    write_file(img, before);
    pid_t pid = fork();
    if (pid == 0) {
      kill_at = at;
      steps_taken = 0;
      staged_set_step_hook(on_step);
      std::string error, note;
      int r =
          rom_append_built(img.c_str(), reinterpret_cast<const uint8_t *>(second.data()),
                           static_cast<uint32_t>(second.size()), append_options{}, &error, &note);
      _exit(r == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
  };

  // Uninterrupted, and how many steps that takes.
  int status = run(-1);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  ASSERT_TRUE(read_file(img) == after);
  steps_taken = 0;
  kill_at = -1;
  staged_set_step_hook(on_step);
  write_file(img, before);
  std::string error, note;
  ASSERT_EQ(rom_append_built(img.c_str(), reinterpret_cast<const uint8_t *>(second.data()),
                             static_cast<uint32_t>(second.size()), append_options{}, &error, &note),
            0)
      << error;
  staged_set_step_hook(nullptr);
  const int steps = steps_taken;
  ASSERT_GT(steps, 5);

  int old_seen = 0, new_seen = 0;
  for (int at = 0; at < steps; ++at) {
    SCOPED_TRACE(at);
    status = run(at);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    std::string s = read_file(img);
    bool is_old = s == before, is_new = s == after;
    EXPECT_TRUE(is_old || is_new) << s.size() << " bytes";
    old_seen += is_old;
    new_seen += is_new;
    // Nothing is left beside the image but, after a kill between naming the
    // new version and the rename, that version under its temporary name.
    for (const auto &e : std::filesystem::directory_iterator(dir.path())) {
      std::string name = e.path().filename().string();
      if (name == "img") continue;
      EXPECT_EQ(name.rfind("img.", 0), 0u) << name;
      std::filesystem::remove(e.path());
    }
  }
  // Every kill before the rename leaves the old image; after it, the new one.
  EXPECT_GT(old_seen, 0);
  EXPECT_EQ(new_seen, 1);  // killed before the folder's fsync
  RecordProperty("steps", steps);
}

}  // namespace
}  // namespace korvane
