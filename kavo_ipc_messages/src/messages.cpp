// The per-function request classes. Each runs the request envelope's normalisation first, so a
// missing "responseExpected" is already false when the class's own field is read.
#include "kavo/ipc/messages/analyticsinterrupt.h"
#include "kavo/ipc/messages/changevideosettings.h"
#include "kavo/ipc/messages/eventstreamingstatus.h"

namespace kavo {
namespace ipc {
namespace messages {

EventStreamingStatus::~EventStreamingStatus() = default;

void EventStreamingStatus::NormalizeFields() {
  BaseRequestMessage::NormalizeFields();
  fields::normalize(document(), F::functionName, F::responseExpected, F::previousStatus, F::currentStatus,
                    F::channelId, F::uri);
}

ChangeVideoSettings::~ChangeVideoSettings() = default;

void ChangeVideoSettings::NormalizeFields() {
  BaseRequestMessage::NormalizeFields();
  fields::normalize(document(), F::functionName, F::responseExpected, F::audio, F::video);
}

AnalyticsInterrupt::~AnalyticsInterrupt() = default;

void AnalyticsInterrupt::NormalizeFields() {
  BaseRequestMessage::NormalizeFields();
  fields::normalize(document(), F::functionName, F::responseExpected, F::sendClosure, F::interruptTimeoutMs,
                    F::reason);
}

}  // namespace messages
}  // namespace ipc
}  // namespace kavo
