// The per-frame path allocates nothing: every allocation call of this program is counted (malloc,
// calloc and realloc are interposed, operator new ends there too) while frames go through the FLV
// containers to a file, to reading TCP peers, to a peer that does not read (backlog in steady
// state) and to the live-view acceptor, video and audio.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "flv_test_support.h"
#include "kavo/encoder/flvcontainer.h"
#include "kavo/test/alloc_count.h"
#include "kavo/test/loopback.h"
#include "kavo/utils/clock.h"

namespace {

using flvtest::Frame;
using kavo::encoder::FLVContainer;
using kavo::ipc::messages::AVSerializer;
using kavo::variant::Variant;
using kavo::variant::VariantType;

// Reads a socket until it closes, into a fixed buffer.
void readAll(int fd, std::atomic<long>* total) {
  static thread_local uint8_t buffer[1 << 16];
  for (;;) {
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    *total += n;
  }
}

class FlvAllocTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!kavo::test::allocationsCounted()) GTEST_SKIP() << "allocations are not counted under the address sanitizer";
    flvtest::ignoreSigpipe();
    frames = flvtest::loadFrames("flv_320x240.frames");
    adts.assign(200, 0x21);
    adts[0] = 0xFF;
    adts[1] = 0xF1;
    adts[2] = 0x50 | (10 << 2);  // LC, 11025 Hz
    adts[3] = 0x40;
    std::memset(&audio, 0, sizeof(audio));
    audio.config.output_buffer = adts.data();
    audio.config.output_bits = static_cast<uint32_t>(adts.size() * 8);
    audio.sampleRate = 11025;
  }

  // Frames i0..i1 (looped over the fixture) with audio between them; pts keep rising.
  void feed(FLVContainer& c, int i0, int i1) {
    for (int i = i0; i < i1; i++) {
      Frame& f = frames[static_cast<size_t>(i) % frames.size()];
      f.pts = static_cast<uint64_t>(i) * 33333333u;
      unsigned char level;
      c.WriteVideoFrame(&ring.next(f), level);
      audio.sampleCount = static_cast<int64_t>(i) * 367;
      c.WriteAudioFrame(&audio, level);
    }
  }

  long counted(FLVContainer& c, int i0, int i1) {
    return kavo::test::allocationsOf([&] { feed(c, i0, i1); });
  }

  static AVSerializer serializer(const std::vector<std::string>& destinations) {
    AVSerializer s;
    s.type("flv");
    s.streamName("cam");
    Variant list(VariantType::Array);
    for (const auto& d : destinations) list[-1] = d;
    s.destinations(list);
    return s;
  }

  kavo::test::TestRoot root;
  std::vector<Frame> frames;
  flvtest::Ring ring{1 << 20};
  std::vector<uint8_t> adts;
  kavo::encoder::audio_frame_t audio;
};

TEST_F(FlvAllocTest, CounterSeesAllocations) {
  EXPECT_GE(kavo::test::allocationsOf([] {
              std::vector<char> probe(100);
              probe[5] = 1;
            }),
            1);
}

TEST_F(FlvAllocTest, FileAndReadingPeersTakeFramesWithoutAllocation) {
  kavo::test::LoopbackListener p1, p2;
  FLVContainer c(nullptr);
  AVSerializer s = serializer({"file:///tmp/a.flv", "tcp://127.0.0.1:" + std::to_string(p1.port),
                               "tcp://127.0.0.1:" + std::to_string(p2.port)});
  ASSERT_TRUE(c.Open(s, flvtest::streamInfo("", 0)));
  std::atomic<long> got1{0}, got2{0};
  int i = 0;
  for (int tries = 0; tries < 5 && !(c.GetDestination(1)->IsConnected() && c.GetDestination(2)->IsConnected());
       tries++) {
    feed(c, i, i + 1);
    i++;
    kavo::utils::advanceMomentsForTest(1000);
  }
  kavo::utils::resetMomentsForTest();
  ASSERT_TRUE(c.GetDestination(1)->IsConnected() && c.GetDestination(2)->IsConnected());
  const int a = p1.accept();
  const int b = p2.accept();
  std::thread r1(readAll, a, &got1), r2(readAll, b, &got2);
  feed(c, i, 60);  // warm up: the first key frame and its sequence headers
  EXPECT_EQ(counted(c, 60, 200), 0);  // key frames (with clock sync) and inter frames
  c.Close();
  r1.join();
  r2.join();
  close(a);
  close(b);
  EXPECT_GT(got1.load(), 100000);
  EXPECT_EQ(got1.load(), got2.load());
}

TEST_F(FlvAllocTest, BacklogOfAPeerThatDoesNotReadReachesASteadyState) {
  FLVContainer c(nullptr);
  AVSerializer s = serializer({"file:///dev/null"});
  ASSERT_TRUE(c.Open(s, flvtest::streamInfo("", 0)));
  unsigned short port = 0;
  ASSERT_TRUE(c.ActivateAcceptor(port));
  const int viewer = kavo::test::connectLoopback(port, true, 4096);
  ASSERT_GE(viewer, 0);
  // Large frames fill the 4 MiB quickly; the viewer then reads in bursts.
  for (auto& f : frames) f.bytes.resize(f.bytes.size() + 30000, 0x5A);
  feed(c, 0, 400);
  EXPECT_GT(c.GetDestination(0)->GetBacklogSize(), 3u << 20);
  std::vector<uint8_t> sink(1 << 16);
  long total = 0;
  for (int round = 0; round < 5; round++) {
    for (int k = 0; k < 8; k++) total += std::max<ssize_t>(0, recv(viewer, sink.data(), sink.size(), MSG_DONTWAIT));
    if (round >= 2) {
      EXPECT_EQ(counted(c, 400 + round * 50, 450 + round * 50), 0) << round;
    } else {
      feed(c, 400 + round * 50, 450 + round * 50);
    }
    EXPECT_LT(c.GetDestination(0)->GetBacklogSize(), (4u << 20) + 70000u);
  }
  EXPECT_GT(total, 0);
  close(viewer);
}

}  // namespace
