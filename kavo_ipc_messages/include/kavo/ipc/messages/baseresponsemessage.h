#pragma once
// BaseResponseMessage: the answer to a request.
//   "functionName"  always "__response__" (the setter stores it whatever it is given)
//   "requestId"     any number, default 0: the "id" of the request answered
//   "statusCode"    any number, default 0: 0 success, anything else failure
//   "payload"       any value, default null; payload() is the stored value, filled in place
#include "kavo/ipc/messages/basemessage.h"

namespace kavo {
namespace ipc {
namespace messages {

#define KAVO_FIELDS_BaseResponseMessage(FIELD, NODE) \
  FIELD(functionName, Choice, "__response__", pPossibleValues_functionName) \
  FIELD(requestId, Whole, 0) \
  FIELD(statusCode, Whole, 0) \
  FIELD(payload, Value, kavo::variant::VariantType::Any)

struct BaseResponseMessageFields {
  static constexpr const char* pPossibleValues_functionName[] = {"__response__"};
  KAVO_FIELD_TABLE(KAVO_FIELDS_BaseResponseMessage)
};

class BaseResponseMessage : public BaseMessage {
  using F = BaseResponseMessageFields;

 public:
  BaseResponseMessage() = default;
  explicit BaseResponseMessage(const BaseMessage& message) : BaseMessage(message) {}
  explicit BaseResponseMessage(const kavo::variant::Variant& value) : BaseMessage(value) {}
  BaseResponseMessage(const BaseResponseMessage&) = default;
  BaseResponseMessage(BaseResponseMessage&&) noexcept = default;
  BaseResponseMessage& operator=(const BaseResponseMessage&) = default;
  BaseResponseMessage& operator=(BaseResponseMessage&&) noexcept = default;
  ~BaseResponseMessage() override;

  KAVO_FIELD_ACCESSORS(F, KAVO_FIELDS_BaseResponseMessage)

  void NormalizeFields() override;
};

}  // namespace messages
}  // namespace ipc
}  // namespace kavo
