#pragma once
// The one process-wide block that the ISP server's threads share.
//
// The threads poll flags instead of locking. Every word one thread writes while another reads it
// is an atomic (relaxed, or release/acquire where it publishes a record). Records that are
// written once during start-up, before any worker thread exists, and only read afterwards are
// plain fields. Each group names its writers.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace kavo {
namespace isp {

class CIsp;
class DVisca;
class SubCPU;

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

// A System V segment attached by start-up: address null and id -1 when it does not exist.
struct ShmSegment {
  uint8_t* addr = nullptr;
  int id = -1;
};

constexpr int kSdLogSlots = 7;

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

// Start and stop of the sub-CPU thread: each word written by one side and polled by the other.
struct SubCpuThreadControl {
  std::atomic<uint32_t> alive{0};        // the thread runs its loop
  std::atomic<uint32_t> acknowledge{0};  // set by the starter, cleared by the thread each pass
  std::atomic<uint32_t> run{0};          // cleared by the stopper
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
  // Set while the lens MCU is being upgraded from outside: the sub-CPU thread leaves the line alone.
  std::atomic<uint32_t> remoteUpgrade{0};
  // The object the sub-CPU thread pumps (the controller's SubCPU component); set before the thread
  // starts, cleared after it stopped.
  std::atomic<SubCPU*> subCpu{nullptr};
  SubCpuThreadControl thread;
};

struct IspGlobals {
  // Main loop, IPC thread ("ReInitIsp") and signal handling; changed by compare-and-swap so that a
  // re-initialisation never overwrites a pending stop.
  std::atomic<int32_t> runState{kRunStateRun};

  // Set by main before the worker threads start and cleared after they stopped.
  std::atomic<CIsp*> controller{nullptr};
  std::atomic<DVisca*> visca{nullptr};

  // Board detection (start-up only).
  int32_t board = 0;
  SystemParameters sys{};
  AELimits aeLimits{};

  // Start-up creates the segments; stop removes them after every thread that uses them ended.
  ShmSegment ctrlShm;
  ShmSegment imageShm;
  ShmSegment viscaShm;
  ShmSegment focusShm;
  std::atomic<int32_t> shmReady{0};

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

}  // namespace isp
}  // namespace kavo
