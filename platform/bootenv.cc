// SPDX-License-Identifier: MIT
#include "platform/bootenv.h"

namespace korvane {
namespace {

const bootenv_ops *installed = nullptr;

}  // namespace

const bootenv_ops *bootenv_installed() { return installed; }

const bootenv_ops *bootenv_install(const bootenv_ops *ops) {
  const bootenv_ops *prev = installed;
  installed = ops;
  return prev;
}

}  // namespace korvane
