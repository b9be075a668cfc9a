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

uint8_t clampByte(int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

uint8_t code(float r) { return static_cast<uint8_t>(std::lround(std::min(1.0f, std::max(0.0f, r)) * 255.0f)); }

uint32_t pack(const Reflectance& r) {
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
  row_.assign(w, 0);
  rgb_.assign(static_cast<size_t>(w) * 6, 0);
  blurRadius_ = 0;
  buildChart();
}

void Renderer::buildChart() {
  noiseX0_ = static_cast<int>(std::ceil(kCirclesRight * w_ - 0.5));
  for (int y = 0; y < h_; ++y) {
    const double v = (y + 0.5) / h_;
    rowKind_[y] = v >= kBandTop && v < kBandBottom ? 1 : v >= kLowTop ? 2 : 0;
    for (int x = 0; x < w_; ++x) chart_[static_cast<size_t>(y) * w_ + x] = pack(chartAt((x + 0.5) / w_, v));
  }
}

void Renderer::blurChart(int radius) {
  // Separable box blur of all four codes at once (the lens's defocus), edges repeated.
  const int w = w_, h = h_, k = radius;
  const uint32_t div = static_cast<uint32_t>(2 * k + 1);
  for (int y = 0; y < h; ++y) {
    const uint32_t* s = &chart_[static_cast<size_t>(y) * w];
    uint32_t* t = &scratch_[static_cast<size_t>(y) * w];
    uint32_t acc[4] = {0, 0, 0, 0};
    for (int i = -k; i <= k; ++i) {
      const uint32_t p = s[std::min(w - 1, std::max(0, i))];
      for (int c = 0; c < 4; ++c) acc[c] += (p >> (8 * c)) & 255u;
    }
    for (int x = 0; x < w; ++x) {
      t[x] = acc[0] / div | (acc[1] / div) << 8 | (acc[2] / div) << 16 | (acc[3] / div) << 24;
      const uint32_t in = s[std::min(w - 1, x + k + 1)], outp = s[std::max(0, x - k)];
      for (int c = 0; c < 4; ++c) acc[c] += ((in >> (8 * c)) & 255u) - ((outp >> (8 * c)) & 255u);
    }
  }
  for (int x = 0; x < w; ++x) {
    uint32_t acc[4] = {0, 0, 0, 0};
    for (int i = -k; i <= k; ++i) {
      const uint32_t p = scratch_[static_cast<size_t>(std::min(h - 1, std::max(0, i))) * w + x];
      for (int c = 0; c < 4; ++c) acc[c] += (p >> (8 * c)) & 255u;
    }
    for (int y = 0; y < h; ++y) {
      blurred_[static_cast<size_t>(y) * w + x] = acc[0] / div | (acc[1] / div) << 8 | (acc[2] / div) << 16 | (acc[3] / div) << 24;
      const uint32_t in = scratch_[static_cast<size_t>(std::min(h - 1, y + k + 1)) * w + x];
      const uint32_t outp = scratch_[static_cast<size_t>(std::max(0, y - k)) * w + x];
      for (int c = 0; c < 4; ++c) acc[c] += ((in >> (8 * c)) & 255u) - ((outp >> (8 * c)) & 255u);
    }
  }
  blurRadius_ = radius;
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
  const int radius = static_cast<int>(std::lround(f.blur * w / 1920.0));
  if (radius > 0 && radius != blurRadius_) blurChart(std::min(radius, std::max(1, std::min(w, h) / 4)));
  const uint32_t* chart = radius > 0 ? blurred_.data() : chart_.data();
  buildTables(f);

  const int8_t* gauss = kGauss;
  const int shift = static_cast<int>(std::lround(f.bandShift * w)) % w;
  // The noise screen: uniform grey codes, their spread shrunk by the blur as a box filter shrinks it.
  const int mean = static_cast<int>(kNoiseMean * 255), spread = static_cast<int>(kNoiseSpread * 255 / (1 + 2 * radius));
  const int cw = w / 2;
  const int32_t m0 = m_[0], m1 = m_[1], m2 = m_[2];
  for (int y = 0; y < h; ++y) {
    const int cy = ymap_[y];
    const uint32_t* src = chart + static_cast<size_t>(cy) * w;
    const uint8_t kind = rowKind_[cy];
    // Gather the row's codes.
    if (kind == 1) {
      for (int x = 0; x < w; ++x) {
        int c = xmap_[x] + shift;
        if (c >= w) c -= w;
        row_[x] = src[c];
      }
    } else if (kind == 2) {
      for (int x = 0; x < w; ++x) {
        if (xmap_[x] >= noiseX0_) {
          xorshift(rng_);
          const uint32_t g = static_cast<uint32_t>(clampByte(mean + static_cast<int>((rng_ >> 40) % (2 * spread + 1)) - spread));
          row_[x] = g | g << 8 | g << 16 | g << 24;
        } else {
          row_[x] = src[xmap_[x]];
        }
      }
    } else {
      for (int x = 0; x < w; ++x) row_[x] = src[xmap_[x]];
    }
    // Sensor and colour pipeline, luma with its noise.
    uint8_t* yl = py + static_cast<size_t>(y) * w;
    uint8_t* rgb = &rgb_[static_cast<size_t>(y & 1) * w * 3];
    uint32_t k = static_cast<uint32_t>(xorshift(rng_) >> 32);
    for (int x = 0; x < w; ++x) {
      const uint32_t c = row_[x];
      const uint32_t cr = c & 255u, cg = (c >> 8) & 255u, cb = (c >> 16) & 255u;
      int r, g, b;
      if (!irPath_) {
        r = lut_[0][cr];
        g = lut_[1][cg];
        b = lut_[2][cb];
      } else {
        const uint32_t ci = c >> 24;
        r = out_[0][std::min(16384, vis_[0][cr] + ir_[0][ci]) >> 2];
        g = out_[1][std::min(16384, vis_[1][cg] + ir_[1][ci]) >> 2];
        b = out_[2][std::min(16384, vis_[2][cb] + ir_[2][ci]) >> 2];
      }
      rgb[3 * x] = static_cast<uint8_t>(r);
      rgb[3 * x + 1] = static_cast<uint8_t>(g);
      rgb[3 * x + 2] = static_cast<uint8_t>(b);
      const int noise = (gauss[k++ & (kGaussSize - 1)] * sigma_[cg]) >> 8;
      yl[x] = clampByte(((m0 * r + m1 * g + m2 * b + 512) >> 10) + off_[0] + noise);
    }
    if (y & 1) {
      const uint8_t* a = &rgb_[0];
      const uint8_t* bb = &rgb_[static_cast<size_t>(w) * 3];
      uint8_t* ul = pu + static_cast<size_t>(y / 2) * cw;
      uint8_t* vl = pv + static_cast<size_t>(y / 2) * cw;
      for (int x = 0; x < cw; ++x) {
        const int i = 6 * x;
        const int r = (a[i] + a[i + 3] + bb[i] + bb[i + 3] + 2) >> 2;
        const int g = (a[i + 1] + a[i + 4] + bb[i + 1] + bb[i + 4] + 2) >> 2;
        const int b = (a[i + 2] + a[i + 5] + bb[i + 2] + bb[i + 5] + 2) >> 2;
        ul[x] = clampByte(((m_[3] * r + m_[4] * g + m_[5] * b + 512) >> 10) + off_[1]);
        vl[x] = clampByte(((m_[6] * r + m_[7] * g + m_[8] * b + 512) >> 10) + off_[2]);
      }
    }
  }
  drawMasks(masks, py, pu, pv);
  const bool bandH = hflip != ((f.mirror & 2u) != 0), bandV = vflip != ((f.mirror & 1u) != 0);
  drawBand(number, bandH, bandV, py, pu, pv);
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
