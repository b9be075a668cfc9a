#include "kavo/ipc/messages/basemessage.h"

#include "kavo/ipc/messages/baserequestmessage.h"
#include "kavo/ipc/messages/baseresponsemessage.h"

namespace kavo {
namespace ipc {
namespace messages {

BaseMessage::~BaseMessage() = default;

void BaseMessage::NormalizeFields() {
  BaseVariantContainer::NormalizeFields();
  F::normalize(document());
}

BaseRequestMessage::~BaseRequestMessage() = default;

void BaseRequestMessage::NormalizeFields() {
  BaseMessage::NormalizeFields();
  F::normalize(document());
}

BaseResponseMessage::~BaseResponseMessage() = default;

void BaseResponseMessage::NormalizeFields() {
  BaseMessage::NormalizeFields();
  F::normalize(document());
}

}  // namespace messages
}  // namespace ipc
}  // namespace kavo
