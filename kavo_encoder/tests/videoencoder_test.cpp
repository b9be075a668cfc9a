// The video encoder's rules without a DSP: frame-rate correction, stream validation, NAL maps,
// and frame reading against a scripted driver that hands out byte arrays placed in a ring.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <algorithm>
#include <cstring>
#include <deque>
#include <fstream>
#include <sstream>
#include <ostream>
#include <vector>

#include "kavo/logger/logger.h"
#include "kavo/os/device.h"
#include "video_test_support.h"

namespace kavo {
namespace encoder {
// For the assertions on maps.
bool operator==(const nal_map_t& a, const nal_map_t& b) { return std::memcmp(&a, &b, sizeof a) == 0; }
std::ostream& operator<<(std::ostream& os, const nal_map_t& m) {
  return os << "sps " << m.spsOffset << "+" << m.spsLength << " pps " << m.ppsOffset << "+" << m.ppsLength << " sei "
            << m.seiOffset << "+" << m.seiLength << " aud " << m.audOffset << "+" << m.audLength << " slice "
            << m.sliceOffset;
}
}  // namespace encoder
}  // namespace kavo

namespace {

using namespace videotest;
using kavo::encoder::nal_map_t;
using kavo::encoder::video_frame_t;
using kavo::logger::LogCapture;
using kavo::variant::Variant;
using kavo::variant::VariantType;

// ---- frame-rate correction -------------------------------------------------------------------

struct FpsCase {
  unsigned wanted, n, maxFps, result;
  bool warns;
};

TEST(VideoEncoderRules, ComputeFPS) {
  const FpsCase cases[] = {
      {25, 30, 30, 15, true}, {30, 30, 30, 30, false}, {30, 10, 25, 20, true}, {7, 30, 30, 6, true},
      {15, 0, 30, 15, false}, {0, 30, 30, 1, true},    {30, 30, 0, 1, true},   {1, 30, 30, 1, false},
      {60, 30, 60, 60, false}, {24, 4, 30, 24, false}, {255, 255, 255, 255, false},
  };
  for (const FpsCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.wanted << " " << c.n << " " << c.maxFps);
    LogCapture log;
    EXPECT_EQ(VideoEncoder::ComputeFPS(c.wanted, c.n, c.maxFps), c.result);
    const std::string warning = "FPS value corrected. N: " + std::to_string(c.n) + "; Max FPS: " +
                                std::to_string(c.maxFps) + "; Wanted FPS: " + std::to_string(c.wanted) +
                                "; Correct FPS: " + std::to_string(c.result);
    EXPECT_EQ(log.has(warning, LOG_LEVEL_WARNING), c.warns) << log.dump();
    EXPECT_EQ(log.records().size(), c.warns ? 1u : 0u);
  }
}

// ---- stream validation ---------------------------------------------------------------------

// A settings document as a file would give it (not normalised, so the validation's own rules show).
EncoderSettings raw(const json& doc) {
  EncoderSettings s;
  const std::string text = doc.dump();
  s.FromJSON(text.data(), text.size());
  return s;
}

struct GopCase {
  bool lowDelay;
  unsigned position;  // 0: the first stream
  json node;          // keys of the stream node
  unsigned gopModel, M, N, fps;
};

TEST(VideoEncoderRules, ValidateSettingsGop) {
  const GopCase cases[] = {
      {false, 0, {{"gopModel", 0}, {"M", 3}}, 0, 3, 30, 30},
      {false, 0, {{"gopModel", 0}, {"M", 5}}, 0, 3, 30, 30},
      {false, 0, {{"gopModel", 0}, {"M", 0}}, 0, 3, 30, 30},
      {false, 0, {{"gopModel", 0}, {"M", 2}, {"N", 30}}, 0, 2, 30, 30},
      {false, 0, {{"gopModel", 2}, {"M", 1}}, 2, 2, 30, 30},
      {false, 0, {{"gopModel", 9}, {"M", 3}}, 4, 2, 30, 30},
      {true, 0, {{"gopModel", 2}, {"M", 3}}, 0, 1, 30, 30},
      {false, 1, {{"gopModel", 2}, {"M", 3}}, 0, 1, 30, 30},
      {false, 0, {{"M", 3}, {"N", 32}}, 0, 3, 30, 30},
      {false, 0, {{"M", 3}, {"N", 3}}, 0, 3, 30, 30},
      {false, 0, {{"M", 2}, {"N", 31}}, 0, 2, 30, 30},
      {false, 0, {{"M", 1}, {"N", 30}, {"fps", 25}}, 0, 1, 30, 15},
      {false, 0, {{"M", 1}, {"N", 12}, {"fps", 30}}, 0, 1, 12, 24},
      {false, 0, {{"M", 1}, {"N", 7}, {"fps", 20}}, 0, 1, 7, 14},
  };
  for (const GopCase& c : cases) {
    SCOPED_TRACE(c.node.dump() + (c.lowDelay ? " lowDelay" : "") + " at " + std::to_string(c.position));
    json doc;
    doc["video"]["lowDelay"] = c.lowDelay;
    json node = stream(640, 360, 30, {{"type", "h264"}, {"N", 30}});
    for (auto it = c.node.begin(); it != c.node.end(); ++it) node[it.key()] = it.value();
    if (c.position == 0) {
      doc["video"]["video1"] = node;
    } else {
      doc["video"]["video1"] = stream(640, 360, 30);
      doc["video"]["video2"] = node;
    }
    EncoderSettings settings = raw(doc);
    Variant streams;
    ASSERT_TRUE(VideoEncoder::ValidateSettings(settings, streams, 1920, 1080, 30, 285300));
    Variant& e = streams[static_cast<int>(c.position)];
    EXPECT_EQ(e["gopModel"].AsUInt32(), c.gopModel);
    EXPECT_EQ(e["M"].AsUInt32(), c.M);
    EXPECT_EQ(e["N"].AsUInt32(), c.N);
    EXPECT_EQ(e["fps"].AsUInt32(), c.fps);
    EXPECT_EQ(e["maxFps"].AsUInt32(), c.fps);
    EXPECT_EQ(e["bitRateVbrMin"].AsUInt32(), 16384u);
    // The divisors of N, ascending.
    std::vector<uint32_t> divisors, expected;
    for (auto it = e["validFpsValues"].num_begin(); it != e["validFpsValues"].num_end(); ++it)
      divisors.push_back(it->second.AsUInt32());
    for (uint32_t d = 1; d <= c.N; ++d)
      if (c.N % d == 0) expected.push_back(d);
    EXPECT_EQ(divisors, expected);
    // Written back under the stream's name.
    const char* name = c.position == 0 ? "video1" : "video2";
    EXPECT_EQ(settings.video()[name]["M"].AsUInt32(), c.M);
    EXPECT_EQ(settings.video()[name]["name"], name);
  }
}

TEST(VideoEncoderRules, ValidateSettingsSizesRatesAndBudget) {
  {  // sizes and rates within the input's, defaults from it
    json doc;
    doc["video"]["video1"] = {{"enabled", true}, {"width", 100}, {"height", 5000}};
    doc["video"]["mjpg"] = {{"enabled", true}, {"width", 320}, {"height", 180}, {"fps", 200}, {"bitRateVbrMin", 300000}};
    doc["video"]["video3"] = {{"enabled", false}, {"width", 320}, {"height", 180}};
    EncoderSettings settings = raw(doc);
    Variant streams;
    LogCapture log;
    ASSERT_TRUE(VideoEncoder::ValidateSettings(settings, streams, 1920, 1080, 30, 285300));
    ASSERT_EQ(streams.NumericKeysCount(), 2u);
    EXPECT_EQ(streams[0]["name"], "video1");
    EXPECT_EQ(streams[0]["width"].AsUInt32(), 160u);
    EXPECT_EQ(streams[0]["height"].AsUInt32(), 1080u);
    EXPECT_EQ(streams[0]["fps"].AsUInt32(), 15u);  // missing: half the input rate
    EXPECT_EQ(streams[1]["name"], "mjpg");
    EXPECT_EQ(streams[1]["fps"].AsUInt32(), 30u);
    EXPECT_EQ(streams[1]["maxFps"].AsUInt32(), 30u);
    EXPECT_EQ(streams[1]["bitRateVbrMin"].AsUInt32(), 300000u);  // only H.264 streams get 16384
    EXPECT_FALSE(streams[1].HasKey("validFpsValues"));
    EXPECT_TRUE(log.has("Encoding 160x1080@15 requires 10200Mbps out of 285300", LOG_LEVEL_DEBUG));
    EXPECT_TRUE(log.has("Setup is using 17400Mbps out of 285300Mbps", LOG_LEVEL_INFO));
  }
  {  // normalised defaults: the input's size and rate
    EncoderSettings settings = settingsOf(json{{"video", {{"video2", {{"enabled", true}}}}}});
    Variant streams;
    ASSERT_TRUE(VideoEncoder::ValidateSettings(settings, streams, 1280, 720, 25, 285300));
    EXPECT_EQ(streams[0]["width"].AsUInt32(), 1280u);
    EXPECT_EQ(streams[0]["height"].AsUInt32(), 720u);
    EXPECT_EQ(streams[0]["fps"].AsUInt32(), 15u);  // 25 corrected for N 30
    EXPECT_EQ(streams[0]["M"].AsUInt32(), 2u);     // the first stream may use M up to 3
  }
  {  // the budget, stream by stream
    json doc;
    doc["video"]["video1"] = stream(1920, 1080, 30);
    doc["video"]["video2"] = stream(640, 360, 30);
    Variant streams;
    EncoderSettings fits = raw(doc);
    LogCapture log;
    ASSERT_TRUE(VideoEncoder::ValidateSettings(fits, streams, 1920, 1080, 30, 272400));
    EXPECT_TRUE(log.has("Encoding 1920x1080@30 requires 244800Mbps out of 272400", LOG_LEVEL_DEBUG));
    EXPECT_TRUE(log.has("Setup is using 272400Mbps out of 272400Mbps", LOG_LEVEL_INFO));
    EncoderSettings over = raw(doc);
    EXPECT_FALSE(VideoEncoder::ValidateSettings(over, streams, 1920, 1080, 30, 272399));
    EXPECT_TRUE(log.has("Mbps exceeded: wanted: 272400; max: 272399", LOG_LEVEL_ERROR));
    EXPECT_TRUE(over.video()["video1"].HasKey("maxFps")) << "the streams before stay written back";
    EXPECT_FALSE(over.video()["video2"].HasKey("maxFps"));
  }
  {  // nothing enabled: false, silently
    EncoderSettings none = settingsOf(json::object());
    Variant streams;
    LogCapture log;
    EXPECT_FALSE(VideoEncoder::ValidateSettings(none, streams, 1920, 1080, 30, 285300));
    EXPECT_TRUE(log.records().empty());
  }
  {  // the audio rate becomes the DSP's audio clock
    json doc = threeStreams();
    doc["audio"] = {{"enabled", true}, {"sampleRate", 22050}};
    EncoderSettings settings = settingsOf(doc);
    Variant streams;
    ASSERT_TRUE(VideoEncoder::ValidateSettings(settings, streams, 1920, 1080, 30, 285300));
    EXPECT_EQ(settings.video().audioSampleRate(), 22050u);
  }
  {  // a GOP length with very many divisors is listed quickly
    json doc;
    doc["video"]["video1"] = stream(640, 360, 30, {{"M", 1}, {"N", 735134400}});
    EncoderSettings settings = raw(doc);
    Variant streams;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(VideoEncoder::ValidateSettings(settings, streams, 1920, 1080, 30, 285300));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    Variant& valid = streams[0]["validFpsValues"];
    EXPECT_EQ(valid.NumericKeysCount(), 1344u);
    uint32_t last = 0;
    for (auto it = valid.num_begin(); it != valid.num_end(); ++it) {
      EXPECT_GT(it->second.AsUInt32(), last);
      last = it->second.AsUInt32();
    }
    EXPECT_EQ(last, 735134400u);
  }
}

// ---- microcode load against a scripted "/dev/ucode" -------------------------------------------

// A microcode device whose layout record the test writes; the region is an anonymous memory file.
class ScriptedUcode : public kavo::os::DeviceProvider {
 public:
  iav_ucode_load_info_t layout{};
  bool booted = false;
  int regionFd = -1;

  int open(const char*, int) override {
    const int fd = ::memfd_create("scripted-ucode", MFD_CLOEXEC);
    if (fd >= 0 && ::ftruncate(fd, layout.map_size) != 0) {
      ::close(fd);
      return -1;
    }
    regionFd = fd;
    return fd;
  }
  int close(int fd) override { return ::close(fd); }
  int ioctl(int, unsigned long request, uintptr_t arg) override {
    if (request == IAV_IOC_GET_UCODE_VERSION) {
      auto* v = reinterpret_cast<iav_ucode_version_t*>(arg);
      if (booted) *v = iav_ucode_version_t{2015, 2, 3, 4, 5};
      return 0;
    }
    if (request == IAV_IOC_GET_UCODE_INFO) {
      *reinterpret_cast<iav_ucode_load_info_t*>(arg) = layout;
      return 0;
    }
    if (request == IAV_IOC_UPDATE_UCODE) {
      booted = true;
      region.assign(layout.map_size, 0);
      if (::pread(regionFd, region.data(), region.size(), 0) != static_cast<ssize_t>(region.size())) return -1;
      return 0;
    }
    errno = ENOTTY;
    return -1;
  }

  std::vector<uint8_t> region;  // the region as the DSP took it over
};

ScriptedUcode& ucode() {
  static ScriptedUcode* d = [] {
    auto* p = new ScriptedUcode();
    kavo::os::registerDevice("/dev/ucode", p);
    return p;
  }();
  return *d;
}

void module(iav_ucode_load_info_t& layout, unsigned i, uint32_t offset, const std::string& name) {
  layout.items[i].offset = offset;
  std::memset(layout.items[i].filename, 0, sizeof layout.items[i].filename);
  std::memcpy(layout.items[i].filename, name.data(), std::min(name.size(), sizeof layout.items[i].filename));
}

bool mapped(const char* what) {
  std::ifstream maps("/proc/self/maps");
  std::stringstream text;
  text << maps.rdbuf();
  return text.str().find(what) != std::string::npos;
}

// Module names that fill their 20 bytes, module tables larger than the record, modules that run
// past the region: read with a bound, refused, and the region is let go on every way out.
TEST(VideoEncoderMicrocode, LoadKeepsToTheLayoutRecord) {
  kavo::test::TestRoot root;
  ScriptedUcode& d = ucode();
  EncoderSettings settings;
  settings.firmwarePath("/fw/");
  const std::string twenty = "abcdefghijklmnopqrst";  // no room for a terminator
  root.write("/fw/" + twenty, "FIRST");
  root.write("/fw/last.bin", "LAST");
  {
    d = ScriptedUcode();
    d.layout.map_size = 4096;
    d.layout.nr_item = 2;
    module(d.layout, 0, 0, twenty);
    module(d.layout, 1, 4092, "last.bin");  // ends exactly at the region's end
    LogCapture log;
    VideoEncoder encoder(settings, nullptr);
    ASSERT_TRUE(encoder.LoadUCode()) << log.dump();
    EXPECT_TRUE(log.has("Loading DSP ucode /fw/" + twenty, LOG_LEVEL_INFO)) << log.dump();
    EXPECT_TRUE(log.has("Microcode version 4.5 - 3/2/2015", LOG_LEVEL_INFO));
    ASSERT_EQ(d.region.size(), 4096u);
    EXPECT_EQ(std::string(d.region.begin(), d.region.begin() + 5), "FIRST");
    EXPECT_EQ(std::string(d.region.end() - 4, d.region.end()), "LAST");
    EXPECT_FALSE(mapped("scripted-ucode"));
  }
  struct Refused {
    const char* what;
    uint32_t count;
    uint32_t offset;  // of the second module
    const char* message;
  };
  const Refused cases[] = {
      {"one byte past the end", 2, 4093, "DSP ucode /fw/last.bin does not fit the microcode region"},
      {"an offset beyond the region", 2, 0xFFFFFFF0u, "DSP ucode /fw/last.bin does not fit the microcode region"},
      {"more modules than the record holds", 5, 100, "Invalid microcode layout: 5 modules"},
  };
  for (const Refused& c : cases) {
    SCOPED_TRACE(c.what);
    d = ScriptedUcode();
    d.layout.map_size = 4096;
    d.layout.nr_item = c.count;
    module(d.layout, 0, 0, twenty);
    module(d.layout, 1, c.offset, "last.bin");
    LogCapture log;
    VideoEncoder encoder(settings, nullptr);
    EXPECT_FALSE(encoder.LoadUCode());
    EXPECT_TRUE(log.has(c.message, LOG_LEVEL_ERROR)) << log.dump();
    EXPECT_FALSE(d.booted);
    EXPECT_FALSE(mapped("scripted-ucode"));
  }
}

// ---- frames in a ring -----------------------------------------------------------------------

// A frame's bytes: units given as {type, length} (a start code and the type byte, then filler).
std::vector<uint8_t> frameOf(std::initializer_list<std::pair<uint8_t, uint32_t>> units, uint32_t size) {
  std::vector<uint8_t> out;
  for (const auto& u : units) {
    const size_t at = out.size();
    out.insert(out.end(), {0, 0, 0, 1, static_cast<uint8_t>(0x60 | u.first)});
    out.resize(at + u.second, 0xAB);
  }
  out.resize(size, 0xAB);
  return out;
}

// The example frame: AUD at 0, SPS at 6, PPS at 20, the IDR slice at 28, 1000 bytes.
std::vector<uint8_t> exampleIdr() { return frameOf({{9, 6}, {7, 14}, {8, 8}, {5, 972}}, 1000); }

// A driver that hands out scripted frames from a ring of its own.
class ScriptedIav : public kavo::os::DeviceProvider {
 public:
  struct Read {
    int err = 0;  // a failing read
    iav_bitstream_desc_t desc{};
  };

  std::vector<uint8_t> ring = std::vector<uint8_t>(4096, 0xEE);
  std::deque<Read> reads;
  std::deque<int> startErrors;  // errno of the coming start requests (0: success)
  std::vector<uint32_t> codes;  // every request, in order

  int open(const char*, int) override { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }
  int close(int fd) override { return ::close(fd); }
  int ioctl(int, unsigned long request, uintptr_t arg) override {
    codes.push_back(static_cast<uint32_t>(request));
    if (request == IAV_IOC_READ_BITSTREAM_EX) {
      if (reads.empty()) return fail(EAGAIN);
      const Read r = reads.front();
      reads.pop_front();
      if (r.err) return fail(r.err);
      *reinterpret_cast<iav_bitstream_desc_t*>(arg) = r.desc;
      return 0;
    }
    if (request == IAV_IOC_START_ENCODE_EX && !startErrors.empty()) {
      const int e = startErrors.front();
      startErrors.pop_front();
      if (e) return fail(e);
    }
    return 0;
  }

  // Places `bytes` at `offset` of the ring (wrapping) and scripts its descriptor.
  void frame(const std::vector<uint8_t>& bytes, uint32_t offset, uint32_t type, uint32_t number, uint64_t pts,
             uint8_t stream = 0, int32_t queued = 0) {
    for (size_t k = 0; k < bytes.size(); ++k) ring[(offset + k) % ring.size()] = bytes[k];
    Read r;
    r.desc.frameNumber = number;
    r.desc.frameStart = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(ring.data())) + offset;
    r.desc.frameInfo = static_cast<uint32_t>(bytes.size() << 8) | type;
    r.desc.streamIndex = stream;
    r.desc.pts = pts;
    r.desc.queueCounter = number + static_cast<uint32_t>(queued);
    reads.push_back(r);
  }
  void failRead(int err) {
    Read r;
    r.err = err;
    reads.push_back(r);
  }
  size_t count(uint32_t code) const { return std::count(codes.begin(), codes.end(), code); }

 private:
  static int fail(int e) {
    errno = e;
    return -1;
  }
};

ScriptedIav& driver() {
  static ScriptedIav* d = [] {
    auto* p = new ScriptedIav();
    kavo::os::registerDevice("/dev/iav", p);  // before anything opens the node: no simulator here
    return p;
  }();
  return *d;
}

class VideoFrames : public ::testing::Test {
 protected:
  void SetUp() override {
    ScriptedIav& d = driver();
    d.reads.clear();
    d.startErrors.clear();
    d.codes.clear();
    encoder.iavFd = kavo::os::devOpen("/dev/iav", O_RDWR);
    ASSERT_GE(encoder.iavFd, 0);
    encoder.frame.ringBase = d.ring.data();
    encoder.frame.ringSize = static_cast<uint32_t>(d.ring.size());
    // One H.264 stream, as the set-up leaves it.
    Variant& entry = encoder.streams[-1];
    entry["name"] = "video1";
    entry["type"] = "h264";
    entry["streamId"] = 1;
    entry["streamOrdinal"] = 0;
    entry["bitRateVbrMax"] = 1000000;
  }
  // Points the encoder's frame at bytes placed in the ring, as a read would.
  void place(const std::vector<uint8_t>& bytes, uint32_t offset) {
    driver().frame(bytes, offset, IAV_PIC_TYPE_IDR, 1, 1);
    encoder.frame.desc = driver().reads.back().desc;
    encoder.frame.frameSize = static_cast<uint32_t>(bytes.size());
    driver().reads.clear();
  }
  nal_map_t parse(const std::vector<uint8_t>& bytes, uint32_t offset = 0) {
    place(bytes, offset);
    nal_map_t map;
    std::memset(&map, 0x55, sizeof map);
    encoder.ParseNALMap(map);
    return map;
  }

  EncoderSettings settings;
  Probe encoder{settings, nullptr};
};


TEST_F(VideoFrames, ParseNALMap) {
  const nal_map_t example{6, 14, 20, 8, 0, 0, 0, 6, 28};
  EXPECT_EQ(parse(exampleIdr()), example);
  // The same frame running over the ring's end, at every split of its first 40 bytes.
  for (uint32_t before = 1; before < 40; ++before)
    EXPECT_EQ(parse(exampleIdr(), 4096 - before), example) << before << " bytes before the end";
  // An SEI last: its length runs to the frame's end; several slices: the last one counts.
  EXPECT_EQ(parse(frameOf({{9, 6}, {1, 100}, {1, 100}, {6, 44}}, 250)), (nal_map_t{0, 0, 0, 0, 206, 44, 0, 6, 106}));
  // A unit of an unknown kind empties the map.
  EXPECT_EQ(parse(frameOf({{9, 6}, {7, 14}, {2, 10}, {5, 100}}, 130)), nal_map_t{});
  EXPECT_EQ(parse(frameOf({{9, 6}, {12, 10}}, 16)), nal_map_t{});
  // Short frames and 3-byte start codes.
  EXPECT_EQ(parse({0, 0, 0, 1, 9}), nal_map_t{});
  std::vector<uint8_t> three = {0, 0, 1, 0x67, 0xAB, 0xAB, 0, 0, 1, 0x68, 0xAB, 0xAB, 0, 0, 0, 1, 0x65, 0xAB, 0xAB};
  EXPECT_EQ(parse(three), (nal_map_t{0, 0, 0, 0, 0, 0, 0, 0, 12}));
}

TEST_F(VideoFrames, KeyFramesAndTheCachedMap) {
  ScriptedIav& d = driver();
  std::vector<uint8_t> idr = exampleIdr();
  d.frame(idr, 4090, IAV_PIC_TYPE_IDR, 1, 100);  // wraps the ring
  const video_frame_t* f = encoder.GetFrame();
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->nalMap, &encoder.idrNalMaps[0]);
  EXPECT_EQ(*f->nalMap, (nal_map_t{6, 14, 20, 8, 0, 0, 0, 6, 28}));
  EXPECT_EQ(f->frameSize, 1000u);
  EXPECT_EQ(f->firstPieceSize(), 6u);
  EXPECT_EQ(f->secondPieceSize(), 994u);
  // A later key frame of the same layout passes the cached map without a scan: a unit of an
  // unknown kind inside its slice, which a scan would refuse, goes unnoticed.
  std::vector<uint8_t> same = idr;
  same[500] = 0, same[501] = 0, same[502] = 0, same[503] = 1, same[504] = 0x62;
  d.frame(same, 1000, IAV_PIC_TYPE_IDR, 2, 200);
  ASSERT_NE(encoder.GetFrame(), nullptr);
  // A new layout is scanned: with such a unit it empties the map and the key frame is dropped.
  std::vector<uint8_t> moved = frameOf({{9, 6}, {7, 16}, {8, 8}, {5, 970}}, 1000);
  moved[500] = 0, moved[501] = 0, moved[502] = 0, moved[503] = 1, moved[504] = 0x62;
  d.frame(moved, 2000, IAV_PIC_TYPE_IDR, 3, 300);
  EXPECT_EQ(encoder.GetFrame(), nullptr);
  EXPECT_EQ(encoder.idrNalMaps[0], nal_map_t{});
  // A key frame without an SPS is not handed out either.
  d.frame(frameOf({{9, 6}, {5, 200}}, 206), 0, IAV_PIC_TYPE_IDR, 4, 400);
  EXPECT_EQ(encoder.GetFrame(), nullptr);
}

TEST_F(VideoFrames, FramesBetweenKeyFrames) {
  ScriptedIav& d = driver();
  // The first frame of a layout is handed out after its map was built, and the next ones from
  // the cached map; each stream has its own map.
  d.frame(frameOf({{9, 6}, {1, 300}}, 306), 0, IAV_PIC_TYPE_P, 1, 100);
  d.frame(frameOf({{9, 6}, {1, 400}}, 406), 400, IAV_PIC_TYPE_P, 2, 200);
  d.frame(frameOf({{9, 6}, {6, 20}, {1, 100}}, 126), 1000, IAV_PIC_TYPE_P, 3, 300, 1);
  for (int i = 0; i < 3; ++i) ASSERT_NE(encoder.GetFrame(), nullptr) << i;
  EXPECT_EQ(encoder.interNalMaps[0], (nal_map_t{0, 0, 0, 0, 0, 0, 0, 6, 6}));
  EXPECT_EQ(encoder.interNalMaps[1], (nal_map_t{0, 0, 0, 0, 6, 20, 0, 6, 26}));
  // A slice of the wrong kind is no frame.
  d.frame(frameOf({{9, 6}, {5, 300}}, 306), 0, IAV_PIC_TYPE_P, 4, 400);
  EXPECT_EQ(encoder.GetFrame(), nullptr);
  // Pictures are handed out without any check and do not count as frames.
  d.frame({0xFF, 0xD8, 0xFF, 0xE0, 0, 0x10}, 100, IAV_PIC_TYPE_MJPEG, 77, 500, 2);
  const video_frame_t* picture = encoder.GetFrame();
  ASSERT_NE(picture, nullptr);
  EXPECT_EQ(picture->nalMap, nullptr);
  EXPECT_EQ(encoder.lastFrameNumber, 4u);
}

TEST_F(VideoFrames, ReadsThatGiveNoFrame) {
  ScriptedIav& d = driver();
  LogCapture log;
  // pts 0 right after construction, and a pts that does not rise, are read over.
  d.frame(exampleIdr(), 0, IAV_PIC_TYPE_IDR, 1, 0);
  d.frame(exampleIdr(), 0, IAV_PIC_TYPE_IDR, 1, 500);
  d.frame(exampleIdr(), 0, IAV_PIC_TYPE_IDR, 1, 500);
  d.frame(exampleIdr(), 0, IAV_PIC_TYPE_IDR, 1, 499);
  d.frame(exampleIdr(), 0, IAV_PIC_TYPE_IDR, 2, 600);
  const video_frame_t* f = encoder.GetFrame();
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->desc.pts, 500u);
  f = encoder.GetFrame();
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->desc.pts, 600u);
  EXPECT_EQ(d.count(IAV_IOC_READ_BITSTREAM_EX), 5u);
  // No frame now: no message. Any other failure: its message with errno.
  EXPECT_EQ(encoder.GetFrame(), nullptr);
  EXPECT_TRUE(log.records().empty()) << log.dump();
  d.failRead(EIO);
  EXPECT_EQ(encoder.GetFrame(), nullptr);
  ASSERT_EQ(log.records().size(), 1u);
  EXPECT_EQ(log.records()[0].message, "IAV_IOC_READ_BITSTREAM_EX failed");
  EXPECT_EQ(log.records()[0].err, EIO);
  // Descriptors no reader could use: a frame larger than the ring, a stream that cannot exist.
  d.frame(exampleIdr(), 0, IAV_PIC_TYPE_IDR, 3, 700);
  d.reads.back().desc.frameInfo = (5000u << 8) | IAV_PIC_TYPE_IDR;
  d.frame(exampleIdr(), 0, IAV_PIC_TYPE_IDR, 3, 800, 4);
  d.frame(exampleIdr(), 0, IAV_PIC_TYPE_IDR, 3, 900);
  EXPECT_EQ(encoder.GetFrame(), nullptr);
  EXPECT_TRUE(log.has("Invalid frame size 5000 in a ring of 4096 bytes", LOG_LEVEL_ERROR));
  EXPECT_EQ(encoder.GetFrame(), nullptr);
  EXPECT_TRUE(log.has("Invalid stream index 4", LOG_LEVEL_ERROR));
  f = encoder.GetFrame();
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->desc.frameNumber, 3u);
}

struct SkipCase {
  uint32_t number;
  int32_t queued;
  bool threeByteStart;
  const char* verdict;  // null: the frame passes
};

TEST_F(VideoFrames, InvalidFramesRestartTheStreams) {
  const SkipCase cases[] = {
      {101, 0, false, nullptr},
      {103, 0, false, "Encoding issues detected: frame sequence: FAIL; queue size: OK; valid frame: OK"},
      {104, 150, false, nullptr},
      {105, 151, false, "Encoding issues detected: frame sequence: OK; queue size: FAIL; valid frame: OK"},
      {106, 0, true, "Encoding issues detected: frame sequence: OK; queue size: OK; valid frame: FAIL"},
      {50, -3, false, "Encoding issues detected: frame sequence: FAIL; queue size: OK; valid frame: OK"},
  };
  ScriptedIav& d = driver();
  encoder.lastFrameNumber = 100;
  uint64_t pts = 1000;
  for (const SkipCase& c : cases) {
    SCOPED_TRACE(c.number);
    std::vector<uint8_t> bytes = exampleIdr();
    if (c.threeByteStart) bytes.erase(bytes.begin());
    d.frame(bytes, 0, IAV_PIC_TYPE_IDR, c.number, pts++, 0, c.queued);
    d.codes.clear();
    LogCapture log;
    const video_frame_t* f = encoder.GetFrame();
    if (c.verdict == nullptr) {
      EXPECT_NE(f, nullptr);
      EXPECT_EQ(encoder.lastFrameNumber, c.number);
      continue;
    }
    EXPECT_EQ(f, nullptr);
    EXPECT_TRUE(log.has(c.verdict, LOG_LEVEL_ERROR)) << log.dump();
    EXPECT_EQ(d.codes, (std::vector<uint32_t>{IAV_IOC_READ_BITSTREAM_EX, IAV_IOC_STOP_ENCODE_EX,
                                              IAV_IOC_START_ENCODE_EX, IAV_IOC_SET_BITRATE_EX}));
    EXPECT_EQ(encoder.lastFrameNumber, 0u);
    // The next frame follows, whatever its number.
    encoder.lastFrameNumber = c.number;
  }
}

}  // namespace
