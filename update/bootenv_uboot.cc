// SPDX-License-Identifier: MIT
// The environment library's backend. A store sets every variable in the
// library's copy and writes the environment once; with two copies the
// library writes the one not in use and advances its flag.
// clang-format off
#include <cstddef>  // the library's header needs size_t
#include <libuboot.h>
// clang-format on

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "update/bootenv.h"

namespace korvane {
namespace {

struct ctx_closer {
  void operator()(uboot_ctx *ctx) const { libuboot_exit(ctx); }
};
using ctx_ptr = std::unique_ptr<uboot_ctx, ctx_closer>;

// The library opened on place's environment. An environment without a
// valid copy opens as empty (-ENODATA), as the boot loader then starts
// from its built-in one. @return null with *error set when it cannot.
ctx_ptr open_env(const std::string &place, bool *opened, std::string *error) {
  uboot_ctx *raw = nullptr;
  if (libuboot_initialize(&raw, nullptr) < 0 || !raw) {
    *error = "the environment library cannot start";
    return nullptr;
  }
  ctx_ptr ctx(raw);
  if (libuboot_read_config(ctx.get(), place.c_str()) < 0) {
    *error = place + ": not a usable environment configuration (fw_env.config)";
    return nullptr;
  }
  int r = libuboot_open(ctx.get());
  if (r < 0 && r != -ENODATA) {
    *error = "the environment cannot be read (" + std::string(std::strerror(-r)) + ") as " + place +
             " describes it";
    return nullptr;
  }
  *opened = true;
  return ctx;
}

int load(const std::string &place, bootenv_vars *vars, std::string *error) {
  bool opened = false;
  ctx_ptr ctx = open_env(place, &opened, error);
  if (!ctx) return -1;
  vars->clear();
  for (void *e = libuboot_iterator(ctx.get(), nullptr); e; e = libuboot_iterator(ctx.get(), e)) {
    const char *name = libuboot_getname(e), *value = libuboot_getvalue(e);
    if (name && value) (*vars)[name] = value;
  }
  libuboot_close(ctx.get());
  return 0;
}

int store(const std::string &place, const bootenv_vars &changes, std::string *error) {
  bool opened = false;
  ctx_ptr ctx = open_env(place, &opened, error);
  if (!ctx) return -1;
  for (const auto &[name, value] : changes) {
    if (value.empty()) {  // removing a variable that is not there is no change
      char *old = libuboot_get_env(ctx.get(), name.c_str());
      std::free(old);
      if (!old) continue;
    }
    if (libuboot_set_env(ctx.get(), name.c_str(), value.empty() ? nullptr : value.c_str()) < 0) {
      *error = "the environment library refuses the variable " + name;
      libuboot_close(ctx.get());
      return -1;
    }
  }
  int r = libuboot_env_store(ctx.get());
  libuboot_close(ctx.get());
  if (r < 0) {
    *error = "the environment cannot be written (" + std::string(std::strerror(-r)) + ")";
    return -1;
  }
  return 0;
}

}  // namespace

const bootenv_ops uboot_bootenv = {"u-boot", load, store};

const bootenv_ops &bootenv_current() {
  const bootenv_ops *installed = bootenv_installed();
  return installed ? *installed : uboot_bootenv;
}

}  // namespace korvane
