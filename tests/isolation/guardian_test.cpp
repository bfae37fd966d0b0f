#include <gtest/gtest.h>

#include "isolation/guardian.h"

namespace {

// When the guardian acts: at once when the run is gone, after the grace when it stays stopped,
// after the deadline's grace; never for a run that is alive, running and in time.
TEST(Guardian, Decides) {
  struct Case {
    const char* what;
    bool alive, stopped;
    double stopped_for, now, deadline;
    GuardianAction want;
  };
  const Case cases[] = {
      {"running, in time", true, false, 0.0, 100.0, 400.0, GUARD_WAIT},
      {"running, no deadline armed", true, false, 0.0, 100.0, -1.0, GUARD_WAIT},
      {"dead", false, false, 0.0, 100.0, 400.0, GUARD_RESTORE_AND_END},
      {"dead while stopped", false, true, 5.0, 100.0, 400.0, GUARD_RESTORE_AND_END},
      {"stopped, inside the grace", true, true, GUARDIAN_STOP_GRACE - 0.1, 100.0, 400.0, GUARD_WAIT},
      {"stopped past the grace", true, true, GUARDIAN_STOP_GRACE, 100.0, 400.0, GUARD_RESTORE},
      {"deadline just passed", true, false, 0.0, 400.5, 400.0, GUARD_WAIT},
      {"deadline and its grace passed", true, false, 0.0, 400.0 + GUARDIAN_DEADLINE_GRACE, 400.0, GUARD_RESTORE},
  };
  for (const Case& c : cases)
    EXPECT_EQ(guardian_decide(c.alive, c.stopped, c.stopped_for, c.now, c.deadline), c.want) << c.what;
}

}  // namespace
