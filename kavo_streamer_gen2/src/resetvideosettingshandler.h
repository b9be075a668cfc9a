#pragma once
// ResetVideoToDefaultsHandler: serves "ResetVideoSettings". Puts back the frame rates and bitrates
// the streams had when the encoder opened and answers "statusCode" 0 or 1 with the current
// settings, taken after the reset.
#include "encoderhandler.h"

namespace kavo {
namespace streamer {

class ResetVideoToDefaultsHandler : public EncoderHandler {
 public:
  // Without an encoder the process ends (logged, then forceCrash).
  explicit ResetVideoToDefaultsHandler(kavo::encoder::Encoder* encoder);
  ~ResetVideoToDefaultsHandler() override;

  bool HandleRequest(kavo::ipc::messages::BaseRequestMessage& request, bool& cont) override;
};

}  // namespace streamer
}  // namespace kavo
