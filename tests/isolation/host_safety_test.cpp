#include <gtest/gtest.h>

#include <string>

#include "isolation/host_safety.h"
#include "temp_tree.h"

namespace {

TEST(HostSafety, Mdstat) {
  struct Case {
    const char* text;
    const char* reason;
  };
  const Case cases[] = {
      {"md0 : active raid1 sdb1[1] sda1[0]\n      1048 blocks [2/1] [U_]\n", "an md array is degraded"},
      {"md0 : active raid1\n  [2/1] [U_]\n  [=>...]  resync = 5.0%\n", "an md array is rebuilding"},
      {"md1 : active raid5\n  [3/3] [UUU]\n  [==>..]  recovery = 12%\n", "an md array is rebuilding"},
      {"md1 : active raid5 [4/4] [UUUU]\n  reshape = 1%\n", "an md array is rebuilding"},
      {"md0 : active raid1 [2/2] [UU]\nunused devices: <none>\n", nullptr},
      {"", nullptr},
  };
  for (const Case& c : cases) {
    const char* r = mdstat_reason(c.text);
    if (c.reason)
      EXPECT_STREQ(r, c.reason) << c.text;
    else
      EXPECT_EQ(r, nullptr) << c.text;
  }
  EXPECT_TRUE(zfs_state_unhealthy("DEGRADED"));
  EXPECT_FALSE(zfs_state_unhealthy("ONLINE"));
  EXPECT_FALSE(zfs_state_unhealthy("ONLINE-ish"));
  EXPECT_TRUE(comm_is_vm("qemu-system-aar"));
  EXPECT_TRUE(comm_is_vm("qemu-kvm"));
  EXPECT_FALSE(comm_is_vm("kvm"));
  EXPECT_TRUE(iscsi_session_present("tid:1 name:iqn.x\n\tsid:562949957421568 initiator:iqn.y\n"));
}

TEST(HostSafety, ChecksInOrderOnAHostTree) {
  TempTree tree;
  ASSERT_TRUE(tree.ok());
  tree.write("/proc/1/comm", "systemd\n");
  tree.mkdir("/proc/spl/kstat/zfs/.hidden");
  tree.write("/proc/spl/kstat/zfs/arcstats", "stats\n");
  tree.write("/proc/spl/kstat/zfs/tank/state", "ONLINE\n");
  EXPECT_EQ(check_host_safety(), nullptr);

  tree.write("/proc/4242/comm", "qemu-system-x86\n");
  EXPECT_STREQ(check_host_safety(), "a virtual machine is running");
  tree.write("/proc/spl/kstat/zfs/backup/state", "DEGRADED\n");
  EXPECT_STREQ(check_host_safety(), "a ZFS pool is not ONLINE");
  tree.write("/proc/net/iet/session", "tid:1 name:iqn.2001-04.com.example:disk\n\tsid:1 initiator:iqn.x\n");
  EXPECT_STREQ(check_host_safety(), "an iSCSI session is connected");
  tree.write("/proc/mdstat", "md0 : active raid1 [2/1] [U_]\n");
  EXPECT_STREQ(check_host_safety(), "an md array is degraded");
}

}  // namespace
