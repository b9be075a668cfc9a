#include "kavo/logger/logger.h"

#include <gtest/gtest.h>
#include <cerrno>

TEST(Logger, CaptureSeesEveryLevelAndKeepsErrno) {
  kavo::logger::LogCapture cap;
  errno = EINTR;
  logInternal("kavo_test", "/a/b/src/x.cpp", "Fn", 12, LOG_LEVEL_DEBUG, ENOENT, 0, "value %d of `%s`", 7, "k");
  EXPECT_EQ(errno, EINTR);
  ASSERT_EQ(cap.records().size(), 1u);
  const auto r = cap.records()[0];
  EXPECT_EQ(r.module, "kavo_test");
  EXPECT_EQ(r.file, "x.cpp");
  EXPECT_EQ(r.function, "Fn");
  EXPECT_EQ(r.level, 7);
  EXPECT_EQ(r.err, ENOENT);
  EXPECT_TRUE(cap.has("value 7 of `k`", 7));
  EXPECT_FALSE(cap.has("value 7 of `k`", 3));
  EXPECT_TRUE(cap.contains("of `k`"));
}

TEST(Logger, NestedCapturesRestoreTheOuterSink) {
  kavo::logger::LogCapture outer;
  {
    kavo::logger::LogCapture inner;
    logInternal("m", "f", "g", 1, 3, 0, 0, "inner");
    EXPECT_TRUE(inner.has("inner"));
  }
  logInternal("m", "f", "g", 1, 3, 0, 0, "outer");
  EXPECT_TRUE(outer.has("outer"));
  EXPECT_FALSE(outer.has("inner"));
}

// A run without a syslog daemon must not look for its socket on every record.
TEST(Logger, RecordsLookForTheSyslogSocketOnlyNowAndThen) {
  const size_t before = kavo::logger::syslogLookupsForTest();
  for (int i = 0; i < 100; ++i) logInternal("kavo_test", "f", "g", 1, LOG_LEVEL_ERROR, 0, 0, "record %d", i);
  EXPECT_LE(kavo::logger::syslogLookupsForTest() - before, 1u);
}
