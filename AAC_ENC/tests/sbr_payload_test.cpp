// The SBR payloads read back with an independent reader of the standard's syntax: every
// element parses to its last bit with values in range, on steady, transient, tonal and
// silent input, mono, stereo and with parametric stereo; the one-frame delay, the header
// period and the self-contained element after an oversized one.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "sbr_parse.h"

using namespace sbrtest;

namespace {

enum Signal { kNoise, kBursts, kTone, kSilence, kSweepLevels, kRightClicks };

std::vector<int16_t> makeSignal(Signal s, int frames, int rate, unsigned seed, bool right_differs) {
  std::vector<int16_t> x(size_t(frames) * 2048 * 2);
  std::mt19937 rng(seed);
  std::normal_distribution<double> g(0.0, 1.0);
  for (size_t i = 0; i < x.size() / 2; i++) {
    double t = double(i) / rate, v = 0, w;
    switch (s) {
      case kNoise: v = 6000 * g(rng); break;
      case kBursts: v = (std::fmod(t, 0.37) < 0.03 ? 12000 : 30) * g(rng); break;
      case kTone: v = 8000 * std::sin(2 * M_PI * 11000 * t) + 3000 * std::sin(2 * M_PI * 1000 * t); break;
      case kSilence: v = 0; break;
      case kSweepLevels: v = 20000 * std::pow(10.0, -3.5 * std::fmod(t, 2.0)) * g(rng); break;
      case kRightClicks: v = 3000 * g(rng); break;
    }
    w = right_differs ? (s == kSilence ? 0 : 0.3 * v + 2000 * g(rng) * (s != kTone)) : v;
    // steady on the left, clicks on the right only: the channels' grids part and meet again
    if (s == kRightClicks) w = v + (std::fmod(t, 0.29) < 0.004 ? 14000 * g(rng) : 0);
    x[2 * i] = int16_t(std::max(-32768.0, std::min(32767.0, v)));
    x[2 * i + 1] = int16_t(std::max(-32768.0, std::min(32767.0, w)));
  }
  return x;
}

SbrHeaderData headerOf(const sbrConfiguration &c) {
  SbrHeaderData h{};
  h.amp_res = c.amp_res;
  h.start_freq = c.start_freq;
  h.stop_freq = c.stop_freq;
  h.freq_scale = c.freq_scale;
  h.alter_scale = c.alter_scale;
  h.noise_bands = c.noise_bands;
  return h;
}

struct Case {
  int rate, coded, bit_rate;
  bool ps;
};

}  // namespace

class SbrPayloads : public ::testing::TestWithParam<Case> {};

TEST_P(SbrPayloads, ParseBackOnEverySignal) {
  const Case c = GetParam();
  for (Signal s : {kNoise, kBursts, kTone, kSilence, kSweepLevels, kRightClicks}) {
    Harness h;
    ASSERT_TRUE(h.open(c.rate, c.coded, c.bit_rate, c.ps));
    Reader r;
    r.channels = c.coded;
    SbrFreqTables ft{};
    SbrHeaderData hd = headerOf(h.cfg);
    ASSERT_EQ(sbrFreqTablesUpdate(&hd, c.rate, &ft), 0);
    r.setTables(ft);
    const int frames = 60;
    auto x = makeSignal(s, frames, c.rate, 7u + unsigned(s), c.coded == 2 || c.ps);
    // classes of the elements after the stream's start: the signal starts abruptly on a
    // silent history, which is a real onset (a transient in element 0, a VARFIX after it)
    int classes[4] = {0, 0, 0, 0}, onset_class = -1, coupled = 0, headers = 0, ps_frames = 0;
    std::vector<uint8_t> first;
    for (int f = 0; f < frames; f++) {
      int n = h.frame(&x[size_t(f) * 4096]);
      ASSERT_GT(n, 0) << "signal " << s << " frame " << f;
      if (f == 0) first.assign(h.payload, h.payload + n);
      if (f >= 1 && f <= SBR_PAYLOAD_DELAY) {
        EXPECT_EQ(std::vector<uint8_t>(h.payload, h.payload + n), first) << "the first element fills the delay";
        continue;  // a decoder that sees it twice must not take its deltas twice: skip for the reader
      }
      Parsed p = r.parse(h.payload, n);
      ASSERT_TRUE(p.ok) << "signal " << s << " frame " << f << ": " << p.error;
      if (f == 0) onset_class = p.frame_class[0];
      if (s == kRightClicks && c.coded == 2 && f >= 3 && !p.coupled) {
        // the right channel is the left plus short clicks: never far louder on average
        EXPECT_LT(p.loudestDb(1) - p.loudestDb(0), 20.0) << "frame " << f;
      }
      if (f >= 3) classes[p.frame_class[0]]++;
      coupled += p.coupled;
      headers += p.header;
      ps_frames += p.ps_bytes > 0;
    }
    if (s == kBursts) {
      EXPECT_GT(classes[FIXVAR] + classes[VARVAR], 3) << "transients give variable frames";
    }
    if (s == kNoise || s == kTone) {
      EXPECT_EQ(onset_class, FIXVAR) << "the onset from silence, signal " << s;
      EXPECT_EQ(classes[FIXVAR] + classes[VARVAR], 0) << "steady input, signal " << s;
    }
    const int period = c.rate == 44100 ? 21 : (c.rate == 48000 ? 23 : 15);
    EXPECT_EQ(headers, 1 + (frames - 1 - SBR_PAYLOAD_DELAY) / period) << "signal " << s;
    if (c.ps) {
      EXPECT_EQ(ps_frames, frames - SBR_PAYLOAD_DELAY);
    }
    if (c.coded == 2 && s == kSilence && h.cfg.stereo_mode == 3) {
      EXPECT_GT(coupled, frames / 2);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sbr, SbrPayloads,
                         ::testing::Values(Case{44100, 1, 32000, false}, Case{48000, 1, 18000, false},
                                           Case{32000, 1, 40000, false}, Case{44100, 2, 48000, false},
                                           Case{48000, 2, 96000, false}, Case{32000, 2, 64000, false},
                                           Case{44100, 1, 20000, true}, Case{48000, 1, 40000, true}));

// A forced header makes the element self-contained, the same path the driver takes after an
// element that did not fit its payload: the element reads back on a reader that has seen
// nothing before (first envelopes and noise floors along frequency, the parametric-stereo
// header with its parameters along frequency), and the stream goes on reading.
TEST_P(SbrPayloads, ForcedHeaderElementDecodesWithoutHistory) {
  const Case c = GetParam();
  Harness h;
  ASSERT_TRUE(h.open(c.rate, c.coded, c.bit_rate, c.ps));
  SbrFreqTables ft{};
  SbrHeaderData hd = headerOf(h.cfg);
  ASSERT_EQ(sbrFreqTablesUpdate(&hd, c.rate, &ft), 0);
  Reader stream;
  stream.channels = c.coded;
  stream.setTables(ft);
  const int frames = 40;
  auto x = makeSignal(kSweepLevels, frames, c.rate, 99u, c.coded == 2 || c.ps);
  int fresh_ok = 0, time_coded = 0;
  for (int f = 0; f < frames; f++) {
    const bool force = f == 9 || f == 17 || f == 18;
    int n = h.frame(&x[size_t(f) * 4096], force ? 1 : 0);
    ASSERT_GT(n, 0);
    if (f >= 1 && f <= SBR_PAYLOAD_DELAY) continue;
    Parsed p = stream.parse(h.payload, n);
    ASSERT_TRUE(p.ok) << "frame " << f << ": " << p.error;
    time_coded += p.ps_time;
    // the element of a frame goes out SBR_PAYLOAD_DELAY frames later
    if (f == 9 + SBR_PAYLOAD_DELAY || f == 17 + SBR_PAYLOAD_DELAY || f == 18 + SBR_PAYLOAD_DELAY) {
      Reader fresh;
      fresh.channels = c.coded;
      fresh.setTables(ft);
      Parsed q = fresh.parse(h.payload, n);
      ASSERT_TRUE(q.ok) << "frame " << f << " without history: " << q.error;
      EXPECT_TRUE(q.header);
      if (c.ps) {
        EXPECT_TRUE(q.ps_header) << f;
        EXPECT_FALSE(q.ps_time) << f;
      }
      fresh_ok++;
    }
  }
  EXPECT_EQ(fresh_ok, 3);
  if (c.ps) {
    EXPECT_GT(time_coded, 0) << "without the forced header the parameters do go along time";
  }
}
