// The simulated microphone through alsa-lib, as the camera's capture uses it: negotiation, pacing on
// CLOCK_MONOTONIC, the signal in the mmap buffer (across its end), time marks, overruns and faults.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "capture.h"
#include "kavo/sim/alsa_sim.h"
#include "kavo/test/test_root.h"

using namespace alsatest;
namespace sa = kavo::sim::alsa;

namespace {

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Onsets (first sample) of the tone bursts in a signal whose steady tone is silent: a burst is a
// run of non-zero samples; it begins with sin(0), so one sample before its first non-zero one.
std::vector<std::pair<int64_t, int64_t>> bursts(const std::vector<int16_t>& x, unsigned channels) {
  std::vector<std::pair<int64_t, int64_t>> out;
  const int64_t n = static_cast<int64_t>(x.size() / channels);
  int64_t i = 0;
  while (i < n) {
    while (i < n && x[i * channels] == 0) ++i;
    if (i >= n) break;
    const int64_t first = i;
    int64_t last = i, zeros = 0;
    for (; i < n && zeros < 8; ++i) {
      if (x[i * channels] != 0) {
        last = i;
        zeros = 0;
      } else {
        ++zeros;
      }
    }
    out.emplace_back(first - 1, last + 1);  // [onset, end)
  }
  return out;
}

}  // namespace

TEST(AlsaPcm, NegotiatesWhatTheDeviceOffers) {
  struct Case {
    const char* config;
    unsigned askRate, askChannels;
    unsigned rate;
    snd_pcm_uframes_t period, buffer;  // 0: the set-up fails
    const char* failsAt;
  } cases[] = {
      {"{}", 44100, 1, 44100, 2000, 32000, ""},
      {"{}", 44100, 2, 44100, 1000, 16000, ""},
      {"{}", 11025, 1, 11025, 2000, 32000, ""},
      // The granted rate differs from the one asked: the nearest the device has.
      {R"({"rates": [22050]})", 44100, 1, 22050, 2000, 32000, ""},
      {R"({"rates": [8000, 16000, 32000]})", 11025, 2, 8000, 1000, 16000, ""},
      {R"({"rates": [8000, 16000, 32000]})", 44100, 2, 32000, 1000, 16000, ""},
      {R"({"periodBytes": 2048, "periods": 4})", 22050, 2, 22050, 512, 2048, ""},
      // Channels the device lacks are refused where the capture asks for them.
      {R"({"channels": [1]})", 44100, 2, 0, 0, 0, "channels"},
      {R"({"channels": [2]})", 44100, 1, 0, 0, 0, "channels"},
      {"{}", 44100, 3, 0, 0, 0, "channels"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.config) + " asking " + std::to_string(c.askRate) + " Hz x" + std::to_string(c.askChannels));
    kavo::test::TestRoot root;
    ASSERT_TRUE(sa::install(c.config));
    Capture cap;
    const int rc = cap.open(c.askRate, c.askChannels);
    if (c.buffer == 0) {
      EXPECT_LT(rc, 0);
      EXPECT_STREQ(cap.failedAt, c.failsAt);
      continue;
    }
    ASSERT_EQ(rc, 0) << cap.failedAt << ": " << snd_strerror(rc);
    EXPECT_EQ(cap.rate, c.rate);
    EXPECT_EQ(cap.period, c.period);
    EXPECT_EQ(cap.buffer, c.buffer);
    auto hw = journal("hw_params");
    ASSERT_EQ(hw.size(), 1u);
    EXPECT_EQ(hw[0]["rate"], c.rate);
    EXPECT_EQ(hw[0]["channels"], c.askChannels);
    EXPECT_EQ(hw[0]["access"], "MMAP_INTERLEAVED");
    EXPECT_EQ(hw[0]["format"], "S16_LE");
    EXPECT_EQ(hw[0]["periodFrames"], c.period);
  }
}

TEST(AlsaPcm, OffersCaptureOfSigned16BitOnly) {
  kavo::test::TestRoot root;
  ASSERT_TRUE(sa::install());
  snd_pcm_t* pcm = nullptr;
  EXPECT_EQ(snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, 0), -ENOENT) << "a microphone has no playback";
  {
    Capture cap;
    EXPECT_LT(cap.open(44100, 1, SND_PCM_ACCESS_MMAP_INTERLEAVED, SND_PCM_FORMAT_S32_LE), 0);
    EXPECT_STREQ(cap.failedAt, "format");
  }
  {
    Capture cap;
    EXPECT_LT(cap.open(44100, 1, SND_PCM_ACCESS_MMAP_NONINTERLEAVED), 0);
    EXPECT_STREQ(cap.failedAt, "access");
  }
  {
    Capture cap;  // the named device is the same card
    EXPECT_EQ(cap.open(44100, 1, SND_PCM_ACCESS_RW_INTERLEAVED, SND_PCM_FORMAT_S16_LE, "kavo"), 0);
  }
  auto opens = journal("open");
  ASSERT_GE(opens.size(), 4u);
  EXPECT_EQ(opens[0]["stream"], "playback");
  EXPECT_EQ(opens[0]["rc"], -ENOENT);
}

// The position follows CLOCK_MONOTONIC at the granted rate: at every look, the frames read plus
// those available lie between what the clock allows before and after the call.
TEST(AlsaPcm, PacedByTheMonotonicClock) {
  struct Case {
    const char* config;
    unsigned rate, channels;
    double ppm;
  } cases[] = {
      {"{}", 44100, 2, 0},
      {"{}", 11025, 1, 0},
      {R"({"driftPpm": 2000})", 16000, 1, 2000},
      {R"({"driftPpm": -500, "rates": [48000]})", 48000, 2, -500},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.config);
    kavo::test::TestRoot root;
    ASSERT_TRUE(sa::install(c.config));
    Capture cap;
    ASSERT_EQ(cap.open(c.rate, c.channels), 0);
    const double fps = c.rate * (1 + c.ppm * 1e-6);
    const uint64_t before = nowNs();
    ASSERT_EQ(snd_pcm_start(cap.pcm), 0);
    const uint64_t after = nowNs();
    uint64_t taken = 0;
    double worstEarly = 0, worstLate = 0;
    const uint64_t end = after + 1500000000ull;
    uint64_t t0 = after, t1 = after, last = 0;
    while (t1 < end) {
      t0 = nowNs();
      const snd_pcm_sframes_t avail = snd_pcm_avail(cap.pcm);
      t1 = nowNs();
      ASSERT_GE(avail, 0) << snd_strerror(static_cast<int>(avail));
      const double pos = static_cast<double>(taken + static_cast<uint64_t>(avail));
      // The frames of every whole sample period that ended before the call are there, none later.
      const double lo = std::floor((t0 - after) * fps / 1e9), hi = std::floor((t1 - before) * fps / 1e9);
      worstEarly = std::max(worstEarly, lo - pos);
      worstLate = std::max(worstLate, pos - hi);
      EXPECT_GE(pos, static_cast<double>(last)) << "the position never goes back";
      last = static_cast<uint64_t>(pos);
      if (avail >= 1024) {
        std::vector<int16_t> block;
        ASSERT_EQ(cap.read(block, 1024), 1024);
        taken += 1024;
      }
      sleepMs(3);
    }
    EXPECT_LE(worstEarly, 0.0) << "frames missing behind the clock";
    EXPECT_LE(worstLate, 0.0) << "frames ahead of the clock";
    // The rates the last look allows, from the spans of the start and of the look: a thread that
    // lost the processor inside one widens them, and cannot move them off the right one.
    const double slowest = last / ((t1 - before) / 1e9), fastest = (last + 1) / ((t0 - after) / 1e9);
    const double measured = (slowest + fastest) / 2;
    std::printf("[figures] %u Hz x%u drift %+.0f ppm: %.2f frames/s over %.2f s (%.1f ppm off the nominal, "
                "within %.1f)\n", c.rate, c.channels, c.ppm, measured, (t1 - before) / 1e9, (measured / fps - 1) * 1e6,
                (fastest - slowest) / 2 / fps * 1e6);
    EXPECT_LE(slowest / fps, 1.002);
    EXPECT_GE(fastest / fps, 0.998);
  }
}

TEST(AlsaPcm, PeriodPointerMovesInWholePeriods) {
  kavo::test::TestRoot root;
  ASSERT_TRUE(sa::install(R"({"periodPointer": true})"));
  Capture cap;
  ASSERT_EQ(cap.open(16000, 1), 0);
  ASSERT_EQ(cap.period, 2000u);
  ASSERT_EQ(snd_pcm_start(cap.pcm), 0);
  // Looks until eight blocks were taken (five periods, 625 ms): at each one, whole periods only.
  uint64_t taken = 0;
  for (const uint64_t end = nowNs() + 60000000000ull; taken < 8192 && nowNs() < end;) {
    const snd_pcm_sframes_t avail = snd_pcm_avail(cap.pcm);
    ASSERT_GE(avail, 0);
    EXPECT_EQ((taken + static_cast<uint64_t>(avail)) % 2000, 0u);
    if (avail >= 1024) {
      std::vector<int16_t> block;
      ASSERT_EQ(cap.read(block, 1024), 1024);
      taken += 1024;
    }
    sleepMs(2);
  }
  EXPECT_GE(taken, 8192u);
}

// Every sample lies where the clock puts it: the tone read back through the mmap area, in blocks of
// 1024 and 2048 frames that run over the end of a 16000-frame buffer, matches the reference.
TEST(AlsaPcm, SamplesFollowTheToneAcrossTheBufferEnd) {
  kavo::test::TestRoot root;
  ASSERT_TRUE(sa::install(R"({"tone": {"frequency": [1000, 1500], "level": -12}, "marks": {"enabled": false}})"));
  Capture cap;
  ASSERT_EQ(cap.open(22050, 2), 0);
  ASSERT_EQ(cap.buffer % 1024, 16000u % 1024) << "a buffer that 1024-frame blocks do not divide";
  ASSERT_EQ(snd_pcm_start(cap.pcm), 0);
  std::vector<int16_t> x;
  for (int i = 0; i < 12; ++i) ASSERT_EQ(cap.read(x, i % 2 ? 2048 : 1024, i % 2 ? 2048 : 1024), i % 2 ? 2048 : 1024);
  const size_t frames = x.size() / 2;
  ASSERT_GT(frames, 16000u);
  int worst = 0;
  for (size_t s = 0; s < frames; ++s)
    for (unsigned c = 0; c < 2; ++c) {
      const double want = expectedTone(c ? 1500 : 1000, -12, 1.0, 22050, s);
      worst = std::max(worst, static_cast<int>(std::abs(x[s * 2 + c] - want) + 0.5));
    }
  EXPECT_LE(worst, 1) << "largest difference from the reference tone";
  EXPECT_NEAR(zeroCrossingHz(x, 2, 0, 22050), 1000.0, 0.5);
  EXPECT_NEAR(zeroCrossingHz(x, 2, 1, 22050), 1500.0, 0.5);
  EXPECT_NEAR(peak(x, 2, 0), 32767 * std::pow(10, -12 / 20.0), 40);
}

TEST(AlsaPcm, MarksOnTheClockGrid) {
  kavo::test::TestRoot root;
  ASSERT_TRUE(sa::install(
      R"({"tone": {"level": -200}, "marks": {"origin": "clock", "periodMs": 200, "durationMs": 10, "frequency": 2000}})"));
  Capture cap;
  ASSERT_EQ(cap.open(16000, 1), 0);
  const uint64_t before = nowNs();
  ASSERT_EQ(snd_pcm_start(cap.pcm), 0);
  const uint64_t after = nowNs();
  std::vector<int16_t> x;
  ASSERT_EQ(cap.read(x, 16 * 1024), 16 * 1024);  // about a second
  auto marks = journal("marks");
  ASSERT_EQ(marks.size(), 1u);
  EXPECT_EQ(marks[0]["origin"], "clock");
  EXPECT_FALSE(marks[0].contains("why")) << "asked for the clock grid";
  const uint64_t startNs = journal("start").at(0)["startNs"];
  auto b = bursts(x, 1);
  ASSERT_GE(b.size(), 4u);
  for (size_t i = 0; i < b.size(); ++i) {
    const int64_t onset = b[i].first, end = b[i].second;
    // Cut by the start or the end: a burst ends only where eight zeros follow, so one that runs on
    // past the last sample can seem to end on a zero of its tone just before it.
    if (onset <= 0 || end + 8 > static_cast<int64_t>(x.size())) continue;
    EXPECT_EQ(end - onset, 160) << "10 ms at 16 kHz";
    // The burst begins on a multiple of 200 ms of CLOCK_MONOTONIC: seen from outside, within the
    // start call's span and one sample...
    const double t = before + onset * 1e9 / 16000;
    const double grid = std::round(t / 200e6) * 200e6;
    EXPECT_LE(std::abs(t - grid), (after - before) + 1e9 / 16000) << "burst " << i;
    // ...and exactly at the first sample at or after it on the card's own start time.
    const uint64_t M = static_cast<uint64_t>((startNs + onset * 1e9 / 16000) / 200e6) * 200000000ull;
    const int64_t first = static_cast<int64_t>(std::ceil((M - static_cast<double>(startNs)) * 16000 / 1e9));
    EXPECT_NEAR(static_cast<double>(onset), static_cast<double>(first), 1.0) << "burst " << i;
  }
  // The burst's tone: 2 kHz at -3 dBFS.
  std::vector<int16_t> one(x.begin() + b[1].first, x.begin() + b[1].second);
  EXPECT_NEAR(zeroCrossingHz(one, 1, 0, 16000), 2000.0, 30);
  EXPECT_NEAR(peak(one, 1, 0), 32767 * std::pow(10, -3 / 20.0), 20);
}

// An overrun like hardware: a reader a buffer behind gets -EPIPE, recovers with prepare (through
// snd_pcm_recover) and start, and the capture begins afresh.
TEST(AlsaPcm, OverrunWhenTheReaderFallsBehind) {
  kavo::test::TestRoot root;
  ASSERT_TRUE(sa::install(R"({"periodBytes": 2000, "periods": 4, "marks": {"enabled": false}})"));
  Capture cap;
  ASSERT_EQ(cap.open(16000, 1), 0);
  ASSERT_EQ(cap.buffer, 4000u);  // a quarter of a second
  ASSERT_EQ(snd_pcm_start(cap.pcm), 0);
  std::vector<int16_t> x;
  ASSERT_EQ(cap.read(x, 2048), 2048);
  sleepMs(300);
  EXPECT_EQ(snd_pcm_avail(cap.pcm), -EPIPE);
  EXPECT_EQ(snd_pcm_state(cap.pcm), SND_PCM_STATE_XRUN);
  auto xr = journal("xrun");
  ASSERT_EQ(xr.size(), 1u);
  EXPECT_EQ(xr[0]["cause"], "late");
  EXPECT_GE(xr[0]["avail"].get<uint64_t>(), 4000u);

  EXPECT_EQ(snd_pcm_recover(cap.pcm, -EPIPE, 0), 0);
  EXPECT_EQ(snd_pcm_state(cap.pcm), SND_PCM_STATE_PREPARED);
  EXPECT_EQ(snd_pcm_avail(cap.pcm), 0);
  ASSERT_EQ(snd_pcm_start(cap.pcm), 0);
  x.clear();
  ASSERT_EQ(cap.read(x, 3000, 1000), 3000);
  for (size_t s = 0; s < x.size(); ++s) ASSERT_NEAR(x[s], expectedTone(1000, -20, 1, 16000, s), 1) << s;

  // Without a stop threshold the capture runs on over unread data and never overruns.
  snd_pcm_sw_params_t* sw = nullptr;
  snd_pcm_sw_params_alloca(&sw);
  ASSERT_EQ(snd_pcm_sw_params_current(cap.pcm, sw), 0);
  snd_pcm_uframes_t boundary = 0;
  snd_pcm_sw_params_get_boundary(sw, &boundary);
  ASSERT_EQ(snd_pcm_sw_params_set_stop_threshold(cap.pcm, sw, boundary), 0);
  ASSERT_EQ(snd_pcm_sw_params(cap.pcm, sw), 0);
  ASSERT_EQ(snd_pcm_drop(cap.pcm), 0);
  ASSERT_EQ(snd_pcm_prepare(cap.pcm), 0);
  ASSERT_EQ(snd_pcm_start(cap.pcm), 0);
  sleepMs(200);
  snd_pcm_sframes_t a1 = snd_pcm_avail(cap.pcm);
  sleepMs(400);
  snd_pcm_sframes_t a2 = snd_pcm_avail(cap.pcm);
  EXPECT_GT(a1, 2000);
  EXPECT_GT(a2, 8000) << "the position runs on past the buffer";
  EXPECT_EQ(journal("xrun").size(), 1u);
}

TEST(AlsaPcm, OverrunOnDemand) {
  kavo::test::TestRoot root;
  ASSERT_TRUE(sa::install(R"({"marks": {"enabled": false}})"));
  Capture cap;
  ASSERT_EQ(cap.open(16000, 1), 0);
  ASSERT_EQ(snd_pcm_start(cap.pcm), 0);
  std::vector<int16_t> x;
  ASSERT_EQ(cap.read(x, 1024), 1024);

  // From another process, through the tool.
  const std::string tool = kavo::test::binaryDir() + "/bin/kavo_sim_alsa --root " + root.dir() + " xrun";
  ASSERT_EQ(std::system(tool.c_str()), 0);
  EXPECT_EQ(snd_pcm_avail(cap.pcm), -EPIPE) << "the very next look";
  ASSERT_EQ(snd_pcm_recover(cap.pcm, -EPIPE, 0), 0);
  ASSERT_EQ(snd_pcm_start(cap.pcm), 0);
  ASSERT_EQ(cap.read(x, 1024), 1024) << "an injected overrun happens once";

  // From the faults file: at a position after the start, for two starts.
  ASSERT_TRUE(sa::setFaults(R"({"faults": [{"xrun": 3000, "times": 2}]})"));
  for (int run = 0; run < 3; ++run) {
    SCOPED_TRACE(run);
    ASSERT_EQ(snd_pcm_drop(cap.pcm), 0);
    ASSERT_EQ(snd_pcm_prepare(cap.pcm), 0);
    ASSERT_EQ(snd_pcm_start(cap.pcm), 0);
    x.clear();
    const long got = cap.read(x, 4096);
    if (run < 2) {
      EXPECT_EQ(got, -EPIPE);
      EXPECT_LE(x.size(), 3072u);
    } else {
      EXPECT_EQ(got, 4096);
    }
  }
  auto xr = journal("xrun");
  ASSERT_EQ(xr.size(), 3u);
  EXPECT_EQ(xr[0]["cause"], "injected");
  EXPECT_EQ(xr[1]["cause"], "fault");
  EXPECT_GE(xr[1]["position"].get<uint64_t>(), 3000u);
  EXPECT_EQ(xr[2]["cause"], "fault");
}

TEST(AlsaPcm, RequestFaults) {
  kavo::test::TestRoot root;
  ASSERT_TRUE(sa::install());
  {
    ASSERT_TRUE(sa::setFaults(R"({"faults": [{"request": "snd_pcm_open", "errno": "ENOENT"}]})"));
    Capture cap;
    EXPECT_EQ(cap.open(44100, 1), -ENOENT);
    EXPECT_STREQ(cap.failedAt, "snd_pcm_open");
    EXPECT_EQ(cap.open(44100, 1), 0) << "times 1: the second open works";
  }
  {
    ASSERT_TRUE(sa::setFaults(R"({"faults": [{"request": "snd_pcm_hw_params", "errno": 5}]})"));
    Capture cap;
    EXPECT_EQ(cap.open(44100, 1), -EIO);
    EXPECT_STREQ(cap.failedAt, "hw_params");
  }
  {
    ASSERT_TRUE(sa::setFaults(R"({"faults": [{"request": "snd_pcm_start", "errno": "EBUSY"}]})"));
    Capture cap;
    ASSERT_EQ(cap.open(44100, 1), 0);
    EXPECT_EQ(snd_pcm_start(cap.pcm), -EBUSY);
    EXPECT_EQ(snd_pcm_state(cap.pcm), SND_PCM_STATE_PREPARED);
    EXPECT_EQ(snd_pcm_start(cap.pcm), 0);
  }
  {
    // snd_pcm_hw_params prepares once itself: the recovery's prepare is the third.
    ASSERT_TRUE(sa::setFaults(R"({"faults": [{"request": "snd_pcm_prepare", "nth": 3, "errno": "EIO"}]})"));
    Capture cap;
    ASSERT_EQ(cap.open(44100, 1), 0);
    ASSERT_EQ(snd_pcm_start(cap.pcm), 0);
    ASSERT_TRUE(sa::injectXrun());
    EXPECT_EQ(snd_pcm_avail(cap.pcm), -EPIPE);
    EXPECT_EQ(snd_pcm_recover(cap.pcm, -EPIPE, 1), -EIO);
    EXPECT_EQ(snd_pcm_recover(cap.pcm, -EPIPE, 1), 0);
  }
  // A malformed faults file means no faults, and says so.
  ASSERT_TRUE(sa::setFaults(R"({"faults": [{"request": "snd_pcm_frobnicate"}]})"));
  Capture cap;
  EXPECT_EQ(cap.open(44100, 1), 0);
  auto f = journal("faults");
  ASSERT_FALSE(f.empty());
  EXPECT_NE(f.back()["error"].get<std::string>().find("snd_pcm_frobnicate"), std::string::npos);
}

// Blocking readers are served too: poll wakes when the wake-up level is reached. When a woken
// thread runs is the machine's affair; the card's part is the moment its poll descriptor is due
// and what a wake-up finds.
TEST(AlsaPcm, BlockingReadAndWait) {
  kavo::test::TestRoot root;
  ASSERT_TRUE(sa::install(R"({"marks": {"enabled": false}})"));
  // The poll descriptor is due within one sample after the wake-up level's last frame, counted
  // from the capture's start and the frames read.
  const auto expectDueAtTheWakeUpLevel = [](snd_pcm_t* pcm, uint64_t read) {
    snd_pcm_sw_params_t* sw = nullptr;
    snd_pcm_sw_params_alloca(&sw);
    ASSERT_EQ(snd_pcm_sw_params_current(pcm, sw), 0);
    snd_pcm_uframes_t availMin = 0;
    ASSERT_EQ(snd_pcm_sw_params_get_avail_min(sw, &availMin), 0);
    struct pollfd pfd {};
    ASSERT_EQ(snd_pcm_poll_descriptors(pcm, &pfd, 1), 1);
    itimerspec left{};
    const uint64_t before = nowNs();
    ASSERT_EQ(timerfd_gettime(pfd.fd, &left), 0);
    const uint64_t after = nowNs();
    const uint64_t leftNs = static_cast<uint64_t>(left.it_value.tv_sec) * 1000000000ull + left.it_value.tv_nsec;
    const double startNs = journal("start").back()["startNs"].get<double>();
    const double level = startNs + (read + availMin) * 1e9 / 16000, oneLater = level + 1e9 / 16000;
    if (leftNs == 0) {  // gone off already (a thread that lost the processor): not before it was due
      EXPECT_GE(static_cast<double>(after), level);
      return;
    }
    EXPECT_GE(after + leftNs + 1.0, level) << "woken before the wake-up level";
    EXPECT_LE(before + leftNs, oneLater + 1.0) << "woken after the wake-up level";
  };
  {
    Capture cap;
    ASSERT_EQ(cap.open(16000, 1, SND_PCM_ACCESS_RW_INTERLEAVED), 0);
    std::vector<int16_t> x(8000);
    const uint64_t t0 = nowNs();
    ASSERT_EQ(snd_pcm_readi(cap.pcm, x.data(), 8000), 8000);  // starts the capture itself
    const double ms = (nowNs() - t0) / 1e6;
    EXPECT_GE(ms, 495.0);
    for (size_t s = 0; s < x.size(); ++s) ASSERT_NEAR(x[s], expectedTone(1000, -20, 1, 16000, s), 1) << s;
    expectDueAtTheWakeUpLevel(cap.pcm, 8000);
  }
  {
    Capture cap;
    ASSERT_EQ(cap.open(16000, 1), 0);
    ASSERT_EQ(cap.period, 2000u);
    ASSERT_EQ(snd_pcm_start(cap.pcm), 0);
    const uint64_t t0 = nowNs();
    expectDueAtTheWakeUpLevel(cap.pcm, 0);
    // The first wake-up of the descriptor finds the period there.
    struct pollfd pfd {};
    ASSERT_EQ(snd_pcm_poll_descriptors(cap.pcm, &pfd, 1), 1);
    ASSERT_EQ(poll(&pfd, 1, -1), 1);
    unsigned short revents = 0;
    ASSERT_EQ(snd_pcm_poll_descriptors_revents(cap.pcm, &pfd, 1, &revents), 0);
    EXPECT_EQ(revents, POLLIN);
    EXPECT_EQ(snd_pcm_wait(cap.pcm, 60000), 1);
    const double ms = (nowNs() - t0) / 1e6;
    EXPECT_GE(snd_pcm_avail(cap.pcm), 2000) << "woken at the default wake-up level, one period";
    EXPECT_GE(ms, 120.0);
  }
}
