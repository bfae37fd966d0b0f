#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "dashboard/supervisor.h"

namespace {

std::vector<std::string> child_argv(std::vector<const char*> args) {
  std::vector<char*> argv;
  for (const char* a : args) argv.push_back(const_cast<char*>(a));
  std::vector<char*> out(args.size() + 2, reinterpret_cast<char*>(1));
  const int n = build_child_argv("/opt/tallyfox", static_cast<int>(argv.size()), argv.data(), out.data());
  EXPECT_EQ(out[static_cast<std::size_t>(n)], nullptr);
  return std::vector<std::string>(out.begin(), out.begin() + n);
}

TEST(SupervisorArgv, DashboardOptionsAndJsonAreReplacedByOneJsonAtTheEnd) {
  using V = std::vector<std::string>;
  EXPECT_EQ(child_argv({"tallyfox", "--ui2", "--full", "--unrestricted", "--json"}),
            (V{"/opt/tallyfox", "--full", "--unrestricted", "--json"}));
  EXPECT_EQ(child_argv({"tallyfox"}), (V{"/opt/tallyfox", "--json"}));
  EXPECT_EQ(child_argv({"./tfx", "--json", "--ui", "--probe", "--ui", "--json", "--seconds", "0.3"}),
            (V{"/opt/tallyfox", "--probe", "--seconds", "0.3", "--json"}));
  // Only whole arguments are dropped; values are kept even when they look like options.
  EXPECT_EQ(child_argv({"tallyfox", "--ui3", "--subtests", "--json=x", "-json"}),
            (V{"/opt/tallyfox", "--ui3", "--subtests", "--json=x", "-json", "--json"}));
}

TEST(SupervisorKeys, EachKeyInEachState) {
  struct State {
    bool stop_sent, child_done;
  };
  const State running = {false, false}, stopping = {true, false}, ended = {true, true}, ended_alone = {false, true};
  const struct {
    State state;
    int key;
    KeyAction action;
  } cases[] = {
      {running, 'q', KEY_STOP},          {running, 'Q', KEY_STOP},
      {running, 27, KEY_STOP},           {stopping, 'q', KEY_TERMINATE_AND_LEAVE},
      {stopping, 27, KEY_TERMINATE_AND_LEAVE}, {ended, 'q', KEY_LEAVE},
      {ended_alone, 'Q', KEY_LEAVE},     {ended_alone, 27, KEY_LEAVE},
      {running, 't', KEY_THEME},         {stopping, 'T', KEY_THEME},
      {ended, 't', KEY_THEME},           {running, 'l', KEY_NONE},
      {running, '[', KEY_NONE},          {ended, 'x', KEY_NONE},
      {running, 0, KEY_NONE},            {running, 'q' | 0x80, KEY_NONE},
  };
  for (const auto& c : cases) {
    DashModel m{};
    m.stop_sent = c.state.stop_sent;
    m.child_done = c.state.child_done;
    EXPECT_EQ(supervisor_key_action(m, c.key), c.action)
        << "key " << c.key << " stop_sent " << c.state.stop_sent << " done " << c.state.child_done;
  }
}

int status_of_child(void (*body)()) {
  const pid_t pid = fork();
  if (pid == 0) {
    body();
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

TEST(SupervisorExit, SignalsCountAs128) {
  EXPECT_EQ(child_exit_code(status_of_child([] { _exit(3); })), 3);
  EXPECT_EQ(child_exit_code(status_of_child([] { _exit(0); })), 0);
  EXPECT_EQ(child_exit_code(status_of_child([] { _exit(127); })), 127);
  EXPECT_EQ(child_exit_code(status_of_child([] { raise(SIGKILL); })), 128);
  EXPECT_EQ(child_exit_code(status_of_child([] {
              signal(SIGTERM, SIG_DFL);
              raise(SIGTERM);
            })),
            128);
}

std::string summary(const DashModel& m, std::size_t cap = 8192) {
  std::vector<char> buf(cap);
  const std::size_t n = format_supervisor_summary(m, buf.data(), buf.size());
  EXPECT_EQ(std::string(buf.data()).size(), n);
  return std::string(buf.data(), n);
}

DashSubtestRow row(const char* name, const char* isa, const char* unit, double st, double mt, double scaling) {
  DashSubtestRow r{};
  std::snprintf(r.name, sizeof r.name, "%s", name);
  std::snprintf(r.isa, sizeof r.isa, "%s", isa);
  std::snprintf(r.unit, sizeof r.unit, "%s", unit);
  r.st = st;
  r.mt = mt;
  r.scaling = scaling;
  return r;
}

DashModel with_result(const char* mode, const char* verdict, const char* why) {
  DashModel m{};
  m.result_received = true;
  std::snprintf(m.mode, sizeof m.mode, "%s", mode);
  std::snprintf(m.verdict, sizeof m.verdict, "%s", verdict);
  std::snprintf(m.verdict_why, sizeof m.verdict_why, "%s", why);
  return m;
}

TEST(SupervisorSummary, ResultWithIndexAndRows) {
  DashModel m = with_result("full", "contended", "runqueue wait 7.0%");
  m.index_st = 612.4;
  m.index_mt = 1398.6;
  m.result_rounds = 6;
  m.rows[0] = row("int_scalar", "base", "Mops", 439.5, 829.8, 0.944);
  m.rows[1] = row("crc32c", "sse42", "MB/s", 9000.52, 0, 0);
  m.row_count = 2;
  EXPECT_EQ(summary(m),
            "tallyfox full: verdict contended — runqueue wait 7.0%\n"
            "  TFX index ST 612 · MT 1399 over 6 rounds\n"
            "  int_scalar  base     ST      439.5 Mops     MT      829.8  scaling  94%\n"
            "  crc32c      sse42    ST     9000.5 MB/s   \n");
  m.result_rounds = 1;
  EXPECT_NE(summary(m).find("over 1 round\n"), std::string::npos);
  m.index_st = m.index_mt = 0;
  EXPECT_EQ(summary(m).find("TFX index"), std::string::npos);
  // A small buffer cuts the text and stays terminated.
  EXPECT_EQ(summary(m, 16), "tallyfox full: ");
}

TEST(SupervisorSummary, ChildDiagnosticsOnceWithOnePrefix) {
  DashModel m{};
  EXPECT_EQ(summary(m), "");
  std::snprintf(m.messages[0], sizeof m.messages[0], "tallyfox: L2 isolate unavailable (no cpuset) — falling back to rt");
  std::snprintf(m.messages[1], sizeof m.messages[1], "full run not started\x1b]0;x\x07");
  m.message_count = 2;
  EXPECT_EQ(summary(m),
            "tallyfox: L2 isolate unavailable (no cpuset) — falling back to rt\n"
            "tallyfox: full run not started?]0;x?\n");
  // With a result they come first, and the note on missing all-core figures follows the index.
  DashModel r = with_result("full", "clean", "runqueue wait 0.10%");
  std::snprintf(r.messages[0], sizeof r.messages[0], "tallyfox: tombstone present");
  r.message_count = 1;
  r.index_st = 500;
  std::snprintf(r.all_core_note, sizeof r.all_core_note, "no all-core phase: it needs two bench CPUs");
  EXPECT_EQ(summary(r),
            "tallyfox: tombstone present\n"
            "tallyfox full: verdict clean — runqueue wait 0.10%\n"
            "  TFX index ST 500 · MT — over 0 rounds\n"
            "  no all-core phase: it needs two bench CPUs\n");
}

TEST(SupervisorSummary, ControlCharactersFromTheChildAreReplaced) {
  DashModel m = with_result("f\x1bll", "clean\r", "a\x1b[2Jb\x7f");
  m.rows[0] = row("n\x1b", "i\x08", "u\x9b", 1, 0, 0);
  m.row_count = 1;
  const std::string s = summary(m);
  EXPECT_EQ(s.find('\x1b'), std::string::npos);
  EXPECT_EQ(s.find('\r'), std::string::npos);
  EXPECT_EQ(s.find('\x7f'), std::string::npos);
  EXPECT_EQ(s.find('\x08'), std::string::npos);
  EXPECT_EQ(s.find('\x9b'), std::string::npos);
  EXPECT_EQ(s.substr(0, 44), "tallyfox f?ll: verdict clean? — a?[2Jb?\n  ");
}

}  // namespace
