#include "render.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "random.h"

namespace kavo {
namespace sim {
namespace iav {

namespace {

// The DSP's fixed gamma (1/2.2) before the tone curve: 14-bit linear value -> 8-bit code.
const uint8_t* gammaTable() {
  static const uint8_t* table = [] {
    static uint8_t t[16384];
    for (int v = 0; v < 16384; ++v) t[v] = static_cast<uint8_t>(std::lround(255.0 * std::pow(v / kFullScale, 1.0 / 2.2)));
    return t;
  }();
  return table;
}

// Normal samples, standard deviation 32, for the sensor noise of the pictures.
constexpr uint32_t kGaussSize = 1u << 16;
const int8_t* gaussTable() {
  static const int8_t* table = [] {
    static int8_t t[kGaussSize];
    uint64_t s = 0x853c49e6748fea9bull;
    for (auto& g : t) g = static_cast<int8_t>(std::lround(std::max(-127.0, std::min(127.0, normal(s) * 32.0))));
    return t;
  }();
  return table;
}

// Built when the library loads, so that no picture pays for them.
const uint8_t* const kGamma = gammaTable();
const int8_t* const kGauss = gaussTable();

// The four 8-bit codes of a pixel in four 16-bit lanes, and back: the sums of a window of up to 257
// pixels fit a lane.
inline uint64_t spread4(uint32_t p) {
  const uint64_t v = p;
  return (v & 0xffu) | (v & 0xff00u) << 8 | (v & 0xff0000u) << 16 | (v & 0xff000000u) << 24;
}
inline uint32_t pack(uint64_t sums, uint32_t recip) {
  return static_cast<uint32_t>(((sums & 0xffffu) * recip) >> 16) |
         static_cast<uint32_t>((((sums >> 16) & 0xffffu) * recip) >> 16) << 8 |
         static_cast<uint32_t>((((sums >> 32) & 0xffffu) * recip) >> 16) << 16 |
         static_cast<uint32_t>((((sums >> 48) & 0xffffu) * recip) >> 16) << 24;
}

uint8_t clampByte(int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

uint8_t code(float r) { return static_cast<uint8_t>(std::lround(std::min(1.0f, std::max(0.0f, r)) * 255.0f)); }

uint32_t packCodes(const Reflectance& r) {
  return code(r.r) | static_cast<uint32_t>(code(r.g)) << 8 | static_cast<uint32_t>(code(r.b)) << 16 |
         static_cast<uint32_t>(code(r.ir)) << 24;
}

}  // namespace

uint16_t sceneCheck(uint32_t number) {
  return static_cast<uint16_t>(((number >> 16) ^ (number & 0xffffu) ^ 0x5a5au) & 0xffffu);
}

bool readSceneNumber(const uint8_t* y, int w, int h, uint32_t* number) {
  const int cellW = w / kCellCols;
  const int cellH = (h / 4) / kCellRows;
  if (cellW < 2 || cellH < 2) return false;
  uint64_t bits = 0;
  for (int b = 0; b < kCellCols * kCellRows; ++b) {
    const int x0 = (b % kCellCols) * cellW, y0 = (b / kCellCols) * cellH;
    int sum = 0;
    for (int j = 1; j <= 3; ++j)
      for (int i = 1; i <= 3; ++i) sum += y[static_cast<size_t>(y0 + cellH * j / 4) * w + x0 + cellW * i / 4];
    bits = (bits << 1) | (sum / 9 >= 128 ? 1u : 0u);
  }
  const uint32_t n = static_cast<uint32_t>(bits >> 16);
  if (static_cast<uint16_t>(bits & 0xffffu) != sceneCheck(n)) return false;
  *number = n;
  return true;
}

void Renderer::configure(int w, int h) {
  if (w == w_ && h == h_) return;
  w_ = w;
  h_ = h;
  const size_t n = static_cast<size_t>(w) * h;
  chart_.assign(n, 0);
  blurred_.assign(n, 0);
  scratch_.assign(n, 0);
  rowKind_.assign(h, 0);
  xmap_.assign(w, 0);
  ymap_.assign(h, 0);
  rows_.assign(static_cast<size_t>(w) * 2, 0);
  halfChart_.assign(n / 4, 0);
  halfBlurred_.assign(n / 4, 0);
  colSums_.assign(w, 0);
  blurRadius_ = 0;
  buildChart();
}

void Renderer::buildChart() {
  noiseX0_ = static_cast<int>(std::ceil(kCirclesRight * w_ - 0.5));
  for (int y = 0; y < h_; ++y) {
    const double v = (y + 0.5) / h_;
    rowKind_[y] = v >= kBandTop && v < kBandBottom ? 1 : v >= kLowTop ? 2 : 0;
    for (int x = 0; x < w_; ++x) chart_[static_cast<size_t>(y) * w_ + x] = packCodes(chartAt((x + 0.5) / w_, v));
  }
  const int hw = w_ / 2, hh = h_ / 2;
  for (int y = 0; y < hh; ++y)
    for (int x = 0; x < hw; ++x) {
      const uint32_t* p = &chart_[static_cast<size_t>(2 * y) * w_ + 2 * x];
      halfChart_[static_cast<size_t>(y) * hw + x] =
          pack(spread4(p[0]) + spread4(p[1]) + spread4(p[w_]) + spread4(p[w_ + 1]) + 0x0002000200020002ull, 16384);
    }
}


void Renderer::blurChart(int radius) {
  // Wide blurs are made at half the size: four times less work, and a blur of two pixels or more
  // hides the pixel pairs.
  const bool half = radius >= 2;
  boxBlur(half ? halfChart_.data() : chart_.data(), half ? halfBlurred_.data() : blurred_.data(), half ? w_ / 2 : w_,
          half ? h_ / 2 : h_, half ? radius / 2 : radius);
  blurRadius_ = radius;
}

void Renderer::boxBlur(const uint32_t* src, uint32_t* dst, int w, int h, int k) {
  // A box of the blur's size (the lens's defocus) along the rows, then down the columns; edges
  // repeat. The four codes of a pixel are summed at once in 16-bit lanes.
  const uint32_t recip = static_cast<uint32_t>((65536u + k) / static_cast<uint32_t>(2 * k + 1));
  uint32_t* scratch = scratch_.data();
  for (int y = 0; y < h; ++y) {
    const uint32_t* s = src + static_cast<size_t>(y) * w;
    uint32_t* t = scratch + static_cast<size_t>(y) * w;
    uint64_t acc = 0;
    for (int i = -k; i <= k; ++i) acc += spread4(s[std::min(w - 1, std::max(0, i))]);
    for (int x = 0; x < w; ++x) {
      t[x] = pack(acc, recip);
      acc += spread4(s[std::min(w - 1, x + k + 1)]);
      acc -= spread4(s[std::max(0, x - k)]);
    }
  }
  // Down the columns a row at a time, with one running sum per column, so memory is read in order.
  uint64_t* acc = colSums_.data();
  std::fill(colSums_.begin(), colSums_.begin() + w, 0);
  for (int i = -k; i <= k; ++i) {
    const uint32_t* s = scratch + static_cast<size_t>(std::min(h - 1, std::max(0, i))) * w;
    for (int x = 0; x < w; ++x) acc[x] += spread4(s[x]);
  }
  for (int y = 0; y < h; ++y) {
    uint32_t* d = dst + static_cast<size_t>(y) * w;
    const uint32_t* in = scratch + static_cast<size_t>(std::min(h - 1, y + k + 1)) * w;
    const uint32_t* out = scratch + static_cast<size_t>(std::max(0, y - k)) * w;
    for (int x = 0; x < w; ++x) {
      d[x] = pack(acc[x], recip);
      acc[x] += spread4(in[x]);
      acc[x] -= spread4(out[x]);
    }
  }
}

void Renderer::buildTables(const FrameView& f) {
  const SensorSignal& sig = f.signal;
  const uint8_t* gamma = kGamma;
  auto tone8 = [&](int c, double v) {
    const int lin = static_cast<int>(std::min(kFullScale, std::max(0.0, v)));
    return static_cast<uint8_t>(f.dsp.tone[c][gamma[lin]] >> 2 > 255 ? 255 : f.dsp.tone[c][gamma[lin]] >> 2);
  };
  irPath_ = sig.ir[0] > 0 || sig.ir[1] > 0 || sig.ir[2] > 0;
  for (int c = 0; c < 3; ++c) {
    for (int i = 0; i < 256; ++i) {
      const double raw = sig.visible[c] * i / 255.0;
      lut_[c][i] = tone8(c, dspValue(sig, c, raw));
      vis_[c][i] = static_cast<int32_t>(std::min(1e6, raw));
      ir_[c][i] = static_cast<int32_t>(std::min(1e6, sig.ir[c] * i / 255.0));
    }
    if (irPath_)
      for (int i = 0; i <= 4096; ++i) out_[c][i] = tone8(c, dspValue(sig, c, i * 4.0));
  }
  // Luma noise by green code: the sensor's noise through the DSP's gain and gamma.
  for (int i = 0; i < 256; ++i) {
    const double raw = sig.visible[1] * i / 255.0;
    const double v = std::max(16.0, dspValue(sig, 1, raw));
    const double slope = 255.0 / 2.2 / kFullScale * std::pow(v / kFullScale, 1.0 / 2.2 - 1.0);
    const double s = noiseDn(sig, raw) * sig.wb[1] * slope;
    sigma_[i] = static_cast<int32_t>(std::min(4000.0, s * 8.0));
  }
  std::memcpy(m_, f.dsp.yuv.matrix_values, sizeof m_);
  off_[0] = f.dsp.yuv.y_offset;
  off_[1] = f.dsp.yuv.u_offset;
  off_[2] = f.dsp.yuv.v_offset;
}

void Renderer::irPixel(uint32_t c, int rgb[3]) const {
  const uint32_t ci = c >> 24;
  for (int ch = 0; ch < 3; ++ch) rgb[ch] = out_[ch][std::min(16384, vis_[ch][(c >> (8 * ch)) & 255u] + ir_[ch][ci]) >> 2];
}

void Renderer::render(const FrameView& f, uint32_t number, bool hflip, bool vflip, const MaskView& masks, uint8_t* py,
                      uint8_t* pu, uint8_t* pv) {
  const int w = w_, h = h_;
  // Where each output column and row looks at the chart.
  for (int x = 0; x < w; ++x) {
    double cu, cv;
    const double u = (x + 0.5) / w;
    chartPoint(f, hflip ? 1.0 - u : u, 0.5, &cu, &cv);
    xmap_[x] = std::min(w - 1, std::max(0, static_cast<int>(cu * w)));
  }
  for (int y = 0; y < h; ++y) {
    double cu, cv;
    const double v = (y + 0.5) / h;
    chartPoint(f, 0.5, vflip ? 1.0 - v : v, &cu, &cv);
    ymap_[y] = std::min(h - 1, std::max(0, static_cast<int>(cv * h)));
  }
  // At most 128 pixels (the blur's lanes hold the sums of 257) and a quarter of the picture.
  const int radius = std::min(static_cast<int>(std::lround(f.blur * w / 1920.0)), std::min(128, std::max(1, std::min(w, h) / 4)));
  if (radius > 0 && radius != blurRadius_) blurChart(radius);
  const int scale = radius >= 2 ? 1 : 0;  // the chart read is of half the size
  const uint32_t* chart = radius >= 2 ? halfBlurred_.data() : radius > 0 ? blurred_.data() : chart_.data();
  const int stride = w >> scale;
  buildTables(f);

  const int8_t* const gauss = kGauss;
  const int shift = static_cast<int>(std::lround(f.bandShift * w)) % w;
  // The noise screen: uniform grey codes, their spread shrunk by the blur as a box filter shrinks it.
  const int mean = static_cast<int>(kNoiseMean * 255), spread = static_cast<int>(kNoiseSpread * 255 / (1 + 2 * radius));
  const int cw = w / 2;
  // The band covers its rows whole: they need no pipeline.
  const bool bandV = vflip != ((f.mirror & 1u) != 0);
  const int bandRows = ((h / 4) / kCellRows) * kCellRows & ~1;
  const int skip0 = bandV ? h - bandRows : 0, skip1 = bandV ? h : bandRows;
  // Per channel: its share of the luma (Q10) by code, so a pixel's luma is three look-ups.
  int32_t* __restrict yr = yShare_[0];
  int32_t* __restrict yg = yShare_[1];
  int32_t* __restrict yb = yShare_[2];
  for (int i = 0; i < 256; ++i) {
    yr[i] = m_[0] * lut_[0][i];
    yg[i] = m_[1] * lut_[1][i];
    yb[i] = m_[2] * lut_[2][i] + 512 + off_[0] * 1024;  // the offset may be negative
  }
  // Locals the compiler may keep in registers: the stores below are bytes and could alias members.
  const int32_t* __restrict sg = sigma_;
  const int32_t m3 = m_[3], m4 = m_[4], m5 = m_[5], m6 = m_[6], m7 = m_[7], m8 = m_[8], ou = off_[1], ov = off_[2];
  const int32_t* xmap = xmap_.data();
  const uint64_t noiseSpan = static_cast<uint64_t>(2 * spread + 1);
  for (int y = 0; y < h; ++y) {
    if (y >= skip0 && y < skip1) continue;
    const int cy = ymap_[y];
    const uint32_t* __restrict src = chart + static_cast<size_t>(cy >> scale) * stride;
    uint32_t* __restrict row = &rows_[static_cast<size_t>(y & 1) * w];
    const uint8_t kind = rowKind_[cy];
    // Gather the row's codes.
    if (kind == 1) {
      for (int x = 0; x < w; ++x) {
        int c = xmap[x] + shift;
        if (c >= w) c -= w;
        row[x] = src[c >> scale];
      }
    } else if (kind == 2) {
      for (int x = 0; x < w; ++x) {
        if (xmap[x] >= noiseX0_) {
          const uint32_t g = static_cast<uint32_t>(mean - spread + static_cast<int>(((xorshift(rng_) >> 32) * noiseSpan) >> 32));
          row[x] = g * 0x01010101u;
        } else {
          row[x] = src[xmap[x] >> scale];
        }
      }
    } else {
      for (int x = 0; x < w; ++x) row[x] = src[xmap[x] >> scale];
    }
    // Sensor and colour pipeline: luma, with the sensor's noise, per pixel.
    uint8_t* __restrict yl = py + static_cast<size_t>(y) * w;
    uint32_t k = static_cast<uint32_t>(xorshift(rng_) >> 32);
    if (!irPath_) {
      for (int x = 0; x < w; ++x) {
        const uint32_t c = row[x];
        const uint32_t cg = (c >> 8) & 255u;
        const int noise = (gauss[k++ & (kGaussSize - 1)] * sg[cg]) >> 8;
        yl[x] = clampByte(((yr[c & 255u] + yg[cg] + yb[(c >> 16) & 255u]) >> 10) + noise);
      }
    } else {
      const int32_t* __restrict vr = vis_[0];
      const int32_t* __restrict vg = vis_[1];
      const int32_t* __restrict vb = vis_[2];
      const int32_t* __restrict ir = ir_[0];
      const int32_t* __restrict ig = ir_[1];
      const int32_t* __restrict ib = ir_[2];
      const uint8_t* __restrict orr = out_[0];
      const uint8_t* __restrict og = out_[1];
      const uint8_t* __restrict ob = out_[2];
      const int32_t m0 = m_[0], m1 = m_[1], m2 = m_[2], oy = off_[0];
      for (int x = 0; x < w; ++x) {
        const uint32_t c = row[x];
        const uint32_t cg = (c >> 8) & 255u, ci = c >> 24;
        const int r = orr[std::min(16384, vr[c & 255u] + ir[ci]) >> 2];
        const int g = og[std::min(16384, vg[cg] + ig[ci]) >> 2];
        const int b = ob[std::min(16384, vb[(c >> 16) & 255u] + ib[ci]) >> 2];
        const int noise = (gauss[k++ & (kGaussSize - 1)] * sg[cg]) >> 8;
        yl[x] = clampByte(((m0 * r + m1 * g + m2 * b + 512) >> 10) + oy + noise);
      }
    }
    // Chroma of each 2 x 2 block, from the mean of its codes.
    if (y & 1) {
      const uint32_t* __restrict a = &rows_[0];
      const uint32_t* __restrict bb = &rows_[static_cast<size_t>(w)];
      uint8_t* __restrict ul = pu + static_cast<size_t>(y / 2) * cw;
      uint8_t* __restrict vl = pv + static_cast<size_t>(y / 2) * cw;
      for (int x = 0; x < cw; ++x) {
        // Each code's four values summed in 16-bit lanes, then halved twice.
        const uint64_t sum = spread4(a[2 * x]) + spread4(a[2 * x + 1]) + spread4(bb[2 * x]) + spread4(bb[2 * x + 1]) +
                             0x0002000200020002ull;
        const uint32_t c = static_cast<uint32_t>((sum >> 2) & 0xff) | static_cast<uint32_t>((sum >> 18) & 0xff) << 8 |
                           static_cast<uint32_t>((sum >> 34) & 0xff) << 16 | static_cast<uint32_t>((sum >> 50) & 0xff) << 24;
        int rgb[3];
        if (!irPath_) {
          rgb[0] = lut_[0][c & 255u];
          rgb[1] = lut_[1][(c >> 8) & 255u];
          rgb[2] = lut_[2][(c >> 16) & 255u];
        } else {
          irPixel(c, rgb);
        }
        ul[x] = clampByte(((m3 * rgb[0] + m4 * rgb[1] + m5 * rgb[2] + 512) >> 10) + ou);
        vl[x] = clampByte(((m6 * rgb[0] + m7 * rgb[1] + m8 * rgb[2] + 512) >> 10) + ov);
      }
    }
  }
  drawMasks(masks, py, pu, pv);
  drawBand(number, hflip != ((f.mirror & 2u) != 0), bandV, py, pu, pv);
}

void Renderer::drawMasks(const MaskView& m, uint8_t* py, uint8_t* pu, uint8_t* pv) {
  if (m.bitmap == nullptr || m.blocksX == 0 || m.blocksY == 0 || m.mainWidth == 0 || m.mainHeight == 0) return;
  const uint32_t pitch = (m.blocksX * 4 + 31) / 32 * 32;
  const int cw = w_ / 2;
  for (uint32_t by = 0; by < m.blocksY; ++by) {
    const uint32_t* words = reinterpret_cast<const uint32_t*>(m.bitmap + static_cast<size_t>(by) * pitch);
    const int y0 = static_cast<int>(static_cast<uint64_t>(by) * IAV_PRIVACY_MASK_BLOCK * h_ / m.mainHeight);
    const int y1 = std::min(h_, static_cast<int>(static_cast<uint64_t>(by + 1) * IAV_PRIVACY_MASK_BLOCK * h_ / m.mainHeight));
    if (y0 >= h_) break;
    for (uint32_t bx = 0; bx < m.blocksX; ++bx) {
      if (words[bx] == 0) continue;
      const int x0 = static_cast<int>(static_cast<uint64_t>(bx) * IAV_PRIVACY_MASK_BLOCK * w_ / m.mainWidth);
      const int x1 = std::min(w_, static_cast<int>(static_cast<uint64_t>(bx + 1) * IAV_PRIVACY_MASK_BLOCK * w_ / m.mainWidth));
      if (x0 >= x1) continue;
      for (int y = y0; y < y1; ++y) std::memset(py + static_cast<size_t>(y) * w_ + x0, m.y, static_cast<size_t>(x1 - x0));
      for (int y = y0 / 2; y < (y1 + 1) / 2 && y < h_ / 2; ++y) {
        const int cx0 = x0 / 2, cx1 = std::min(cw, (x1 + 1) / 2);
        std::memset(pu + static_cast<size_t>(y) * cw + cx0, m.u, static_cast<size_t>(cx1 - cx0));
        std::memset(pv + static_cast<size_t>(y) * cw + cx0, m.v, static_cast<size_t>(cx1 - cx0));
      }
    }
  }
}

void Renderer::drawBand(uint32_t number, bool hflip, bool vflip, uint8_t* py, uint8_t* pu, uint8_t* pv) {
  const int w = w_, h = h_;
  const int cellW = w / kCellCols;
  const int cellH = (h / 4) / kCellRows;
  const int bandH = cellH * kCellRows;
  const uint64_t bits = (static_cast<uint64_t>(number) << 16) | sceneCheck(number);
  for (int row = 0; row < bandH; ++row) {
    const int r = row / cellH;
    uint8_t* line = py + static_cast<size_t>(vflip ? h - 1 - row : row) * w;
    for (int c = 0; c < kCellCols; ++c) {
      const bool one = (bits >> (47 - (r * kCellCols + c))) & 1u;
      const int x0 = hflip ? w - (c + 1) * cellW : c * cellW;
      std::memset(line + x0, one ? 235 : 16, static_cast<size_t>(cellW));
    }
    const int rest = w - kCellCols * cellW;
    std::memset(line + (hflip ? 0 : kCellCols * cellW), 16, static_cast<size_t>(rest));
  }
  const int cw = w / 2, cBand = bandH / 2;
  for (int row = 0; row < cBand; ++row) {
    const int cr = vflip ? h / 2 - 1 - row : row;
    std::memset(pu + static_cast<size_t>(cr) * cw, 128, static_cast<size_t>(cw));
    std::memset(pv + static_cast<size_t>(cr) * cw, 128, static_cast<size_t>(cw));
  }
}

void drawScene(uint8_t* y, uint8_t* u, uint8_t* v, int w, int h, uint32_t number, bool hflip, bool vflip) {
  FrameView f;
  CameraShared c{};
  const SensorConfig cfg;
  cameraDefaults(c, cfg);
  f.frame = number;
  f.scene = sceneAt(SceneScript(), 0);
  f.sensor = settingsAt(c.sensor, 0);
  f.dsp = c.dsp;
  f.lens = c.lens;
  f.signal = signal(f.scene, f.sensor, f.dsp, f.lens, cfg);
  f.bandShift = static_cast<double>(number % 640u) * kBandSpeed;
  Renderer r;
  r.configure(w, h);
  r.render(f, number, hflip, vflip, MaskView(), y, u, v);
}

}  // namespace iav
}  // namespace sim
}  // namespace kavo
