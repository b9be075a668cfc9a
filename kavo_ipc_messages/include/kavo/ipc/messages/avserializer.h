#pragma once
// AVSerializer: how one stream is written out ("avSerializer" node of every stream).
//   "destinations"  map or array   default null       the output URIs (strings); stored as given
//   "type"          string         default "unknown"  "unknown", "flv", "mjpg", "rtmp"
//   "streamName"    string         default ""
// AVSerializer is the document, AVSerializerRef the view of a node inside another document.
#include "kavo/ipc/messages/fields.h"

namespace kavo {
namespace ipc {
namespace messages {

struct AVSerializerFields {
  static constexpr const char* pPossibleValues_type[] = {"unknown", "flv", "mjpg", "rtmp"};
  static constexpr fields::Value destinations{"destinations", kavo::variant::VariantType::Container};
  static constexpr fields::Choice type{"type", "unknown", pPossibleValues_type};
  static constexpr fields::Text streamName{"streamName", ""};
};

template <class Host>
class AVSerializerT : public Host {
  using F = AVSerializerFields;

 public:
  using Host::Host;
  using Host::operator=;

  KAVO_FIELD(F, destinations)
  KAVO_FIELD(F, type)
  KAVO_FIELD(F, streamName)

  void NormalizeFields() {
    Host::NormalizeFields();
    fields::normalize(this->document(), F::destinations, F::type, F::streamName);
  }
};

using AVSerializer = AVSerializerT<fields::Document>;
using AVSerializerRef = AVSerializerT<fields::Node>;

// Instantiated once, in the library.
extern template class AVSerializerT<fields::Document>;
extern template class AVSerializerT<fields::Node>;

}  // namespace messages
}  // namespace ipc
}  // namespace kavo
