// Reading a frame from the DSP allocates nothing once the caller's container holds the buffers.
#include <gtest/gtest.h>

#include "fake_dsp.h"
#include "kavo/analytics/mdreader_iav.h"
#include "kavo/test/alloc_count.h"

TEST(MdReaderIAVAllocations, ReadAllocatesNothing) {
  if (!kavo::test::allocationsCounted()) GTEST_SKIP() << "allocations are not counted in this build";
  kavo::test::FakeDsp dsp;
  dsp.setPicture(0, 640, 368, 704, [](uint32_t x, uint32_t y) { return static_cast<uint8_t>(x ^ y); });
  dsp.setPicture(1, 320, 184, 320, [](uint32_t x, uint32_t) { return static_cast<uint8_t>(x); });
  kavo::os::registerDevice("/dev/iav", &dsp);
  {
    kavo::analytics::MdReaderIAV reader({"1", "2"});
    ASSERT_TRUE(reader.init(1000));
    kavo::analytics::MdContainer frame;
    kavo::analytics::MdReadStatusCode status;
    ASSERT_TRUE(reader.read(frame, status));
    const long n = kavo::test::allocationsOf([&] {
      for (int i = 0; i < 100; ++i) ASSERT_TRUE(reader.read(frame, status));
    });
    EXPECT_EQ(n, 0);
  }
  kavo::os::registerDevice("/dev/iav", nullptr);
}
