#pragma once
// The one process-wide block that the ISP server's threads share.
//
// The threads poll flags instead of locking. Every word one thread writes while another reads it
// is an atomic: relaxed for a value that stands alone, release/acquire where a flag publishes what
// another thread then reads (the controller's initialised and 3A-enabled words, the thread
// handshakes, the component slots). Records that are written once during start-up, before any
// worker thread exists, and only read afterwards are plain fields. Each group names its writers.
#include <pthread.h>
#include <semaphore.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "kavo/os/iav.h"

namespace kavo {
namespace isp {

class CIsp;
class DVisca;
class IAVDriver;
class I2CDriver;
class SubCPU;
class SubCPUStub;
class AEControl;
class AWBControl;
class CAFControl;
class ATFControl;
class MaskControl;

// Holds the third place of the component table; nothing uses it.
class ThreadProcStub {};

// Run-state values of the main loop.
constexpr int32_t kRunStateRun = 0;
constexpr int32_t kRunStateReinit = 0x8877;
constexpr int32_t kRunStateStop = 0x7788;

// Board types, in the order of the board-name table.
enum BoardType : int32_t {
  ALDER_IR = 0,
  HALDEN_IR = 1,
  TORVEX_BRISK = 2,
  TORVEX_TARROW = 3,
  TORVEX_WREN = 4,
  FINCH_IR = 5,
};

enum SystemType : int32_t { ZOOMLENS = 0, FIXLENS = 1 };
enum SensorId : int32_t { SENSOR_AR0331 = 0, SENSOR_OV9715 = 1 };
enum LensId : int32_t { TAMRON_X3 = 0, TAMRON_X30 = 1, CANON_X20 = 2, T5289_X3 = 3, BOARD_LENS = 4 };

// Written once by board detection, before any worker thread starts; read-only afterwards.
struct SystemParameters {
  int32_t model;       // board type 0..5
  int32_t dspId;
  int32_t systemType;  // ZOOMLENS or FIXLENS
  int32_t sensor;      // SENSOR_*
  int32_t lens;        // LensId
};

// Written once by board detection; read-only afterwards.
struct AELimits {
  uint32_t targetBase;
  uint32_t agcMinIndex;       // G_agc_min_index
  uint32_t agcMaxIndex;       // G_agc_max_index
  uint32_t shutterSlowest;    // G_shutter_slowest_speed
  uint32_t shutterFastest;    // G_shutter_fastest_speed
};

// The picture settings in force. Written by the settings pass (main thread at start and at each
// re-initialisation, IPC thread) and by VISCA handlers; read by the 3A thread and the handlers.
struct ImageParameters {
  std::atomic<uint16_t> manualIris{0};
  std::atomic<uint8_t> dssOn{0};
  std::atomic<uint32_t> dssMinimum{0};       // shutter index
  std::atomic<uint32_t> backlight{0};        // 0..4; 1-3 choose a metering weight table
  std::atomic<uint32_t> brightness{0};       // 0..100, as are the four below
  std::atomic<uint32_t> contrast{0};
  std::atomic<uint32_t> saturation{0};       // the one in force, also under the night picture set
  std::atomic<uint32_t> hue{0};
  std::atomic<uint32_t> sharpness{0};
  std::atomic<uint32_t> wdrLevel{0};         // 0..3
  std::atomic<uint32_t> nrLevel{0};          // noise reduction in force (g_iNRLevel)
  std::atomic<uint32_t> dayNrLevel{0};
  std::atomic<uint32_t> daySaturation{0};
  // Night picture set: per control (brightness, contrast, saturation, hue, sharpness, denoise)
  // whether it applies, and its value.
  std::atomic<uint8_t> irOnSts[6] = {};
  std::atomic<uint32_t> irOnVal[6] = {};
  std::atomic<uint32_t> flip{0};
  std::atomic<uint32_t> mirror{0};
  std::atomic<uint32_t> vportOutput[2] = {};
  std::atomic<uint32_t> vportInputLevel[2] = {};  // level at which video-port input 1, 2 triggers
  std::atomic<uint16_t> powerLedInterval{0};
};

// A System V segment attached by start-up: address null and id -1 when it does not exist.
struct ShmSegment {
  uint8_t* addr = nullptr;
  int id = -1;
};

constexpr int kSdLogSlots = 7;

// The ten components the controller creates, in table order. Set by the controller's constructor
// before any worker thread starts and cleared by its destructor after they stopped; the IPC thread,
// which is never stopped, finds null once the controller is gone.
struct ComponentTable {
  std::atomic<IAVDriver*> iav{nullptr};
  std::atomic<ThreadProcStub*> threadProc{nullptr};
  std::atomic<SubCPUStub*> subCpuStub{nullptr};
  std::atomic<SubCPU*> subCpu{nullptr};
  std::atomic<AEControl*> ae{nullptr};
  std::atomic<AWBControl*> awb{nullptr};
  std::atomic<CAFControl*> af{nullptr};
  std::atomic<ATFControl*> atf{nullptr};
  std::atomic<MaskControl*> mask{nullptr};
  std::atomic<I2CDriver*> i2c{nullptr};
};

// White-balance gains handed from the AWB step to the driver (3A thread; a handler may post gains
// too): the gains are stored first, then the pending byte with release.
struct AwbInterrupt {
  std::atomic<uint8_t> pending{0};
  std::atomic<uint32_t> r{0}, g{0}, b{0};
};

// The handshake of a worker thread with its starter and stopper. `run` is set by the starter and
// cleared by the stopper, `acknowledge` set by the starter and cleared by the thread at each pass,
// `alive` set by the thread while it runs. The handle is the main thread's.
struct ThreadControl {
  std::atomic<uint32_t> alive{0};
  std::atomic<uint32_t> acknowledge{0};
  std::atomic<uint32_t> run{0};
  pthread_t handle{};
  bool joinable = false;  // main thread only: a thread was created and not yet joined
};

struct IoThreadControl : ThreadControl {
  std::atomic<uint8_t> pause{0};          // never set in this system
  std::atomic<uint8_t> triggered[2] = {};  // inputs 1 and 2 (the I/O thread's own)
};

struct PanTiltThreadControl : ThreadControl {
  sem_t wake;  // posted by the stop, so that the thread sees its run word cleared
};

struct AaaThreadControl : ThreadControl {
  std::atomic<uint8_t> pause{0};  // set by the VISCA camera-init command and by main
};

// Camera state of the VISCA camera that has no other home in this block.
struct ViscaCameraState {
  std::atomic<uint8_t> expCompOn{0};             // G_uExpcomON: 0E and 4E are accepted only while set
  std::atomic<int32_t> expCompLevel{0};          // 7 neutral
  std::atomic<uint8_t> irCutInstalled{0};        // 1 day (filter in)
  std::atomic<uint8_t> dayNightAuto{0};
  std::atomic<uint8_t> calibrationExposure{0};   // set while a lens calibration or its check runs
  std::atomic<uint8_t> heaterChannel{0};         // g_McuHeaterCH
  std::atomic<uint8_t> heaterOn{0};              // g_McuHeaterON
};

// ---- lens link (sub-CPU) -------------------------------------------------------------------------

// The last reply of the lens MCU that the receive path posted for a waiting inquiry. Written by the
// sub-CPU thread only; read by the 3A, IPC and VISCA threads, one inquiry at a time per link. The
// sequence word is odd while the thread writes the bytes, so a reader that copies while a second
// reply lands sees the change and copies again instead of mixing two replies.
constexpr size_t kMcuReplyBytes = 16;
struct McuReplySlot {
  std::atomic<uint32_t> words[kMcuReplyBytes / 4];  // the reply bytes, in order
  std::atomic<uint32_t> length{0};
  std::atomic<uint32_t> posted{0};    // set (release) after the bytes; cleared by an inquiry before it sends
  std::atomic<uint32_t> sequence{0};
};

// The lens-motion flags: single bytes (0 or 1) that the AF step (3A thread), the lens moves (IPC
// and VISCA threads) and the receive path (sub-CPU thread) hand the lens over with; no lock.
struct LensMotionFlags {
  std::atomic<uint8_t> G_AutoFocusMode{0};
  std::atomic<uint8_t> G_ManualFocusMode{0};
  std::atomic<uint8_t> G_ZoomTrigMode{0};
  std::atomic<uint8_t> G_ZoomTrigArmed{0};
  std::atomic<uint8_t> G_PushMode{0};
  std::atomic<uint8_t> G_PushPending{0};
  std::atomic<uint8_t> G_PushTrigger{0};
  std::atomic<uint8_t> G_ATF_On{0};
  std::atomic<uint8_t> G_Wait_AF_Off{0};
  std::atomic<uint8_t> G_Wait_ATF_Off{0};
  std::atomic<uint8_t> G_AF_NotDataLock{0};
  std::atomic<uint8_t> G_ATF_NotDataLock{0};
  std::atomic<uint8_t> G_WaitCmd_Done{0};
  std::atomic<uint8_t> G_ZoomStopping{0};
  std::atomic<uint8_t> G_ZoomDriving{0};
  std::atomic<uint8_t> G_ZoomAccept{0};
};

struct LensLinkState {
  McuReplySlot mcuReply;
  LensMotionFlags flags;
  // Zoom and focus biases: AF start-up and the VISCA bias commands write them, the lens moves and
  // the tracking-bias reads of the sub-CPU object read them. Focus corrections at the wide and
  // tele ends.
  std::atomic<int32_t> zoom_bias{0};
  std::atomic<int32_t> focus_bias{0};
  std::atomic<int32_t> focus_Telebias{0};
  // The iris-control word the AF step reads: while 0 (the iris is not under the exposure loop, i.e.
  // manual exposure) the AF values are doubled. The exposure control's mode switch sets it.
  std::atomic<uint32_t> irisControl{0};
  // IR-cut filter by hand: 1 automatic; the filter in (1) or out (0) while not automatic.
  std::atomic<uint32_t> icrAuto{1};
  std::atomic<uint32_t> icrOn{1};
  std::atomic<uint8_t> afIdle{0};              // the AF step found nothing to do this frame
  std::atomic<uint8_t> focusedWithoutMove{0};  // a one-shot focus settled without a final move
  // Set while the lens MCU is being upgraded from outside: the sub-CPU thread leaves the line alone.
  std::atomic<uint32_t> remoteUpgrade{0};
  ThreadControl thread;  // the sub-CPU thread (its handle is its own)
};

struct IspGlobals {
  // Main loop, IPC thread ("ReInitIsp") and signal handling; changed by compare-and-swap so that a
  // re-initialisation never overwrites a pending stop.
  std::atomic<int32_t> runState{kRunStateRun};

  // Set by main before the worker threads start and cleared before it deletes them.
  std::atomic<CIsp*> controller{nullptr};
  std::atomic<DVisca*> visca{nullptr};

  // Board detection (start-up only).
  int32_t board = 0;
  SystemParameters sys{};
  ImageParameters image;
  AELimits aeLimits{};

  // Start-up creates the segments; stop removes them after every thread that uses them ended. The
  // focus segment's record is written by the 3A thread (its own protocol in byte 0).
  ShmSegment ctrlShm;
  ShmSegment imageShm;
  ShmSegment viscaShm;
  ShmSegment focusShm;
  std::atomic<int32_t> shmReady{0};

  // Settings and VISCA handlers write these; the 3A thread reads them.
  // The AF mode last asked for, by the settings or VISCA 38 (G_AFMode, which 09 04 38 answers): 2 auto,
  // 3 manual, 4 zoom-triggered, 6 while a lens calibration runs; 0 before any.
  std::atomic<int32_t> focusMode{0};
  std::atomic<uint8_t> focusExport{0};          // 1: each 3A pass copies the AF figures out
  std::atomic<uint32_t> dayNightHold{0};        // non-zero: no automatic day/night decision
  std::atomic<uint32_t> irFilterThreshold[3] = {};  // cnt2day, thd2day, thd2night
  std::atomic<uint32_t> irLedManualLevel{0};
  std::atomic<uint32_t> irLedDriveLevel{0};     // 215 in auto
  std::atomic<uint32_t> irLedAuto{0};           // 1 auto
  std::atomic<uint32_t> dptzTilt{50};           // 0..100
  std::atomic<uint32_t> dptzPan{50};
  std::atomic<uint32_t> dptzZoom{1};            // 1..8; the statistics scale by its square
  std::atomic<uint32_t> colourTemperature{0};   // kelvin
  std::atomic<uint32_t> awbMode{0};             // 0 manual, 1 auto, 5 colour temperature
  std::atomic<uint32_t> viscaAeMode{0};         // 0 full auto, 3 manual, 6/7 flicker, 10 shutter priority
  std::atomic<uint32_t> shutterSlowestBound{0}; // exposure bounds the settings ask for
  std::atomic<uint32_t> shutterFastestBound{0};
  std::atomic<uint32_t> agcMinimumBound{0};
  std::atomic<uint32_t> agcMaximumBound{0};
  std::atomic<uint32_t> manualAgcIndex{0};
  std::atomic<uint32_t> manualShutterIndex{0};
  std::atomic<uint32_t> aeTarget{0};
  std::atomic<uint32_t> settingsAeMode{0};      // 0 manual, 1 auto, 2 shutter, 4/5 flicker

  // The VISCA camera's own state: set by the DVisca constructor before the VISCA thread starts,
  // then changed by the VISCA handlers (VISCA thread); the 3A thread reads some of it.
  ViscaCameraState viscaCamera;

  // The ten components (the controller's constructor and destructor).
  ComponentTable components;

  AwbInterrupt awbInterrupt;

  // Filled by CIsp::initialize (main thread) while the 3A thread is stopped.
  iav_shutter_info_t shutterInfo{};
  iav_agc_info_t agcInfo{};
  std::atomic<uint32_t> framePeriod{0};         // of the video mode, 1/512,000,000 s (0: unknown)
  std::atomic<int32_t> videoMode{0};            // the code get_vin_mode read

  // Picture code (settings, VISCA and 3A threads): the contrast offsets and the tone curve with them.
  std::atomic<int32_t> contrastCurve[256] = {};
  std::atomic<int32_t> adjustedToneCurve[256] = {};
  std::atomic<uint32_t> irOn{0};                // 1 while the night picture set applies

  // Worker threads.
  IoThreadControl ioThread;
  PanTiltThreadControl panTiltThread;
  AaaThreadControl aaaThread;
  ThreadControl viscaThread;
  std::atomic<int32_t> aaaFrames{0};            // 3A passes, 0..60 (written by the 3A thread)

  // 3A thread only.
  int32_t dayNightPasses = 0;
  FILE* irisLog = nullptr;

  // Lens shading: the gain shift of the last file read.
  std::atomic<uint32_t> lensShadingGainShift{0};

  // SD-card logs: opened and closed by one thread; the flag is what other threads test.
  FILE* sdLogs[kSdLogSlots] = {};
  std::atomic<uint8_t> sdLogEnabled{0};

  // The lens link: reply slot, lens-motion flags, biases, upgrade flag, sub-CPU thread control.
  LensLinkState lensLink;
};

// The block itself: zero at load, never reset while the process runs.
extern IspGlobals g_isp;

// The signal handler stores the stop request directly.
static_assert(std::atomic<int32_t>::is_always_lock_free, "the run state is written from a signal handler");

// Run-state changes. A stop always wins: neither a re-initialisation request nor its end replaces
// a pending stop.
inline void requestStop() noexcept { g_isp.runState.store(kRunStateStop); }
// False when a stop is pending or a re-initialisation is already asked for.
inline bool requestReinit() noexcept {
  int32_t expected = kRunStateRun;
  return g_isp.runState.compare_exchange_strong(expected, kRunStateReinit);
}
// Back to running after a re-initialisation, unless a stop arrived meanwhile.
inline bool finishReinit() noexcept {
  int32_t expected = kRunStateReinit;
  return g_isp.runState.compare_exchange_strong(expected, kRunStateRun);
}

// The components and the controller as the threads find them (null before the controller exists and
// after it is gone).
inline CIsp* controller() noexcept { return g_isp.controller.load(std::memory_order_acquire); }
inline IAVDriver* iavDriver() noexcept { return g_isp.components.iav.load(std::memory_order_acquire); }
inline SubCPU* subCpu() noexcept { return g_isp.components.subCpu.load(std::memory_order_acquire); }
inline AEControl* aeControl() noexcept { return g_isp.components.ae.load(std::memory_order_acquire); }
inline AWBControl* awbControl() noexcept { return g_isp.components.awb.load(std::memory_order_acquire); }
inline CAFControl* afControl() noexcept { return g_isp.components.af.load(std::memory_order_acquire); }
inline ATFControl* atfControl() noexcept { return g_isp.components.atf.load(std::memory_order_acquire); }
inline MaskControl* maskControl() noexcept { return g_isp.components.mask.load(std::memory_order_acquire); }
inline I2CDriver* i2cDriver() noexcept { return g_isp.components.i2c.load(std::memory_order_acquire); }

}  // namespace isp
}  // namespace kavo
