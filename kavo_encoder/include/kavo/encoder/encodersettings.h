#pragma once
// The encoder settings document: the streamer's configuration file, what the encoders read while
// they set themselves up, and the current settings that the request handlers send back.
//
//   root     EncoderSettings           "firmwarePath", "audio", "video"
//   audio    AudioEncoderSettings      BaseEncoderSettings keys + the audio keys
//   video    VideoEncoderSettings      "lowDelay", "audioSampleRate", "video1".."video3", "mjpg"
//   videoN   H264VideoEncoderSettings  BaseEncoderSettings + BaseVideoEncoderSettings + H.264 keys
//   mjpg     MJPGVideoEncoderSettings  BaseEncoderSettings + BaseVideoEncoderSettings keys
//   each stream node holds "avSerializer" (kavo::ipc::messages::AVSerializer).
//
// Every key is optional: a getter stores its default when the key is missing or of another kind,
// and NormalizeFields() rewrites every key through getter and setter (nodes in place), so that
// afterwards the document holds every key with a value its setter accepts. Keys the classes do
// not declare are left alone. "type" passes the setter of every class of a node, so video1..3
// always end as "h264", "mjpg" as "mjpg" and "audio" as "aac".
//
// Each class exists as a document (EncoderSettings, ...) and as a view of a node stored in
// another document (EncoderSettingsRef, ...): settings.audio() is an AudioEncoderSettingsRef,
// so settings.audio().enabled() reads and repairs the stored node in place, and the view converts
// to the node's Variant& (settings.video()[name] = entry). A typed copy of a node is made by
// constructing the document class from the view. Views must not outlive the node they show.
#include <cstdint>
#include <string>

#include "kavo/ipc/messages/avserializer.h"
#include "kavo/ipc/messages/fields.h"

namespace kavo {
namespace encoder {

namespace fields = kavo::ipc::messages::fields;

// ---- tables ------------------------------------------------------------------------------------
// FIELD(key, Number<T>, default, min, max); FIELD(key, Steps<T>, default, allowed values
// ascending); FIELD(key, Choice, getter default, allowed values (the first is the fall-back)).

#define KAVO_FIELDS_BaseEncoderSettings(FIELD, NODE) \
  FIELD(type, Choice, "h264", pPossibleValues_type) \
  FIELD(description, Text, "") \
  FIELD(enabled, Flag, false)

struct BaseEncoderSettingsFields {
  static constexpr const char* pPossibleValues_type[] = {"h264", "mjpg", "aac"};
  KAVO_FIELD_TABLE(KAVO_FIELDS_BaseEncoderSettings)
};

#define KAVO_FIELDS_AudioEncoderSettings(FIELD, NODE) \
  FIELD(type, Choice, "aac", pPossibleValues_type) \
  FIELD(mode, Number<uint8_t>, 0, 0, 1) /* not 0 -> 1 */ \
  FIELD(channels, Number<uint8_t>, 1, 1, 2) \
  FIELD(sampleRate, Steps<uint32_t>, 11025, possibleValues_sampleRate) \
  FIELD(bitRate, Number<uint32_t>, 32000, 16000, 128000) \
  FIELD(quality, Number<uint8_t>, 0, 0, 2) \
  FIELD(enableTemporalNoiseShaping, Flag, false) \
  FIELD(volume, Number<uint8_t>, 50, 1, 100)

struct AudioEncoderSettingsFields {
  static constexpr const char* pPossibleValues_type[] = {"aac"};
  static constexpr uint32_t possibleValues_sampleRate[] = {11025, 22050, 44100};
  KAVO_FIELD_TABLE(KAVO_FIELDS_AudioEncoderSettings)
};

#define KAVO_FIELDS_BaseVideoEncoderSettings(FIELD, NODE) \
  FIELD(type, Choice, "h264", pPossibleValues_type) \
  FIELD(width, Number<uint32_t>, kUnknownSize) \
  FIELD(height, Number<uint32_t>, kUnknownSize) \
  FIELD(fps, Number<uint8_t>, 255) \
  FIELD(bitRateVbrMin, Number<uint32_t>, 500000, 16384) \
  FIELD(bitRateVbrMax, Number<uint32_t>, 500000, 16384) \
  FIELD(bitRateCbrAvg, Number<uint32_t>, 500000, 16384) \
  FIELD(validBitrateRangeMin, Number<uint32_t>, 32000, 16384) \
  FIELD(validBitrateRangeMax, Number<uint32_t>, 6000000, 16384) \
  FIELD(isCbr, Flag, false) \
  NODE(avSerializer, kavo::ipc::messages::AVSerializerT)

struct BaseVideoEncoderSettingsFields {
  static constexpr const char* pPossibleValues_type[] = {"h264", "mjpg"};
  static constexpr uint32_t kUnknownSize = 4294967295u;
  KAVO_FIELD_TABLE(KAVO_FIELDS_BaseVideoEncoderSettings)
};

#define KAVO_FIELDS_H264VideoEncoderSettings(FIELD, NODE) \
  FIELD(type, Choice, "h264", pPossibleValues_type) \
  FIELD(verticalFlip, Flag, false) \
  FIELD(horizontalFlip, Flag, false) \
  FIELD(M, Number<uint32_t>, 2, 1, 3) \
  FIELD(N, Number<uint32_t>, 30, 3) \
  FIELD(idrInterval, Number<uint32_t>, 1, 1) \
  FIELD(gopModel, Steps<uint32_t>, 0, possibleValues_gopModel)

struct H264VideoEncoderSettingsFields {
  static constexpr const char* pPossibleValues_type[] = {"h264"};
  static constexpr uint32_t possibleValues_gopModel[] = {0, 1, 2, 3, 4, 6, 7};
  KAVO_FIELD_TABLE(KAVO_FIELDS_H264VideoEncoderSettings)
};

#define KAVO_FIELDS_MJPGVideoEncoderSettings(FIELD, NODE) \
  FIELD(type, Choice, "mjpg", pPossibleValues_type)

struct MJPGVideoEncoderSettingsFields {
  static constexpr const char* pPossibleValues_type[] = {"mjpg"};
  KAVO_FIELD_TABLE(KAVO_FIELDS_MJPGVideoEncoderSettings)
};

// ---- classes -----------------------------------------------------------------------------------

template <class Host>
class BaseEncoderSettingsT : public Host {
  using F = BaseEncoderSettingsFields;

 public:
  using Host::Host;
  using Host::operator=;

  KAVO_FIELD_ACCESSORS(F, KAVO_FIELDS_BaseEncoderSettings)

  void NormalizeFields() {
    Host::NormalizeFields();
    F::normalize(this->document());
  }
};

template <class Host>
class AudioEncoderSettingsT : public BaseEncoderSettingsT<Host> {
  using Base = BaseEncoderSettingsT<Host>;
  using F = AudioEncoderSettingsFields;

 public:
  using Base::Base;
  using Base::operator=;

  KAVO_FIELD_ACCESSORS(F, KAVO_FIELDS_AudioEncoderSettings)

  void NormalizeFields() {
    Base::NormalizeFields();
    F::normalize(this->document());
  }
};

template <class Host>
class BaseVideoEncoderSettingsT : public BaseEncoderSettingsT<Host> {
  using Base = BaseEncoderSettingsT<Host>;
  using F = BaseVideoEncoderSettingsFields;

 public:
  using Base::Base;
  using Base::operator=;

  KAVO_FIELD_ACCESSORS(F, KAVO_FIELDS_BaseVideoEncoderSettings)

  void NormalizeFields() {
    Base::NormalizeFields();
    F::normalize(this->document());
  }
};

template <class Host>
class H264VideoEncoderSettingsT : public BaseVideoEncoderSettingsT<Host> {
  using Base = BaseVideoEncoderSettingsT<Host>;
  using F = H264VideoEncoderSettingsFields;

 public:
  using Base::Base;
  using Base::operator=;

  KAVO_FIELD_ACCESSORS(F, KAVO_FIELDS_H264VideoEncoderSettings)

  void NormalizeFields() {
    Base::NormalizeFields();
    F::normalize(this->document());
  }
};

template <class Host>
class MJPGVideoEncoderSettingsT : public BaseVideoEncoderSettingsT<Host> {
  using Base = BaseVideoEncoderSettingsT<Host>;
  using F = MJPGVideoEncoderSettingsFields;

 public:
  using Base::Base;
  using Base::operator=;

  KAVO_FIELD_ACCESSORS(F, KAVO_FIELDS_MJPGVideoEncoderSettings)

  void NormalizeFields() {
    Base::NormalizeFields();
    F::normalize(this->document());
  }
};

#define KAVO_FIELDS_VideoEncoderSettings(FIELD, NODE) \
  FIELD(lowDelay, Flag, false) \
  FIELD(audioSampleRate, Steps<uint32_t>, 11025, possibleValues_audioSampleRate) \
  NODE(video1, H264VideoEncoderSettingsT) \
  NODE(video2, H264VideoEncoderSettingsT) \
  NODE(video3, H264VideoEncoderSettingsT) \
  NODE(mjpg, MJPGVideoEncoderSettingsT)

struct VideoEncoderSettingsFields {
  static constexpr uint32_t possibleValues_audioSampleRate[] = {11025, 22050, 44100, 48000};
  KAVO_FIELD_TABLE(KAVO_FIELDS_VideoEncoderSettings)
};

template <class Host>
class VideoEncoderSettingsT : public Host {
  using F = VideoEncoderSettingsFields;

 public:
  using Host::Host;
  using Host::operator=;

  KAVO_FIELD_ACCESSORS(F, KAVO_FIELDS_VideoEncoderSettings)

  void NormalizeFields() {
    Host::NormalizeFields();
    F::normalize(this->document());
  }
};

#define KAVO_FIELDS_EncoderSettings(FIELD, NODE) \
  FIELD(firmwarePath, Text, "/lib/firmware/") \
  NODE(audio, AudioEncoderSettingsT) \
  NODE(video, VideoEncoderSettingsT)

struct EncoderSettingsFields {
  KAVO_FIELD_TABLE(KAVO_FIELDS_EncoderSettings)
};

template <class Host>
class EncoderSettingsT : public Host {
  using F = EncoderSettingsFields;

 public:
  using Host::Host;
  using Host::operator=;

  KAVO_FIELD_ACCESSORS(F, KAVO_FIELDS_EncoderSettings)

  void NormalizeFields() {
    Host::NormalizeFields();
    F::normalize(this->document());
  }
};

// ---- the documents and the views ----------------------------------------------------------------

using EncoderSettings = EncoderSettingsT<fields::Document>;
using BaseEncoderSettings = BaseEncoderSettingsT<fields::Document>;
using AudioEncoderSettings = AudioEncoderSettingsT<fields::Document>;
using BaseVideoEncoderSettings = BaseVideoEncoderSettingsT<fields::Document>;
using VideoEncoderSettings = VideoEncoderSettingsT<fields::Document>;
using H264VideoEncoderSettings = H264VideoEncoderSettingsT<fields::Document>;
using MJPGVideoEncoderSettings = MJPGVideoEncoderSettingsT<fields::Document>;

using EncoderSettingsRef = EncoderSettingsT<fields::Node>;
using BaseEncoderSettingsRef = BaseEncoderSettingsT<fields::Node>;
using AudioEncoderSettingsRef = AudioEncoderSettingsT<fields::Node>;
using BaseVideoEncoderSettingsRef = BaseVideoEncoderSettingsT<fields::Node>;
using VideoEncoderSettingsRef = VideoEncoderSettingsT<fields::Node>;
using H264VideoEncoderSettingsRef = H264VideoEncoderSettingsT<fields::Node>;
using MJPGVideoEncoderSettingsRef = MJPGVideoEncoderSettingsT<fields::Node>;

// Instantiated once, in the library.
extern template class EncoderSettingsT<fields::Document>;
extern template class BaseEncoderSettingsT<fields::Document>;
extern template class AudioEncoderSettingsT<fields::Document>;
extern template class BaseVideoEncoderSettingsT<fields::Document>;
extern template class VideoEncoderSettingsT<fields::Document>;
extern template class H264VideoEncoderSettingsT<fields::Document>;
extern template class MJPGVideoEncoderSettingsT<fields::Document>;
extern template class EncoderSettingsT<fields::Node>;
extern template class BaseEncoderSettingsT<fields::Node>;
extern template class AudioEncoderSettingsT<fields::Node>;
extern template class BaseVideoEncoderSettingsT<fields::Node>;
extern template class VideoEncoderSettingsT<fields::Node>;
extern template class H264VideoEncoderSettingsT<fields::Node>;
extern template class MJPGVideoEncoderSettingsT<fields::Node>;

}  // namespace encoder
}  // namespace kavo
