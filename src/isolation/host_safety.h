#pragma once
// Work on a storage host that must not be starved by isolation. Read-only checks.

// The reason of the first check that fires, or nullptr when the host is safe.
const char* check_host_safety();

// The checks over already-read text, in the same order (for tests and fuzzing).
const char* mdstat_reason(const char* mdstat);
bool iscsi_session_present(const char* session_list);
bool zfs_state_unhealthy(const char* state);
bool comm_is_vm(const char* comm);
