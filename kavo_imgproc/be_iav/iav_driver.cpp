// IAVDriver: the devices, the DSP-state wait, microcode loading and the video input and output
// set-up. The ISP server only opens, waits and closes; the rest is part of the class for a program
// that brings the DSP up itself.
#include "be_iav/iav_driver.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <sys/mman.h>

#include "kavo/os/device.h"
#include "kavo/os/path.h"
#include "kavo/utils/clock.h"
#include "misc/isp_log.h"

namespace kavo {
namespace isp {

using namespace kavo::os;

namespace {
constexpr const char* kSource = "iav_driver";
constexpr int kStatePolls = 5;
constexpr uint32_t kStatePollMs = 1000;
constexpr const char* kFirmwareDir = "/lib/firmware/";

void closeFd(std::atomic<int>& fd) {
  const int old = fd.exchange(-1);
  if (old >= 0) devClose(old);
}
}  // namespace

IAVDriver::IAVDriver() = default;

IAVDriver::~IAVDriver() {
  if (ucodeRegion_ != nullptr) devMunmap(ucodeRegion_, ucodeRegionSize_);
  closeFd(iavFd_);
  closeFd(sensorFd_);
}

int IAVDriver::open_iav_device() {
  // Opening again must not leak the descriptors of the last open.
  closeFd(iavFd_);
  closeFd(sensorFd_);
  const int iav = devOpen("/dev/iav", O_RDWR);
  if (iav < 0) {
    ISP_LOG(kSource, LOG_LEVEL_WARNING, errno, "[open_iav_device]err_code=-1.\n");
    return -1;
  }
  iavFd_.store(iav);
  const int sensor = devOpen("/dev/ambad", O_RDWR);
  if (sensor < 0) {
    ISP_LOG(kSource, LOG_LEVEL_WARNING, errno, "[open_iav_device]err_code=-2.\n");
    return -1;
  }
  sensorFd_.store(sensor);
  return 0;
}

int IAVDriver::get_iav_state() {
  uint32_t state = 0;
  if (devIoctl(iavFd(), IAV_IOC_GET_STATE, &state) < 0) {
    ISP_LOG(kSource, LOG_LEVEL_WARNING, errno, "IAV_IOC_GET_STATE failed");
    return -1;
  }
  return static_cast<int>(state);
}

int IAVDriver::check_iav_status() {
  for (int poll = 0; poll < kStatePolls; ++poll) {
    if (get_iav_state() == static_cast<int>(IAV_STATE_ENCODING)) return 0;
    kavo::utils::sleepMs(kStatePollMs);
  }
  ISP_LOG(kSource, LOG_LEVEL_WARNING, 0, "check iav status timeout, streamer is not start?");
  return -1;
}

int IAVDriver::open_iav() {
  open_iav_device();
  check_iav_status();
  return 0;
}

int IAVDriver::close_iav() {
  closeFd(iavFd_);
  closeFd(sensorFd_);
  return 0;
}

int IAVDriver::map_dsp() {
  if (dspMapped_) return 0;
  iav_mmap_info_t info{};
  if (devIoctl(iavFd(), IAV_IOC_MAP_DSP, &info) < 0) {
    ISP_LOG(kSource, LOG_LEVEL_WARNING, errno, "IAV_IOC_MAP_DSP failed");
    return -1;
  }
  dspMapped_ = true;
  return 0;
}

int IAVDriver::load_ucode() {
  // Read-write: the region is mapped writable, which a read-only descriptor cannot give.
  const int fd = devOpen("/dev/ucode", O_RDWR);
  if (fd < 0) {
    ISP_LOG(kSource, LOG_LEVEL_ERROR, errno, "Opening ucode failed");
    return -1;
  }
  iav_ucode_version_t version{};
  devIoctl(fd, IAV_IOC_GET_UCODE_VERSION, &version);
  if (version.major_version != 0 || version.minor_version != 0) {
    ISP_LOG(kSource, LOG_LEVEL_INFO, 0, "Microcode version %d.%d - %d/%d/%d", version.major_version,
            version.minor_version, version.day, version.month, version.year);
    devClose(fd);
    return 0;
  }
  iav_ucode_load_info_t layout{};
  devIoctl(fd, IAV_IOC_GET_UCODE_INFO, &layout);
  void* region = devMmap(nullptr, layout.map_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (region == MAP_FAILED) {
    ISP_LOG(kSource, LOG_LEVEL_ERROR, errno, "mmap failed");
    devClose(fd);
    return -1;
  }
  auto fail = [&](FILE* file, const char* message, int err) {
    ISP_LOG(kSource, LOG_LEVEL_ERROR, err, "%s", message);
    if (file != nullptr) std::fclose(file);
    devMunmap(region, layout.map_size);
    devClose(fd);
    return -1;
  };
  // The record has room for four files; a larger count is the driver's error, not ours to follow.
  const uint32_t files = layout.nr_item < 4 ? layout.nr_item : 4;
  for (uint32_t i = 0; i < files; ++i) {
    char name[sizeof layout.items[i].filename + 1] = {};
    std::memcpy(name, layout.items[i].filename, sizeof layout.items[i].filename);
    char camera[96];
    std::snprintf(camera, sizeof camera, "%s/%s", kFirmwareDir, name);
    FILE* file = std::fopen(kavo::os::path(camera).c_str(), "rb");
    if (file == nullptr) return fail(nullptr, "ucode file open failed", errno);
    if (std::fseek(file, 0, SEEK_END) != 0) return fail(file, "ucode file seek end failed", errno);
    const long length = std::ftell(file);
    if (std::fseek(file, 0, SEEK_SET) != 0 || length < 0) return fail(file, "ucode file seek set failed", errno);
    // A file that does not fit the region at its offset would be written past the mapping.
    if (layout.items[i].offset > layout.map_size || static_cast<unsigned long>(length) > layout.map_size - layout.items[i].offset)
      return fail(file, "ucode file read failed", EFBIG);
    const size_t got = std::fread(static_cast<uint8_t*>(region) + layout.items[i].offset, 1, static_cast<size_t>(length), file);
    if (got < static_cast<size_t>(length)) return fail(file, "ucode file read failed", errno);
    std::fclose(file);
  }
  devIoctl(fd, IAV_IOC_UPDATE_UCODE, uintptr_t{0});
  version = iav_ucode_version_t{};
  devIoctl(fd, IAV_IOC_GET_UCODE_VERSION, &version);
  if (version.major_version == 0 && version.minor_version == 0) return fail(nullptr, "Loading microcode failed", 0);
  ISP_LOG(kSource, LOG_LEVEL_INFO, 0, "Microcode version %d.%d - %d/%d/%d", version.major_version, version.minor_version,
          version.day, version.month, version.year);
  devClose(fd);
  // The region stays mapped while the driver object lives.
  if (ucodeRegion_ != nullptr) devMunmap(ucodeRegion_, ucodeRegionSize_);
  ucodeRegion_ = static_cast<uint8_t*>(region);
  ucodeRegionSize_ = layout.map_size;
  return 0;
}

int IAVDriver::enter_idle() {
  if (devIoctl(iavFd(), IAV_IOC_ENTER_IDLE, uintptr_t{0}) < 0) {
    ISP_LOG(kSource, LOG_LEVEL_ERROR, errno, "enter idle failed");
    return -1;
  }
  return 0;
}

int IAVDriver::enter_preview() {
  if (devIoctl(iavFd(), IAV_IOC_ENABLE_PREVIEW, uintptr_t{0}) < 0) {
    ISP_LOG(kSource, LOG_LEVEL_ERROR, errno, "enable preview failed");
    return -1;
  }
  return 0;
}

int IAVDriver::set_resource_limits() {
  iav_system_resource_setup_ex_s limits{};
  if (devIoctl(iavFd(), IAV_IOC_GET_SYSTEM_RESOURCE_LIMIT_EX, &limits) < 0) {
    ISP_LOG(kSource, LOG_LEVEL_ERROR, errno, "IAV_IOC_GET_SYSTEM_RESOURCE_LIMIT_EX failed");
    return -1;
  }
  limits.main_source_buffer_max_width = 1280;
  limits.main_source_buffer_max_height = 720;
  limits.second_source_buffer_max_width = 640;
  limits.second_source_buffer_max_height = 480;
  limits.third_source_buffer_max_width = 320;
  limits.third_source_buffer_max_height = 240;
  limits.fourth_source_buffer_max_width = 320;
  limits.fourth_source_buffer_max_height = 240;
  limits.stream_max_GOP_M[0] = 3;
  for (int k = 1; k < 4; ++k) limits.stream_max_GOP_M[k] = 1;
  for (int k = 0; k < 4; ++k) {
    limits.stream_max_GOP_N[k] = 255;
    limits.stream_max_encode_size[k] = iav_encode_size_t{1280, 720};
  }
  limits.MCTF_possible = 1;
  limits.max_num_encode_streams = 4;
  limits.max_num_cap_sources = 4;
  limits.cavlc_max_bitrate = 2000000;
  devIoctl(iavFd(), IAV_IOC_SET_SYSTEM_RESOURCE_LIMIT_EX, &limits);
  iav_system_setup_info_ex_t setup{};
  devIoctl(iavFd(), IAV_IOC_GET_SYSTEM_SETUP_INFO_EX, &setup);
  uint8_t raw[sizeof setup];
  std::memcpy(raw, &setup, sizeof raw);
  raw[0] = raw[1] = raw[2] = raw[3] = 0;
  raw[4] = 1;
  raw[5] = 0;
  raw[6] = 1;
  raw[7] &= static_cast<uint8_t>(~1u);
  std::memset(raw + 8, 0, 4);
  std::memcpy(&setup, raw, sizeof raw);
  devIoctl(iavFd(), IAV_IOC_SET_SYSTEM_SETUP_INFO_EX, &setup);
  return 0;
}

int IAVDriver::setup_source_buffers() {
  iav_source_buffer_type_all_ex_t types{1, 1, 1, 1};
  devIoctl(iavFd(), IAV_IOC_SET_SOURCE_BUFFER_TYPE_ALL_EX, &types);
  iav_source_buffer_format_all_ex_t f{};
  f.main_width = 1280;
  f.main_height = 720;
  f.second = iav_sub_buffer_format_t{640, 480, 1280, 720, 0};
  f.third = iav_sub_buffer_format_t{320, 240, 1280, 720, 0};
  f.fourth = iav_sub_buffer_format_t{320, 240, 1280, 720, 0};
  devIoctl(iavFd(), IAV_IOC_SET_SOURCE_BUFFER_FORMAT_ALL_EX, &f);
  return 0;
}

int IAVDriver::get_max_capabilities() {
  int32_t count = 0;
  if (devIoctl(iavFd(), IAV_IOC_VIN_GET_SOURCE_NUM, &count) < 0) {
    ISP_LOG(kSource, LOG_LEVEL_ERROR, errno, "IAV_IOC_VIN_GET_SOURCE_NUM failed");
    return -1;
  }
  ISP_LOG(kSource, LOG_LEVEL_DEBUG, 0, "VIN count: %d:", count);
  struct Entry {
    int32_t source;
    amba_vin_source_mode_info mode;
  };
  std::map<int32_t, Entry> found;
  for (int32_t i = 0; i < count; ++i) {
    int32_t index = i;
    if (devIoctl(iavFd(), IAV_IOC_VIN_SET_CURRENT_SRC, &index) < 0) {
      ISP_LOG(kSource, LOG_LEVEL_ERROR, errno, "IAV_IOC_VIN_SET_CURRENT_SRC failed");
      return -1;
    }
    iav_vin_source_info_t info{};
    if (devIoctl(iavFd(), IAV_IOC_VIN_SRC_GET_INFO, &info) < 0) {
      ISP_LOG(kSource, LOG_LEVEL_ERROR, errno, "IAV_IOC_VIN_SRC_GET_INFO failed");
      return -1;
    }
    uint32_t rates[256] = {};
    amba_vin_source_mode_info mode{};
    mode.mode = info.default_mode;
    mode.fps_table = rates;
    mode.fps_table_size = 256;
    if (devIoctl(iavFd(), IAV_IOC_VIN_SRC_CHECK_VIDEO_MODE, &mode) < 0) {
      ISP_LOG(kSource, LOG_LEVEL_ERROR, errno, "IAV_IOC_VIN_SRC_CHECK_VIDEO_MODE failed");
      return -1;
    }
    if (!mode.is_supported) continue;
    mode.fps_table = nullptr;  // the table lived in this loop
    found[i] = Entry{i, mode};
    info.name[sizeof info.name - 1] = '\0';
    ISP_LOG(kSource, LOG_LEVEL_DEBUG, 0,
            "\t%d. name: %s; id: %d; adapterId: %d; devType: %x; sensorId: %d; defaultMode: 0x%04x; channelsCount: %x; "
            "curentChannel: %x; res: %xx%x",
            i + 1, info.name, info.id, info.adapter_id, info.dev_type, info.sensor_id, info.default_mode & 0xffffu,
            info.total_channel_num, info.active_channel_id, mode.width, mode.height);
  }
  if (found.empty()) {
    ISP_LOG(kSource, LOG_LEVEL_ERROR, 0, "No supported modes detected for VIN");
    return -1;
  }
  selectedVin_ = SelectedVin{};
  for (const auto& e : found) {
    const amba_vin_source_mode_info& m = e.second.mode;
    if (m.width <= selectedVin_.width) continue;
    // A mode without a frame period has no frame rate: it cannot be the one to run.
    if (m.frame_rate == 0) {
      ISP_LOG(kSource, LOG_LEVEL_WARNING, 0, "VIN source %d: mode 0x%04x has no frame period, skipped", e.first,
              m.mode & 0xffffu);
      continue;
    }
    selectedVin_.sourceId = e.second.source;
    selectedVin_.frameRate = IAV_FRAME_RATE_CLOCK / m.frame_rate;
    selectedVin_.mode = m.mode;
    selectedVin_.width = m.width;
    selectedVin_.height = m.height;
    selectedVin_.framePeriod = m.frame_rate;
    selectedVin_.videoFormat = m.video_format;
    selectedVin_.bitResolution = m.bit_resolution;
    selectedVin_.type = m.type;
    selectedVin_.isSupported = m.is_supported;
  }
  return 0;
}

int IAVDriver::set_vin() {
  int32_t source = selectedVin_.sourceId;
  devIoctl(iavFd(), IAV_IOC_VIN_SET_CURRENT_SRC, &source);
  devIoctl(iavFd(), IAV_IOC_VIN_SRC_SET_VIDEO_MODE, uintptr_t{selectedVin_.mode});
  devIoctl(iavFd(), IAV_IOC_VIN_SRC_SET_FRAME_RATE, uintptr_t{selectedVin_.framePeriod});
  ISP_LOG(kSource, LOG_LEVEL_DEBUG, 0, "VIN is now configured in mode 0x%04x as %xx%x@%x with id %d",
          selectedVin_.mode & 0xffffu, selectedVin_.width, selectedVin_.height, selectedVin_.frameRate,
          selectedVin_.sourceId);
  return 0;
}

int IAVDriver::set_vout() {
  int32_t count = 0;
  devIoctl(iavFd(), IAV_IOC_VOUT_GET_SINK_NUM, &count);
  ISP_LOG(kSource, LOG_LEVEL_DEBUG, 0, "VOUT count: %d:", count);
  for (int32_t i = 0; i < count; ++i) {
    iav_vout_sink_info_t sink{};
    sink.id = i;
    if (devIoctl(iavFd(), IAV_IOC_VOUT_GET_SINK_INFO, &sink) < 0) continue;
    sink.name[sizeof sink.name - 1] = '\0';
    ISP_LOG(kSource, LOG_LEVEL_DEBUG, 0, "\t%d. id: %d; sourceId: %d; name: %s; sinkType: %d;", i, sink.id,
            sink.source_id, sink.name, sink.sink_type);
    if (sink.sink_type == IAV_VOUT_SINK_TYPE_CVBS) vout_ = sink;
  }
  if (vout_.sink_type == IAV_VOUT_SINK_TYPE_CVBS) {
    ISP_LOG(kSource, LOG_LEVEL_DEBUG, 0, "VOUT is now %s", vout_.name);
    return 0;
  }
  ISP_LOG(kSource, LOG_LEVEL_ERROR, 0, "VOUT type CVBS not found");
  return -1;
}

}  // namespace isp
}  // namespace kavo
