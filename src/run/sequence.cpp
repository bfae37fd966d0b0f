#include "run/sequence.h"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "dashboard/inprocess.h"
#include "dashboard/peers.h"
#include "dashboard/supervisor.h"
#include "engine/interference.h"
#include "engine/passes.h"
#include "engine/round_state.h"
#include "events/compare.h"
#include "events/ndjson.h"
#include "isolation/cpuset.h"
#include "machine/cpu_ident.h"
#include "machine/fingerprint.h"
#include "machine/isa.h"
#include "machine/sensors.h"
#include "machine/topology.h"
#include "run/config.h"
#include "run/control.h"
#include "run/seatbelts.h"
#include "run/summary.h"
#include "subtests/inputs.h"
#include "subtests/kernels.h"
#include "subtests/registry.h"
#include "verdict/verdict.h"

namespace {

constexpr double PROBE_PHASE_SECONDS = 0.3;
constexpr double FULL_PHASE_SECONDS = 0.6;

// The bench set from the machine's CPU list and --cpus; returns its length.
int choose_bench_cpus() {
  int n = 0;
  for (int i = 0; i < g_machine.ncpu; ++i) {
    const int cpu = g_machine.cpu_ids[i];
    if (g_config.cpus_given && (cpu < 0 || cpu >= CPU_MASK_BITS || !g_config.cpu_mask.test(static_cast<std::size_t>(cpu))))
      continue;
    bench_cpus[n++] = cpu;
  }
  return n;
}

bool in_bench_set(int cpu) {
  for (int i = 0; i < cpus_used; ++i)
    if (bench_cpus[i] == cpu) return true;
  return false;
}

bool open_save_file(int empty_it) {
  char err[400];
  if (open_event_save(g_config.save_path, empty_it, err, sizeof err) == 0) return true;
  std::fprintf(stderr, "tallyfox: --save %s\n", err);
  return false;
}

// The in-process dashboard's refresh, and the progress events of the saved stream.
void dashboard_and_json_progress(const SubtestSpec* spec, const char* label, double percent) {
  dashboard_progress_hook(spec, label, percent);
  json_progress_hook(spec, label, percent);
}

}  // namespace

int run_sequence(int argc, char** argv) {
  reset_run_control();
  reset_config();
  reset_round_state();
  reset_verdict();
  reset_interference();
  reset_json_progress();
  // From the first moment: a stop that comes while the machine is still being read (a dashboard
  // child's q) stops the run before its first round, which still reports.
  install_stop_signal();

  detect_terminal();
  const int parsed = parse_command_line(argc, argv);
  if (parsed != PARSE_GO_ON) return parsed;
  if (g_config.compare_old)
    return run_compare(g_config.compare_old, g_config.compare_old_count, g_config.compare_new,
                       g_config.compare_new_count, g_config.min_change_pct, g_config.ui == UI_JSON);

  detect_isa();
  identify_cpu();
  read_topology();
  build_crc_tables();
  build_aes_tables();
  compute_fingerprint();
  register_subtests();

  const bool full = g_config.mode == MODE_FULL;
  if (full && confirm_full_run(g_yes_given) != PARSE_GO_ON) return 1;
  g_run.rounds_epoch = now_seconds();  // time spent at the prompt is not the rounds' time
  // A file that cannot be written stops the run here, before anything starts; it is emptied only
  // once the run is sure to measure, so a refused run leaves an earlier saved run as it was.
  if (g_config.save_path) {
    struct stat before {};
    const bool existed = lstat(g_config.save_path, &before) == 0;
    if (!open_save_file(0)) return 1;
    close_event_save();
    if (!existed) unlink(g_config.save_path);  // a run refused from here on leaves nothing behind
  }

  if (g_config.ui == UI_DASHBOARD && isatty(0) && isatty(1) && std::getenv("TFX_DASH_CHILD") == nullptr) {
    const int status = run_dashboard_supervisor(argc, argv);  // the child saves: its own run
    if (status >= 0) return status;
  }

  if (full && !g_config.quiesce_given) g_config.quiesce = QUIESCE_RT;

  if (install_seatbelts() == SEATBELTS_BUSY) {
    std::fprintf(stderr, "tallyfox: another run is measuring on this machine (%s is held) — not starting\n",
                 TOMBSTONE_PATH);
    return 1;
  }
  const int nsub = g_registry_count;
  arm_deadline(full ? now_seconds() + full_run_budget(nsub, g_config.seconds)
                    : g_run.launch_time + PROBE_SECONDS);
  start_watchdog();

  if (prepare_inputs() != 0) {
    std::fprintf(stderr, "tallyfox: not enough memory for the kernels' inputs\n");
    return 1;
  }
  take_steal_baseline();

  int n = choose_bench_cpus();
  if (n == 0) {
    std::fprintf(stderr, "tallyfox: --cpus selected nothing\n");
    return 1;
  }
  const int selected = n;
  if (g_config.quiesce == QUIESCE_ISOLATE) {
    if (!full) {
      std::fprintf(stderr, "tallyfox: --quiesce isolate is full-mode only; using rt\n");
      g_config.quiesce = QUIESCE_RT;
    } else {
      char msg[192] = {0};
      if (isolate_rest(bench_cpus, n, msg, sizeof msg) < 0) {
        std::fprintf(stderr, "tallyfox: L2 isolate unavailable (%s) — falling back to rt\n", msg);
        g_config.quiesce = QUIESCE_RT;
      }
    }
    refuse_unsafe_rt();  // a fall-back to rt gets the seatbelts of a direct rt
  }
  // Published for the watchdog, after everything the isolation wrote.
  g_run.machine_held.store(g_config.quiesce != QUIESCE_NONE ? 1 : 0);
  if (g_config.quiesce == QUIESCE_RT && n >= 2 && n <= 4) --n;  // one CPU stays free for the rest of the machine
  cpus_used = n;
  all_core_note = missing_all_core_note(full, selected, n);

  core_map_reset();
  for (int i = 0; i < g_machine.ncpu; ++i)
    if (!in_bench_set(g_machine.cpu_ids[i])) core_map_exclude(i);
  load_peer_results();
  if (g_config.colour256) dashboard_use_256_colours(1);
  // Set before the start event, which records how long each phase measures.
  phase_seconds = !full ? PROBE_PHASE_SECONDS : g_config.seconds_given ? g_config.seconds : FULL_PHASE_SECONDS;
  if (g_config.save_path && !open_save_file(1)) return 1;
  if (event_stream_wanted()) emit_start();
  if (g_config.ui == UI_DASHBOARD) {
    dash_terminal_enter();
    progress_hook = event_stream_wanted() ? dashboard_and_json_progress : dashboard_progress_hook;
  } else if (event_stream_wanted()) {
    progress_hook = json_progress_hook;
  }

  if (full) {
    run_index_rounds();
  } else {
    if (!g_run.stop_requested.load()) run_subtest_pass();
    decide_verdict(1);
    compute_index();
  }

  release_machine();
  if (g_run.suspended.load()) verdict_note_suspended();
  if (g_run.output_released.load()) verdict_note_output_stalled();
  if (event_stream_wanted()) emit_result();
  close_event_save();
  if (g_config.ui == UI_DASHBOARD) {
    // A stop gave the terminal back already; the summary alone follows then.
    if (g_run.dash_terminal.load()) {
      dashboard_clear_current();
      draw_inprocess_dashboard();
      dash_terminal_leave();
      g_run.dash_terminal.store(0);
    }
    print_summary(UI_DASHBOARD);
  } else if (g_config.ui != UI_JSON) {
    print_summary(UI_TEXT);
  }
  cleanup_once();
  // A saved stream that lost events is said again after the summary, where it is read, and a
  // script that keeps the file learns it from the status.
  if (const char* why = event_save_failure()) {
    std::fprintf(stderr, "tallyfox: --save %s is incomplete: %s\n", g_config.save_path, why);
    if (g_verdict.verdict != VERDICT_UNTRUSTED) return 1;
  }
  return g_verdict.verdict == VERDICT_UNTRUSTED ? 2 : 0;
}
