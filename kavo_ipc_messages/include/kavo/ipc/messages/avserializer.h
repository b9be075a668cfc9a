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

#define KAVO_FIELDS_AVSerializer(FIELD, NODE) \
  FIELD(destinations, Value, kavo::variant::VariantType::Container) \
  FIELD(type, Choice, "unknown", pPossibleValues_type) \
  FIELD(streamName, Text, "")

struct AVSerializerFields {
  static constexpr const char* pPossibleValues_type[] = {"unknown", "flv", "mjpg", "rtmp"};
  KAVO_FIELD_TABLE(KAVO_FIELDS_AVSerializer)
};

template <class Host>
class AVSerializerT : public Host {
  using F = AVSerializerFields;

 public:
  using Host::Host;
  using Host::operator=;

  KAVO_FIELD_ACCESSORS(F, KAVO_FIELDS_AVSerializer)

  void NormalizeFields() {
    Host::NormalizeFields();
    F::normalize(this->document());
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
