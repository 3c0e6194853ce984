// SPDX-License-Identifier: MIT
#include "sign/sig_board.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "rom/output.h"
#include "rom/result.h"
#include "sign/sig_keys.h"
#include "sign/signature.h"

namespace korvane {
namespace {

int refuse(const char *problem, const std::string &words, const std::string &reason) {
  report("signature: result=refused problem=%s%s reason=%s\n", problem, words.c_str(),
         reason.c_str());
  return RES_FAULT;
}

bool same_times(const struct timespec &a, const struct timespec &b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

std::string chunk_words(const sig_chunk_fault &f) {
  return " chunk=" + std::to_string(f.chunk) + " offset=" + std::to_string(f.offset);
}

// A chunk read again after the check no longer matches, or cannot be read.
void on_fault(void *, const sig_chunk_fault &f) {
  if (f.mismatch) {
    refuse("chunk-changed", chunk_words(f),
           "the bytes read again differ from those checked (the image changed while it was "
           "used); none of them was used");
  } else if (f.error == EIO) {
    refuse("cut-short", chunk_words(f), "the image ends inside a chunk it had when checked");
  } else {
    refuse("read-failed", chunk_words(f),
           std::string("the image could not be read: ") + std::strerror(f.error));
  }
}

// The walk back on the image's file, as before the check.
void unbind(rom_walk *w, sig_guard *g) {
  if (g->bound < 0) return;
  rom_source_bind(g->bound, nullptr);
  g->bound = -1;
  w->fd = std::move(g->raw);
  w->size = static_cast<uint64_t>(g->st.st_size);
}

}  // namespace

sig_guard::~sig_guard() {
  if (bound >= 0) rom_source_bind(bound, nullptr);
}

int sig_board_check(rom_walk *w, const std::vector<std::string> &keyfiles, sig_guard *guard,
                    std::string *key_id) {
  std::vector<sig_public_key> keys(keyfiles.size());
  for (size_t k = 0; k < keyfiles.size(); ++k) {
    std::string error;
    if (!sig_read_public(keyfiles[k].c_str(), &keys[k], &error))
      return refuse("key-file", " keyfile=" + report_word(keyfiles[k]),
                    "cannot use the key: " + error);
  }
  struct stat &st = guard->st;
  if (fstat(w->fd.fd, &st) != 0)
    return refuse("read-failed", "", std::string("the image's status: ") + std::strerror(errno));
  guard->taken = true;
  if (st.st_mode & (S_IWGRP | S_IWOTH)) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return refuse("writable", std::string(" mode=") + mode,
                  "group or others may change the image while it is used; chmod go-w it");
  }
  if (st.st_uid != 0 && st.st_uid != geteuid())
    return refuse("owner", " uid=" + std::to_string(st.st_uid),
                  "the image belongs to a user other than root or the one running korvane, "
                  "who may change it while it is used; chown it");
  // The walk reads up to the size it saw when it opened the file; a file
  // that has grown since is refused by the walk or at the end.
  sig_verdict v;
  auto chunks = std::make_unique<sig_chunks>();
  int r = sig_check(w, keys.data(), keys.size(), &v, chunks.get());
  const sig_found &f = v.found;
  std::string words;
  if (f.index >= 0) {
    words += " block=" + std::to_string(f.index) + " offset=" + std::to_string(f.offset);
    if (v.problem == sig_problem::none || v.problem == sig_problem::unknown_key ||
        v.problem == sig_problem::bad_signature)
      words += " key=" + sig_key_id_text(f.payload.key_id);
  }
  if (r < 0) {
    if (v.problem == sig_problem::after_signature) words += " after=" + std::to_string(f.after);
    if (v.chunk.failed) words += chunk_words(v.chunk);
    return refuse(sig_problem_word(v.problem), words, sig_reason(v, keys.size()));
  }
  if (key_id) *key_id = sig_key_id_text(f.payload.key_id);

  // From here the image is read from the chunks only.
  int placeholder = memfd_create("korvane-image", MFD_CLOEXEC);
  if (placeholder < 0)
    return refuse(
        "read-failed", words,
        std::string("no descriptor to read the checked image through: ") + std::strerror(errno));
  guard->raw = std::move(w->fd);
  w->fd = unique_fd{placeholder, rom_close};
  guard->chunks = std::move(chunks);
  guard->chunks->raw = sig_raw_fd(&guard->raw.fd);
  guard->source = sig_chunks_source(guard->chunks.get());
  guard->bound = w->fd.fd;
  rom_source_bind(w->fd.fd, &guard->source);
  w->size = guard->chunks->size();

  // What the walk took from the file before the check must be what was
  // checked: its rom header, and the signature block as the last block.
  rom_hdr rom;
  sig_found again;
  bool same = read_at(w->fd.fd, &rom, sizeof rom, 0) && std::memcmp(&rom, &w->rom, sizeof rom) == 0;
  if (same) {
    sig_find(w, &again);
    same = again.problem == sig_problem::none && again.offset == f.offset;
  }
  if (!same) {
    const sig_chunk_fault fault = guard->chunks->fault;
    unbind(w, guard);
    if (!fault.failed) return refuse("changed", words, "the image changed while it was checked");
    on_fault(nullptr, fault);
    return RES_FAULT;
  }
  guard->chunks->on_fault = on_fault;
  report("signature: result=ok%s covered=%llu keyfile=%s\n", words.c_str(),
         static_cast<unsigned long long>(v.covered), report_word(keyfiles[v.key]).c_str());
  return 0;
}

bool sig_board_chunk_failed(const sig_guard &guard) {
  return guard.chunks && guard.chunks->fault.failed;
}

int sig_board_unchanged(const rom_walk &w, const sig_guard &guard) {
  struct stat now;
  if (!guard.taken) return 0;
  if (sig_board_chunk_failed(guard)) return RES_FAULT;  // said when it failed
  const int fd = guard.raw.fd >= 0 ? guard.raw.fd : w.fd.fd;
  if (fstat(fd, &now) != 0)
    return refuse("read-failed", "", std::string("the image's status: ") + std::strerror(errno));
  const struct stat &then = guard.st;
  if (now.st_dev == then.st_dev && now.st_ino == then.st_ino && now.st_size == then.st_size &&
      same_times(now.st_mtim, then.st_mtim) && same_times(now.st_ctim, then.st_ctim))
    return 0;
  return refuse("changed",
                " size=" + std::to_string(then.st_size) + " now=" + std::to_string(now.st_size),
                "the image changed (size, modification or status change time) while it was used");
}

}  // namespace korvane
