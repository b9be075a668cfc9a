#pragma once
// EventAnalyticsMotionHandler: takes "EventAnalyticsMotion" events silently (no answer, even to
// a sender that expects one).
#include "kavo/encoder/encoder.h"
#include "kavo/ipc/basehandler.h"

namespace kavo {
namespace streamer {

class EventAnalyticsMotionHandler : public kavo::ipc::BaseHandler {
 public:
  explicit EventAnalyticsMotionHandler(kavo::encoder::Encoder* encoder);
  ~EventAnalyticsMotionHandler() override;

  bool MessageSentSuccessfully(kavo::ipc::messages::BaseMessage& message, bool& cont) override;
  bool HandleResponse(kavo::ipc::messages::BaseRequestMessage& request,
                      kavo::ipc::messages::BaseResponseMessage& response, bool& cont) override;
  bool HandleRequest(kavo::ipc::messages::BaseRequestMessage& request, bool& cont) override;

 protected:
  kavo::encoder::Encoder* encoder;
};

}  // namespace streamer
}  // namespace kavo
