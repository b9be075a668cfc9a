// The pictures: what the sensor pattern, the colour conversion, privacy masks, exposure, gain and
// focus do to them, measured on the rendered planes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "render.h"

namespace {

using namespace kavo::sim::iav;

struct Picture {
  int w, h;
  std::vector<uint8_t> planes;
  Picture(int w_, int h_) : w(w_), h(h_), planes(static_cast<size_t>(w_) * h_ * 3 / 2) {}
  uint8_t* y() { return planes.data(); }
  uint8_t* u() { return planes.data() + static_cast<size_t>(w) * h; }
  uint8_t* v() { return u() + static_cast<size_t>(w / 2) * (h / 2); }
  // Mean and standard deviation of the luma in a box given in picture fractions.
  void stats(double x0, double y0, double x1, double y1, double* mean, double* sd) {
    double s = 0, s2 = 0;
    int n = 0;
    for (int yy = static_cast<int>(y0 * h); yy < static_cast<int>(y1 * h); ++yy)
      for (int xx = static_cast<int>(x0 * w); xx < static_cast<int>(x1 * w); ++xx) {
        const double p = y()[static_cast<size_t>(yy) * w + xx];
        s += p;
        s2 += p * p;
        ++n;
      }
    *mean = s / n;
    *sd = std::sqrt(std::max(0.0, s2 / n - *mean * *mean));
  }
  double mean(double x0, double y0, double x1, double y1) {
    double m, sd;
    stats(x0, y0, x1, y1, &m, &sd);
    return m;
  }
  // Variance of the Laplacian of the luma in a box: how sharp it is.
  double sharpness(double x0, double y0, double x1, double y1) {
    double s = 0, s2 = 0;
    int n = 0;
    for (int yy = std::max(1, static_cast<int>(y0 * h)); yy < std::min(h - 1, static_cast<int>(y1 * h)); ++yy)
      for (int xx = std::max(1, static_cast<int>(x0 * w)); xx < std::min(w - 1, static_cast<int>(x1 * w)); ++xx) {
        const uint8_t* p = y() + static_cast<size_t>(yy) * w + xx;
        const double l = 4.0 * p[0] - p[-1] - p[1] - p[-w] - p[w];
        s += l;
        s2 += l * l;
        ++n;
      }
    return s2 / n - (s / n) * (s / n);
  }
  // The number of the band, read with the flips undone.
  bool number(bool hflip, bool vflip, uint32_t* n) {
    std::vector<uint8_t> l(y(), y() + static_cast<size_t>(w) * h);
    for (int r = 0; r < h; ++r)
      for (int c = 0; c < w; ++c) l[static_cast<size_t>(r) * w + c] = y()[static_cast<size_t>(vflip ? h - 1 - r : r) * w + (hflip ? w - 1 - c : c)];
    return readSceneNumber(l.data(), w, h, n);
  }
};

// A frame of the default DSP and scene, for the test to change.
FrameView view(const SensorConfig& cfg = SensorConfig()) {
  FrameView f;
  CameraShared c{};
  cameraDefaults(c, cfg);
  f.scene = sceneAt(SceneScript(), 0);
  f.sensor = settingsAt(c.sensor, 0);
  f.dsp = c.dsp;
  f.lens = c.lens;
  return f;
}

void render(Renderer& r, FrameView f, Picture& p, uint32_t number = 1234, const MaskView& m = MaskView(),
            const SensorConfig& cfg = SensorConfig()) {
  f.signal = signal(f.scene, f.sensor, f.dsp, f.lens, cfg);
  f.mirror = effectiveMirror(f.sensor.mirror, cfg.mount);
  f.blur = blurRadius(f.lens, f.scene.distance);
  r.render(f, number, false, false, m, p.y(), p.u(), p.v());
}

TEST(Render, MirrorPatternTurnsPictureAndBandAsTheSensorIsMounted) {
  // The pattern a board's ISP sends for mirror 0: the OV9715 boards other than model 5 have their
  // sensor mounted turned round and are sent pattern 3.
  struct Case {
    uint32_t mount, pattern;
    bool h, v;  // how the picture comes out
  };
  const Case cases[] = {{0, 0, false, false}, {0, 2, true, false}, {0, 1, false, true}, {0, 3, true, true},
                        {3, 3, false, false}, {3, 1, true, false}, {3, 0, true, true}};
  Renderer r;
  r.configure(320, 180);
  for (const auto& k : cases) {
    SensorConfig cfg;
    cfg.mount = k.mount;
    FrameView f = view(cfg);
    f.sensor.mirror = k.pattern;
    Picture p(320, 180);
    render(r, f, p, 777, MaskView(), cfg);
    uint32_t n = 0;
    EXPECT_TRUE(p.number(k.h, k.v, &n) && n == 777) << "mount " << k.mount << " pattern " << k.pattern;
    // The noise screen of the chart sits in the lower right quarter of an upright picture.
    double m, sdRight, sdLeft;
    p.stats(k.h ? 0.0 : 0.75, k.v ? 0.05 : 0.8, k.h ? 0.25 : 1.0, k.v ? 0.2 : 0.95, &m, &sdRight);
    p.stats(k.h ? 0.75 : 0.0, k.v ? 0.05 : 0.8, k.h ? 1.0 : 0.1, k.v ? 0.2 : 0.95, &m, &sdLeft);
    EXPECT_GT(sdRight, 20) << "mount " << k.mount << " pattern " << k.pattern;
  }
}

TEST(Render, ExposureGainAndColourOffShowInThePicture) {
  Renderer r;
  r.configure(320, 180);
  FrameView f = view();
  f.scene.lux = 100;
  f.sensor.shutter = IAV_FRAME_RATE_CLOCK / 120;
  Picture base(320, 180), twice(320, 180), gained(320, 180), grey(320, 180);
  render(r, f, base);
  f.sensor.shutter *= 2;
  render(r, f, twice);
  // The 18 % grey step: linear light twice as bright comes out 2^(1/2.2) brighter through the DSP's
  // gamma.
  const double a = base.mean(0.07, 0.75, 0.09, 0.95), b = twice.mean(0.07, 0.75, 0.09, 0.95);
  EXPECT_NEAR(b / a, std::pow(2.0, 1 / 2.2), 0.06);
  // The same brightness with 24 dB of gain instead of exposure is far noisier.
  f.sensor.shutter /= 16;
  f.sensor.agcDb = static_cast<int32_t>(24.08 * IAV_AGC_DB_ONE);
  render(r, f, gained);
  double m1, sd1, m2, sd2;
  twice.stats(0.02, 0.60, 0.05, 0.66, &m1, &sd1);  // inside a flat colour patch
  gained.stats(0.02, 0.60, 0.05, 0.66, &m2, &sd2);
  EXPECT_NEAR(m2, m1, 3.0);
  EXPECT_GT(sd2, 3 * sd1) << "noise grows with gain";
  // Colour off: zero U and V rows.
  f.dsp.yuv.matrix_values[3] = f.dsp.yuv.matrix_values[4] = f.dsp.yuv.matrix_values[5] = 0;
  f.dsp.yuv.matrix_values[6] = f.dsp.yuv.matrix_values[7] = f.dsp.yuv.matrix_values[8] = 0;
  render(r, f, grey);
  const size_t chroma = static_cast<size_t>(160) * 90;
  EXPECT_TRUE(std::all_of(grey.u(), grey.u() + chroma, [](uint8_t x) { return x == 128; }));
  EXPECT_TRUE(std::all_of(grey.v(), grey.v() + chroma, [](uint8_t x) { return x == 128; }));
  EXPECT_FALSE(std::all_of(twice.u(), twice.u() + chroma, [](uint8_t x) { return x == 128; }));
}

TEST(Render, DefocusBlursThePicture) {
  Renderer r;
  r.configure(640, 360);
  FrameView f = view();
  Picture sharp(640, 360), soft(640, 360);
  render(r, f, sharp);
  f.lens.focus = 48;  // 6 pixels of blur in a 1920-pixel picture at 8 steps per pixel
  render(r, f, soft);
  // The gratings lose most of their fine detail; the band's number stays readable.
  EXPECT_LT(soft.sharpness(0.55, 0.5, 0.95, 0.65), 0.3 * sharp.sharpness(0.55, 0.5, 0.95, 0.65));
  uint32_t n = 0;
  EXPECT_TRUE(soft.number(false, false, &n) && n == 1234);
}

TEST(Render, PrivacyMasksCoverTheirBlocksInEveryStreamSize) {
  // A 1280x720 main buffer: 80 x 45 blocks, rows of 320 bytes. Blocks 10..19 x 20..29 masked.
  std::vector<uint8_t> bitmap(320 * 45, 0);
  for (int by = 20; by < 30; ++by)
    for (int bx = 10; bx < 20; ++bx) reinterpret_cast<uint32_t*>(&bitmap[static_cast<size_t>(by) * 320])[bx] = 1;
  MaskView m;
  m.bitmap = bitmap.data();
  m.blocksX = 80;
  m.blocksY = 45;
  m.mainWidth = 1280;
  m.mainHeight = 720;
  m.y = 80;
  m.u = 64;
  m.v = 235;
  for (int w : {1280, 640}) {
    const int h = w * 9 / 16;
    Renderer r;
    r.configure(w, h);
    Picture p(w, h);
    render(r, view(), p, 5, m);
    const double s = w / 1280.0;
    double mean, sd;
    p.stats((160 * s + 1) / w, (320 * s + 1) / h, (320 * s - 1) / w, (480 * s - 1) / h, &mean, &sd);
    EXPECT_EQ(mean, 80.0) << w;
    EXPECT_EQ(sd, 0.0) << w;
    EXPECT_EQ(p.u()[static_cast<size_t>(200 * s) * (w / 2) + static_cast<size_t>(120 * s)], 64) << w;
    EXPECT_NE(p.y()[static_cast<size_t>(500 * s) * w + static_cast<size_t>(100 * s)], 80) << "outside the blocks";
  }
}

}  // namespace
