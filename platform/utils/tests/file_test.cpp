#include "kavo/utils/file.h"

#include <gtest/gtest.h>

#include "kavo/os/path.h"
#include "kavo/test/test_root.h"

using kavo::utils::File;

TEST(File, WriteModeCreatesAndTruncatesReadModeReadsBack) {
  kavo::test::TestRoot root;
  const std::string path = kavo::os::path("/tmp/osd.produced");
  {
    File f;
    ASSERT_TRUE(f.Initialize(path, 2));
    EXPECT_TRUE(f.WriteString("first version, longer\n"));
    EXPECT_TRUE(f.Close());
  }
  File f;
  ASSERT_TRUE(f.Initialize(path, kavo::utils::FILE_OPEN_MODE_TRUNCATE));
  EXPECT_TRUE(f.WriteString("line\n"));
  EXPECT_TRUE(f.Flush());
  const unsigned char bytes[] = {0, 1, 2, 255};
  EXPECT_TRUE(f.WriteBuffer(bytes, sizeof bytes));
  EXPECT_FALSE(f.ReadBuffer(const_cast<unsigned char*>(bytes), 1));  // write only
  EXPECT_TRUE(f.Close());
  EXPECT_EQ(root.read("/tmp/osd.produced"), std::string("line\n\0\1\2\xff", 9));

  File r;
  ASSERT_TRUE(r.Initialize(path, 0));
  EXPECT_EQ(r.Size(), 9u);
  char head[5];
  EXPECT_TRUE(r.ReadBuffer(head, 5));
  EXPECT_EQ(std::string(head, 5), "line\n");
  char rest[8];
  EXPECT_FALSE(r.ReadBuffer(rest, 8));  // only 4 left
  std::string all;
  EXPECT_TRUE(r.ReadStringAll(all));  // from the start, whatever was read before
  EXPECT_EQ(all.size(), 9u);
  EXPECT_FALSE(r.WriteString("x"));  // read only
}

TEST(File, RefusesMissingFilesUnknownModesAndClosedUse) {
  kavo::test::TestRoot root;
  std::string text = "stale";
  EXPECT_FALSE(File::ReadStringAll(kavo::os::path("/lib/version"), text));
  EXPECT_EQ(text, "");
  File f;
  EXPECT_FALSE(f.Initialize(kavo::os::path("/lib/version"), 0));
  root.write("/lib/version", "x");
  EXPECT_FALSE(f.Initialize(kavo::os::path("/lib/version"), 1));
  EXPECT_FALSE(f.IsOpen());
  EXPECT_FALSE(f.WriteString("x"));
  EXPECT_FALSE(f.Flush());
  EXPECT_EQ(f.Size(), 0u);
  EXPECT_TRUE(f.Close());
  EXPECT_FALSE(f.Initialize(kavo::os::path("/no/such/folder/file"), 2));
}

TEST(File, ReadStringAllReadsFilesThatReportNoSize) {
  // Kernel files have size 0 but content.
  std::string status;
  ASSERT_TRUE(File::ReadStringAll("/proc/self/status", status));
  EXPECT_NE(status.find("Pid:"), std::string::npos);
  kavo::test::TestRoot root;
  root.write("/lib/version", "");
  std::string empty = "stale";
  EXPECT_TRUE(File::ReadStringAll(kavo::os::path("/lib/version"), empty));
  EXPECT_EQ(empty, "");
}
