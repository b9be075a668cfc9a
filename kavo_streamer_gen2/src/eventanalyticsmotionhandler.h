#pragma once
// EventAnalyticsMotionHandler: takes "EventAnalyticsMotion" events silently (no answer, even to
// a sender that expects one).
#include "encoderhandler.h"

namespace kavo {
namespace streamer {

class EventAnalyticsMotionHandler : public EncoderHandler {
 public:
  // The encoder is not checked: an event needs none.
  explicit EventAnalyticsMotionHandler(kavo::encoder::Encoder* encoder);
  ~EventAnalyticsMotionHandler() override;

  bool HandleRequest(kavo::ipc::messages::BaseRequestMessage& request, bool& cont) override;
};

}  // namespace streamer
}  // namespace kavo
