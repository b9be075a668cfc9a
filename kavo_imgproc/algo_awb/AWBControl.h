#pragma once
// AWBControl: the red and blue gains of the white balance (green fixed at 1024 = 1.0). In the
// automatic modes it moves them a small step at a time towards grey from the averages the
// statistics reduction writes; in the colour-temperature mode it sets them from the model's table.
//
// Threads: the 3A thread runs the state machine; the IPC and VISCA threads set the mode, the ranges
// and the colour-temperature gains without a lock (atomics).
#include <atomic>
#include <cstdint>

#include "thread_proc/isp_globals.h"

namespace kavo {
namespace isp {

// AWB modes.
enum AwbMode : int32_t { AWB_AUTO = 0, AWB_ATW = 1, AWB_HOLD = 2 };

// One row of a colour-temperature table.
struct ColourTemperatureRow {
  uint32_t r, g, b, kelvin;
};
constexpr int kColourTemperatureRows = 12;
// The table of a model group (2, 3, 4 and unknown models; 1; 0 and 5).
const ColourTemperatureRow* colourTemperatureTable(int model);

// Gains R, B of kelvin `k` by the table: the end rows outside it, else linear between the two rows
// around k (divided by their distance). False for an inconsistent table.
bool colourTemperatureGains(const ColourTemperatureRow* table, uint32_t k, uint32_t* r, uint32_t* b);

class AWBControl {
 public:
  AWBControl();

  uint32_t cleared[6] = {};
  // Averages R, G, B written by the statistics reduction (3A thread; at least 10 each).
  uint32_t average[3] = {10, 10, 10};
  uint32_t average2[3] = {10, 10, 10};
  std::atomic<int32_t> mode{AWB_AUTO};
  int32_t previousMode = AWB_HOLD;
  uint32_t inputGain[3] = {1024, 1024, 1024};
  uint32_t currentGain[3] = {1024, 1024, 1024};
  int32_t state = 0;  // 0 reset, 1 collect, 2 compute
  uint32_t zero = 0;
  uint32_t collectCount = 0;
  uint32_t sum[3] = {};
  uint32_t sum2[3] = {};
  uint32_t result[3] = {};  // R, B, G
  uint64_t meanTileLuma = 0;
  uint32_t validTiles = 0, notBrightTiles = 0;
  std::atomic<uint32_t> rMax{16000}, bMax{16000}, rMin{10}, bMin{10};
  int32_t isrMode = 0;

  int setAWBMode(int m);
  void setWBRange(int m);
  // Sets the gains of kelvin K from the model's table: 1, or 0 on an inconsistent table.
  int SetColorTmpByUser(uint32_t kelvin);
  void awb_run();
  void awb_process();
  bool awb_calc_gains();
};

// A step of one gain towards grey: unchanged for x = sumG (false when x is 0), else moved by at most
// 20 (nothing inside the dead band of 84), held within [minimum, maximum].
bool awbStep(uint32_t g, uint32_t x, uint32_t sumG, uint32_t minimum, uint32_t maximum, uint32_t* out);

class CIsp;

// Once, from enable_aaa: the model's initial gains, AWB enabled on the controller.
int awb_control_init(CIsp* isp);
int enable_awb(CIsp* isp, int on);
// The per-pass step with the AWB interrupt record.
int emulatedISR_AWB(AWBControl* awb, AwbInterrupt* record);

}  // namespace isp
}  // namespace kavo
