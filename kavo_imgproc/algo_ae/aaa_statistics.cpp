// The statistics read of the 3A step and its reduction: see aaa_statistics.h.
#include "algo_ae/aaa_statistics.h"

#include <algorithm>

#include "algo_ae/AEControl.h"
#include "algo_af/CAFControl.h"
#include "algo_atf/ATFControl.h"
#include "algo_awb/AWBControl.h"
#include "be_iav/iav_driver.h"
#include "misc/isp_log.h"
#include "misc/misc.h"
#include "thread_proc/CIsp.h"

namespace kavo {
namespace isp {

namespace {

constexpr auto R = std::memory_order_relaxed;
constexpr int kCols = 12, kRows = 8, kTiles = kCols * kRows;

// Metering weights, 12 x 8. Default: centre-weighted; 1: the centre alone heavier still (backlight);
// 2: the lower half; 3: the upper half.
// clang-format off
const uint8_t kWeightDefault[kTiles] = {
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 1,
    1, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 1,
    1, 2, 2, 2, 3, 3, 3, 3, 2, 2, 2, 1,
    1, 2, 2, 2, 3, 3, 3, 3, 2, 2, 2, 1,
    1, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 1,
    1, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
};
const uint8_t kWeightCentre[kTiles] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0,
    0, 1, 2, 2, 3, 3, 3, 3, 2, 2, 1, 0,
    0, 1, 2, 4, 5, 6, 6, 5, 4, 2, 1, 0,
    0, 1, 2, 4, 5, 6, 6, 5, 4, 2, 1, 0,
    0, 1, 2, 2, 3, 3, 3, 3, 2, 2, 1, 0,
    0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
};
const uint8_t kWeightLower[kTiles] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3,
    3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3,
    3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3,
};
const uint8_t kWeightUpper[kTiles] = {
    3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3,
    3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3,
    3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
};
// clang-format on

// Five focus windows of AF tiles (8 x 5).
const int kWindowTiles[5][6] = {
    {0, 1, 8, 9, -1, -1}, {6, 7, 14, 15, -1, -1}, {11, 12, 19, 20, 27, 28}, {24, 25, 32, 33, -1, -1},
    {30, 31, 38, 39, -1, -1}};

}  // namespace

const uint8_t* meteringWeights(uint32_t backlight) {
  switch (backlight) {
    case 1: return kWeightCentre;
    case 2: return kWeightLower;
    case 3: return kWeightUpper;
    default: return kWeightDefault;
  }
}

bool exportFocusRecord(uint8_t* record, const uint16_t figures[6]) {
  if (__atomic_load_n(&record[0], __ATOMIC_ACQUIRE) == 2) return false;
  __atomic_store_n(&record[0], 1, __ATOMIC_RELAXED);
  // Each nibble released, so a reader that sees one sees the record marked as being written.
  for (int f = 0; f < 6; ++f)
    for (int k = 0; k < 4; ++k)
      __atomic_store_n(&record[1 + 4 * f + k], static_cast<uint8_t>((figures[f] >> (12 - 4 * k)) & 0xF),
                       __ATOMIC_RELEASE);
  __atomic_store_n(&record[0], 0, __ATOMIC_RELEASE);
  return true;
}

uint32_t aeLuminance(uint64_t r, uint64_t g, uint64_t b) {
  const uint64_t y = (306 * r + 301 * g + 58 * ((b * 731) >> 9)) >> 9;
  return static_cast<uint32_t>(std::min<uint64_t>(y, 65535));
}

int Get_3A_data_1080p(CIsp* isp) {
  IAVDriver* driver = iavDriver();
  const bool read = driver != nullptr && driver->get_aaa_data(&isp->statsRequest) >= 0;
  if (!read)
    ISP_LOG("algo_ae/ae_statistics", LOG_LEVEL_WARNING, 0, "[Get_3A_data_1080p]get statistics data is failed.");
  const iav_aaa_stats_buffers_t& s = isp->stats;
  const uint32_t z = std::clamp<uint32_t>(g_isp.dptzZoom.load(R), 1, 8);
  const uint32_t z2 = z * z;

  // Focus.
  uint16_t tile[IAV_AAA_MAX_AF_TILES] = {};
  uint16_t total1 = 0, total2 = 0;
  for (int i = 0; i < 40; ++i) {
    tile[i] = static_cast<uint16_t>(z2 * s.af[i].fv1);
    total1 = static_cast<uint16_t>(total1 + s.af[i].fv1);
    total2 = static_cast<uint16_t>(total2 + z2 * s.af[i].fv2);
  }
  if (CAFControl* af = afControl()) {
    af->afHFSum0 = total1;
    af->afHFSum1 = total2;
    af->calibrationHF0.store(5u * total1, R);
    af->calibrationHF1.store(5u * total2, R);
  }
  if (ATFControl* atf = atfControl()) {
    uint32_t luma = 0;
    for (uint32_t q : s.luma.quarter) luma += q >> 8;
    atf->afLuminance.store(luma, R);
  }
  uint16_t figures[6] = {total1, 0, 0, 0, 0, 0};
  for (int w = 0; w < 5; ++w)
    for (int t : kWindowTiles[w])
      if (t >= 0) figures[1 + w] = static_cast<uint16_t>(figures[1 + w] + tile[t]);
  debugPrintf(0, "AFD[5]:%d-%d-%d-%d-%d \n", figures[1], figures[2], figures[3], figures[4], figures[5]);
  debugPrintf(0, "AFD:%d-", figures[0]);
  if (g_isp.focusExport.load(R) && g_isp.focusShm.addr != nullptr) exportFocusRecord(g_isp.focusShm.addr, figures);

  // White balance and the weighted sums of the exposure.
  AWBControl* awb = awbControl();
  AEControl* ae = aeControl();
  const uint8_t* weight = meteringWeights(g_isp.image.backlight.load(R));
  uint64_t sum[3] = {0, 0, 0};
  uint64_t lumaSum = 0;
  const uint64_t previous = awb ? awb->meanTileLuma : 0;
  uint32_t notBright = 0;
  debugPrintf(0, "awb column =%d row=%d\n", kCols, kRows);
  for (int i = 0; i < kTiles; ++i) {
    const uint32_t v[3] = {static_cast<uint16_t>(z2 * s.awb[i].r), static_cast<uint16_t>(z2 * s.awb[i].g),
                           static_cast<uint16_t>(z2 * s.awb[i].b)};
    for (int c = 0; c < 3; ++c) sum[c] += (weight[i] * (v[c] / kTiles)) >> 1;
    const uint32_t yt = (153 * v[0] + 301 * v[1] + 58 * v[2]) >> 9;
    if (yt < 4 * previous) ++notBright;
    lumaSum += yt;
  }
  if (awb) {
    awb->validTiles = 0;
    awb->notBrightTiles = notBright;
    awb->meanTileLuma = lumaSum / kTiles;
    debugPrintf(0, "m_PreFrameLumY=%d\n", static_cast<int>(awb->meanTileLuma));
  }
  for (auto& row : isp->colourMatrix)
    for (auto& c : row) c = 0;
  for (int i = 0; i < 3; ++i) isp->colourMatrix[i][i] = 1024;

  // Histogram means.
  const uint32_t* bins[3] = {s.histogram.r, s.histogram.g, s.histogram.b};
  uint32_t mean[3];
  for (int c = 0; c < 3; ++c) {
    uint64_t m = 0;
    for (uint32_t i = 0; i < IAV_AAA_HISTOGRAM_BINS; ++i) m += (static_cast<uint64_t>(bins[c][i]) * i) >> 10;
    mean[c] = static_cast<uint32_t>(m);
  }
  debugPrintf(0, "RGB-r=%d-", mean[0]);
  debugPrintf(0, "g=%d-", mean[1]);
  debugPrintf(0, "b=%d\n", mean[2]);
  if (awb) {
    for (int c = 0; c < 3; ++c) awb->average[c] = (mean[c] >> 3) != 0 ? mean[c] >> 3 : 10;
    awb->validTiles = 96;
  }
  if (ae) ae->luminance.store(aeLuminance(sum[0], sum[1], sum[2]), R);
  return read ? 0 : -1;
}

void colorMatrixApply(const CIsp* isp, const uint64_t sums[3], uint32_t count, uint32_t out[3]) {
  // A mean is held at 32 bits (the result's range) and the products are summed in 128 bits, so no
  // caller's sums overflow.
  __int128 mean[3] = {0, 0, 0};
  if (count != 0)
    for (int c = 0; c < 3; ++c) mean[c] = std::min<uint64_t>(sums[c] / count, UINT32_MAX);
  for (int r = 0; r < 3; ++r) {
    __int128 v = 0;
    for (int c = 0; c < 3; ++c) v += isp->colourMatrix[r][c] * mean[c];
    v >>= 10;
    out[r] = static_cast<uint32_t>(v < 0 ? 0 : v > UINT32_MAX ? UINT32_MAX : v);
  }
}

}  // namespace isp
}  // namespace kavo
