// SPDX-License-Identifier: MIT
#include "update/slots.h"

#include <fcntl.h>

#include <cstring>

#include "platform/platform.h"
#include "rom/io.h"

namespace korvane {
namespace {

std::string get(const bootenv_vars &vars, const std::string &name) {
  auto it = vars.find(name);
  return it == vars.end() ? std::string() : it->second;
}

unsigned number(const std::string &text) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
    return 0;
  return static_cast<unsigned>(std::stoul(text));
}

}  // namespace

ab_view ab_view_of(const bootenv_vars &vars) {
  ab_view v;
  v.next = get(vars, "korvane_next");
  v.good = get(vars, "korvane_good");
  for (char s : {'A', 'B'}) {
    v.slots[slot_index(s)].state = get(vars, slot_var(s));
    v.slots[slot_index(s)].record = get(vars, slot_var(s) + "_rec");
  }
  v.upgrade_available = get(vars, "upgrade_available") == "1";
  v.bootcount = number(get(vars, "bootcount"));
  v.bootlimit = number(get(vars, "bootlimit"));
  return v;
}

char running_slot() {
  unique_fd in{plat().open("/proc/cmdline", O_RDONLY | O_CLOEXEC, 0), plat_close};
  if (in.fd < 0) return 0;
  std::string text;
  char buf[1024];
  ssize_t n;
  while (text.size() < 65536 && (n = plat().read(in.fd, buf, sizeof buf)) > 0)
    text.append(buf, static_cast<size_t>(n));
  return slot_of_cmdline(text);
}

char slot_of_cmdline(const std::string &text) {
  // The last word wins, as the kernel hands the command line on.
  char slot = 0;
  for (size_t at = 0; (at = text.find("korvane.slot=", at)) != std::string::npos; ++at) {
    if (at > 0 && text[at - 1] != ' ' && text[at - 1] != '\t') continue;
    const size_t v = at + std::strlen("korvane.slot=");
    const char c = v < text.size() ? text[v] : 0;
    const char after = v + 1 < text.size() ? text[v + 1] : ' ';
    slot = (c == 'A' || c == 'B') && (after == ' ' || after == '\n' || after == '\t') ? c : 0;
  }
  return slot;
}

bootenv_vars ab_mark_empty(const ab_view &v, char target) {
  bootenv_vars c = {{slot_var(target), "empty"}, {slot_var(target) + "_rec", ""}};
  if (v.next == std::string(1, target)) {
    c["korvane_next"] = v.good;
    c["upgrade_available"] = "0";
    c["bootcount"] = "0";
  }
  return c;
}

bootenv_vars ab_switch(char target, const std::string &record, unsigned attempts) {
  return {{slot_var(target), "pending"},
          {slot_var(target) + "_rec", record},
          {"korvane_next", std::string(1, target)},
          {"upgrade_available", "1"},
          {"bootcount", "0"},
          {"bootlimit", std::to_string(attempts)}};
}

bootenv_vars ab_confirm(const ab_view &v, char running, std::string *refusal) {
  const std::string r(1, running);
  const std::string &state = v.slots[slot_index(running)].state;
  if (state == "pending") {
    return {{slot_var(running), "good"},
            {"korvane_good", r},
            {"korvane_next", r},
            {"upgrade_available", "0"},
            {"bootcount", "0"}};
  }
  if (state == "good") {
    // Nothing waits on this slot. An update staged for the other slot
    // stays staged.
    if (v.good != r) return {{"korvane_good", r}};
    return {};
  }
  *refusal = "slot " + r + " is " + (state.empty() ? "unset" : state) +
             " in the environment; only a pending or good slot is confirmed";
  return {};
}

bootenv_vars ab_reject(const ab_view &v, char running, std::string *refusal) {
  const char other = other_slot(running);
  const std::string &state = v.slots[slot_index(other)].state;
  if (state != "good") {
    *refusal = std::string("slot ") + other + " is " + (state.empty() ? "unset" : state) +
               "; rejecting slot " + running + " would leave no slot to boot";
    return {};
  }
  // The other slot is the last good one from now on, so that the fallback
  // never chooses the rejected slot and the next update may write it.
  return {{slot_var(running), "failed"},
          {"korvane_next", std::string(1, other)},
          {"korvane_good", std::string(1, other)},
          {"upgrade_available", "0"},
          {"bootcount", "0"}};
}

}  // namespace korvane
