#pragma once
// ResetVideoToDefaultsHandler: serves "ResetVideoSettings". Puts back the frame rates and bitrates
// the streams had when the encoder opened and answers "statusCode" 0 or 1 with the current
// settings, taken after the reset.
#include "kavo/encoder/encoder.h"
#include "kavo/ipc/basehandler.h"

namespace kavo {
namespace streamer {

class ResetVideoToDefaultsHandler : public kavo::ipc::BaseHandler {
 public:
  // Without an encoder the process ends (logged, then forceCrash).
  explicit ResetVideoToDefaultsHandler(kavo::encoder::Encoder* encoder);
  ~ResetVideoToDefaultsHandler() override;

  bool MessageSentSuccessfully(kavo::ipc::messages::BaseMessage& message, bool& cont) override;
  bool HandleResponse(kavo::ipc::messages::BaseRequestMessage& request,
                      kavo::ipc::messages::BaseResponseMessage& response, bool& cont) override;
  bool HandleRequest(kavo::ipc::messages::BaseRequestMessage& request, bool& cont) override;

 protected:
  kavo::encoder::Encoder* encoder;
};

}  // namespace streamer
}  // namespace kavo
