#pragma once
// BaseMessage: the envelope every message between processes carries.
//   "id"            any number   default: a fresh IdGenerator id     read as unsigned 64 bits
//   "timeStamp"     time value   default: the current time (first read)
//   "from", "to"    string       default: ""                        endpoint names
//   "functionName"  string       default: ""                        the operation asked for
// Getters store their default when the key is missing or of another kind (two reads of an
// absent "id" give the same id); keys the class does not know are left alone.
#include <sys/time.h>

#include <cstdint>
#include <string>

#include "kavo/ipc/messages/fields.h"

namespace kavo {
namespace ipc {
namespace messages {

#define KAVO_FIELDS_BaseMessage(FIELD, NODE) \
  FIELD(id, Id) \
  FIELD(timeStamp, Time) \
  FIELD(from, Text, "") \
  FIELD(to, Text, "") \
  FIELD(functionName, Text, "")

struct BaseMessageFields {
  KAVO_FIELD_TABLE(KAVO_FIELDS_BaseMessage)
};

class BaseMessage : public fields::Document {
  using F = BaseMessageFields;

 public:
  BaseMessage() = default;
  // A copy of any received document, taken as it is (the getters repair it).
  explicit BaseMessage(const kavo::variant::Variant& value) : Document(value) {}
  explicit BaseMessage(kavo::variant::Variant&& value) noexcept : Document(std::move(value)) {}
  BaseMessage(const BaseMessage&) = default;
  BaseMessage(BaseMessage&&) noexcept = default;
  BaseMessage& operator=(const BaseMessage&) = default;
  BaseMessage& operator=(BaseMessage&&) noexcept = default;
  ~BaseMessage() override;

  KAVO_FIELD_ACCESSORS(F, KAVO_FIELDS_BaseMessage)

  // Every envelope key present with a value of its kind.
  void NormalizeFields() override;
};

}  // namespace messages
}  // namespace ipc
}  // namespace kavo
