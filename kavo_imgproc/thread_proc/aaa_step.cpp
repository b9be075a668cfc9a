// The per-frame 3A step (see aaa_step.h): the white balance, exposure and focus controls each take
// their turn on the statistics just read, in that order.
#include "thread_proc/aaa_step.h"

#include "algo_ae/AEControl.h"
#include "algo_ae/aaa_statistics.h"
#include "algo_af/CAFControl.h"
#include "algo_awb/AWBControl.h"
#include "misc/misc.h"
#include "thread_proc/CIsp.h"
#include "thread_proc/CIsp_ImageAdj.h"

namespace kavo {
namespace isp {

int process3A(CIsp* isp) {
  const SystemParameters& sys = isp->system();
  const int32_t frames = g_isp.aaaFrames.load(std::memory_order_relaxed) + 1;
  g_isp.aaaFrames.store(frames, std::memory_order_relaxed);
  if (sys.model == FINCH_IR && frames % 30 == 0) updateLensShadingByLuma(isp);
  AEControl* ae = aeControl();
  if (frames > 60) {
    g_isp.aaaFrames.store(0, std::memory_order_relaxed);
    const int agc = ae ? ae->agcIndex.load(std::memory_order_relaxed) : 0;
    set3DNR_byAGC(isp, agc);
    set_Chroma_Scale_inAGC(isp, agc);
    set_smart_sharpCoring(isp, agc);
  }
  const int read = Get_3A_data_1080p(isp);
  if (AWBControl* awb = awbControl()) emulatedISR_AWB(awb, &g_isp.awbInterrupt);
  if (ae != nullptr) emulatedISR_AE(isp, ae, &isp->aeExchange);
  if (sys.systemType == ZOOMLENS)
    if (CAFControl* af = afControl()) emulatedISR_AF(af);
  return read;
}

int emulatedISR_AE(CIsp* isp, AEControl* ae, AeExchange* record) {
  if (isp->aeEnable.load(std::memory_order_relaxed) == 0) return 0;
  for (int i = 0; i < 4; ++i) ae->exchange[i] = record->words[i];
  debugPrintf(0, "[emulatedISR_AE]Y=%u\n", ae->luminance.load(std::memory_order_relaxed));
  processAE(ae);
  record->done = 1;
  for (int i = 0; i < 4; ++i) {
    record->words[i] = ae->exchange[i];
    isp->aeWords[i].store(ae->exchange[i], std::memory_order_relaxed);
  }
  for (int i = 0; i < 2; ++i)
    if (record->valid[i] == 1) {
      isp->aeValue[i].store(record->value[i], std::memory_order_relaxed);
      isp->aeValueValid[i].store(1, std::memory_order_relaxed);
    }
  isp->aeExtra.store(record->extra, std::memory_order_relaxed);
  return 0;
}

int updateLensShadingByLuma(CIsp* isp) {
  AEControl* ae = aeControl();
  const bool autoLed = g_isp.irLedAuto.load(std::memory_order_relaxed) == 1;
  const uint32_t y = ae ? ae->luminance.load(std::memory_order_relaxed) : 0;
  uint32_t luma = 0;
  if (autoLed && ae != nullptr && ae->dayState.load(std::memory_order_relaxed) == 0)
    luma = 0;  // night: the IR LEDs, not the scene, light the picture
  else if (autoLed || g_isp.irLedManualLevel.load(std::memory_order_relaxed) == 0)
    luma = y;
  return setLensShadeByLuma(isp, luma);
}

}  // namespace isp
}  // namespace kavo
