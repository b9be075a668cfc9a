// The per-frame path of the video side allocates nothing: every allocation call of this program is
// counted (malloc, calloc and realloc are interposed; operator new ends there too) while frames are
// read from the simulated DSP in replay mode and handed to FLV and MJPEG containers writing files.
#include <gtest/gtest.h>

#include <cstdlib>

#include "kavo/encoder/encoder.h"
#include "kavo/encoder/videoencoder.h"
#include "kavo/test/alloc_count.h"
#include "video_test_support.h"


namespace {

using namespace videotest;
using kavo::test::allocationsOf;

class VideoAlloc : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!kavo::test::allocationsCounted()) GTEST_SKIP() << "allocations are not counted under the address sanitizer";
    kavo::sim::iav::resetState();
    simConfig(root, {{"mode", "replay"}, {"journalFrames", false}});
    root.mkdirs("/var/media");
  }
  void TearDown() override { kavo::sim::iav::resetState(); }
  kavo::test::TestRoot root;
};

TEST_F(VideoAlloc, CountingWorks) {
  EXPECT_GT(allocationsOf([] {
              void* (*volatile allocate)(size_t) = std::malloc;  // not elided
              std::free(allocate(16));
            }),
            0);
}

TEST_F(VideoAlloc, GetFrameAllocatesNothing) {
  EncoderSettings settings = settingsOf(threeStreams());
  VideoEncoder encoder(settings, nullptr);
  ASSERT_TRUE(encoder.Open());
  ASSERT_TRUE(encoder.StartEncode());
  int frames = 0;
  for (int i = 0; i < 200; ++i) frames += encoder.GetFrame() != nullptr;  // replay loops coded, maps built
  ASSERT_EQ(frames, 200);
  frames = 0;
  EXPECT_EQ(allocationsOf([&] {
              for (int i = 0; i < 3000; ++i) frames += encoder.GetFrame() != nullptr;
            }),
            0);
  EXPECT_EQ(frames, 3000);
}

TEST_F(VideoAlloc, EncodeFramesAllocatesNothing) {
  json doc = threeStreams();
  doc["video"]["video1"]["avSerializer"] = {{"type", "flv"}, {"streamName", "a"},
                                            {"destinations", {"file:///var/media/a.flv"}}};
  doc["video"]["video2"]["avSerializer"] = {{"type", "flv"}, {"streamName", "b"},
                                            {"destinations", {"file:///var/media/b.flv"}}};
  doc["video"]["mjpg"]["avSerializer"] = {{"type", "mjpg"}, {"destinations", {"file:///var/media/p.jpg"}}};
  EncoderSettings settings = settingsOf(doc);
  kavo::encoder::Encoder encoder;
  ASSERT_TRUE(encoder.Open(settings));
  ASSERT_TRUE(encoder.StartEncode());
  // Past the first adaptation step (300 calls at level 0), which adds each stream's current rate.
  for (int i = 0; i < 400; ++i) encoder.EncodeFrames();
  EXPECT_EQ(allocationsOf([&] {
              for (int i = 0; i < 3000; ++i) encoder.EncodeFrames();
            }),
            0);
}

}  // namespace
