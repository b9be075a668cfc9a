#include "forceidrhandler.h"

#include "kavo/ipc/ipc.h"
#include "kavo/utils/system.h"
#include "streamerlog.h"

namespace kavo {
namespace streamer {

using kavo::ipc::messages::BaseMessage;
using kavo::ipc::messages::BaseRequestMessage;
using kavo::ipc::messages::BaseResponseMessage;

ForceIDRHandler::ForceIDRHandler(kavo::encoder::Encoder* videoEncoder) : BaseHandler("ForceIDR"), encoder(videoEncoder) {
  if (encoder == nullptr) {
    STREAMER_LOG("ForceIDRHandler", LOG_LEVEL_ERROR, 0, "ForceIDR needs an encoder to work with");
    kavo::utils::forceCrash();
  }
}

ForceIDRHandler::~ForceIDRHandler() = default;

bool ForceIDRHandler::MessageSentSuccessfully(BaseMessage&, bool&) { return true; }

bool ForceIDRHandler::HandleResponse(BaseRequestMessage&, BaseResponseMessage&, bool&) { return true; }

bool ForceIDRHandler::HandleRequest(BaseRequestMessage& request, bool&) {
  if (encoder == nullptr) {
    STREAMER_LOG(__func__, LOG_LEVEL_ERROR, 0, "We have no live encoder");
    return false;
  }
  const bool ok = encoder->ForceIDR();
  BaseResponseMessage response;
  response.statusCode(ok ? 0 : 1);
  return ipc != nullptr && ipc->SendResponse(request, response);
}

}  // namespace streamer
}  // namespace kavo
