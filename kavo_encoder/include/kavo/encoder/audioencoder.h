#pragma once
// AudioEncoder: the microphone through ALSA ("default", capture, mmap interleaved, S16_LE), its
// "Capture Volume" control, and the program's AAC encoder writing one ADTS frame per block.
//
//   AudioEncoder audio(settings);          // settings: the facade's document, "audio" node
//   if (audio.Open() && audio.StartEncode())
//     while (audio_frame_t* frame = audio.GetFrame()) ...;   // once per loop turn
//
// A block is 1024 sample frames (2048 in the SBR modes, where the AAC encoder takes twice as many
// per call). A block is encoded in place from the device's mmap area; only when the area wraps
// inside a block are its two parts copied into a staging buffer. GetFrame never waits and
// allocates nothing.
//
// Time: each frame carries the time base (CLOCK_MONOTONIC ms at which the sample counter starts)
// and its first sample's number; StartEncode and an overrun restart both; once a frame's counter
// passes 11 s the time base is taken from the clock again, less the frames still waiting in the
// device, so the drift between the microphone's clock and the system clock stays bounded.
//
// The ALSA and AAC functions are bound from the program that loads the library; without them (or
// without the capture device, or its "Capture Volume" control) Open fails and the facade goes on
// without audio.
#include <cstdint>
#include <memory>

#include "kavo/encoder/encodersettings.h"
#include "kavo/encoder/frames.h"
#include "kavo/variant/variant.h"

// The ALSA handles, as the ALSA headers declare them.
typedef struct _snd_pcm snd_pcm_t;
typedef struct _snd_pcm_hw_params snd_pcm_hw_params_t;
typedef struct _snd_ctl snd_ctl_t;

namespace kavo {
namespace encoder {

class AudioEncoder {
 public:
  static constexpr uint32_t kBlockFrames = 1024;      // sample frames per AAC frame (AAC-LC)
  static constexpr uint32_t kSbrBlockFrames = 2048;   // per call in the SBR modes
  static constexpr uint32_t kMaxChannels = 2;
  static constexpr int64_t kReanchorSeconds = 11;

  explicit AudioEncoder(EncoderSettings& settings);
  virtual ~AudioEncoder();
  AudioEncoder(const AudioEncoder&) = delete;
  AudioEncoder& operator=(const AudioEncoder&) = delete;

  bool Open();
  bool StartEncode();
  bool StopEncode();
  // One encoded frame when a whole block is ready, else null (also after an overrun, whose
  // recovery restarts the capture).
  audio_frame_t* GetFrame();
  // Capture volume in percent; negative: not set (nothing happens, true). 0 mutes the input.
  bool UpdateVolume(int8_t percent);
  bool SaveDefaults();
  bool ResetToDefaults();
  uint32_t GetBandwidth();
  void ResetTimebase();
  void CloseMixer();
  void Close();
  bool SetupPCM();
  bool SetupAAC();

  // For tests and the facade's checks.
  const audio_frame_t& Frame() const { return frame; }
  bool IsMuted() const { return muted; }
  uint32_t BlockFrames() const { return blockFrames; }

 private:
  bool bound() const;
  // Hands the next block to the encoder: in place, or staged when the area wraps. False when a
  // mapping call failed (logged).
  bool EncodeBlock();
  static int64_t MonotonicMs();

  EncoderSettings* settings;
  snd_ctl_t* mixer = nullptr;
  snd_pcm_t* pcm = nullptr;
  snd_pcm_hw_params_t* hwParams = nullptr;
  audio_frame_t frame{};
  uint32_t channels = 0;
  std::unique_ptr<uint8_t[]> memoryBlock;
  kavo::variant::Variant savedDefaults;
  bool muted = false;
  uint32_t blockFrames = kBlockFrames;
  // The silent input and the block that wrapped: room for 2048 frames of two channels each.
  int16_t silence[kSbrBlockFrames * kMaxChannels] = {};
  int16_t staging[kSbrBlockFrames * kMaxChannels] = {};
};

}  // namespace encoder
}  // namespace kavo
