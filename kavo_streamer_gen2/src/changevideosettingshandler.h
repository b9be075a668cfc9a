#pragma once
// ChangeVideoSettingsHandler: serves "ChangeVideoSettings" (apply an incremental change to the
// running encoder) and "GetVideoSettings" (change nothing). Both answer "statusCode" 0 or 1 and
// the encoder's current settings, taken after the change.
#include "encoderhandler.h"

namespace kavo {
namespace streamer {

class ChangeVideoSettingsHandler : public EncoderHandler {
 public:
  // Without an encoder the process ends (logged, then forceCrash).
  explicit ChangeVideoSettingsHandler(kavo::encoder::Encoder* encoder);
  ~ChangeVideoSettingsHandler() override;

  bool HandleRequest(kavo::ipc::messages::BaseRequestMessage& request, bool& cont) override;
};

}  // namespace streamer
}  // namespace kavo
