#pragma once
// AudioSettings: the "audio" object of a video-settings change request.
//   "volume"  number  signed 8-bit  default -1 (not set)  negative -> -1, above 100 -> 100
#include "kavo/ipc/messages/fields.h"

namespace kavo {
namespace ipc {
namespace messages {

struct AudioSettingsFields {
  static constexpr fields::Incremental<int8_t> volume{"volume", -1, -1, 100};
};

template <class Host>
class AudioSettingsT : public Host {
  using F = AudioSettingsFields;

 public:
  using Host::Host;
  using Host::operator=;

  // A negative volume leaves the capture volume as it is.
  static constexpr int8_t kVolumeNotSet = -1;

  KAVO_FIELD(F, volume)

  void NormalizeFields() {
    Host::NormalizeFields();
    fields::normalize(this->document(), F::volume);
  }
};

using AudioSettings = AudioSettingsT<fields::Document>;
using AudioSettingsRef = AudioSettingsT<fields::Node>;

// Instantiated once, in the library.
extern template class AudioSettingsT<fields::Document>;
extern template class AudioSettingsT<fields::Node>;

}  // namespace messages
}  // namespace ipc
}  // namespace kavo
