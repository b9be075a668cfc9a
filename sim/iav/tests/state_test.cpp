// The simulated driver's state machine, set-up requests, microcode and journal.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "iav_client.h"
#include "kavo/logger/logger.h"

namespace {

using namespace simtest;

const std::vector<StreamSpec> kTwoStreams = {
    {IAV_ENCODE_H264, 640, 360, 30, 30},
    {IAV_ENCODE_MJPEG, 320, 240, 5, 0},
};

std::vector<std::string> requestNames(const std::vector<nlohmann::json>& lines, int pid = -1) {
  std::vector<std::string> out;
  for (const auto& l : lines)
    if (l.contains("req") && (pid < 0 || l.value("pid", 0) == pid)) out.push_back(l["req"].get<std::string>());
  return out;
}

TEST(IavState, OpenSequenceWalksIdlePreviewEncoding) {
  kavo::test::TestRoot root;
  writeConfig(root, R"({"clock": "virtual"})");
  EXPECT_EQ(kavo::sim::iav::dspState(), IAV_STATE_INIT);
  Client c;
  ASSERT_EQ(c.setup(kTwoStreams), 0);
  EXPECT_EQ(c.inputFps, 30u);
  EXPECT_EQ(c.mode.width, 1920u);
  EXPECT_EQ(c.mode.height, 1080u);
  EXPECT_EQ(c.ringSize, 4u << 20);
  uint32_t state = 0;
  ASSERT_EQ(req(c.iav, IAV_IOC_GET_STATE, &state), 0);
  EXPECT_EQ(state, IAV_STATE_PREVIEW);
  ASSERT_EQ(c.startStop(true), 0);
  EXPECT_EQ(kavo::sim::iav::dspState(), IAV_STATE_ENCODING);
  iav_bitstream_desc_t d{};
  EXPECT_EQ(c.read(d), 0);
  ASSERT_EQ(c.startStop(false), 0);
  EXPECT_EQ(kavo::sim::iav::dspState(), IAV_STATE_PREVIEW);
  c.close();

  // The journal names every request in the order made, with its decoded argument and result.
  const auto lines = journal();
  const auto names = requestNames(lines);
  const std::vector<std::string> head = {
      "open",
      "IAV_IOC_GET_UCODE_VERSION",
      "IAV_IOC_GET_UCODE_INFO",
      "mmap",
      "IAV_IOC_UPDATE_UCODE",
      "IAV_IOC_GET_UCODE_VERSION",
      "close",
      "open",
      "IAV_IOC_ENTER_IDLE",
      "IAV_IOC_VIN_GET_SOURCE_NUM",
      "IAV_IOC_VIN_SET_CURRENT_SRC",
      "IAV_IOC_VIN_SRC_GET_INFO",
      "IAV_IOC_VIN_SRC_CHECK_VIDEO_MODE",
      "IAV_IOC_MAP_BSB",
      "IAV_IOC_VIN_SET_CURRENT_SRC",
      "IAV_IOC_VIN_SRC_SET_VIDEO_MODE",
      "IAV_IOC_VIN_SRC_SET_FRAME_RATE",
      "IAV_IOC_GET_SYSTEM_RESOURCE_LIMIT_EX",
      "IAV_IOC_SET_SYSTEM_RESOURCE_LIMIT_EX",
      "IAV_IOC_GET_SYSTEM_SETUP_INFO_EX",
      "IAV_IOC_SET_SYSTEM_SETUP_INFO_EX",
      "IAV_IOC_SET_SOURCE_BUFFER_TYPE_ALL_EX",
      "IAV_IOC_SET_SOURCE_BUFFER_FORMAT_ALL_EX",
      "IAV_IOC_CHANGE_FRAMERATE_FACTOR_EX",
      "IAV_IOC_CHANGE_GOP_EX",
      "IAV_IOC_SET_ENCODE_FORMAT_EX",
      "IAV_IOC_SET_BITRATE_EX",
      "IAV_IOC_GET_H264_CONFIG_EX",
      "IAV_IOC_SET_H264_CONFIG_EX",
      "IAV_IOC_CHANGE_FRAMERATE_FACTOR_EX",
      "IAV_IOC_CHANGE_GOP_EX",
      "IAV_IOC_SET_ENCODE_FORMAT_EX",
      "IAV_IOC_ENABLE_PREVIEW",
      "IAV_IOC_SET_AUDIO_CLK_FREQ_EX",
      "IAV_IOC_GET_STATE",
      "IAV_IOC_START_ENCODE_EX",
      "IAV_IOC_START_ENCODE_EX",
      "IAV_IOC_READ_BITSTREAM_EX",
      "IAV_IOC_STOP_ENCODE_EX",
      "IAV_IOC_STOP_ENCODE_EX",
      "close",
  };
  EXPECT_EQ(names, head);
  for (const auto& l : lines) {
    ASSERT_FALSE(l.is_discarded());
    EXPECT_TRUE(l.contains("seq") && l.contains("t") && l.contains("pid") && l.contains("rc")) << l.dump();
  }
  const auto& rate = lines[26];
  EXPECT_EQ(rate["req"], "IAV_IOC_SET_BITRATE_EX");
  EXPECT_EQ(rate["arg"]["id"], 1);
  EXPECT_EQ(rate["arg"]["max"], 1000000);
  EXPECT_EQ(rate["state"], "idle");
  const auto& boot = lines[4];
  EXPECT_EQ(boot["arg"]["booted"], true);
  EXPECT_EQ(lines.back()["req"], "close");
}

// Requests a driver refuses, each at the point of the set-up where it is wrong.
TEST(IavState, RefusesWhatTheDriverRefuses) {
  kavo::test::TestRoot root;
  writeConfig(root, R"({"clock": "virtual"})");
  int fd = devOpen("/dev/iav", O_RDWR);
  ASSERT_GE(fd, 0);
  // No microcode yet.
  EXPECT_EQ(req(fd, IAV_IOC_ENTER_IDLE, uintptr_t{0}), EPERM);
  EXPECT_EQ(req(fd, IAV_IOC_VIN_SRC_SET_VIDEO_MODE, uintptr_t{0x20}), EPERM);
  int32_t chip = -7;
  EXPECT_EQ(req(fd, IAV_IOC_GET_CHIP_ID_EX, &chip), 0);  // the chip answers before its microcode runs
  EXPECT_EQ(chip, 2);
  devClose(fd);

  Client c;
  ASSERT_EQ(c.setup({{IAV_ENCODE_H264, 640, 360, 30, 30}}), 0);
  const int iav = c.iav;
  struct Case {
    const char* what;
    uint32_t code;
    uintptr_t value;
    int err;
  };
  iav_system_resource_setup_ex_s limits{};
  limits.max_num_encode_streams = 4;
  iav_encode_format_ex_t tooBig{1, IAV_ENCODE_H264, 0, 0, 1280, 720, 0, 0};
  iav_encode_format_ex_t twoBits{3, IAV_ENCODE_H264, 0, 0, 640, 360, 0, 0};
  iav_encode_format_ex_t oddSize{1, IAV_ENCODE_H264, 0, 0, 641, 360, 0, 0};
  iav_encode_format_ex_t offBuffer{2, IAV_ENCODE_H264, 1, 0, 320, 240, 0, 0};
  iav_change_framerate_factor_ex_t faster{1, 31, 30, 0};
  iav_bitrate_ex_t badMode{1, 2, 100000, 16384, 100000};
  iav_h264_config_ex_s bigM{};
  bigM.id = 1;
  bigM.M = 4;
  bigM.N = 30;
  iav_vout_sink_info_t sink9{};
  sink9.id = 9;
  const Case preview[] = {
      {"limits outside idle", IAV_IOC_SET_SYSTEM_RESOURCE_LIMIT_EX, reinterpret_cast<uintptr_t>(&limits), EPERM},
      {"stream of two bits", IAV_IOC_SET_ENCODE_FORMAT_EX, reinterpret_cast<uintptr_t>(&twoBits), EINVAL},
      {"stream above its buffer", IAV_IOC_SET_ENCODE_FORMAT_EX, reinterpret_cast<uintptr_t>(&tooBig), EINVAL},
      {"odd width", IAV_IOC_SET_ENCODE_FORMAT_EX, reinterpret_cast<uintptr_t>(&oddSize), EINVAL},
      {"buffer switched off", IAV_IOC_SET_ENCODE_FORMAT_EX, reinterpret_cast<uintptr_t>(&offBuffer), EINVAL},
      {"faster than the input", IAV_IOC_CHANGE_FRAMERATE_FACTOR_EX, reinterpret_cast<uintptr_t>(&faster), EINVAL},
      {"rate-control mode 2", IAV_IOC_SET_BITRATE_EX, reinterpret_cast<uintptr_t>(&badMode), EINVAL},
      {"M above its limit", IAV_IOC_SET_H264_CONFIG_EX, reinterpret_cast<uintptr_t>(&bigM), EINVAL},
      {"no such sink", IAV_IOC_VOUT_GET_SINK_INFO, reinterpret_cast<uintptr_t>(&sink9), EINVAL},
      {"unknown video mode", IAV_IOC_VIN_SRC_SET_VIDEO_MODE, 0x77, EINVAL},
      {"start of an unset stream", IAV_IOC_START_ENCODE_EX, 2, EINVAL},
      {"start of no stream", IAV_IOC_START_ENCODE_EX, 0, EINVAL},
      {"stop while not encoding", IAV_IOC_STOP_ENCODE_EX, 1, EPERM},
      {"key frame of an unset stream", IAV_IOC_FORCE_IDR_EX, 4, EINVAL},
      {"frame read in preview", IAV_IOC_READ_BITSTREAM_EX, reinterpret_cast<uintptr_t>(&sink9), EPERM},
      {"audio clock of 0 Hz", IAV_IOC_SET_AUDIO_CLK_FREQ_EX, 0, EINVAL},
      {"null record", IAV_IOC_GET_STATE, 0, EFAULT},
      {"microcode request on /dev/iav", IAV_IOC_GET_UCODE_VERSION, reinterpret_cast<uintptr_t>(&sink9), ENOTTY},
  };
  for (const auto& k : preview) EXPECT_EQ(req(iav, k.code, k.value), k.err) << k.what;

  ASSERT_EQ(c.startStop(true), 0);
  iav_encode_format_ex_t again{1, IAV_ENCODE_H264, 0, 0, 640, 360, 0, 0};
  iav_h264_config_ex_s h{};
  h.id = 1;
  h.M = 1;
  h.N = 30;
  const Case encoding[] = {
      {"format of an encoding stream", IAV_IOC_SET_ENCODE_FORMAT_EX, reinterpret_cast<uintptr_t>(&again), EBUSY},
      {"H.264 config while encoding", IAV_IOC_SET_H264_CONFIG_EX, reinterpret_cast<uintptr_t>(&h), EBUSY},
      {"start twice", IAV_IOC_START_ENCODE_EX, 1, EBUSY},
      {"video mode while encoding", IAV_IOC_VIN_SRC_SET_VIDEO_MODE, 0x20, EBUSY},
      {"frame rate while encoding", IAV_IOC_VIN_SRC_SET_FRAME_RATE, c.mode.frame_rate, EBUSY},
      {"preview while encoding", IAV_IOC_ENABLE_PREVIEW, 0, EBUSY},
      {"audio clock while encoding", IAV_IOC_SET_AUDIO_CLK_FREQ_EX, 48000, EBUSY},
      {"stop of a stream that does not encode", IAV_IOC_STOP_ENCODE_EX, 2, EINVAL},
      {"unknown microcode update", IAV_IOC_UPDATE_UCODE, 0, ENOTTY},
  };
  for (const auto& k : encoding) EXPECT_EQ(req(iav, k.code, k.value), k.err) << k.what;

  // What a running stream takes: rates, GOP, key frames.
  iav_bitrate_ex_t rate{1, IAV_CBR, 500000, 16384, 500000};
  EXPECT_EQ(req(iav, IAV_IOC_SET_BITRATE_EX, &rate), 0);
  EXPECT_EQ(c.setFrameRate(1, 15), 0);
  EXPECT_EQ(req(iav, IAV_IOC_FORCE_IDR_EX, uintptr_t{1}), 0);

  // Idle stops the streams; the input can then be set up again and preview entered.
  EXPECT_EQ(req(iav, IAV_IOC_ENTER_IDLE, uintptr_t{0}), 0);
  EXPECT_EQ(kavo::sim::iav::dspState(), IAV_STATE_IDLE);
  EXPECT_EQ(req(iav, IAV_IOC_VIN_SRC_SET_VIDEO_MODE, uintptr_t{0x20}), 0);
  EXPECT_EQ(req(iav, IAV_IOC_ENABLE_PREVIEW, uintptr_t{0}), EPERM);  // the frame rate is not set yet
  EXPECT_EQ(req(iav, IAV_IOC_VIN_SRC_SET_FRAME_RATE, uintptr_t{12345}), EINVAL);
  EXPECT_EQ(req(iav, IAV_IOC_VIN_SRC_SET_FRAME_RATE, uintptr_t{c.mode.frame_rate}), 0);
  EXPECT_EQ(req(iav, IAV_IOC_ENABLE_PREVIEW, uintptr_t{0}), 0);
  EXPECT_EQ(c.startStop(true), 0);  // stream configurations survive idle
}

TEST(IavState, UnknownRequestsAreRefusedAndJournalled) {
  kavo::test::TestRoot root;
  kavo::logger::LogCapture log;
  int fd = devOpen("/dev/iav", O_RDWR);
  ASSERT_GE(fd, 0);
  uint32_t x = 0;
  errno = 0;
  EXPECT_EQ(devIoctl(fd, 0xC0107699, &x), -1);  // 'v' 0x99, both directions, 16 bytes
  EXPECT_EQ(errno, ENOTTY);
  EXPECT_EQ(devIoctl(fd, IAV_IOC_GET_STATE & 0xff00ffffu, &x), -1);  // right number, wrong size
  EXPECT_EQ(errno, ENOTTY);
  devClose(fd);
  EXPECT_TRUE(log.contains("unknown request 0xc0107699 (dir 3, type 'v', nr 0x99, size 16)", LOG_LEVEL_WARNING))
      << log.dump();
  const auto lines = journal();
  ASSERT_GE(lines.size(), 3u);
  const auto& u = lines[1];
  EXPECT_EQ(u["req"], "unknown");
  EXPECT_EQ(u["code"], "0xc0107699");
  EXPECT_EQ(u["dir"], 3);
  EXPECT_EQ(u["type"], "v");
  EXPECT_EQ(u["nr"], 0x99);
  EXPECT_EQ(u["size"], 16);
  EXPECT_EQ(u["error"], "ENOTTY");
  EXPECT_EQ(lines[2]["req"], "unknown");
}

TEST(IavState, MicrocodeBootsOnlyFromGoodModules) {
  kavo::test::TestRoot root;
  Client c;
  // The simulator ships its module files under /lib/firmware/ of the root.
  EXPECT_EQ(c.loadUcode(), 0);
  int fd = devOpen("/dev/ucode", O_RDONLY);
  ASSERT_GE(fd, 0);
  iav_ucode_version_t v{};
  ASSERT_EQ(req(fd, IAV_IOC_GET_UCODE_VERSION, &v), 0);
  EXPECT_EQ(v.major_version, 3u);
  EXPECT_EQ(v.minor_version, 1u);
  EXPECT_EQ(v.year, 2014);
  iav_ucode_load_info_t info{};
  ASSERT_EQ(req(fd, IAV_IOC_GET_UCODE_INFO, &info), 0);
  EXPECT_EQ(info.nr_item, 3u);
  EXPECT_STREQ(info.items[0].filename, "dsp_code.bin");
  EXPECT_EQ(info.items[1].offset, 0x200000u);
  // A read-only descriptor cannot map the region for writing; nothing maps beyond it.
  errno = 0;
  EXPECT_EQ(devMmap(nullptr, info.map_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0), MAP_FAILED);
  EXPECT_EQ(errno, EACCES);
  EXPECT_EQ(devMmap(nullptr, info.map_size + 4096, PROT_READ, MAP_SHARED, fd, 0), MAP_FAILED);
  EXPECT_EQ(errno, EINVAL);
  devClose(fd);

  // A corrupt module: the update is taken, the DSP does not come up.
  root.write("/lib/firmware/dsp_memd.bin", std::string(4096, 'x'));
  ASSERT_TRUE(kavo::sim::iav::resetState());
  EXPECT_EQ(c.loadUcode(), -1);
  EXPECT_EQ(kavo::sim::iav::dspState(), IAV_STATE_INIT);

  // Configured as already running: nothing to load.
  ASSERT_TRUE(kavo::sim::iav::resetState());
  writeConfig(root, R"({"ucode": {"running": true, "version": {"major": 7, "minor": 9}}})");
  fd = devOpen("/dev/ucode", O_RDONLY);
  ASSERT_EQ(req(fd, IAV_IOC_GET_UCODE_VERSION, &v), 0);
  EXPECT_EQ(v.major_version, 7u);
  EXPECT_EQ(v.minor_version, 9u);
  EXPECT_EQ(kavo::sim::iav::dspState(), IAV_STATE_IDLE);
  devClose(fd);
}

TEST(IavState, ConfigurationShapesChipInputsAndOutputs) {
  kavo::test::TestRoot root;
  writeConfig(root, R"({
    "chipId": -1,
    "vin": [{"name": "small", "defaultMode": 5, "modes": [{"mode": 5, "width": 1280, "height": 720, "fps": [25]}]},
            {"name": "wide", "sensorId": 9, "modes": [{"mode": 6, "width": 1920, "height": 1080, "fps": [30, 15]}]},
            {"name": "broken", "defaultMode": 99, "modes": [{"mode": 7, "width": 640, "height": 480, "fps": [30]}]}],
    "vout": [{"id": 0, "name": "digital", "type": 3}, {"id": 1, "name": "tv", "type": 1, "sourceId": 1}],
    "absent": ["/dev/ambad"]
  })");
  int fd = devOpen("/dev/iav", O_RDWR);
  ASSERT_GE(fd, 0);
  int32_t chip = 0, count = 0;
  EXPECT_EQ(req(fd, IAV_IOC_GET_CHIP_ID_EX, &chip), 0);
  EXPECT_EQ(chip, -1);
  EXPECT_EQ(req(fd, IAV_IOC_VIN_GET_SOURCE_NUM, &count), 0);
  ASSERT_EQ(count, 3);
  struct Want {
    const char* name;
    uint32_t width;
    uint32_t fps;
    uint32_t supported;
  };
  const Want want[] = {{"small", 1280, 25, 1}, {"wide", 1920, 30, 1}, {"broken", 0, 0, 0}};
  for (int32_t i = 0; i < count; ++i) {
    ASSERT_EQ(req(fd, IAV_IOC_VIN_SET_CURRENT_SRC, &i), 0);
    iav_vin_source_info_t info{};
    ASSERT_EQ(req(fd, IAV_IOC_VIN_SRC_GET_INFO, &info), 0);
    EXPECT_STREQ(info.name, want[i].name);
    uint32_t table[4] = {9, 9, 9, 9};
    amba_vin_source_mode_info m{};
    m.mode = info.default_mode;
    m.fps_table = table;
    m.fps_table_size = 4;
    ASSERT_EQ(req(fd, IAV_IOC_VIN_SRC_CHECK_VIDEO_MODE, &m), 0);
    EXPECT_EQ(m.is_supported, want[i].supported) << want[i].name;
    EXPECT_EQ(m.width, want[i].width);
    EXPECT_EQ(m.frame_rate ? IAV_FRAME_RATE_CLOCK / m.frame_rate : 0, want[i].fps);
    if (i == 1) {
      EXPECT_EQ(table[0], IAV_FRAME_RATE_CLOCK / 30);
      EXPECT_EQ(table[1], IAV_FRAME_RATE_CLOCK / 15);
      EXPECT_EQ(table[2], 0u);
    }
  }
  int32_t bad = 3;
  EXPECT_EQ(req(fd, IAV_IOC_VIN_SET_CURRENT_SRC, &bad), EINVAL);
  EXPECT_EQ(req(fd, IAV_IOC_VOUT_GET_SINK_NUM, &count), 0);
  ASSERT_EQ(count, 2);
  iav_vout_sink_info_t sink{};
  sink.id = 1;
  ASSERT_EQ(req(fd, IAV_IOC_VOUT_GET_SINK_INFO, &sink), 0);
  EXPECT_EQ(sink.sink_type, IAV_VOUT_SINK_TYPE_CVBS);
  EXPECT_EQ(sink.source_id, 1);
  EXPECT_STREQ(sink.name, "tv");
  errno = 0;
  EXPECT_EQ(devOpen("/dev/ambad", O_RDWR), -1);
  EXPECT_EQ(errno, ENOENT);
  devClose(fd);
}

TEST(IavState, MalformedConfigurationKeepsTheDefaults) {
  kavo::test::TestRoot root;
  kavo::logger::LogCapture log;
  writeConfig(root, R"({"chipId": 4, "ringSize": 1000})");
  int fd = devOpen("/dev/iav", O_RDWR);
  ASSERT_GE(fd, 0);
  int32_t chip = 0;
  EXPECT_EQ(req(fd, IAV_IOC_GET_CHIP_ID_EX, &chip), 0);
  EXPECT_EQ(chip, 2);
  EXPECT_TRUE(log.contains("\"ringSize\" must be a multiple of 64", LOG_LEVEL_ERROR)) << log.dump();
  devClose(fd);
}

TEST(IavState, DescriptorsAreRealAndReleased) {
  kavo::test::TestRoot root;
  auto openFds = [] {
    int n = 0;
    for (int fd = 0; fd < 1024; ++fd) n += ::fcntl(fd, F_GETFD) != -1;
    return n;
  };
  const int before = openFds();
  {
    Client c;
    ASSERT_EQ(c.setup({{IAV_ENCODE_H264, 320, 240, 30, 30}}), 0);
    EXPECT_GT(openFds(), before);
    EXPECT_TRUE(isSimulated(c.iav));
  }
  EXPECT_EQ(openFds(), before);  // the journal and the state go with the last descriptor
}

TEST(IavState, ImageSideRequestsKeepTheirValues) {
  kavo::test::TestRoot root;
  Client c;
  ASSERT_EQ(c.setup({{IAV_ENCODE_H264, 320, 240, 30, 30}}), 0);
  EXPECT_EQ(req(c.iav, IAV_IOC_VIN_SRC_SET_AGC_INDEX, uintptr_t{120}), 0);
  uint32_t agc = 0;
  EXPECT_EQ(req(c.iav, IAV_IOC_VIN_SRC_GET_AGC_INDEX, &agc), 0);
  EXPECT_EQ(agc, 120u);
  iav_vin_mirror_mode_t mirror{2, 1}, back{};
  EXPECT_EQ(req(c.iav, IAV_IOC_VIN_SRC_SET_MIRROR_MODE, &mirror), 0);
  EXPECT_EQ(req(c.iav, IAV_IOC_VIN_SRC_GET_MIRROR_MODE, &back), 0);
  EXPECT_EQ(back.pattern, 2u);
  iav_qp_limit_ex_t qp{};
  qp.id = 0xf;
  qp.qp_min_on_I = 20;
  qp.qp_max_on_I = 41;
  qp.qp_min_on_P = 1;
  qp.qp_max_on_P = 51;
  EXPECT_EQ(req(c.iav, IAV_IOC_SET_QP_LIMIT_EX, &qp), 0);
  iav_qp_limit_ex_t got{};
  got.id = 4;
  EXPECT_EQ(req(c.iav, IAV_IOC_GET_QP_LIMIT_EX, &got), 0);
  EXPECT_EQ(got.qp_min_on_I, 20);
  EXPECT_EQ(got.id, 4u);
  uint8_t kernel[64] = {};
  EXPECT_EQ(req(c.iav, IAV_IOC_IMG_CHROMA_MEDIAN_FILTER_SETUP, kernel), 0);
  int amb = devOpen("/dev/ambad", O_RDWR);
  ASSERT_GE(amb, 0);
  iav_sensor_reg_write_t w{0x2410, 63, 0};
  EXPECT_EQ(req(amb, IAV_IOC_SET_SENSOR_REG, &w), 0);
  iav_sensor_reg_t r{0x2410, 0};
  EXPECT_EQ(req(amb, IAV_IOC_GET_SENSOR_REG, &r), 0);
  EXPECT_EQ(r.data, 63u);
  EXPECT_EQ(req(c.iav, IAV_IOC_GET_SENSOR_REG, &r), ENOTTY);  // registers live on /dev/ambad
  devClose(amb);
}

}  // namespace
