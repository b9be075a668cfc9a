// The simulated DSP as a device provider: its nodes, the attach to the shared state, the request
// table, the journal and the faults, and the control API of iav_sim.h.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kavo/os/i2c.h"
#include "kavo/os/path.h"
#include "kavo/sim/iav_sim.h"
#include "sim.h"

namespace kavo {
namespace sim {
namespace iav {

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

const char* nodeName(uint8_t n) {
  return n == kUcode ? "/dev/ucode" : n == kAmbad ? "/dev/ambad" : n == kI2c ? "/dev/i2c-0" : "/dev/iav";
}

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

namespace {

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
    REQ(IAV_IOC_VIN_SRC_GET_AGC_INFO, kIav, true, sensorInfo),
    REQ(IAV_IOC_VIN_SRC_GET_SHUTTER_INFO, kIav, true, sensorInfo),
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
    REQ(IAV_IOC_IMG_AAA_SETUP_EX, kIav, true, aaaSetup),
    REQ(IAV_IOC_IMG_GET_STATISTICS, kIav, true, getStatistics),
    REQ(IAV_IOC_GET_PRIVACY_MASK_INFO_EX, kIav, true, privacyMask),
    REQ(IAV_IOC_GET_PRIVACY_MASK_BUFFER_ID_EX, kIav, true, privacyMask),
    REQ(IAV_IOC_SET_PRIVACY_MASK_EX, kIav, true, privacyMask),
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
    REQ(IAV_IOC_QUERY_ME1_BUFFER_EX, kIav, true, queryMe1),
    REQ(IAV_IOC_GET_SENSOR_REG, kAmbad, true, sensorReg),
    REQ(IAV_IOC_SET_SENSOR_REG, kAmbad, true, sensorReg),
    REQ(IAV_IOC_VOUT_GET_SINK_INFO, kIav, true, voutSinkInfo),
    REQ(IAV_IOC_VOUT_GET_SINK_NUM, kIav, true, voutSinkNum),
    REQ(I2C_REQUEST_SLAVE_FORCE, kI2c, false, i2cAddress),
};
#undef REQ

bool sizeFile(const std::string& file, uint32_t size) {
  int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = ::ftruncate(fd, size) == 0;
  ::close(fd);
  return ok;
}

void installFirmware(const Config& c) {
  const std::string dir = kavo::os::path(c.firmwareDir);
  makeDirs(dir);
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

// ---- files and attach ---------------------------------------------------------------------------

std::string configFile() { return kavo::os::path("/etc/kavo_sim/iav.json"); }
std::string runDir() { return kavo::os::path("/tmp/kavo_sim"); }
std::string journalFile() { return runDir() + "/iav.journal"; }
std::string faultsFile() { return runDir() + "/iav.faults"; }
std::string stateFile() { return runDir() + "/iav.state"; }
std::string ringFile() { return runDir() + "/iav.bsb"; }
std::string dspFile() { return runDir() + "/iav.dsp"; }
std::string ucodeFile() { return runDir() + "/ucode.region"; }
std::string pmFile() { return runDir() + "/iav.pm"; }
std::string sceneFile() { return kavo::os::path("/etc/kavo_sim/scene.json"); }

bool Sim::createState(void* record) {
  auto* s = static_cast<SharedState*>(record);
  initRobustMutex(&s->mutex);

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
  s->shutter = kDefaultShutter;
  cameraDefaults(s->camera, c.sensor);
  s->wbGain = iav_vin_wb_gain_t{s->camera.sensor.e[0].s.wb[0], 1024, 1024, s->camera.sensor.e[0].s.wb[2]};
  for (auto& l : s->blackLevel.level) l = static_cast<int16_t>(c.sensor.pedestal);

  const bool ok = sizeFile(ringFile(), c.ringSize) && sizeFile(dspFile(), c.dspMemSize) &&
                  sizeFile(ucodeFile(), c.ucodeRegionSize) &&
                  sizeFile(pmFile(), s->camera.maskBufferSize * IAV_PRIVACY_MASK_BUFFERS);
  if (c.installFirmware) installFirmware(c);
  return ok;
}

bool Sim::attachLocked() {
  if (attached_) return true;
  root_ = kavo::os::root();
  std::string error;
  if (!loadConfig(configFile(), config_, error))
    SIM_LOG(LOG_LEVEL_ERROR, 0, "iav simulator: configuration %s ignored: %s", configFile().c_str(), error.c_str());
  void* m = mapSharedState(stateFile(), sizeof(SharedState), kStateMagic, kStateVersion,
                           [this](void* record) { return createState(record); }, error);
  if (m == nullptr) {
    SIM_LOG(LOG_LEVEL_ERROR, errno, "iav simulator: cannot set up the DSP state under %s: %s", runDir().c_str(),
            error.c_str());
    return false;
  }
  st_ = static_cast<SharedState*>(m);
  int rfd = ::open(ringFile().c_str(), O_RDWR | O_CLOEXEC);
  void* r = rfd < 0 ? MAP_FAILED : ::mmap(nullptr, st_->ringSize, PROT_READ | PROT_WRITE, MAP_SHARED, rfd, 0);
  if (rfd >= 0) ::close(rfd);
  if (r == MAP_FAILED) {
    SIM_LOG(LOG_LEVEL_ERROR, errno, "iav simulator: cannot map the bitstream ring");
    unmapSharedState(st_, sizeof(SharedState));
    st_ = nullptr;
    return false;
  }
  ring_ = static_cast<uint8_t*>(r);
  ringLen_ = st_->ringSize;
  pmLen_ = st_->camera.maskBufferSize * IAV_PRIVACY_MASK_BUFFERS;
  int pfd = ::open(pmFile().c_str(), O_RDONLY | O_CLOEXEC);
  void* p = pfd < 0 ? MAP_FAILED : ::mmap(nullptr, pmLen_, PROT_READ, MAP_SHARED, pfd, 0);
  if (pfd >= 0) ::close(pfd);
  pm_ = p == MAP_FAILED ? nullptr : static_cast<uint8_t*>(p);
  camera_.setConfig(config_.sensor, config_.lightSensor);
  camera_.setScenePath(sceneFile());
  if (config_.journal) journal_.open(journalFile(), &st_->journalSeq);
  faults_.clear();
  faults_.setPath(faultsFile());
  faultOptions_ = frameFaults_.options();
  faultsForce_ = true;
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
  frameFaults_.clear();
  ::munmap(ring_, ringLen_);
  if (pm_ != nullptr) ::munmap(pm_, pmLen_);
  pm_ = nullptr;
  unmapMe1();
  unmapSharedState(st_, sizeof(SharedState));
  ring_ = nullptr;
  st_ = nullptr;
  attached_ = false;
}

bool Sim::resetState() {
  std::lock_guard<std::mutex> lock(proc_);
  if (!files_.empty()) return false;
  detachLocked();
  for (const auto& f : {stateFile(), ringFile(), dspFile(), ucodeFile(), pmFile()}) ::unlink(f.c_str());
  return true;
}

FileCtx* Sim::fileOf(int fd) {
  std::lock_guard<std::mutex> lock(proc_);
  auto it = files_.find(fd);
  return it == files_.end() ? nullptr : it->second.get();
}

void Sim::refreshFaults(bool force) {
  std::string error;
  const bool taken =
      faults_.refresh(monoNs(), st_->faultsGen, faultsForce_.exchange(false) || force, faultOptions_, nullptr, error);
  if (taken && !error.empty())
    SIM_LOG(LOG_LEVEL_ERROR, 0, "iav simulator: faults file %s ignored: %s", faults_.path().c_str(), error.c_str());
}

FaultAction Sim::requestFault(const char* request, uint8_t node) {
  return faults_.requests().onRequest(request, nodeName(node));
}

void Sim::refreshCamera() {
  std::string error;
  if (!camera_.refresh(st_->camera, now(), error))
    SIM_LOG(LOG_LEVEL_ERROR, 0, "iav simulator: scene script %s ignored: %s", sceneFile().c_str(), error.c_str());
}

// ---- journal ------------------------------------------------------------------------------------

void Sim::journalHead(JournalLine& line, const char* req, int fd, uint8_t node) {
  if (line.muted()) return;
  journal_.head(line, now());
  line.str("node", nodeName(node)).num("fd", fd).str("req", req);
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
  if (std::strcmp(node, "/dev/i2c-0") == 0) kind = kI2c;
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
  const int injected = requestFault("open", kind).err;
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
  if (f.pm) ::munmap(f.pm, f.pmLen);
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
    err = requestFault("mmap", f->node).err;
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

int Sim::ioctl(int fd, unsigned long request, uintptr_t arg) {
  FileCtx* f = fileOf(fd);
  if (f == nullptr) {
    errno = EBADF;
    return -1;
  }
  const uint32_t code = static_cast<uint32_t>(request);
  // Frame reads come first: they are the one request made per frame.
  static const Request* const kRead = findRequest(kRequests, IAV_IOC_READ_BITSTREAM_EX);
  const Request* r = code == IAV_IOC_READ_BITSTREAM_EX ? kRead : findRequest(kRequests, code);
  JournalLine line;
  if (r == kRead && !config_.journalFrames) line.mute();
  Call call{code, fd, *f, arg, line};
  int rc = 0;
  bool injected = false;
  lockState();
  refreshFaults(false);
  if (r == nullptr || (static_cast<uint64_t>(request) >> 32) != 0 || !(r->nodes & f->node)) {
    journalHead(line, r ? r->name : "unknown", fd, f->node);
    journalCode(line, request);
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
  const FaultAction fault = requestFault(r->name, f->node);
  if (fault.stallMs) {
    unlockState();
    sleepUntilNs(monoNs() + fault.stallMs * 1000000ull);
    lockState();
    injected = true;
  }
  if (fault.err) {
    rc = -fault.err;
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

// ---- registration and control API -----------------------------------------------------------------

namespace {

Sim& sim() {
  static Sim* s = new Sim();  // never destroyed: descriptors may still be closed during exit
  return *s;
}

struct Registrar {
  Registrar() {
    for (const char* n : {"/dev/iav", "/dev/ucode", "/dev/ambad", "/dev/i2c-0"}) kavo::os::registerDevice(n, &sim());
  }
  ~Registrar() { sim().flushJournal(); }
};
Registrar g_registrar;

}  // namespace

bool setFaults(const std::string& json) {
  makeDirs(runDir());
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

bool setScene(const std::string& json, std::string* error) {
  SceneScript script;
  std::string why;
  if (!parseSceneScript(json, script, why)) {
    if (error != nullptr) *error = why;
    return false;
  }
  if (!writeFileAtomic(sceneFile(), json)) {
    if (error != nullptr) *error = "cannot write " + sceneFile();
    return false;
  }
  const FileIdentity id = identityOf(sceneFile());
  return sim().withState([&id](SharedState& s) {
    // The script's time starts now, for every process.
    CameraShared& c = s.camera;
    c.sceneTaken = 1;
    c.sceneIno = id.ino;
    c.sceneSize = id.size;
    c.sceneMtimeNs = id.mtimeNs;
    c.sceneEpochNs = s.virtualClock ? s.virtualNow : monoNs();
    ++c.sceneGen;
    return true;
  });
}

bool lensInputs(LensInputs& out) {
  return sim().withState([&out](SharedState& s) {
    out = s.camera.lens;
    return true;
  });
}

bool setLensInputs(const LensInputs& in) {
  return sim().withState([&in](SharedState& s) {
    s.camera.lens = in;
    ++s.camera.lensSet;
    return true;
  });
}

bool updateLensInputs(const std::function<void(LensInputs&)>& change) {
  return sim().withState([&change](SharedState& s) {
    change(s.camera.lens);
    ++s.camera.lensSet;
    return true;
  });
}

bool sceneNow(SceneNow& out) {
  Sim& m = sim();
  return m.withState([&out, &m](SharedState& s) {
    m.refreshCamera();
    const SceneSample x = m.camera().sceneAt(s.camera, m.dspNow());
    out = SceneNow{x.lux, x.kelvin, x.distance, x.irLux};
    return true;
  });
}

bool sensorNow(SensorNow& out) {
  Sim& m = sim();
  return m.withState([&out, &m](SharedState& s) {
    out.frame = m.currentFrame();
    const SensorSettings& x = settingsAt(s.camera.sensor, out.frame);
    out.shutter = x.shutter;
    out.agcDb = x.agcDb;
    std::copy(x.wb, x.wb + 3, out.wb);
    out.mirror = x.mirror;
    return true;
  });
}

}  // namespace iav
}  // namespace sim
}  // namespace kavo
