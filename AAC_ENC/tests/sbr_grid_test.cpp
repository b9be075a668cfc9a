// SBR time grid: every frame info the generator produces is codable by the grid syntax,
// reads back to the same borders, and follows on from the previous frame; the transient
// and splitter cases that shape it.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "aac_sbr_int.h"

namespace {

struct Reader {
  const uint8_t *p;
  int pos = 0;
  uint32_t get(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; i++, pos++) v = (v << 1) | ((p[pos >> 3] >> (7 - (pos & 7))) & 1u);
    return v;
  }
};

// The grid as a decoder reads it (borders, resolutions, transient envelope, noise borders).
struct Grid {
  int cls = 0, L = 0;
  int t[6] = {0};
  int res[5] = {0};
  int la = -1;  // transient envelope, -1 none
  int nq = 0, tq[3] = {0};
};

int ptr_bits(int L) {
  int b = 0;
  while ((1 << b) < L + 1) b++;
  return b;
}

Grid readGrid(Reader &r) {
  Grid g;
  g.cls = int(r.get(2));
  int ptr = 0;
  if (g.cls == FIXFIX) {
    g.L = 1 << r.get(2);
    int fr = int(r.get(1));
    for (int i = 0; i <= g.L; i++) g.t[i] = 16 * i / g.L;
    for (int i = 0; i < g.L; i++) g.res[i] = fr;
  } else if (g.cls == FIXVAR) {
    int vb1 = int(r.get(2)), n = int(r.get(2));
    g.L = n + 1;
    g.t[0] = 0;
    g.t[g.L] = 16 + vb1;
    for (int i = 0; i < n; i++) g.t[g.L - 1 - i] = g.t[g.L - i] - (2 * int(r.get(2)) + 2);
    ptr = int(r.get(ptr_bits(g.L)));
    for (int i = g.L - 1; i >= 0; i--) g.res[i] = int(r.get(1));
  } else if (g.cls == VARFIX) {
    int vb0 = int(r.get(2)), n = int(r.get(2));
    g.L = n + 1;
    g.t[0] = vb0;
    g.t[g.L] = 16;
    for (int i = 0; i < n; i++) g.t[i + 1] = g.t[i] + 2 * int(r.get(2)) + 2;
    ptr = int(r.get(ptr_bits(g.L)));
    for (int i = 0; i < g.L; i++) g.res[i] = int(r.get(1));
  } else {
    int vb0 = int(r.get(2)), vb1 = int(r.get(2)), n0 = int(r.get(2)), n1 = int(r.get(2));
    g.L = n0 + n1 + 1;
    g.t[0] = vb0;
    g.t[g.L] = 16 + vb1;
    for (int i = 0; i < n0; i++) g.t[i + 1] = g.t[i] + 2 * int(r.get(2)) + 2;
    for (int i = 0; i < n1; i++) g.t[g.L - 1 - i] = g.t[g.L - i] - (2 * int(r.get(2)) + 2);
    ptr = int(r.get(ptr_bits(g.L)));
    for (int i = 0; i < g.L; i++) g.res[i] = int(r.get(1));
  }
  if (g.cls == FIXVAR || g.cls == VARVAR) g.la = ptr == 0 ? -1 : g.L + 1 - ptr;
  if (g.cls == VARFIX) g.la = ptr <= 1 ? -1 : ptr - 1;
  g.nq = g.L > 1 ? 2 : 1;
  g.tq[0] = g.t[0];
  g.tq[g.nq] = g.t[g.L];
  if (g.nq == 2) {
    int m;
    if (g.cls == FIXFIX) m = g.L / 2;
    else if (g.cls == VARFIX) m = ptr == 0 ? 1 : (ptr == 1 ? g.L - 1 : ptr - 1);
    else m = ptr <= 1 ? g.L - 1 : g.L + 1 - ptr;
    g.tq[1] = g.t[m];
  }
  return g;
}

void expectCodable(const SbrFrameInfo &fi, int prev_end, const char *what) {
  SbrFrameInfo copy = fi;
  ASSERT_EQ(sbrFrameInfoFinish(&copy), 0) << what;
  uint8_t buf[64] = {0};
  AacBitBuf bb;
  aacBitBufOpen(&bb, sizeof(buf), 0);
  int bits = sbrWriteGrid(buf, &bb, &fi);
  ASSERT_EQ(bits, aacBitBufCount(&bb));
  Reader r{buf};
  Grid g = readGrid(r);
  ASSERT_EQ(r.pos, bits) << what;
  ASSERT_EQ(g.cls, fi.frame_class) << what;
  ASSERT_EQ(g.L, fi.n_env) << what;
  for (int i = 0; i <= g.L; i++) ASSERT_EQ(g.t[i], fi.borders[i]) << what << " border " << i;
  for (int i = 0; i < g.L; i++) ASSERT_EQ(g.res[i], fi.freq_res[i]) << what << " resolution " << i;
  for (int i = 0; i < g.L; i++) ASSERT_LT(g.t[i], g.t[i + 1]) << what;
  ASSERT_EQ(g.nq, fi.n_noise);
  for (int i = 0; i <= g.nq; i++) ASSERT_EQ(g.tq[i], fi.noise_borders[i]) << what;
  // the frame starts where the previous one ended
  ASSERT_EQ(g.t[0], prev_end - 16) << what;
  if (fi.short_env >= 1 && fi.short_env < fi.n_env && g.cls != FIXFIX && g.cls != VARFIX) {
    ASSERT_EQ(g.la, fi.short_env) << what;
  }
}

}  // namespace

TEST(SbrTimeGrid, EveryGeneratedFrameInfoIsCodableAndContinuous) {
  std::mt19937 rng(12345);
  for (int run = 0; run < 400; run++) {
    SbrFrameGen g;
    sbrFrameGenOpen(&g, run & 1, 0, 2);
    int prev_end = 16;
    int density = 1 + run % 4;  // from rare to back-to-back transients
    for (int f = 0; f < 60; f++) {
      SbrTransientInfo ti;
      ti.flag = int(rng() % 4) < density ? 1 : 0;
      ti.pos = ti.flag ? int(rng() % 16) : int(rng() % 2);
      SbrFrameInfo fi;
      sbrFrameInfoGenerate(&g, &ti, &fi);
      char what[64];
      std::snprintf(what, sizeof(what), "run %d frame %d pos %d flag %d", run, f, ti.pos, ti.flag);
      expectCodable(fi, prev_end, what);
      if (::testing::Test::HasFatalFailure()) return;
      prev_end = fi.borders[fi.n_env];
      if (ti.flag) {
        // the transient border (lead-in + slot) is a border of this frame or its end
        int tb = SBR_LEAD_IN + ti.pos;
        bool found = false;
        for (int i = 0; i <= fi.n_env; i++) found |= fi.borders[i] == tb;
        found |= tb < fi.borders[0] + 4;  // merged into a short first envelope
        EXPECT_TRUE(found) << what;
      }
    }
  }
}

TEST(SbrTimeGrid, ClassesFollowTransientsAndSplits) {
  SbrFrameGen g;
  sbrFrameGenOpen(&g, 1, 0, 2);
  SbrFrameInfo fi;
  SbrTransientInfo steady{0, 0}, split{1, 0}, click{6, 1};
  sbrFrameInfoGenerate(&g, &steady, &fi);
  EXPECT_EQ(fi.frame_class, FIXFIX);
  EXPECT_EQ(fi.n_env, 1);
  sbrFrameInfoGenerate(&g, &split, &fi);
  EXPECT_EQ(fi.frame_class, FIXFIX);
  EXPECT_EQ(fi.n_env, 2);
  sbrFrameInfoGenerate(&g, &click, &fi);  // transient at time slot 6 + lead-in = border 10
  EXPECT_EQ(fi.frame_class, FIXVAR);
  bool has10 = false;
  for (int i = 0; i <= fi.n_env; i++) has10 |= fi.borders[i] == 10;
  EXPECT_TRUE(has10);
  EXPECT_GE(fi.short_env, 0);
  EXPECT_EQ(fi.freq_res[fi.short_env], 0);  // the short envelopes after it are low resolution
  sbrFrameInfoGenerate(&g, &steady, &fi);
  EXPECT_EQ(fi.frame_class, VARFIX);
  sbrFrameInfoGenerate(&g, &steady, &fi);
  EXPECT_EQ(fi.frame_class, FIXFIX);

  // a transient near the frame end spreads into the next frame: VARVAR without a new transient
  SbrTransientInfo late{14, 1};
  sbrFrameInfoGenerate(&g, &late, &fi);
  EXPECT_EQ(fi.frame_class, FIXVAR);
  EXPECT_EQ(fi.borders[fi.n_env], 18);
  EXPECT_EQ(fi.pointer, 1);  // the transient starts the next frame's first envelope
  sbrFrameInfoGenerate(&g, &steady, &fi);
  EXPECT_EQ(fi.frame_class, VARVAR);
  EXPECT_EQ(fi.borders[0], 2);
  // a second transient right after: VARVAR
  sbrFrameInfoGenerate(&g, &click, &fi);
  sbrFrameInfoGenerate(&g, &click, &fi);
  EXPECT_EQ(fi.frame_class, VARVAR);
}

TEST(SbrTimeGrid, StaticFramingAndFixedTables) {
  SbrFrameGen g;
  sbrFrameGenOpen(&g, 1, 1, 4);
  SbrTransientInfo click{3, 1};
  SbrFrameInfo fi;
  sbrFrameInfoGenerate(&g, &click, &fi);
  EXPECT_EQ(fi.frame_class, FIXFIX);
  ASSERT_EQ(fi.n_env, 4);
  const int borders[5] = {0, 4, 8, 12, 16};
  for (int i = 0; i < 5; i++) EXPECT_EQ(fi.borders[i], borders[i]);
  EXPECT_EQ(fi.n_noise, 2);
  EXPECT_EQ(fi.noise_borders[1], 8);
}
