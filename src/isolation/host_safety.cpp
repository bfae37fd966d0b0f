#include "isolation/host_safety.h"

#include <cctype>
#include <cstring>
#include <dirent.h>

#include "machine/paths.h"

namespace {

constexpr const char* kRebuilding = "an md array is rebuilding";
constexpr const char* kDegraded = "an md array is degraded";
constexpr const char* kIscsi = "an iSCSI session is connected";
constexpr const char* kZfs = "a ZFS pool is not ONLINE";
constexpr const char* kVm = "a virtual machine is running";

// Calls check(name) for every entry of dir that passes accept; true when one returned true.
template <typename Accept, typename Check>
bool any_entry(const char* dir, Accept accept, Check check) {
  char path[320];
  if (make_path(path, sizeof path, "%s", dir) < 0) return false;
  DIR* d = opendir(path);
  if (!d) return false;
  bool hit = false;
  while (!hit) {
    const dirent* e = readdir(d);
    if (!e) break;
    if (accept(e->d_name)) hit = check(e->d_name);
  }
  closedir(d);
  return hit;
}

}  // namespace

const char* mdstat_reason(const char* t) {
  if (std::strstr(t, "recovery") || std::strstr(t, "resync") || std::strstr(t, "reshape")) return kRebuilding;
  if (std::strstr(t, "_U") || std::strstr(t, "U_")) return kDegraded;
  return nullptr;
}

bool iscsi_session_present(const char* t) { return std::strstr(t, "sid:") != nullptr; }

bool zfs_state_unhealthy(const char* state) { return state[0] != '\0' && std::strncmp(state, "ONLINE", 6) != 0; }

bool comm_is_vm(const char* comm) { return std::strncmp(comm, "qemu", 4) == 0; }

const char* check_host_safety() {
  char buf[4096];
  char path[320];
  if (make_path(path, sizeof path, "/proc/mdstat") >= 0 && read_small_file(path, buf, sizeof buf) > 0) {
    if (const char* reason = mdstat_reason(buf)) return reason;
  }
  if (make_path(path, sizeof path, "/proc/net/iet/session") >= 0 && read_small_file(path, buf, sizeof buf) > 0 &&
      iscsi_session_present(buf))
    return kIscsi;
  const bool zfs = any_entry(
      "/proc/spl/kstat/zfs", [](const char* name) { return name[0] != '.'; },
      [](const char* name) {
        char p[320];
        char state[64];
        return make_path(p, sizeof p, "/proc/spl/kstat/zfs/%s/state", name) >= 0 &&
               read_small_file(p, state, sizeof state) > 0 && zfs_state_unhealthy(state);
      });
  if (zfs) return kZfs;
  const bool vm = any_entry(
      "/proc", [](const char* name) { return std::isdigit(static_cast<unsigned char>(name[0])) != 0; },
      [](const char* name) {
        char p[320];
        char comm[128];
        return make_path(p, sizeof p, "/proc/%s/comm", name) >= 0 && read_small_file(p, comm, sizeof comm) > 0 &&
               comm_is_vm(comm);
      });
  if (vm) return kVm;
  return nullptr;
}
