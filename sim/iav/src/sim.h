#pragma once
// The simulated video DSP behind "/dev/iav", "/dev/ucode" and "/dev/ambad": one provider object per
// process on the simulator core (sim/core). Its sources are split by concern: provider.cpp (nodes,
// attach, the request table, journal and faults), setup.cpp (microcode, video input and output,
// pipeline set-up), streams.cpp (encode streams, frames and the bitstream ring), image.cpp (the
// image-side requests of the ISP server; kernels.cpp those of its image-DSP library), i2c.cpp (the light sensor on "/dev/i2c-0"); the camera
// model in scene.cpp, sensor.cpp, camera.cpp, stats.cpp and render.cpp.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "camera.h"
#include "codec.h"
#include "config.h"
#include "frame_faults.h"
#include "kavo/logger/logger.h"
#include "kavo/os/device.h"
#include "kavo/os/iav.h"
#include "kavo/sim/core/faults.h"
#include "kavo/sim/core/files.h"
#include "kavo/sim/core/journal.h"
#include "kavo/sim/core/requests.h"
#include "render.h"
#include "state.h"
#include "stats.h"

namespace kavo {
namespace sim {
namespace iav {

constexpr const char* kModule = "kavo_sim";
#define SIM_LOG(level, err, ...) logInternal(kavo::sim::iav::kModule, __FILE__, __func__, __LINE__, level, err, 0, __VA_ARGS__)

// Microcode module files the simulator writes and accepts: a header, then filler.
constexpr char kFirmwareMagic[8] = {'K', 'A', 'V', 'O', '-', 'D', 'S', 'P'};
constexpr uint32_t kFirmwareSize = 8192;

enum Node : uint8_t { kIav = 1, kUcode = 2, kAmbad = 4, kI2c = 8 };

// One step of the AGC table (0.1496 dB) in the units of IAV_IOC_VIN_SRC_SET_AGC_INDEX.
constexpr int32_t kAgcStep = 2509323;
const char* nodeName(uint8_t node);
const char* stateName(uint32_t state);
int streamOrdinal(uint32_t id);

std::string stateFile();
std::string ringFile();
std::string dspFile();
std::string ucodeFile();
std::string pmFile();

// One open descriptor of a simulated node.
struct FileCtx {
  uint8_t node = kIav;
  int flags = 0;
  uint8_t* bsb = nullptr;
  uint32_t bsbLen = 0;
  uint8_t* dsp = nullptr;
  uint32_t dspLen = 0;
  uint8_t* pm = nullptr;    // privacy-mask memory mapped for the caller
  uint32_t pmLen = 0;
  uint64_t statsNext = 0;   // the next frame whose statistics this descriptor gets (0: none yet)
  int i2cAddress = -1;      // slave address of the following transfers
};

// One request in progress: the handler decodes `arg` and fills the journal line's "arg".
struct Call {
  uint32_t code;
  int fd;
  FileCtx& file;
  uintptr_t arg;
  JournalLine& line;
  bool buffered = false;  // frame reads: buffered journal line
  bool silent = false;    // a collapsed EAGAIN read: no line of its own
};

// The copy of an image-DSP library request taken when it arrives: the record and the blocks its
// pointers designate (a null pointer: no block).
struct KernelCopy {
  uint8_t record[1024];
  uint8_t blocks[20 * 1024];  // the largest request (colour correction) carries 19,712 bytes
  uint8_t* block[4];
  uint32_t blockBytes[4];
};

// FNV-1a (64 bits) of a block, as the journal gives it.
uint64_t fnv1a64(const uint8_t* bytes, size_t n);
// The image-kernel requests whose records the image-DSP library defines (its cancel excepted).
bool isLibraryKernel(uint32_t code);

template <class T>
T* argPtr(Call& c) {
  return reinterpret_cast<T*>(c.arg);
}

// A mapping the driver makes in the caller (the ring, DSP memory, privacy-mask memory): `file` mapped
// shared once per descriptor into `*at`, reported in `rec`. Negative errno on failure.
int mapForCaller(Call& c, const std::string& file, uint32_t length, int prot, uint8_t** at, uint32_t* atLen);

class Sim;
using Request = RequestRow<Sim, Call>;

class Sim : public kavo::os::DeviceProvider {
 public:
  int open(const char* node, int flags) override;
  int close(int fd) override;
  int ioctl(int fd, unsigned long request, uintptr_t arg) override;
  void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) override;
  ssize_t read(int fd, void* buf, size_t count) override;
  ssize_t write(int fd, const void* buf, size_t count) override;

  // Control API: runs `fn` with the shared state locked, attaching for the call when needed.
  template <class F>
  bool withState(F fn);
  void flushJournal() { journal_.flush(); }
  bool resetState();
  void markFaultsChanged() { faultsForce_.store(true); }

  // Handlers: DSP and microcode (setup.cpp).
  int getChipId(Call& c);
  int getState(Call& c);
  int enterIdle(Call& c);
  int ucodeVersion(Call& c);
  int ucodeInfo(Call& c);
  int ucodeUpdate(Call& c);
  int mapBsb(Call& c);
  int mapDsp(Call& c);
  // Video input and output (setup.cpp).
  int voutSinkNum(Call& c);
  int voutSinkInfo(Call& c);
  int vinSourceNum(Call& c);
  int vinSetCurrent(Call& c);
  int vinGetCurrent(Call& c);
  int vinSrcInfo(Call& c);
  int vinCheckMode(Call& c);
  int vinSetMode(Call& c);
  int vinGetMode(Call& c);
  int vinSetRate(Call& c);
  int vinVideoInfo(Call& c);
  // Pipeline set-up (setup.cpp).
  int getLimits(Call& c);
  int setLimits(Call& c);
  int getSetupInfo(Call& c);
  int setSetupInfo(Call& c);
  int setBufferTypes(Call& c);
  int setBufferFormats(Call& c);
  int getBufferFormats(Call& c);
  int enablePreview(Call& c);
  int setAudioClock(Call& c);
  // Streams and frames (streams.cpp).
  int setEncodeFormat(Call& c);
  int getH264Config(Call& c);
  int setH264Config(Call& c);
  int changeFramerate(Call& c);
  int changeGop(Call& c);
  int setBitrate(Call& c);
  int forceIdr(Call& c);
  int startEncode(Call& c);
  int stopEncode(Call& c);
  int readBitstream(Call& c);
  // Image side (image.cpp).
  int sensorValue(Call& c);
  int mirrorMode(Call& c);
  int blackLevel(Call& c);
  int wbGain(Call& c);
  int qpLimit(Call& c);
  int digitalZoom(Call& c);
  int sensorInfo(Call& c);
  int imageKernel(Call& c);
  int libraryKernel(Call& c);  // kernels.cpp
  int aaaSetup(Call& c);
  int getStatistics(Call& c);
  int privacyMask(Call& c);
  int sensorReg(Call& c);
  // ME1 luma pictures of the source buffers (me1.cpp).
  int queryMe1(Call& c);
  // The light sensor (i2c.cpp).
  int i2cAddress(Call& c);

  // Control API of iav_sim.h, under the state lock.
  Camera& camera() { return camera_; }
  uint64_t dspNow() const { return now(); }
  uint64_t currentFrame() const { return captureFrame(); }
  void refreshCamera();

 private:
  bool attachLocked();
  void detachLocked();
  bool createState(void* record);
  void lockState() { lockRobustMutex(&st_->mutex); }
  void unlockState() { pthread_mutex_unlock(&st_->mutex); }
  void refreshFaults(bool force);
  FaultAction requestFault(const char* request, uint8_t node);
  void journalHead(JournalLine& line, const char* req, int fd, uint8_t node);
  void journalResult(JournalLine& line, int rc, bool injected);
  uint64_t now() const { return st_->virtualClock ? st_->virtualNow : monoNs(); }
  uint64_t vinTime(uint64_t i) const { return st_->vinStartNs + i * st_->vinRate * 125ull / 64ull; }
  // The last input frame taken by time t (frame times are rounded down to whole ns).
  uint64_t vinIndexAt(uint64_t t) const {
    if (st_->vinRate == 0 || t < st_->vinStartNs) return 0;
    uint64_t i = (t - st_->vinStartNs) * 64ull / (st_->vinRate * 125ull);
    while (vinTime(i + 1) <= t) ++i;
    while (i > 0 && vinTime(i) > t) --i;
    return i;
  }
  uint64_t frameVin(const Stream& s, uint64_t k) const {
    return s.baseVin + k * s.fpsDen / (s.fpsNum ? s.fpsNum : 1u);
  }
  uint64_t dueFrames(const Stream& s, uint64_t vinNow) const;
  bool anyEncoding() const;
  void stopAll();
  void restartVin();
  void rebase(Stream& s);
  int produce(int ordinal, uint64_t t, const uint8_t* base, iav_bitstream_desc_t* d, JournalLine& line);
  // The input frame being captured now (0 while no input runs).
  uint64_t captureFrame() const;
  MaskView maskView(uint32_t width, uint32_t height) const;
  void lightSensorLatch();
  ssize_t i2cTransfer(int fd, bool write, uint8_t* buf, size_t count);
  bool encoderFor(int ordinal, StreamEncoder*& enc);
  FileCtx* fileOf(int fd);
  struct Me1Geometry {
    uint32_t width = 0, height = 0, pitch = 0;
    uint64_t offset = 0, slotBytes = 0;
  };
  // Where buffer `id`'s ring of pictures lies in DSP memory; false when the buffer is off or its
  // ring does not fit.
  bool me1Geometry(uint32_t id, Me1Geometry& g) const;
  void unmapMe1();

  std::mutex proc_;  // attach state, descriptor table
  bool attached_ = false;
  std::string root_;
  Config config_;
  SharedState* st_ = nullptr;
  uint8_t* ring_ = nullptr;
  uint32_t ringLen_ = 0;
  std::unordered_map<int, std::unique_ptr<FileCtx>> files_;
  Journal journal_;
  FaultsFile faults_;
  FrameFaults frameFaults_;
  FaultParseOptions faultOptions_;  // built once: the per-request look costs no allocation
  std::atomic<bool> faultsForce_{true};  // set by any thread (setFaults), taken under the state lock
  std::unique_ptr<StreamEncoder> encoders_[kStreams];
  uint32_t encoderGen_[kStreams] = {};
  Camera camera_;
  Renderer renderers_[kStreams];
  FrameView view_;          // of the picture being rendered
  uint8_t* pm_ = nullptr;   // the privacy-mask memory, read by the renderer
  uint32_t pmLen_ = 0;
  std::mutex statsMutex_;   // the statistics engine and its output, used outside the state lock
  StatisticsEngine stats_;
  Statistics statsOut_;
  iav_bitstream_desc_t lastDesc_{};
  bool haveLastDesc_ = false;
  uint64_t eagainRun_ = 0;
  // ME1 pictures this process drew: DSP memory mapped writable, one renderer per source buffer.
  static constexpr uint32_t kMe1Slots = 4;
  struct Me1Ring {
    Renderer renderer;
    std::vector<uint8_t> planes;  // I420 of one picture; the luma is copied into its slot
    uint32_t width = 0, height = 0;
    uint64_t frame[kMe1Slots] = {};  // input frame + 1 drawn into each slot (0: none)
  };
  Me1Ring me1_[4];
  FrameView me1View_;
  uint8_t* dspMem_ = nullptr;
  uint32_t dspMemLen_ = 0;
  KernelCopy kernelCopy_;  // under the state lock
};

template <class F>
bool Sim::withState(F fn) {
  std::lock_guard<std::mutex> lock(proc_);
  const bool was = attached_;
  if (!attachLocked()) return false;
  lockState();
  bool ok = fn(*st_);
  unlockState();
  if (!was) detachLocked();
  return ok;
}

}  // namespace iav
}  // namespace sim
}  // namespace kavo
