#pragma once
// BaseRequestMessage: a request. Adds "responseExpected" (boolean, default false): a request
// that arrives without it is a request that expects no answer, also for request classes whose
// own default is true, because this normalisation runs before theirs.
#include "kavo/ipc/messages/basemessage.h"

namespace kavo {
namespace ipc {
namespace messages {

#define KAVO_FIELDS_BaseRequestMessage(FIELD, NODE) \
  FIELD(responseExpected, Flag, false)

struct BaseRequestMessageFields {
  KAVO_FIELD_TABLE(KAVO_FIELDS_BaseRequestMessage)
};

class BaseRequestMessage : public BaseMessage {
  using F = BaseRequestMessageFields;

 public:
  BaseRequestMessage() = default;
  // The whole document of a received message, unknown keys (a request's payload) included.
  explicit BaseRequestMessage(const BaseMessage& message) : BaseMessage(message) {}
  explicit BaseRequestMessage(const kavo::variant::Variant& value) : BaseMessage(value) {}
  BaseRequestMessage(const BaseRequestMessage&) = default;
  BaseRequestMessage(BaseRequestMessage&&) noexcept = default;
  BaseRequestMessage& operator=(const BaseRequestMessage&) = default;
  BaseRequestMessage& operator=(BaseRequestMessage&&) noexcept = default;
  ~BaseRequestMessage() override;

  KAVO_FIELD_ACCESSORS(F, KAVO_FIELDS_BaseRequestMessage)

  void NormalizeFields() override;
};

}  // namespace messages
}  // namespace ipc
}  // namespace kavo
