#pragma once
// Encoder: the class of libkavo_encoder that the streamer drives.
//
//   Encoder encoder;
//   if (!encoder.Open(settings) || !encoder.StartEncode()) ...;
//   for (;;) { encoder.EncodeFrames(); ipc->Service(0); }
//
// Open copies and normalises the settings document, creates the video encoder (and the audio
// encoder when the settings enable audio; an audio set-up failure drops the audio track and video
// goes on) and lists the streams' containers. EncodeFrames drains the ready audio frames to every
// container, reads one video frame for the container of its stream and turns the containers'
// congestion levels into bitrate steps. Everything runs on the caller's thread; nothing here
// allocates per frame.
#include <cstdint>

#include "kavo/encoder/encodersettings.h"
#include "kavo/encoder/frames.h"
#include "kavo/ipc/messages/changevideosettings.h"

namespace kavo {
namespace encoder {

class AudioEncoder;
class VideoEncoder;
class BaseContainer;

class Encoder {
 public:
  static constexpr unsigned kStreams = 4;
  // Calls at one congestion level after which the bitrates take one step.
  static constexpr uint32_t kUnchangedCalls = 300;
  // A rise of the congestion level to at least this lowers the bitrates at once.
  static constexpr uint8_t kCongestionStep = 11;

  Encoder();
  virtual ~Encoder();
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;

  // The chip's capacity (macroblocks per second over all streams); 0 when the video device
  // cannot be asked. Needs no Encoder.
  static uint32_t GetChipPerformance();

  bool Open(const EncoderSettings& settings);
  void Close();
  bool StartEncode();
  bool StopEncode();
  // One turn of the streamer's loop; always true.
  bool EncodeFrames();

  av_frames_t* GetFrame();
  audio_frame_t* GetAudioFrame();
  video_frame_t* GetVideoFrame();

  const EncoderSettings& GetCurrentSettings() const { return settings; }
  bool UpdateContainers();
  bool UpdateSettings(kavo::ipc::messages::ChangeVideoSettings& change);
  bool ResetToDefaults();
  bool ForceIDR();
  // Opens (or finds) the live-view acceptor and sets `port`.
  bool EnableLiveVideo(unsigned short& port);
  // The audio bitrate (bits per second); 0 without audio.
  uint32_t GetAudioBandwidth();

 protected:
  enum class BitrateStep { None, Down, Up };
  // The congestion rule: the step for this call's level (capped at 100), updating the previous
  // level and the count of calls at an unchanged level.
  static BitrateStep CongestionRule(uint8_t level, uint8_t& lastLevel, uint32_t& unchangedCount);

  EncoderSettings settings;
  AudioEncoder* audioEncoder = nullptr;
  VideoEncoder* videoEncoder = nullptr;
  av_frames_t frames{nullptr, nullptr};
  BaseContainer* containers[kStreams] = {nullptr, nullptr, nullptr, nullptr};
  uint8_t congestion[kStreams] = {0, 0, 0, 0};
  uint32_t unchangedCount = 0;
  uint8_t lastLevel = 0xFF;
};

}  // namespace encoder
}  // namespace kavo
