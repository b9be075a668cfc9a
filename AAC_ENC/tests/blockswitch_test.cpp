// Attack detection and window sequences on synthetic signals, and the pair rules.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "aac_blockswitch.h"

namespace {

struct SeqRun {
  std::vector<int> seq;
  std::vector<std::vector<int>> groups;
};

// Feeds a mono signal frame by frame (stride 1) and records sequences and groupings.
SeqRun feed(const std::vector<int16_t> &x, const uint32_t *calib = nullptr) {
  AacBlockSwitch bs{};
  AacBlockSwitchInit(&bs);
  SeqRun r;
  for (size_t f = 0; f + 1024 <= x.size(); f += 1024) {
    AacBlockSwitching(&bs, x.data() + f, 1, calib);
    AacSyncBlockSwitching(&bs, nullptr, 1, 0);
    r.seq.push_back(bs.seq);
    r.groups.push_back(std::vector<int>(bs.group_len, bs.group_len + bs.n_groups));
  }
  return r;
}

std::vector<int16_t> tone(double freq, double dbfs, int frames, int rate = 48000) {
  std::vector<int16_t> x(1024 * frames);
  double a = 32767 * std::pow(10, dbfs / 20);
  for (size_t i = 0; i < x.size(); i++) x[i] = int16_t(std::lround(a * std::sin(2 * M_PI * freq * i / rate)));
  return x;
}

}  // namespace

TEST(AacBlockSwitch, ClickInSteadySignal) {
  // steady low-level noise-like chord, a click in window 3 of frame 6
  std::vector<int16_t> x = tone(1000, -30, 12);
  for (int i = 0; i < 24; i++) x[6 * 1024 + 3 * 128 + 40 + i] = int16_t(i % 2 ? 20000 : -20000);
  SeqRun r = feed(x);
  for (int f = 3; f < 6; f++) EXPECT_EQ(r.seq[f], ONLY_LONG) << f;  // after the onset
  EXPECT_EQ(r.seq[6], LONG_START);
  EXPECT_EQ(r.seq[7], EIGHT_SHORT);
  EXPECT_EQ(r.groups[7], (std::vector<int>{3, 1, 3, 1}));  // grouping row of attack index 3
  EXPECT_EQ(r.seq[8], LONG_STOP);
  for (int f = 9; f < 12; f++) EXPECT_EQ(r.seq[f], ONLY_LONG) << f;
  for (int f : {6, 8}) EXPECT_EQ(r.groups[f], (std::vector<int>{1}));
}

TEST(AacBlockSwitch, SteadyToneAndSilenceStayLong) {
  for (double f : {50.0, 100.0, 200.0, 1000.0}) {
    SeqRun r = feed(tone(f, -6, 40));
    for (size_t i = 3; i < r.seq.size(); i++) ASSERT_EQ(r.seq[i], ONLY_LONG) << f << " Hz frame " << i;
  }
  // very quiet input never switches, however sharp the relative rise
  std::vector<int16_t> q(1024 * 6, 0);
  for (int i = 0; i < 8; i++) q[3 * 1024 + 500 + i] = 3;
  SeqRun r = feed(q);
  for (int s : r.seq) EXPECT_EQ(s, ONLY_LONG);
}

TEST(AacBlockSwitch, AttackInLastWindowCarriesOver) {
  std::vector<int16_t> x = tone(1000, -30, 8);
  for (int i = 0; i < 24; i++) x[3 * 1024 + 7 * 128 + 60 + i] = int16_t(i % 2 ? 20000 : -20000);
  AacBlockSwitch bs{};
  AacBlockSwitchInit(&bs);
  std::vector<int> attack;
  for (int f = 0; f < 8; f++) {
    AacBlockSwitching(&bs, x.data() + 1024 * f, 1, nullptr);
    attack.push_back(bs.attack);
  }
  EXPECT_EQ(attack[3], 1);
  EXPECT_EQ(attack[4], 1);  // carried: the previous attack was in window 7
  EXPECT_EQ(attack[5], 0);
}

TEST(AacBlockSwitch, AttackDuringPlannedStopAndCalibration) {
  // two clicks two frames apart: the second arrives while LONG_STOP was planned
  std::vector<int16_t> x = tone(1000, -30, 10);
  for (int fr : {3, 5})
    for (int i = 0; i < 24; i++) x[fr * 1024 + 2 * 128 + i] = int16_t(i % 2 ? 20000 : -20000);
  SeqRun r = feed(x);
  EXPECT_EQ(r.seq[3], LONG_START);
  EXPECT_EQ(r.seq[4], EIGHT_SHORT);
  EXPECT_EQ(r.seq[5], EIGHT_SHORT);
  EXPECT_EQ(r.groups[5], (std::vector<int>{3, 3, 2}));
  for (uint32_t w : {0u, 2u}) {
    uint32_t calib[4] = {0, 0, 0, 0};
    calib[w] = 1;
    SeqRun c = feed(x, calib);
    for (int s : c.seq) EXPECT_EQ(s, ONLY_LONG) << "word " << w;
  }
}

TEST(AacBlockSwitch, ChannelPairSynchronisation) {
  const int table[4][4] = {{0, 1, 2, 3}, {1, 1, 2, 2}, {2, 2, 2, 2}, {3, 2, 2, 3}};
  for (int l = 0; l < 4; l++)
    for (int r = 0; r < 4; r++) {
      AacBlockSwitch a{}, b{};
      a.seq = l;
      b.seq = r;
      a.n_groups = 4;
      b.n_groups = 2;
      a.group_len[0] = 2, a.group_len[1] = 2, a.group_len[2] = 2, a.group_len[3] = 2;
      b.group_len[0] = 4, b.group_len[1] = 4;
      a.max_win_nrg = 10;
      b.max_win_nrg = 10;  // tie: the right channel's grouping
      AacSyncBlockSwitching(&a, &b, 2, 1);
      EXPECT_EQ(a.seq, table[l][r]);
      EXPECT_EQ(b.seq, table[l][r]);
      if (a.seq == EIGHT_SHORT) {
        EXPECT_EQ(a.n_groups, 2);
        EXPECT_EQ(a.group_len[0], 4);
      } else {
        EXPECT_EQ(a.n_groups, 1);
        EXPECT_EQ(b.group_len[0], 1);
      }
    }
}
