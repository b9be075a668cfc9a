#pragma once
// EnableLiveVideoHandler: serves "EnableLiveVideo". Opens (or finds) the live-view acceptor on the
// narrowest H.264 stream and answers its TCP port as the payload ("statusCode" 0), or
// "statusCode" 1 with payload 0.
#include "encoderhandler.h"

namespace kavo {
namespace streamer {

class EnableLiveVideoHandler : public EncoderHandler {
 public:
  // Without an encoder the process ends (logged, then forceCrash).
  explicit EnableLiveVideoHandler(kavo::encoder::Encoder* encoder);
  ~EnableLiveVideoHandler() override;

  // Logged as not implemented; false.
  bool HandleResponse(kavo::ipc::messages::BaseRequestMessage& request,
                      kavo::ipc::messages::BaseResponseMessage& response, bool& cont) override;
  bool HandleRequest(kavo::ipc::messages::BaseRequestMessage& request, bool& cont) override;
};

}  // namespace streamer
}  // namespace kavo
