// VideoEncoder: lifecycle, microcode, chip capabilities, the output check, bitrate adaptation,
// live settings changes and the streams' containers. The driver programming steps and frame
// reading are in videoencoder_gen2.cpp.
#include "kavo/encoder/videoencoder.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "kavo/encoder/basecontainer.h"
#include "kavo/encoder/flvcontainer.h"
#include "kavo/encoder/streaminfo.h"
#include "kavo/ipc/messages/avserializer.h"
#include "kavo/ipc/messages/videosettings.h"
#include "kavo/os/device.h"
#include "kavo/os/path.h"
#include "kavo/utils/file.h"
#include "kavo/utils/strings.h"
#include "videoencoder_internal.h"

namespace kavo {
namespace encoder {

using kavo::ipc::messages::AVSerializer;
using kavo::ipc::messages::VideoSettings;
using kavo::ipc::messages::VideoSettingsElementRef;
using kavo::variant::Variant;
using kavo::variant::VariantType;

const chip_info_t chips[] = {
    {-1, "UNKNOWN", 0},       {0, "X5S_33", 131400}, {1, "X5S_55", 230400}, {2, "X5S_66", 285300},
    {3, "X5S_70", 285300},    {4, "X5S_88", 285300}, {5, "X5S_99", 285300},
};
const unsigned int chipsCount = sizeof(chips) / sizeof(chips[0]);

namespace detail {

unsigned chipRow(int32_t chipId) {
  if (chipId < 0 || static_cast<unsigned>(chipId) + 1 >= chipsCount) return 0;
  return static_cast<unsigned>(chipId) + 1;
}

uint32_t StreamState::number(const char* key, uint32_t def) const {
  const Variant* v = entry_.Find(key);
  return v != nullptr && v->IsNumeric() ? v->AsUInt32() : def;
}

std::string StreamState::text(const char* key) const {
  const Variant* v = entry_.Find(key);
  return v != nullptr && v->IsString() ? v->AsString() : std::string();
}

bool StreamState::isCbr() const {
  const Variant* v = entry_.Find("isCbr");
  return v != nullptr && v->IsBool() ? v->AsBool() : BaseVideoEncoderSettingsFields::isCbr.def;
}

kavo::encoder::StreamInfo streamInfoOf(Variant& entry) {
  const StreamState state(entry);
  StreamInfo info;
  info.channelId(state.ordinal());
  info.width(state.width());
  info.height(state.height());
  BaseVideoEncoderSettingsRef node(entry);
  info.fps(node.fps());
  info.videoBandwidth(node.bitRateVbrMax());
  return info;
}

}  // namespace detail

using detail::StreamState;
using detail::streamInfoOf;

VideoEncoder::VideoEncoder(EncoderSettings& settingsDocument, Encoder* ownerEncoder)
    : owner(ownerEncoder),
      settings(settingsDocument),
      streams(VariantType::Array),
      savedDefaults(VariantType::Array) {}

VideoEncoder::~VideoEncoder() { Close(); }

uint32_t VideoEncoder::GetChipPerformance() {
  const int fd = kavo::os::devOpen("/dev/iav", O_RDWR);
  if (fd < 0) {
    ENC_LOG(LOG_LEVEL_ERROR, errno, "Opening IAV failed");
    return 0;
  }
  int32_t chipId = 0;
  if (kavo::os::devIoctl(fd, IAV_IOC_GET_CHIP_ID_EX, &chipId) < 0) {
    ENC_LOG(LOG_LEVEL_ERROR, errno, "IAV_IOC_GET_CHIP_ID_EX failed");
    kavo::os::devClose(fd);
    return 0;
  }
  ENC_LOG(LOG_LEVEL_INFO, 0, "chipId returned by IAV_IOC_GET_CHIP_ID_EX is: %d", chipId);
  if (chipId < 0) {
    ENC_LOG(LOG_LEVEL_WARNING, 0, "chipId not properly detected. Defaulting to the lowest capabilities");
  } else if (static_cast<unsigned>(chipId) + 1 >= chipsCount) {
    ENC_LOG(LOG_LEVEL_WARNING, 0, "chipId %d is outside the known chip ids. Defaulting to the lowest capabilities",
            chipId);
  }
  const chip_info_t& row = chips[detail::chipRow(chipId)];
  ENC_LOG(LOG_LEVEL_INFO, 0, "%s chip detected capable of %uMbps", row.name, row.capability);
  kavo::os::devClose(fd);
  return row.capability;
}

uint32_t VideoEncoder::ComputeFPS(unsigned int wanted, unsigned int n, unsigned int maxFps) {
  uint32_t result = 1;
  if (wanted != 0 && maxFps != 0) {
    const unsigned int limit = wanted < maxFps ? wanted : maxFps;
    for (unsigned int f = 1; f <= limit; ++f) {
      if (n == 0 || n % f == 0 || f % n == 0) result = f;
    }
  }
  if (result != wanted) {
    ENC_LOG(LOG_LEVEL_WARNING, 0, "FPS value corrected. N: %u; Max FPS: %u; Wanted FPS: %u; Correct FPS: %u", n,
            maxFps, wanted, result);
  }
  return result;
}

bool VideoEncoder::Open() {
  Close();
  return LoadUCode() && CloseFD(&ucodeFd) && OpenIAV() && EnterIdle() && GetMaxCapabilities() &&
         ValidateSettings() && SetVIN() && SetVOUT() && SetResourceLimits() && SetSourceBuffers() &&
         SetEncodings() && EnterPreview() && SetupContainers() && SaveDefaults();
}

void VideoEncoder::Close() {
  CloseFD(&iavFd);
  CloseFD(&ucodeFd);
  streams = Variant(VariantType::Array);
  frame = video_frame_t{};
  audioClockHz = 0;
  vinSource = vin_source_t{};
  chipCapacity = 0;
  voutSink = iav_vout_sink_info_t{};
  std::memset(sourceSizes, 0, sizeof(sourceSizes));
  std::memset(idrNalMaps, 0, sizeof(idrNalMaps));
  std::memset(interNalMaps, 0, sizeof(interNalMaps));
  for (auto& entry : containers) delete entry.second;
  containers.clear();
  growthFactor = 1.1;
  lastFrameTimestamp = 0;
  lastFrameNumber = 0;
  restartPending = false;
}

bool VideoEncoder::StartEncode() { return StartStopEncoding(true); }

bool VideoEncoder::StopEncode() { return StartStopEncoding(false); }

bool VideoEncoder::CloseFD(int* fd) {
  // Descriptor 0 is a valid descriptor; only the -1 of "nothing open" is left alone.
  if (fd != nullptr && *fd >= 0) {
    kavo::os::devClose(*fd);
    *fd = -1;
  }
  return true;
}

bool VideoEncoder::OpenIAV() {
  iavFd = kavo::os::devOpen("/dev/iav", O_RDWR);
  if (iavFd < 0) {
    ENC_LOG(LOG_LEVEL_ERROR, errno, "Opening IAV failed");
    return false;
  }
  return true;
}

bool VideoEncoder::EnterIdle() {
  if (kavo::os::devIoctl(iavFd, IAV_IOC_ENTER_IDLE, uintptr_t{0}) < 0) {
    ENC_LOG(LOG_LEVEL_ERROR, errno, "IAV_IOC_ENTER_IDLE failed");
    return false;
  }
  return true;
}

namespace {

// False with errno when the driver cannot tell.
bool readUcodeVersion(int fd, iav_ucode_version_t& version) {
  version = iav_ucode_version_t{};
  return kavo::os::devIoctl(fd, IAV_IOC_GET_UCODE_VERSION, &version) >= 0;
}

bool ucodeRunning(const iav_ucode_version_t& v) { return v.major_version != 0 || v.minor_version != 0; }

std::string versionText(const iav_ucode_version_t& v) {
  return kavo::utils::format("%d.%d - %d/%d/%d", static_cast<int>(v.major_version), static_cast<int>(v.minor_version),
                             v.day, v.month, v.year);
}

// The mapped microcode region, unmapped on every way out of the load.
struct Region {
  void* address = MAP_FAILED;
  size_t size = 0;
  ~Region() {
    if (address != MAP_FAILED) kavo::os::devMunmap(address, size);
  }
};

}  // namespace

bool VideoEncoder::LoadUCode() {
  CloseFD(&ucodeFd);
  ucodeFd = kavo::os::devOpen("/dev/ucode", O_RDONLY);
  if (ucodeFd < 0) {
    ENC_LOG(LOG_LEVEL_ERROR, errno, "Opening ucode failed");
    return false;
  }
  iav_ucode_version_t version;
  if (!readUcodeVersion(ucodeFd, version)) {
    ENC_LOG(LOG_LEVEL_ERROR, errno, "IAV_IOC_GET_UCODE_VERSION failed");
    return false;
  }
  if (ucodeRunning(version)) {
    ENC_LOG(LOG_LEVEL_INFO, 0, "Microcode version %s", versionText(version).c_str());
    return true;
  }
  CloseFD(&ucodeFd);
  ucodeFd = kavo::os::devOpen("/dev/ucode", O_RDWR);
  if (ucodeFd < 0) {
    ENC_LOG(LOG_LEVEL_ERROR, errno, "Opening ucode failed");
    return false;
  }
  iav_ucode_load_info_t info{};
  if (kavo::os::devIoctl(ucodeFd, IAV_IOC_GET_UCODE_INFO, &info) < 0) {
    ENC_LOG(LOG_LEVEL_ERROR, errno, "IAV_IOC_GET_UCODE_INFO failed");
    return false;
  }
  // The record has room for four modules; a larger count would read past it.
  const uint32_t maxModules = sizeof(info.items) / sizeof(info.items[0]);
  if (info.nr_item > maxModules) {
    ENC_LOG(LOG_LEVEL_ERROR, 0, "Invalid microcode layout: %u modules", info.nr_item);
    return false;
  }
  Region region;
  region.size = info.map_size;
  region.address = kavo::os::devMmap(nullptr, region.size, PROT_READ | PROT_WRITE, MAP_SHARED, ucodeFd, 0);
  if (region.address == MAP_FAILED) {
    ENC_LOG(LOG_LEVEL_ERROR, errno, "Unable to mmap /dev/ucode");
    return false;
  }
  const std::string folder = settings.firmwarePath();
  for (uint32_t i = 0; i < info.nr_item; ++i) {
    const iav_ucode_module_t& module = info.items[i];
    // The driver's name need not be terminated inside its 20 bytes.
    const std::string name(module.filename, strnlen(module.filename, sizeof(module.filename)));
    const std::string path = folder + name;
    ENC_LOG(LOG_LEVEL_INFO, 0, "Loading DSP ucode %s", path.c_str());
    kavo::utils::File file;
    if (!file.Initialize(kavo::os::path(path), kavo::utils::FILE_OPEN_MODE_READ)) {
      ENC_LOG(LOG_LEVEL_ERROR, errno, "Unable to open DSP ucode %s", path.c_str());
      return false;
    }
    const uint64_t size = file.Size();
    if (module.offset > region.size || size > region.size - module.offset) {
      ENC_LOG(LOG_LEVEL_ERROR, 0, "DSP ucode %s does not fit the microcode region", path.c_str());
      return false;
    }
    errno = 0;  // a short read sets none
    if (!file.ReadBuffer(static_cast<uint8_t*>(region.address) + module.offset, size)) {
      ENC_LOG(LOG_LEVEL_ERROR, errno, "Unable to read DSP ucode %s", path.c_str());
      return false;
    }
    file.Close();
  }
  if (kavo::os::devIoctl(ucodeFd, IAV_IOC_UPDATE_UCODE, uintptr_t{0}) < 0) {
    ENC_LOG(LOG_LEVEL_ERROR, errno, "IAV_IOC_UPDATE_UCODE failed");
    return false;
  }
  if (!readUcodeVersion(ucodeFd, version)) {
    ENC_LOG(LOG_LEVEL_ERROR, errno, "IAV_IOC_GET_UCODE_VERSION failed");
    return false;
  }
  if (!ucodeRunning(version)) {
    ENC_LOG(LOG_LEVEL_ERROR, 0, "Loading microcode failed");
    return false;
  }
  ENC_LOG(LOG_LEVEL_INFO, 0, "Microcode version %s", versionText(version).c_str());
  CloseFD(&ucodeFd);
  return true;
}

bool VideoEncoder::SetVOUT() {
  int32_t count = 0;
  if (kavo::os::devIoctl(iavFd, IAV_IOC_VOUT_GET_SINK_NUM, &count) < 0) {
    ENC_LOG(LOG_LEVEL_ERROR, errno, "IAV_IOC_VOUT_GET_SINK_NUM failed");
    return false;
  }
  ENC_LOG(LOG_LEVEL_DEBUG, 0, "VOUT count: %d:", count);
  for (int32_t i = 0; i < count; ++i) {
    iav_vout_sink_info_t sink{};
    sink.id = i;
    if (kavo::os::devIoctl(iavFd, IAV_IOC_VOUT_GET_SINK_INFO, &sink) < 0) {
      ENC_LOG(LOG_LEVEL_ERROR, errno, "IAV_IOC_VOUT_GET_SINK_INFO failed");
      return false;
    }
    sink.name[sizeof(sink.name) - 1] = '\0';
    ENC_LOG(LOG_LEVEL_DEBUG, 0, "\t%d. id: %d; sourceId: %d; name: %s; sinkType: %d;", i + 1, sink.id, sink.source_id,
            sink.name, sink.sink_type);
    if (sink.sink_type == IAV_VOUT_SINK_TYPE_CVBS) voutSink = sink;
  }
  if (voutSink.sink_type == IAV_VOUT_SINK_TYPE_CVBS) {
    ENC_LOG(LOG_LEVEL_DEBUG, 0, "VOUT is now %s", voutSink.name);
    return true;
  }
  ENC_LOG(LOG_LEVEL_ERROR, 0, "VOUT type CVBS not found");
  return false;
}

bool VideoEncoder::ValidateSettings() {
  if (!ValidateSettings(settings, streams, vinSource.mode.width, vinSource.mode.height, vinSource.fps,
                        chipCapacity)) {
    // The validation itself says nothing about an empty stream set, which would end the program
    // without a word.
    if (streams.NumericKeysCount() == 0) ENC_LOG(LOG_LEVEL_ERROR, 0, "No video stream enabled");
    return false;
  }
  audioClockHz = settings.video().audioSampleRate();
  return true;
}

bool VideoEncoder::SetEncodings() {
  for (auto it = streams.num_begin(); it != streams.num_end(); ++it) {
    if (!SetEncoding(it->second)) {
      ENC_LOG(LOG_LEVEL_ERROR, 0, "Unable to setup encoding:\n%s", it->second.ToString().c_str());
      return false;
    }
  }
  return true;
}

// ---- containers, defaults, live changes, adaptation ----------------------------------------------

bool VideoEncoder::SetupContainers() {
  for (auto it = streams.num_begin(); it != streams.num_end(); ++it) {
    Variant& entry = it->second;
    AVSerializer serializer(static_cast<Variant&>(BaseVideoEncoderSettingsRef(entry).avSerializer()));
    const StreamInfo info = streamInfoOf(entry);
    containers[static_cast<int>(StreamState(entry).ordinal())] = BaseContainer::GetInstance(serializer, info, owner);
  }
  return true;
}

bool VideoEncoder::SaveDefaults() {
  int64_t index = 0;
  for (auto it = streams.num_begin(); it != streams.num_end(); ++it, ++index) {
    Variant& entry = it->second;
    BaseVideoEncoderSettingsRef node(entry);
    Variant snapshot(VariantType::Map);
    snapshot["fps"] = node.fps();
    snapshot["bitRateVbrMin"] = node.bitRateVbrMin();
    snapshot["bitRateVbrMax"] = node.bitRateVbrMax();
    snapshot["bitRateCbrAvg"] = node.bitRateCbrAvg();
    snapshot["isCbr"] = node.isCbr();
    snapshot["streamId"] = entry["streamId"];
    snapshot["index"] = index;
    savedDefaults[-1] = snapshot;
  }
  return true;
}

namespace {

iav_rate_control_mode modeOf(bool isCbr) { return isCbr ? IAV_CBR : IAV_VBR; }

}  // namespace

bool VideoEncoder::ResetToDefaults() {
  static const char* const kKeys[] = {"fps", "isCbr", "bitRateVbrMin", "bitRateCbrAvg", "bitRateVbrMax"};
  for (auto it = savedDefaults.num_begin(); it != savedDefaults.num_end(); ++it) {
    Variant& snapshot = it->second;
    const StreamState saved(snapshot);
    const unsigned int streamId = saved.streamId();
    if (!SetFrameRate(streamId, static_cast<unsigned char>(saved.fps()))) {
      ENC_LOG(LOG_LEVEL_ERROR, 0, "Unable to set default frame rate");
      return false;
    }
    if (!SetBitRate(streamId, modeOf(saved.isCbr()), saved.bitRateVbrMin(), saved.bitRateCbrAvg(),
                    saved.bitRateVbrMax())) {
      ENC_LOG(LOG_LEVEL_ERROR, 0, "Unable to set default bit rate");
      return false;
    }
    Variant* entry = streams.Find(snapshot["index"].AsInt64());
    if (entry == nullptr) continue;
    const std::string name = StreamState(*entry).name();
    Variant& node = settings.video()[name];
    for (const char* key : kKeys) (*entry)[key] = snapshot[key];
    for (const char* key : kKeys) node[key] = snapshot[key];
  }
  return true;
}

bool VideoEncoder::UpdateSettings(kavo::ipc::messages::ChangeVideoSettings& change) {
  change.NormalizeFields();
  VideoSettings video(static_cast<Variant&>(change.video()));
  video.NormalizeFields();
  for (auto it = streams.num_begin(); it != streams.num_end(); ++it) {
    Variant& entry = it->second;
    const StreamState state(entry);
    const std::string name = state.name();
    VideoSettingsElementRef element(video[name]);
    element.NormalizeFields();
    AVSerializer serializer(static_cast<Variant&>(element.avSerializer()));
    serializer.NormalizeFields();
    BaseVideoEncoderSettingsRef current(entry);
    const unsigned int streamId = state.streamId();

    if (element.fps() != 0) {
      uint32_t f = ComputeFPS(element.fps(), state.N(), state.maxFps());
      if (f > 30) f = 30;
      const uint8_t fps = static_cast<uint8_t>(f);
      element.fps(fps);
      const uint8_t old = current.fps();
      if (old != fps) {
        if (!SetFrameRate(streamId, fps)) {
          ENC_LOG(LOG_LEVEL_ERROR, 0, "Unable to change FPS on %s", name.c_str());
          return false;
        }
        ENC_LOG(LOG_LEVEL_INFO, 0, "fps changed on %s: %u -> %u", name.c_str(), old, fps);
      }
      entry["fps"] = fps;
      settings.video()[name] = entry;
    }

    uint32_t average = element.bitRateCbrAvg();
    uint32_t maximum = element.bitRateVbrMax();
    if (average < 16384) average = current.bitRateCbrAvg();
    if (maximum < 16384) maximum = current.bitRateVbrMax();
    const uint32_t validMin = current.validBitrateRangeMin();
    const uint32_t validMax = current.validBitrateRangeMax();
    if (maximum < 16384 || maximum < validMin || maximum > validMax || average < validMin || average > validMax) {
      ENC_LOG(LOG_LEVEL_ERROR, 0, "Incorrect bitrate settings on channel %s", name.c_str());
      return false;
    }
    const bool isCbr = element.isCbr();
    if (!SetBitRate(streamId, modeOf(isCbr), 16384, average, maximum)) {
      ENC_LOG(LOG_LEVEL_ERROR, 0, "Unable to change bitrate on %s", name.c_str());
      return false;
    }
    const long long oldMin = current.bitRateVbrMin();
    const long long oldAvg = current.bitRateCbrAvg();
    const long long oldMax = current.bitRateVbrMax();
    if (oldMin != 16384)
      ENC_LOG(LOG_LEVEL_INFO, 0, "Changing bitRateVbrMin on %s: %lld -> %lld", name.c_str(), oldMin, 16384LL);
    if (oldAvg != average)
      ENC_LOG(LOG_LEVEL_INFO, 0, "Changing bitRateCbrAvg on %s: %lld -> %lld", name.c_str(), oldAvg,
              static_cast<long long>(average));
    if (oldMax != maximum)
      ENC_LOG(LOG_LEVEL_INFO, 0, "Changing bitRateVbrMax on %s: %lld -> %lld", name.c_str(), oldMax,
              static_cast<long long>(maximum));
    current.bitRateVbrMin(16384);
    current.bitRateCbrAvg(average);
    current.bitRateVbrMax(maximum);
    current.isCbr(isCbr);
    settings.video()[name] = entry;

    if (serializer.type() != "unknown") {
      const StreamInfo info = streamInfoOf(entry);
      const auto found = containers.find(static_cast<int>(state.ordinal()));
      if (found == containers.end() || found->second == nullptr || !found->second->UpdateSettings(serializer, info)) {
        ENC_LOG(LOG_LEVEL_ERROR, 0, "Unable to change serializer on %s", name.c_str());
        return false;
      }
      ENC_LOG(LOG_LEVEL_INFO, 0, "serializer changed on %s", name.c_str());
      entry["avSerializer"] = static_cast<const Variant&>(serializer);
      settings.video()[name] = entry;
    }
  }
  return ForceIDR();
}

namespace {

struct bitrate_info {
  uint32_t width;
  uint32_t height;
  uint32_t fps;
  uint32_t bitRateVbrMin;
  uint32_t current;
  uint32_t bitRateVbrMax;
  bool active;
};

double kiloBytes(double bits) { return bits * 0.125 / 1024; }

}  // namespace

void VideoEncoder::AdjustBitrates(bool down) {
  if (down) {
    growthFactor = 1.1;
  } else {
    growthFactor += 0.05;
    if (growthFactor > 2.0) growthFactor = 2.0;
  }
  const double multiplier = down ? 0.9 : growthFactor;
  // At most four streams: the report needs no allocation.
  bitrate_info report[4];
  size_t reported = 0;
  double active = 0;
  double total = 0;
  bool changed = false;
  for (auto it = streams.num_begin(); it != streams.num_end(); ++it) {
    Variant& entry = it->second;
    const StreamState state(entry);
    Variant& currentBitrate = entry["currentBitrate"];
    const uint32_t vbrMax = state.bitRateVbrMax();
    if (currentBitrate.IsNull()) currentBitrate = vbrMax;
    const uint32_t current = currentBitrate.AsUInt32();
    const double scaled = static_cast<double>(current) * multiplier;
    uint32_t next = scaled >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(scaled);
    if (next < 32000) next = 32000;
    if (next > vbrMax) next = vbrMax;
    uint32_t vbrMin = state.bitRateVbrMin();
    if (next < vbrMin) {
      vbrMin = next < 16384 ? 16384 : next;
      entry["bitRateVbrMin"] = vbrMin;
    }
    total += next;
    const auto found = containers.find(static_cast<int>(state.ordinal()));
    const bool isActive = found != containers.end() && found->second != nullptr && found->second->IsNetworkActive();
    if (isActive) active += next;
    if (reported < 4)
      report[reported++] = bitrate_info{state.width(), state.height(), state.fps(), vbrMin, next, vbrMax, isActive};
    if (next != current) {
      currentBitrate = next;
      SetBitRate(state.streamId(), IAV_VBR, vbrMin, vbrMin, next);
      changed = true;
    }
  }
  if (!changed) return;
  ENC_LOG(LOG_LEVEL_WARNING, 0, "Adjusted %s. Active %.2f KB/s. Total (including inactive): %.2f KB/s",
          down ? "down" : "up", kiloBytes(active), kiloBytes(total));
  for (size_t i = 0; i < reported; ++i) {
    const bitrate_info& r = report[i];
    ENC_LOG(LOG_LEVEL_WARNING, 0, "%u x %u @ %u - Current: %.2fKB/s (%.2fKB/s - %.2fKB/s) %s", r.width, r.height, r.fps,
            kiloBytes(r.current), kiloBytes(r.bitRateVbrMin), kiloBytes(r.bitRateVbrMax),
            r.active ? "active" : "inactive");
  }
}

bool VideoEncoder::EnableLiveVideo(unsigned short& port) {
  Variant* chosen = nullptr;
  uint32_t narrowest = 0xFFFFFFFFu;
  for (auto it = streams.num_begin(); it != streams.num_end(); ++it) {
    Variant& entry = it->second;
    BaseVideoEncoderSettingsRef node(entry);
    if (!node.enabled() || node.type() != "h264") continue;
    const uint32_t width = node.width();
    if (width < narrowest) {
      narrowest = width;
      chosen = &entry;
    }
  }
  if (chosen == nullptr) {
    ENC_LOG(LOG_LEVEL_ERROR, 0, "Unable to find target bitrate for liveView");
    return false;
  }
  const int ordinal = static_cast<int>(StreamState(*chosen).ordinal());
  auto found = containers.find(ordinal);
  if (found == containers.end()) {
    // A container that writes nothing until the acceptor joins it.
    AVSerializer serializer;
    serializer.type("flv");
    Variant destinations(VariantType::Array);
    destinations[-1] = "file:///dev/null";
    serializer.destinations(destinations);
    const StreamInfo info = streamInfoOf(*chosen);
    found = containers.emplace(ordinal, BaseContainer::GetInstance(serializer, info, owner)).first;
    if (found->second == nullptr) {
      ENC_LOG(LOG_LEVEL_ERROR, 0, "No compatible container found");
      return false;
    }
  } else if (found->second == nullptr || found->second->GetType() != CONTAINER_FLV) {
    ENC_LOG(LOG_LEVEL_ERROR, 0, "No compatible container found");
    return false;
  }
  return static_cast<FLVContainer*>(found->second)->ActivateAcceptor(port);
}

}  // namespace encoder
}  // namespace kavo
