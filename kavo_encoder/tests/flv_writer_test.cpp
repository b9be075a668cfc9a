// The FLV stream writer: golden bytes of the stream start, the clock-sync tag and the AVC decoder
// configuration record; the tag layout of frames (several slices, frames that wrap the ring);
// timestamps; codec changes; the AAC path with synthetic ADTS frames; reconnection.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "flv_test_support.h"
#include "kavo/encoder/flvcontainer.h"
#include "kavo/encoder/flvdestination.h"
#include "kavo/logger/logger.h"
#include "kavo/test/loopback.h"
#include "kavo/utils/clock.h"

using flvtest::Bytes;
using flvtest::Frame;
using flvtest::Ring;
using flvtest::Tag;
using kavo::encoder::audio_frame_t;
using kavo::encoder::BaseDestiantion;
using kavo::encoder::FLVContainer;
using kavo::encoder::FLVDestiantion;
using kavo::logger::LogCapture;

namespace {

// ---- independent AMF0 pieces for the golden bytes ------------------------------------------------
void amfKey(Bytes& out, const std::string& key) {
  out.push_back(static_cast<uint8_t>(key.size() >> 8));
  out.push_back(static_cast<uint8_t>(key.size()));
  out.insert(out.end(), key.begin(), key.end());
}
void amfString(Bytes& out, const std::string& text) {
  out.push_back(0x02);
  amfKey(out, text);
}
void amfNumber(Bytes& out, double d) {
  out.push_back(0x00);
  uint64_t bits;
  std::memcpy(&bits, &d, 8);
  for (int i = 7; i >= 0; i--) out.push_back(static_cast<uint8_t>(bits >> (8 * i)));
}
double beDouble(const uint8_t* p) {
  uint64_t bits = 0;
  for (int i = 0; i < 8; i++) bits = (bits << 8) | p[i];
  double d;
  std::memcpy(&d, &bits, 8);
  return d;
}

int64_t ms(uint64_t pts) { return FLVContainer::VideoTimestamp(pts); }

// A synthetic ADTS frame: `profile` is the ADTS profile field (1 = AAC LC).
Bytes adts(uint8_t profile, uint8_t index, uint8_t channels, size_t payload, bool crc = false) {
  const size_t header = crc ? 9 : 7;
  const size_t length = header + payload;
  Bytes f(length, 0);
  f[0] = 0xFF;
  f[1] = static_cast<uint8_t>(0xF0 | (crc ? 0 : 1));
  f[2] = static_cast<uint8_t>((profile << 6) | (index << 2) | (channels >> 2));
  f[3] = static_cast<uint8_t>(((channels & 3) << 6) | ((length >> 11) & 3));
  f[4] = static_cast<uint8_t>(length >> 3);
  f[5] = static_cast<uint8_t>(((length & 7) << 5) | 0x1F);
  f[6] = 0xFC;
  for (size_t i = header; i < length; i++) f[i] = static_cast<uint8_t>(i * 7 + 1);
  return f;
}

struct AudioFrame {
  explicit AudioFrame(Bytes frameBytes) : bytes(std::move(frameBytes)) {
    std::memset(&record, 0, sizeof(record));
    record.config.output_buffer = bytes.data();
    record.config.output_bits = static_cast<uint32_t>(bytes.size() * 8);
    record.sampleRate = 11025;
  }
  Bytes bytes;
  audio_frame_t record;
};

class FlvWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    flvtest::ignoreSigpipe();
    kavo::utils::resetMomentsForTest();
    frames = flvtest::loadFrames("flv_320x240.frames");
    ASSERT_EQ(frames.size(), 45u);
  }
  std::unique_ptr<FLVDestiantion> fileDestination(const std::string& name = "/tmp/out.flv") {
    return std::make_unique<FLVDestiantion>(flvtest::streamInfo("file://" + name), nullptr);
  }
  unsigned char writeVideo(FLVDestiantion& d, const kavo::encoder::video_frame_t& f) {
    unsigned char level = 0xEE;
    EXPECT_TRUE(d.WriteVideoFrame(&f, ms(f.desc.pts), level));
    return level;
  }
  flvtest::Flv readFlv(const std::string& name = "/tmp/out.flv") {
    const std::string text = root.read(name);
    return flvtest::parseFlv(Bytes(text.begin(), text.end()));
  }
  static Bytes spsOf(const Bytes& f) {
    const auto m = flvtest::nalMapOf(f);
    return Bytes(f.begin() + m.spsOffset + 4, f.begin() + m.spsOffset + m.spsLength);
  }
  static Bytes ppsOf(const Bytes& f) {
    const auto m = flvtest::nalMapOf(f);
    return Bytes(f.begin() + m.ppsOffset + 4, f.begin() + m.ppsOffset + m.ppsLength);
  }

  kavo::test::TestRoot root;
  std::vector<Frame> frames;
  Ring ring{1 << 20};
};

TEST_F(FlvWriterTest, StreamStartHasTheGoldenHeaderMetadataAndClockSyncTag) {
  auto d = fileDestination();
  unsigned char level = 0;
  d->Write(nullptr, 0, 0, level);  // connects: the stream start goes out
  ASSERT_TRUE(d->IsConnected());
  const std::string text = root.read("/tmp/out.flv");
  const Bytes s(text.begin(), text.end());

  const Bytes header = {0x46, 0x4C, 0x56, 0x01, 0x05, 0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00, 0x00};
  ASSERT_GE(s.size(), 13u);
  EXPECT_EQ(Bytes(s.begin(), s.begin() + 13), header);

  Bytes meta;
  amfString(meta, "onMetaData");
  meta.push_back(0x03);
  amfKey(meta, "audioBandwidth");
  amfNumber(meta, 0);
  amfKey(meta, "channelId");
  amfNumber(meta, 1);
  amfKey(meta, "feedStartTime");
  const size_t dateAt = meta.size();
  meta.push_back(0x0B);
  meta.insert(meta.end(), 10, 0);  // the date: compared apart
  amfKey(meta, "fps");
  amfNumber(meta, 30);
  amfKey(meta, "height");
  amfNumber(meta, 240);
  amfKey(meta, "streamName");
  amfString(meta, "cam_1");
  amfKey(meta, "uri");
  amfString(meta, "file:///tmp/out.flv");
  amfKey(meta, "videoBandwidth");
  amfNumber(meta, 300000);
  amfKey(meta, "width");
  amfNumber(meta, 320);
  meta.insert(meta.end(), {0x00, 0x00, 0x09});

  Bytes tag = {0x12, static_cast<uint8_t>(meta.size() >> 16), static_cast<uint8_t>(meta.size() >> 8),
               static_cast<uint8_t>(meta.size()), 0, 0, 0, 0, 0, 0, 0};
  tag.insert(tag.end(), meta.begin(), meta.end());
  const uint32_t previous = static_cast<uint32_t>(tag.size());
  for (int i = 3; i >= 0; i--) tag.push_back(static_cast<uint8_t>(previous >> (8 * i)));
  ASSERT_EQ(s.size(), 13 + tag.size());
  Bytes got(s.begin() + 13, s.end());
  const size_t dateInFile = 11 + dateAt;
  const double date = beDouble(&got[dateInFile + 1]);
  EXPECT_NEAR(date, static_cast<double>(kavo::utils::nowWallMs()), 10000.0);
  EXPECT_EQ(got[dateInFile + 9], 0);  // time zone
  EXPECT_EQ(got[dateInFile + 10], 0);
  std::fill(got.begin() + dateInFile + 1, got.begin() + dateInFile + 11, 0);
  EXPECT_EQ(got, tag);

  const Bytes sync = d->GetClockSyncTag();
  Bytes want = {0x12, 0x00, 0x00, 0x56, 0, 0, 0, 0, 0, 0, 0};
  amfString(want, "onClockSync");
  want.push_back(0x03);
  amfKey(want, "streamClock");
  amfNumber(want, 0);
  amfKey(want, "streamClockBase");
  amfNumber(want, 0);
  amfKey(want, "wallClock");
  amfNumber(want, 0);
  want.insert(want.end(), {0x00, 0x00, 0x09, 0x00, 0x00, 0x00, 0x61});
  EXPECT_EQ(sync, want);
  EXPECT_EQ(sync.size(), 101u);
}

TEST_F(FlvWriterTest, FileStreamCarriesSequenceHeaderKeyFramesClockSyncAndInterFrames) {
  const int64_t t0 = ms(frames[0].pts);
  {
    auto d = fileDestination();
    for (const Frame& f : frames) EXPECT_EQ(writeVideo(*d, ring.next(f)), 0);
  }
  const flvtest::Flv flv = readFlv();
  ASSERT_TRUE(flv.ok) << flv.error;
  EXPECT_EQ(flv.trailing, 0u);
  // onMetaData, sequence header, then per key frame: the frame and onClockSync.
  ASSERT_EQ(flv.tags.size(), 1 + 1 + frames.size() + 3);
  EXPECT_EQ(flv.tags[0].type, 0x12);

  const Tag& config = flv.tags[1];
  const Bytes sps = spsOf(frames[0].bytes);
  const Bytes pps = ppsOf(frames[0].bytes);
  Bytes record = {0x17, 0x00, 0, 0, 0, 0x01, sps[1], sps[2], sps[3], 0xFF, 0xE1, 0x00,
                  static_cast<uint8_t>(sps.size())};
  record.insert(record.end(), sps.begin(), sps.end());
  record.insert(record.end(), {0x01, 0x00, static_cast<uint8_t>(pps.size())});
  record.insert(record.end(), pps.begin(), pps.end());
  EXPECT_EQ(config.type, 9);
  EXPECT_EQ(config.timestamp, 0u);
  EXPECT_EQ(config.data, record);
  // The golden record of the fixture: Main profile, level 1.3.
  EXPECT_EQ(Bytes(record.begin() + 5, record.begin() + 13),
            (Bytes{0x01, 0x4D, 0x40, 0x0D, 0xFF, 0xE1, 0x00, 0x18}));

  size_t at = 2;
  for (size_t i = 0; i < frames.size(); i++) {
    ASSERT_LT(at, flv.tags.size());
    const Tag& t = flv.tags[at++];
    const bool key = frames[i].type == 1;
    EXPECT_EQ(t.type, 9) << i;
    EXPECT_EQ(t.data[0], key ? 0x17 : 0x27) << i;
    EXPECT_EQ(t.data[1], 0x01) << i;
    EXPECT_EQ(t.timestamp, static_cast<uint32_t>(ms(frames[i].pts) - t0)) << i;
    bool ok = false;
    EXPECT_EQ(flvtest::avcUnits(t, &ok), flvtest::unitsFromFirstSlice(frames[i].bytes)) << i;
    EXPECT_TRUE(ok) << i;
    if (key) {
      const Tag& sync = flv.tags[at++];
      ASSERT_EQ(sync.type, 0x12);
      EXPECT_EQ(sync.timestamp, t.timestamp);
      ASSERT_EQ(sync.data.size(), 86u);
      EXPECT_EQ(beDouble(&sync.data[40 - 11]), static_cast<double>(t.timestamp));  // streamClock
      EXPECT_EQ(beDouble(&sync.data[66 - 11]), static_cast<double>(t0));           // streamClockBase
      EXPECT_NEAR(beDouble(&sync.data[86 - 11]), static_cast<double>(kavo::utils::nowWallMs()), 10000.0);
    }
  }
}

TEST_F(FlvWriterTest, InterFramesWaitForTheFirstKeyFrameAndTheFirstOfferedFrameIsTimeZero) {
  {
    auto d = fileDestination();
    for (size_t i = 1; i < frames.size(); i++) writeVideo(*d, ring.next(frames[i]));
    EXPECT_EQ(d->GetFirstTimestamp(), ms(frames[1].pts));
  }
  const flvtest::Flv flv = readFlv();
  ASSERT_TRUE(flv.ok);
  ASSERT_GE(flv.tags.size(), 3u);
  EXPECT_EQ(flv.tags[1].data[1], 0x00);  // sequence header before the key frame of frame 15
  EXPECT_EQ(flv.tags[2].data[0], 0x17);
  EXPECT_EQ(flv.tags[2].timestamp, static_cast<uint32_t>(ms(frames[15].pts) - ms(frames[1].pts)));
  size_t video = 0;
  for (const Tag& t : flv.tags) video += t.type == 9 && t.data[1] == 0x01;
  EXPECT_EQ(video, frames.size() - 15);
}

// A frame before the first timestamp gets time 0, and a video time never repeats or goes back:
// such a frame is written 1 ms after the one before.
TEST_F(FlvWriterTest, VideoTimesOnlyRise) {
  {
    auto d = fileDestination();
    unsigned char level;
    const int64_t at[] = {5000, 4000, 5100, 5100, 5100, 5050, 5133};
    for (size_t i = 0; i < sizeof at / sizeof at[0]; i++) d->WriteVideoFrame(&ring.next(frames[i]), at[i], level);
  }
  const flvtest::Flv flv = readFlv();
  ASSERT_TRUE(flv.ok);
  std::vector<uint32_t> times;
  for (const Tag& t : flv.tags)
    if (t.type == 9 && t.data[1] == 0x01) times.push_back(t.timestamp);
  EXPECT_EQ(times, (std::vector<uint32_t>{0, 1, 100, 101, 102, 103, 133}));
}

TEST_F(FlvWriterTest, EverySliceOfAFrameGetsItsOwnLength) {
  const auto sliced = flvtest::loadFrames("flv_320x240_slices.frames");
  ASSERT_EQ(sliced.size(), 20u);
  {
    auto d = fileDestination();
    for (const Frame& f : sliced) writeVideo(*d, ring.next(f));
  }
  const flvtest::Flv flv = readFlv();
  ASSERT_TRUE(flv.ok);
  size_t i = 0;
  for (const Tag& t : flv.tags) {
    if (t.type != 9 || t.data[1] != 0x01) continue;
    ASSERT_LT(i, sliced.size());
    bool ok = false;
    const auto units = flvtest::avcUnits(t, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(units.size(), 3u) << i;
    EXPECT_EQ(units, flvtest::unitsFromFirstSlice(sliced[i].bytes)) << i;
    i++;
  }
  EXPECT_EQ(i, sliced.size());
}

// Frames placed so that the ring's end falls at every interesting place give the same tags as
// frames that lie in one piece.
TEST_F(FlvWriterTest, FramesThatWrapTheRingGiveTheSameTags) {
  const Bytes& key = frames[0].bytes;
  const auto map = flvtest::nalMapOf(key);
  auto tagsOf = [&](uint32_t offset) {
    Ring small(16384);
    {
      auto d = fileDestination();
      writeVideo(*d, small.place(frames[0], offset));
      writeVideo(*d, small.place(frames[1], offset + 5000));
    }
    flvtest::Flv flv = readFlv();
    std::vector<Tag> video;
    for (const Tag& t : flv.tags)
      if (t.type == 9) video.push_back(t);
    return video;
  };
  const std::vector<Tag> reference = tagsOf(0);
  ASSERT_EQ(reference.size(), 3u);
  const uint32_t sliceStart = map.sliceOffset + 4;
  const uint32_t cases[] = {
      16384 - (sliceStart + 100),      // the slice payload runs over the ring's end
      16384 - sliceStart,              // the slice payload starts exactly at the ring's start
      16384 - (map.sliceOffset + 2),   // the slice's start code is split by the end
      16384 - (map.spsOffset + 6),     // the SPS is split (the sequence header reads round the ring)
      16384 - static_cast<uint32_t>(key.size()),  // the frame ends exactly at the ring's end
  };
  for (uint32_t offset : cases) {
    const std::vector<Tag> got = tagsOf(offset);
    ASSERT_EQ(got.size(), reference.size()) << offset;
    for (size_t i = 0; i < got.size(); i++) {
      EXPECT_EQ(got[i].data, reference[i].data) << offset << " tag " << i;
      EXPECT_EQ(got[i].timestamp, reference[i].timestamp);
    }
  }
}

TEST_F(FlvWriterTest, TwentyBytePayloadKeyFrameHasDataSize29AndPreviousTagSize40) {
  Bytes f = {0, 0, 0, 1, 0x09, 0x10};
  const Bytes sps = spsOf(frames[0].bytes);
  const Bytes pps = ppsOf(frames[0].bytes);
  f.insert(f.end(), {0, 0, 0, 1});
  f.insert(f.end(), sps.begin(), sps.end());
  f.insert(f.end(), {0, 0, 0, 1});
  f.insert(f.end(), pps.begin(), pps.end());
  f.insert(f.end(), {0, 0, 0, 1, 0x65});
  for (int i = 0; i < 19; i++) f.push_back(static_cast<uint8_t>(0x40 + i));
  {
    auto d = fileDestination();
    writeVideo(*d, ring.next(Frame{f, 1, 0}));
  }
  const std::string text = root.read("/tmp/out.flv");
  const Bytes s(text.begin(), text.end());
  const flvtest::Flv flv = flvtest::parseFlv(s);
  ASSERT_TRUE(flv.ok);
  ASSERT_EQ(flv.tags.size(), 4u);
  EXPECT_EQ(flv.tags[2].data.size(), 29u);
  // The tag ends with PreviousTagSize 40, then onClockSync follows (101 bytes).
  const size_t end = s.size() - 101;
  EXPECT_EQ(Bytes(s.end() - 101 - 4, s.end() - 101), (Bytes{0, 0, 0, 40}));
  EXPECT_EQ(s[end - 44], 9);
  EXPECT_EQ(Bytes(s.begin() + static_cast<long>(end) - 44 + 1, s.begin() + static_cast<long>(end) - 44 + 4),
            (Bytes{0, 0, 29}));
}

TEST_F(FlvWriterTest, ChangedParameterSetsAfterACodecChangeGetANewSequenceHeader) {
  // Key frames 0, 15 and 30 of the fixture; a copy of frame 15 with another level.
  Frame changed = frames[15];
  const auto map = flvtest::nalMapOf(changed.bytes);
  changed.bytes[map.spsOffset + 4 + 3] = 0x1F;
  auto d = fileDestination();
  writeVideo(*d, ring.next(frames[0]));
  EXPECT_EQ(d->GetCodecCheckCount(), 0u);  // nothing was saved before the first header
  writeVideo(*d, ring.next(changed));      // not compared: no change signalled
  d->SignalCodecsChanged();
  EXPECT_EQ(d->GetCodecCheckCount(), 10u);
  writeVideo(*d, ring.next(frames[15]));  // differs from the saved (frame 0's SPS)? no: same
  EXPECT_EQ(d->GetCodecCheckCount(), 9u);
  writeVideo(*d, ring.next(changed));  // differs: a new sequence header, checking ends
  EXPECT_EQ(d->GetCodecCheckCount(), 0u);
  writeVideo(*d, ring.next(frames[30]));  // not compared any more, sent with the changed header
  d->SignalCodecsChanged();
  for (int i = 0; i < 12; i++) writeVideo(*d, ring.next(changed));  // identical ten times: done
  EXPECT_EQ(d->GetCodecCheckCount(), 0u);
  d.reset();

  const flvtest::Flv flv = readFlv();
  ASSERT_TRUE(flv.ok);
  std::vector<uint8_t> levels;
  for (const Tag& t : flv.tags)
    if (t.type == 9 && t.data[1] == 0x00) levels.push_back(t.data[8]);
  EXPECT_EQ(levels, (std::vector<uint8_t>{0x0D, 0x1F}));
}

TEST_F(FlvWriterTest, AacSequenceHeaderThenRawFramesWhileVideoWaitsForAKeyFrame) {
  AudioFrame lc11025(adts(1, 10, 1, 40));
  AudioFrame withCrc(adts(1, 10, 1, 30, true));
  LogCapture log;
  {
    auto d = fileDestination();
    unsigned char level = 0xEE;
    EXPECT_TRUE(d->WriteAudioFrame(&lc11025.record, 1000, level));
    EXPECT_EQ(level, 0);
    writeVideo(*d, ring.next(frames[1]));  // an inter frame: dropped
    EXPECT_TRUE(d->WriteAudioFrame(&withCrc.record, 1093, level));
    Bytes shortFrame = {0xFF, 0xF1, 0x50};
    AudioFrame bad(shortFrame);
    EXPECT_TRUE(d->WriteAudioFrame(&bad.record, 1100, level));
    AudioFrame noSync(Bytes(20, 0x11));
    EXPECT_TRUE(d->WriteAudioFrame(&noSync.record, 1100, level));
  }
  EXPECT_EQ(log.count("Invalid ADTS frame refused (24 bits)"), 1u);
  EXPECT_EQ(log.count("Invalid ADTS frame refused (160 bits)"), 1u);
  const flvtest::Flv flv = readFlv();
  ASSERT_TRUE(flv.ok);
  ASSERT_EQ(flv.tags.size(), 4u);
  EXPECT_EQ(flv.tags[1].type, 8);
  EXPECT_EQ(flv.tags[1].data, (Bytes{0xAF, 0x00, 0x15, 0x08}));
  EXPECT_EQ(flv.tags[1].timestamp, 0u);
  EXPECT_EQ(flv.tags[2].data.size(), 42u);
  EXPECT_EQ(Bytes(flv.tags[2].data.begin() + 2, flv.tags[2].data.end()),
            Bytes(lc11025.bytes.begin() + 7, lc11025.bytes.end()));
  EXPECT_EQ(flv.tags[2].data[1], 0x01);
  EXPECT_EQ(flv.tags[3].timestamp, 93u);
  EXPECT_EQ(Bytes(flv.tags[3].data.begin() + 2, flv.tags[3].data.end()),
            Bytes(withCrc.bytes.begin() + 9, withCrc.bytes.end()));
}

TEST_F(FlvWriterTest, AudioSpecificConfigFollowsTheAdtsHeader) {
  struct {
    uint8_t profile, index, channels;
    Bytes config;
  } cases[] = {{1, 10, 1, {0x15, 0x08}},  // LC 11025 Hz mono
               {1, 3, 2, {0x11, 0x90}},   // LC 48000 Hz stereo
               {1, 4, 2, {0x12, 0x10}},   // LC 44100 Hz stereo
               {0, 8, 1, {0x0C, 0x08}},   // Main 16000 Hz mono
               {1, 11, 7, {0x15, 0xB8}}}; // LC 8000 Hz, 7.1
  for (const auto& c : cases) {
    {
      auto d = fileDestination();
      AudioFrame a(adts(c.profile, c.index, c.channels, 10));
      unsigned char level;
      d->WriteAudioFrame(&a.record, 0, level);
    }
    const flvtest::Flv flv = readFlv();
    ASSERT_GE(flv.tags.size(), 2u);
    EXPECT_EQ(Bytes(flv.tags[1].data.begin() + 2, flv.tags[1].data.end()), c.config) << int(c.index);
  }
}

TEST_F(FlvWriterTest, FrameWithoutSliceIsRefusedOnceInTheLog) {
  LogCapture log;
  auto d = fileDestination();
  Frame jpeg{Bytes{0xFF, 0xD8, 0xFF, 0xE0, 1, 2, 3, 4, 0xFF, 0xD9}, 5, 0};
  for (int i = 0; i < 3; i++) writeVideo(*d, ring.next(jpeg));
  EXPECT_EQ(log.count("Video frame without a slice refused (10 bytes)"), 1u);
  writeVideo(*d, ring.next(frames[0]));
  d.reset();
  const flvtest::Flv flv = readFlv();
  ASSERT_TRUE(flv.ok);
  EXPECT_EQ(flv.tags.size(), 4u);  // metadata, sequence header, key frame, clock sync
}

TEST_F(FlvWriterTest, ReconnectionRepeatsTheStreamStartAndRestartsTime) {
  // A peer that takes one stream, leaves, and takes the next.
  kavo::test::LoopbackListener listener;
  ASSERT_NE(listener.port, 0);  // bound
  const std::string uri = "tcp://127.0.0.1:" + std::to_string(listener.port) + "?retryInterval=1";
  FLVDestiantion d(flvtest::streamInfo(uri), nullptr);
  auto receive = [&](int fd) {
    Bytes out;
    struct timeval tv = {0, 100000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    uint8_t buf[65536];
    ssize_t got;
    while ((got = recv(fd, buf, sizeof buf, 0)) > 0) out.insert(out.end(), buf, buf + got);
    return out;
  };
  auto feed = [&](size_t from, size_t to) {
    for (size_t i = from; i < to; i++) {
      unsigned char level;
      d.WriteVideoFrame(&ring.next(frames[i]), ms(frames[i].pts), level);
      if (!d.IsConnected()) kavo::utils::advanceMomentsForTest(1000);
    }
  };
  feed(0, 20);
  const int first = listener.accept();
  ASSERT_GE(first, 0);
  const flvtest::Flv one = flvtest::parseFlv(receive(first));
  ASSERT_TRUE(one.ok) << one.error;
  close(first);
  // Frames until the write fails, then past the retry interval.
  for (size_t i = 20; i < 45 && d.IsConnected(); i++) {
    unsigned char level;
    d.WriteVideoFrame(&ring.next(frames[i]), ms(frames[i].pts), level);
    usleep(5000);
  }
  ASSERT_FALSE(d.IsConnected());
  feed(20, 45);
  kavo::utils::resetMomentsForTest();
  const int second = listener.accept();
  ASSERT_GE(second, 0);
  const flvtest::Flv two = flvtest::parseFlv(receive(second));
  close(second);
  ASSERT_TRUE(two.ok) << two.error;
  ASSERT_GE(two.tags.size(), 4u);
  EXPECT_EQ(two.tags[0].type, 0x12);
  EXPECT_EQ(two.tags[1].data[1], 0x00);  // a new sequence header
  EXPECT_EQ(two.tags[2].data[0], 0x17);  // from a key frame on
  EXPECT_EQ(two.tags[1].timestamp, two.tags[2].timestamp);
  EXPECT_LT(two.tags[2].timestamp, 600u);  // time restarted with the connection
}

}  // namespace
