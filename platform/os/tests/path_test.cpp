#include "kavo/os/path.h"

#include <gtest/gtest.h>
#include <cstdlib>

TEST(Path, UnderRootOnlyWhenSet) {
  unsetenv("KAVO_ROOT");
  EXPECT_EQ(kavo::os::path("/etc/board.info"), "/etc/board.info");
  setenv("KAVO_ROOT", "/tmp/r1/", 1);
  EXPECT_EQ(kavo::os::path("/etc/board.info"), "/tmp/r1/etc/board.info");
  EXPECT_EQ(kavo::os::path("relative/x"), "relative/x");
  EXPECT_EQ(kavo::os::path(""), "");
  setenv("KAVO_ROOT", "/", 1);
  EXPECT_EQ(kavo::os::path("/var/run/ipc"), "/var/run/ipc");
  unsetenv("KAVO_ROOT");
}
