// The containers: the factory, destination lists, the stream name, the fan-out and its
// congestion level, the live-view acceptor, timestamps, and MJPEG pictures written whole.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <atomic>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "flv_test_support.h"
#include "kavo/encoder/basecontainer.h"
#include "kavo/encoder/flvcontainer.h"
#include "kavo/encoder/mjpgcontainer.h"
#include "kavo/logger/logger.h"
#include "kavo/test/loopback.h"
#include "kavo/utils/clock.h"

using flvtest::Bytes;
using flvtest::Frame;
using flvtest::Ring;
using kavo::encoder::BaseContainer;
using kavo::encoder::BaseDestiantion;
using kavo::encoder::CONTAINER_FLV;
using kavo::encoder::CONTAINER_MJPG;
using kavo::encoder::FLVContainer;
using kavo::encoder::MJPGContainer;
using kavo::ipc::messages::AVSerializer;
using kavo::logger::LogCapture;
using kavo::variant::Variant;
using kavo::variant::VariantType;

namespace {

AVSerializer serializer(const std::string& type, const std::vector<Variant>& destinations,
                        const std::string& name = "cam") {
  AVSerializer s;
  s.type(type);
  s.streamName(name);
  Variant list(VariantType::Array);
  for (const Variant& d : destinations) list[-1] = d;
  s.destinations(list);
  return s;
}

class ContainerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    flvtest::ignoreSigpipe();
    frames = flvtest::loadFrames("flv_320x240.frames");
    info = flvtest::streamInfo("", 2);
  }
  kavo::test::TestRoot root;
  std::vector<Frame> frames;
  kavo::encoder::StreamInfo info;
  Ring ring{1 << 20};
};

TEST_F(ContainerTest, FactoryBuildsByTypeAndRefusesWhatItCannotOpen) {
  LogCapture log;
  struct {
    const char* type;
    std::vector<Variant> destinations;
    bool made;
    const char* message;
  } cases[] = {
      {"flv", {"file:///tmp/a.flv"}, true, nullptr},
      {"FLV", {"file:///tmp/a.flv"}, true, nullptr},
      {"mjpg", {"file:///tmp/a.jpg"}, true, nullptr},
      {"rtmp", {"file:///tmp/a.flv"}, false, "Invalid container type: rtmp"},
      {"unknown", {"file:///tmp/a.flv"}, false, "Invalid container type: unknown"},
      {"flv", {}, false, "Unable to initialize container:\n"},
      {"mjpg", {}, false, "Unable to initialize container:\n"},
  };
  for (auto& c : cases) {
    log.clear();
    AVSerializer s = serializer(c.type, c.destinations);
    std::unique_ptr<BaseContainer> made(BaseContainer::GetInstance(s, info, nullptr));
    EXPECT_EQ(made != nullptr, c.made) << c.type;
    if (made) {
      EXPECT_EQ(made->GetType(), std::string(c.type) == "mjpg" ? CONTAINER_MJPG : CONTAINER_FLV);
      EXPECT_TRUE(made->IsActive());
    }
    if (c.message) {
      EXPECT_TRUE(log.contains(c.message)) << c.type << "\n" << log.dump();
    }
  }
}

TEST_F(ContainerTest, FlvDestinationListsAndTheirOutcomes) {
  struct {
    std::vector<Variant> destinations;
    bool opened;
    bool active;
    uint32_t count;
    const char* message;
  } cases[] = {
      {{"file:///dev/null"}, true, false, 0, nullptr},
      {{"file:///dev/null", "tcp://127.0.0.1:9"}, true, true, 1,
       "destination node containing /dev/null and other entries as well"},
      {{"file:///dev/null", "file:///dev/null"}, false, true, 0, nullptr},
      {{"file:///tmp/a.flv", "rtmp://host/app/s"}, false, true, 1, "Invalid destination: rtmp://host/app/s"},
      {{"file:///tmp/a.flv", Variant(5)}, false, true, 1, "Invalid destination: 5"},
      {{"file:///tmp/a.flv", "tcp://127.0.0.1"}, false, true, 1, "Invalid destination: tcp://127.0.0.1"},
      {{"file:///tmp/1.flv", "file:///tmp/2.flv", "tcp://127.0.0.1:9", "file:///tmp/4.flv", "file:///tmp/5.flv"},
       true, true, 3, "Too many destinations"},
  };
  for (auto& c : cases) {
    LogCapture log;
    FLVContainer container(nullptr);
    AVSerializer s = serializer("flv", c.destinations);
    EXPECT_EQ(container.Open(s, info), c.opened) << s.ToString();
    EXPECT_EQ(container.IsActive(), c.active);
    EXPECT_EQ(container.GetDestinationCount(), c.count);
    if (c.message) {
      EXPECT_TRUE(log.contains(c.message)) << log.dump();
    }
    if (c.count == 3) {
      EXPECT_EQ(log.count("Too many destinations"), 1u);  // once per list
    }
    // Writes are accepted whatever the list, with congestion 0 from an inactive container.
    unsigned char level = 0xEE;
    EXPECT_TRUE(container.WriteVideoFrame(&ring.next(frames[0]), level));
    if (!c.active) {
      EXPECT_EQ(level, 0);
    }
  }
  // The destinations of the last case got their own URIs.
  FLVContainer container(nullptr);
  AVSerializer s = serializer("flv", {"file:///tmp/1.flv", "file:///tmp/2.flv"});
  ASSERT_TRUE(container.Open(s, info));
  unsigned char level;
  container.WriteVideoFrame(&ring.next(frames[0]), level);
  EXPECT_NE(root.read("/tmp/1.flv").find("file:///tmp/1.flv"), std::string::npos);
  EXPECT_NE(root.read("/tmp/2.flv").find("file:///tmp/2.flv"), std::string::npos);
  EXPECT_EQ(root.read("/tmp/1.flv").size(), root.read("/tmp/2.flv").size());
}

TEST_F(ContainerTest, BlankStreamNameIsMadeFromTheHardwareAddressAndChannel) {
  root.write("/etc/board.info", "board.sysid=18\nboard.hwaddr=02AB34cd56EF\n");
  root.write("/proc/sys/kernel/hostname", "cam\n");
  root.write("/proc/uptime", "10.0 5.0\n");
  root.write("/lib/version", "XX.x5s.v3.2.1.7.abc123.150101.1200\n");
  FLVContainer container(nullptr);
  AVSerializer s = serializer("flv", {"file:///tmp/a.flv"}, "   ");
  ASSERT_TRUE(container.Open(s, info));
  kavo::encoder::StreamInfo kept = container.GetStreamInfo();
  EXPECT_EQ(kept["streamName"].AsString(), "02AB34cd56EF_2");

  FLVContainer trimmed(nullptr);
  AVSerializer t = serializer("flv", {"file:///tmp/a.flv"}, "  front door \t");
  ASSERT_TRUE(trimmed.Open(t, info));
  kept = trimmed.GetStreamInfo();
  EXPECT_EQ(kept["streamName"].AsString(), "front door");

  std::remove(root.path("/etc/board.info").c_str());
  LogCapture log;
  FLVContainer none(nullptr);
  AVSerializer u = serializer("flv", {"file:///tmp/a.flv"}, "");
  EXPECT_FALSE(none.Open(u, info));
  EXPECT_TRUE(log.has("Unable to initialize camera information", LOG_LEVEL_ERROR));
}

TEST_F(ContainerTest, TimestampsInMillisecondsDoNotOverflow) {
  const uint64_t max = std::numeric_limits<uint64_t>::max();
  EXPECT_EQ(FLVContainer::VideoTimestamp(0), 0);
  EXPECT_EQ(FLVContainer::VideoTimestamp(499999), 0);
  EXPECT_EQ(FLVContainer::VideoTimestamp(500000), 1);
  EXPECT_EQ(FLVContainer::VideoTimestamp(33366667), 33);
  // pts x 1000 would wrap from here on.
  EXPECT_EQ(FLVContainer::VideoTimestamp(max / 1000 + 1), static_cast<int64_t>((max / 1000 + 1 + 500000) / 1000000));
  EXPECT_EQ(FLVContainer::VideoTimestamp(max), 18446744073710);
  EXPECT_EQ(FLVContainer::VideoTimestamp(max - 51616), 18446744073709);

  kavo::encoder::audio_frame_t a;
  std::memset(&a, 0, sizeof(a));
  a.timeBase = 5000;
  a.sampleRate = 11025;
  a.sampleCount = 0;
  EXPECT_EQ(FLVContainer::AudioTimestamp(a), 5000);
  a.sampleCount = 1024;
  EXPECT_EQ(FLVContainer::AudioTimestamp(a), 5093);  // 92.88 ms
  a.sampleCount = 119 * 1024;
  EXPECT_EQ(FLVContainer::AudioTimestamp(a), 5000 + (119 * 1024 * 1000 + 5512) / 11025);
  a.sampleRate = 48000;
  a.sampleCount = 24;
  EXPECT_EQ(FLVContainer::AudioTimestamp(a), 5001);  // 0.5 ms rounds up
}

TEST_F(ContainerTest, AudioWithoutSampleRateIsRefused) {
  LogCapture log;
  FLVContainer container(nullptr);
  AVSerializer s = serializer("flv", {"file:///tmp/a.flv"});
  ASSERT_TRUE(container.Open(s, info));
  kavo::encoder::audio_frame_t a;
  std::memset(&a, 0, sizeof(a));
  unsigned char level = 0xEE;
  EXPECT_TRUE(container.WriteAudioFrame(&a, level));
  EXPECT_EQ(level, 0);
  EXPECT_TRUE(log.has("Audio frame without a sample rate refused", LOG_LEVEL_ERROR));
}

// A slow TCP peer in the first slot and a file in the last: the level is the peer's.
TEST_F(ContainerTest, CongestionIsTheHighestOverTheDestinations) {
  kavo::test::LoopbackListener listener;
  FLVContainer container(nullptr);
  AVSerializer s =
      serializer("flv", {"tcp://127.0.0.1:" + std::to_string(listener.port), "file:///tmp/b.flv"});
  ASSERT_TRUE(container.Open(s, info));
  EXPECT_FALSE(container.IsNetworkActive());
  unsigned char level = 0;
  for (int i = 0; i < 3 && !container.GetDestination(0)->IsConnected(); i++) {
    container.WriteVideoFrame(&ring.next(frames[i]), level);
    kavo::utils::advanceMomentsForTest(1000);
  }
  kavo::utils::resetMomentsForTest();
  ASSERT_TRUE(container.GetDestination(0)->IsConnected());
  EXPECT_TRUE(container.IsNetworkActive());
  const int peer = listener.accept();  // and never reads
  ASSERT_GE(peer, 0);
  // Big frames fill the socket fast: the key frame over and over (key frames are never dropped
  // for want of a reference).
  Frame big = frames[0];
  big.bytes.resize(60000, 0x5A);
  unsigned max = 0;
  for (int i = 0; i < 200; i++) {
    big.pts = frames[0].pts + static_cast<uint64_t>(i) * 33333333u;
    container.WriteVideoFrame(&ring.next(big), level);
    EXPECT_EQ(level, BaseDestiantion::CongestionOf(container.GetDestination(0)->GetBacklogSize()));
    if (level > max) max = level;
  }
  EXPECT_EQ(max, 100u);
  close(peer);
}

TEST_F(ContainerTest, LiveViewAcceptorTakesAFreeSlotAndReportsItsPort) {
  FLVContainer container(nullptr);
  AVSerializer off = serializer("flv", {"file:///dev/null"});
  ASSERT_TRUE(container.Open(off, info));
  EXPECT_FALSE(container.IsActive());
  unsigned short port = 1;
  ASSERT_TRUE(container.ActivateAcceptor(port));
  EXPECT_NE(port, 0);
  EXPECT_TRUE(container.IsActive());
  EXPECT_EQ(container.GetDestinationCount(), 1u);
  unsigned short again = 0;
  EXPECT_TRUE(container.ActivateAcceptor(again));
  EXPECT_EQ(again, port);
  EXPECT_FALSE(container.IsNetworkActive());

  const int viewer = kavo::test::connectLoopback(port);
  ASSERT_GE(viewer, 0);
  unsigned char level = 0xEE;
  container.WriteVideoFrame(&ring.next(frames[0]), level);
  EXPECT_EQ(level, 0);
  EXPECT_TRUE(container.IsNetworkActive());
  EXPECT_FALSE(container.ActivateAcceptor(again));
  EXPECT_EQ(again, 0);
  close(viewer);

  // An update keeps the acceptor while the stream is on and has room; a list that fills every
  // slot, or switches the stream off, closes it.
  kavo::encoder::FLVDestiantion* acceptor = container.GetAcceptor();
  AVSerializer next = serializer("flv", {"file:///tmp/c.flv"});
  ASSERT_TRUE(container.UpdateSettings(next, info));
  EXPECT_EQ(container.GetAcceptor(), acceptor);
  EXPECT_EQ(container.GetDestinationCount(), 2u);
  EXPECT_EQ(container.GetDestination(1), acceptor);
  AVSerializer full = serializer("flv", {"file:///tmp/c.flv", "file:///tmp/d.flv", "file:///tmp/e.flv"});
  ASSERT_TRUE(container.UpdateSettings(full, info));
  EXPECT_EQ(container.GetAcceptor(), nullptr);
  EXPECT_EQ(container.GetDestinationCount(), 3u);
  AVSerializer one = serializer("flv", {"file:///tmp/c.flv"});
  ASSERT_TRUE(container.UpdateSettings(one, info));
  ASSERT_TRUE(container.ActivateAcceptor(port));
  AVSerializer switchedOff = serializer("flv", {"file:///dev/null"});
  ASSERT_TRUE(container.UpdateSettings(switchedOff, info));
  EXPECT_EQ(container.GetAcceptor(), nullptr);
  EXPECT_EQ(container.GetDestinationCount(), 0u);
}

// A destination named again goes on with its file or connection; only the others change.
TEST_F(ContainerTest, AnUpdateKeepsTheDestinationsItNamesAgain) {
  FLVContainer container(nullptr);
  AVSerializer first = serializer("flv", {"file:///tmp/a.flv", "file:///tmp/b.flv"});
  ASSERT_TRUE(container.Open(first, info));
  kavo::encoder::FLVDestiantion* b = container.GetDestination(1);
  AVSerializer second = serializer("flv", {"file:///tmp/b.flv", "file:///tmp/c.flv"});
  ASSERT_TRUE(container.UpdateSettings(second, info));
  ASSERT_EQ(container.GetDestinationCount(), 2u);
  EXPECT_EQ(container.GetDestination(0), b);
  EXPECT_EQ(container.GetDestination(1)->GetUri(), "file:///tmp/c.flv");
}

TEST_F(ContainerTest, AcceptorIsRefusedWhenTheSlotsAreFull) {
  LogCapture log;
  FLVContainer container(nullptr);
  AVSerializer s = serializer("flv", {"file:///tmp/1.flv", "file:///tmp/2.flv", "file:///tmp/3.flv"});
  ASSERT_TRUE(container.Open(s, info));
  unsigned short port = 7;
  EXPECT_FALSE(container.ActivateAcceptor(port));
  EXPECT_EQ(port, 0);
  EXPECT_TRUE(log.has("Too many destinations", LOG_LEVEL_ERROR));
}

TEST_F(ContainerTest, ClosingDeletesTheDestinationsAndReportsThem) {
  flvtest::AvClient avclient;
  ASSERT_TRUE(avclient.started());
  {
    FLVContainer container(nullptr);
    AVSerializer s = serializer("flv", {"file:///tmp/1.flv", "tcp://127.0.0.1:9"});
    ASSERT_TRUE(container.Open(s, info));
  }
  avclient.pump(2, 500);
  // Nothing ran: both were deleted from UNINITIALIZED.
  ASSERT_EQ(avclient.events.size(), 2u);
  for (const auto& e : avclient.events) {
    EXPECT_EQ(e.current, "UNINITIALIZED");
    EXPECT_EQ(e.channel, 2u);
  }
}

TEST_F(ContainerTest, SignalCodecsChangedReachesEveryDestination) {
  FLVContainer container(nullptr);
  AVSerializer s = serializer("flv", {"file:///tmp/1.flv", "file:///tmp/2.flv"});
  ASSERT_TRUE(container.Open(s, info));
  unsigned char level;
  container.WriteVideoFrame(&ring.next(frames[0]), level);
  EXPECT_EQ(container.GetDestination(0)->GetCodecCheckCount(), 0u);
  EXPECT_TRUE(container.SignalCodecsChanged());
  EXPECT_EQ(container.GetDestination(0)->GetCodecCheckCount(), 10u);
  EXPECT_EQ(container.GetDestination(1)->GetCodecCheckCount(), 10u);
}

// ---- MJPEG ------------------------------------------------------------------------------------

Bytes makeJpeg(int width, int height, int seed) {
  std::vector<uint8_t> rgb(static_cast<size_t>(width * height * 3));
  for (size_t i = 0; i < rgb.size(); i++) rgb[i] = static_cast<uint8_t>((i * 31 + static_cast<size_t>(seed) * 97) ^ (i >> 7));
  tjhandle tj = tjInitCompress();
  unsigned char* out = nullptr;
  unsigned long size = 0;
  tjCompress2(tj, rgb.data(), width, 0, height, TJPF_RGB, &out, &size, TJSAMP_420, 80, 0);
  Bytes jpeg(out, out + size);
  tjFree(out);
  tjDestroy(tj);
  return jpeg;
}

bool decodes(const Bytes& jpeg, int width, int height) {
  if (jpeg.size() < 4) return false;
  tjhandle tj = tjInitDecompress();
  int w = 0, h = 0, sub = 0, space = 0;
  bool ok = tjDecompressHeader3(tj, jpeg.data(), jpeg.size(), &w, &h, &sub, &space) == 0 && w == width && h == height;
  std::vector<uint8_t> pixels(static_cast<size_t>(width * height * 3));
  ok = ok && tjDecompress2(tj, jpeg.data(), jpeg.size(), pixels.data(), width, 0, height, TJPF_RGB, 0) == 0;
  tjDestroy(tj);
  return ok;
}

TEST_F(ContainerTest, MjpegDestinationsAreFilesOnly) {
  LogCapture log;
  MJPGContainer container(nullptr);
  AVSerializer s = serializer("mjpg", {"file:///tmp/a.jpg", "tcp://127.0.0.1:80", Variant(true),
                                       "file:///dev/null", "file:///tmp/b.jpg"});
  ASSERT_TRUE(container.Open(s, info));
  EXPECT_TRUE(log.has("FLV doesn't support schema tcp://", LOG_LEVEL_ERROR));
  EXPECT_TRUE(log.has("Invalid destination detected: tcp://127.0.0.1:80", LOG_LEVEL_WARNING));
  EXPECT_TRUE(log.has("Invalid destination: true", LOG_LEVEL_ERROR));
  EXPECT_TRUE(log.has("destination node containing /dev/null and other entries as well", LOG_LEVEL_WARNING));
  ASSERT_EQ(container.GetFiles().size(), 2u);
  EXPECT_EQ(container.GetFiles()[0], (std::pair<std::string, std::string>{"/tmp/a.jpg", "/tmp/a.jpg.tmp"}));

  const Bytes jpeg = makeJpeg(64, 48, 1);
  unsigned char level = 0xEE;
  EXPECT_TRUE(container.WriteVideoFrame(&ring.next(Frame{jpeg, 5, 0}), level));
  EXPECT_EQ(level, 0);
  EXPECT_EQ(root.read("/tmp/a.jpg"), std::string(jpeg.begin(), jpeg.end()));
  EXPECT_EQ(root.read("/tmp/b.jpg"), std::string(jpeg.begin(), jpeg.end()));
  EXPECT_FALSE(container.IsNetworkActive());
  kavo::encoder::audio_frame_t audio{};
  level = 0xEE;
  EXPECT_TRUE(container.WriteAudioFrame(&audio, level));
  EXPECT_EQ(level, 0);

  // The same list again keeps one pair per destination.
  ASSERT_TRUE(container.UpdateSettings(s, info));
  EXPECT_EQ(container.GetFiles().size(), 2u);
  // As many files as an FLV stream has destinations, at most.
  AVSerializer many = serializer("mjpg", {"file:///tmp/1.jpg", "file:///tmp/2.jpg", "tcp://127.0.0.1:9",
                                          "file:///tmp/3.jpg", "file:///tmp/4.jpg", "file:///tmp/5.jpg"});
  ASSERT_TRUE(container.UpdateSettings(many, info));
  EXPECT_EQ(container.GetFiles().size(), 3u);
  EXPECT_EQ(container.GetFiles()[2].first, "/tmp/3.jpg");
  EXPECT_EQ(log.count("Too many destinations"), 1u);

  AVSerializer off = serializer("mjpg", {"file:///dev/null"});
  ASSERT_TRUE(container.Open(off, info));
  EXPECT_FALSE(container.IsActive());
  AVSerializer empty = serializer("mjpg", {});
  EXPECT_FALSE(container.Open(empty, info));
}

TEST_F(ContainerTest, MjpegWriteFailureOfOneFileSparesTheOthers) {
  LogCapture log;
  MJPGContainer container(nullptr);
  AVSerializer s = serializer("mjpg", {"file:///no/folder/a.jpg", "file:///tmp/b.jpg"});
  ASSERT_TRUE(container.Open(s, info));
  const Bytes jpeg = makeJpeg(32, 32, 2);
  unsigned char level;
  container.WriteVideoFrame(&ring.next(Frame{jpeg, 5, 0}), level);
  EXPECT_TRUE(log.has("Unable to produce mjpg: `/no/folder/a.jpg.tmp` -> `/no/folder/a.jpg`", LOG_LEVEL_WARNING));
  EXPECT_EQ(root.read("/tmp/b.jpg").size(), jpeg.size());
}

// A reader polling the picture file while pictures (some wrapping the ring's end) are written
// never sees a partial picture.
TEST_F(ContainerTest, MjpegReaderNeverSeesAPartialPicture) {
  MJPGContainer container(nullptr);
  AVSerializer s = serializer("mjpg", {"file:///tmp/live.jpg"});
  ASSERT_TRUE(container.Open(s, info));
  std::vector<Bytes> pictures;
  for (int i = 0; i < 4; i++) pictures.push_back(makeJpeg(160, 120, i));
  Ring small(64 * 1024);
  unsigned char level;
  container.WriteVideoFrame(&small.next(Frame{pictures[0], 5, 0}), level);

  std::atomic<bool> stop{false};
  std::atomic<int> reads{0}, bad{0};
  const std::string path = root.path("/tmp/live.jpg");
  std::thread reader([&] {
    while (!stop) {
      const Bytes got = flvtest::readFile(path);
      reads++;
      if (!decodes(got, 160, 120)) bad++;
    }
  });
  int wrapped = 0;
  for (int i = 0; i < 300; i++) {
    const auto& f = small.next(Frame{pictures[static_cast<size_t>(i) % pictures.size()], 5, 0});
    if (f.secondPieceSize() != 0) wrapped++;
    container.WriteVideoFrame(&f, level);
  }
  stop = true;
  reader.join();
  EXPECT_GT(wrapped, 0);
  EXPECT_GT(reads.load(), 10);
  EXPECT_EQ(bad.load(), 0);
  EXPECT_TRUE(decodes(flvtest::readFile(path), 160, 120));
}

TEST_F(ContainerTest, MjpegPictureThatWrapsIsWrittenWhole) {
  MJPGContainer container(nullptr);
  AVSerializer s = serializer("mjpg", {"file:///tmp/w.jpg"});
  ASSERT_TRUE(container.Open(s, info));
  const Bytes jpeg = makeJpeg(100, 80, 3);
  Ring small(16384);
  unsigned char level;
  for (uint32_t offset : {16384u - 100u, 16384u - static_cast<uint32_t>(jpeg.size()), 0u, 16383u}) {
    const auto& f = small.place(Frame{jpeg, 5, 0}, offset);
    EXPECT_EQ(f.firstPieceSize() + f.secondPieceSize(), f.frameSize);
    container.WriteVideoFrame(&f, level);
    EXPECT_EQ(root.read("/tmp/w.jpg"), std::string(jpeg.begin(), jpeg.end())) << offset;
  }
}

}  // namespace
