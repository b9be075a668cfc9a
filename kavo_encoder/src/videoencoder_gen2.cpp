// VideoEncoder: programming the video DSP (input, limits, buffers, streams, preview, start and
// stop, key frames) and reading frames with the corrupt-frame recovery.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "kavo/encoder/basecontainer.h"
#include "kavo/encoder/videoencoder.h"
#include "kavo/ipc/ipc.h"
#include "kavo/ipc/messages/analyticsinterrupt.h"
#include "kavo/ipc/messages/baserequestmessage.h"
#include "kavo/os/device.h"
#include "kavo/utils/clock.h"
#include "videoencoder_internal.h"

namespace kavo {
namespace encoder {

using detail::StreamState;
using kavo::os::devIoctl;
using kavo::variant::Variant;
using kavo::variant::VariantType;

#define IAV_REQUEST(request, arg)                                \
  do {                                                           \
    if (devIoctl(iavFd, request, arg) < 0) {                     \
      ENC_LOG(LOG_LEVEL_ERROR, errno, #request " failed");       \
      return false;                                              \
    }                                                            \
  } while (0)

namespace {

const char* const kStreamNodes[] = {"video1", "video2", "video3", "mjpg"};

Variant& streamNode(EncoderSettings& settings, unsigned index) {
  auto video = settings.video();
  switch (index) {
    case 0: return video.video1();
    case 1: return video.video2();
    case 2: return video.video3();
    default: return video.mjpg();
  }
}

struct kept_source_t {
  iav_vin_source_info_t info;
  amba_vin_source_mode_info mode;
};

}  // namespace

bool VideoEncoder::GetMaxCapabilities() {
  int32_t count = 0;
  IAV_REQUEST(IAV_IOC_VIN_GET_SOURCE_NUM, &count);
  ENC_LOG(LOG_LEVEL_DEBUG, 0, "VIN count: %d:", count);
  std::map<int32_t, kept_source_t> kept;
  for (int32_t i = 0; i < count; ++i) {
    int32_t source = i;
    IAV_REQUEST(IAV_IOC_VIN_SET_CURRENT_SRC, &source);
    kept_source_t entry{};
    IAV_REQUEST(IAV_IOC_VIN_SRC_GET_INFO, &entry.info);
    uint32_t fpsTable[256] = {};
    entry.mode.mode = entry.info.default_mode;
    entry.mode.fps_table = fpsTable;
    entry.mode.fps_table_size = 256;
    IAV_REQUEST(IAV_IOC_VIN_SRC_CHECK_VIDEO_MODE, &entry.mode);
    entry.mode.fps_table = nullptr;  // the table lives only for the request
    entry.mode.fps_table_size = 0;
    // A mode without a frame period has no frame rate to run at.
    if (entry.mode.is_supported == 0 || entry.mode.frame_rate == 0) continue;
    entry.info.name[sizeof(entry.info.name) - 1] = '\0';
    kept[i] = entry;
    ENC_LOG(LOG_LEVEL_DEBUG, 0,
            "\t%d. name: %s; id: %d; adapterId: %d; devType: %u; sensorId: %d; defaultMode: 0x%04x; channelsCount: %u; "
            "curentChannel: %u; res: %ux%u",
            i + 1, entry.info.name, entry.info.id, entry.info.adapter_id, entry.info.dev_type, entry.info.sensor_id,
            entry.info.default_mode & 0xFFFFu, entry.info.total_channel_num, entry.info.active_channel_id,
            entry.mode.width, entry.mode.height);
  }
  if (kept.empty()) {
    ENC_LOG(LOG_LEVEL_ERROR, 0, "No supported modes detected for VIN");
    return false;
  }
  vinSource = vin_source_t{};
  chipCapacity = 0;
  for (const auto& source : kept) {
    if (source.second.mode.width > vinSource.mode.width) {
      vinSource.sourceId = source.first;
      vinSource.mode = source.second.mode;
      vinSource.fps = static_cast<uint8_t>(IAV_FRAME_RATE_CLOCK / source.second.mode.frame_rate);
    }
  }
  iav_mmap_info_t ring{};
  IAV_REQUEST(IAV_IOC_MAP_BSB, &ring);
  frame.ringBase = ring.addr;
  frame.ringSize = ring.length;
  ENC_LOG(LOG_LEVEL_DEBUG, 0, "DMA on circular buffer of %d bytes at address %p", static_cast<int>(ring.length),
          static_cast<void*>(ring.addr));
  int32_t chipId = 0;
  IAV_REQUEST(IAV_IOC_GET_CHIP_ID_EX, &chipId);
  const chip_info_t& row = chips[detail::chipRow(chipId)];
  chipCapacity = row.capability;
  ENC_LOG(LOG_LEVEL_INFO, 0, "%s chip detected capable of %uMbps", row.name, row.capability);
  return true;
}

bool VideoEncoder::ValidateSettings(EncoderSettings& settings, Variant& streams, unsigned int maxWidth,
                                    unsigned int maxHeight, unsigned int maxFps, unsigned int capacity) {
  auto video = settings.video();
  if (settings.audio().enabled()) video.audioSampleRate(settings.audio().sampleRate());
  const bool lowDelay = video.lowDelay();
  streams = Variant(VariantType::Array);
  for (unsigned i = 0; i < 4; ++i) {
    Variant& node = streamNode(settings, i);
    if (!BaseEncoderSettingsRef(node).enabled()) continue;
    Variant& entry = streams[-1];
    entry = node;
    entry["name"] = kStreamNodes[i];
    // A node read without normalisation still gets its class's type.
    if (i < 3) {
      H264VideoEncoderSettingsRef(entry).type();
    } else {
      MJPGVideoEncoderSettingsRef(entry).type();
    }
  }
  if (streams.NumericKeysCount() == 0) return false;

  uint32_t total = 0;
  unsigned position = 0;
  for (auto it = streams.num_begin(); it != streams.num_end(); ++it, ++position) {
    Variant& entry = it->second;
    entry.ValidateNumeric("width", 160, maxWidth, maxWidth, true)
        .ValidateNumeric("height", 120, maxHeight, maxHeight, true)
        .ValidateNumeric("fps", 1, maxFps, maxFps / 2, true);
    const StreamState state(entry);
    const uint32_t w = state.width();
    const uint32_t h = state.height();
    uint32_t fps = state.fps();
    const uint32_t need = fps * ((((w + 15) & ~15u) * ((h + 15) & ~15u)) >> 8);
    total += need;
    ENC_LOG(LOG_LEVEL_DEBUG, 0, "Encoding %ux%u@%u requires %uMbps out of %u", w, h, fps, need, capacity);
    if (capacity < total) {
      ENC_LOG(LOG_LEVEL_ERROR, 0, "Mbps exceeded: wanted: %u; max: %u", total, capacity);
      return false;
    }
    if (state.type() == "h264") {
      const bool restricted = lowDelay || position > 0;
      uint32_t maxM;
      if (restricted) {
        entry.ValidateNumeric("gopModel", 0, 0, 0, true);
        maxM = 1;
      } else {
        entry.ValidateNumeric("gopModel", 0, 4, 0, true);
        maxM = 3;
      }
      entry.ValidateNumeric("N", 3, 4294967295LL, maxFps / 2, false);
      const uint32_t gopModel = state.gopModel();
      uint32_t M = state.M();
      if (gopModel == 0 || gopModel == 6 || gopModel == 7) {
        if (M < 1 || M > maxM) M = maxM;
      } else {
        M = maxM == 3 ? 2 : 1;
      }
      uint32_t N = state.N();
      if (N <= 3) N = 30;
      N = (N / M) * M;
      fps = ComputeFPS(fps, N, fps);
      entry["fps"] = static_cast<uint8_t>(fps);
      // Divisors in ascending order, found in O(sqrt(N)) steps: N may be any 32-bit value.
      std::vector<uint32_t> small;
      for (uint64_t d = 1; d * d <= N; ++d)
        if (N % d == 0) small.push_back(static_cast<uint32_t>(d));
      Variant& valid = entry["validFpsValues"];
      valid = Variant(VariantType::Array);
      for (uint32_t d : small) valid[-1] = d;
      for (size_t k = small.size(); k-- > 0;)
        if (N / small[k] != small[k]) valid[-1] = N / small[k];
      entry["M"] = static_cast<uint16_t>(M);
      entry["N"] = static_cast<uint16_t>(N);
      entry["idrInterval"] = entry["idrInterval"].AsUInt8();
      entry["gopModel"] = static_cast<uint8_t>(gopModel);
      entry["bitRateVbrMin"] = static_cast<uint32_t>(16384);
    }
    entry["maxFps"] = fps;
    video[state.name()] = entry;
  }
  ENC_LOG(LOG_LEVEL_INFO, 0, "Setup is using %uMbps out of %uMbps", total, capacity);
  return true;
}

bool VideoEncoder::SetVIN() {
  int32_t source = vinSource.sourceId;
  IAV_REQUEST(IAV_IOC_VIN_SET_CURRENT_SRC, &source);
  IAV_REQUEST(IAV_IOC_VIN_SRC_SET_VIDEO_MODE, uintptr_t{vinSource.mode.mode});
  IAV_REQUEST(IAV_IOC_VIN_SRC_SET_FRAME_RATE, uintptr_t{vinSource.mode.frame_rate});
  ENC_LOG(LOG_LEVEL_DEBUG, 0, "VIN is now configured in mode 0x%04x as %ux%u@%u with id %d",
          vinSource.mode.mode & 0xFFFFu, vinSource.mode.width, vinSource.mode.height, vinSource.fps,
          vinSource.sourceId);
  int ordinal = 0;
  for (auto it = streams.num_begin(); it != streams.num_end() && ordinal < 4; ++it, ++ordinal) {
    Variant& entry = it->second;
    const StreamState state(entry);
    entry["streamOrdinal"] = ordinal;
    entry["streamId"] = static_cast<uint8_t>(1u << ordinal);
    entry["sourceId"] = ordinal;
    // The current settings carry the numbering as well.
    Variant& node = settings.video()[state.name()];
    node["streamOrdinal"] = entry["streamOrdinal"];
    node["streamId"] = entry["streamId"];
    node["sourceId"] = entry["sourceId"];
    sourceSizes[ordinal] = source_size_t{static_cast<uint16_t>(state.width()), static_cast<uint16_t>(state.height())};
  }
  return true;
}

bool VideoEncoder::SetResourceLimits() {
  const bool lowDelay = settings.video().lowDelay();
  iav_system_resource_setup_ex_s limits{};
  IAV_REQUEST(IAV_IOC_GET_SYSTEM_RESOURCE_LIMIT_EX, &limits);
  uint16_t* maxSizes = &limits.main_source_buffer_max_width;
  for (unsigned k = 0; k < 4; ++k) {
    maxSizes[2 * k] = sourceSizes[k].width;
    maxSizes[2 * k + 1] = sourceSizes[k].height;
    limits.stream_max_encode_size[k] = iav_encode_size_t{sourceSizes[k].width, sourceSizes[k].height};
    limits.stream_max_GOP_M[k] = k == 0 ? (lowDelay ? 1 : 3) : 1;
    limits.stream_max_GOP_N[k] = 255;
  }
  limits.MCTF_possible = 1;
  limits.max_num_encode_streams = 4;
  limits.max_num_cap_sources = 4;
  limits.cavlc_max_bitrate = 2000000;
  IAV_REQUEST(IAV_IOC_SET_SYSTEM_RESOURCE_LIMIT_EX, &limits);
  iav_system_setup_info_ex_t setup{};
  IAV_REQUEST(IAV_IOC_GET_SYSTEM_SETUP_INFO_EX, &setup);
  setup.field0 = 1;
  setup.field2 = 1;
  setup.field4 = 1;
  setup.byte6 = 1;
  setup.field8 = 0;
  IAV_REQUEST(IAV_IOC_SET_SYSTEM_SETUP_INFO_EX, &setup);
  return true;
}

bool VideoEncoder::SetSourceBuffers() {
  const size_t n = streams.NumericKeysCount();
  iav_source_buffer_type_all_ex_t types{1, n >= 2 ? 1u : 0u, n >= 3 ? 1u : 0u, n >= 4 ? 1u : 0u};
  IAV_REQUEST(IAV_IOC_SET_SOURCE_BUFFER_TYPE_ALL_EX, &types);
  iav_source_buffer_format_all_ex_t formats{};
  formats.main_width = sourceSizes[0].width;
  formats.main_height = sourceSizes[0].height;
  iav_sub_buffer_format_t* subs[3] = {&formats.second, &formats.third, &formats.fourth};
  for (size_t k = 1; k < n && k < 4; ++k) {
    subs[k - 1]->width = sourceSizes[k].width;
    subs[k - 1]->height = sourceSizes[k].height;
    subs[k - 1]->input_width = sourceSizes[0].width;
    subs[k - 1]->input_height = sourceSizes[0].height;
  }
  IAV_REQUEST(IAV_IOC_SET_SOURCE_BUFFER_FORMAT_ALL_EX, &formats);
  return true;
}

bool VideoEncoder::SetEncoding(Variant& stream) {
  H264VideoEncoderSettingsRef node(stream);
  const StreamState state(stream);
  const unsigned int streamId = state.streamId();
  const uint8_t fps = node.fps();
  if (!SetFrameRate(streamId, fps)) {
    ENC_LOG(LOG_LEVEL_ERROR, 0, "Unable to setup framerate");
    return false;
  }
  const std::string type = state.type();
  const bool h264 = type == "h264";
  const uint32_t width = state.width();
  const uint32_t height = state.height();
  iav_encode_format_ex_t format{};
  format.id = streamId;
  format.encode_type = h264 ? IAV_ENCODE_H264 : IAV_ENCODE_MJPEG;
  format.source = static_cast<uint8_t>(state.sourceId());
  format.encode_width = static_cast<uint16_t>(width);
  format.encode_height = static_cast<uint16_t>(height);
  IAV_REQUEST(IAV_IOC_SET_ENCODE_FORMAT_EX, &format);
  if (!h264) {
    ENC_LOG(LOG_LEVEL_DEBUG, 0, "%s %ux%u@%u encoding configured", type.c_str(), width, height, fps);
    return true;
  }
  if (!SetBitRate(streamId, node.isCbr() ? IAV_CBR : IAV_VBR, node.bitRateVbrMin(), node.bitRateCbrAvg(),
                  node.bitRateVbrMax())) {
    ENC_LOG(LOG_LEVEL_ERROR, 0, "Unable to setup bitrate");
    return false;
  }
  iav_h264_config_ex_s config{};
  config.id = streamId;
  IAV_REQUEST(IAV_IOC_GET_H264_CONFIG_EX, &config);
  config.M = static_cast<uint16_t>(state.M());
  config.N = static_cast<uint16_t>(state.N());
  config.idr_interval = static_cast<uint8_t>(state.idrInterval());
  config.gop_model = static_cast<uint8_t>(state.gopModel());
  config.vflip = node.verticalFlip() ? 1 : 0;
  config.hflip = node.horizontalFlip() ? 1 : 0;
  config.au_type = 0;
  IAV_REQUEST(IAV_IOC_SET_H264_CONFIG_EX, &config);
  config = iav_h264_config_ex_s{};
  config.id = streamId;
  IAV_REQUEST(IAV_IOC_GET_H264_CONFIG_EX, &config);
  ENC_LOG(LOG_LEVEL_DEBUG, 0, "%s %ux%u@%u encoding configured", type.c_str(), width, height, fps);
  return true;
}

bool VideoEncoder::SetFrameRate(unsigned int streamId, unsigned char fps) {
  iav_change_framerate_factor_ex_t factor{};
  factor.id = streamId;
  factor.ratio_numerator = fps;
  factor.ratio_denominator = vinSource.fps;
  IAV_REQUEST(IAV_IOC_CHANGE_FRAMERATE_FACTOR_EX, &factor);
  iav_change_gop_ex_t gop{streamId, fps, 1};
  IAV_REQUEST(IAV_IOC_CHANGE_GOP_EX, &gop);
  for (auto it = streams.num_begin(); it != streams.num_end(); ++it) {
    const StreamState state(it->second);
    if (state.streamId() != streamId) continue;
    BaseContainer* container = containers[static_cast<int>(state.ordinal())];
    return container == nullptr || container->SignalCodecsChanged();
  }
  return true;
}

bool VideoEncoder::SetBitRate(unsigned int streamId, iav_rate_control_mode mode, unsigned int /*minimum*/,
                              unsigned int average, unsigned int maximum) {
  iav_bitrate_ex_t rate{streamId, mode, average, 16384, maximum};
  IAV_REQUEST(IAV_IOC_SET_BITRATE_EX, &rate);
  return true;
}

bool VideoEncoder::EnterPreview() {
  IAV_REQUEST(IAV_IOC_ENABLE_PREVIEW, uintptr_t{0});
  IAV_REQUEST(IAV_IOC_SET_AUDIO_CLK_FREQ_EX, uintptr_t{audioClockHz});
  ENC_LOG(LOG_LEVEL_DEBUG, 0, "Audio sampling rate is %uHz for video synchronization", audioClockHz);
  return true;
}

bool VideoEncoder::StartStopEncoding(bool start) {
  for (auto it = streams.num_begin(); it != streams.num_end(); ++it) {
    const uintptr_t streamId = StreamState(it->second).streamId();
    if (devIoctl(iavFd, start ? IAV_IOC_START_ENCODE_EX : IAV_IOC_STOP_ENCODE_EX, streamId) < 0) {
      ENC_LOG(LOG_LEVEL_ERROR, errno, "start ? IAV_IOC_START_ENCODE_EX : IAV_IOC_STOP_ENCODE_EX failed");
      return false;
    }
  }
  return true;
}

bool VideoEncoder::ForceIDR() {
  for (auto it = streams.num_begin(); it != streams.num_end(); ++it) {
    const uintptr_t streamId = StreamState(it->second).streamId();
    IAV_REQUEST(IAV_IOC_FORCE_IDR_EX, streamId);
  }
  return true;
}

void VideoEncoder::DumpResourcesLimits(const iav_system_resource_setup_ex_s& r) {
  struct Field {
    const char* format;
    long long value;
  };
  const Field fields[] = {
      {"main_source_buffer_max_width: %lld", r.main_source_buffer_max_width},
      {"main_source_buffer_max_height: %lld", r.main_source_buffer_max_height},
      {"second_source_buffer_max_width: %lld", r.second_source_buffer_max_width},
      {"second_source_buffer_max_height: %lld", r.second_source_buffer_max_height},
      {"third_source_buffer_max_width: %lld", r.third_source_buffer_max_width},
      {"third_source_buffer_max_height: %lld", r.third_source_buffer_max_height},
      {"fourth_source_buffer_max_width: %lld", r.fourth_source_buffer_max_width},
      {"fourth_source_buffer_max_height: %lld", r.fourth_source_buffer_max_height},
      {"vout_max_width: %lld", r.vout_max_width},
      {"vout_max_height: %lld", r.vout_max_height},
      {"MCTF_possible: %lld", r.MCTF_possible},
      {"max_num_encode_streams: %lld", r.max_num_encode_streams},
      {"max_num_cap_sources: %lld", r.max_num_cap_sources},
      {"total_memory_size: %lld", r.total_memory_size},
      {"cavlc_max_bitrate: %lld", r.cavlc_max_bitrate},
      {"encode_mode: %lld", r.encode_mode},
      {"rotate_possible: %lld", r.rotate_possible},
      {"hdr_exposures_num: %lld", r.hdr_exposures_num},
      {"oversampling_disable: %lld", r.oversampling_disable},
      {"hd_sdi_mode: %lld", r.hd_sdi_mode},
  };
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  for (const Field& f : fields) ENC_LOG(LOG_LEVEL_DEBUG, 0, f.format, f.value);
#pragma GCC diagnostic pop
  for (int k = 0; k < 8; ++k) {
    ENC_LOG(LOG_LEVEL_DEBUG, 0, "stream_max_GOP_M[%d]: %llx", k,
            static_cast<unsigned long long>(r.stream_max_GOP_M[k]));
    ENC_LOG(LOG_LEVEL_DEBUG, 0, "stream_max_GOP_N[%d]: %llx", k,
            static_cast<unsigned long long>(r.stream_max_GOP_N[k]));
    ENC_LOG(LOG_LEVEL_DEBUG, 0, "stream_max_advanced_quality_model[%d]: %llx", k,
            static_cast<unsigned long long>(r.stream_max_advanced_quality_model[k]));
    ENC_LOG(LOG_LEVEL_DEBUG, 0, "stream_max_encode_size[%d]: %llux%llu", k,
            static_cast<unsigned long long>(r.stream_max_encode_size[k].width),
            static_cast<unsigned long long>(r.stream_max_encode_size[k].height));
  }
}

Variant VideoEncoder::DumpH264Config(const iav_h264_config_ex_s& c) {
  Variant m(VariantType::Map);
  m["id"] = c.id;
  m["average_bitrate"] = c.average_bitrate;
  m["pic_info.ar_x"] = c.pic_info.ar_x;
  m["pic_info.ar_y"] = c.pic_info.ar_y;
  m["pic_info.frame_mode"] = c.pic_info.frame_mode;
  m["pic_info.rate"] = c.pic_info.rate;
  m["pic_info.scale"] = c.pic_info.scale;
  m["pic_info.width"] = c.pic_info.width;
  m["pic_info.height"] = c.pic_info.height;
  m["M"] = c.M;
  m["N"] = c.N;
  m["idr_interval"] = c.idr_interval;
  m["gop_model"] = c.gop_model;
  m["bitrate_control"] = c.bitrate_control;
  m["slice_alpha_c0_offset_div2"] = c.slice_alpha_c0_offset_div2;
  m["slice_beta_offset_div2"] = c.slice_beta_offset_div2;
  m["deblocking_filter_enable"] = c.deblocking_filter_enable;
  m["entropy_codec"] = c.entropy_codec;
  m["force_intlc_tb_iframe"] = c.force_intlc_tb_iframe;
  m["allow_i_adv"] = c.allow_i_adv;
  m["cpb_buf_idc"] = c.cpb_buf_idc;
  m["en_panic_rc"] = static_cast<uint8_t>(c.en_panic_rc);
  m["cpb_cmp_idc"] = static_cast<uint8_t>(c.cpb_cmp_idc);
  m["fast_rc_idc"] = static_cast<uint8_t>(c.fast_rc_idc);
  m["hflip"] = static_cast<uint8_t>(c.hflip);
  m["vflip"] = static_cast<uint8_t>(c.vflip);
  m["rotate_clockwise"] = static_cast<uint8_t>(c.rotate_clockwise);
  m["chroma_format"] = static_cast<uint8_t>(c.chroma_format);
  m["high_profile"] = static_cast<uint8_t>(c.high_profile);
  m["reserved2"] = static_cast<uint8_t>(c.reserved2);
  m["qp_min_on_I"] = c.qp_min_on_I;
  m["qp_max_on_I"] = c.qp_max_on_I;
  m["qp_min_on_P"] = c.qp_min_on_P;
  m["qp_max_on_P"] = c.qp_max_on_P;
  m["qp_min_on_B"] = c.qp_min_on_B;
  m["qp_max_on_B"] = c.qp_max_on_B;
  m["i_qp_reduce"] = c.i_qp_reduce;
  m["p_qp_reduce"] = c.p_qp_reduce;
  m["adapt_qp"] = c.adapt_qp;
  m["skip_flag"] = c.skip_flag;
  m["intra_refresh_mb_rows"] = c.intra_refresh_mb_rows;
  m["au_type"] = c.au_type;
  m["cpb_user_size"] = c.cpb_user_size;
  Variant& delta = m["qp_delta"];
  delta = Variant(VariantType::Array);
  for (const auto& row : c.qp_delta) {
    Variant& r = delta[-1];
    r = Variant(VariantType::Array);
    for (int8_t v : row) r[-1] = v;
  }
  m["qp_roi_enable"] = c.qp_roi_enable;
  m["panic_div"] = c.panic_div;
  Variant& reserved = m["reserved"];
  reserved = Variant(VariantType::Array);
  for (uint8_t v : c.reserved) reserved[-1] = v;
  m["pic_size_control"] = c.pic_size_control;
  m["intrabias_P"] = c.intrabias_P;
  m["intrabias_B"] = c.intrabias_B;
  m["enable_scene_detect"] = c.enable_scene_detect;
  m["intra16x16_bias"] = c.intra16x16_bias;
  m["intra4x4_bias"] = c.intra4x4_bias;
  m["inter16x16_bias"] = c.inter16x16_bias;
  m["inter8x8_bias"] = c.inter8x8_bias;
  m["direct16x16_bias"] = c.direct16x16_bias;
  m["direct8x8_bias"] = c.direct8x8_bias;
  m["me_lambda_qp_offset"] = c.me_lambda_qp_offset;
  return m;
}

// ---- frames ---------------------------------------------------------------------------------------

bool VideoEncoder::StartsUnit(uint32_t offset, uint8_t type) const {
  const FrameBytes bytes(frame);
  return static_cast<uint64_t>(offset) + 5 < frame.frameSize && bytes.startCode(offset) &&
         (bytes[offset + 4] & 0x1F) == type;
}

bool VideoEncoder::CheckUnit(uint32_t offset, uint32_t length, uint8_t type) const {
  return length > 4 && static_cast<uint64_t>(offset) + length < frame.frameSize && StartsUnit(offset, type);
}

bool VideoEncoder::MapFitsFrame(const nal_map_t& map, bool idr) const {
  if (idr) {
    if (map.spsLength == 0 || map.ppsLength == 0) return false;
    if (!CheckUnit(map.spsOffset, map.spsLength, 7) || !CheckUnit(map.ppsOffset, map.ppsLength, 8)) return false;
  }
  if (map.seiLength != 0 && !CheckUnit(map.seiOffset, map.seiLength, 6)) return false;
  if (map.audLength != 0 && !CheckUnit(map.audOffset, map.audLength, 9)) return false;
  return StartsUnit(map.sliceOffset, idr ? 5 : 1);
}

void VideoEncoder::ParseNALMap(nal_map_t& map) { parseNalMap(frame, map); }

video_frame_t* VideoEncoder::GetFrame() {
  iav_bitstream_desc_t& desc = frame.desc;
  for (;;) {
    if (devIoctl(iavFd, IAV_IOC_READ_BITSTREAM_EX, &desc) < 0) {
      if (errno == EAGAIN) return nullptr;
      if (!restartPending) {
        ENC_LOG(LOG_LEVEL_ERROR, errno, "IAV_IOC_READ_BITSTREAM_EX failed");
        return nullptr;
      }
      // Nothing encodes since a failed recovery: try again once a second, and meanwhile wait a
      // little as the driver's read would, so that the loop neither spins nor floods the log.
      if (kavo::utils::momentsDiffMs(lastRestartAttempt, kavo::utils::moment()) >= 1000) {
        RestartStreams();
      } else {
        usleep(10000);
      }
      return nullptr;
    }
    restartPending = false;  // frames come again: a failed check runs the recovery
    if (desc.pts > lastFrameTimestamp) break;
  }
  lastFrameTimestamp = desc.pts;
  frame.frameSize = desc.frameInfo >> 8;
  frame.nalMap = nullptr;
  // Every reader of the frame indexes the ring and the per-stream tables with these.
  if (frame.frameSize == 0 || frame.frameSize > frame.ringSize) {
    ENC_LOG(LOG_LEVEL_ERROR, 0, "Invalid frame size %u in a ring of %u bytes", frame.frameSize, frame.ringSize);
    return nullptr;
  }
  if (desc.streamIndex > 3) {
    ENC_LOG(LOG_LEVEL_ERROR, 0, "Invalid stream index %u", desc.streamIndex);
    return nullptr;
  }
  const uint32_t type = frame.pictureType();
  if (type == IAV_PIC_TYPE_MJPEG) return &frame;
  const bool idr = type == IAV_PIC_TYPE_IDR;
  frame.nalMap = idr ? &idrNalMaps[desc.streamIndex] : &interNalMaps[desc.streamIndex];
  if (!SkipInvalidFrame()) return nullptr;
  if (MapFitsFrame(*frame.nalMap, idr)) return &frame;
  ParseNALMap(*frame.nalMap);
  if (idr) return frame.nalMap->spsLength != 0 ? &frame : nullptr;
  // A frame between key frames is handed out when its new map finds its slice: dropping it
  // would break the picture of every frame up to the next key frame.
  return StartsUnit(frame.nalMap->sliceOffset, 1) ? &frame : nullptr;
}

namespace {

void sendPlainRequest(const char* functionName, const char* to) {
  kavo::ipc::messages::BaseRequestMessage request;
  request.functionName(functionName);
  request.to(to);
  request.responseExpected(false);
  request.NormalizeFields();
  kavo::ipc::Ipc::GetInstance()->SendRequest(request);
}

}  // namespace

bool VideoEncoder::SkipInvalidFrame() {
  const iav_bitstream_desc_t& desc = frame.desc;
  if (lastFrameNumber == 0) lastFrameNumber = desc.frameNumber - 1;
  const bool sequence = desc.frameNumber == lastFrameNumber + 1;
  const bool queue = static_cast<int32_t>(desc.queueCounter - desc.frameNumber) <= 150;
  const FrameBytes bytes(frame);
  const bool valid = frame.frameSize >= 4 && bytes.startCode(0);
  if (sequence && queue && valid) {
    lastFrameNumber = desc.frameNumber;
    return true;
  }
  ENC_LOG(LOG_LEVEL_ERROR, 0, "Encoding issues detected: frame sequence: %s; queue size: %s; valid frame: %s",
          sequence ? "OK" : "FAIL", queue ? "OK" : "FAIL", valid ? "OK" : "FAIL");
  StartStopEncoding(false);
  if (StartStopEncoding(true)) {
    AdjustBitrates(true);
    lastFrameNumber = 0;
    return false;
  }
  ENC_LOG(LOG_LEVEL_ERROR, 0, "Start Encoding Failed!");
  kavo::ipc::Ipc* ipc = kavo::ipc::Ipc::GetInstance();
  {
    kavo::ipc::messages::AnalyticsInterrupt interrupt;
    interrupt.from("kavo_streamer");
    interrupt.to("kavo_analytics");
    interrupt.interruptTimeoutMs(10000);
    interrupt.reason("Corrupt video frame");
    interrupt.responseExpected(false);
    ipc->SendRequest(interrupt);
  }
  sleep(1);
  RestartStreams();
  return false;
}

void VideoEncoder::RestartStreams() {
  restartPending = true;
  lastRestartAttempt = kavo::utils::moment();
  if (!SetVIN() || !EnterPreview()) {
    ENC_LOG(LOG_LEVEL_ERROR, 0, "Try to restart streamer Failed!!");
    return;
  }
  if (!StartStopEncoding(true)) {
    ENC_LOG(LOG_LEVEL_ERROR, 0, "Start Encoding still Failed!!");
    return;
  }
  restartPending = false;
  AdjustBitrates(true);
  sendPlainRequest("ReloadOsdSettings", "kavo_osd");
  sendPlainRequest("ReInitIsp", "kavo_ispserver");
  sendPlainRequest("ResetAllIspSettings", "kavo_ispserver");
  sendPlainRequest("ReloadIspSettings", "kavo_ispserver");
  sendPlainRequest("ChangeIspSettings", "kavo_ispserver");
  lastFrameNumber = 0;
}

}  // namespace encoder
}  // namespace kavo
