// What the simulated DSP produces, judged by independent decoders (ffmpeg) and the number reader.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "render.h"
#include "iav_client.h"
#include "kavo/test/shell.h"

namespace {

using namespace simtest;

using kavo::test::Shell;
using kavo::test::shell;

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream ss(text);
  std::string l;
  while (std::getline(ss, l))
    if (!l.empty()) out.push_back(l);
  return out;
}

std::string reader() { return "python3 " + kavo::test::sourceDir() + "/sim/iav/tools/read_frame_numbers.py"; }

// The numbers read back from a decoded stream must count up from `first` without a gap.
void expectConsecutive(const std::vector<std::string>& numbers, size_t count, long first, const std::string& what) {
  ASSERT_EQ(numbers.size(), count) << what;
  for (size_t i = 0; i < numbers.size(); ++i) ASSERT_EQ(numbers[i], std::to_string(first + static_cast<long>(i))) << what << " frame " << i;
}

TEST(IavScene, NumbersSurviveTheRoundTrip) {
  struct Size {
    int w, h;
  };
  for (Size s : {Size{160, 120}, Size{640, 360}, Size{1920, 1080}}) {
    std::vector<uint8_t> planes(static_cast<size_t>(s.w) * s.h * 3 / 2);
    uint8_t* y = planes.data();
    uint8_t* u = y + static_cast<size_t>(s.w) * s.h;
    uint8_t* v = u + static_cast<size_t>(s.w) * s.h / 4;
    for (uint32_t n : {0u, 1u, 299u, 65536u, 0xfffffffeu}) {
      kavo::sim::iav::drawScene(y, u, v, s.w, s.h, n, false, false);
      uint32_t got = 0;
      ASSERT_TRUE(kavo::sim::iav::readSceneNumber(y, s.w, s.h, &got)) << s.w << "x" << s.h << " " << n;
      EXPECT_EQ(got, n);
    }
    // A picture drawn mirrored does not read as a number without undoing the flip.
    kavo::sim::iav::drawScene(y, u, v, s.w, s.h, 1234567, true, false);
    uint32_t got = 0;
    EXPECT_FALSE(kavo::sim::iav::readSceneNumber(y, s.w, s.h, &got) && got == 1234567u);
  }
}

TEST(IavDecode, H264AndJpegDecodeAndCarryTheirNumbers) {
  kavo::test::TestRoot root;
  writeConfig(root, R"({"clock": "virtual"})");
  Client c;
  ASSERT_EQ(c.setup({{IAV_ENCODE_H264, 640, 360, 30, 30, IAV_VBR, 16384, 1500000},
                     {IAV_ENCODE_H264, 320, 240, 15, 15, IAV_CBR, 400000, 400000},
                     {IAV_ENCODE_MJPEG, 320, 240, 5, 0}}),
            0);
  // The second stream is mirrored both ways.
  iav_h264_config_ex_s h{};
  h.id = 2;
  ASSERT_EQ(req(c.iav, IAV_IOC_GET_H264_CONFIG_EX, &h), 0);
  h.hflip = 1;
  h.vflip = 1;
  ASSERT_EQ(req(c.iav, IAV_IOC_SET_H264_CONFIG_EX, &h), 0);
  ASSERT_EQ(c.startStop(true), 0);

  const std::string dir = root.path("/tmp");
  std::ofstream es[2] = {std::ofstream(dir + "/s0.h264", std::ios::binary), std::ofstream(dir + "/s1.h264", std::ios::binary)};
  size_t count[3] = {};
  int keys[2] = {};
  for (int i = 0; i < 300; ++i) {
    iav_bitstream_desc_t d{};
    ASSERT_EQ(c.read(d), 0);
    const auto f = c.bytes(d);
    if (d.streamIndex < 2) {
      es[d.streamIndex].write(reinterpret_cast<const char*>(f.data()), static_cast<std::streamsize>(f.size()));
      keys[d.streamIndex] += (d.frameInfo & 7) == IAV_PIC_TYPE_IDR;
    } else {
      char name[64];
      std::snprintf(name, sizeof name, "/pic%03zu.jpg", count[2]);
      std::ofstream(dir + name, std::ios::binary).write(reinterpret_cast<const char*>(f.data()),
                                                        static_cast<std::streamsize>(f.size()));
    }
    ++count[d.streamIndex];
  }
  es[0].close();
  es[1].close();
  // 30 + 15 + 5 frames a second.
  EXPECT_EQ(count[0], 180u);
  EXPECT_EQ(count[1], 90u);
  EXPECT_EQ(count[2], 30u);
  EXPECT_EQ(keys[0], 6);  // N 30
  EXPECT_EQ(keys[1], 6);  // N 15

  for (int s = 0; s < 2; ++s) {
    const std::string file = dir + "/s" + std::to_string(s) + ".h264";
    const Shell check = shell("ffmpeg -nostdin -v error -i " + file + " -f null -");
    EXPECT_EQ(check.status, 0) << file;
    EXPECT_EQ(check.out, "") << "ffmpeg finds nothing wrong in " << file;
    const std::string size = s == 0 ? "640 360" : "320 240 --hflip --vflip";
    const Shell numbers = shell("ffmpeg -nostdin -v error -i " + file + " -f rawvideo -pix_fmt gray - | " + reader() + " " + size);
    ASSERT_EQ(numbers.status, 0) << numbers.out;
    expectConsecutive(lines(numbers.out), count[s], 0, file);
  }
  const Shell probe = shell("ffprobe -v error -select_streams v -show_entries stream=codec_name,width,height -of csv=p=0 " +
                          dir + "/pic000.jpg");
  EXPECT_EQ(probe.status, 0);
  EXPECT_EQ(probe.out, "mjpeg,320,240\n");
  const Shell pictures = shell("ffmpeg -nostdin -v error -i " + dir + "/pic%03d.jpg -f rawvideo -pix_fmt gray - | " +
                             reader() + " 320 240");
  ASSERT_EQ(pictures.status, 0) << pictures.out;
  expectConsecutive(lines(pictures.out), count[2], 0, "pictures");
}

TEST(IavDecode, RestartedStreamKeepsCountingAndDecodes) {
  kavo::test::TestRoot root;
  writeConfig(root, R"({"clock": "virtual"})");
  Client c;
  ASSERT_EQ(c.setup({{IAV_ENCODE_H264, 320, 240, 30, 30}}), 0);
  const std::string file = root.path("/tmp/r.h264");
  std::ofstream es(file, std::ios::binary);
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(c.startStop(true), 0);
    for (int i = 0; i < 20; ++i) {
      iav_bitstream_desc_t d{};
      ASSERT_EQ(c.read(d), 0);
      if (i == 0) {
        EXPECT_EQ(d.frameInfo & 7, IAV_PIC_TYPE_IDR) << "a started stream begins with a key frame";
      }
      const auto f = c.bytes(d);
      es.write(reinterpret_cast<const char*>(f.data()), static_cast<std::streamsize>(f.size()));
    }
    ASSERT_EQ(c.startStop(false), 0);
  }
  es.close();
  const Shell numbers = shell("ffmpeg -nostdin -v error -i " + file + " -f rawvideo -pix_fmt gray - | " + reader() + " 320 240");
  ASSERT_EQ(numbers.status, 0) << numbers.out;
  expectConsecutive(lines(numbers.out), 40, 0, file);
}

}  // namespace
