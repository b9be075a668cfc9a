// The white balance: see AWBControl.h.
#include "algo_awb/AWBControl.h"

#include <algorithm>

#include "be_iav/iav_driver.h"
#include "kavo/utils/clock.h"
#include "misc/isp_log.h"
#include "misc/misc.h"
#include "thread_proc/CIsp.h"
#include "thread_proc/CIsp_ImageAdj.h"

namespace kavo {
namespace isp {

namespace {

constexpr int kAwbPassWaits = 200;  // 1 ms apart
thread_local bool t_inAwbPass = false;  // the 3A thread's pass itself switches nothing off to wait for

constexpr const char* kSource = "AWBControl";
constexpr auto R = std::memory_order_relaxed;

// clang-format off
// {R, G, B, kelvin}, kelvin ascending.
const ColourTemperatureRow kTableBrisk[kColourTemperatureRows] = {
    {865, 1024, 2064, 2288},  {1045, 1024, 1944, 2800}, {1185, 1024, 1664, 3312}, {1265, 1024, 1404, 3824},
    {1345, 1024, 1284, 4336}, {1405, 1024, 1204, 4848}, {1415, 1024, 1084, 5360}, {1425, 1024, 1044, 5872},
    {1505, 1024, 984, 6384},  {1545, 1024, 944, 6896},  {1565, 1024, 924, 7408},  {1605, 1024, 884, 7920}};
const ColourTemperatureRow kTableHalden[kColourTemperatureRows] = {
    {1124, 1024, 2024, 2288}, {1384, 1024, 1944, 2800}, {1504, 1024, 1764, 3312}, {1624, 1024, 1524, 3824},
    {1784, 1024, 1404, 4336}, {1844, 1024, 1344, 4848}, {1864, 1024, 1224, 5360}, {1924, 1024, 1164, 5872},
    {2044, 1024, 1124, 6384}, {2104, 1024, 1084, 6896}, {2144, 1024, 1064, 7408}, {2204, 1024, 1024, 7920}};
const ColourTemperatureRow kTableAlderFinch[kColourTemperatureRows] = {
    {1144, 1024, 2124, 2226}, {1404, 1024, 2024, 2844}, {1504, 1024, 1824, 3312}, {1624, 1024, 1584, 3824},
    {1744, 1024, 1464, 4336}, {1824, 1024, 1404, 4848}, {1844, 1024, 1284, 5360}, {1884, 1024, 1244, 5872},
    {2024, 1024, 1184, 6384}, {2064, 1024, 1124, 6896}, {2104, 1024, 1104, 7408}, {2144, 1024, 1084, 7920}};
// clang-format on

int model() {
  const CIsp* isp = controller();
  return isp ? isp->system().model : g_isp.sys.model;
}

}  // namespace

const ColourTemperatureRow* colourTemperatureTable(int m) {
  if (m == HALDEN_IR) return kTableHalden;
  if (m == ALDER_IR || m == FINCH_IR) return kTableAlderFinch;
  return kTableBrisk;
}

bool colourTemperatureGains(const ColourTemperatureRow* t, uint32_t k, uint32_t* r, uint32_t* b) {
  const ColourTemperatureRow& last = t[kColourTemperatureRows - 1];
  if (k > last.kelvin) {
    *r = last.r;
    *b = last.b;
    return true;
  }
  if (k <= t[0].kelvin) {
    *r = t[0].r;
    *b = t[0].b;
    return true;
  }
  int i = 0;
  while (i < kColourTemperatureRows - 2 && !(t[i].kelvin < k && k <= t[i + 1].kelvin)) ++i;
  const uint32_t k0 = t[i].kelvin, k1 = t[i + 1].kelvin;
  if (k1 <= k0 || k < k0 || k - k0 > k1 - k0) {
    ISP_LOG(kSource, LOG_LEVEL_INFO, 0, "[SetColorTmpByUser]err_code=%d_%d.\n", k - k0, k1 - k0);
    return false;
  }
  // Divided by the rows' own distance: rows of models 0 and 5 lie 618 and 468 apart, and a fixed
  // 512 made the gains jump at those rows.
  const uint32_t span = k1 - k0;
  *r = (t[i + 1].r * (k - k0) + t[i].r * (k1 - k)) / span;
  *b = (t[i + 1].b * (k - k0) + t[i].b * (k1 - k)) / span;
  return true;
}

bool awbStep(uint32_t g, uint32_t x, uint32_t sumG, uint32_t minimum, uint32_t maximum, uint32_t* out) {
  if (x == 0) return false;
  uint32_t v = g;
  if (x != sumG) {
    const uint32_t diff = x > sumG ? x - sumG : sumG - x;
    const uint32_t d = diff >= 84 ? diff : 0;
    const uint32_t s = static_cast<uint32_t>(std::min<uint64_t>(static_cast<uint64_t>(g) * d / x, 20));
    v = x < sumG ? g + s : (g > s ? g - s : 0);
  }
  *out = std::clamp(v, minimum, std::max(minimum, maximum));
  return true;
}

AWBControl::AWBControl() = default;

int AWBControl::setAWBMode(int m) {
  mode.store(m == AWB_ATW || m == AWB_HOLD ? m : AWB_AUTO, R);
  return 0;
}

void AWBControl::setWBRange(int m) {
  uint32_t lo = 600, hi = 3600;
  if (m == AWB_AUTO) {
    const int mdl = model();
    lo = mdl == TORVEX_BRISK ? 500 : (mdl >= ALDER_IR && mdl <= FINCH_IR) ? 800 : 600;
  } else if (m != AWB_ATW) {
    return;
  }
  rMin.store(lo, R);
  bMin.store(lo, R);
  rMax.store(hi, R);
  bMax.store(hi, R);
  const char* tag = m == AWB_ATW ? "[setWBRange:ATW] %d < R-gain < %d. " : "[setWBRange:AWB] %d < R-gain < %d. ";
  debugPrintf(0, tag, lo, hi);
  debugPrintf(0, "%d < B-gain < %d. \n", lo, hi);
}

int AWBControl::SetColorTmpByUser(uint32_t kelvin) {
  uint32_t r = 0, b = 0;
  if (!colourTemperatureGains(colourTemperatureTable(model()), kelvin, &r, &b)) return 0;
  set_rgb_gain(controller(), r, 1024, b);
  debugPrintf(0, "[SetColorTmpByUser]targetRgain=%d , targetBgain=%d\r\n", r, b);
  return 1;
}

bool AWBControl::awb_calc_gains() {
  result[0] = inputGain[0];
  result[1] = inputGain[2];
  result[2] = inputGain[1];
  const bool red = awbStep(inputGain[0], sum[0], sum[1], rMin.load(R), rMax.load(R), &result[0]);
  const bool blue = awbStep(inputGain[2], sum[2], sum[1], bMin.load(R), bMax.load(R), &result[1]);
  return red && blue;
}

namespace {
AwbInterrupt* g_record = nullptr;  // the record of the pass under way (3A thread)

uint32_t within32(uint32_t v, uint32_t from) {
  if (v > from + 32) return from + 32;
  if (from > 32 && v < from - 32) return from - 32;
  return v;
}
}  // namespace

void AWBControl::awb_process() {
  debugPrintf(0, "[awb_mode=%d]resultAvg--R=%d G=%d B=%d\n", mode.load(R), average[0], average[1], average[2]);
  debugPrintf(0, "m_iAWB_State = %d\r\n", state);
  switch (state) {
    case 0:
      sum[0] = sum[1] = sum[2] = 0;
      collectCount = 0;
      state = 1;
      break;
    case 1:
      if (validTiles < 5) {
        state = 0;
        break;
      }
      for (int c = 0; c < 3; ++c) sum[c] += average[c] / 4;
      if (++collectCount >= 3) state = 2;
      break;
    case 2:
      if (awb_calc_gains() && result[2] == currentGain[1]) {
        const uint32_t r = within32(result[0], inputGain[0]);
        const uint32_t b = within32(result[1], inputGain[2]);
        debugPrintf(0, "new_rgb=%d, %d, %d\n", r, result[2], b);
        currentGain[0] = r;
        currentGain[2] = b;
        if (g_record) g_record->pending.store(1, std::memory_order_release);
      }
      state = 0;
      break;
    default:
      state = 0;
      break;
  }
}

void AWBControl::awb_run() {
  const int m = mode.load(R);
  if (m == previousMode) {
    if (previousMode != AWB_HOLD) awb_process();
    return;
  }
  if (m == AWB_AUTO || m == AWB_ATW) setWBRange(m);
  previousMode = m;
}

int awb_control_init(CIsp* isp) {
  AWBControl* awb = awbControl();
  uint32_t g[3] = {1024, 1024, 1024};
  const int m = isp ? isp->system().model : g_isp.sys.model;
  if (m == TORVEX_BRISK || m == TORVEX_TARROW || m == TORVEX_WREN) {
    g[0] = 1397;
    g[2] = 1004;
  } else if (m == HALDEN_IR) {
    g[0] = 1724;
    g[2] = 1204;
  } else if (m == ALDER_IR || m == FINCH_IR) {
    g[0] = 1824;
    g[2] = 1204;
  }
  if (awb) {
    for (int c = 0; c < 3; ++c) awb->inputGain[c] = awb->currentGain[c] = g[c];
  }
  debugPrintf(0, "[awb_control_init]r_gain=%d  ", g[0]);
  debugPrintf(0, "\tg_gain=%d  ", g[1]);
  debugPrintf(0, "\tb_gain=%d\n", g[2]);
  enable_awb(isp, 1);
  return 0;
}

int enable_awb(CIsp* isp, int on) {
  if (isp == nullptr) return 0;
  // Sequentially consistent with the pass's own flag and test below: either the pass sees the white
  // balance off, or this sees the pass under way and lets it end, so that gains the caller writes
  // next are the last ones. A pass takes microseconds; the bound only keeps a stuck one from
  // holding the caller.
  isp->awbEnable.store(static_cast<uint8_t>(on));
  if (on != 0 || t_inAwbPass) return 0;
  for (int i = 0; i < kAwbPassWaits && isp->awbPassBusy.load() != 0; ++i) kavo::utils::sleepMs(1);
  return 0;
}

int emulatedISR_AWB(AWBControl* awb, AwbInterrupt* record) {
  CIsp* isp = controller();
  if (awb == nullptr || record == nullptr || isp == nullptr) return 0;
  isp->awbPassBusy.store(1);
  struct PassEnd {
    CIsp* isp;
    ~PassEnd() {
      t_inAwbPass = false;
      isp->awbPassBusy.store(0, std::memory_order_release);
    }
  } end{isp};
  t_inAwbPass = true;
  if (isp->awbEnable.load() == 0) return 0;
  record->pending.store(0, R);
  awb->inputGain[0] = record->r.load(R);
  awb->inputGain[1] = record->g.load(R);
  awb->inputGain[2] = record->b.load(R);
  awb->isrMode = 0;
  g_record = record;
  awb->awb_run();
  g_record = nullptr;
  record->r.store(awb->currentGain[0], R);
  record->g.store(awb->currentGain[1], R);
  record->b.store(awb->currentGain[2], R);
  if (record->pending.load(std::memory_order_acquire)) {
    record->pending.store(0, R);
    const uint32_t gains[3] = {record->r.load(R), record->g.load(R), record->b.load(R)};
    for (int c = 0; c < 3; ++c) isp->wbGain[c].store(gains[c], R);
    IAVDriver* d = iavDriver();
    if (d == nullptr || d->set_wb_gain(gains) < 0)
      ISP_LOG(kSource, LOG_LEVEL_INFO, 0, "[emulatedISR_AWB]err_code=-1.\n");
  }
  return 0;
}

}  // namespace isp
}  // namespace kavo
