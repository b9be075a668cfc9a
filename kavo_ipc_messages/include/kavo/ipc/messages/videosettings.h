#pragma once
// VideoSettingsElement: one stream of a video-settings change request; the defaults mark what
// the request does not set (the encoder takes no fps 0 and no bitrate below 16384).
//   "fps"            number  unsigned 8-bit   default 0 (not set)      above 30 -> 30
//   "bitRateVbrMin"  number  unsigned 32-bit  default 16383 (not set)  clamped to 16383..16000000
//   "bitRateVbrMax"  number  unsigned 32-bit  default 16383 (not set)  clamped to 16383..16000000
//   "bitRateCbrAvg"  number  unsigned 32-bit  default 16383 (not set)  clamped to 16383..16000000
//   "isCbr"          boolean default false (no "not set" mark)
//   "avSerializer"   map, an AVSerializer ("type" "unknown" when not set)
// VideoSettings: the "video" object, the elements "video1", "video2", "video3", "mjpg".
#include "kavo/ipc/messages/avserializer.h"
#include "kavo/ipc/messages/fields.h"

namespace kavo {
namespace ipc {
namespace messages {

#define KAVO_FIELDS_VideoSettingsElement(FIELD, NODE) \
  FIELD(fps, Incremental<uint8_t>, 0, 0, 30) \
  FIELD(bitRateVbrMin, Incremental<uint32_t>, 16383, 16383, 16000000) \
  FIELD(bitRateVbrMax, Incremental<uint32_t>, 16383, 16383, 16000000) \
  FIELD(bitRateCbrAvg, Incremental<uint32_t>, 16383, 16383, 16000000) \
  FIELD(isCbr, Flag, false) \
  NODE(avSerializer, AVSerializerT)

struct VideoSettingsElementFields {
  KAVO_FIELD_TABLE(KAVO_FIELDS_VideoSettingsElement)
};

template <class Host>
class VideoSettingsElementT : public Host {
  using F = VideoSettingsElementFields;

 public:
  using Host::Host;
  using Host::operator=;

  static constexpr uint8_t kFpsNotSet = 0;
  static constexpr uint32_t kBitRateNotSet = 16383;

  KAVO_FIELD_ACCESSORS(F, KAVO_FIELDS_VideoSettingsElement)

  void NormalizeFields() {
    Host::NormalizeFields();
    F::normalize(this->document());
  }
};

using VideoSettingsElement = VideoSettingsElementT<fields::Document>;
using VideoSettingsElementRef = VideoSettingsElementT<fields::Node>;

#define KAVO_FIELDS_VideoSettings(FIELD, NODE) \
  NODE(video1, VideoSettingsElementT) \
  NODE(video2, VideoSettingsElementT) \
  NODE(video3, VideoSettingsElementT) \
  NODE(mjpg, VideoSettingsElementT)

struct VideoSettingsFields {
  KAVO_FIELD_TABLE(KAVO_FIELDS_VideoSettings)
};

template <class Host>
class VideoSettingsT : public Host {
  using F = VideoSettingsFields;

 public:
  using Host::Host;
  using Host::operator=;

  KAVO_FIELD_ACCESSORS(F, KAVO_FIELDS_VideoSettings)

  void NormalizeFields() {
    Host::NormalizeFields();
    F::normalize(this->document());
  }
};

using VideoSettings = VideoSettingsT<fields::Document>;
using VideoSettingsRef = VideoSettingsT<fields::Node>;

// Instantiated once, in the library.
extern template class VideoSettingsElementT<fields::Document>;
extern template class VideoSettingsElementT<fields::Node>;
extern template class VideoSettingsT<fields::Document>;
extern template class VideoSettingsT<fields::Node>;

}  // namespace messages
}  // namespace ipc
}  // namespace kavo
