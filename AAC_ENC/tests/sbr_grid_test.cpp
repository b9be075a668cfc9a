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
  // the decoder finds the transient envelope where the generator put it
  if (fi.short_env >= 1 && (fi.short_env < fi.n_env || g.cls == FIXVAR || g.cls == VARVAR) && g.cls != FIXFIX) {
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
      ti.pos = ti.flag ? int(rng() % 18) - 2 : int(rng() % 2);  // a transient may lie in the lead-in
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

namespace {

// QMF analysis and transient detection of a mono signal, frame by frame, as the encoder
// runs them; the detected border in QMF slots of the whole signal (-1 without one).
struct Detect {
  QmfBank q;
  SbrTransientDetector d;
  SbrFreqTables ft{};
  std::vector<int16_t> re = std::vector<int16_t>(32 * 64), im = std::vector<int16_t>(32 * 64);
  int16_t *rp[32], *ip[32];
  explicit Detect(int rate) {
    SbrHeaderData h{};
    h.amp_res = 1;
    h.start_freq = 12;
    h.stop_freq = 9;
    h.freq_scale = 2;
    h.alter_scale = 1;
    h.noise_bands = 2;
    EXPECT_EQ(sbrFreqTablesUpdate(&h, rate, &ft), 0);
    QmfAnalysisOpen(0, &q, 0, 2048);
    sbrTransientDetectorOpen(&d, 2048, rate, 24000, 32000, 13000, ft.kx);
    for (int l = 0; l < 32; l++) {
      rp[l] = &re[size_t(l) * 64];
      ip[l] = &im[size_t(l) * 64];
    }
  }
  SbrTransientInfo frame(const int16_t *x) {
    QmfAnalysisFrame(x, 1, rp, ip, &q);
    SbrTransientInfo ti{0, 0};
    sbrDetectTransient(rp, ip, q.out_scale, &d, ft.kx, ft.k2, &ti);
    return ti;
  }
};

}  // namespace

// A click anywhere in a frame is detected once, at a border within a time slot of its onset
// in the QMF rows, also when the onset lies in the last slots of a frame (it then sits in
// the next frame's lead-in); steady noise and a slow swell give none.
TEST(SbrTransients, EachClickIsFoundOnceAtItsRise) {
  for (int rate : {32000, 44100, 48000}) {
    std::mt19937 rng{unsigned(rate)};
    std::normal_distribution<double> g(0, 1);
    const int frames = 40;
    std::vector<int16_t> x(size_t(frames) * 2048);
    for (size_t i = 0; i < x.size(); i++) x[i] = int16_t(std::lround(200 * g(rng)));
    std::vector<long> clicks;
    for (int f = 3; f + 2 < frames; f += 3) {
      long at = long(f) * 2048 + long(rng() % 2048);
      clicks.push_back(at);
      for (long i = at; i < at + 96; i++) x[size_t(i)] = int16_t(std::lround(std::max(-32000.0, std::min(32000.0, 12000 * g(rng)))));
    }
    Detect det(rate);
    std::vector<long> found;  // borders in QMF slots of the whole signal
    for (int f = 0; f < frames; f++) {
      SbrTransientInfo ti = det.frame(&x[size_t(f) * 2048]);
      // frame 0 holds the stream's own onset on the silent history
      if (ti.flag && f > 0) found.push_back(long(f) * 32 + 2 * ti.pos);
    }
    ASSERT_EQ(found.size(), clicks.size()) << rate;
    for (size_t i = 0; i < clicks.size(); i++) {
      // QMF slot l shows the input around sample 64 l + 63 - 320 (the prototype's centre)
      const long onset = (clicks[i] + 257) / 64;
      EXPECT_GE(found[i], onset - 2) << rate << " click at sample " << clicks[i];
      EXPECT_LE(found[i], onset + 2) << rate << " click at sample " << clicks[i];
    }
  }
  // a slow swell (6 dB per frame) is no transient
  Detect det(44100);
  std::mt19937 rng(1);
  std::normal_distribution<double> g(0, 1);
  std::vector<int16_t> x(2048);
  for (int f = 0; f < 12; f++) {
    double lv = 100 * std::pow(2.0, f);
    for (size_t i = 0; i < x.size(); i++)
      x[i] = int16_t(std::lround(std::max(-32000.0, std::min(32000.0, lv * std::pow(2.0, double(i) / 2048) * g(rng)))));
    SbrTransientInfo ti = det.frame(x.data());
    if (f > 0) {
      EXPECT_EQ(ti.flag, 0) << "swell frame " << f;
    }
  }
}

// The frame splitter: two halves with different spectra split into two envelopes, equal
// halves and a level change of one band's neighbourhood below the threshold do not; a
// transient frame keeps its position.
TEST(SbrTransients, FrameSplitterFollowsSpectralChangeBetweenHalves) {
  EXPECT_EQ(sbrSplitThreshold(2048, 44100, 2 * 24000, 48000), 56);  // x = 364
  SbrHeaderData h{};
  h.amp_res = 1;
  h.start_freq = 12;
  h.stop_freq = 9;
  h.freq_scale = 2;
  h.alter_scale = 1;
  h.noise_bands = 2;
  SbrFreqTables ft{};
  ASSERT_EQ(sbrFreqTablesUpdate(&h, 44100, &ft), 0);
  SbrTransientDetector d;
  sbrTransientDetectorOpen(&d, 2048, 44100, 2 * 24000, 48000, 13000, ft.kx);
  std::vector<int32_t> store(16 * 64);
  int32_t *rows[16];
  for (int i = 0; i < 16; i++) rows[i] = &store[size_t(i) * 64];
  auto fill = [&](bool swap_second_half) {
    for (int s = 0; s < 16; s++)
      for (int k = 0; k < 64; k++) {
        const bool upper = k >= (ft.kx + ft.k2) / 2;
        const bool loud = (s >= 8 && swap_second_half) ? upper : !upper;
        rows[s][k] = k < ft.kx ? 4000000 : (loud ? 2000000 : 2000);
      }
  };
  auto split = [&](int flag, int pos) {
    SbrTransientInfo ti{pos, flag};
    sbrFrameSplitter(rows, 4, &d, ft.hi, ft.n_hi, ft.kx, &ti);
    return ti.pos;
  };
  fill(false);
  EXPECT_EQ(split(0, 0), 0);  // steady spectrum
  EXPECT_EQ(split(0, 0), 0);
  fill(true);
  EXPECT_EQ(split(0, 0), 1) << "the halves differ in spectrum";
  EXPECT_EQ(split(1, 9), 9) << "a transient frame keeps its position";
}

// A coupled pair sends channel 0's grid for both channels: frame infos the driver finds
// equal must say the same grid, bit for bit (class, borders, resolutions, pointer).
TEST(SbrTimeGrid, EqualFrameInfosShareOneGrid) {
  std::mt19937 rng(77);
  int equal = 0;
  for (int run = 0; run < 200; run++) {
    SbrFrameGen g0, g1;
    sbrFrameGenOpen(&g0, 1, 0, 2);
    sbrFrameGenOpen(&g1, 1, 0, 2);
    for (int f = 0; f < 40; f++) {
      SbrTransientInfo t0{int(rng() % 2), 0}, t1 = t0;
      if (rng() % 4 == 0) t1 = {int(rng() % 18) - 2, 1};  // a transient in channel 1 only
      if (rng() % 8 == 0) t0 = t1;
      SbrFrameInfo a, b;
      sbrFrameInfoGenerate(&g0, &t0, &a);
      sbrFrameInfoGenerate(&g1, &t1, &b);
      if (!sbrFrameInfoEqual(&a, &b)) continue;
      equal++;
      uint8_t ba[16] = {0}, bb_[16] = {0};
      AacBitBuf wa, wb;
      aacBitBufOpen(&wa, sizeof(ba), 0);
      aacBitBufOpen(&wb, sizeof(bb_), 0);
      const int na = sbrWriteGrid(ba, &wa, &a), nb = sbrWriteGrid(bb_, &wb, &b);
      ASSERT_EQ(na, nb) << "run " << run << " frame " << f << " classes " << a.frame_class << " " << b.frame_class;
      ASSERT_EQ(0, std::memcmp(ba, bb_, sizeof(ba))) << "run " << run << " frame " << f;
    }
  }
  EXPECT_GT(equal, 1000);
}
