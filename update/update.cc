// SPDX-License-Identifier: MIT
#include "update/update.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <vector>

#include <zlib.h>
#include "codec/cypher_table.h"
#include "install/blk_program.h"
#include "install/execute.h"
#include "install/preflight.h"
#include "mtd/mtd.h"
#include "mtd/mtd_read.h"
#include "rom/output.h"
#include "rom/result.h"
#include "rom/walk.h"
#include "sign/sig_board.h"
#include "update/bootenv.h"
#include "update/config.h"
#include "update/slots.h"

namespace korvane {
namespace {

using json = nlohmann::json;

constexpr int EXIT_DONE = 0, EXIT_REFUSED = 1, EXIT_CONFIG = 2;

// What an action has found out, for its lines and its JSON object.
struct session {
  const update_request &req;
  system_config config;
  bootenv_vars env;
  ab_view view;
  char running = 0;
  json summary = json::object();

  explicit session(const update_request &r) : req(r) {}
};

void print_json(const json &o) { report("%s\n", o.dump().c_str()); }

// The configuration, the environment and the running slot: what every
// action needs. @return -1 when the action ends here (*status set).
int open_session(session &s, const char *prefix, int *status) {
  config_error error;
  if (config_load(s.req.config, &s.config, &error) != 0) {
    config_report(error);
    *status = EXIT_CONFIG;
    return -1;
  }
  std::string why;
  const bootenv_ops &env = bootenv_current();
  if (env.load(s.config.env_config, &s.env, &why) != 0) {
    const bool update = std::strcmp(prefix, "update:") == 0;
    report("%s refused%s reason=the boot loader's environment: %s\n", prefix,
           update ? " step=environment" : "", why.c_str());
    if (update && s.req.json) {
      s.summary["result"] = "refused";
      s.summary["step"] = "environment";
      s.summary["reason"] = "the boot loader's environment: " + why;
      print_json(s.summary);
    }
    *status = EXIT_REFUSED;
    return -1;
  }
  s.view = ab_view_of(s.env);
  s.running = running_slot();
  return 0;
}

// One store of changes. @return 0, or -1 with *why set.
int store(session &s, const bootenv_vars &changes, std::string *why) {
  if (bootenv_current().store(s.config.env_config, changes, why) != 0) {
    *why = "the boot loader's environment: " + *why;
    return -1;
  }
  for (const auto &[k, v] : changes) {
    if (v.empty()) {
      s.env.erase(k);
    } else {
      s.env[k] = v;
    }
  }
  s.view = ab_view_of(s.env);
  return 0;
}

std::string shown(const std::string &v) { return v.empty() ? "-" : v; }

// The words of a record, as a JSON object (null for an empty record).
json record_json(const std::string &record) {
  if (record.empty()) return nullptr;
  json o = json::object();
  size_t at = 0;
  while (at < record.size()) {
    size_t end = record.find(' ', at);
    std::string w = record.substr(at, end == std::string::npos ? std::string::npos : end - at);
    at = end == std::string::npos ? record.size() : end + 1;
    auto eq = w.find('=');
    if (eq != std::string::npos) o[w.substr(0, eq)] = w.substr(eq + 1);
  }
  return o;
}

json status_json(const session &s) {
  const ab_view &v = s.view;
  json o = {{"schema", UPDATE_SCHEMA},
            {"running", s.running ? json(std::string(1, s.running)) : json(nullptr)},
            {"next", v.next.empty() ? json(nullptr) : json(v.next)},
            {"good", v.good.empty() ? json(nullptr) : json(v.good)},
            {"upgrade_available", v.upgrade_available},
            {"bootcount", v.bootcount},
            {"bootlimit", v.bootlimit}};
  json slots = json::object();
  for (char c : {'A', 'B'}) {
    const slot_view &sv = v.slots[slot_index(c)];
    json so = {{"state", sv.state.empty() ? json(nullptr) : json(sv.state)},
               {"record", record_json(sv.record)}};
    // Boots left before the fallback, for the slot the boot loader counts.
    if (sv.state == "pending" && v.next == std::string(1, c) && v.upgrade_available) {
      so["attempts_left"] = v.bootcount >= v.bootlimit ? 0u : v.bootlimit - v.bootcount;
    } else {
      so["attempts_left"] = nullptr;
    }
    slots[std::string(1, c)] = so;
  }
  o["slots"] = slots;
  return o;
}

// ------------------------------------------------------------ the update

struct block_plan {
  const system_config *config = nullptr;
  int fd = -1;                            // the image
  uint64_t bytes = 0;                     // content bytes of the blocks to program
  std::map<int, int> *targets = nullptr;  // block id -> partition of the target slot
  std::vector<int> program;               // ids of the blocks to program, in file order
  int left = 0;                           // blocks left alone
  std::string refusal;
};

int plan_block(void *ctx, const rom_walk_blk &b) {
  auto &p = *static_cast<block_plan *>(ctx);
  const blk_hdr &h = b.buf.hdr;
  if (blk_type_action(h.type.get()) != blk_action::program) return 0;
  const int id = static_cast<int>(h.id.get());
  if (p.targets->count(id)) {
    p.program.push_back(id);
    uint64_t size = 0;
    const cypher_type *t = cypher_find(h.cypher.get());
    if (t && cypher_content_size(*t, p.fd, b.payload, b.length, &size)) p.bytes += size;
  } else if (p.config->left_alone.count(id)) {
    ++p.left;
  } else if (p.refusal.empty()) {
    p.refusal = "block " + std::to_string(b.index) + " (id " + std::to_string(id) + ", " +
                report_word(text_field(h.name)) +
                ") is mapped by no slot; map its id in both slots or list it in leave-alone";
  }
  return 0;
}

// The progress bar on standard error: one line drawn again in place.
struct progress_bar {
  uint64_t total = 0, done = 0;
  int shown = -1;  // the percentage last drawn
};

void progress_written(void *ctx, uint32_t bytes) {
  auto &p = *static_cast<progress_bar *>(ctx);
  p.done += bytes;
  const uint64_t done = std::min(p.done, p.total);
  const int percent = p.total ? static_cast<int>(done * 100 / p.total) : 100;
  if (percent == p.shown) return;
  p.shown = percent;
  char bar[41];
  std::memset(bar, '.', 40);
  std::memset(bar, '#', static_cast<size_t>(percent * 40 / 100));
  bar[40] = '\0';
  std::fprintf(stderr, "\rupdate [%s] %3d%% %llu/%llu KiB", bar, percent,
               static_cast<unsigned long long>(done / 1024),
               static_cast<unsigned long long>(p.total / 1024));
  std::fflush(stderr);
}

// CRC-32 of the partition's good erase blocks, in order.
int partition_digest(int number, uint32_t *crc) {
  mtd_device dev;
  if (mtd_open(&dev, number, mtd_access::read_only) < 0 || mtd_query(&dev) < 0) return -1;
  const mtd_geometry &g = dev.geo;
  std::vector<uint8_t> buf(g.erasesize);
  uint32_t c = 0;
  for (uint32_t off = 0; off + g.erasesize <= g.size; off += g.erasesize) {
    if (g.cls == MTD_CLASS_NAND) {
      int bad = mtd_block_bad(dev, off);
      if (bad < 0) return -1;
      if (bad) continue;
    }
    if (mtd_read_at(dev, off, buf.data(), g.erasesize) < 0) return -1;
    c = static_cast<uint32_t>(::crc32(c, buf.data(), g.erasesize));
  }
  *crc = c;
  return 0;
}

// The update's last line, "update: refused ..." (before anything was
// written) or "update: failed ..." (after), and the summary with --json.
int stop(session &s, const char *result, const std::string &step, const std::string &reason) {
  report("update: %s step=%s reason=%s\n", result, step.c_str(), reason.c_str());
  if (s.req.json) {
    s.summary["result"] = result;
    s.summary["step"] = step;
    s.summary["reason"] = reason;
    print_json(s.summary);
  }
  return EXIT_REFUSED;
}

int refuse(session &s, const std::string &step, const std::string &reason) {
  return stop(s, "refused", step, reason);
}

int fail(session &s, const std::string &step, const std::string &reason) {
  return stop(s, "failed", step, reason);
}

}  // namespace

int update_run(const update_request &r) {
  session s(r);
  int status = 0;
  s.summary = {{"schema", UPDATE_SCHEMA}, {"action", "update"}, {"image", r.image}};
  if (open_session(s, "update:", &status) != 0) return status;
  std::map<int, int> numbers[2];
  config_error error;
  if (config_partitions(s.config, numbers, &error) != 0) {
    config_report(error);
    return EXIT_CONFIG;
  }
  report("update: config file=%s attempts=%u keys=%zu\n", report_word(s.config.path).c_str(),
         s.config.boot_attempts, s.config.keys.size());

  // 1. Which slot: the one not running, never the last confirmed one.
  if (!s.running)
    return refuse(s, "slots", "the running slot is unknown: /proc/cmdline has no korvane.slot=A|B");
  const char target = other_slot(s.running);
  const std::string running_s(1, s.running), target_s(1, target);
  s.summary["running"] = running_s;
  s.summary["target"] = target_s;
  report("update: slots running=%c target=%c running-state=%s target-state=%s good=%s\n", s.running,
         target, shown(s.view.slots[slot_index(s.running)].state).c_str(),
         shown(s.view.slots[slot_index(target)].state).c_str(), shown(s.view.good).c_str());
  if (s.view.good.empty() || s.view.next.empty())
    return refuse(s, "slots",
                  "the environment has no korvane_good or korvane_next; set up the boot "
                  "loader's side first");
  if (s.view.slots[slot_index(s.running)].state == "pending")
    return refuse(s, "slots",
                  "the running slot " + running_s +
                      " is pending; confirm it (--confirm) or reject it (--reject) first");
  if (s.view.good == target_s)
    return refuse(s, "slots",
                  "slot " + target_s + " is the last confirmed slot; the running slot " +
                      running_s + " must be confirmed before the other one is written");
  // 2. The image: signature, binding, the blocks against the slot, preflight.
  // No partition is in both slots (config_partitions), so nothing below
  // reaches the running slot's.
  std::map<int, int> &targets = numbers[slot_index(target)];
  rom_walk image;
  if (rom_walk_open(&image, r.image, O_RDONLY) < 0) return fail(s, "image", "cannot be read");
  sig_guard guard;
  std::string key_id = "none";
  if (!s.config.keys.empty() && sig_board_check(&image, s.config.keys, &guard, &key_id) < 0)
    return refuse(s, "signature", "the image is not signed by a trusted key");
  install_settings settings = r.install;
  settings.device_name = s.config.device_name;
  settings.device_id = s.config.device_id;
  if (device_binding_given(settings) && device_binding_check(image, settings) < 0)
    return refuse(s, "device", "the image is not built for this board");
  if (image.kind != ROM_CHECK_ROM) return refuse(s, "image", "a block file has no rom header");
  block_plan plan;
  plan.config = &s.config;
  plan.fd = image.fd.fd;
  plan.targets = &targets;
  rom_walk_steps steps;
  steps.ctx = &plan;
  steps.block = plan_block;
  rom_walk_rules quiet;
  quiet.quiet = true;
  rom_walk_blocks(&image, steps, quiet);  // how the walk ends is the preflight's to say
  if (!plan.refusal.empty()) return refuse(s, "blocks", plan.refusal);
  for (const auto &[id, number] : targets) {
    if (std::find(plan.program.begin(), plan.program.end(), id) == plan.program.end())
      return refuse(s, "blocks",
                    "the image has no block for id " + std::to_string(id) +
                        ", which the slots map; a slot is written whole");
  }
  report("update: blocks program=%zu leave-alone=%d\n", plan.program.size(), plan.left);
  settings.partitions = targets;
  settings.ids.assign(plan.program.begin(), plan.program.end());
  settings.preflight = true;
  settings.skip_bad = false;
  settings.simulate = false;
  settings.discard = false;
  settings.skip_unchanged = false;
  settings.read_back = true;
  // On NOR an erase block that reads erased is not erased again, and write
  // units of 0xFF are not written: the slot ends byte for byte the same.
  settings.skip_erased = true;
  if (preflight_check(&image, settings) < 0)
    return refuse(s, "preflight", "the image does not fit slot " + target_s);
  const std::string version = report_word(text_field(image.rom.version));

  // 3. Writing: the slot is not bootable until it is whole and checked.
  if (r.before_writing) r.before_writing();
  std::string why;
  if (store(s, ab_mark_empty(s.view, target), &why) != 0) return fail(s, "mark", why);
  report("update: mark slot=%c state=empty\n", target);
  progress_bar bar;
  bar.total = plan.bytes;
  if (isatty(STDERR_FILENO)) settings.progress = {progress_written, &bar};
  const int written = rom_execute_walk(&image, settings);
  if (bar.shown >= 0) std::fputs("\n", stderr);
  if (written < 0)
    return fail(s, "write", "programming slot " + target_s + " failed; it stays empty");
  std::string digest;
  for (const auto &[id, number] : targets) {
    uint32_t crc = 0;
    if (partition_digest(number, &crc) < 0)
      return fail(s, "digest", "mtd" + std::to_string(number) + " cannot be read back");
    char word[32];
    std::snprintf(word, sizeof word, "%smtd%d:%08x", digest.empty() ? "" : ",", number, crc);
    digest += word;
  }
  if (!s.config.keys.empty() && sig_board_unchanged(image, guard) < 0)
    return fail(s, "signature",
                "the image changed while it was written; slot " + target_s + " stays empty");
  report("update: written slot=%c digest=%s\n", target, digest.c_str());

  // 4. The switch: one store.
  const std::string record = "version=" + version + " key=" + key_id + " digest=" + digest +
                             " time=" + std::to_string(static_cast<long long>(std::time(nullptr)));
  if (store(s, ab_switch(target, record, s.config.boot_attempts), &why) != 0)
    return fail(s, "switch", why + "; slot " + target_s + " stays empty");
  report("update: switch slot=%c state=pending attempts=%u %s\n", target, s.config.boot_attempts,
         record.c_str());
  if (r.json) {
    s.summary["result"] = "ok";
    s.summary["attempts"] = s.config.boot_attempts;
    s.summary["record"] = record_json(record);
    print_json(s.summary);
  }
  return EXIT_DONE;
}

int update_status(const update_request &r) {
  session s(r);
  int status = 0;
  if (open_session(s, "status:", &status) != 0) return status;
  const ab_view &v = s.view;
  if (r.json) {
    print_json(status_json(s));
    return EXIT_DONE;
  }
  report(
      "status: schema=%d running=%s next=%s good=%s upgrade-available=%d bootcount=%u "
      "bootlimit=%u\n",
      UPDATE_SCHEMA, s.running ? std::string(1, s.running).c_str() : "-", shown(v.next).c_str(),
      shown(v.good).c_str(), v.upgrade_available ? 1 : 0, v.bootcount, v.bootlimit);
  json o = status_json(s);
  for (char c : {'A', 'B'}) {
    const slot_view &sv = v.slots[slot_index(c)];
    const json &left = o["slots"][std::string(1, c)]["attempts_left"];
    report("status: slot=%c state=%s attempts-left=%s%s%s\n", c, shown(sv.state).c_str(),
           left.is_null() ? "-" : std::to_string(left.get<unsigned>()).c_str(),
           sv.record.empty() ? "" : " ", sv.record.c_str());
  }
  return EXIT_DONE;
}

namespace {

int change_running(const update_request &r, const char *prefix, bool confirm) {
  session s(r);
  int status = 0;
  if (open_session(s, prefix, &status) != 0) return status;
  if (!s.running) {
    report(
        "%s refused reason=the running slot is unknown: /proc/cmdline has no "
        "korvane.slot=A|B\n",
        prefix);
    return EXIT_REFUSED;
  }
  std::string refusal;
  bootenv_vars changes =
      confirm ? ab_confirm(s.view, s.running, &refusal) : ab_reject(s.view, s.running, &refusal);
  if (!refusal.empty()) {
    report("%s refused slot=%c reason=%s\n", prefix, s.running, refusal.c_str());
    return EXIT_REFUSED;
  }
  std::string why;
  if (!changes.empty() && store(s, changes, &why) != 0) {
    report("%s failed slot=%c reason=%s\n", prefix, s.running, why.c_str());
    return EXIT_REFUSED;
  }
  const slot_view &sv = s.view.slots[slot_index(s.running)];
  report("%s slot=%c state=%s next=%s good=%s changed=%s\n", prefix, s.running,
         shown(sv.state).c_str(), shown(s.view.next).c_str(), shown(s.view.good).c_str(),
         changes.empty() ? "no" : "yes");
  return EXIT_DONE;
}

}  // namespace

int update_confirm(const update_request &r) { return change_running(r, "confirm:", true); }

int update_reject(const update_request &r) { return change_running(r, "reject:", false); }

}  // namespace korvane
