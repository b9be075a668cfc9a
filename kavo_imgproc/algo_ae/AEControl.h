#pragma once
// AEControl: the exposure state of the camera (shutter and AGC indexes with their bounds, the AE
// target and mode) and the day/night state that switches the IR-cut filter, the IR LEDs and the
// night picture set; the exposure primitives the AE loops (ae_loops.cpp) and the settings call, and
// the two day/night decisions: by exposure index (models 0, 1, 4) and by light value (2, 3, 5).
//
// Threads: the 3A thread runs the loops and the day/night decision; the IPC and VISCA threads set
// bounds, modes and the target without a lock, so those words are atomics (relaxed). The loop
// state below "3A thread only" is the 3A thread's own.
#include <atomic>
#include <cstdint>

#include "algo_ae/ae_tables.h"

namespace kavo {
namespace isp {

class CIsp;

// What the exposure and day/night code reach outside the image controller: the lens link and GPIO
// (IR-cut filter, IR LEDs, DC iris, the lens MCU's light sensor), the settings mapping (the night
// picture set, black and white) and the auto focus (refocus). By default the link's operations go
// to the sub-CPU object of the component table, the picture set and black and white to the
// controller and the refocus to the auto focus (each where it exists); tests install their own.
class AeOutside {
 public:
  virtual ~AeOutside() = default;
  virtual void setICR(int out) { (void)out; }                  // 1: filter out (night)
  virtual void setIrLedon_xBrisk(int on) { (void)on; }
  virtual void setIrLedLevel(int level) { (void)level; }
  virtual void ipc_apply_ir_state(int on);
  virtual void set_yuv_BW(int on);
  virtual void setDCIrisMode(int mode) { (void)mode; }         // 1 automatic drive, 0 direct
  virtual void setDCIrisDriver(int value) { (void)value; }
  virtual void setIrisDirect(int value) { (void)value; }
  virtual void setIrisBias(int value) { (void)value; }
  // The lens MCU's light sensor: 0 with `value` set, 1 when the inquiry failed.
  virtual int inqLightSensor(uint32_t* value) {
    *value = 0;
    return 0;
  }
  virtual void triggerRefocus();
};
// Installs the outside operations (null: the default set). The object must outlive its use.
void setAeOutside(AeOutside* outside);
AeOutside& aeOutside();

// AE modes.
enum AeMode : int32_t {
  AE_FULL_AUTO = 0,
  AE_FLICKER_60 = 1,
  AE_FLICKER_50 = 2,
  AE_SHUTTER_PRIORITY = 3,
  AE_IRIS_PRIORITY = 4,
  AE_IRIS_ADJUST = 5,
  AE_MANUAL = 6,
};
// AE loop states.
enum AeState : int32_t { AE_SHUTTER_SEARCH = 0, AE_GAIN = 1, AE_SHUTTER = 2, AE_IRIS = 3 };
// DC-iris calibration status.
enum IrisStatus : int32_t { IRIS_GOING = 0, IRIS_CHECK = 1, IRIS_GOOD = 2, IRIS_NG = 3 };

class AEControl {
 public:
  AEControl();

  // ---- set-up and bounds (settings, VISCA and 3A threads) ----
  std::atomic<uint8_t> dnAuto{0};             // 1: the automatic day/night decision runs
  std::atomic<uint16_t> slowestAllowed{5};    // the DSS slowest index when DSS is on, else the bound
  std::atomic<uint16_t> slowestBound{5};
  std::atomic<uint16_t> fastestBound{161};
  std::atomic<uint16_t> agcMin{0}, agcMax{198};            // working pair
  std::atomic<uint16_t> agcMinBound{0}, agcMaxBound{198};  // bound pair
  std::atomic<uint16_t> shutterToDay{0}, agcToDay{62}, agcToNight{24};
  uint16_t constantFive = 5, constantTen = 10;
  std::atomic<uint16_t> lightToDay{600}, lightToNight{300};
  std::atomic<uint8_t> dayState{1};           // 1 day (IR-cut filter in), 0 night
  std::atomic<uint16_t> dayCount{0}, nightCount{0}, ir2dayCountBound{10};
  std::atomic<uint16_t> dssFlag{0}, dssSlowest{5};
  std::atomic<uint16_t> irisIndex{128};
  const AeStep* shutterSteps;                 // by sensor, chosen at construction
  const AeStep* flickerSteps60;
  const AeStep* flickerSteps50;
  // The exposure words the 3A step copies in and out each pass (the 3A thread's own).
  uint32_t exchange[4] = {};
  std::atomic<uint16_t> shutterIndex{10};
  std::atomic<uint16_t> agcIndex{0};
  // {AGC to day, shutter to day, AGC to night} for sensitivity 0, 1, 2.
  uint16_t icrThreshold[3][3] = {};
  std::atomic<uint8_t> stepGainFlag{0};
  std::atomic<int32_t> mode{0};
  std::atomic<int32_t> previousMode{0};       // 10 forces a mode switch
  std::atomic<uint8_t> irisHighStart{180}, irisLowStart{65};
  uint16_t constant128 = 128;
  std::atomic<uint32_t> aeTarget{0};
  std::atomic<uint32_t> zone[7] = {};
  std::atomic<uint32_t> halfTarget{0};
  std::atomic<uint8_t> flick60{1};
  std::atomic<uint32_t> icrSensitivity{1};    // the last set_icr_sensitivity
  std::atomic<uint32_t> luminance{0};         // Y of the last statistics (written by the reduction)
  std::atomic<uint32_t> fastestFlickerStep{110};

  // ---- loop state (3A thread only) ----
  int32_t aeState = AE_SHUTTER;
  uint32_t pass2 = 0, pass3 = 0, pass4 = 0;
  int32_t fast = 0;
  // The calibrated iris (the bias file's at start): the bias save reads it on the VISCA thread.
  std::atomic<int32_t> irisTarget{128};
  int32_t irisStatus = IRIS_GOING;
  // The calibration's status as the VISCA inquiry reads it (GOING, CHECK, GOOD, NG).
  std::atomic<uint8_t> irisAdjustStatus{IRIS_GOING};
  int32_t irisHigh = 180, irisLow = 65;
  int32_t irisOpenCount = 0, irisCloseCount = 0;  // calibration votes
  int32_t irisOpenPasses = 0;                     // iris-open passes of the AE_IRIS state
  int32_t adjustCount = 0;
  uint32_t yOpen = 0, yClosed = 0;
  int32_t traceFlag = 0, openTraceRequest = 0;
  double nightDarkest = 0;  // the longest exposure (time x gain) the target needed this night, not too bright

  // ---- mode and set-up ----
  void set_ae_enable(CIsp* isp, int on);
  void set_ae_mode(int m);
  void set_ae_manual() {}
  void reset_ae_params();
  void set_ae_target(uint32_t t);
  int restore_iris_index();

  // ---- shutter and gain ----
  void applyShutterIndex(int i);
  void set_shutter_index(int i) { applyShutterIndex(i); }
  // The first index whose time (in microseconds) holds `us`; 161 below the fastest, ~0 when none.
  uint32_t get_shutter_index(uint32_t us) const;
  int set_shutter_high_speed_bound(int i);
  int set_shutter_low_speed_bound(int i);
  int set_Agc_maxIdx_bound(int i);
  void checkShutterIndex();
  int downShutterOneStop();
  int upShutterOneStop();
  int applyShutterStep(int i);
  void applyStepGain(int i);
  int downShutterOneStop_flick();
  int upShutterOneStop_flick();
  int applyFlickerShutterStep(int i);
  void applyFlickerStepGain(int i);
  void upGain_ISO(int n);
  void downGain_ISO(int n);
  void applyAgcIndex(int i);
  int32_t flickerTime(int step) const;

  // ---- day/night ----
  void init_icr_thresholds();
  void set_icr_sensitivity(int s);
  void set_ae_ir2day_cnt_bound(int n);
  void reset_icr_state();
  void set_icr_manual(int on);
  void update_icr_state();
  void update_IrLevel_byLightSensor(uint32_t v);
  void DN_status_update_byIndex();
  // Exposure time x linear gain of the indexes, and in force (1/512,000,000 s).
  double exposureAt(int shutter, int agc) const;
  double exposureNow() const;
  void DN_status_update_Brisk();
};

// Once, from enable_aaa: previous mode 10, AE enabled on the controller, the parameters reset, the
// day/night thresholds of the model at sensitivity 1, the automatic day/night decision off.
int ae_control_init(CIsp* isp);

// The exposure step of one pass (ae_loops.cpp): 1 when it switched the mode, else 0.
int processAE(AEControl* ae);
int processAE_byMode(AEControl* ae, int hold);
int processAEModeSwitching(AEControl* ae);
void processAE_FullAuto(AEControl* ae);
void processAE_Flicker(AEControl* ae);
void processAE_ShutterPriority(AEControl* ae);
void processAE_IrisPriority(AEControl* ae);
void processAE_IRISAdjust(AEControl* ae);

// The shutter time of table entry i to the sensor; -1 outside the table.
int set_shutter_index(CIsp* isp, uint32_t index);

// Luminance above which models 2 to 4 repeat the mode switch.
constexpr uint32_t kAeSaturatedY = 56908;

}  // namespace isp
}  // namespace kavo
