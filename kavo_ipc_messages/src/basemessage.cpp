#include "kavo/ipc/messages/basemessage.h"

#include "kavo/ipc/messages/baserequestmessage.h"
#include "kavo/ipc/messages/baseresponsemessage.h"

namespace kavo {
namespace ipc {
namespace messages {

BaseMessage::~BaseMessage() = default;

void BaseMessage::NormalizeFields() {
  BaseVariantContainer::NormalizeFields();
  fields::normalize(document(), F::id, F::timeStamp, F::from, F::to, F::functionName);
}

BaseRequestMessage::~BaseRequestMessage() = default;

void BaseRequestMessage::NormalizeFields() {
  BaseMessage::NormalizeFields();
  fields::normalize(document(), F::responseExpected);
}

BaseResponseMessage::~BaseResponseMessage() = default;

void BaseResponseMessage::NormalizeFields() {
  BaseMessage::NormalizeFields();
  fields::normalize(document(), F::functionName, F::requestId, F::statusCode, F::payload);
}

}  // namespace messages
}  // namespace ipc
}  // namespace kavo
