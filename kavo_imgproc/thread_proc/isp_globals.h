#pragma once
// The one process-wide block that the ISP server's threads share.
//
// The threads poll flags instead of locking. Every word one thread writes while another reads it
// is an atomic (relaxed, or release/acquire where it publishes a record). Records that are
// written once during start-up, before any worker thread exists, and only read afterwards are
// plain fields. Each group names its writers.
#include <atomic>
#include <cstdint>
#include <cstdio>

namespace kavo {
namespace isp {

class CIsp;
class DVisca;

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

  // Lens shading: the gain shift of the last file read.
  std::atomic<uint32_t> lensShadingGainShift{0};

  // SD-card logs: opened and closed by one thread; the flag is what other threads test.
  FILE* sdLogs[kSdLogSlots] = {};
  std::atomic<uint8_t> sdLogEnabled{0};
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
