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

struct BaseResponseMessageFields {
  static constexpr const char* pPossibleValues_functionName[] = {"__response__"};
  static constexpr fields::Choice functionName{"functionName", "__response__", pPossibleValues_functionName};
  static constexpr fields::Whole requestId{"requestId", 0};
  static constexpr fields::Whole statusCode{"statusCode", 0};
  static constexpr fields::Value payload{"payload", kavo::variant::VariantType::Any};
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

  KAVO_FIELD(F, functionName)
  KAVO_FIELD(F, requestId)
  KAVO_FIELD(F, statusCode)
  KAVO_FIELD(F, payload)

  void NormalizeFields() override;
};

}  // namespace messages
}  // namespace ipc
}  // namespace kavo
