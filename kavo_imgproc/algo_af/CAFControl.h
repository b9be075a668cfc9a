#pragma once
// The contrast auto focus of the zoom-lens boards: each frame it reads the two AF high-frequency
// sums, moves the focus motor of the lens MCU step by step and settles where the contrast peaks;
// it loads and saves the zoom/focus biases, switches the four AF modes and takes the lens MCU's
// end-of-move report through `callback`.
//
// Threads: the per-frame step runs on the 3A thread; `callback` on the sub-CPU thread; mode
// switches, bias saving and the lens moves (CIsp_Motor.h) on the IPC and VISCA threads. What the
// callback and the moves touch is atomic; the search state is the 3A thread's own.
#include <atomic>
#include <cstdint>
#include <thread>

#include "algo_af/CallbackInterface.h"

namespace kavo {
namespace isp {

class CIsp;

// The lens commands the auto focus sends. The default goes to the sub-CPU object of the component
// table; a test puts a lens model in its place.
class AfLens {
 public:
  virtual ~AfLens() = default;
  // 1 when sent, 0 when not.
  virtual int setFocus(uint32_t position);
  virtual int focusStop();
  // 1 with the position, 0 when the inquiry failed.
  virtual int getFocus(uint32_t* position);
  virtual int getZoom(uint32_t* position);
  // The lens MCU finished its zoom/focus correction.
  virtual int ready();
  // The focus tracking: a curve number for the contrast search's hand-over and for the tracking
  // step (01 04 DD either way), and the end of a continuous zoom (set_zoom_stop).
  virtual int setTrackingCurveAF(uint32_t curve);
  virtual int setTrackingCurve(uint32_t curve);
  virtual void stopZoom();
  // A continuous zoom towards tele (01 04 07 02) or wide (07 03).
  virtual int zoomDrive(bool tele);
};

// afStatus bits.
enum : uint32_t {
  AF_NEAR = 0x1,
  AF_PRESEEK = 0x2,
  AF_SEEK = 0x4,
  AF_COARSE = 0x8,
  AF_HOLD = 0x10,
  AF_MOVING = 0x20,
  AF_MOVING2 = 0x40,
  AF_NODECIDE = 0x800,
  AF_IMPROVED = 0x2000,
  AF_AT_MAX = 0x4000,
  AF_AT_MIN = 0x8000,
  AF_REFOCUS = 0x20000,
};

enum AfMode : int32_t { AUTO_FOCUS_MODE = 2, MANUAL_MODE = 3, ZOOM_TRIG_MODE = 4, PUSH_MODE = 5, AF_MODE_UNSET = 6 };

// The distance of two contrast or brightness readings.
inline uint32_t absDiff(uint32_t a, uint32_t b) { return a > b ? a - b : b - a; }

constexpr int kAfHistory = 16;
constexpr int kFlatEntries = 11;

class CAFControl : public CallbackInterface {
 public:
  int callback(int result) override;

  // ---- start-up and modes
  std::atomic<int32_t> afInitState{0};
  int32_t afInitFrames = 0;
  std::atomic<int32_t> afMode{AF_MODE_UNSET};
  int32_t zoomSettleCount = 0;
  std::atomic<int32_t> m_iFocusStatus{0};
  std::atomic<int32_t> wideRange{0};
  // ---- positions (the moves of other threads write them)
  int32_t lastFocusPosition = 0;
  // The lens positions last known (lens moves and the VISCA position inquiries keep them).
  std::atomic<uint32_t> m_iCurrFocusPosition{0};
  std::atomic<uint32_t> m_iCurrZoomPosition{0};
  int32_t frameDivider = 1;
  std::atomic<int32_t> movePending{0};
  int32_t lockWaitFrames = 0;
  uint32_t seekStartHF0 = 0;
  uint8_t coarseStep = 2, fineStep = 1;
  uint8_t oscillationHits = 0, bothStopHits = 0;
  std::atomic<int32_t> postMoved{0};
  // flat-frame tracker
  int32_t flatState = 0, flatCount = 0;
  uint32_t flatHF1[kFlatEntries + 1] = {};
  // two-frame average
  int32_t avgCount = 1;  // 1: the next frame is the first of a pair
  uint32_t avgSum0 = 0, avgSum1 = 0;
  uint32_t h1History[kAfHistory] = {};
  std::atomic<int32_t> noSeekFrames{0};
  int32_t lastDirection = 0;
  int32_t direction = 0;
  // best trackers
  uint32_t bestHF1 = 0, bestHF0 = 0, bestHF0Quarter = 0;
  int32_t bestPosition = 0;
  uint32_t bestCoarseHF0 = 0;
  int32_t bestCoarsePosition = 0;
  uint32_t fineAbortBase = 0;
  uint32_t m_uAF_SeekThreshold = 0;
  uint32_t preSeekThreshold = 0, coarseThreshold = 0, fineThreshold = 0;
  uint32_t m_uAF_Current_HF0 = 0, m_uAF_Current_HF1 = 0;
  // The two AF sums the 3A statistics write each frame (3A thread).
  uint16_t afHFSum0 = 0, afHFSum1 = 0;
  uint32_t m_uAF_Last_HF0 = 0, m_uAF_Last_HF1 = 0;
  std::atomic<uint32_t> afStatus{AF_PRESEEK};
  // The search's plain fields belong to the thread running the AF step; a return to pre-seeking or a
  // refocus asked by another thread (VISCA, IPC) is applied to them at the start of that thread's
  // next step (kResetPreSeek, kResetRefocus).
  std::atomic<std::thread::id> stepThread{};
  std::atomic<uint32_t> pendingResets{0};
  int32_t stableFrames = 0;
  // The picture's brightness (the 3A statistics' luminance sum) at the last reading and when the
  // search under way took its first reading (0: none), and whether it held from one reading to the
  // next (3A thread).
  uint32_t lastLuminance = 0, seekLuminance = 0;
  bool luminanceSteady = true;
  int32_t firstCoarse = 0;
  int32_t fineSteps = 0, fineStepLimit = 12;
  int32_t fineReverse = 0;
  // The focus range at the current zoom (3A thread; the end-of-move report compares with it).
  std::atomic<int32_t> m_eMaxAFFocus{0}, m_eMinAFFocus{0};
  std::atomic<uint32_t> limitHits{0};
  int32_t m_bPostOptCheck = 0;
  uint32_t m_lastOrigOptHF1 = 0;
  uint32_t origH1 = 0, previousOrigH1 = 0, meanAF = 0, lastAF = 0;
  int32_t meanFrames = 0;
  // bits 0-13 step, bit 14 valid, bit 15 towards the maximum
  std::atomic<uint16_t> m_lmAF_FocusCallbackUpdateInfo{0};
  std::atomic<int32_t> expectedFocus{0};
  uint32_t afDoneCount = 0;
  int32_t fineDivisor = 0;
  uint32_t m_uAbortCounter = 0, coarseAbortCount = 0;
  // pilot probe
  int32_t pilotActive = 0, pilotPhase = 0, pilotCount = 0;
  uint32_t pilotNearHF0 = 0, pilotFarHF0 = 0, pilotMidHF0 = 0, pilotMidHF1 = 0;
  int32_t pilotNearPosition = 0, pilotFarPosition = 0, pilotMidPosition = 0;
  int32_t m_iPilotSeekStep = 1;
  uint32_t pilotDiffNear = 0, pilotDiffFar = 0;
  int32_t coarseUpper = 0, coarseLower = 0;
  int32_t postPending = 0;
  int32_t trackPending = 0;
  uint32_t savedBestHF0 = 0, savedBestHF1 = 0;
  int32_t PostReseekCnt = 0;
  // accumulated tracker
  int32_t accuPhase = 0, accuCount = 0;
  uint32_t m_uAccuAF_Lowest_HF1 = 0, m_uAccuAF_Highest_HF1 = 0;
  uint32_t hfWeight = 2;
  uint32_t weightBaseline = 0;
  int32_t weightStarted = 0;
  int32_t trackCounter = 0;   // two-frame counter of the tracking-curve hand-over
  uint8_t focusedWithoutMove = 0;
  uint32_t pilotBestHF0 = 0;  // the best pilot HF0 and its position
  int32_t pilotBestPosition = 0;
  std::atomic<uint8_t> focusMoveByte{0};
  uint8_t afIdle = 0;
  // The AF values of each frame as the lens calibration reads them (VISCA thread), also while the
  // search idles, and the calibration flag the calibration sets.
  std::atomic<uint32_t> calibrationHF0{0}, calibrationHF1{0};
  std::atomic<uint8_t> calibrating{0};

  // ---- focus tracking during zoom (algo_atf/ATF.cpp). The end-of-move report (sub-CPU thread)
  // touches the atomic ones.
  std::atomic<uint8_t> atfLocked{1};
  std::atomic<uint32_t> atfLimitHits{0};
  std::atomic<int32_t> curveMovePending{0};
  int32_t probeActive = 0, probePhase = 0;
  uint32_t probeFarHF0 = 0;
  int32_t atfPostPending = 0;
  uint32_t atfPostReference = 0;
  std::atomic<int32_t> curveUpper{15}, curveLower{0};
  uint32_t atfFineThreshold0 = 0, atfCoarseThreshold = 0, atfFineThreshold = 0, atfAbortThreshold = 0;
  uint8_t curveCoarseStep = 2, curveFineStep = 1;
  uint32_t atfPreThreshold = 0;
  std::atomic<uint32_t> atfStatus{AF_PRESEEK};
  // bits 0-13 step, bit 14 valid, bit 15 towards the upper bound
  std::atomic<uint16_t> curveCallbackInfo{0};
  std::atomic<int32_t> expectedCurve{0};
  uint32_t atfBestHF1 = 0, atfBestHF0 = 0, atfBestHF0Quarter = 0;
  int32_t atfBestPosition = 0;
  int32_t atfLastDirection = 0, atfDirection = 0;
  int32_t atfDiffHF1 = 0, atfDiffHF0 = 0;  // printed in the step lines
  int32_t atfFlatState = 0, atfFlatCount = 0;
  uint32_t atfFlatHF1[3] = {};
  int32_t atfPreSeekCount = 0;
  std::atomic<int32_t> ATF_m_iCurrFocusPosition{0};  // the curve number in force
  uint32_t coarseToFineThreshold = 7000;
  // The chosen curve family and sub-curve (index into the lens's family; the hand-over also runs
  // from the end-of-move report), and the frames a curve move has been waited for.
  std::atomic<uint8_t> curveFamilyIndex{0}, curveSubIndex{0};
  int32_t curveWaitFrames = 0;

  // The lens the commands go to (null: the sub-CPU object). Set before the 3A thread runs.
  AfLens* lens = nullptr;
  AfLens& lensPort();
};

// Once, from enable_aaa on zoom-lens boards: every field to its start value, AF enabled.
int resetAF(CIsp* isp);
// The per-frame step on zoom-lens boards (3A thread).
int emulatedISR_AF(CAFControl* af);

// ---- the search (3A thread) -----------------------------------------------------------------------
void STD_onAFdone(CAFControl* af);
int onFocusDone(CAFControl* af, int result);
int processAFModeSwitching(CAFControl* af, int32_t mode);
int triggerRefocus(CAFControl* af);
void goBacktoPreSeek(CAFControl* af);
// At the start of an AF step: marks the calling thread as the step's and applies what other threads'
// `goBacktoPreSeek` and `triggerRefocus` left for it.
void takeAfStep(CAFControl* af);
void updateMinMaxFocusFromTrackingCurve(CAFControl* af, int32_t* maxOut, int32_t* minOut);
// The range above into the object's own range fields.
void refreshFocusRange(CAFControl* af);
void retrieveAFSteps(CAFControl* af);
int focusStep(CAFControl* af, bool towardsMax, int32_t steps);
void updateZFposition(CAFControl* af);
// Both AF sums, up to three reads, into the current HF0 and HF1 (five times the sums), and the
// frame's luminance into the tracking object's two copies; false when either sum stays 0.
bool readAfValues(CAFControl* af);

// ---- focus tracking during zoom (algo_atf/ATF.cpp) -------------------------------------------------
// The curve that fits the current zoom stop and focus, sent to the lens MCU: 1 when sent, 0 when
// the positions lie outside the lens.
int sendTrackingCurveAF(CAFControl* af);
// The curve number of the lens's family nearest to focus `f` at stop `z` (ties keep the lower
// curve, then the lower sub-curve); stores the family and sub-curve index. -1 for other lens ids.
int32_t chooseTrackingCurve(CAFControl* af, int32_t z, int32_t f);
// True while the curve the hand-over sent has not been reported done (at most 50 frames): the
// search makes no move meanwhile (3A thread).
bool curveHandOverPending(CAFControl* af);
// The per-frame tracking step while G_ATF_On (3A thread).
void ATF_onAFdone(CAFControl* af);
// The end of a curve move (sub-CPU thread).
void onCurveDone(CAFControl* af, bool ok);
// The coarse step rule of a decision d (1 better, -1 worse, 0 flat); the step made. The second
// rule is the same without the debug line.
int ATF_AFSeekCoarse(CAFControl* af, int32_t d);
int ATF_AFSeekCoarse2(CAFControl* af, int32_t d);
// Curve number + s / - s to the lens MCU; 0 for other lens ids.
int setCurveNear(CAFControl* af, int32_t s);
int setCurveFar(CAFControl* af, int32_t s);

// The search states and their rules (CAF_driving.cpp).
void processAF_PreSeeking(CAFControl* af);
void processAF_PostSeeking(CAFControl* af);
void processAF_NoSeeking(CAFControl* af);
// The search again from PostSeeking without the post check, with the tracking object's lock request
// on the current focus position; one more re-seek counted. Returns 1.
int restartFromPostSeeking(CAFControl* af);
// Asked once a frame: settled with the lock request, a sharp picture (origH1 4200 or more), no post
// check pending and the focus within 4 coarse steps of the lock's reference; else once it has been
// asked 150 times. True without a tracking object.
bool lockSettled(CAFControl* af);
void processAF_PilotSeeking(CAFControl* af);
void processAF_Seeking(CAFControl* af);
// A search from PreSeeking; `restartSearch` is its part that PostSeeking's re-seek runs: the
// status, trackers and pilot set-up, with or without the post check.
void startSearch(CAFControl* af);
void restartSearch(CAFControl* af, bool withPostCheck);
void preSeekSetAFDir(CAFControl* af);
void computeAFSteps(CAFControl* af);
void computeSeekThresholds(CAFControl* af);
uint32_t seekThresholdOf(uint32_t hf1);
int seekStep(CAFControl* af, int shift);
int isCrossAccuAFThreshold_NoSeek(CAFControl* af, int dir, uint32_t mean);

// ---- the bias file ("/etc/ispserver/lensbias.conf", saved as "lensbias1.conf") ---------------------
int setZFBias2Mcu(CAFControl* af);
int SaveZFBias(CAFControl* af);
// A bias as the lens MCU takes it: one byte, a negative value as value + 256.
inline uint32_t biasByte(int32_t bias) { return static_cast<uint32_t>(bias < 0 ? bias + 256 : bias); }

}  // namespace isp
}  // namespace kavo
