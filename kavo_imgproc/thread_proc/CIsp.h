#pragma once
// The image controller: created by main after board detection, it creates the ten components of
// the component table, opens the devices, and at start and every re-initialisation registers the
// image-DSP library, programs the statistics tiles and loads the model's configuration
// (CIsp_Config.cpp). The 3A thread runs its per-frame step (aaa_step.h) once `initialize` and
// `enable_aaa(1)` have set their words.
//
// Threads: the main thread creates, initialises and deletes it; the 3A, IPC and VISCA threads call
// its operations at the same time. Words that more than one thread touches are atomics (relaxed;
// the initialised and 3A-enabled words release what initialisation wrote); the statistics buffers,
// the colour matrix and the AE exchange record are the 3A thread's own.
#include <atomic>
#include <cstdint>

#include "kavo/os/iav.h"
#include "thread_proc/isp_globals.h"
#include "thread_proc/isp_tables.h"

namespace kavo {
namespace isp {

// A table that one thread may rewrite while others read it entry by entry.
template <class T, int N>
class SharedTable {
 public:
  static constexpr int size = N;
  T get(int i) const { return v_[i].load(std::memory_order_relaxed); }
  void set(int i, T x) { v_[i].store(x, std::memory_order_relaxed); }
  void load(const T* from) {
    for (int i = 0; i < N; ++i) set(i, from[i]);
  }
  void copyTo(T* to) const {
    for (int i = 0; i < N; ++i) to[i] = get(i);
  }

 private:
  std::atomic<T> v_[N] = {};
};

// RGB to YUV: Q10 rows Y, U, V, then the y, u and v offsets.
using YuvSet = SharedTable<int16_t, 12>;

// The record the 3A step exchanges with the exposure control each pass.
struct AeExchange {
  uint32_t words[4];  // the exposure words (current shutter and AGC indexes among them)
  uint16_t done;
  uint16_t extra;     // the field after `done`, copied into the controller
  uint8_t valid[2];
  uint8_t reserved[2];
  uint32_t value[2];  // copied into the controller when their valid byte is 1
};

class CIsp {
 public:
  // Creates the components (IAVDriver, I2CDriver, ThreadProcStub, SubCPU, SubCPUStub, AEControl,
  // AWBControl, CAFControl, ATFControl, MaskControl) and records them in the component table.
  CIsp();
  // Deletes every component it created and clears its slot, and the controller pointer of the
  // globals when it is this controller.
  virtual ~CIsp();
  CIsp(const CIsp&) = delete;
  CIsp& operator=(const CIsp&) = delete;

  int openDevices();
  int closeDevices();
  // Library hooks, video mode and tiles, the model's configuration, sensor information; 0.
  int initialize(SystemParameters* parameters);
  int configureVideoMode();
  int printTileInfo();
  // Exposure tables, picture state, then the model's configuration (CIsp_Config.cpp).
  void loadDefaults();
  void initPictureState();

  // The board the controller was last initialised for (board detection's record until then).
  const SystemParameters& system() const { return *system_.load(std::memory_order_acquire); }

  // ---- fields other parts touch ----
  SharedTable<int32_t, kAgcEntries> agcTable;
  SharedTable<int32_t, kShutterEntries> shutterTable;
  YuvSet modelYuv;     // the model's RGB-to-YUV set
  YuvSet savedYuv;     // the last conversion applied, for colour restore
  std::atomic<uint32_t> wbGain[3] = {};  // R, G, B in use (1024 = 1.0)
  int32_t colourMatrix[3][3] = {};       // Q10; the 3A thread's own
  // Picture state.
  std::atomic<int32_t> brightness{0};
  std::atomic<int32_t> contrastGain{64};
  std::atomic<int32_t> saturation{64};
  std::atomic<int32_t> hue{0};
  std::atomic<uint8_t> colourGain{60};
  SharedTable<uint16_t, 768> toneCurve;  // the model's, R, G and B; the base of the contrast curve
  // Flags. `initialised` and `aaaEnabled` are stored last by their writers (release) and tested by
  // the 3A thread before each pass (acquire).
  std::atomic<uint32_t> initialised{0};
  std::atomic<uint32_t> aaaEnabled{0};
  std::atomic<uint8_t> aeEnable{0}, aeInitialised{0};
  std::atomic<uint8_t> awbEnable{0}, awbInitialised{0};
  // Set by the 3A thread while its white-balance pass may still write gains; with `awbEnable` the
  // hand-over of the gains to a caller that switches the white balance off (enable_awb).
  std::atomic<uint8_t> awbPassBusy{0};
  std::atomic<uint8_t> afEnable{0}, afInitialised{0};
  // The lens-move guard (CIsp_Motor.h): both set while an absolute zoom or focus runs.
  std::atomic<uint8_t> zoomMoving{0}, focusMoving{0};
  std::atomic<uint8_t> blackAndWhite{0};
  std::atomic<uint32_t> wordAfterBlackAndWhite{100};
  std::atomic<uint8_t> qpLimit{0};
  std::atomic<uint32_t> nrMemory[2][2] = {};
  std::atomic<uint32_t> manualWbGain[3] = {};
  std::atomic<uint32_t> lensShadingState{0};
  std::atomic<uint16_t> wordTen{10};
  // The 3A statistics: the request points at the controller's own buffers (3A thread).
  iav_aaa_stats_request_t statsRequest{};
  iav_aaa_stats_buffers_t stats{};
  // The grid the statistics are taken on (configureVideoMode, main thread).
  iav_aaa_tile_info_t tiles{};
  std::atomic<uint32_t> mirrorFlip{0};   // bit 0 flip, bit 1 mirror
  std::atomic<uint8_t> mirrorBytes[2] = {};
  // The AE exchange (3A thread) and what the controller keeps of it.
  AeExchange aeExchange{};
  std::atomic<uint32_t> aeWords[4] = {};
  std::atomic<uint32_t> aeValue[2] = {};
  std::atomic<uint8_t> aeValueValid[2] = {};
  std::atomic<uint16_t> aeExtra{0};
  // The colour-correction files as last read (the library keeps a pointer to the register file).
  uint8_t ccRegFile[18752] = {};
  uint8_t cc3dFile[17536] = {};

 private:
  std::atomic<const SystemParameters*> system_{&g_isp.sys};
};

// 3A on (1) or off (0): the AE, AWB and (zoom-lens boards) AF initialisations run at the first call
// with the controller initialised; -1 before `initialize`.
int enable_aaa(CIsp* isp, int enable);
// Forgets the mirror and flip pattern and the white-balance gains in force, so that the next settings
// and white-balance passes send them again; nothing without a controller.
int ipc_reset_mirror_state(CIsp* isp);

// The model's configuration (CIsp_Config.cpp): black level, chroma median, bad pixels, RGB to YUV,
// the colour-correction files, the tone curve, local exposure.
void init_image_params(CIsp* isp);

}  // namespace isp
}  // namespace kavo
