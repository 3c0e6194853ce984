// SPDX-License-Identifier: MIT
#include "sign/sig_board.h"

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

}  // namespace

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
  // The walk reads up to the size it saw when it opened the file; a file
  // that has grown since is refused at the end.
  sig_verdict v;
  const int r = sig_check(w, keys.data(), keys.size(), &v);
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
    return refuse(sig_problem_word(v.problem), words, sig_reason(v, keys.size()));
  }
  if (key_id) *key_id = sig_key_id_text(f.payload.key_id);
  report("signature: result=ok%s covered=%llu keyfile=%s\n", words.c_str(),
         static_cast<unsigned long long>(v.covered), report_word(keyfiles[v.key]).c_str());
  return 0;
}

int sig_board_unchanged(const rom_walk &w, const sig_guard &guard) {
  struct stat now;
  if (!guard.taken) return 0;
  if (fstat(w.fd.fd, &now) != 0)
    return refuse("read-failed", "", std::string("the image's status: ") + std::strerror(errno));
  if (now.st_size == guard.st.st_size && same_times(now.st_mtim, guard.st.st_mtim)) return 0;
  return refuse("changed",
                " size=" + std::to_string(guard.st.st_size) + " now=" + std::to_string(now.st_size),
                "the image changed (size or modification time) while it was used");
}

}  // namespace korvane
