// The sound's time marks against the simulated video DSP: each burst begins on the capture instant
// of every N-th input picture, on the same clock, also after the input restarts.
#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "../../iav/tests/iav_client.h"
#include "capture.h"
#include "kavo/sim/alsa_sim.h"

using namespace alsatest;
namespace sa = kavo::sim::alsa;

namespace {

// A burst begins with sin(0) after silence: one sample before the first non-zero sample that
// follows at least 20 silent ones (a burst's own zero crossings are single samples).
std::vector<int64_t> onsets(const std::vector<int16_t>& x) {
  std::vector<int64_t> out;
  size_t zeros = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    if (x[i] == 0) {
      ++zeros;
      continue;
    }
    if (zeros >= 20) out.push_back(static_cast<int64_t>(i) - 1);
    zeros = 0;
  }
  return out;
}

}  // namespace

TEST(AlsaAv, MarksFallOnVideoPictureInstants) {
  kavo::test::TestRoot root;
  simtest::writeConfig(root, R"({"clock": "realtime"})");
  ASSERT_TRUE(sa::install(
      R"({"tone": {"level": -200}, "marks": {"everyFrames": 15, "durationMs": 5, "frequency": 3000}})"));
  simtest::Client video;
  ASSERT_EQ(video.setup({{IAV_ENCODE_H264, 160, 120, 30, 30}}), 0);
  ASSERT_EQ(video.startStop(true), 0);

  Capture cap;
  ASSERT_EQ(cap.open(44100, 1), 0);
  ASSERT_EQ(snd_pcm_start(cap.pcm), 0);
  const uint64_t startNs = journal("start").at(0)["startNs"];
  std::map<uint32_t, uint64_t> ptsOfInput;  // input frame number -> capture instant
  std::vector<int16_t> x;
  for (int i = 0; i < 45; ++i) {  // a second and a half of both
    iav_bitstream_desc_t d{};
    ASSERT_EQ(video.read(d), 0);
    ptsOfInput[d.vinFrameNumber] = d.pts;
    snd_pcm_sframes_t avail = snd_pcm_avail(cap.pcm);
    ASSERT_GE(avail, 0);
    ASSERT_EQ(cap.read(x, static_cast<snd_pcm_uframes_t>(avail), 4096), avail);
  }
  auto marks = journal("marks");
  ASSERT_EQ(marks.size(), 1u);
  EXPECT_EQ(marks[0]["origin"], "video");
  EXPECT_EQ(marks[0]["everyFrames"], 15);

  // Each burst's first sample is the first one at or after the capture time of input picture 15 k.
  const auto on = onsets(x);
  ASSERT_GE(on.size(), 2u);
  int matched = 0;
  for (int64_t s : on) {
    const double t = startNs + s * 1e9 / 44100;  // the burst's first sample
    bool found = false;
    for (const auto& [vin, pts] : ptsOfInput) {
      if (vin % 15 != 0) continue;
      if (t >= static_cast<double>(pts) - 1 && t < pts + 1e9 / 44100 + 1) {
        found = true;
        ++matched;
      }
    }
    EXPECT_TRUE(found) << "burst at sample " << s;
  }
  EXPECT_GE(matched, 2);

  // A new input timing moves the marks onto the new pictures.
  ASSERT_EQ(video.startStop(false), 0);
  ASSERT_EQ(simtest::req(video.iav, IAV_IOC_VIN_SRC_SET_FRAME_RATE, uintptr_t{video.mode.frame_rate}), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_GE(snd_pcm_avail(cap.pcm), 0);
  marks = journal("marks");
  ASSERT_EQ(marks.size(), 2u);
  EXPECT_GT(marks[1]["videoStartNs"].get<uint64_t>(), marks[0]["videoStartNs"].get<uint64_t>());
}
