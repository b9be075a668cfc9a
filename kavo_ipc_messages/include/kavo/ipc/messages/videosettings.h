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

struct VideoSettingsElementFields {
  static constexpr fields::Incremental<uint8_t> fps{"fps", 0, 0, 30};
  static constexpr fields::Incremental<uint32_t> bitRateVbrMin{"bitRateVbrMin", 16383, 16383, 16000000};
  static constexpr fields::Incremental<uint32_t> bitRateVbrMax{"bitRateVbrMax", 16383, 16383, 16000000};
  static constexpr fields::Incremental<uint32_t> bitRateCbrAvg{"bitRateCbrAvg", 16383, 16383, 16000000};
  static constexpr fields::Flag isCbr{"isCbr", false};
  static constexpr fields::Section<AVSerializerT> avSerializer{"avSerializer"};
};

template <class Host>
class VideoSettingsElementT : public Host {
  using F = VideoSettingsElementFields;

 public:
  using Host::Host;
  using Host::operator=;

  static constexpr uint8_t kFpsNotSet = 0;
  static constexpr uint32_t kBitRateNotSet = 16383;

  KAVO_FIELD(F, fps)
  KAVO_FIELD(F, bitRateVbrMin)
  KAVO_FIELD(F, bitRateVbrMax)
  KAVO_FIELD(F, bitRateCbrAvg)
  KAVO_FIELD(F, isCbr)
  KAVO_NODE(F, avSerializer)

  void NormalizeFields() {
    Host::NormalizeFields();
    fields::normalize(this->document(), F::fps, F::bitRateVbrMin, F::bitRateVbrMax, F::bitRateCbrAvg, F::isCbr,
                      F::avSerializer);
  }
};

using VideoSettingsElement = VideoSettingsElementT<fields::Document>;
using VideoSettingsElementRef = VideoSettingsElementT<fields::Node>;

struct VideoSettingsFields {
  static constexpr fields::Section<VideoSettingsElementT> video1{"video1"};
  static constexpr fields::Section<VideoSettingsElementT> video2{"video2"};
  static constexpr fields::Section<VideoSettingsElementT> video3{"video3"};
  static constexpr fields::Section<VideoSettingsElementT> mjpg{"mjpg"};
};

template <class Host>
class VideoSettingsT : public Host {
  using F = VideoSettingsFields;

 public:
  using Host::Host;
  using Host::operator=;

  KAVO_NODE(F, video1)
  KAVO_NODE(F, video2)
  KAVO_NODE(F, video3)
  KAVO_NODE(F, mjpg)

  void NormalizeFields() {
    Host::NormalizeFields();
    fields::normalize(this->document(), F::video1, F::video2, F::video3, F::mjpg);
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
