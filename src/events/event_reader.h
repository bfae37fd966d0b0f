#pragma once
// The reader of the NDJSON event stream, beside its writer: the dashboard supervisor feeds it
// its child's output, --compare the saved streams of two runs. Output is cut into lines,
// event lines (NDJSON) update the DashModel, other lines are kept as messages. Everything here is
// a pure function over text: no I/O and no allocation.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "machine/topology.h"

constexpr int DASH_MAX_ROWS = 40;
constexpr int DASH_MAX_ROUNDS = 64;
constexpr int DASH_MAX_MESSAGES = 4;
constexpr std::size_t DASH_MESSAGE_BYTES = 140;
constexpr std::size_t LINE_CAPACITY = 65536;  // a line keeps at most LINE_CAPACITY - 1 bytes
constexpr int DASH_MAX_SAMPLES = 32;          // per subtest: one subtest event per round

struct DashSubtestRow {
  char name[16];
  char isa[10];
  char unit[10];
  double st, mt;                 // millions per second in the unit
  double scaling;                // fraction
  double st_wait_pct, mt_wait_agg;
  double st_min, st_max;         // over the subtest events of this row
  int32_t st_events;
  // Each subtest event's rates, and how many round events had come before it (the round it
  // belongs to, counted from 0); the first DASH_MAX_SAMPLES events are kept.
  double st_samples[DASH_MAX_SAMPLES];
  double mt_samples[DASH_MAX_SAMPLES];
  int32_t sample_round[DASH_MAX_SAMPLES];
  int32_t sample_count;
};

struct DashRound {
  double index_st, index_mt;
  double spread;  // fraction; -1 while not known (fewer than four rounds: the event writes null)
};

struct DashModel {
  // From the start event.
  char cpu_model[96];
  char mode[8];
  char isolcpus[32];
  int32_t ncpu, ncores, p_cores, e_cores, p_threads, e_threads;
  bool hybrid;
  int32_t max_mhz;
  int32_t isa[ISA_FLAG_COUNT];
  bool arm_family;
  double thermal_c;
  char fingerprint[256];
  double phase_seconds;  // seconds per phase; 0 when the stream does not say (older versions)

  DashSubtestRow rows[DASH_MAX_ROWS];
  int32_t row_count;

  char progress_name[16];
  char progress_isa[10];
  char progress_phase[12];
  double progress_pct;

  DashRound rounds[DASH_MAX_ROUNDS];
  int32_t round_count;
  double round_target;
  int32_t round_converged;

  bool result_received;
  char verdict[16];
  char verdict_why[600];
  double index_st, index_mt, precision, duration, peak_c, clock_ratio;
  int32_t result_rounds, limited, cpus_used, ref_version;
  double stall_pct, stall_longest_ms;  // hidden stalls of the run, from the result
  char all_core_note[200];  // why no all-core phase ran; empty when one did
  char quiesce[12];
  char profile[12];
  // The spread of the rounds the index is the median of, a fraction; -1 when not known (fewer
  // than four rounds, or a stream from before it was reported), with their lowest and highest.
  double range;
  double range_lo, range_hi;
  int32_t range_first, range_last;
  bool drift_detected;
  double drift_pct;
  int32_t drift_round;

  char messages[DASH_MAX_MESSAGES][DASH_MESSAGE_BYTES];  // newest last
  int32_t message_count;

  // Supervisor state; times are monotonic seconds.
  double start_time;
  double end_time;  // 0 until the result or the end of the child
  double time_limit;  // seconds from start_time the run may take at most (its deadline); 0 unknown
  double last_round_time;  // monotonic seconds when the newest round event came; 0 before
  bool stop_sent;
  bool child_done;
  int32_t child_exit;
};

extern DashModel g_dash_model;

struct LineAssembler {
  char line[LINE_CAPACITY];
  std::size_t len;
};

// Feeds raw child output; every completed line is handled with the monotonic time now.
void line_feed(LineAssembler& a, DashModel& m, const char* bytes, std::size_t n, double now);
// One line without its LF: blank lines are ignored, lines starting with '{' (after blanks) are
// events, anything else is kept as the newest message (cut to 139 bytes; the oldest of four
// goes).
void dash_handle_line(DashModel& m, std::string_view line, double now);

// The value of member key of the object that starts text (after blanks), without the blanks
// around it; false when text is not an object, the member is missing or the object is malformed
// before it. Nested objects are not searched.
bool json_member(std::string_view object, std::string_view key, std::string_view* value);
// True when line is exactly one well-formed JSON object (blanks around it allowed), by the
// grammar of RFC 8259, nested at most 32 deep.
bool json_object_valid(std::string_view line);
// A string member decoded into out (always NUL-terminated; bytes that do not fit are dropped);
// empty when missing or not a string. Returns false then.
bool json_string(std::string_view object, std::string_view key, char* out, std::size_t cap);
// A number member, converted with strtod when its value starts with '-' or a digit; false
// (and *out untouched) otherwise.
bool json_numeric(std::string_view object, std::string_view key, double* out);
// The same with 0 for a missing or non-numeric member.
double json_number(std::string_view object, std::string_view key);
// json_number truncated towards zero into the int32 range; NaN gives 0.
int32_t json_int(std::string_view object, std::string_view key);
