#include "kavo/analytics/mdreader_iav.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "fake_dsp.h"
#include "kavo/logger/logger.h"
#include "kavo/utils/clock.h"

namespace {

using kavo::analytics::MD_READ_FATAL;
using kavo::analytics::MD_READ_OK;
using kavo::analytics::MdBuffer;
using kavo::analytics::MdContainer;
using kavo::analytics::MdReaderIAV;
using kavo::analytics::MdReadStatusCode;

uint8_t pattern(uint32_t x, uint32_t y) { return static_cast<uint8_t>(x * 3 + y * 7); }

// The reader's waits run on the test clock: its sleeps move the moments it measures them by.
class MdReaderIAVTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kavo::os::registerDevice("/dev/iav", &dsp);
    dsp.setPicture(0, 640, 368, 704, pattern, 255);
    dsp.setPicture(1, 320, 184, 384, pattern, 255);
    kavo::utils::setSleepsAdvanceMomentsForTest(true);
  }
  void TearDown() override {
    kavo::utils::setSleepsAdvanceMomentsForTest(false);
    kavo::utils::resetMomentsForTest();
    kavo::os::registerDevice("/dev/iav", nullptr);
  }

  kavo::test::FakeDsp dsp;
  kavo::logger::LogCapture log;
};

TEST_F(MdReaderIAVTest, ReadsEachBufferInPlaceWithItsPitch) {
  {
    MdReaderIAV reader({"1", "2"});
    ASSERT_TRUE(reader.init(1000)) << log.dump();
    MdContainer dims;
    ASSERT_TRUE(reader.dims(dims));
    ASSERT_EQ(dims.Get().size(), 2u);
    EXPECT_EQ(dims.Get()["1"].Width(), 640u);
    EXPECT_EQ(dims.Get()["1"].Height(), 368u);
    EXPECT_EQ(dims.Get()["1"].Pitch(), 704u);
    EXPECT_EQ(dims.Get()["1"].Data(), nullptr);
    EXPECT_EQ(dims.Get()["2"].Width(), 320u);

    MdContainer frame;
    frame.Get()["stale"] = MdBuffer();
    MdReadStatusCode status = MD_READ_FATAL;
    ASSERT_TRUE(reader.read(frame, status));
    EXPECT_EQ(status, MD_READ_OK);
    EXPECT_EQ(frame.Get().count("stale"), 0u);
    const MdBuffer& one = frame.Get()["1"];
    const MdBuffer& two = frame.Get()["2"];
    EXPECT_EQ(one.Pitch(), 704u);
    EXPECT_EQ(one.Data(), dsp.memory());  // no copy: the DSP's own memory
    EXPECT_EQ(two.Data(), dsp.memory() + dsp.memorySize() / 4);
    for (uint32_t y : {0u, 1u, 200u, 367u})
      for (uint32_t x : {0u, 1u, 639u}) ASSERT_EQ(one.Data()[y * one.Pitch() + x], pattern(x, y));
    EXPECT_EQ(one.Data()[640], 255);  // padding sits beyond the width
    EXPECT_GT(frame.SeqNum(), 0u);
    EXPECT_GT(frame.Timestamp(), 0u);
    const uint32_t firstSeq = frame.SeqNum();
    ASSERT_TRUE(reader.read(frame, status));
    EXPECT_GT(frame.SeqNum(), firstSeq);
    EXPECT_EQ(dsp.openDescriptors(), 1);
  }
  EXPECT_EQ(dsp.openDescriptors(), 0);
}

TEST_F(MdReaderIAVTest, NotReadyIsWaitedForAndReportedWithoutFault) {
  MdReaderIAV reader({"1"});
  dsp.setError(EAGAIN);
  const auto start = kavo::utils::moment();
  EXPECT_FALSE(reader.init(100));
  EXPECT_GE(kavo::utils::momentsDiffMs(start, kavo::utils::moment()), 100);
  EXPECT_TRUE(log.contains("No picture from the DSP within 100 ms", LOG_LEVEL_ERROR)) << log.dump();
  EXPECT_EQ(dsp.openDescriptors(), 0);

  dsp.setError(EPERM, 3);  // preview not started yet, then pictures
  ASSERT_TRUE(reader.init(5000)) << log.dump();
  EXPECT_GE(dsp.queries(0), 4);

  MdContainer frame;
  MdReadStatusCode status = MD_READ_FATAL;
  dsp.setError(EAGAIN, 1);
  EXPECT_FALSE(reader.read(frame, status));
  EXPECT_EQ(status, MD_READ_OK);
  EXPECT_TRUE(frame.Get().empty());
  EXPECT_TRUE(reader.read(frame, status));
  EXPECT_EQ(status, MD_READ_OK);
}

TEST_F(MdReaderIAVTest, FaultsEndTheReaderAtOnce) {
  // Buffer ids other than "1".."4" are refused before the device is touched.
  for (const char* bad : {"0", "5", "12"}) {
    MdReaderIAV reader({"1", bad});
    EXPECT_FALSE(reader.init(1000)) << bad;
  }
  EXPECT_EQ(dsp.queries(0), 0);

  MdReaderIAV reader({"1", "2"});
  MdContainer frame;
  MdReadStatusCode status = MD_READ_OK;
  EXPECT_FALSE(reader.dims(frame));
  EXPECT_FALSE(reader.read(frame, status));
  EXPECT_EQ(status, MD_READ_FATAL);

  dsp.failOpen(ENOENT);
  EXPECT_FALSE(reader.init(1000));
  dsp.failOpen(0);
  dsp.failMap(ENOMEM);
  EXPECT_FALSE(reader.init(1000));
  EXPECT_EQ(dsp.openDescriptors(), 0);
  dsp.failMap(0);

  // A fault during init does not wait out the time-out: one query, no poll.
  dsp.setError(EIO, 1);
  const int queried = dsp.queries(0);
  const auto start = kavo::utils::moment();
  EXPECT_FALSE(reader.init(10000));
  EXPECT_LT(kavo::utils::momentsDiffMs(start, kavo::utils::moment()), 10000);
  EXPECT_EQ(dsp.queries(0), queried + 1);
  EXPECT_EQ(dsp.openDescriptors(), 0);

  ASSERT_TRUE(reader.init(1000));
  dsp.setError(EIO, 1);
  EXPECT_FALSE(reader.read(frame, status));
  EXPECT_EQ(status, MD_READ_FATAL);

  // Answers that would send the reader outside the DSP memory are faults, not pictures.
  const uint32_t size = static_cast<uint32_t>(dsp.memorySize());
  struct Bad {
    uint32_t offset, width, height, pitch;
  } bad[] = {{size - 100, 64, 2, 64}, {size, 1, 1, 1}, {0, 640, 368, 600}, {0, 0, 368, 640}, {0, 640, 0, 640}};
  for (const Bad& b : bad) {
    dsp.setPlane(1, b.offset, b.width, b.height, b.pitch);
    status = MD_READ_OK;
    EXPECT_FALSE(reader.read(frame, status)) << b.offset << " " << b.width << "x" << b.height << "/" << b.pitch;
    EXPECT_EQ(status, MD_READ_FATAL);
  }
  EXPECT_TRUE(log.contains("outside the DSP memory", LOG_LEVEL_ERROR)) << log.dump();
  // The last row may end exactly at the end of the memory.
  dsp.setPlane(1, size - 64 - 128, 64, 2, 128);
  EXPECT_TRUE(reader.read(frame, status));
}

TEST_F(MdReaderIAVTest, DimensionChangeIsHandedOnForTheCallerToCompare) {
  MdReaderIAV reader({"1"});
  ASSERT_TRUE(reader.init(1000));
  MdContainer reference;
  ASSERT_TRUE(reader.dims(reference));
  MdContainer frame;
  MdReadStatusCode status = MD_READ_OK;
  ASSERT_TRUE(reader.read(frame, status));
  EXPECT_TRUE(frame.Get()["1"].compareDims(reference.Get()["1"]));

  dsp.setPicture(0, 640, 368, 640, pattern);  // another pitch alone is the same size
  ASSERT_TRUE(reader.read(frame, status));
  EXPECT_TRUE(frame.Get()["1"].compareDims(reference.Get()["1"]));

  dsp.setPicture(0, 320, 184, 320, pattern);
  ASSERT_TRUE(reader.read(frame, status));
  EXPECT_EQ(frame.Get()["1"].Width(), 320u);
  EXPECT_FALSE(frame.Get()["1"].compareDims(reference.Get()["1"]));
  EXPECT_EQ(reference.Get()["1"].Width(), 640u);  // the reference is a copy, not a view
}

}  // namespace
