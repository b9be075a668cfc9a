#pragma once
// ChangeVideoSettingsHandler: serves "ChangeVideoSettings" (apply an incremental change to the
// running encoder) and "GetVideoSettings" (change nothing). Both answer "statusCode" 0 or 1 and
// the encoder's current settings, taken after the change.
#include "kavo/encoder/encoder.h"
#include "kavo/ipc/basehandler.h"

namespace kavo {
namespace streamer {

class ChangeVideoSettingsHandler : public kavo::ipc::BaseHandler {
 public:
  // Without an encoder the process ends (logged, then forceCrash).
  explicit ChangeVideoSettingsHandler(kavo::encoder::Encoder* encoder);
  ~ChangeVideoSettingsHandler() override;

  bool MessageSentSuccessfully(kavo::ipc::messages::BaseMessage& message, bool& cont) override;
  bool HandleResponse(kavo::ipc::messages::BaseRequestMessage& request,
                      kavo::ipc::messages::BaseResponseMessage& response, bool& cont) override;
  bool HandleRequest(kavo::ipc::messages::BaseRequestMessage& request, bool& cont) override;

 protected:
  kavo::encoder::Encoder* encoder;
};

}  // namespace streamer
}  // namespace kavo
