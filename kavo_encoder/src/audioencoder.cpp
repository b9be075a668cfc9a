#include "kavo/encoder/audioencoder.h"

#include <alloca.h>
#include <time.h>

#include <cerrno>
#include <cstring>

#include "audiobinding.h"
#include "kavo/utils/system.h"
#include "encoderlog.h"

// An ALSA call's failure: its words, the negative code and the library's text for it.
#define ALSA_FAILED(call, rc) \
  ENC_LOG(LOG_LEVEL_ERROR, 0, call " failed. Error: %d %s", static_cast<int>(rc), alsaText(static_cast<int>(rc)))

namespace kavo {
namespace encoder {

namespace {

const char* const kDevice = "default";
const char* const kVolumeElement = "Capture Volume";

const char* alsaText(int rc) {
  const char* text = audioBinding().snd_strerror != nullptr ? audioBinding().snd_strerror(rc) : nullptr;
  return text != nullptr ? text : "";
}

// The interleaved frame at `offset` of the mapped area.
const int16_t* areaAt(const snd_pcm_channel_area_t* areas, snd_pcm_uframes_t offset) {
  const uint8_t* base = static_cast<const uint8_t*>(areas[0].addr);
  return reinterpret_cast<const int16_t*>(base + (areas[0].first + offset * areas[0].step) / 8);
}

}  // namespace

AudioEncoder::AudioEncoder(EncoderSettings& owner) : settings(&owner) {}

AudioEncoder::~AudioEncoder() { Close(); }

bool AudioEncoder::bound() const {
  const char* missing = audioBinding().missing;
  if (missing == nullptr) return true;
  ENC_LOG(LOG_LEVEL_ERROR, 0, "Unable to bind %s from the program", missing);
  return false;
}

bool AudioEncoder::Open() {
  Close();
  if (!bound()) return false;
  AudioEncoderSettingsRef audio = settings->audio();
  channels = audio.channels();
  frame.sampleRate = audio.sampleRate();
  // The SBR modes run the core at half the rate: each call takes two blocks' worth of samples.
  blockFrames = audio.mode() != 0 ? kSbrBlockFrames : kBlockFrames;
  if (!UpdateVolume(static_cast<int8_t>(audio.volume()))) return false;
  if (!SetupPCM()) return false;
  if (!SetupAAC()) return false;
  return SaveDefaults();
}

bool AudioEncoder::SetupPCM() {
  const AudioBinding& b = audioBinding();
  int rc = b.snd_pcm_open(&pcm, kDevice, SND_PCM_STREAM_CAPTURE, 0);
  if (rc < 0) {
    pcm = nullptr;
    ALSA_FAILED("snd_pcm_open", rc);
    return false;
  }
  if ((rc = b.snd_pcm_hw_params_malloc(&hwParams)) < 0) {
    hwParams = nullptr;
    ALSA_FAILED("snd_pcm_hw_params_malloc", rc);
    return false;
  }
  if ((rc = b.snd_pcm_hw_params_any(pcm, hwParams)) < 0) {
    ALSA_FAILED("snd_pcm_hw_params_any", rc);
    return false;
  }
  if ((rc = b.snd_pcm_hw_params_set_access(pcm, hwParams, SND_PCM_ACCESS_MMAP_INTERLEAVED)) < 0) {
    ALSA_FAILED("snd_pcm_hw_params_set_access", rc);
    return false;
  }
  if ((rc = b.snd_pcm_hw_params_set_format(pcm, hwParams, SND_PCM_FORMAT_S16_LE)) < 0) {
    ALSA_FAILED("snd_pcm_hw_params_set_format", rc);
    return false;
  }
  unsigned int rate = frame.sampleRate;
  if ((rc = b.snd_pcm_hw_params_set_rate_near(pcm, hwParams, &rate, nullptr)) < 0) {
    ALSA_FAILED("snd_pcm_hw_params_set_rate_near", rc);
    return false;
  }
  frame.sampleRate = rate;
  settings->audio().sampleRate(rate);
  if ((rc = b.snd_pcm_hw_params_set_channels(pcm, hwParams, channels)) < 0) {
    ALSA_FAILED("snd_pcm_hw_params_set_channels", rc);
    return false;
  }
  if ((rc = b.snd_pcm_hw_params(pcm, hwParams)) < 0) {
    ALSA_FAILED("snd_pcm_hw_params", rc);
    return false;
  }
  if ((rc = b.snd_pcm_prepare(pcm)) < 0) {
    ALSA_FAILED("snd_pcm_prepare", rc);
    return false;
  }
  ENC_LOG(LOG_LEVEL_DEBUG, 0, "PCM configured at %uHz with %u channels having 16 bits/sample", frame.sampleRate,
          channels);
  return true;
}

bool AudioEncoder::SetupAAC() {
  const AudioBinding& b = audioBinding();
  AudioEncoderSettingsRef audio = settings->audio();
  const uint32_t outputBytes = AACENC_OUTPUT_BYTES(channels);
  memoryBlock.reset(new uint8_t[AACENC_BLOCK_BYTES(channels)]());
  aacenc_config_t& config = frame.config;
  config = aacenc_config_t{};
  config.sample_rate = frame.sampleRate;
  config.core_sample_rate = frame.sampleRate;
  config.channels_in = channels;
  config.channels_out = channels;
  config.mode = audio.mode();
  config.tns_enabled = audio.enableTemporalNoiseShaping() ? 1 : 0;
  config.format = 't';
  config.bit_rate = audio.bitRate();
  config.quality = audio.quality();
  config.output_buffer = memoryBlock.get();
  config.work_memory = memoryBlock.get() + outputBytes;
  b.aacenc_setup(&config);
  if (config.error != 0) {
    ENC_LOG(LOG_LEVEL_ERROR, 0, "Unable to setup the AAC encoder");
    return false;
  }
  b.aacenc_open(&config);
  if (config.error != 0) {
    ENC_LOG(LOG_LEVEL_ERROR, 0, "Unable to open the AAC encoder");
    return false;
  }
  // The encoder copies its texts without a terminator; the zeroed record ends them.
  ENC_LOG(LOG_LEVEL_DEBUG, 0, "AAC encoding library initialized: %.*s@%.*s", static_cast<int>(sizeof config.location_text),
          config.location_text, static_cast<int>(sizeof config.revision_text), config.revision_text);
  return true;
}

bool AudioEncoder::StartEncode() {
  if (pcm == nullptr) {
    ENC_LOG(LOG_LEVEL_ERROR, 0, "snd_pcm_start failed. Error: %d %s", -EBADFD, alsaText(-EBADFD));
    return false;
  }
  const int rc = audioBinding().snd_pcm_start(pcm);
  if (rc < 0) {
    ALSA_FAILED("snd_pcm_start", rc);
    return false;
  }
  ResetTimebase();
  return true;
}

bool AudioEncoder::StopEncode() { return true; }

int64_t AudioEncoder::MonotonicMs() {
  struct timespec now;
  if (::clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
    ENC_LOG(LOG_LEVEL_ERROR, errno, "clock_gettime failed");
    kavo::utils::forceCrash();
  }
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void AudioEncoder::ResetTimebase() {
  frame.sampleCount = -static_cast<int64_t>(blockFrames);
  frame.timeBase = MonotonicMs();
}

audio_frame_t* AudioEncoder::GetFrame() {
  if (pcm == nullptr) return nullptr;
  const AudioBinding& b = audioBinding();
  const snd_pcm_sframes_t avail = b.snd_pcm_avail(pcm);
  if (avail == -EPIPE) {
    ENC_LOG(LOG_LEVEL_WARNING, 0, "Recover from EPIPE");
    int rc = b.snd_pcm_recover(pcm, -EPIPE, 0);
    if (rc < 0) {
      ALSA_FAILED("snd_pcm_recover", rc);
      return nullptr;
    }
    if ((rc = b.snd_pcm_start(pcm)) < 0) {
      ALSA_FAILED("snd_pcm_start", rc);
      return nullptr;
    }
    ResetTimebase();
    return nullptr;
  }
  if (avail < 0) {
    ALSA_FAILED("snd_pcm_avail", avail);
    return nullptr;
  }
  if (avail < static_cast<snd_pcm_sframes_t>(blockFrames)) return nullptr;

  // The clock is re-read for a block whose counter passed the bound. The block's first sample was
  // taken `avail` frames before now: the time base goes back by that much, or every re-anchored
  // frame would be stamped later than its sound by at least one frame's duration.
  const int64_t rate = frame.sampleRate;
  const bool reanchor = rate > 0 && frame.sampleCount / rate >= kReanchorSeconds;
  int64_t anchor = 0;
  if (reanchor) anchor = MonotonicMs() - (static_cast<int64_t>(avail) * 1000 + rate / 2) / rate;

  if (!EncodeBlock()) return nullptr;

  if (reanchor) {
    frame.timeBase = anchor;
    frame.sampleCount = -static_cast<int64_t>(blockFrames);
  }
  frame.sampleCount += blockFrames;
  return frame.config.error == 0 ? &frame : nullptr;
}

bool AudioEncoder::EncodeBlock() {
  const AudioBinding& b = audioBinding();
  const snd_pcm_channel_area_t* areas = nullptr;
  snd_pcm_uframes_t offset = 0;
  snd_pcm_uframes_t frames = blockFrames;
  int rc = b.snd_pcm_mmap_begin(pcm, &areas, &offset, &frames);
  if (rc < 0) {
    ALSA_FAILED("snd_pcm_mmap_begin", rc);
    return false;
  }
  if (frames >= blockFrames) {
    // The whole block lies in one piece: the encoder reads it where the device wrote it.
    frame.config.input_pcm = muted ? silence : areaAt(areas, offset);
    b.aacenc_encode(&frame.config);
    const snd_pcm_sframes_t done = b.snd_pcm_mmap_commit(pcm, offset, blockFrames);
    if (done != static_cast<snd_pcm_sframes_t>(blockFrames)) {
      ENC_LOG(LOG_LEVEL_ERROR, 0, "snd_pcm_mmap_commit failed.");
      return false;
    }
    return true;
  }
  // The block runs over the end of the mapped buffer: gather its pieces, each no longer than
  // what the mapping granted.
  const size_t frameBytes = static_cast<size_t>(channels) * sizeof(int16_t);
  uint32_t got = 0;
  for (;;) {
    if (frames == 0) {
      ENC_LOG(LOG_LEVEL_ERROR, 0, "snd_pcm_mmap_begin granted no frames");
      return false;
    }
    if (!muted) std::memcpy(staging + static_cast<size_t>(got) * channels, areaAt(areas, offset), frames * frameBytes);
    const snd_pcm_sframes_t done = b.snd_pcm_mmap_commit(pcm, offset, frames);
    if (done != static_cast<snd_pcm_sframes_t>(frames)) {
      ENC_LOG(LOG_LEVEL_ERROR, 0, "snd_pcm_mmap_commit failed.");
      return false;
    }
    got += static_cast<uint32_t>(frames);
    if (got >= blockFrames) break;
    frames = blockFrames - got;
    if ((rc = b.snd_pcm_mmap_begin(pcm, &areas, &offset, &frames)) < 0) {
      ALSA_FAILED("snd_pcm_mmap_begin", rc);
      return false;
    }
    if (frames > blockFrames - got) frames = blockFrames - got;
  }
  frame.config.input_pcm = muted ? silence : staging;
  b.aacenc_encode(&frame.config);
  return true;
}

bool AudioEncoder::UpdateVolume(int8_t percent) {
  if (percent < 0) return true;
  const AudioBinding& b = audioBinding();
  if (!bound()) return false;
  CloseMixer();
  int rc = b.snd_ctl_open(&mixer, kDevice, 0);
  if (rc < 0) {
    mixer = nullptr;
    ALSA_FAILED("snd_ctl_open", rc);
    return false;
  }
  snd_ctl_elem_id_t* id = static_cast<snd_ctl_elem_id_t*>(alloca(b.snd_ctl_elem_id_sizeof()));
  std::memset(id, 0, b.snd_ctl_elem_id_sizeof());
  b.snd_ctl_elem_id_set_interface(id, SND_CTL_ELEM_IFACE_MIXER);
  b.snd_ctl_elem_id_set_name(id, kVolumeElement);
  snd_ctl_elem_info_t* info = static_cast<snd_ctl_elem_info_t*>(alloca(b.snd_ctl_elem_info_sizeof()));
  std::memset(info, 0, b.snd_ctl_elem_info_sizeof());
  b.snd_ctl_elem_info_set_id(info, id);
  if ((rc = b.snd_ctl_elem_info(mixer, info)) < 0) {
    ALSA_FAILED("snd_ctl_elem_info", rc);
    return false;
  }
  const int64_t min = b.snd_ctl_elem_info_get_min(info);
  const int64_t max = b.snd_ctl_elem_info_get_max(info);
  int32_t value = static_cast<int32_t>(min + (static_cast<int64_t>(percent) * (max - min)) / 100);
  if (value < min) value = static_cast<int32_t>(min);
  if (value > max) value = static_cast<int32_t>(max);
  snd_ctl_elem_value_t* control = static_cast<snd_ctl_elem_value_t*>(alloca(b.snd_ctl_elem_value_sizeof()));
  std::memset(control, 0, b.snd_ctl_elem_value_sizeof());
  b.snd_ctl_elem_value_set_id(control, id);
  b.snd_ctl_elem_value_set_integer(control, 0, value);
  if ((rc = b.snd_ctl_elem_write(mixer, control)) < 0) {
    ALSA_FAILED("snd_ctl_elem_write", rc);
    return false;
  }
  CloseMixer();
  ENC_LOG(LOG_LEVEL_INFO, 0, "Volume changed to %d%%", percent);
  settings->audio().volume(static_cast<uint8_t>(percent));
  muted = percent == 0;
  return true;
}

bool AudioEncoder::SaveDefaults() {
  savedDefaults["volume"] = settings->audio().volume();
  return true;
}

bool AudioEncoder::ResetToDefaults() {
  const kavo::variant::Variant* volume = savedDefaults.Find("volume");
  const int8_t percent = volume != nullptr ? static_cast<int8_t>(volume->AsUInt8()) : int8_t{-1};
  if (!UpdateVolume(percent)) {
    ENC_LOG(LOG_LEVEL_ERROR, 0, "Unable to update the audio volume");
    return false;
  }
  return true;
}

uint32_t AudioEncoder::GetBandwidth() { return settings->audio().bitRate(); }

void AudioEncoder::CloseMixer() {
  if (mixer != nullptr) {
    if (audioBinding().snd_ctl_close != nullptr) audioBinding().snd_ctl_close(mixer);
    mixer = nullptr;
  }
}

void AudioEncoder::Close() {
  const AudioBinding& b = audioBinding();
  CloseMixer();
  if (frame.config.output_buffer != nullptr) {
    if (b.AacEncClose != nullptr) b.AacEncClose(aacenc_core_handle(&frame.config));
    frame = audio_frame_t{};
  }
  if (pcm != nullptr) {
    if (b.snd_pcm_close != nullptr) b.snd_pcm_close(pcm);
    pcm = nullptr;
  }
  if (hwParams != nullptr) {
    if (b.snd_pcm_hw_params_free != nullptr) b.snd_pcm_hw_params_free(hwParams);
    hwParams = nullptr;
  }
  memoryBlock.reset();
  channels = 0;
  muted = false;
}

}  // namespace encoder
}  // namespace kavo
