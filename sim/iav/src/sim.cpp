// The simulated video DSP behind "/dev/iav", "/dev/ucode" and "/dev/ambad".
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <string>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

#include "codec.h"
#include "config.h"
#include "faults.h"
#include "journal.h"
#include "kavo/logger/logger.h"
#include "kavo/os/device.h"
#include "kavo/os/iav.h"
#include "kavo/os/path.h"
#include "kavo/sim/iav_sim.h"
#include "state.h"

namespace kavo {
namespace sim {
namespace iav {

namespace {

constexpr const char* kModule = "kavo_sim";
constexpr char kFirmwareMagic[8] = {'K', 'A', 'V', 'O', '-', 'D', 'S', 'P'};
constexpr uint32_t kFirmwareSize = 8192;

#define SIM_LOG(level, err, ...) logInternal(kModule, __FILE__, __func__, __LINE__, level, err, 0, __VA_ARGS__)

uint64_t monoNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

void sleepUntil(uint64_t ns) {
  timespec ts;
  ts.tv_sec = static_cast<time_t>(ns / 1000000000ull);
  ts.tv_nsec = static_cast<long>(ns % 1000000000ull);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

void mkdirs(const std::string& dir) {
  std::string p;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = dir.find('/', pos + 1);
    p = dir.substr(0, pos);
    if (!p.empty()) ::mkdir(p.c_str(), 0755);
  }
}

const char* stateName(uint32_t s) {
  switch (s) {
    case IAV_STATE_IDLE:
      return "idle";
    case IAV_STATE_PREVIEW:
      return "preview";
    case IAV_STATE_ENCODING:
      return "encoding";
    case IAV_STATE_INIT:
      return "init";
    default:
      return "?";
  }
}

enum Node : uint8_t { kIav = 1, kUcode = 2, kAmbad = 4 };

const char* nodeName(uint8_t n) { return n == kUcode ? "/dev/ucode" : n == kAmbad ? "/dev/ambad" : "/dev/iav"; }

int streamOrdinal(uint32_t id) {
  switch (id) {
    case 1:
      return 0;
    case 2:
      return 1;
    case 4:
      return 2;
    case 8:
      return 3;
    default:
      return -1;
  }
}

struct FileCtx {
  uint8_t node = kIav;
  int flags = 0;
  uint8_t* bsb = nullptr;
  uint32_t bsbLen = 0;
  uint8_t* dsp = nullptr;
  uint32_t dspLen = 0;
};

class Sim;

struct Call {
  uint32_t code;
  int fd;
  FileCtx& file;
  uintptr_t arg;
  JournalLine& line;
  bool buffered = false;  // frame reads: buffered journal line
  bool silent = false;    // a collapsed EAGAIN read: no line of its own
};

using Handler = int (Sim::*)(Call&);

struct Request {
  uint32_t code;
  const char* name;
  uint8_t nodes;
  bool pointer;
  Handler handler;
};

class Sim : public kavo::os::DeviceProvider {
 public:
  int open(const char* node, int flags) override;
  int close(int fd) override;
  int ioctl(int fd, unsigned long request, uintptr_t arg) override;
  void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) override;

  // Control API: runs `fn` with the shared state locked, attaching for the call when needed.
  template <class F>
  bool withState(F fn);
  void flushJournal() { journal_.flush(); }
  bool resetState();
  void markFaultsChanged() { faultsForce_ = true; }

  // Handlers.
  int getChipId(Call& c);
  int getState(Call& c);
  int enterIdle(Call& c);
  int voutSinkNum(Call& c);
  int voutSinkInfo(Call& c);
  int ucodeVersion(Call& c);
  int ucodeInfo(Call& c);
  int ucodeUpdate(Call& c);
  int vinSourceNum(Call& c);
  int vinSetCurrent(Call& c);
  int vinGetCurrent(Call& c);
  int vinSrcInfo(Call& c);
  int vinCheckMode(Call& c);
  int vinSetMode(Call& c);
  int vinGetMode(Call& c);
  int vinSetRate(Call& c);
  int vinVideoInfo(Call& c);
  int mapBsb(Call& c);
  int mapDsp(Call& c);
  int getLimits(Call& c);
  int setLimits(Call& c);
  int getSetupInfo(Call& c);
  int setSetupInfo(Call& c);
  int setBufferTypes(Call& c);
  int setBufferFormats(Call& c);
  int getBufferFormats(Call& c);
  int setEncodeFormat(Call& c);
  int getH264Config(Call& c);
  int setH264Config(Call& c);
  int changeFramerate(Call& c);
  int changeGop(Call& c);
  int setBitrate(Call& c);
  int forceIdr(Call& c);
  int enablePreview(Call& c);
  int setAudioClock(Call& c);
  int startEncode(Call& c);
  int stopEncode(Call& c);
  int readBitstream(Call& c);
  int sensorValue(Call& c);
  int mirrorMode(Call& c);
  int blackLevel(Call& c);
  int wbGain(Call& c);
  int qpLimit(Call& c);
  int digitalZoom(Call& c);
  int imageKernel(Call& c);
  int sensorReg(Call& c);

 private:
  bool attachLocked();
  void detachLocked();
  bool createState(int fd);
  void lockState();
  void unlockState() { pthread_mutex_unlock(&st_->mutex); }
  void refreshFaults(bool force);
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
  uint64_t frameVin(const Stream& s, uint64_t k) const { return s.baseVin + k * s.fpsDen / std::max(1u, s.fpsNum); }
  uint64_t dueFrames(const Stream& s, uint64_t vinNow) const;
  bool anyEncoding() const;
  void stopAll();
  void restartVin();
  void rebase(Stream& s);
  int produce(int ordinal, uint64_t t, const uint8_t* base, iav_bitstream_desc_t* d, JournalLine& line);
  bool encoderFor(int ordinal, StreamEncoder*& enc);
  const Request* find(uint32_t code) const;
  FileCtx* fileOf(int fd);

  std::mutex proc_;  // attach state, descriptor table
  bool attached_ = false;
  std::string root_;
  std::string faultsPath_;
  int pid_ = 0;  // built once per attach: no allocation per request
  Config config_;
  SharedState* st_ = nullptr;
  uint8_t* ring_ = nullptr;
  uint32_t ringLen_ = 0;
  std::unordered_map<int, std::unique_ptr<FileCtx>> files_;
  Journal journal_;
  Faults faults_;
  uint32_t faultsGen_ = 0;
  bool faultsForce_ = true;
  std::unique_ptr<StreamEncoder> encoders_[kStreams];
  uint32_t encoderGen_[kStreams] = {};
  iav_bitstream_desc_t lastDesc_{};
  bool haveLastDesc_ = false;
  uint64_t eagainRun_ = 0;
};

#define REQ(code, nodes, ptr, fn) {code, #code, nodes, ptr, &Sim::fn}
const Request kRequests[] = {
    REQ(IAV_IOC_GET_UCODE_INFO, kUcode, true, ucodeInfo),
    REQ(IAV_IOC_GET_UCODE_VERSION, kUcode, true, ucodeVersion),
    REQ(IAV_IOC_UPDATE_UCODE, kUcode, false, ucodeUpdate),
    REQ(IAV_IOC_MAP_DSP, kIav, true, mapDsp),
    REQ(IAV_IOC_MAP_BSB, kIav, true, mapBsb),
    REQ(IAV_IOC_GET_STATE, kIav, true, getState),
    REQ(IAV_IOC_ENTER_IDLE, kIav, false, enterIdle),
    REQ(IAV_IOC_GET_CHIP_ID_EX, kIav, true, getChipId),
    REQ(IAV_IOC_SET_SYSTEM_RESOURCE_LIMIT_EX, kIav, true, setLimits),
    REQ(IAV_IOC_GET_SYSTEM_RESOURCE_LIMIT_EX, kIav, true, getLimits),
    REQ(IAV_IOC_SET_SYSTEM_SETUP_INFO_EX, kIav, true, setSetupInfo),
    REQ(IAV_IOC_GET_SYSTEM_SETUP_INFO_EX, kIav, true, getSetupInfo),
    REQ(IAV_IOC_VIN_GET_SOURCE_NUM, kIav, true, vinSourceNum),
    REQ(IAV_IOC_VIN_SET_CURRENT_SRC, kIav, true, vinSetCurrent),
    REQ(IAV_IOC_VIN_GET_CURRENT_SRC, kIav, true, vinGetCurrent),
    REQ(IAV_IOC_VIN_SRC_GET_INFO, kIav, true, vinSrcInfo),
    REQ(IAV_IOC_VIN_SRC_CHECK_VIDEO_MODE, kIav, true, vinCheckMode),
    REQ(IAV_IOC_VIN_SRC_SET_VIDEO_MODE, kIav, false, vinSetMode),
    REQ(IAV_IOC_VIN_SRC_GET_VIDEO_MODE, kIav, true, vinGetMode),
    REQ(IAV_IOC_VIN_SRC_SET_FRAME_RATE, kIav, false, vinSetRate),
    REQ(IAV_IOC_VIN_SRC_GET_VIDEO_INFO, kIav, true, vinVideoInfo),
    REQ(IAV_IOC_VIN_SRC_SET_BLC, kIav, true, blackLevel),
    REQ(IAV_IOC_VIN_SRC_SET_SHUTTER_TIME, kIav, false, sensorValue),
    REQ(IAV_IOC_VIN_SRC_GET_SHUTTER_TIME, kIav, true, sensorValue),
    REQ(IAV_IOC_VIN_SRC_SET_AGC_INDEX, kIav, false, sensorValue),
    REQ(IAV_IOC_VIN_SRC_GET_AGC_INDEX, kIav, true, sensorValue),
    REQ(IAV_IOC_VIN_SRC_SET_WB_GAIN, kIav, true, wbGain),
    REQ(IAV_IOC_VIN_SRC_SET_TRIGGER_MODE, kIav, false, sensorValue),
    REQ(IAV_IOC_VIN_SRC_SET_MIRROR_MODE, kIav, true, mirrorMode),
    REQ(IAV_IOC_VIN_SRC_GET_MIRROR_MODE, kIav, true, mirrorMode),
    REQ(IAV_IOC_VIN_SRC_SET_ANTI_FLICKER, kIav, false, sensorValue),
    REQ(IAV_IOC_ENABLE_PREVIEW, kIav, false, enablePreview),
    REQ(IAV_IOC_SET_SOURCE_BUFFER_TYPE_ALL_EX, kIav, true, setBufferTypes),
    REQ(IAV_IOC_SET_SOURCE_BUFFER_FORMAT_ALL_EX, kIav, true, setBufferFormats),
    REQ(IAV_IOC_GET_SOURCE_BUFFER_FORMAT_ALL_EX, kIav, true, getBufferFormats),
    REQ(IAV_IOC_SET_ENCODE_FORMAT_EX, kIav, true, setEncodeFormat),
    REQ(IAV_IOC_SET_DIGITAL_ZOOM_EX, kIav, true, digitalZoom),
    REQ(IAV_IOC_CHANGE_FRAMERATE_FACTOR_EX, kIav, true, changeFramerate),
    REQ(IAV_IOC_READ_BITSTREAM_EX, kIav, true, readBitstream),
    REQ(IAV_IOC_SET_BITRATE_EX, kIav, true, setBitrate),
    REQ(IAV_IOC_CHANGE_GOP_EX, kIav, true, changeGop),
    REQ(IAV_IOC_FORCE_IDR_EX, kIav, false, forceIdr),
    REQ(IAV_IOC_SET_H264_CONFIG_EX, kIav, true, setH264Config),
    REQ(IAV_IOC_GET_H264_CONFIG_EX, kIav, true, getH264Config),
    REQ(IAV_IOC_START_ENCODE_EX, kIav, false, startEncode),
    REQ(IAV_IOC_STOP_ENCODE_EX, kIav, false, stopEncode),
    REQ(IAV_IOC_SET_QP_LIMIT_EX, kIav, true, qpLimit),
    REQ(IAV_IOC_GET_QP_LIMIT_EX, kIav, true, qpLimit),
    REQ(IAV_IOC_SET_AUDIO_CLK_FREQ_EX, kIav, false, setAudioClock),
    REQ(IAV_IOC_IMG_AAA_SETUP_EX, kIav, true, imageKernel),
    REQ(IAV_IOC_IMG_NOISE_FILTER_SETUP, kIav, true, imageKernel),
    REQ(IAV_IOC_IMG_BLACK_LEVEL_GLOBAL_OFFSET, kIav, true, imageKernel),
    REQ(IAV_IOC_IMG_BAD_PIXEL_CORRECTION, kIav, true, imageKernel),
    REQ(IAV_IOC_IMG_CFA_LEAKAGE_FILTER_SETUP, kIav, true, imageKernel),
    REQ(IAV_IOC_IMG_CFA_NOISE_FILTER_SETUP, kIav, true, imageKernel),
    REQ(IAV_IOC_IMG_RGB_GAIN_ADJUST, kIav, true, imageKernel),
    REQ(IAV_IOC_IMG_VIGNETTE_COMPENSATION, kIav, true, imageKernel),
    REQ(IAV_IOC_IMG_LOCAL_EXPOSURE, kIav, true, imageKernel),
    REQ(IAV_IOC_IMG_COLOR_CORRECTION, kIav, true, imageKernel),
    REQ(IAV_IOC_IMG_RGB_TO_YUV_SETUP, kIav, true, imageKernel),
    REQ(IAV_IOC_IMG_CHROMA_SCALE, kIav, true, imageKernel),
    REQ(IAV_IOC_IMG_CHROMA_MEDIAN_FILTER_SETUP, kIav, true, imageKernel),
    REQ(IAV_IOC_IMG_LUMA_SHARPENING, kIav, true, imageKernel),
    REQ(IAV_IOC_IMG_LUMA_SHARPENING_FIR_CONFIG, kIav, true, imageKernel),
    REQ(IAV_IOC_IMG_LUMA_SHARPENING_EDGE_CONTROL, kIav, true, imageKernel),
    REQ(IAV_IOC_IMG_LUMA_SHARPENING_LEVEL_CONTROL, kIav, true, imageKernel),
    REQ(IAV_IOC_IMG_LUMA_SHARPENING_MISC, kIav, true, imageKernel),
    REQ(IAV_IOC_IMG_MCTF_MV_STABILIZER_SETUP, kIav, true, imageKernel),
    REQ(IAV_IOC_IMG_DSP_CANCEL, kIav, false, imageKernel),
    REQ(IAV_IOC_GET_SENSOR_REG, kAmbad, true, sensorReg),
    REQ(IAV_IOC_SET_SENSOR_REG, kAmbad, true, sensorReg),
    REQ(IAV_IOC_VOUT_GET_SINK_INFO, kIav, true, voutSinkInfo),
    REQ(IAV_IOC_VOUT_GET_SINK_NUM, kIav, true, voutSinkNum),
};
#undef REQ

template <class T>
T* argPtr(Call& c) {
  return reinterpret_cast<T*>(c.arg);
}

}  // namespace

// ---- files and attach ---------------------------------------------------------------------------

std::string configFile() { return kavo::os::path("/etc/kavo_sim/iav.json"); }
std::string runDir() { return kavo::os::path("/tmp/kavo_sim"); }
std::string journalFile() { return runDir() + "/iav.journal"; }
std::string faultsFile() { return runDir() + "/iav.faults"; }

namespace {

std::string stateFile() { return runDir() + "/iav.state"; }
std::string ringFile() { return runDir() + "/iav.bsb"; }
std::string dspFile() { return runDir() + "/iav.dsp"; }
std::string ucodeFile() { return runDir() + "/ucode.region"; }

bool sizeFile(const std::string& file, uint32_t size) {
  int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = ::ftruncate(fd, size) == 0;
  ::close(fd);
  return ok;
}

void installFirmware(const Config& c) {
  const std::string dir = kavo::os::path(c.firmwareDir);
  mkdirs(dir);
  for (size_t i = 0; i < c.modules.size(); ++i) {
    std::string file = dir + (dir.empty() || dir.back() == '/' ? "" : "/") + c.modules[i].name;
    if (::access(file.c_str(), F_OK) == 0) continue;
    std::string body(kFirmwareSize, '\0');
    std::memcpy(&body[0], kFirmwareMagic, sizeof kFirmwareMagic);
    const uint32_t index = static_cast<uint32_t>(i), size = kFirmwareSize;
    std::memcpy(&body[8], &index, 4);
    std::memcpy(&body[12], &size, 4);
    for (size_t k = 16; k < body.size(); ++k) body[k] = static_cast<char>((k * 31 + i) & 0xff);
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) continue;
    ssize_t n = ::write(fd, body.data(), body.size());
    (void)n;
    ::close(fd);
  }
}

}  // namespace

bool Sim::createState(int fd) {
  if (::ftruncate(fd, 0) != 0 || ::ftruncate(fd, sizeof(SharedState)) != 0) return false;
  void* m = ::mmap(nullptr, sizeof(SharedState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (m == MAP_FAILED) return false;
  auto* s = static_cast<SharedState*>(m);
  std::memset(s, 0, sizeof *s);
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  pthread_mutex_init(&s->mutex, &attr);
  pthread_mutexattr_destroy(&attr);

  const Config& c = config_;
  s->chipId = c.chipId;
  s->ucodeRunning = c.ucodeRunning ? 1 : 0;
  s->dspState = c.ucodeRunning ? IAV_STATE_IDLE : IAV_STATE_INIT;
  s->bootVersion = c.version;
  s->ucodeLayout.map_size = c.ucodeRegionSize;
  s->ucodeLayout.nr_item = static_cast<uint32_t>(c.modules.size());
  for (size_t i = 0; i < c.modules.size() && i < 4; ++i) {
    s->ucodeLayout.items[i].offset = c.modules[i].offset;
    std::strncpy(s->ucodeLayout.items[i].filename, c.modules[i].name.c_str(),
                 sizeof s->ucodeLayout.items[i].filename - 1);
  }
  s->sourceCount = static_cast<uint32_t>(std::min<size_t>(c.sources.size(), kMaxSources));
  for (uint32_t i = 0; i < s->sourceCount; ++i) s->sources[i] = c.sources[i];
  s->vinSource = -1;
  s->sinkCount = static_cast<uint32_t>(std::min<size_t>(c.sinks.size(), kMaxSinks));
  for (uint32_t i = 0; i < s->sinkCount; ++i) s->sinks[i] = c.sinks[i];
  for (int k = 0; k < kStreams; ++k) {
    Stream& t = s->streams[k];
    t.fpsNum = t.fpsDen = 1;
    t.gopN = 30;
    t.idrInterval = 1;
    t.h264.id = 1u << k;
    t.h264.M = 1;
    t.h264.N = 30;
    t.h264.idr_interval = 1;
    t.h264.entropy_codec = 1;
    t.h264.deblocking_filter_enable = 1;
    t.h264.qp_min_on_I = t.h264.qp_min_on_P = t.h264.qp_min_on_B = 1;
    t.h264.qp_max_on_I = t.h264.qp_max_on_P = t.h264.qp_max_on_B = 51;
    t.bitrate = iav_bitrate_ex_t{1u << k, IAV_VBR, 1000000, 16384, 2000000};
    s->qp[k].id = 1u << k;
    s->qp[k].qp_min_on_I = s->qp[k].qp_min_on_P = s->qp[k].qp_min_on_B = 1;
    s->qp[k].qp_max_on_I = s->qp[k].qp_max_on_P = s->qp[k].qp_max_on_B = 51;
  }
  s->limits.max_num_encode_streams = 4;
  s->limits.max_num_cap_sources = 4;
  s->ringSize = c.ringSize;
  s->queueLimit = c.queueLimit;
  s->dspMemSize = c.dspMemSize;
  s->virtualClock = c.virtualClock ? 1 : 0;
  s->autoAdvance = c.autoAdvance ? 1 : 0;
  s->virtualNow = monoNs();
  s->zoom.zoom_factor_x = s->zoom.zoom_factor_y = 0x10000;

  bool ok = sizeFile(ringFile(), c.ringSize) && sizeFile(dspFile(), c.dspMemSize) &&
            sizeFile(ucodeFile(), c.ucodeRegionSize);
  if (c.installFirmware) installFirmware(c);
  s->size = sizeof(SharedState);
  s->version = kStateVersion;
  __atomic_store_n(&s->magic, ok ? kStateMagic : 0u, __ATOMIC_RELEASE);
  ::munmap(m, sizeof(SharedState));
  return ok;
}

bool Sim::attachLocked() {
  if (attached_) return true;
  root_ = kavo::os::root();
  std::string error;
  if (!loadConfig(configFile(), config_, error))
    SIM_LOG(LOG_LEVEL_ERROR, 0, "iav simulator: configuration %s ignored: %s", configFile().c_str(), error.c_str());
  mkdirs(runDir());
  int fd = ::open(stateFile().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    SIM_LOG(LOG_LEVEL_ERROR, errno, "iav simulator: cannot open %s", stateFile().c_str());
    return false;
  }
  ::flock(fd, LOCK_EX);
  struct stat sb;
  bool fresh = ::fstat(fd, &sb) != 0 || static_cast<size_t>(sb.st_size) != sizeof(SharedState);
  if (!fresh) {
    SharedState head;
    fresh = ::pread(fd, &head, sizeof head.magic + sizeof head.version, 0) !=
                static_cast<ssize_t>(sizeof head.magic + sizeof head.version) ||
            head.magic != kStateMagic || head.version != kStateVersion;
  }
  if (fresh && !createState(fd)) {
    SIM_LOG(LOG_LEVEL_ERROR, errno, "iav simulator: cannot create the DSP state under %s", runDir().c_str());
    ::flock(fd, LOCK_UN);
    ::close(fd);
    return false;
  }
  void* m = ::mmap(nullptr, sizeof(SharedState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ::flock(fd, LOCK_UN);
  ::close(fd);
  if (m == MAP_FAILED) {
    SIM_LOG(LOG_LEVEL_ERROR, errno, "iav simulator: cannot map the DSP state");
    return false;
  }
  st_ = static_cast<SharedState*>(m);
  int rfd = ::open(ringFile().c_str(), O_RDWR | O_CLOEXEC);
  void* r = rfd < 0 ? MAP_FAILED : ::mmap(nullptr, st_->ringSize, PROT_READ | PROT_WRITE, MAP_SHARED, rfd, 0);
  if (rfd >= 0) ::close(rfd);
  if (r == MAP_FAILED) {
    SIM_LOG(LOG_LEVEL_ERROR, errno, "iav simulator: cannot map the bitstream ring");
    ::munmap(st_, sizeof(SharedState));
    st_ = nullptr;
    return false;
  }
  ring_ = static_cast<uint8_t*>(r);
  ringLen_ = st_->ringSize;
  if (config_.journal) journal_.open(journalFile());
  faultsPath_ = faultsFile();
  pid_ = ::getpid();
  faultsForce_ = true;
  faultsGen_ = st_->faultsGen;
  haveLastDesc_ = false;
  eagainRun_ = 0;
  attached_ = true;
  return true;
}

void Sim::detachLocked() {
  if (!attached_) return;
  journal_.close();
  for (auto& e : encoders_) e.reset();
  for (auto& g : encoderGen_) g = 0;
  faults_.clear();
  ::munmap(ring_, ringLen_);
  ::munmap(st_, sizeof(SharedState));
  ring_ = nullptr;
  st_ = nullptr;
  attached_ = false;
}

void Sim::lockState() {
  int r = pthread_mutex_lock(&st_->mutex);
  if (r == EOWNERDEAD) pthread_mutex_consistent(&st_->mutex);  // the holder died; the record is plain data
}

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

bool Sim::resetState() {
  std::lock_guard<std::mutex> lock(proc_);
  if (!files_.empty()) return false;
  detachLocked();
  for (const auto& f : {stateFile(), ringFile(), dspFile(), ucodeFile()}) ::unlink(f.c_str());
  return true;
}

FileCtx* Sim::fileOf(int fd) {
  std::lock_guard<std::mutex> lock(proc_);
  auto it = files_.find(fd);
  return it == files_.end() ? nullptr : it->second.get();
}

void Sim::refreshFaults(bool force) {
  const bool genChanged = st_->faultsGen != faultsGen_;
  if (!force && !genChanged && !faultsForce_) {
    std::string error;
    if (faults_.refresh(faultsPath_, false, error) && !error.empty())
      SIM_LOG(LOG_LEVEL_ERROR, 0, "iav simulator: faults file %s ignored: %s", faultsFile().c_str(), error.c_str());
    return;
  }
  faultsGen_ = st_->faultsGen;
  faultsForce_ = false;
  std::string error;
  if (faults_.refresh(faultsPath_, true, error) && !error.empty())
    SIM_LOG(LOG_LEVEL_ERROR, 0, "iav simulator: faults file %s ignored: %s", faultsFile().c_str(), error.c_str());
}

// ---- journal ------------------------------------------------------------------------------------

void Sim::journalHead(JournalLine& line, const char* req, int fd, uint8_t node) {
  if (line.muted()) return;
  line.unum("seq", ++st_->journalSeq).unum("t", now()).num("pid", pid_).str("node", nodeName(node));
  line.num("fd", fd).str("req", req);
}

void Sim::journalResult(JournalLine& line, int rc, bool injected) {
  line.str("state", stateName(st_->dspState)).num("rc", rc < 0 ? -1 : rc);
  if (rc < 0) line.num("errno", -rc).str("error", errnoName(-rc));
  if (injected) line.boolean("fault", true);
}

// ---- provider -----------------------------------------------------------------------------------

int Sim::open(const char* node, int flags) {
  uint8_t kind = 0;
  if (std::strcmp(node, "/dev/iav") == 0) kind = kIav;
  if (std::strcmp(node, "/dev/ucode") == 0) kind = kUcode;
  if (std::strcmp(node, "/dev/ambad") == 0) kind = kAmbad;
  if (kind == 0) {
    errno = ENODEV;
    return -1;
  }
  std::lock_guard<std::mutex> lock(proc_);
  if (attached_ && files_.empty() && kavo::os::root() != root_) detachLocked();  // a new test root
  if (!attachLocked()) {
    errno = ENODEV;
    return -1;
  }
  for (const auto& a : config_.absent)
    if (a == node) {
      if (files_.empty()) detachLocked();
      errno = ENOENT;
      return -1;
    }
  lockState();
  refreshFaults(false);
  int injected = faults_.onRequest("open", node);
  int fd = -1, err = injected;
  if (!injected) {
    const std::string backing = kind == kUcode ? ucodeFile() : stateFile();
    const int acc = kind == kUcode ? (flags & O_ACCMODE) : O_RDONLY;
    fd = ::open(backing.c_str(), acc | O_CLOEXEC);
    if (fd < 0) err = errno;
  }
  JournalLine line;
  journalHead(line, "open", fd, kind);
  line.str("flags", (flags & O_ACCMODE) == O_RDWR ? "O_RDWR" : (flags & O_ACCMODE) == O_WRONLY ? "O_WRONLY" : "O_RDONLY");
  journalResult(line, fd < 0 ? -err : fd, injected != 0);
  unlockState();
  journal_.write(line, false);
  if (fd < 0) {
    if (files_.empty()) detachLocked();
    errno = err;
    return -1;
  }
  auto ctx = std::make_unique<FileCtx>();
  ctx->node = kind;
  ctx->flags = flags;
  files_[fd] = std::move(ctx);
  return fd;
}

int Sim::close(int fd) {
  std::lock_guard<std::mutex> lock(proc_);
  auto it = files_.find(fd);
  if (it == files_.end()) return ::close(fd);
  FileCtx& f = *it->second;
  if (f.bsb) ::munmap(f.bsb, f.bsbLen);
  if (f.dsp) ::munmap(f.dsp, f.dspLen);
  if (attached_) {
    JournalLine line;
    lockState();
    journalHead(line, "close", fd, f.node);
    journalResult(line, 0, false);
    unlockState();
    journal_.write(line, false);
  }
  files_.erase(it);
  int rc = ::close(fd);
  if (files_.empty()) detachLocked();
  return rc;
}

void* Sim::mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
  FileCtx* f = fileOf(fd);
  if (f == nullptr) {
    errno = EBADF;
    return MAP_FAILED;
  }
  int err = 0;
  void* m = MAP_FAILED;
  {
    std::lock_guard<std::mutex> lock(proc_);
    lockState();
    err = faults_.onRequest("mmap", nodeName(f->node));
    const bool injected = err != 0;
    if (!err && f->node != kUcode) err = ENODEV;
    if (!err && (offset < 0 || static_cast<uint64_t>(offset) + length > st_->ucodeLayout.map_size || length == 0))
      err = EINVAL;
    if (!err) {
      m = ::mmap(addr, length, prot, flags, fd, offset);
      if (m == MAP_FAILED) err = errno;
    }
    JournalLine line;
    journalHead(line, "mmap", fd, f->node);
    line.object("arg").unum("length", length).num("prot", prot).num("offset", offset).close();
    journalResult(line, err ? -err : 0, injected);
    unlockState();
    journal_.write(line, false);
  }
  if (err) errno = err;
  return m;
}

const Request* Sim::find(uint32_t code) const {
  for (const auto& r : kRequests)
    if (r.code == code) return &r;
  return nullptr;
}

int Sim::ioctl(int fd, unsigned long request, uintptr_t arg) {
  FileCtx* f = fileOf(fd);
  if (f == nullptr) {
    errno = EBADF;
    return -1;
  }
  const uint32_t code = static_cast<uint32_t>(request);
  // Frame reads come first: they are the one request made per frame.
  static const Request* const kRead = [] {
    for (const auto& r : kRequests)
      if (r.code == IAV_IOC_READ_BITSTREAM_EX) return &r;
    return static_cast<const Request*>(nullptr);
  }();
  const Request* r = code == IAV_IOC_READ_BITSTREAM_EX ? kRead : find(code);
  JournalLine line;
  if (r == kRead && !config_.journalFrames) line.mute();
  Call call{code, fd, *f, arg, line};
  int rc = 0;
  bool injected = false;
  lockState();
  refreshFaults(false);
  if (r == nullptr || (static_cast<uint64_t>(request) >> 32) != 0 || !(r->nodes & f->node)) {
    journalHead(line, r ? r->name : "unknown", fd, f->node);
    line.hex("code", request).num("dir", iavIocDir(code)).num("size", iavIocSize(code));
    char type[2] = {iavIocType(code), 0};
    line.str("type", type).num("nr", iavIocNr(code));
    rc = -ENOTTY;
    journalResult(line, rc, false);
    unlockState();
    journal_.write(line, false);
    SIM_LOG(LOG_LEVEL_WARNING, ENOTTY, "iav simulator: %s request 0x%08lx (dir %u, type '%c', nr 0x%02x, size %u) on %s",
            r ? "misplaced" : "unknown", request, iavIocDir(code), iavIocType(code) ? iavIocType(code) : '?',
            iavIocNr(code), iavIocSize(code), nodeName(f->node));
    errno = ENOTTY;
    return -1;
  }
  journalHead(line, r->name, fd, f->node);
  if (int e = faults_.onRequest(r->name, nodeName(f->node))) {
    rc = -e;
    injected = true;
  } else if (r->pointer && arg == 0) {
    rc = -EFAULT;
  } else {
    rc = (this->*(r->handler))(call);
  }
  if (call.silent) {
    unlockState();
    errno = -rc;
    return -1;
  }
  journalResult(line, rc, injected);
  const uint64_t run = eagainRun_;
  eagainRun_ = 0;
  unlockState();
  if (run > 0) {
    JournalLine again;
    again.str("req", "IAV_IOC_READ_BITSTREAM_EX").num("pid", ::getpid()).num("fd", fd).num("errno", EAGAIN);
    again.str("error", "EAGAIN").unum("count", run);
    journal_.write(again, true);
  }
  if (!call.buffered || config_.journalFrames) journal_.write(line, call.buffered);
  if (rc < 0) {
    errno = -rc;
    return -1;
  }
  return rc;
}

// ---- DSP and microcode --------------------------------------------------------------------------

int Sim::getChipId(Call& c) {
  *argPtr<int32_t>(c) = st_->chipId;
  c.line.object("arg").num("chipId", st_->chipId).close();
  return 0;
}

int Sim::getState(Call& c) {
  *argPtr<uint32_t>(c) = st_->dspState;
  c.line.object("arg").unum("state", st_->dspState).close();
  return 0;
}

void Sim::stopAll() {
  for (auto& s : st_->streams) s.encoding = 0;
}

int Sim::enterIdle(Call& c) {
  c.line.object("arg").unum("value", c.arg).close();
  if (!st_->ucodeRunning) return -EPERM;
  stopAll();
  st_->dspState = IAV_STATE_IDLE;
  return 0;
}

int Sim::voutSinkNum(Call& c) {
  *argPtr<int32_t>(c) = static_cast<int32_t>(st_->sinkCount);
  c.line.object("arg").unum("count", st_->sinkCount).close();
  return 0;
}

int Sim::voutSinkInfo(Call& c) {
  auto* rec = argPtr<iav_vout_sink_info_t>(c);
  const int32_t id = rec->id;
  c.line.object("arg").num("id", id);
  if (id < 0 || static_cast<uint32_t>(id) >= st_->sinkCount) {
    c.line.close();
    return -EINVAL;
  }
  const Sink& k = st_->sinks[id];
  std::memset(rec, 0, sizeof *rec);
  rec->id = id;
  rec->source_id = k.sourceId;
  std::memcpy(rec->name, k.name, sizeof rec->name);
  rec->name[sizeof rec->name - 1] = 0;
  rec->sink_type = k.type;
  rec->state = k.state;
  c.line.str("name", rec->name).num("type", k.type).close();
  return 0;
}

int Sim::ucodeVersion(Call& c) {
  auto* v = argPtr<iav_ucode_version_t>(c);
  if (st_->ucodeRunning)
    *v = st_->bootVersion;
  else
    std::memset(v, 0, sizeof *v);
  c.line.object("arg").unum("major", v->major_version).unum("minor", v->minor_version).close();
  return 0;
}

int Sim::ucodeInfo(Call& c) {
  *argPtr<iav_ucode_load_info_t>(c) = st_->ucodeLayout;
  c.line.object("arg").unum("mapSize", st_->ucodeLayout.map_size).unum("modules", st_->ucodeLayout.nr_item).close();
  return 0;
}

int Sim::ucodeUpdate(Call& c) {
  c.line.object("arg").unum("value", c.arg);
  if (anyEncoding()) {
    c.line.close();
    return -EBUSY;
  }
  // The DSP boots only when every module carries its header at its offset.
  bool good = st_->ucodeLayout.nr_item > 0;
  for (uint32_t i = 0; i < st_->ucodeLayout.nr_item && i < 4; ++i) {
    unsigned char head[16] = {};
    uint32_t index = ~0u;
    if (::pread(c.fd, head, sizeof head, st_->ucodeLayout.items[i].offset) != static_cast<ssize_t>(sizeof head) ||
        std::memcmp(head, kFirmwareMagic, sizeof kFirmwareMagic) != 0)
      good = false;
    std::memcpy(&index, head + 8, 4);
    if (index != i) good = false;
  }
  c.line.boolean("booted", good).close();
  st_->ucodeRunning = good ? 1 : 0;
  stopAll();
  st_->dspState = good ? IAV_STATE_IDLE : IAV_STATE_INIT;
  return 0;
}

int Sim::mapBsb(Call& c) {
  auto* rec = argPtr<iav_mmap_info_t>(c);
  if (c.file.bsb == nullptr) {
    int fd = ::open(ringFile().c_str(), O_RDONLY | O_CLOEXEC);
    void* m = fd < 0 ? MAP_FAILED : ::mmap(nullptr, ringLen_, PROT_READ, MAP_SHARED, fd, 0);
    if (fd >= 0) ::close(fd);
    if (m == MAP_FAILED) return -ENOMEM;
    c.file.bsb = static_cast<uint8_t*>(m);
    c.file.bsbLen = ringLen_;
  }
  rec->addr = c.file.bsb;
  rec->length = c.file.bsbLen;
  c.line.object("arg").unum("length", rec->length).close();
  return 0;
}

int Sim::mapDsp(Call& c) {
  auto* rec = argPtr<iav_mmap_info_t>(c);
  if (c.file.dsp == nullptr) {
    int fd = ::open(dspFile().c_str(), O_RDONLY | O_CLOEXEC);
    void* m = fd < 0 ? MAP_FAILED : ::mmap(nullptr, st_->dspMemSize, PROT_READ, MAP_SHARED, fd, 0);
    if (fd >= 0) ::close(fd);
    if (m == MAP_FAILED) return -ENOMEM;
    c.file.dsp = static_cast<uint8_t*>(m);
    c.file.dspLen = st_->dspMemSize;
  }
  rec->addr = c.file.dsp;
  rec->length = c.file.dspLen;
  c.line.object("arg").unum("length", rec->length).close();
  return 0;
}

// ---- video input and output ---------------------------------------------------------------------

int Sim::vinSourceNum(Call& c) {
  *argPtr<int32_t>(c) = static_cast<int32_t>(st_->sourceCount);
  c.line.object("arg").unum("count", st_->sourceCount).close();
  return 0;
}

int Sim::vinSetCurrent(Call& c) {
  const int32_t id = *argPtr<int32_t>(c);
  c.line.object("arg").num("source", id).close();
  if (id < 0 || static_cast<uint32_t>(id) >= st_->sourceCount) return -EINVAL;
  st_->currentSource = id;
  return 0;
}

int Sim::vinGetCurrent(Call& c) {
  *argPtr<int32_t>(c) = st_->currentSource;
  c.line.object("arg").num("source", st_->currentSource).close();
  return 0;
}

int Sim::vinSrcInfo(Call& c) {
  const VinSource& s = st_->sources[st_->currentSource];
  auto* rec = argPtr<iav_vin_source_info_t>(c);
  std::memset(rec, 0, sizeof *rec);
  rec->id = s.id;
  rec->adapter_id = s.adapterId;
  rec->dev_type = s.devType;
  std::memcpy(rec->name, s.name, sizeof rec->name);
  rec->name[sizeof rec->name - 1] = 0;
  rec->sensor_id = s.sensorId;
  rec->default_mode = s.defaultMode;
  rec->total_channel_num = s.channels;
  rec->active_channel_id = s.activeChannel;
  c.line.object("arg").num("source", st_->currentSource).str("name", rec->name).hex("defaultMode", s.defaultMode).close();
  return 0;
}

namespace {
const VinMode* findMode(const VinSource& s, uint32_t mode) {
  for (uint32_t i = 0; i < s.modeCount; ++i)
    if ((s.modes[i].mode & 0xffffu) == (mode & 0xffffu)) return &s.modes[i];
  return nullptr;
}
}  // namespace

int Sim::vinCheckMode(Call& c) {
  auto* rec = argPtr<amba_vin_source_mode_info>(c);
  const uint32_t mode = rec->mode;
  const VinMode* m = findMode(st_->sources[st_->currentSource], mode);
  c.line.object("arg").hex("mode", mode).boolean("supported", m != nullptr);
  if (m == nullptr) {
    rec->is_supported = 0;
    c.line.close();
    return 0;
  }
  rec->width = m->width;
  rec->height = m->height;
  rec->frame_rate = m->rates[0];
  rec->is_supported = 1;
  if (rec->fps_table != nullptr && rec->fps_table_size > 0) {
    const uint32_t n = std::min(m->rateCount, rec->fps_table_size - 1);
    for (uint32_t i = 0; i < n; ++i) rec->fps_table[i] = m->rates[i];
    rec->fps_table[n] = 0;
  }
  c.line.unum("width", m->width).unum("height", m->height).unum("frameRate", m->rates[0]).close();
  return 0;
}

void Sim::restartVin() {
  // A new input timing: the preview pipeline has to be enabled again.
  st_->vinStartNs = now();
  if (st_->dspState == IAV_STATE_PREVIEW) st_->dspState = IAV_STATE_IDLE;
}

int Sim::vinSetMode(Call& c) {
  const uint32_t mode = static_cast<uint32_t>(c.arg);
  c.line.object("arg").hex("mode", mode).close();
  if (st_->dspState == IAV_STATE_INIT) return -EPERM;
  if (anyEncoding()) return -EBUSY;
  const VinMode* m = findMode(st_->sources[st_->currentSource], mode);
  if (m == nullptr) return -EINVAL;
  st_->vinSource = st_->currentSource;
  st_->vinMode = m->mode;
  st_->vinWidth = m->width;
  st_->vinHeight = m->height;
  st_->vinRate = m->rates[0];
  st_->vinRateSet = 0;
  restartVin();
  return 0;
}

int Sim::vinGetMode(Call& c) {
  *argPtr<uint32_t>(c) = st_->vinMode;
  c.line.object("arg").hex("mode", st_->vinMode).close();
  return 0;
}

int Sim::vinSetRate(Call& c) {
  const uint32_t rate = static_cast<uint32_t>(c.arg);
  c.line.object("arg").unum("frameRate", rate).close();
  if (st_->dspState == IAV_STATE_INIT || st_->vinSource < 0) return -EPERM;
  if (anyEncoding()) return -EBUSY;
  const VinMode* m = findMode(st_->sources[st_->vinSource], st_->vinMode);
  bool known = false;
  for (uint32_t i = 0; m && i < m->rateCount; ++i) known |= m->rates[i] == rate;
  if (!known) return -EINVAL;
  st_->vinRate = rate;
  st_->vinRateSet = 1;
  restartVin();
  return 0;
}

int Sim::vinVideoInfo(Call& c) {
  auto* rec = argPtr<iav_vin_video_info_t>(c);
  std::memset(rec, 0, sizeof *rec);
  rec->width = st_->vinWidth;
  rec->height = st_->vinHeight;
  rec->frame_rate = st_->vinRate;
  rec->mode = st_->vinMode;
  c.line.object("arg").unum("width", rec->width).unum("height", rec->height).unum("frameRate", rec->frame_rate).close();
  return 0;
}

// ---- pipeline set-up ----------------------------------------------------------------------------

int Sim::getLimits(Call& c) {
  *argPtr<iav_system_resource_setup_ex_s>(c) = st_->limits;
  c.line.object("arg").close();
  return 0;
}

int Sim::setLimits(Call& c) {
  const auto& l = *argPtr<iav_system_resource_setup_ex_s>(c);
  c.line.object("arg")
      .unum("mainWidth", l.main_source_buffer_max_width)
      .unum("mainHeight", l.main_source_buffer_max_height)
      .unum("maxStreams", l.max_num_encode_streams)
      .unum("gopM0", l.stream_max_GOP_M[0])
      .close();
  if (st_->dspState != IAV_STATE_IDLE) return -EPERM;
  if (l.max_num_encode_streams == 0 || l.max_num_encode_streams > kStreams) return -EINVAL;
  for (int k = 0; k < 8; ++k)
    if (l.stream_max_GOP_M[k] > 3) return -EINVAL;
  st_->limits = l;
  st_->limitsSet = 1;
  return 0;
}

int Sim::getSetupInfo(Call& c) {
  *argPtr<iav_system_setup_info_ex_t>(c) = st_->setupInfo;
  c.line.object("arg").close();
  return 0;
}

int Sim::setSetupInfo(Call& c) {
  const auto& s = *argPtr<iav_system_setup_info_ex_t>(c);
  c.line.object("arg").unum("field0", s.field0).unum("field2", s.field2).unum("field4", s.field4).close();
  if (st_->dspState != IAV_STATE_IDLE) return -EPERM;
  st_->setupInfo = s;
  return 0;
}

int Sim::setBufferTypes(Call& c) {
  const auto& t = *argPtr<iav_source_buffer_type_all_ex_t>(c);
  c.line.object("arg")
      .unum("main", t.main_buffer_type)
      .unum("second", t.second_buffer_type)
      .unum("third", t.third_buffer_type)
      .unum("fourth", t.fourth_buffer_type)
      .close();
  if (st_->dspState != IAV_STATE_IDLE) return -EPERM;
  for (uint32_t v : {t.main_buffer_type, t.second_buffer_type, t.third_buffer_type, t.fourth_buffer_type})
    if (v > 1) return -EINVAL;
  if (t.main_buffer_type != 1) return -EINVAL;
  st_->bufferTypes = t;
  return 0;
}

int Sim::setBufferFormats(Call& c) {
  const auto& f = *argPtr<iav_source_buffer_format_all_ex_t>(c);
  c.line.object("arg").unum("mainWidth", f.main_width).unum("mainHeight", f.main_height);
  c.line.unum("secondWidth", f.second.width).unum("secondHeight", f.second.height).close();
  if (st_->dspState != IAV_STATE_IDLE) return -EPERM;
  if (st_->vinSource < 0) return -EPERM;
  if (f.main_width == 0 || f.main_height == 0 || f.main_width > st_->vinWidth || f.main_height > st_->vinHeight)
    return -EINVAL;
  const auto& l = st_->limits;
  if (st_->limitsSet && (f.main_width > l.main_source_buffer_max_width || f.main_height > l.main_source_buffer_max_height))
    return -EINVAL;
  const iav_sub_buffer_format_t* subs[3] = {&f.second, &f.third, &f.fourth};
  const uint32_t used[3] = {st_->bufferTypes.second_buffer_type, st_->bufferTypes.third_buffer_type,
                            st_->bufferTypes.fourth_buffer_type};
  const uint16_t maxW[3] = {l.second_source_buffer_max_width, l.third_source_buffer_max_width,
                            l.fourth_source_buffer_max_width};
  const uint16_t maxH[3] = {l.second_source_buffer_max_height, l.third_source_buffer_max_height,
                            l.fourth_source_buffer_max_height};
  for (int k = 0; k < 3; ++k) {
    if (!used[k]) continue;
    const auto& s = *subs[k];
    if (s.width == 0 || s.height == 0 || s.input_width == 0 || s.input_height == 0) return -EINVAL;
    if (s.input_width > f.main_width || s.input_height > f.main_height) return -EINVAL;
    if (st_->limitsSet && (s.width > maxW[k] || s.height > maxH[k])) return -EINVAL;
  }
  st_->bufferFormats = f;
  st_->buffersSet = 1;
  return 0;
}

int Sim::getBufferFormats(Call& c) {
  *argPtr<iav_source_buffer_format_all_ex_t>(c) = st_->bufferFormats;
  c.line.object("arg").close();
  return 0;
}

int Sim::setEncodeFormat(Call& c) {
  const auto& e = *argPtr<iav_encode_format_ex_t>(c);
  c.line.object("arg")
      .unum("id", e.id)
      .unum("type", e.encode_type)
      .unum("source", e.source)
      .unum("width", e.encode_width)
      .unum("height", e.encode_height)
      .close();
  const int k = streamOrdinal(e.id);
  if (k < 0 || (e.encode_type != IAV_ENCODE_H264 && e.encode_type != IAV_ENCODE_MJPEG) || e.source > 3)
    return -EINVAL;
  if (st_->dspState == IAV_STATE_INIT) return -EPERM;
  Stream& s = st_->streams[k];
  if (s.encoding) return -EBUSY;
  if (!st_->buffersSet) return -EPERM;
  const uint32_t types[4] = {st_->bufferTypes.main_buffer_type, st_->bufferTypes.second_buffer_type,
                             st_->bufferTypes.third_buffer_type, st_->bufferTypes.fourth_buffer_type};
  if (!types[e.source]) return -EINVAL;
  const auto& f = st_->bufferFormats;
  const uint16_t bufW[4] = {f.main_width, f.second.width, f.third.width, f.fourth.width};
  const uint16_t bufH[4] = {f.main_height, f.second.height, f.third.height, f.fourth.height};
  if (e.encode_width == 0 || e.encode_height == 0 || (e.encode_width & 1) || (e.encode_height & 1)) return -EINVAL;
  if (e.encode_x + e.encode_width > bufW[e.source] || e.encode_y + e.encode_height > bufH[e.source]) return -EINVAL;
  const auto& l = st_->limits.stream_max_encode_size[k];
  if (st_->limitsSet && (e.encode_width > l.width || e.encode_height > l.height)) return -EINVAL;
  s.formatSet = 1;
  s.type = e.encode_type;
  s.source = e.source;
  s.width = e.encode_width;
  s.height = e.encode_height;
  s.h264.pic_info.width = e.encode_width;
  s.h264.pic_info.height = e.encode_height;
  ++s.configGen;
  return 0;
}

int Sim::getH264Config(Call& c) {
  auto* rec = argPtr<iav_h264_config_ex_s>(c);
  const int k = streamOrdinal(rec->id);
  c.line.object("arg").unum("id", rec->id);
  if (k < 0) {
    c.line.close();
    return -EINVAL;
  }
  const Stream& s = st_->streams[k];
  *rec = s.h264;
  rec->id = 1u << k;
  rec->average_bitrate = s.bitrate.cbr_avg_bitrate;
  c.line.unum("M", rec->M).unum("N", rec->N).close();
  return 0;
}

int Sim::setH264Config(Call& c) {
  const auto& h = *argPtr<iav_h264_config_ex_s>(c);
  const int k = streamOrdinal(h.id);
  const auto* raw = reinterpret_cast<const uint8_t*>(&h);
  c.line.object("arg").unum("id", h.id).unum("M", h.M).unum("N", h.N).unum("idrInterval", h.idr_interval);
  c.line.unum("gopModel", h.gop_model).unum("flags", raw[IAV_H264_CONFIG_FLAG_BYTE]).unum("auType", h.au_type).close();
  if (k < 0) return -EINVAL;
  if (st_->dspState == IAV_STATE_INIT) return -EPERM;
  Stream& s = st_->streams[k];
  if (s.encoding) return -EBUSY;
  if (s.formatSet && s.type != IAV_ENCODE_H264) return -EINVAL;
  const uint32_t maxM = st_->limitsSet ? st_->limits.stream_max_GOP_M[k] : 3;
  const uint32_t maxN = st_->limitsSet && st_->limits.stream_max_GOP_N[k] ? st_->limits.stream_max_GOP_N[k] : 255;
  if (h.M == 0 || h.M > std::max(1u, maxM) || h.N == 0 || h.N > maxN || h.gop_model > 7) return -EINVAL;
  s.h264 = h;
  s.h264.id = 1u << k;
  s.gopN = h.N;
  s.idrInterval = std::max<uint32_t>(1, h.idr_interval);
  ++s.configGen;
  return 0;
}

void Sim::rebase(Stream& s) {
  // A new rate starts from the input frame after the last one taken, and never from one that is
  // older than the last picture handed out (of any stream): its time would repeat that one.
  if (s.taken > 0) s.baseVin = s.lastVin + 1;
  const uint64_t offset = static_cast<uint64_t>(&s - st_->streams) * 1000ull;  // as produce() adds
  if (vinTime(s.baseVin) + offset <= st_->lastPts) s.baseVin = vinIndexAt(st_->lastPts - offset) + 1;
  s.taken = 0;
}

int Sim::changeFramerate(Call& c) {
  const auto& r = *argPtr<iav_change_framerate_factor_ex_t>(c);
  c.line.object("arg").unum("id", r.id).unum("numerator", r.ratio_numerator).unum("denominator", r.ratio_denominator).close();
  const int k = streamOrdinal(r.id);
  if (k < 0 || r.ratio_numerator == 0 || r.ratio_denominator == 0 || r.ratio_numerator > r.ratio_denominator)
    return -EINVAL;
  if (st_->dspState == IAV_STATE_INIT) return -EPERM;
  Stream& s = st_->streams[k];
  if (s.encoding) rebase(s);
  s.fpsNum = r.ratio_numerator;
  s.fpsDen = r.ratio_denominator;
  ++s.configGen;
  return 0;
}

int Sim::changeGop(Call& c) {
  const auto& g = *argPtr<iav_change_gop_ex_t>(c);
  c.line.object("arg").unum("id", g.id).unum("N", g.N).unum("idrInterval", g.idr_interval).close();
  const int k = streamOrdinal(g.id);
  const uint32_t maxN = st_->limitsSet && st_->limits.stream_max_GOP_N[k < 0 ? 0 : k] ? st_->limits.stream_max_GOP_N[k] : 255;
  if (k < 0 || g.N == 0 || g.N > maxN || g.idr_interval == 0 || g.idr_interval > 255) return -EINVAL;
  if (st_->dspState == IAV_STATE_INIT) return -EPERM;
  Stream& s = st_->streams[k];
  s.gopN = g.N;
  s.idrInterval = g.idr_interval;
  s.h264.N = static_cast<uint16_t>(g.N);
  s.h264.idr_interval = static_cast<uint8_t>(g.idr_interval);
  return 0;
}

int Sim::setBitrate(Call& c) {
  const auto& b = *argPtr<iav_bitrate_ex_t>(c);
  c.line.object("arg")
      .unum("id", b.id)
      .unum("mode", b.rate_control_mode)
      .unum("avg", b.cbr_avg_bitrate)
      .unum("min", b.vbr_min_bitrate)
      .unum("max", b.vbr_max_bitrate)
      .close();
  const int k = streamOrdinal(b.id);
  if (k < 0 || b.rate_control_mode > IAV_VBR || b.cbr_avg_bitrate == 0 || b.vbr_max_bitrate == 0) return -EINVAL;
  if (st_->dspState == IAV_STATE_INIT) return -EPERM;
  Stream& s = st_->streams[k];
  s.bitrate = b;
  s.bitrate.id = 1u << k;
  ++s.configGen;
  return 0;
}

int Sim::forceIdr(Call& c) {
  const uint32_t mask = static_cast<uint32_t>(c.arg);
  c.line.object("arg").unum("id", mask).close();
  if (mask == 0 || mask > 0xf) return -EINVAL;
  if (st_->dspState == IAV_STATE_INIT) return -EPERM;
  for (int k = 0; k < kStreams; ++k)
    if ((mask & (1u << k)) && !st_->streams[k].formatSet) return -EINVAL;
  for (int k = 0; k < kStreams; ++k)
    if (mask & (1u << k)) st_->streams[k].forceIdr = 1;
  return 0;
}

int Sim::enablePreview(Call& c) {
  c.line.object("arg").unum("value", c.arg).close();
  if (st_->dspState == IAV_STATE_INIT) return -EPERM;
  if (st_->dspState == IAV_STATE_ENCODING) return -EBUSY;
  if (st_->vinSource < 0 || !st_->vinRateSet || !st_->buffersSet) return -EPERM;
  st_->dspState = IAV_STATE_PREVIEW;
  return 0;
}

int Sim::setAudioClock(Call& c) {
  const uint32_t hz = static_cast<uint32_t>(c.arg);
  c.line.object("arg").unum("hz", hz).close();
  if (hz < 8000 || hz > 192000) return -EINVAL;
  if (st_->dspState == IAV_STATE_ENCODING) return -EBUSY;
  if (st_->dspState == IAV_STATE_INIT) return -EPERM;
  st_->audioClock = hz;
  return 0;
}

bool Sim::anyEncoding() const {
  for (const auto& s : st_->streams)
    if (s.encoding) return true;
  return false;
}

int Sim::startEncode(Call& c) {
  const uint32_t mask = static_cast<uint32_t>(c.arg);
  c.line.object("arg").unum("id", mask).close();
  if (mask == 0 || mask > 0xf) return -EINVAL;
  if (st_->dspState != IAV_STATE_PREVIEW && st_->dspState != IAV_STATE_ENCODING) return -EPERM;
  for (int k = 0; k < kStreams; ++k) {
    if (!(mask & (1u << k))) continue;
    if (!st_->streams[k].formatSet) return -EINVAL;
    if (st_->streams[k].encoding) return -EBUSY;
  }
  const uint64_t base = vinIndexAt(now()) + 1;
  for (int k = 0; k < kStreams; ++k) {
    if (!(mask & (1u << k))) continue;
    Stream& s = st_->streams[k];
    s.encoding = 1;
    ++s.sessionId;
    s.baseVin = base;
    s.taken = 0;
    s.gopPos = 0;
    s.gopsSinceIdr = 0;
    s.forceIdr = 1;
  }
  st_->dspState = IAV_STATE_ENCODING;
  return 0;
}

int Sim::stopEncode(Call& c) {
  const uint32_t mask = static_cast<uint32_t>(c.arg);
  c.line.object("arg").unum("id", mask).close();
  if (mask == 0 || mask > 0xf) return -EINVAL;
  if (st_->dspState != IAV_STATE_ENCODING) return -EPERM;
  for (int k = 0; k < kStreams; ++k)
    if ((mask & (1u << k)) && !st_->streams[k].encoding) return -EINVAL;
  for (int k = 0; k < kStreams; ++k)
    if (mask & (1u << k)) st_->streams[k].encoding = 0;
  if (!anyEncoding()) st_->dspState = IAV_STATE_PREVIEW;
  return 0;
}

// ---- frames -------------------------------------------------------------------------------------

uint64_t Sim::dueFrames(const Stream& s, uint64_t vinNow) const {
  if (vinNow < s.baseVin) return 0;
  const uint64_t num = std::max(1u, s.fpsNum), den = std::max(1u, s.fpsDen);
  return ((vinNow - s.baseVin + 1) * num + den - 1) / den;
}

bool Sim::encoderFor(int k, StreamEncoder*& enc) {
  const Stream& s = st_->streams[k];
  if (!encoders_[k]) encoders_[k].reset(new StreamEncoder());
  enc = encoders_[k].get();
  if (enc->configured() && encoderGen_[k] == s.configGen) return true;
  EncodeParams p;
  p.type = s.type;
  p.width = s.width;
  p.height = s.height;
  const uint32_t inputFps = st_->vinRate ? IAV_FRAME_RATE_CLOCK / st_->vinRate : 30;
  p.fpsNum = std::max(1u, inputFps * std::max(1u, s.fpsNum));
  p.fpsDen = std::max(1u, s.fpsDen);
  p.rcMode = s.bitrate.rate_control_mode;
  p.avgBitrate = s.bitrate.cbr_avg_bitrate;
  p.maxBitrate = s.bitrate.vbr_max_bitrate;
  p.jpegQuality = config_.jpegQuality;
  p.replay = config_.replay;
  p.replayFrames = config_.replayFrames;
  std::string error;
  if (!enc->configure(p, error)) {
    SIM_LOG(LOG_LEVEL_ERROR, 0, "iav simulator: stream %d: %s", k, error.c_str());
    return false;
  }
  encoderGen_[k] = s.configGen;
  return true;
}

int Sim::produce(int k, uint64_t t, const uint8_t* base, iav_bitstream_desc_t* d, JournalLine& line) {
  Stream& s = st_->streams[k];
  const bool h264 = s.type == IAV_ENCODE_H264;
  FrameEffects fx;
  faults_.onFrame(k, h264, fx);
  const uint64_t vin = frameVin(s, s.taken);
  uint64_t pts = vinTime(vin) + static_cast<uint64_t>(k) * 1000ull;
  if (pts <= st_->lastPts) pts = st_->lastPts + 1;

  StreamEncoder* enc = nullptr;
  if (!encoderFor(k, enc)) return -EIO;
  if (enc->fresh()) s.forceIdr = 1;  // a new encoder starts with a key frame
  FrameKind kind = FrameKind::Predicted;
  if (h264) {
    const uint32_t n = std::max(1u, s.gopN), idr = std::max(1u, s.idrInterval);
    if (s.forceIdr || !s.keySeen || s.gopPos >= n) {
      const bool isIdr = s.forceIdr || !s.keySeen || s.gopsSinceIdr + 1 >= idr;
      kind = isIdr ? FrameKind::Idr : FrameKind::Intra;
      s.gopsSinceIdr = isIdr ? 0 : s.gopsSinceIdr + 1;
      s.gopPos = 0;
      s.forceIdr = 0;
      s.keySeen = 1;
    }
    ++s.gopPos;
  }
  const uint8_t* data = nullptr;
  uint32_t size = 0, picType = 0;
  std::string error;
  const bool hflip = h264 && s.h264.hflip, vflip = h264 && s.h264.vflip;
  if (!enc->encode(static_cast<uint32_t>(s.pictures), hflip, vflip, kind, pts * 9 / 100000, &data, &size, &picType, error)) {
    if (!error.empty()) SIM_LOG(LOG_LEVEL_ERROR, 0, "iav simulator: stream %d: %s", k, error.c_str());
    return -EIO;
  }
  if (fx.shortStartCode && size > 4 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1) {
    ++data;  // 00 00 01: a frame without its 4-byte start code
    --size;
  }
  s.taken++;
  s.lastVin = vin;
  s.pictures++;
  if (static_cast<uint64_t>(size) + st_->lastSize + 64 > st_->ringSize) {
    // The frame does not fit beside the one the reader holds: the DSP drops it.
    if (h264) ++st_->h264FrameNumber;
    line.object("arg").num("stream", k).unum("size", size).boolean("dropped", true).close();
    return -ENOSPC;
  }
  uint32_t start = (st_->writePos + 31u) & ~31u;
  if (start >= st_->ringSize) start -= st_->ringSize;
  const uint32_t first = std::min(size, st_->ringSize - start);
  std::memcpy(ring_ + start, data, first);
  if (first < size) std::memcpy(ring_, data + first, size - first);
  st_->writePos = start + size >= st_->ringSize ? start + size - st_->ringSize : start + size;
  st_->lastStart = start;
  st_->lastSize = size;

  const uint64_t vinNow = vinIndexAt(t);
  uint64_t behind = 0;
  for (int j = 0; j < kStreams; ++j) {
    const Stream& o = st_->streams[j];
    if (!o.encoding || (o.type == IAV_ENCODE_H264) != h264) continue;
    const uint64_t due = dueFrames(o, vinNow);
    if (due > o.taken) behind += due - o.taken;
  }
  uint32_t number;
  if (h264) {
    st_->h264FrameNumber += 1 + fx.gap;
    number = st_->h264FrameNumber;
  } else {
    number = ++st_->mjpegFrameNumber;
  }
  std::memset(d, 0, sizeof *d);
  d->frameNumber = number;
  d->sessionId = s.sessionId;
  d->frameStart = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(base) + start);
  d->frameInfo = (picType & 7u) | (size << 8);
  d->streamIndex = static_cast<uint8_t>(k);
  d->width = s.width;
  d->height = s.height;
  d->vinFrameNumber = static_cast<uint32_t>(vin);
  d->pts = pts;
  d->queueCounter = number + static_cast<uint32_t>(fx.queue ? fx.backlog : behind);
  st_->lastPts = pts;
  line.object("arg").num("stream", k).unum("frameNumber", number).unum("pic", picType).unum("size", size);
  line.unum("start", start).boolean("wrap", first < size).unum("pts", pts).unum("queue", d->queueCounter);
  line.unum("picture", s.pictures - 1);
  if (fx.gap) line.unum("gap", fx.gap);
  if (fx.shortStartCode) line.boolean("shortStartCode", true);
  line.close();
  return 0;
}

int Sim::readBitstream(Call& c) {
  auto* d = argPtr<iav_bitstream_desc_t>(c);
  c.buffered = true;
  for (;;) {
    if (uint32_t ms = faults_.takeStall()) {
      unlockState();
      sleepUntil(monoNs() + ms * 1000000ull);
      lockState();
    }
    if (faults_.takeEagain()) {
      c.line.boolean("injected", true);
      return -EAGAIN;
    }
    if (st_->dspState != IAV_STATE_ENCODING || !anyEncoding()) return -EPERM;
    if (faults_.takeStalePts() && haveLastDesc_) {
      *d = lastDesc_;
      c.line.object("arg").num("stream", d->streamIndex).unum("frameNumber", d->frameNumber).unum("pts", d->pts);
      c.line.boolean("stale", true).close();
      return 0;
    }
    const uint64_t t = now();
    const uint64_t vinNow = vinIndexAt(t);
    int best = -1;
    uint64_t bestVin = 0, next = UINT64_MAX;
    for (int k = 0; k < kStreams; ++k) {
      Stream& s = st_->streams[k];
      if (!s.encoding) continue;
      const uint64_t due = dueFrames(s, vinNow);
      if (due > s.taken + st_->queueLimit) {
        // The DSP's queue is full: the oldest frames are lost, and their numbers with them.
        const uint64_t lost = due - s.taken - st_->queueLimit;
        s.taken += lost;
        s.pictures += lost;
        if (s.type == IAV_ENCODE_H264) st_->h264FrameNumber += static_cast<uint32_t>(lost);
      }
      const uint64_t vin = frameVin(s, s.taken);
      if (vinTime(vin) <= t) {
        if (best < 0 || vin < bestVin) {
          best = k;
          bestVin = vin;
        }
      } else {
        next = std::min(next, vinTime(vin));
      }
    }
    if (best >= 0) {
      const int rc = produce(best, t, c.file.bsb, d, c.line);
      if (rc == -ENOSPC) continue;
      if (rc == 0) {
        lastDesc_ = *d;
        haveLastDesc_ = true;
      }
      return rc;
    }
    if (next == UINT64_MAX) return -EPERM;
    if (st_->virtualClock) {
      if (!st_->autoAdvance) {
        ++eagainRun_;
        c.silent = true;
        return -EAGAIN;
      }
      st_->virtualNow = std::max(st_->virtualNow, next);
      continue;
    }
    if (c.file.flags & O_NONBLOCK) {
      ++eagainRun_;
      c.silent = true;
      return -EAGAIN;
    }
    unlockState();
    sleepUntil(std::min<uint64_t>(next, monoNs() + 100000000ull));
    lockState();
    refreshFaults(false);
  }
}

// ---- image side ---------------------------------------------------------------------------------

int Sim::sensorValue(Call& c) {
  if (st_->dspState == IAV_STATE_INIT) return -EPERM;
  uint32_t* slot = nullptr;
  switch (c.code) {
    case IAV_IOC_VIN_SRC_SET_SHUTTER_TIME:
    case IAV_IOC_VIN_SRC_GET_SHUTTER_TIME:
      slot = &st_->shutter;
      break;
    case IAV_IOC_VIN_SRC_SET_AGC_INDEX:
    case IAV_IOC_VIN_SRC_GET_AGC_INDEX:
      slot = &st_->agcIndex;
      break;
    case IAV_IOC_VIN_SRC_SET_TRIGGER_MODE:
      slot = &st_->triggerMode;
      break;
    default:
      slot = &st_->antiFlicker;
      break;
  }
  if (iavIocDir(c.code) == IAV_IOC_DIR_READ) {
    *argPtr<uint32_t>(c) = *slot;
  } else if (c.code == IAV_IOC_VIN_SRC_SET_ANTI_FLICKER && c.arg > 0xffff) {
    *slot = *argPtr<uint32_t>(c);  // callers pass either the value or a pointer to it
  } else {
    *slot = static_cast<uint32_t>(c.arg);
  }
  c.line.object("arg").unum("value", *slot).close();
  return 0;
}

int Sim::mirrorMode(Call& c) {
  auto* m = argPtr<iav_vin_mirror_mode_t>(c);
  if (st_->dspState == IAV_STATE_INIT) return -EPERM;
  if (c.code == IAV_IOC_VIN_SRC_GET_MIRROR_MODE)
    *m = st_->mirror;
  else
    st_->mirror = *m;
  c.line.object("arg").unum("pattern", st_->mirror.pattern).unum("bayer", st_->mirror.bayer_pattern).close();
  return 0;
}

int Sim::blackLevel(Call& c) {
  st_->blackLevel = *argPtr<iav_vin_black_level_t>(c);
  c.line.object("arg")
      .num("l0", st_->blackLevel.level[0])
      .num("l1", st_->blackLevel.level[1])
      .num("l2", st_->blackLevel.level[2])
      .num("l3", st_->blackLevel.level[3])
      .close();
  return st_->dspState == IAV_STATE_INIT ? -EPERM : 0;
}
int Sim::wbGain(Call& c) {
  const auto& g = *argPtr<iav_vin_wb_gain_t>(c);
  c.line.object("arg").unum("r", g.r_gain).unum("g", g.g_gain_r).unum("b", g.b_gain).close();
  if (st_->dspState == IAV_STATE_INIT) return -EPERM;
  if (g.r_gain == 0 || g.g_gain_r == 0 || g.g_gain_b == 0 || g.b_gain == 0) return -EINVAL;
  st_->wbGain = g;
  return 0;
}
int Sim::qpLimit(Call& c) {
  auto* q = argPtr<iav_qp_limit_ex_t>(c);
  c.line.object("arg").unum("id", q->id);
  if (c.code == IAV_IOC_GET_QP_LIMIT_EX) {
    const int k = streamOrdinal(q->id);
    if (k < 0) {
      c.line.close();
      return -EINVAL;
    }
    *q = st_->qp[k];
  } else {
    if (q->id == 0 || q->id > 0xf || q->qp_min_on_I > q->qp_max_on_I || q->qp_max_on_I > 51 ||
        q->qp_min_on_P > q->qp_max_on_P || q->qp_max_on_P > 51) {
      c.line.close();
      return -EINVAL;
    }
    for (int k = 0; k < kStreams; ++k)
      if (q->id & (1u << k)) {
        st_->qp[k] = *q;
        st_->qp[k].id = 1u << k;
      }
  }
  c.line.unum("minI", q->qp_min_on_I).unum("maxI", q->qp_max_on_I).unum("minP", q->qp_min_on_P);
  c.line.unum("maxP", q->qp_max_on_P).close();
  return 0;
}
int Sim::digitalZoom(Call& c) {
  const auto& z = *argPtr<iav_digital_zoom_ex_t>(c);
  c.line.object("arg").unum("zoomX", z.zoom_factor_x).unum("zoomY", z.zoom_factor_y).num("x", z.center_offset_x);
  c.line.num("y", z.center_offset_y).close();
  if (st_->dspState != IAV_STATE_PREVIEW && st_->dspState != IAV_STATE_ENCODING) return -EPERM;
  if (z.zoom_factor_x == 0 || z.zoom_factor_y == 0) return -EINVAL;
  st_->zoom = z;
  return 0;
}
int Sim::imageKernel(Call& c) {
  (void)c;
  if (st_->dspState != IAV_STATE_PREVIEW && st_->dspState != IAV_STATE_ENCODING) return -EPERM;
  ++st_->imageRequests;
  return 0;
}
int Sim::sensorReg(Call& c) {
  if (c.code == IAV_IOC_GET_SENSOR_REG) {
    auto* r = argPtr<iav_sensor_reg_t>(c);
    r->data = 0;
    for (uint32_t i = 0; i < st_->sensorRegCount; ++i)
      if (st_->sensorRegs[i].reg == r->reg) r->data = st_->sensorRegs[i].data;
    c.line.object("arg").hex("reg", r->reg).hex("data", r->data).close();
    return 0;
  }
  const auto& w = *argPtr<iav_sensor_reg_write_t>(c);
  c.line.object("arg").hex("reg", w.reg).hex("data", w.data).close();
  for (uint32_t i = 0; i < st_->sensorRegCount; ++i)
    if (st_->sensorRegs[i].reg == w.reg) {
      st_->sensorRegs[i].data = w.data;
      return 0;
    }
  if (st_->sensorRegCount >= static_cast<uint32_t>(kSensorRegs)) return -ENOSPC;
  st_->sensorRegs[st_->sensorRegCount++] = iav_sensor_reg_t{w.reg, w.data};
  return 0;
}

// ---- registration and control API -----------------------------------------------------------------

namespace {

Sim& sim() {
  static Sim* s = new Sim();  // never destroyed: descriptors may still be closed during exit
  return *s;
}

struct Registrar {
  Registrar() {
    for (const char* n : {"/dev/iav", "/dev/ucode", "/dev/ambad"}) kavo::os::registerDevice(n, &sim());
  }
  ~Registrar() { sim().flushJournal(); }
};
Registrar g_registrar;

}  // namespace

bool setFaults(const std::string& json) {
  mkdirs(runDir());
  const std::string tmp = faultsFile() + ".tmp";
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool written = ::write(fd, json.data(), json.size()) == static_cast<ssize_t>(json.size());
  ::close(fd);
  if (!written || ::rename(tmp.c_str(), faultsFile().c_str()) != 0) return false;
  sim().markFaultsChanged();
  return sim().withState([](SharedState& s) {
    ++s.faultsGen;
    return true;
  });
}

bool advanceClock(uint64_t ns) {
  return sim().withState([ns](SharedState& s) {
    if (!s.virtualClock) return false;
    s.virtualNow += ns;
    return true;
  });
}

uint64_t clockNs() {
  uint64_t t = 0;
  sim().withState([&t](SharedState& s) {
    t = s.virtualClock ? s.virtualNow : monoNs();
    return true;
  });
  return t;
}

uint32_t dspState() {
  uint32_t state = IAV_STATE_INIT;
  sim().withState([&state](SharedState& s) {
    state = s.dspState;
    return true;
  });
  return state;
}

void flushJournal() { sim().flushJournal(); }

bool resetState() { return sim().resetState(); }

}  // namespace iav
}  // namespace sim
}  // namespace kavo