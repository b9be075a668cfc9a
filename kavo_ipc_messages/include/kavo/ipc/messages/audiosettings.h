#pragma once
// AudioSettings: the "audio" object of a video-settings change request.
//   "volume"  number  signed 8-bit  default -1 (not set)  negative -> -1, above 100 -> 100
#include "kavo/ipc/messages/fields.h"

namespace kavo {
namespace ipc {
namespace messages {

#define KAVO_FIELDS_AudioSettings(FIELD, NODE) \
  FIELD(volume, Incremental<int8_t>, -1, -1, 100)

struct AudioSettingsFields {
  KAVO_FIELD_TABLE(KAVO_FIELDS_AudioSettings)
};

template <class Host>
class AudioSettingsT : public Host {
  using F = AudioSettingsFields;

 public:
  using Host::Host;
  using Host::operator=;

  // A negative volume leaves the capture volume as it is.
  static constexpr int8_t kVolumeNotSet = -1;

  KAVO_FIELD_ACCESSORS(F, KAVO_FIELDS_AudioSettings)

  void NormalizeFields() {
    Host::NormalizeFields();
    F::normalize(this->document());
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
