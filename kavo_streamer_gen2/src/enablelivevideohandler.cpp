#include "enablelivevideohandler.h"

#include "kavo/ipc/ipc.h"
#include "kavo/utils/system.h"
#include "streamerlog.h"

namespace kavo {
namespace streamer {

using kavo::ipc::messages::BaseMessage;
using kavo::ipc::messages::BaseRequestMessage;
using kavo::ipc::messages::BaseResponseMessage;

EnableLiveVideoHandler::EnableLiveVideoHandler(kavo::encoder::Encoder* videoEncoder)
    : BaseHandler("EnableLiveVideo"), encoder(videoEncoder) {
  if (encoder == nullptr) {
    STREAMER_LOG("EnableLiveVideoHandler", LOG_LEVEL_ERROR, 0, "EnableLiveVideo needs an encoder to work with");
    kavo::utils::forceCrash();
  }
}

EnableLiveVideoHandler::~EnableLiveVideoHandler() = default;

bool EnableLiveVideoHandler::MessageSentSuccessfully(BaseMessage&, bool&) { return true; }

bool EnableLiveVideoHandler::HandleResponse(BaseRequestMessage&, BaseResponseMessage&, bool&) {
  STREAMER_LOG(__func__, LOG_LEVEL_WARNING, 0, "Function %s not yet implemented", "HandleResponse");
  return false;
}

bool EnableLiveVideoHandler::HandleRequest(BaseRequestMessage& request, bool&) {
  if (encoder == nullptr) {
    STREAMER_LOG(__func__, LOG_LEVEL_ERROR, 0, "We have no live encoder");
    return false;
  }
  unsigned short port = 0;
  const bool ok = encoder->EnableLiveVideo(port);
  BaseResponseMessage response;
  response.statusCode(ok ? 0 : 1);
  response.payload(static_cast<uint32_t>(ok ? port : 0));
  return ipc != nullptr && ipc->SendResponse(request, response);
}

}  // namespace streamer
}  // namespace kavo
