#pragma once
// ForceIDRHandler: serves "ForceIDR". Asks every stream for a key frame and answers "statusCode"
// 0 or 1 without a payload.
#include "encoderhandler.h"

namespace kavo {
namespace streamer {

class ForceIDRHandler : public EncoderHandler {
 public:
  // Without an encoder the process ends (logged, then forceCrash).
  explicit ForceIDRHandler(kavo::encoder::Encoder* encoder);
  ~ForceIDRHandler() override;

  bool HandleRequest(kavo::ipc::messages::BaseRequestMessage& request, bool& cont) override;
};

}  // namespace streamer
}  // namespace kavo
