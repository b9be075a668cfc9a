#include "kavo/encoder/encoder.h"

#include <map>

#include "kavo/encoder/audioencoder.h"
#include "kavo/encoder/basecontainer.h"
#include "kavo/encoder/videoencoder.h"
#include "encoderlog.h"

namespace kavo {
namespace encoder {

Encoder::Encoder() = default;

Encoder::~Encoder() { Close(); }

uint32_t Encoder::GetChipPerformance() { return VideoEncoder::GetChipPerformance(); }

bool Encoder::Open(const EncoderSettings& newSettings) {
  Close();
  settings = newSettings;
  settings.NormalizeFields();
  if (settings.audio().enabled()) audioEncoder = new AudioEncoder(settings);
  videoEncoder = new VideoEncoder(settings, this);
  if (audioEncoder != nullptr && !audioEncoder->Open()) {
    ENC_LOG(LOG_LEVEL_WARNING, 0, "Audio setup failed. Permanently closing the audio track");
    delete audioEncoder;
    audioEncoder = nullptr;
  }
  if (!videoEncoder->Open()) return false;
  return UpdateContainers();
}

void Encoder::Close() {
  StopEncode();
  frames = av_frames_t{nullptr, nullptr};
  for (auto& slot : containers) slot = nullptr;
  delete audioEncoder;
  audioEncoder = nullptr;
  delete videoEncoder;
  videoEncoder = nullptr;
  for (auto& level : congestion) level = 0;
  unchangedCount = 0;
  lastLevel = 0xFF;
}

bool Encoder::StartEncode() {
  bool audio = true;
  if (audioEncoder != nullptr) audio = audioEncoder->StartEncode();
  const bool video = videoEncoder == nullptr || videoEncoder->StartEncode();
  if (audio && video) {
    ENC_LOG(LOG_LEVEL_INFO, 0, "A/V encoding started");
    return true;
  }
  ENC_LOG(LOG_LEVEL_WARNING, 0, "A/V encoding failed to start");
  return false;
}

bool Encoder::StopEncode() {
  bool audio = true;
  if (audioEncoder != nullptr) audio = audioEncoder->StopEncode();
  const bool video = videoEncoder == nullptr || videoEncoder->StopEncode();
  if (audio && video) {
    ENC_LOG(LOG_LEVEL_INFO, 0, "A/V encoding stopped");
    return true;
  }
  ENC_LOG(LOG_LEVEL_WARNING, 0, "A/V encoding failed to stop");
  return false;
}

Encoder::BitrateStep Encoder::CongestionRule(uint8_t level, uint8_t& last, uint32_t& count) {
  if (level > 100) level = 100;
  BitrateStep step = BitrateStep::None;
  if (last == 0xFF || level == last) {
    if (++count >= kUnchangedCalls) {
      count = 0;
      step = level > 0 ? BitrateStep::Down : BitrateStep::Up;
    }
  } else {
    count = 0;
    if (level > last && level >= kCongestionStep) step = BitrateStep::Down;
  }
  last = level;
  return step;
}

bool Encoder::EncodeFrames() {
  if (audioEncoder != nullptr) {
    while (const audio_frame_t* audio = audioEncoder->GetFrame()) {
      for (BaseContainer* container : containers) {
        uint8_t ignored = 0;
        if (container != nullptr) container->WriteAudioFrame(audio, ignored);
      }
    }
  }
  if (videoEncoder != nullptr) {
    if (const video_frame_t* video = videoEncoder->GetFrame()) {
      const uint32_t id = video->streamId();
      if (containers[id] != nullptr) containers[id]->WriteVideoFrame(video, congestion[id]);
    }
  }
  uint8_t level = 0;
  for (uint8_t value : congestion)
    if (value > level) level = value;
  const BitrateStep step = CongestionRule(level, lastLevel, unchangedCount);
  if (videoEncoder != nullptr && step != BitrateStep::None) videoEncoder->AdjustBitrates(step == BitrateStep::Down);
  return true;
}

av_frames_t* Encoder::GetFrame() {
  frames.audio = GetAudioFrame();
  frames.video = GetVideoFrame();
  return &frames;
}

audio_frame_t* Encoder::GetAudioFrame() {
  if (audioEncoder != nullptr) return audioEncoder->GetFrame();
  return nullptr;
}

video_frame_t* Encoder::GetVideoFrame() { return videoEncoder != nullptr ? videoEncoder->GetFrame() : nullptr; }

bool Encoder::UpdateContainers() {
  for (auto& slot : containers) slot = nullptr;
  if (videoEncoder == nullptr) return true;
  for (const auto& entry : videoEncoder->GetContainers()) {
    if (entry.first < 0 || entry.first >= static_cast<int>(kStreams)) {
      ENC_LOG(LOG_LEVEL_ERROR, 0, "Invalid stream id detected");
      return false;
    }
    containers[entry.first] = entry.second;
  }
  return true;
}

bool Encoder::UpdateSettings(kavo::ipc::messages::ChangeVideoSettings& change) {
  if (videoEncoder == nullptr) {
    ENC_LOG(LOG_LEVEL_ERROR, 0, "No video encoder configured");
    return false;
  }
  bool result = videoEncoder->UpdateSettings(change);
  if (audioEncoder != nullptr) result = audioEncoder->UpdateVolume(change.audio().volume()) && result;
  result = UpdateContainers() && result;
  return result;
}

bool Encoder::ResetToDefaults() {
  if (videoEncoder == nullptr) {
    ENC_LOG(LOG_LEVEL_ERROR, 0, "No video encoder configured");
    return false;
  }
  bool result = videoEncoder->ResetToDefaults();
  if (audioEncoder != nullptr) result = audioEncoder->ResetToDefaults() && result;
  return result;
}

bool Encoder::ForceIDR() {
  if (videoEncoder == nullptr) {
    ENC_LOG(LOG_LEVEL_ERROR, 0, "No video encoder configured");
    return false;
  }
  return videoEncoder->ForceIDR();
}

bool Encoder::EnableLiveVideo(unsigned short& port) {
  if (videoEncoder == nullptr) {
    ENC_LOG(LOG_LEVEL_ERROR, 0, "No video encoder configured");
    return false;
  }
  if (!videoEncoder->EnableLiveVideo(port)) return false;
  return UpdateContainers();
}

uint32_t Encoder::GetAudioBandwidth() {
  if (audioEncoder != nullptr) return audioEncoder->GetBandwidth();
  return 0;
}

}  // namespace encoder
}  // namespace kavo
