#pragma once
// EnableLiveVideoHandler: serves "EnableLiveVideo". Opens (or finds) the live-view acceptor on the
// narrowest H.264 stream and answers its TCP port as the payload ("statusCode" 0), or
// "statusCode" 1 with payload 0.
#include "kavo/encoder/encoder.h"
#include "kavo/ipc/basehandler.h"

namespace kavo {
namespace streamer {

class EnableLiveVideoHandler : public kavo::ipc::BaseHandler {
 public:
  // Without an encoder the process ends (logged, then forceCrash).
  explicit EnableLiveVideoHandler(kavo::encoder::Encoder* encoder);
  ~EnableLiveVideoHandler() override;

  bool MessageSentSuccessfully(kavo::ipc::messages::BaseMessage& message, bool& cont) override;
  // Logged as not implemented; false.
  bool HandleResponse(kavo::ipc::messages::BaseRequestMessage& request,
                      kavo::ipc::messages::BaseResponseMessage& response, bool& cont) override;
  bool HandleRequest(kavo::ipc::messages::BaseRequestMessage& request, bool& cont) override;

 protected:
  kavo::encoder::Encoder* encoder;
};

}  // namespace streamer
}  // namespace kavo
