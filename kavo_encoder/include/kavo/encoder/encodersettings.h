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
// Number<T>{key, default, min, max}; Steps<T>{key, default, allowed values ascending};
// Choice{key, getter default, allowed values (the first is the fall-back)}.

struct BaseEncoderSettingsFields {
  static constexpr const char* pPossibleValues_type[] = {"h264", "mjpg", "aac"};
  static constexpr fields::Choice type{"type", "h264", pPossibleValues_type};
  static constexpr fields::Text description{"description", ""};
  static constexpr fields::Flag enabled{"enabled", false};
};

struct AudioEncoderSettingsFields {
  static constexpr const char* pPossibleValues_type[] = {"aac"};
  static constexpr uint32_t possibleValues_sampleRate[] = {11025, 22050, 44100};
  static constexpr fields::Choice type{"type", "aac", pPossibleValues_type};
  static constexpr fields::Number<uint8_t> mode{"mode", 0, 0, 1};              // not 0 -> 1
  static constexpr fields::Number<uint8_t> channels{"channels", 1, 1, 2};
  static constexpr fields::Steps<uint32_t> sampleRate{"sampleRate", 11025, possibleValues_sampleRate};
  static constexpr fields::Number<uint32_t> bitRate{"bitRate", 32000, 16000, 128000};
  static constexpr fields::Number<uint8_t> quality{"quality", 0, 0, 2};
  static constexpr fields::Flag enableTemporalNoiseShaping{"enableTemporalNoiseShaping", false};
  static constexpr fields::Number<uint8_t> volume{"volume", 50, 1, 100};
};

struct BaseVideoEncoderSettingsFields {
  static constexpr const char* pPossibleValues_type[] = {"h264", "mjpg"};
  static constexpr uint32_t kUnknownSize = 4294967295u;
  static constexpr fields::Choice type{"type", "h264", pPossibleValues_type};
  static constexpr fields::Number<uint32_t> width{"width", kUnknownSize};
  static constexpr fields::Number<uint32_t> height{"height", kUnknownSize};
  static constexpr fields::Number<uint8_t> fps{"fps", 255};
  static constexpr fields::Number<uint32_t> bitRateVbrMin{"bitRateVbrMin", 500000, 16384};
  static constexpr fields::Number<uint32_t> bitRateVbrMax{"bitRateVbrMax", 500000, 16384};
  static constexpr fields::Number<uint32_t> bitRateCbrAvg{"bitRateCbrAvg", 500000, 16384};
  static constexpr fields::Number<uint32_t> validBitrateRangeMin{"validBitrateRangeMin", 32000, 16384};
  static constexpr fields::Number<uint32_t> validBitrateRangeMax{"validBitrateRangeMax", 6000000, 16384};
  static constexpr fields::Flag isCbr{"isCbr", false};
  static constexpr fields::Section<kavo::ipc::messages::AVSerializerT> avSerializer{"avSerializer"};
};

struct H264VideoEncoderSettingsFields {
  static constexpr const char* pPossibleValues_type[] = {"h264"};
  static constexpr uint32_t possibleValues_gopModel[] = {0, 1, 2, 3, 4, 6, 7};
  static constexpr fields::Choice type{"type", "h264", pPossibleValues_type};
  static constexpr fields::Flag verticalFlip{"verticalFlip", false};
  static constexpr fields::Flag horizontalFlip{"horizontalFlip", false};
  static constexpr fields::Number<uint32_t> M{"M", 2, 1, 3};
  static constexpr fields::Number<uint32_t> N{"N", 30, 3};
  static constexpr fields::Number<uint32_t> idrInterval{"idrInterval", 1, 1};
  static constexpr fields::Steps<uint32_t> gopModel{"gopModel", 0, possibleValues_gopModel};
};

struct MJPGVideoEncoderSettingsFields {
  static constexpr const char* pPossibleValues_type[] = {"mjpg"};
  static constexpr fields::Choice type{"type", "mjpg", pPossibleValues_type};
};

// ---- classes -----------------------------------------------------------------------------------

template <class Host>
class BaseEncoderSettingsT : public Host {
  using F = BaseEncoderSettingsFields;

 public:
  using Host::Host;
  using Host::operator=;

  KAVO_FIELD(F, type)
  KAVO_FIELD(F, description)
  KAVO_FIELD(F, enabled)

  void NormalizeFields() {
    Host::NormalizeFields();
    fields::normalize(this->document(), F::type, F::description, F::enabled);
  }
};

template <class Host>
class AudioEncoderSettingsT : public BaseEncoderSettingsT<Host> {
  using Base = BaseEncoderSettingsT<Host>;
  using F = AudioEncoderSettingsFields;

 public:
  using Base::Base;
  using Base::operator=;

  KAVO_FIELD(F, type)
  KAVO_FIELD(F, mode)
  KAVO_FIELD(F, channels)
  KAVO_FIELD(F, sampleRate)
  KAVO_FIELD(F, bitRate)
  KAVO_FIELD(F, quality)
  KAVO_FIELD(F, enableTemporalNoiseShaping)
  KAVO_FIELD(F, volume)

  void NormalizeFields() {
    Base::NormalizeFields();
    fields::normalize(this->document(), F::type, F::mode, F::channels, F::sampleRate, F::bitRate, F::quality,
                      F::enableTemporalNoiseShaping, F::volume);
  }
};

template <class Host>
class BaseVideoEncoderSettingsT : public BaseEncoderSettingsT<Host> {
  using Base = BaseEncoderSettingsT<Host>;
  using F = BaseVideoEncoderSettingsFields;

 public:
  using Base::Base;
  using Base::operator=;

  KAVO_FIELD(F, type)
  KAVO_FIELD(F, width)
  KAVO_FIELD(F, height)
  KAVO_FIELD(F, fps)
  KAVO_FIELD(F, bitRateVbrMin)
  KAVO_FIELD(F, bitRateVbrMax)
  KAVO_FIELD(F, bitRateCbrAvg)
  KAVO_FIELD(F, validBitrateRangeMin)
  KAVO_FIELD(F, validBitrateRangeMax)
  KAVO_FIELD(F, isCbr)
  KAVO_NODE(F, avSerializer)

  void NormalizeFields() {
    Base::NormalizeFields();
    fields::normalize(this->document(), F::type, F::width, F::height, F::fps, F::bitRateVbrMin, F::bitRateVbrMax,
                      F::bitRateCbrAvg, F::validBitrateRangeMin, F::validBitrateRangeMax, F::isCbr,
                      F::avSerializer);
  }
};

template <class Host>
class H264VideoEncoderSettingsT : public BaseVideoEncoderSettingsT<Host> {
  using Base = BaseVideoEncoderSettingsT<Host>;
  using F = H264VideoEncoderSettingsFields;

 public:
  using Base::Base;
  using Base::operator=;

  KAVO_FIELD(F, type)
  KAVO_FIELD(F, verticalFlip)
  KAVO_FIELD(F, horizontalFlip)
  KAVO_FIELD(F, M)
  KAVO_FIELD(F, N)
  KAVO_FIELD(F, idrInterval)
  KAVO_FIELD(F, gopModel)

  void NormalizeFields() {
    Base::NormalizeFields();
    fields::normalize(this->document(), F::type, F::verticalFlip, F::horizontalFlip, F::M, F::N, F::idrInterval,
                      F::gopModel);
  }
};

template <class Host>
class MJPGVideoEncoderSettingsT : public BaseVideoEncoderSettingsT<Host> {
  using Base = BaseVideoEncoderSettingsT<Host>;
  using F = MJPGVideoEncoderSettingsFields;

 public:
  using Base::Base;
  using Base::operator=;

  KAVO_FIELD(F, type)

  void NormalizeFields() {
    Base::NormalizeFields();
    fields::normalize(this->document(), F::type);
  }
};

struct VideoEncoderSettingsFields {
  static constexpr uint32_t possibleValues_audioSampleRate[] = {11025, 22050, 44100, 48000};
  static constexpr fields::Flag lowDelay{"lowDelay", false};
  static constexpr fields::Steps<uint32_t> audioSampleRate{"audioSampleRate", 11025, possibleValues_audioSampleRate};
  static constexpr fields::Section<H264VideoEncoderSettingsT> video1{"video1"};
  static constexpr fields::Section<H264VideoEncoderSettingsT> video2{"video2"};
  static constexpr fields::Section<H264VideoEncoderSettingsT> video3{"video3"};
  static constexpr fields::Section<MJPGVideoEncoderSettingsT> mjpg{"mjpg"};
};

template <class Host>
class VideoEncoderSettingsT : public Host {
  using F = VideoEncoderSettingsFields;

 public:
  using Host::Host;
  using Host::operator=;

  KAVO_FIELD(F, lowDelay)
  KAVO_FIELD(F, audioSampleRate)
  KAVO_NODE(F, video1)
  KAVO_NODE(F, video2)
  KAVO_NODE(F, video3)
  KAVO_NODE(F, mjpg)

  void NormalizeFields() {
    Host::NormalizeFields();
    fields::normalize(this->document(), F::lowDelay, F::audioSampleRate, F::video1, F::video2, F::video3, F::mjpg);
  }
};

struct EncoderSettingsFields {
  static constexpr fields::Text firmwarePath{"firmwarePath", "/lib/firmware/"};
  static constexpr fields::Section<AudioEncoderSettingsT> audio{"audio"};
  static constexpr fields::Section<VideoEncoderSettingsT> video{"video"};
};

template <class Host>
class EncoderSettingsT : public Host {
  using F = EncoderSettingsFields;

 public:
  using Host::Host;
  using Host::operator=;

  KAVO_FIELD(F, firmwarePath)
  KAVO_NODE(F, audio)
  KAVO_NODE(F, video)

  void NormalizeFields() {
    Host::NormalizeFields();
    fields::normalize(this->document(), F::firmwarePath, F::audio, F::video);
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
