#include "stats.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "random.h"

namespace kavo {
namespace sim {
namespace iav {

namespace {

constexpr int kSamples = 8;  // per tile side
// The DSP's AF filter output per unit of high-pass energy in the 16-bit linear luma: a sharp chart
// at the exposure the ISP server's AE holds gives tiles of about 400, so the 40 tiles of the grid
// sum well within 16 bits even overexposed.
constexpr double kAfScale = 1.0 / 256;

uint16_t clamp16(double v) { return static_cast<uint16_t>(std::lround(std::min(65535.0, std::max(0.0, v)))); }
// A tile value: the mean times 4, at most full scale.
uint16_t tileValue(double mean) { return static_cast<uint16_t>(std::lround(std::min(4.0 * kFullScale, std::max(0.0, 4.0 * mean)))); }

// Tiles that reach past the picture's edge are cut there (the ISP server's own AE grid ends at
// 4104 of 4096); a grid that starts outside the picture has nothing to measure.
bool gridFits(uint32_t cols, uint32_t rows, uint32_t max, uint32_t c0, uint32_t r0, uint32_t w, uint32_t h,
              uint32_t aw, uint32_t ah) {
  if (cols * rows > max) return false;
  if (cols == 0 || rows == 0) return true;
  return w > 0 && h > 0 && aw > 0 && ah > 0 && aw <= w && ah <= h && c0 < IAV_AAA_GRID && r0 < IAV_AAA_GRID;
}

struct Rect {
  double x0, y0, x1, y1;  // picture fractions
};

Rect tileRect(uint32_t c, uint32_t r, uint32_t c0, uint32_t r0, uint32_t w, uint32_t h, uint32_t aw, uint32_t ah) {
  const double g = IAV_AAA_GRID;
  const double x = c0 + c * w + (w - aw) / 2.0, y = r0 + r * h + (h - ah) / 2.0;
  return Rect{std::min(1.0, x / g), std::min(1.0, y / g), std::min(1.0, (x + aw) / g), std::min(1.0, (y + ah) / g)};
}

// Box blur of radius k along rows then columns (edges repeat), src -> dst via tmp.
void boxBlur(const float* src, float* dst, float* tmp, int w, int h, int k) {
  if (k <= 0) {
    std::memcpy(dst, src, sizeof(float) * static_cast<size_t>(w) * h);
    return;
  }
  const float inv = 1.0f / (2 * k + 1);
  for (int y = 0; y < h; ++y) {
    const float* s = src + static_cast<size_t>(y) * w;
    float* t = tmp + static_cast<size_t>(y) * w;
    double acc = 0;
    for (int i = -k; i <= k; ++i) acc += s[std::min(w - 1, std::max(0, i))];
    for (int x = 0; x < w; ++x) {
      t[x] = static_cast<float>(acc * inv);
      acc += s[std::min(w - 1, x + k + 1)] - s[std::max(0, x - k)];
    }
  }
  for (int x = 0; x < w; ++x) {
    double acc = 0;
    for (int i = -k; i <= k; ++i) acc += tmp[static_cast<size_t>(std::min(h - 1, std::max(0, i))) * w + x];
    for (int y = 0; y < h; ++y) {
      dst[static_cast<size_t>(y) * w + x] = static_cast<float>(acc * inv);
      acc += tmp[static_cast<size_t>(std::min(h - 1, y + k + 1)) * w + x] - tmp[static_cast<size_t>(std::max(0, y - k)) * w + x];
    }
  }
}

}  // namespace

bool tilesValid(const iav_aaa_tile_info_t& t) {
  return gridFits(t.awb_tile_num_col, t.awb_tile_num_row, IAV_AAA_MAX_AWB_TILES, t.awb_tile_col_start,
                  t.awb_tile_row_start, t.awb_tile_width, t.awb_tile_height, t.awb_tile_active_width,
                  t.awb_tile_active_height) &&
         gridFits(t.ae_tile_num_col, t.ae_tile_num_row, IAV_AAA_MAX_AWB_TILES, t.ae_tile_col_start,
                  t.ae_tile_row_start, t.ae_tile_width, t.ae_tile_height, t.ae_tile_width, t.ae_tile_height) &&
         gridFits(t.af_tile_num_col, t.af_tile_num_row, IAV_AAA_MAX_AF_TILES, t.af_tile_col_start,
                  t.af_tile_row_start, t.af_tile_width, t.af_tile_height, t.af_tile_active_width,
                  t.af_tile_active_height);
}

void StatisticsEngine::buildChart() {
  chart_.resize(static_cast<size_t>(kAfWidth) * kAfHeight);
  blurred_.resize(chart_.size());
  scratch_.resize(chart_.size());
  uint64_t s = 0x51f15e1d5eedull;  // a fixed noise screen: the energies are the same in every run
  for (int y = 0; y < kAfHeight; ++y)
    for (int x = 0; x < kAfWidth; ++x) {
      const double u = (x + 0.5) / kAfWidth, v = (y + 0.5) / kAfHeight;
      Reflectance r = chartAt(u, v);
      float luma = 0.3f * r.r + 0.6f * r.g + 0.1f * r.b;
      if (inNoiseScreen(u, v)) luma = kNoiseMean + kNoiseSpread * static_cast<float>(2.0 * uniform(s) - 1.0);
      chart_[static_cast<size_t>(y) * kAfWidth + x] = luma;
    }
}

const float* StatisticsEngine::energies(const iav_aaa_tile_info_t& tiles, uint32_t mirror, int level) {
  if (chart_.empty()) buildChart();
  const size_t perLevel = IAV_AAA_MAX_AF_TILES * 2;
  if (energy_.empty() || std::memcmp(&energyTiles_, &tiles, sizeof tiles) != 0 || energyMirror_ != mirror) {
    energy_.assign(perLevel * kAfLevels, std::numeric_limits<float>::quiet_NaN());
    energyTiles_ = tiles;
    energyMirror_ = mirror;
  }
  float* e = &energy_[perLevel * static_cast<size_t>(level)];
  if (!std::isnan(e[0])) return e;
  boxBlur(chart_.data(), blurred_.data(), scratch_.data(), kAfWidth, kAfHeight, level);
  const float* b = blurred_.data();
  const int n = tiles.af_tile_num_col * tiles.af_tile_num_row;
  for (int t = 0; t < IAV_AAA_MAX_AF_TILES; ++t) {
    e[2 * t] = e[2 * t + 1] = 0;
    if (t >= n) continue;
    Rect r = tileRect(t % tiles.af_tile_num_col, t / tiles.af_tile_num_col, tiles.af_tile_col_start,
                      tiles.af_tile_row_start, tiles.af_tile_width, tiles.af_tile_height, tiles.af_tile_active_width,
                      tiles.af_tile_active_height);
    // The sensor's readout pattern puts another part of the chart under the tile.
    if (mirror & 2u) r = Rect{1.0 - r.x1, r.y0, 1.0 - r.x0, r.y1};
    if (mirror & 1u) r = Rect{r.x0, 1.0 - r.y1, r.x1, 1.0 - r.y0};
    const int x0 = std::max(4, static_cast<int>(r.x0 * kAfWidth)), x1 = std::min(kAfWidth - 4, static_cast<int>(r.x1 * kAfWidth));
    const int y0 = std::max(4, static_cast<int>(r.y0 * kAfHeight)), y1 = std::min(kAfHeight - 4, static_cast<int>(r.y1 * kAfHeight));
    double fine = 0, coarse = 0;
    long count = 0;
    for (int y = y0; y < y1; ++y) {
      const float* p = b + static_cast<size_t>(y) * kAfWidth;
      for (int x = x0; x < x1; ++x) {
        fine += std::fabs(4 * p[x] - p[x - 1] - p[x + 1] - p[x - kAfWidth] - p[x + kAfWidth]);
        coarse += std::fabs(p[x + 4] - p[x - 4]) + std::fabs(p[x + 4 * kAfWidth] - p[x - 4 * kAfWidth]);
        ++count;
      }
    }
    e[2 * t] = count ? static_cast<float>(fine / count) : 0.0f;
    e[2 * t + 1] = count ? static_cast<float>(coarse / count) : 0.0f;
  }
  return e;
}

void StatisticsEngine::compute(const FrameView& f, const iav_aaa_tile_info_t& tiles, const SensorConfig& cfg,
                               Statistics& out) {
  (void)cfg;
  std::memset(&out, 0, sizeof out);
  rng_ ^= f.frame * 0x9e3779b97f4a7c15ull + 1;
  const SensorSignal& sig = f.signal;
  const double zx = f.dsp.dzoom.zoom_factor_x ? f.dsp.dzoom.zoom_factor_x / 65536.0 : 1.0;
  const double zy = f.dsp.dzoom.zoom_factor_y ? f.dsp.dzoom.zoom_factor_y / 65536.0 : 1.0;
  const double z2 = std::max(1.0, zx * zy);  // the DSP sums the zoomed window's fewer pixels
  const double picture = static_cast<double>(f.vinWidth) * f.vinHeight;

  // One point of the picture: DSP value per channel, and the raw green signal for its noise.
  auto point = [&](double u, double v, double val[3], double* rawG, double* pre) {
    double cu, cv;
    chartPoint(f, u, v, &cu, &cv);
    const Reflectance r = chartAt(cu, cv, f.bandShift);
    const double refl[3] = {r.r, r.g, r.b};
    for (int c = 0; c < 3; ++c) val[c] = dspValue(sig, c, rawValue(sig, c, refl[c], r.ir));
    *rawG = rawValue(sig, 1, refl[1], r.ir);
    *pre = std::min(kFullScale, *rawG + sig.pedestal) - sig.black;
  };

  // AWB tiles.
  const uint32_t awbCols = tiles.awb_tile_num_col, awbTiles = awbCols * tiles.awb_tile_num_row;
  for (uint32_t t = 0; t < awbTiles; ++t) {
    const Rect r = tileRect(t % awbCols, t / awbCols, tiles.awb_tile_col_start, tiles.awb_tile_row_start,
                            tiles.awb_tile_width, tiles.awb_tile_height, tiles.awb_tile_active_width,
                            tiles.awb_tile_active_height);
    double sum[3] = {0, 0, 0}, rawG = 0;
    int n = 0;
    for (int j = 0; j < kSamples; ++j)
      for (int i = 0; i < kSamples; ++i) {
        double val[3], g, pre;
        point(r.x0 + (i + 0.5) / kSamples * (r.x1 - r.x0), r.y0 + (j + 0.5) / kSamples * (r.y1 - r.y0), val, &g, &pre);
        if (pre < tiles.awb_pix_min_value || pre > tiles.awb_pix_max_value) continue;
        for (int c = 0; c < 3; ++c) sum[c] += val[c];
        rawG += g;
        ++n;
      }
    if (n == 0) continue;
    const double pixels = std::max(1.0, (r.x1 - r.x0) * (r.y1 - r.y0) * picture);
    const bool saturated = rawG / n + sig.pedestal >= kFullScale;  // clipped pixels carry no noise
    const double sigma = saturated ? 0.0 : noiseDn(sig, rawG / n) / std::sqrt(pixels);
    uint16_t* dst[3] = {&out.awb[t].r, &out.awb[t].g, &out.awb[t].b};
    for (int c = 0; c < 3; ++c) {
      const double mean = sum[c] / n;
      *dst[c] = tileValue((mean + sigma * sig.wb[c] * normal(rng_)) / z2);
    }
  }
  out.frame.awb_tiles = static_cast<uint16_t>(awbTiles);

  // AE tiles; their points also give the histograms and the quarters' luma.
  const uint32_t aeCols = tiles.ae_tile_num_col, aeTiles = aeCols * tiles.ae_tile_num_row;
  const double weight = aeTiles ? picture / (aeTiles * kSamples * kSamples) : 0;
  double hist[3][IAV_AAA_HISTOGRAM_BINS] = {};
  double quarter[4] = {0, 0, 0, 0};
  int quarterN[4] = {0, 0, 0, 0};
  for (uint32_t t = 0; t < aeTiles; ++t) {
    const Rect r = tileRect(t % aeCols, t / aeCols, tiles.ae_tile_col_start, tiles.ae_tile_row_start,
                            tiles.ae_tile_width, tiles.ae_tile_height, tiles.ae_tile_width, tiles.ae_tile_height);
    double sumY = 0, rawG = 0;
    int n = 0;
    for (int j = 0; j < kSamples; ++j)
      for (int i = 0; i < kSamples; ++i) {
        const double u = r.x0 + (i + 0.5) / kSamples * (r.x1 - r.x0), v = r.y0 + (j + 0.5) / kSamples * (r.y1 - r.y0);
        double val[3], g, pre;
        point(u, v, val, &g, &pre);
        const double y = (306 * val[0] + 601 * val[1] + 117 * val[2]) / 1024.0;
        for (int c = 0; c < 3; ++c) hist[c][std::min(63, static_cast<int>(val[c] * 4.0) >> 10)] += weight;
        const int q = (u < 0.5 ? 0 : 1) + (v < 0.5 ? 0 : 2);
        quarter[q] += y;
        ++quarterN[q];
        if (pre < tiles.ae_pix_min_value || pre > tiles.ae_pix_max_value) continue;
        sumY += y;
        rawG += g;
        ++n;
      }
    if (n == 0) continue;
    const double pixels = std::max(1.0, (r.x1 - r.x0) * (r.y1 - r.y0) * picture);
    const bool saturated = rawG / n + sig.pedestal >= kFullScale;
    const double sigma = saturated ? 0.0 : noiseDn(sig, rawG / n) * sig.wb[1] / std::sqrt(pixels);
    out.ae[t].lin_y = tileValue((sumY / n + sigma * normal(rng_)) / z2);
  }
  out.frame.ae_tiles = static_cast<uint16_t>(aeTiles);
  uint32_t* bins[3] = {out.histogram.r, out.histogram.g, out.histogram.b};
  for (int c = 0; c < 3; ++c)
    for (int i = 0; i < IAV_AAA_HISTOGRAM_BINS; ++i) bins[c][i] = static_cast<uint32_t>(std::lround(hist[c][i]));
  for (int q = 0; q < 4; ++q)
    out.luma.quarter[q] = quarterN[q] ? static_cast<uint32_t>(std::lround(4.0 * quarter[q] / quarterN[q] / z2)) : 0;

  // AF tiles: the chart's energies at the frame's blur (a lens that moves smears the frame), in
  // the picture's linear luma, over a floor of the sensor's noise. The DSP's AF filter output is
  // scaled down (kAfScale) so that the sum of the whole grid of a sharp, well exposed scene stays
  // within 16 bits, as the ISP server adds the tiles up. The scene's shimmer moves all tiles together
  // from frame to frame; each tile carries a little noise of its own.
  const uint32_t afCols = tiles.af_tile_num_col, afTiles = afCols * tiles.af_tile_num_row;
  if (afTiles > 0) {
    double level = f.blur / 2.0 + (f.lens.moving ? 1.0 : 0.0);
    level = std::min<double>(kAfLevels - 1, level);
    const int k = static_cast<int>(level);
    const double frac = level - k;
    const float* e0 = energies(tiles, f.mirror, k);
    const float* e1 = energies(tiles, f.mirror, std::min(kAfLevels - 1, k + 1));
    // Linear luma (16-bit scale) per unit reflectance, and the noise of a mid-grey.
    const double slope = 4.0 * (306 * sig.visible[0] * sig.wb[0] + 601 * sig.visible[1] * sig.wb[1] +
                                117 * sig.visible[2] * sig.wb[2]) / 1024.0;
    const double noise = 4.0 * noiseDn(sig, 0.3 * sig.visible[1]) * sig.wb[1];
    const double detail = std::clamp(f.scene.texture, 0.0, 2.0) * slope;
    const double frame = std::max(0.0, 1.0 + f.scene.shimmer * normal(rng_));
    for (uint32_t t = 0; t < afTiles; ++t) {
      const double fine = e0[2 * t] * (1 - frac) + e1[2 * t] * frac;
      const double coarse = e0[2 * t + 1] * (1 - frac) + e1[2 * t + 1] * frac;
      const double jitter = std::max(0.0, frame + 0.01 * normal(rng_)) * kAfScale / z2;
      out.af[t].fv1 = clamp16((2.0 * fine * detail + 3.6 * noise) * jitter);
      out.af[t].fv2 = clamp16((2.0 * coarse * detail + 1.1 * noise) * jitter);
    }
  }
  out.frame.af_tiles = static_cast<uint16_t>(afTiles);
  out.frame.frame_number = static_cast<uint32_t>(f.frame);
  out.frame.pts = f.ptsNs;
  out.frame.shutter = f.sensor.shutter;
  out.frame.agc_db = f.sensor.agcDb;
}

}  // namespace iav
}  // namespace sim
}  // namespace kavo
