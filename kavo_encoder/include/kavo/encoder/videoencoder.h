#pragma once
// VideoEncoder: drives the video DSP through the IAV driver ("/dev/ucode", "/dev/iav") for the
// Encoder facade: microcode, video input, resource limits, source buffers, the H.264 and MJPEG
// streams, frame reading with corrupt-frame recovery, bitrate adaptation, live settings changes
// and the streams' containers.
//
// Streams are named by their settings node ("video1", "video2", "video3", "mjpg"), by their
// ordinal (index among the enabled streams in that order; the frame's stream id and the key of
// GetContainers()) and by their driver id 1 << ordinal. `streams` holds one state entry per
// enabled stream: a copy of its settings node plus "name", "maxFps", "validFpsValues", "N",
// "streamOrdinal", "streamId", "sourceId" and "currentBitrate" (the library reads entries through
// one typed view that holds each key's default).
//
// Every failing driver request logs "<REQUEST> failed" at level 3 with errno and makes the
// operation return false at once, without undoing earlier steps.
#include <time.h>

#include <cstdint>
#include <map>

#include "kavo/encoder/encodersettings.h"
#include "kavo/encoder/frames.h"
#include "kavo/ipc/messages/changevideosettings.h"
#include "kavo/os/iav.h"
#include "kavo/variant/variant.h"

namespace kavo {
namespace encoder {

class Encoder;
class BaseContainer;

struct chip_info_t {
  int32_t id;
  const char* name;
  uint32_t capability;  // macroblocks per second over all streams
};
// Row r holds chip id r - 1; row 0 ("UNKNOWN", 0) stands for any chip not in the table.
extern const chip_info_t chips[];
extern const unsigned int chipsCount;

// The chosen video input.
struct vin_source_t {
  int32_t sourceId;
  uint8_t fps;  // input frame rate
  amba_vin_source_mode_info mode;
};

struct source_size_t {
  uint16_t width;
  uint16_t height;
};

class VideoEncoder {
 public:
  VideoEncoder(EncoderSettings& settings, Encoder* owner);
  virtual ~VideoEncoder();
  VideoEncoder(const VideoEncoder&) = delete;
  VideoEncoder& operator=(const VideoEncoder&) = delete;

  // ---- lifecycle and chip capabilities ------------------------------------------------------
  static uint32_t GetChipPerformance();
  // The frame rate not above min(wanted, maxFps) that divides n or is a multiple of it.
  static uint32_t ComputeFPS(unsigned int wanted, unsigned int n, unsigned int maxFps);
  // Microcode, idle, input, validation, output check, limits, buffers, streams, preview,
  // containers, saved defaults. The streams do not encode yet.
  bool Open();
  void Close();
  bool StartEncode();
  bool StopEncode();
  std::map<int, BaseContainer*>& GetContainers() { return containers; }
  bool LoadUCode();
  bool CloseFD(int* fd);
  bool OpenIAV();
  bool EnterIdle();
  bool ValidateSettings();
  bool SetVOUT();
  bool SetEncodings();

  // ---- bitrate adaptation and live settings ---------------------------------------------------
  bool SetupContainers();
  bool SaveDefaults();
  bool ResetToDefaults();
  bool UpdateSettings(kavo::ipc::messages::ChangeVideoSettings& change);
  void AdjustBitrates(bool down);
  bool EnableLiveVideo(unsigned short& port);

  // ---- pipeline set-up ----------------------------------------------------------------------
  bool GetMaxCapabilities();
  static bool ValidateSettings(EncoderSettings& settings, kavo::variant::Variant& streams, unsigned int maxWidth,
                               unsigned int maxHeight, unsigned int maxFps, unsigned int capacity);
  bool SetVIN();
  bool SetResourceLimits();
  bool SetSourceBuffers();
  bool SetEncoding(kavo::variant::Variant& stream);
  bool SetFrameRate(unsigned int streamId, unsigned char fps);
  bool SetBitRate(unsigned int streamId, iav_rate_control_mode mode, unsigned int minimum, unsigned int average,
                  unsigned int maximum);
  bool EnterPreview();
  bool StartStopEncoding(bool start);
  bool ForceIDR();
  void DumpResourcesLimits(const iav_system_resource_setup_ex_s& limits);
  kavo::variant::Variant DumpH264Config(const iav_h264_config_ex_s& config);

  // ---- frames -------------------------------------------------------------------------------
  // The next good frame (valid until the next call), or null: no frame now, a read failure, or
  // a dropped frame.
  video_frame_t* GetFrame();
  void ParseNALMap(nal_map_t& map);
  bool SkipInvalidFrame();

  const kavo::variant::Variant& GetStreams() const { return streams; }

 protected:
  // True when the unit of `type` at offset/length fits this frame and starts there.
  bool CheckUnit(uint32_t offset, uint32_t length, uint8_t type) const;
  // True when a 4-byte start code followed by a unit of `type` lies at `offset`.
  bool StartsUnit(uint32_t offset, uint8_t type) const;
  bool MapFitsFrame(const nal_map_t& map, bool idr) const;
  // The input, the preview and the streams set up again after a recovery that left nothing
  // encoding; restartPending stays set while they do not run.
  void RestartStreams();

  Encoder* owner;
  EncoderSettings& settings;
  kavo::variant::Variant streams;
  int ucodeFd = -1;
  int iavFd = -1;
  video_frame_t frame{};
  uint32_t audioClockHz = 0;
  vin_source_t vinSource{};
  uint32_t chipCapacity = 0;
  iav_vout_sink_info_t voutSink{};
  source_size_t sourceSizes[4] = {};
  nal_map_t idrNalMaps[4] = {};
  nal_map_t interNalMaps[4] = {};
  std::map<int, BaseContainer*> containers;
  kavo::variant::Variant savedDefaults;
  uint64_t lastFrameTimestamp = 0;
  uint32_t lastFrameNumber = 0;
  // A recovery failed and nothing may encode: no frame will come to run it again, so GetFrame
  // retries the restart itself, once a second.
  bool restartPending = false;
  struct timespec lastRestartAttempt = {};
  double growthFactor = 1.1;
};

}  // namespace encoder
}  // namespace kavo
