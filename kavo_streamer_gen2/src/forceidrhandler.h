#pragma once
// ForceIDRHandler: serves "ForceIDR". Asks every stream for a key frame and answers "statusCode"
// 0 or 1 without a payload.
#include "kavo/encoder/encoder.h"
#include "kavo/ipc/basehandler.h"

namespace kavo {
namespace streamer {

class ForceIDRHandler : public kavo::ipc::BaseHandler {
 public:
  // Without an encoder the process ends (logged, then forceCrash).
  explicit ForceIDRHandler(kavo::encoder::Encoder* encoder);
  ~ForceIDRHandler() override;

  bool MessageSentSuccessfully(kavo::ipc::messages::BaseMessage& message, bool& cont) override;
  bool HandleResponse(kavo::ipc::messages::BaseRequestMessage& request,
                      kavo::ipc::messages::BaseResponseMessage& response, bool& cont) override;
  bool HandleRequest(kavo::ipc::messages::BaseRequestMessage& request, bool& cont) override;

 protected:
  kavo::encoder::Encoder* encoder;
};

}  // namespace streamer
}  // namespace kavo
