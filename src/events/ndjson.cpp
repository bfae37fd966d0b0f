#include "events/ndjson.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dashboard/bounded_write.h"
#include "engine/interference.h"
#include "engine/round_state.h"
#include "events/utf8.h"
#include "machine/fingerprint.h"
#include "machine/sensors.h"
#include "machine/topology.h"
#include "run/config.h"
#include "run/control.h"
#include "verdict/verdict.h"

namespace {

double g_last_progress;  // monotonic time of the last progress event written; 0 before any
int g_save_fd = -1;      // --save FILE, written as the run goes
char g_save_path[256];
char g_save_failure[128];  // why the saved stream stopped early; empty while it is whole

// One event line is built here, then handed to every place that wants it.
char g_line[16384];
std::size_t g_line_len;

__attribute__((format(printf, 1, 2))) void line_add(const char* fmt, ...) {
  if (g_line_len >= sizeof g_line - 1) return;
  va_list ap;
  va_start(ap, fmt);
  const int n = std::vsnprintf(g_line + g_line_len, sizeof g_line - g_line_len, fmt, ap);
  va_end(ap);
  if (n > 0) g_line_len = std::min(g_line_len + static_cast<std::size_t>(n), sizeof g_line - 1);
}

// The finished line goes to standard output in a JSON run and to the saved stream; a saved
// stream that fails is closed with one line on standard error, and the run goes on.
void line_publish() {
  if (g_config.ui == UI_JSON) {
    output_wait_begin();
    std::fwrite(g_line, 1, g_line_len, stdout);
    std::fflush(stdout);
    output_wait_end();
  }
  if (g_save_fd >= 0 && write_bounded(g_save_fd, g_line, g_line_len, -1) != g_line_len) {
    std::snprintf(g_save_failure, sizeof g_save_failure, "%s", std::strerror(errno));
    std::fprintf(stderr, "tallyfox: --save %s: %s; the saved stream stops here\n", g_save_path, g_save_failure);
    close(g_save_fd);
    g_save_fd = -1;
  }
  g_line_len = 0;
}

}  // namespace

int open_event_save(const char* path, int empty_it, char* err, std::size_t cap) {
  close_event_save();
  // Never through a symlink, never blocking on a FIFO: open without following and without
  // waiting, then keep only a regular file, emptied only once it is known to be one.
  struct stat before{};
  if (lstat(path, &before) == 0 && !S_ISREG(before.st_mode) && !S_ISLNK(before.st_mode)) {
    std::snprintf(err, cap, "%s: not a regular file", path);
    return -1;
  }
  const int fd = open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::snprintf(err, cap, "%s: %s", path, errno == ELOOP ? "a symbolic link, not written through" : std::strerror(errno));
    return -1;
  }
  struct stat st{};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    std::snprintf(err, cap, "%s: not a regular file", path);
    close(fd);
    return -1;
  }
  if (empty_it && ftruncate(fd, 0) != 0) {
    std::snprintf(err, cap, "%s: %s", path, std::strerror(errno));
    close(fd);
    return -1;
  }
  g_save_fd = fd;
  std::snprintf(g_save_path, sizeof g_save_path, "%s", path);
  g_save_failure[0] = '\0';
  return 0;
}

const char* event_save_failure() { return g_save_failure[0] != '\0' ? g_save_failure : nullptr; }

void close_event_save() {
  if (g_save_fd >= 0) close(g_save_fd);
  g_save_fd = -1;
}

bool event_stream_wanted() { return g_config.ui == UI_JSON || g_save_fd >= 0; }

void json_escape(const char* src, char* dst, std::size_t cap) {
  if (cap == 0) return;
  dst[0] = '\0';
  if (!src || src[0] == '\0' || cap <= 2) return;
  std::size_t o = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(src); *p != '\0' && o + 2 < cap; ++p) {
    const unsigned char c = *p;
    if (c == '\\' || c == '"') {
      dst[o++] = '\\';
      dst[o++] = static_cast<char>(c);
    } else if (c == '\n') {
      dst[o++] = '\\';
      dst[o++] = 'n';
    } else if (c < 0x20) {
      continue;
    } else if (c < 0x80) {
      dst[o++] = static_cast<char>(c);
    } else {
      // Multi-byte characters pass whole or not at all: a byte that does not start a well-formed
      // character (RFC 3629) is dropped like a control byte, and a character that does not fit
      // ends the text, so every event line stays valid UTF-8.
      const std::size_t n = utf8_char_length(p);
      if (n == 0) continue;
      if (o + n >= cap) break;
      for (std::size_t k = 0; k < n; ++k) dst[o++] = static_cast<char>(p[k]);
      p += n - 1;
    }
  }
  dst[o] = '\0';
}

// A fraction written with four decimals, or null where it was not measured.
static void fraction_or_null(char* out, std::size_t cap, bool known, double value) {
  if (known)
    std::snprintf(out, cap, "%.4f", value);
  else
    std::snprintf(out, cap, "null");
}

void emit_start() {
  const MachineInfo& m = g_machine;
  char model[256];
  char fp[256];
  char isol[256];
  json_escape(m.cpu_model, model, sizeof model);
  json_escape(g_fingerprint, fp, sizeof fp);
  // A kernel list in practice; escaped all the same, since it is text read from a file.
  json_escape(m.isolcpus, isol, sizeof isol);
  const long cur_mhz = read_cur_khz(m.cpu_ids[0]) / 1000;
  const int32_t temp = read_temperature();  // -1 without a sensor: reported as 0.0, never -0.0
  line_add(
      "{\"event\":\"start\",\"tool\":\"%s\",\"tool_version\":\"%s\",\"mode\":\"%s\",\"cpu_model\":\"%s\","
      "\"ncpu\":%d,\"ncores\":%d,\"p_cores\":%d,\"e_cores\":%d,\"p_threads\":%d,\"e_threads\":%d,"
      "\"hybrid\":%s,\"isa\":{\"sse2\":%d,\"sse42\":%d,\"avx\":%d,\"avx2\":%d,\"avx512f\":%d,"
      "\"sha_ni\":%d,\"aes_ni\":%d,\"neon\":%d,\"arm_crc\":%d,\"arm_sha2\":%d,\"arm_aes\":%d,\"sve\":%d},"
      "\"isolcpus\":\"%s\",\"rt_runtime_us\":%ld,\"cur_mhz\":%ld,\"max_mhz\":%ld,\"thermal_c\":%.1f,"
      "\"fingerprint\":\"%s\",\"seconds\":%.2f,\"quiesce\":\"%s\"}\n",
      TOOL_NAME, TOOL_VERSION, mode_name(g_config.mode), model, m.ncpu, m.ncores, m.p_cores, m.e_cores,
      m.p_threads, m.e_threads, m.hybrid ? "true" : "false", m.isa[0], m.isa[1], m.isa[2], m.isa[3],
      m.isa[4], m.isa[5], m.isa[6], m.isa[7], m.isa[8], m.isa[9], m.isa[10], m.isa[11], isol,
      m.rt_runtime_us, cur_mhz, static_cast<long>(m.max_khz[0] / 1000), temp > 0 ? temp / 1000.0 : 0.0, fp,
      phase_seconds, quiesce_name(g_config.quiesce));
  line_publish();
}

void emit_progress(const SubtestSpec* spec, const char* phase, double pct) {
  line_add("{\"event\":\"progress\",\"name\":\"%s\",\"isa\":\"%s\",\"phase\":\"%s\",\"pct\":%.0f,"
              "\"elapsed\":%.2f}\n",
              spec->name, spec->isa, phase, pct, now_seconds() - g_run.launch_time);
  line_publish();
}

void emit_subtest(const SubtestResult& r) {
  const bool mt = r.mt_ran != 0;
  line_add("{\"event\":\"subtest\",\"name\":\"%s\",\"isa\":\"%s\",\"unit\":\"%s\",\"st\":%.1f,\"mt\":%.1f,"
              "\"scaling\":%.3f,\"st_wait_pct\":%.2f,\"mt_wait_pct\":%.2f,\"mt_wait_agg\":%.2f,"
              "\"nivcsw\":%ld,\"khz_lo\":%ld,\"khz_hi\":%ld,\"st_stall_pct\":%.2f,\"mt_stall_pct\":%.2f,"
              "\"mt_stall_agg\":%.2f,\"stall_ms\":%.1f,\"st_undisturbed\":%.1f,\"mt_undisturbed\":%.1f,"
              "\"st_late_start_ms\":%.1f,\"mt_late_start_ms\":%.1f}\n",
              r.spec->name, r.spec->isa, r.spec->unit, r.st.rate / 1e6, mt ? r.mt.rate / 1e6 : 0.0,
              r.scaling, r.st.wait_pct, mt ? r.mt.wait_pct : 0.0, mt ? r.mt.wait_agg : 0.0,
              static_cast<long>(r.st.nivcsw) + (mt ? r.mt.nivcsw : 0),
              static_cast<long>(mt ? r.mt.khz_lo : r.st.khz_lo), static_cast<long>(mt ? r.mt.khz_hi : r.st.khz_hi),
              r.st.stall_pct, mt ? r.mt.stall_pct : 0.0, mt ? r.mt.stall_agg : 0.0,
              mt && r.mt.stall_max_ms > r.st.stall_max_ms ? r.mt.stall_max_ms : r.st.stall_max_ms,
              r.st.undisturbed_rate / 1e6, mt ? r.mt.undisturbed_rate / 1e6 : 0.0, r.st.start_delay_ms,
              mt ? r.mt.start_delay_ms : 0.0);
  line_publish();
}

void emit_round(int round, int converged, double index_st, double index_mt, double spread, double uindex_st,
                double uindex_mt) {
  // Before ROUND_WINDOW rounds, and without an index, there is no spread (passed as -1): null,
  // never a number that could pass for one.
  char spread_text[24];
  fraction_or_null(spread_text, sizeof spread_text, spread >= 0, spread);
  line_add("{\"event\":\"round\",\"round\":%d,\"index_st\":%.1f,\"index_mt\":%.1f,\"spread\":%s,"
              "\"target\":%.4f,\"converged\":%d,\"elapsed\":%.2f,\"index_st_undisturbed\":%.1f,"
              "\"index_mt_undisturbed\":%.1f}\n",
              round, index_st, index_mt, spread_text, TARGET_SPREAD, converged, now_seconds() - g_run.launch_time,
              uindex_st, uindex_mt);
  line_publish();
}

void emit_result() {
  const MachineInfo& m = g_machine;
  char why[1100];
  char model[256];
  char fp[256];
  char isol[256];
  json_escape(g_verdict.verdict_why, why, sizeof why);
  json_escape(m.cpu_model, model, sizeof model);
  json_escape(g_fingerprint, fp, sizeof fp);
  json_escape(m.isolcpus, isol, sizeof isol);
  const int limited = (thermal_mark_reached || g_verdict.clock_ratio < 0.9) ? 1 : 0;
  // Spreads exist from ROUND_WINDOW rounds on, over an index; a probe and a shorter run have none.
  const bool full = g_config.mode == MODE_FULL;
  char spread_text[24], precision_text[24], range_text[24];
  fraction_or_null(spread_text, sizeof spread_text, full && g_rounds.spread_known, g_rounds.spread);
  fraction_or_null(precision_text, sizeof precision_text, full && g_rounds.precision_known, g_rounds.precision);
  std::snprintf(range_text, sizeof range_text, "null");
  if (g_rounds.range_known) std::snprintf(range_text, sizeof range_text, "%.2f", g_rounds.range * 100);
  const Drift& d = g_verdict.drift;
  line_add(
      "{\"event\":\"result\",\"tool\":\"%s\",\"tool_version\":\"%s\",\"mode\":\"%s\",\"verdict\":\"%s\","
      "\"verdict_why\":\"%s\",\"machine\":{\"cpu_model\":\"%s\",\"ncpu\":%d,\"ncores\":%d,\"p_cores\":%d,"
      "\"e_cores\":%d,\"p_threads\":%d,\"e_threads\":%d,\"max_mhz\":%ld},\"index\":{\"st\":%.1f,\"mt\":%.1f,"
      "\"n\":%d,\"ref_version\":%d,\"unit\":%d,\"st_undisturbed\":%.1f,\"mt_undisturbed\":%.1f,"
      "\"converge\":\"%s\"},\"convergence\":{\"rounds\":%d,\"spread\":%s,"
      "\"precision\":%s,\"target\":%.4f,\"converged\":%d},\"thermal\":{\"peak_c\":%.1f,"
      "\"clock_ratio\":%.3f,\"limited\":%d},\"quiesce\":\"%s\",\"isolcpus\":\"%s\",\"profile\":\"%s\","
      "\"cpus_used\":%d,\"fingerprint\":\"%s\",\"duration\":%.2f,\"subtests\":[",
      TOOL_NAME, TOOL_VERSION, mode_name(g_config.mode), verdict_name(g_verdict.verdict), why, model, m.ncpu,
      m.ncores, m.p_cores, m.e_cores, m.p_threads, m.e_threads, static_cast<long>(m.max_khz[0] / 1000),
      g_rounds.index_st, g_rounds.index_mt, g_rounds.index_n, REF_VERSION, 1000, g_rounds.uindex_st,
      g_rounds.uindex_mt, g_config.converge_undisturbed ? "undisturbed" : "delivered", g_rounds.rounds,
      spread_text, precision_text, TARGET_SPREAD, g_rounds.converged, g_verdict.peak_c,
      g_verdict.clock_ratio, limited, quiesce_name(g_config.quiesce), isol, profile_name(g_config.profile),
      cpus_used, fp, now_seconds() - g_run.launch_time);
  for (int i = 0; i < g_result_count; ++i) {
    const SubtestResult& r = g_results[i];
    line_add("%s{\"name\":\"%s\",\"isa\":\"%s\",\"unit\":\"%s\",\"st\":%.1f,\"mt\":%.1f,\"scaling\":%.3f,"
                "\"st_under_load\":%.3f,\"st_undisturbed\":%.1f,\"mt_undisturbed\":%.1f,\"st_stall_pct\":%.2f,"
                "\"mt_stall_agg\":%.2f}",
                i == 0 ? "" : ",", r.spec->name, r.spec->isa, r.spec->unit, r.st.rate / 1e6,
                r.mt_ran ? r.mt.rate / 1e6 : 0.0, r.scaling, r.st_under_load, r.st.undisturbed_rate / 1e6,
                r.mt_ran ? r.mt.undisturbed_rate / 1e6 : 0.0, r.st.stall_pct, r.mt_ran ? r.mt.stall_agg : 0.0);
  }
  // Keys added after the first release go at the end, so readers of the documented order and
  // prefix stay right.
  // Figures of a drift that was not found, and of rounds that never ran, are null: no number
  // stands for what was not measured.
  const bool ran = g_rounds.range_first > 0;
  char lo[24] = "null", hi[24] = "null", first[16] = "null", last[16] = "null";
  if (ran) {
    std::snprintf(lo, sizeof lo, "%.1f", g_rounds.range_lo);
    std::snprintf(hi, sizeof hi, "%.1f", g_rounds.range_hi);
    std::snprintf(first, sizeof first, "%d", g_rounds.range_first);
    std::snprintf(last, sizeof last, "%d", g_rounds.range_last);
  }
  char dpct[24] = "null", dround[16] = "null", dp[24] = "null", before[24] = "null", after[24] = "null";
  if (d.detected) {
    std::snprintf(dpct, sizeof dpct, "%.2f", d.pct);
    std::snprintf(dround, sizeof dround, "%d", d.round);
    std::snprintf(dp, sizeof dp, "%.4f", d.p_value);
    std::snprintf(before, sizeof before, "%.1f", d.before);
    std::snprintf(after, sizeof after, "%.1f", d.after);
  }
  line_add("],\"stalls\":{\"pct\":%.2f,\"longest_ms\":%.1f,\"threshold_pct\":%.2f},\"all_core_note\":\"%s\","
           "\"index_range\":{\"pct\":%s,\"lo\":%s,\"hi\":%s,\"first_round\":%s,\"last_round\":%s},"
           "\"drift\":{\"checked\":%d,\"detected\":%d,\"pct\":%s,\"round\":%s,\"p\":%s,\"before\":%s,"
           "\"after\":%s,\"explained\":{\"wait\":%d,\"steal\":%d,\"stalls\":%d,\"clock\":%d}}}\n",
           g_verdict.stall_pct, g_verdict.run_stall_max_ms, wait_threshold(g_config.quiesce, m.rt_runtime_us),
           all_core_note, range_text, lo, hi, first, last, d.checked, d.detected, dpct, dround, dp, before, after,
           d.by_wait, d.by_steal, d.by_stalls, d.by_clock);
  line_publish();
}

bool json_progress_due(double now) {
  if (now - g_last_progress < 0.5) return false;
  g_last_progress = now;
  return true;
}

void json_progress_hook(const SubtestSpec* spec, const char* label, double percent) {
  if (json_progress_due(now_seconds())) emit_progress(spec, label, percent);
}

void reset_json_progress() { g_last_progress = 0.0; }
