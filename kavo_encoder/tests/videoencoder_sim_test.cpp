// The video encoder against the simulated DSP: what it produces, judged by ffmpeg and the scene's
// number reader, and the requests it makes, read from the simulator's journal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <memory>

#include "kavo/logger/logger.h"
#include "kavo/os/device.h"
#include "kavo/utils/clock.h"
#include "video_test_support.h"

namespace {

using namespace videotest;
using kavo::encoder::video_frame_t;
using kavo::logger::LogCapture;

std::string reader() { return "python3 " + srcDir() + "/sim/iav/tools/read_frame_numbers.py"; }

class VideoEncoderSim : public ::testing::Test {
 protected:
  void SetUp() override {
    kavo::sim::iav::resetState();
    ::unlink(kavo::sim::iav::journalFile().c_str());
    simConfig(root);
  }
  void TearDown() override { kavo::sim::iav::resetState(); }

  kavo::test::TestRoot root;
};

TEST_F(VideoEncoderSim, TwoH264StreamsAndPicturesDecode) {
  EncoderSettings settings = settingsOf(threeStreams());
  Probe encoder(settings, nullptr);
  ASSERT_TRUE(encoder.Open());
  ASSERT_TRUE(encoder.StartEncode());

  const std::string dir = root.dir() + "/out";
  ::mkdir(dir.c_str(), 0755);
  std::map<unsigned, FILE*> streams;
  std::map<unsigned, unsigned> frames;
  unsigned pictures = 0;
  bool firstIsKey[2] = {false, false};
  for (int read = 0; read < 300;) {
    const video_frame_t* f = encoder.GetFrame();
    if (f == nullptr) continue;
    ++read;
    ASSERT_LE(f->frameSize, f->ringSize);
    ASSERT_EQ(f->firstPieceSize() + f->secondPieceSize(), f->frameSize);
    if (f->isPicture()) {
      char name[64];
      std::snprintf(name, sizeof name, "/pic%03u.jpg", pictures++);
      FILE* out = std::fopen((dir + name).c_str(), "wb");
      std::fwrite(f->firstPiece(), 1, f->firstPieceSize(), out);
      std::fwrite(f->secondPiece(), 1, f->secondPieceSize(), out);
      std::fclose(out);
      continue;
    }
    const unsigned id = f->streamId();
    ASSERT_LT(id, 2u);
    ASSERT_NE(f->nalMap, nullptr);
    if (frames[id]++ == 0) firstIsKey[id] = f->isKeyFrame();
    FILE*& out = streams[id];
    if (out == nullptr) out = std::fopen((dir + "/s" + std::to_string(id) + ".h264").c_str(), "wb");
    std::fwrite(f->firstPiece(), 1, f->firstPieceSize(), out);
    std::fwrite(f->secondPiece(), 1, f->secondPieceSize(), out);
  }
  for (auto& s : streams) std::fclose(s.second);
  ASSERT_TRUE(encoder.StopEncode());
  EXPECT_TRUE(firstIsKey[0] && firstIsKey[1]);
  ASSERT_GT(pictures, 10u);
  ASSERT_EQ(frames[0] + frames[1] + pictures, 300u);

  const char* sizes[] = {"640 360", "320 180"};
  for (unsigned id = 0; id < 2; ++id) {
    const std::string file = dir + "/s" + std::to_string(id) + ".h264";
    const Shell decoded = shell("ffmpeg -nostdin -v error -i " + file + " -f null -");
    EXPECT_EQ(decoded.out, "") << file;
    EXPECT_EQ(decoded.status, 0) << file;
    const Shell numbers =
        shell("ffmpeg -nostdin -v error -i " + file + " -f rawvideo -pix_fmt gray - | " + reader() + " " + sizes[id]);
    const std::vector<std::string> got = lines(numbers.out);
    ASSERT_EQ(got.size(), frames[id]) << "decoded frames of stream " << id;
    for (size_t i = 1; i < got.size(); ++i)
      ASSERT_EQ(std::stoul(got[i]), std::stoul(got[i - 1]) + 1) << "stream " << id << " frame " << i;
  }
  // Every picture is a JPEG of the configured size.
  const Shell probe = shell("ffprobe -v error -f image2 -show_entries frame=codec_name,width,height -of csv=p=0 " +
                            dir + "/pic%03d.jpg");
  const std::vector<std::string> probed = lines(probe.out);
  ASSERT_EQ(probed.size(), pictures) << probe.out;
  for (const std::string& p : probed) EXPECT_EQ(p, "320,180") << probe.out;
  EXPECT_EQ(shell("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 " + dir + "/pic000.jpg").out,
            "mjpeg\n");
  const Shell numbers = shell("ffmpeg -nostdin -v error -i " + dir + "/pic%03d.jpg -f rawvideo -pix_fmt gray - | " +
                              reader() + " 320 180");
  const std::vector<std::string> got = lines(numbers.out);
  ASSERT_EQ(got.size(), pictures);
  for (size_t i = 1; i < got.size(); ++i) ASSERT_EQ(std::stoul(got[i]), std::stoul(got[i - 1]) + 1);
}

}  // namespace

namespace {

using kavo::logger::LogRecord;

// The request names of the journal from the first line on, file-descriptor bookkeeping left out.
std::vector<std::string> requestNames() {
  std::vector<std::string> out;
  for (const json& j : journal()) {
    const std::string req = j.value("req", "");
    if (req != "open" && req != "close" && req != "mmap") out.push_back(req);
  }
  return out;
}

TEST_F(VideoEncoderSim, OpenSequenceIsTheGoldenOne) {
  EncoderSettings settings = settingsOf(threeStreams());
  Probe encoder(settings, nullptr);
  ASSERT_TRUE(encoder.Open());
  const std::vector<std::string> perH264 = {
      "IAV_IOC_CHANGE_FRAMERATE_FACTOR_EX", "IAV_IOC_CHANGE_GOP_EX",      "IAV_IOC_SET_ENCODE_FORMAT_EX",
      "IAV_IOC_SET_BITRATE_EX",             "IAV_IOC_GET_H264_CONFIG_EX", "IAV_IOC_SET_H264_CONFIG_EX",
      "IAV_IOC_GET_H264_CONFIG_EX"};
  std::vector<std::string> golden = {
      "IAV_IOC_GET_UCODE_VERSION",          "IAV_IOC_GET_UCODE_INFO",
      "IAV_IOC_UPDATE_UCODE",               "IAV_IOC_GET_UCODE_VERSION",
      "IAV_IOC_ENTER_IDLE",                 "IAV_IOC_VIN_GET_SOURCE_NUM",
      "IAV_IOC_VIN_SET_CURRENT_SRC",        "IAV_IOC_VIN_SRC_GET_INFO",
      "IAV_IOC_VIN_SRC_CHECK_VIDEO_MODE",   "IAV_IOC_MAP_BSB",
      "IAV_IOC_GET_CHIP_ID_EX",             "IAV_IOC_VIN_SET_CURRENT_SRC",
      "IAV_IOC_VIN_SRC_SET_VIDEO_MODE",     "IAV_IOC_VIN_SRC_SET_FRAME_RATE",
      "IAV_IOC_VOUT_GET_SINK_NUM",          "IAV_IOC_VOUT_GET_SINK_INFO",
      "IAV_IOC_VOUT_GET_SINK_INFO",         "IAV_IOC_GET_SYSTEM_RESOURCE_LIMIT_EX",
      "IAV_IOC_SET_SYSTEM_RESOURCE_LIMIT_EX", "IAV_IOC_GET_SYSTEM_SETUP_INFO_EX",
      "IAV_IOC_SET_SYSTEM_SETUP_INFO_EX",   "IAV_IOC_SET_SOURCE_BUFFER_TYPE_ALL_EX",
      "IAV_IOC_SET_SOURCE_BUFFER_FORMAT_ALL_EX"};
  golden.insert(golden.end(), perH264.begin(), perH264.end());
  golden.insert(golden.end(), perH264.begin(), perH264.end());
  for (const char* r : {"IAV_IOC_CHANGE_FRAMERATE_FACTOR_EX", "IAV_IOC_CHANGE_GOP_EX", "IAV_IOC_SET_ENCODE_FORMAT_EX",
                        "IAV_IOC_ENABLE_PREVIEW", "IAV_IOC_SET_AUDIO_CLK_FREQ_EX"})
    golden.push_back(r);
  EXPECT_EQ(requestNames(), golden);

  // What the requests carried.
  const std::vector<json> formats = requests("IAV_IOC_SET_ENCODE_FORMAT_EX");
  ASSERT_EQ(formats.size(), 3u);
  EXPECT_EQ(formats[0]["arg"], json::parse(R"({"height":360,"id":1,"source":0,"type":1,"width":640})"));
  EXPECT_EQ(formats[1]["arg"], json::parse(R"({"height":180,"id":2,"source":1,"type":1,"width":320})"));
  EXPECT_EQ(formats[2]["arg"], json::parse(R"({"height":180,"id":4,"source":2,"type":2,"width":320})"));
  const std::vector<json> rates = requests("IAV_IOC_SET_BITRATE_EX");
  ASSERT_EQ(rates.size(), 2u);
  EXPECT_EQ(rates[0]["arg"], json::parse(R"({"avg":500000,"id":1,"max":1500000,"min":16384,"mode":1})"));
  const std::vector<json> factors = requests("IAV_IOC_CHANGE_FRAMERATE_FACTOR_EX");
  EXPECT_EQ(factors[2]["arg"], json::parse(R"({"denominator":30,"id":4,"numerator":5})"));
  const std::vector<json> configs = requests("IAV_IOC_SET_H264_CONFIG_EX");
  EXPECT_EQ(configs[0]["arg"]["M"], 2);
  EXPECT_EQ(configs[1]["arg"]["M"], 1);  // every stream after the first has M 1
  EXPECT_EQ(requests("IAV_IOC_SET_AUDIO_CLK_FREQ_EX")[0]["arg"]["hz"], 11025);
  EXPECT_EQ(kavo::sim::iav::dspState(), IAV_STATE_PREVIEW);

  // The microcode descriptor is closed and its region unmapped; the ring stays mapped.
  EXPECT_EQ(encoder.ucodeFd, -1);
  EXPECT_EQ(shell("grep -c ucode.region /proc/" + std::to_string(::getpid()) + "/maps").out, "0\n");

  // The stream state entries, written back into the settings document.
  const kavo::variant::Variant& streams = encoder.GetStreams();
  ASSERT_EQ(streams.NumericKeysCount(), 3u);
  auto& first = const_cast<kavo::variant::Variant&>(streams)[0];
  EXPECT_EQ(first["name"], "video1");
  EXPECT_EQ(first["streamOrdinal"].AsInt32(), 0);
  EXPECT_EQ(first["streamId"].AsUInt32(), 1u);
  EXPECT_EQ(first["maxFps"].AsUInt32(), 30u);
  auto& third = const_cast<kavo::variant::Variant&>(streams)[2];
  EXPECT_EQ(third["name"], "mjpg");
  EXPECT_EQ(third["streamId"].AsUInt32(), 4u);
  EXPECT_EQ(settings.video().mjpg()["maxFps"].AsUInt32(), 5u);
  EXPECT_EQ(encoder.savedDefaults.NumericKeysCount(), 3u);
  EXPECT_EQ(encoder.audioClockHz, 11025u);
  EXPECT_EQ(encoder.chipCapacity, 285300u);
  EXPECT_EQ(std::string(encoder.voutSink.name), "sim-cvbs");
}

struct SetupFault {
  const char* request;
  int nth;
  const char* message;
  const char* node;
};

// Each request of the open sequence failing in turn: its message, false at once, nothing after.
TEST_F(VideoEncoderSim, EverySetupRequestFailingStopsTheOpen) {
  const SetupFault faults[] = {
      {"open", 1, "Opening ucode failed", "/dev/ucode"},
      {"IAV_IOC_GET_UCODE_VERSION", 1, "IAV_IOC_GET_UCODE_VERSION failed", nullptr},
      {"open", 2, "Opening ucode failed", "/dev/ucode"},
      {"IAV_IOC_GET_UCODE_INFO", 1, "IAV_IOC_GET_UCODE_INFO failed", nullptr},
      {"mmap", 1, "Unable to mmap /dev/ucode", nullptr},
      {"IAV_IOC_UPDATE_UCODE", 1, "IAV_IOC_UPDATE_UCODE failed", nullptr},
      {"IAV_IOC_GET_UCODE_VERSION", 2, "IAV_IOC_GET_UCODE_VERSION failed", nullptr},
      {"open", 1, "Opening IAV failed", "/dev/iav"},
      {"IAV_IOC_ENTER_IDLE", 1, "IAV_IOC_ENTER_IDLE failed", nullptr},
      {"IAV_IOC_VIN_GET_SOURCE_NUM", 1, "IAV_IOC_VIN_GET_SOURCE_NUM failed", nullptr},
      {"IAV_IOC_VIN_SET_CURRENT_SRC", 1, "IAV_IOC_VIN_SET_CURRENT_SRC failed", nullptr},
      {"IAV_IOC_VIN_SRC_GET_INFO", 1, "IAV_IOC_VIN_SRC_GET_INFO failed", nullptr},
      {"IAV_IOC_VIN_SRC_CHECK_VIDEO_MODE", 1, "IAV_IOC_VIN_SRC_CHECK_VIDEO_MODE failed", nullptr},
      {"IAV_IOC_MAP_BSB", 1, "IAV_IOC_MAP_BSB failed", nullptr},
      {"IAV_IOC_GET_CHIP_ID_EX", 1, "IAV_IOC_GET_CHIP_ID_EX failed", nullptr},
      {"IAV_IOC_VIN_SET_CURRENT_SRC", 2, "IAV_IOC_VIN_SET_CURRENT_SRC failed", nullptr},
      {"IAV_IOC_VIN_SRC_SET_VIDEO_MODE", 1, "IAV_IOC_VIN_SRC_SET_VIDEO_MODE failed", nullptr},
      {"IAV_IOC_VIN_SRC_SET_FRAME_RATE", 1, "IAV_IOC_VIN_SRC_SET_FRAME_RATE failed", nullptr},
      {"IAV_IOC_VOUT_GET_SINK_NUM", 1, "IAV_IOC_VOUT_GET_SINK_NUM failed", nullptr},
      {"IAV_IOC_VOUT_GET_SINK_INFO", 2, "IAV_IOC_VOUT_GET_SINK_INFO failed", nullptr},
      {"IAV_IOC_GET_SYSTEM_RESOURCE_LIMIT_EX", 1, "IAV_IOC_GET_SYSTEM_RESOURCE_LIMIT_EX failed", nullptr},
      {"IAV_IOC_SET_SYSTEM_RESOURCE_LIMIT_EX", 1, "IAV_IOC_SET_SYSTEM_RESOURCE_LIMIT_EX failed", nullptr},
      {"IAV_IOC_GET_SYSTEM_SETUP_INFO_EX", 1, "IAV_IOC_GET_SYSTEM_SETUP_INFO_EX failed", nullptr},
      {"IAV_IOC_SET_SYSTEM_SETUP_INFO_EX", 1, "IAV_IOC_SET_SYSTEM_SETUP_INFO_EX failed", nullptr},
      {"IAV_IOC_SET_SOURCE_BUFFER_TYPE_ALL_EX", 1, "IAV_IOC_SET_SOURCE_BUFFER_TYPE_ALL_EX failed", nullptr},
      {"IAV_IOC_SET_SOURCE_BUFFER_FORMAT_ALL_EX", 1, "IAV_IOC_SET_SOURCE_BUFFER_FORMAT_ALL_EX failed", nullptr},
      {"IAV_IOC_CHANGE_FRAMERATE_FACTOR_EX", 1, "Unable to setup framerate", nullptr},
      {"IAV_IOC_CHANGE_GOP_EX", 2, "IAV_IOC_CHANGE_GOP_EX failed", nullptr},
      {"IAV_IOC_SET_ENCODE_FORMAT_EX", 3, "IAV_IOC_SET_ENCODE_FORMAT_EX failed", nullptr},
      {"IAV_IOC_SET_BITRATE_EX", 1, "Unable to setup bitrate", nullptr},
      {"IAV_IOC_GET_H264_CONFIG_EX", 1, "IAV_IOC_GET_H264_CONFIG_EX failed", nullptr},
      {"IAV_IOC_SET_H264_CONFIG_EX", 2, "IAV_IOC_SET_H264_CONFIG_EX failed", nullptr},
      {"IAV_IOC_GET_H264_CONFIG_EX", 2, "IAV_IOC_GET_H264_CONFIG_EX failed", nullptr},
      {"IAV_IOC_ENABLE_PREVIEW", 1, "IAV_IOC_ENABLE_PREVIEW failed", nullptr},
      {"IAV_IOC_SET_AUDIO_CLK_FREQ_EX", 1, "IAV_IOC_SET_AUDIO_CLK_FREQ_EX failed", nullptr},
  };
  for (const SetupFault& f : faults) {
    SCOPED_TRACE(std::string(f.request) + " #" + std::to_string(f.nth));
    kavo::sim::iav::resetState();
    ::unlink(kavo::sim::iav::journalFile().c_str());
    // The simulator counts requests from when it takes the faults and forgets them when this
    // process lets go of its last descriptor: hold one for the whole open.
    const int holder = kavo::os::devOpen("/dev/iav", O_RDONLY);
    ASSERT_GE(holder, 0);
    json fault = {{"request", f.request}, {"nth", f.nth}, {"errno", "EIO"}};
    if (f.node) fault["node"] = f.node;
    ASSERT_TRUE(kavo::sim::iav::setFaults(json{{"faults", {fault}}}.dump()));
    EncoderSettings settings = settingsOf(threeStreams());
    LogCapture log;
    {
      Probe encoder(settings, nullptr);
      EXPECT_FALSE(encoder.Open());
    }
    kavo::os::devClose(holder);
    bool found = false;
    for (const LogRecord& r : log.records()) {
      if (r.message != f.message) continue;
      found = true;
      EXPECT_EQ(r.level, LOG_LEVEL_ERROR);
      EXPECT_EQ(r.module, "kavo_encoder");
      const bool request = std::string(f.message).rfind("IAV_IOC_", 0) == 0 || std::string(f.message).rfind("Opening", 0) == 0 ||
                           std::string(f.message).rfind("Unable to mmap", 0) == 0;
      if (request) {
        EXPECT_EQ(r.err, EIO);
      }
    }
    EXPECT_TRUE(found) << log.dump();
    // Nothing after the failed request but closing the descriptors.
    const std::vector<json> lines = journal();
    size_t faulted = lines.size();
    for (size_t i = 0; i < lines.size(); ++i)
      if (lines[i].value("fault", false)) faulted = i;
    ASSERT_LT(faulted, lines.size());
    for (size_t i = faulted + 1; i < lines.size(); ++i) EXPECT_EQ(lines[i].value("req", ""), "close") << lines[i].dump();
    kavo::sim::iav::setFaults("");
  }
}

TEST_F(VideoEncoderSim, StartStopAndKeyFramesStopAtTheFirstFailingStream) {
  EncoderSettings settings = settingsOf(threeStreams());
  Probe encoder(settings, nullptr);
  ASSERT_TRUE(encoder.Open());
  LogCapture log;
  kavo::sim::iav::setFaults(R"({"faults": [{"request": "IAV_IOC_START_ENCODE_EX", "nth": 2, "errno": "EIO"}]})");
  EXPECT_FALSE(encoder.StartEncode());
  EXPECT_TRUE(log.has("start ? IAV_IOC_START_ENCODE_EX : IAV_IOC_STOP_ENCODE_EX failed", LOG_LEVEL_ERROR));
  EXPECT_EQ(requests("IAV_IOC_START_ENCODE_EX").size(), 2u);  // the third stream is never asked
  kavo::sim::iav::setFaults("");
  // The first stream encodes and the others do not: the driver refuses to stop them.
  EXPECT_FALSE(encoder.StopEncode());
  ASSERT_TRUE(encoder.Open());
  ASSERT_TRUE(encoder.StartEncode());
  kavo::sim::iav::setFaults(R"({"faults": [{"request": "IAV_IOC_FORCE_IDR_EX", "nth": 2, "errno": "EINVAL"}]})");
  EXPECT_FALSE(encoder.ForceIDR());
  EXPECT_TRUE(log.has("IAV_IOC_FORCE_IDR_EX failed", LOG_LEVEL_ERROR));
  EXPECT_EQ(requests("IAV_IOC_FORCE_IDR_EX").size(), 2u);
  kavo::sim::iav::setFaults("");
  EXPECT_TRUE(encoder.ForceIDR());
  const std::vector<json> idr = requests("IAV_IOC_FORCE_IDR_EX");
  ASSERT_EQ(idr.size(), 5u);
  EXPECT_EQ(idr[4]["arg"]["id"], 4);  // MJPEG streams are included
}

struct ChipCase {
  int chipId;
  uint32_t capability;
  const char* warning;
};

TEST_F(VideoEncoderSim, ChipPerformanceFollowsTheChipTable) {
  const ChipCase cases[] = {
      {-1, 0, "chipId not properly detected. Defaulting to the lowest capabilities"},
      {0, 131400, nullptr},
      {1, 230400, nullptr},
      {2, 285300, nullptr},
      {5, 285300, nullptr},
      {6, 0, "chipId 6 is outside the known chip ids. Defaulting to the lowest capabilities"},
      {7, 0, "chipId 7 is outside the known chip ids. Defaulting to the lowest capabilities"},
  };
  const char* names[] = {"UNKNOWN", "X5S_33", "X5S_55", "X5S_66", "X5S_70", "X5S_88", "X5S_99"};
  for (const ChipCase& c : cases) {
    SCOPED_TRACE(c.chipId);
    kavo::sim::iav::resetState();
    ::unlink(kavo::sim::iav::journalFile().c_str());
    simConfig(root, {{"chipId", c.chipId}});
    LogCapture log;
    EXPECT_EQ(VideoEncoder::GetChipPerformance(), c.capability);
    EXPECT_TRUE(log.has("chipId returned by IAV_IOC_GET_CHIP_ID_EX is: " + std::to_string(c.chipId), LOG_LEVEL_INFO));
    if (c.warning) {
      EXPECT_TRUE(log.has(c.warning, LOG_LEVEL_WARNING)) << log.dump();
    }
    const unsigned row = c.chipId >= 0 && c.chipId <= 5 ? c.chipId + 1 : 0;
    EXPECT_TRUE(log.has(std::string(names[row]) + " chip detected capable of " + std::to_string(c.capability) + "Mbps",
                        LOG_LEVEL_INFO));
    // The same rule sets the capacity that the validation uses.
    EncoderSettings settings = settingsOf(threeStreams());
    Probe encoder(settings, nullptr);
    const bool opened = encoder.Open();
    EXPECT_EQ(encoder.chipCapacity, c.capability);
    EXPECT_EQ(opened, c.capability != 0);
    if (c.capability == 0) {
      EXPECT_TRUE(log.has("Mbps exceeded: wanted: 27600; max: 0", LOG_LEVEL_ERROR));
    }
  }
  EXPECT_EQ(kavo::encoder::chipsCount, 7u);
  for (unsigned r = 0; r < kavo::encoder::chipsCount; ++r) EXPECT_EQ(kavo::encoder::chips[r].id, static_cast<int>(r) - 1);

  kavo::sim::iav::resetState();
  simConfig(root, {{"absent", {"/dev/iav"}}});
  LogCapture log;
  EXPECT_EQ(VideoEncoder::GetChipPerformance(), 0u);
  EXPECT_TRUE(log.has("Opening IAV failed", LOG_LEVEL_ERROR));
  // The device is closed on every path.
  kavo::sim::iav::resetState();
  simConfig(root);
  kavo::sim::iav::setFaults(R"({"faults": [{"request": "IAV_IOC_GET_CHIP_ID_EX", "errno": "EIO"}]})");
  EXPECT_EQ(VideoEncoder::GetChipPerformance(), 0u);
  EXPECT_TRUE(log.has("IAV_IOC_GET_CHIP_ID_EX failed", LOG_LEVEL_ERROR));
  EXPECT_EQ(requests("close").size(), requests("open").size());
  EXPECT_TRUE(kavo::sim::iav::resetState()) << "no simulated descriptor is left open";
}

TEST_F(VideoEncoderSim, MicrocodeLoad) {
  EncoderSettings settings = settingsOf(threeStreams());
  {  // already running: no module is read, the version is logged once
    simConfig(root, {{"ucode", {{"running", true}}}});
    LogCapture log;
    Probe encoder(settings, nullptr);
    ASSERT_TRUE(encoder.Open());
    EXPECT_FALSE(log.contains("Loading DSP ucode"));
    EXPECT_EQ(log.count("Microcode version 3.1 - 3/6/2014"), 1u);
    EXPECT_TRUE(requests("IAV_IOC_UPDATE_UCODE").empty());
  }
  {  // the firmware path is taken as it stands, without a separator
    kavo::sim::iav::resetState();
    ::unlink(kavo::sim::iav::journalFile().c_str());
    simConfig(root);
    VideoEncoder::GetChipPerformance();  // the simulator installs its modules under /lib/firmware/
    for (const char* m : {"dsp_code.bin", "dsp_memd.bin", "dsp_data.bin"})
      root.write(std::string("/opt/fw") + m, root.read(std::string("/lib/firmware/") + m));
    EncoderSettings custom = settings;
    custom.firmwarePath("/opt/fw");
    LogCapture log;
    Probe encoder(custom, nullptr);
    ASSERT_TRUE(encoder.Open()) << log.dump();
    EXPECT_TRUE(log.has("Loading DSP ucode /opt/fwdsp_code.bin", LOG_LEVEL_INFO));
    EXPECT_TRUE(log.has("Loading DSP ucode /opt/fwdsp_data.bin", LOG_LEVEL_INFO));
  }
  {  // a missing module file ends the load with a line that names it and the error
    kavo::sim::iav::resetState();
    ::unlink(kavo::sim::iav::journalFile().c_str());
    simConfig(root, {{"ucode", {{"installFirmware", false}}}});
    ::unlink(root.path("/lib/firmware/dsp_memd.bin").c_str());
    LogCapture log;
    Probe encoder(settings, nullptr);
    EXPECT_FALSE(encoder.Open());
    const std::vector<LogRecord> records = log.records();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().message, "Unable to open DSP ucode /lib/firmware/dsp_memd.bin");
    EXPECT_EQ(records.back().level, LOG_LEVEL_ERROR);
    EXPECT_EQ(records.back().err, ENOENT);
    EXPECT_EQ(shell("grep -c ucode.region /proc/" + std::to_string(::getpid()) + "/maps").out, "0\n");
  }
  {  // a module that runs past the region is refused instead of written beyond it
    kavo::sim::iav::resetState();
    ::unlink(kavo::sim::iav::journalFile().c_str());
    simConfig(root);
    VideoEncoder::GetChipPerformance();
    root.write("/lib/firmware/dsp_data.bin", std::string(1536 * 1024, 'x'));  // at 3 MiB in a 4 MiB region
    LogCapture log;
    Probe encoder(settings, nullptr);
    EXPECT_FALSE(encoder.Open());
    EXPECT_TRUE(log.has("DSP ucode /lib/firmware/dsp_data.bin does not fit the microcode region", LOG_LEVEL_ERROR));
    EXPECT_TRUE(requests("IAV_IOC_UPDATE_UCODE").empty());
    EXPECT_EQ(shell("grep -c ucode.region /proc/" + std::to_string(::getpid()) + "/maps").out, "0\n");
  }
  {  // modules the DSP does not boot from
    kavo::sim::iav::resetState();
    ::unlink(kavo::sim::iav::journalFile().c_str());
    simConfig(root);
    ::unlink(root.path("/lib/firmware/dsp_data.bin").c_str());  // the simulator installs it again
    VideoEncoder::GetChipPerformance();
    root.write("/lib/firmware/dsp_code.bin", std::string(4096, 'x'));
    LogCapture log;
    Probe encoder(settings, nullptr);
    EXPECT_FALSE(encoder.Open());
    EXPECT_TRUE(log.has("Loading microcode failed", LOG_LEVEL_ERROR)) << log.dump();
  }
}

TEST_F(VideoEncoderSim, VideoOutputNeedsACompositeSink) {
  EncoderSettings settings = settingsOf(threeStreams());
  struct Case {
    json sinks;
    bool ok;
    const char* chosen;
  };
  const Case cases[] = {
      {json::array(), false, nullptr},
      {json::parse(R"([{"id":0,"sourceId":1,"name":"hdmi","type":2},{"id":1,"sourceId":0,"name":"lcd","type":3}])"), false,
       nullptr},
      {json::parse(R"([{"id":0,"sourceId":0,"name":"cvbs-a","type":1},{"id":1,"sourceId":1,"name":"cvbs-b","type":1}])"), true,
       "cvbs-b"},
  };
  for (const Case& c : cases) {
    kavo::sim::iav::resetState();
    ::unlink(kavo::sim::iav::journalFile().c_str());
    simConfig(root, {{"vout", c.sinks}});
    LogCapture log;
    Probe encoder(settings, nullptr);
    EXPECT_EQ(encoder.Open(), c.ok);
    if (!c.ok) {
      EXPECT_TRUE(log.has("VOUT type CVBS not found", LOG_LEVEL_ERROR));
      continue;
    }
    EXPECT_EQ(std::string(encoder.voutSink.name), c.chosen);
    EXPECT_TRUE(log.has("\t1. id: 0; sourceId: 0; name: cvbs-a; sinkType: 1;", LOG_LEVEL_DEBUG));
    EXPECT_TRUE(log.has("\t2. id: 1; sourceId: 1; name: cvbs-b; sinkType: 1;", LOG_LEVEL_DEBUG));
    EXPECT_TRUE(log.has("VOUT is now cvbs-b", LOG_LEVEL_DEBUG));
  }
}

// The diagnostics dump the records as the driver holds them after the open.
TEST_F(VideoEncoderSim, DumpsShowTheDriversRecords) {
  EncoderSettings settings = settingsOf(threeStreams());
  Probe encoder(settings, nullptr);
  ASSERT_TRUE(encoder.Open());
  iav_system_resource_setup_ex_s limits{};
  ASSERT_EQ(kavo::os::devIoctl(encoder.iavFd, IAV_IOC_GET_SYSTEM_RESOURCE_LIMIT_EX, &limits), 0);
  LogCapture log;
  encoder.DumpResourcesLimits(limits);
  EXPECT_EQ(log.records().size(), 20u + 8 * 4);
  for (const char* line : {"main_source_buffer_max_width: 640", "second_source_buffer_max_height: 180",
                           "max_num_encode_streams: 4", "cavlc_max_bitrate: 2000000", "MCTF_possible: 1",
                           "stream_max_GOP_M[0]: 3", "stream_max_GOP_M[1]: 1", "stream_max_GOP_N[3]: ff",
                           "stream_max_encode_size[1]: 320x180", "stream_max_encode_size[7]: 0x0"})
    EXPECT_TRUE(log.has(line, LOG_LEVEL_DEBUG)) << line << "\n" << log.dump();

  iav_h264_config_ex_s config{};
  config.id = 2;
  ASSERT_EQ(kavo::os::devIoctl(encoder.iavFd, IAV_IOC_GET_H264_CONFIG_EX, &config), 0);
  kavo::variant::Variant dump = encoder.DumpH264Config(config);
  EXPECT_EQ(dump.StringKeysCount(), 58u);
  EXPECT_EQ(dump["id"].AsUInt32(), 2u);
  EXPECT_EQ(dump["M"].AsUInt32(), 1u);
  EXPECT_EQ(dump["N"].AsUInt32(), 30u);
  EXPECT_EQ(dump["au_type"].AsUInt32(), 0u);
  EXPECT_EQ(dump["qp_delta"].NumericKeysCount(), 3u);
  EXPECT_EQ(dump["qp_delta"][0].NumericKeysCount(), 4u);
  EXPECT_EQ(dump["reserved"].NumericKeysCount(), 2u);
}

TEST_F(VideoEncoderSim, CloseReleasesEverythingAndDescriptorZeroIsADescriptor) {
  EncoderSettings settings = settingsOf(threeStreams());
  Probe encoder(settings, nullptr);
  ASSERT_TRUE(encoder.Open());
  encoder.Close();
  EXPECT_EQ(encoder.iavFd, -1);
  EXPECT_EQ(encoder.GetStreams().NumericKeysCount(), 0u);
  EXPECT_EQ(encoder.frame.ringBase, nullptr);
  EXPECT_EQ(encoder.growthFactor, 1.1);
  EXPECT_EQ(encoder.savedDefaults.NumericKeysCount(), 3u);  // Close keeps the snapshots
  encoder.Close();                                          // a closed object stays as it is
  EXPECT_TRUE(kavo::sim::iav::resetState()) << "every simulated descriptor is closed";

  // A descriptor numbered 0 is closed like any other; -1 is left alone.
  const int saved = ::dup(0);
  ::close(0);
  int fd = ::open("/dev/null", O_RDONLY);
  ASSERT_EQ(fd, 0);
  EXPECT_TRUE(encoder.CloseFD(&fd));
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(::fcntl(0, F_GETFD), -1);
  EXPECT_TRUE(encoder.CloseFD(&fd));
  EXPECT_TRUE(encoder.CloseFD(nullptr));
  ::dup2(saved, 0);
  ::close(saved);
}

}  // namespace

namespace {

// Frames read from a started encoder, and the requests made while reading them.
class VideoFramesSim : public VideoEncoderSim {
 protected:
  void SetUp() override {
    VideoEncoderSim::SetUp();
    settings = settingsOf(threeStreams());
    encoder.reset(new Probe(settings, nullptr));
    ASSERT_TRUE(encoder->Open());
    ASSERT_TRUE(encoder->StartEncode());
    mark = lastSeq();
  }
  void TearDown() override {
    encoder.reset();
    VideoEncoderSim::TearDown();
  }
  // Reads `count` descriptors (GetFrame calls); returns the frames handed out.
  std::vector<video_frame_t> read(int count) {
    std::vector<video_frame_t> out;
    for (int i = 0; i < count; ++i)
      if (const video_frame_t* f = encoder->GetFrame()) out.push_back(*f);
    return out;
  }
  static size_t count(const std::vector<LogRecord>& records, const std::string& prefix) {
    size_t n = 0;
    for (const LogRecord& r : records) n += r.message.rfind(prefix, 0) == 0;
    return n;
  }

  EncoderSettings settings;
  std::unique_ptr<Probe> encoder;
  uint64_t mark = 0;  // journal lines up to here came before the test
};

struct FrameFaultCase {
  const char* fault;
  const char* message;  // null: the frames pass
};

// A frame that does not follow its predecessor, a runaway queue or a frame without a 4-byte start
// code: the frame is dropped, every stream restarted and every bitrate lowered.
TEST_F(VideoFramesSim, CorruptFramesRestartTheStreams) {
  const FrameFaultCase cases[] = {
      {R"({"frame": "gap", "after": 10, "skip": 2})",
       "Encoding issues detected: frame sequence: FAIL; queue size: OK; valid frame: OK"},
      {R"({"frame": "queue", "after": 10, "backlog": 151})",
       "Encoding issues detected: frame sequence: OK; queue size: FAIL; valid frame: OK"},
      {R"({"frame": "startcode", "after": 10})",
       "Encoding issues detected: frame sequence: OK; queue size: OK; valid frame: FAIL"},
      {R"({"frame": "queue", "after": 10, "backlog": 150})", nullptr},
  };
  for (const FrameFaultCase& c : cases) {
    SCOPED_TRACE(c.fault);
    ASSERT_TRUE(kavo::sim::iav::setFaults(std::string(R"({"faults": [)") + c.fault + "]}"));
    const uint64_t since = lastSeq();
    LogCapture log;
    const std::vector<video_frame_t> frames = read(40);
    const std::vector<LogRecord> records = log.records();
    if (c.message == nullptr) {
      EXPECT_EQ(count(records, "Encoding issues detected"), 0u) << log.dump();
      EXPECT_TRUE(requests("IAV_IOC_STOP_ENCODE_EX", since).empty());
      continue;
    }
    ASSERT_EQ(count(records, "Encoding issues detected"), 1u) << log.dump();
    EXPECT_TRUE(log.has(c.message, LOG_LEVEL_ERROR));
    EXPECT_EQ(frames.size(), 39u) << "the frame that set the recovery off is never handed out";
    // Stop every stream, start them, lower every bitrate; nothing more.
    std::vector<std::string> seen;
    for (const json& j : journalSince(since)) {
      const std::string req = j.value("req", "");
      if (req != "IAV_IOC_READ_BITSTREAM_EX") seen.push_back(req + " " + std::to_string(j["arg"].value("id", 0)));
    }
    const std::vector<std::string> expected = {
        "IAV_IOC_STOP_ENCODE_EX 1",  "IAV_IOC_STOP_ENCODE_EX 2",  "IAV_IOC_STOP_ENCODE_EX 4",
        "IAV_IOC_START_ENCODE_EX 1", "IAV_IOC_START_ENCODE_EX 2", "IAV_IOC_START_ENCODE_EX 4",
        "IAV_IOC_SET_BITRATE_EX 1",  "IAV_IOC_SET_BITRATE_EX 2",  "IAV_IOC_SET_BITRATE_EX 4"};
    EXPECT_EQ(seen, expected);
    // The first frame after the restart is taken as following, whatever its number.
    EXPECT_EQ(count(records, "Start Encoding"), 0u);
  }
  // The adaptation went down three times: 0.9 of 0.9 of 0.9 of each stream's maximum.
  const std::vector<json> rates = requests("IAV_IOC_SET_BITRATE_EX", mark);
  ASSERT_EQ(rates.size(), 9u);
  EXPECT_EQ(rates[0]["arg"]["max"], 1350000);
  EXPECT_EQ(rates[3]["arg"]["max"], 1215000);
  EXPECT_EQ(rates[6]["arg"]["max"], 1093500);
  EXPECT_EQ(rates[6]["arg"]["mode"], 1);
  EXPECT_EQ(rates[7]["arg"]["max"], 437400);
}

TEST_F(VideoFramesSim, StaleDescriptorsAreReadOverAndEagainIsNoFrame) {
  ASSERT_TRUE(kavo::sim::iav::setFaults(R"({"faults": [{"frame": "stalepts", "after": 5, "frames": 3},
                                                       {"frame": "eagain", "after": 20, "frames": 4}]})"));
  LogCapture log;
  uint64_t lastPts = 0;
  int nulls = 0, frames = 0;
  for (int i = 0; i < 60; ++i) {
    const video_frame_t* f = encoder->GetFrame();
    if (f == nullptr) {
      ++nulls;
      continue;
    }
    ++frames;
    EXPECT_GT(f->desc.pts, lastPts) << "no descriptor is handed out twice";
    lastPts = f->desc.pts;
  }
  EXPECT_EQ(nulls, 4);
  EXPECT_EQ(frames, 56);
  EXPECT_TRUE(log.records().empty()) << log.dump();
  // A stale descriptor costs one more read, not a frame.
  size_t reads = 0;
  for (const json& j : requests("IAV_IOC_READ_BITSTREAM_EX", mark)) reads += j.value("count", 1);
  EXPECT_EQ(reads, 63u);
}

// The start after the restart fails: the escalation pauses analytics, sets the input and the
// preview up again and starts once more.
TEST_F(VideoFramesSim, FailedRestartEscalates) {
  ASSERT_TRUE(kavo::sim::iav::setFaults(R"({"faults": [{"frame": "gap", "after": 3, "skip": 1},
      {"request": "IAV_IOC_START_ENCODE_EX", "nth": 1, "errno": "EIO"}]})"));
  LogCapture log;
  const std::vector<video_frame_t> frames = read(30);
  EXPECT_EQ(frames.size(), 29u);
  EXPECT_TRUE(log.has("Start Encoding Failed!", LOG_LEVEL_ERROR));
  EXPECT_FALSE(log.contains("still Failed"));
  EXPECT_FALSE(log.contains("Try to restart"));
  std::vector<std::string> seen;
  for (const json& j : journalSince(mark)) {
    const std::string req = j.value("req", "");
    if (req != "IAV_IOC_READ_BITSTREAM_EX") seen.push_back(req);
  }
  const std::vector<std::string> expected = {
      "IAV_IOC_STOP_ENCODE_EX",         "IAV_IOC_STOP_ENCODE_EX",         "IAV_IOC_STOP_ENCODE_EX",
      "IAV_IOC_START_ENCODE_EX",        "IAV_IOC_VIN_SET_CURRENT_SRC",    "IAV_IOC_VIN_SRC_SET_VIDEO_MODE",
      "IAV_IOC_VIN_SRC_SET_FRAME_RATE", "IAV_IOC_ENABLE_PREVIEW",         "IAV_IOC_SET_AUDIO_CLK_FREQ_EX",
      "IAV_IOC_START_ENCODE_EX",        "IAV_IOC_START_ENCODE_EX",        "IAV_IOC_START_ENCODE_EX",
      "IAV_IOC_SET_BITRATE_EX",         "IAV_IOC_SET_BITRATE_EX",         "IAV_IOC_SET_BITRATE_EX"};
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(kavo::sim::iav::dspState(), IAV_STATE_ENCODING);
}

TEST_F(VideoFramesSim, EscalationThatFailsKeepsFailing) {
  {  // the input cannot be set up again
    ASSERT_TRUE(kavo::sim::iav::setFaults(R"({"faults": [{"frame": "gap", "after": 3, "skip": 1},
        {"request": "IAV_IOC_START_ENCODE_EX", "nth": 1, "errno": "EIO"},
        {"request": "IAV_IOC_VIN_SET_CURRENT_SRC", "nth": 1, "errno": "EIO"}]})"));
    LogCapture log;
    read(5);
    EXPECT_TRUE(log.has("Try to restart streamer Failed!!", LOG_LEVEL_ERROR)) << log.dump();
    EXPECT_NE(encoder->lastFrameNumber, 0u) << "kept after a failed recovery";
  }
  // Open lets go of every descriptor, after which the simulator counts the same faults anew.
  ASSERT_TRUE(kavo::sim::iav::setFaults(""));
  ASSERT_TRUE(encoder->Open());
  ASSERT_TRUE(encoder->StartEncode());
  {  // the start fails twice: nothing encodes, so no frame would ever run the recovery again
    ASSERT_TRUE(kavo::sim::iav::setFaults(R"({"faults": [{"frame": "gap", "after": 3, "skip": 1},
        {"request": "IAV_IOC_START_ENCODE_EX", "nth": 1, "times": 2, "errno": "EIO"}]})"));
    LogCapture log;
    const std::vector<video_frame_t> frames = read(8);
    EXPECT_TRUE(log.has("Start Encoding Failed!", LOG_LEVEL_ERROR));
    EXPECT_TRUE(log.has("Start Encoding still Failed!!", LOG_LEVEL_ERROR));
    EXPECT_LE(frames.size(), 4u);  // the three H.264 frames before the gap, and maybe a picture
    // Until a second has passed the reads give nothing, without a message each and without
    // spinning (each empty call waits a little, as the driver's read would).
    const uint64_t before = kavo::utils::nowMs();
    EXPECT_EQ(read(20).size(), 0u);
    EXPECT_GE(kavo::utils::nowMs() - before, 100u);
    EXPECT_FALSE(log.contains("IAV_IOC_READ_BITSTREAM_EX failed")) << log.dump();
    EXPECT_EQ(kavo::sim::iav::dspState(), IAV_STATE_PREVIEW);
    // A second on, the next read sets the input, the preview and the streams up again.
    const uint64_t since = lastSeq();
    kavo::utils::advanceMomentsForTest(1000);
    EXPECT_EQ(read(1).size(), 0u);
    EXPECT_EQ(requests("IAV_IOC_ENABLE_PREVIEW", since).size(), 1u);
    EXPECT_EQ(kavo::sim::iav::dspState(), IAV_STATE_ENCODING);
    EXPECT_EQ(read(10).size(), 10u) << log.dump();
    kavo::utils::resetMomentsForTest();
  }
}

}  // namespace
