// libFuzzer target for what the dashboard supervisor reads from its child: raw bytes through the
// line assembler and the event handling, then a frame and the final summary drawn from the
// resulting model, whose bounds are checked; and the strict validator --compare uses.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "events/event_reader.h"
#include "dashboard/grid.h"
#include "dashboard/screen.h"
#include "dashboard/supervisor.h"

namespace {

LineAssembler g_lines;  // 64 KiB: static, not on the stack

bool terminated(const char* field, std::size_t size) { return std::memchr(field, '\0', size) != nullptr; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  DashModel& m = g_dash_model;
  m = DashModel{};
  g_lines.len = 0;
  line_feed(g_lines, m, reinterpret_cast<const char*>(data), size, 1.0);
  line_feed(g_lines, m, "\n", 1, 2.0);  // the last line, unfinished, too
  (void)json_object_valid(std::string_view(reinterpret_cast<const char*>(data), size));

  if (m.row_count < 0 || m.row_count > DASH_MAX_ROWS || m.round_count < 0 || m.round_count > DASH_MAX_ROUNDS ||
      m.message_count < 0 || m.message_count > DASH_MAX_MESSAGES)
    __builtin_trap();
  if (!terminated(m.cpu_model, sizeof m.cpu_model) || !terminated(m.verdict_why, sizeof m.verdict_why) ||
      !terminated(m.progress_name, sizeof m.progress_name))
    __builtin_trap();
  for (int i = 0; i < m.row_count; ++i)
    if (!terminated(m.rows[i].name, sizeof m.rows[i].name) || !terminated(m.rows[i].unit, sizeof m.rows[i].unit))
      __builtin_trap();
  for (int i = 0; i < m.row_count; ++i)
    if (m.rows[i].sample_count < 0 || m.rows[i].sample_count > DASH_MAX_SAMPLES) __builtin_trap();
  for (int i = 0; i < m.message_count; ++i)
    if (!terminated(m.messages[i], sizeof m.messages[i])) __builtin_trap();

  m.child_done = size % 3 == 0;
  m.stop_sent = size % 5 == 0;
  g_dash_theme = static_cast<int>(size & 1);
  if (grid_begin_frame_sized(60 + static_cast<int>(size % 140), 10 + static_cast<int>(size % 50))) {
    compose_dashboard_screen(m, static_cast<int>(size & 2) >> 1, 3.5);
    (void)grid_compose();
  }
  char summary[8192];
  if (format_supervisor_summary(m, summary, sizeof summary) >= sizeof summary) __builtin_trap();
  return 0;
}
