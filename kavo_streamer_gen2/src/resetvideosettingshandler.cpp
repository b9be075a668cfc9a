#include "resetvideosettingshandler.h"

#include "kavo/ipc/ipc.h"
#include "kavo/utils/system.h"
#include "streamerlog.h"

namespace kavo {
namespace streamer {

using kavo::ipc::messages::BaseMessage;
using kavo::ipc::messages::BaseRequestMessage;
using kavo::ipc::messages::BaseResponseMessage;

ResetVideoToDefaultsHandler::ResetVideoToDefaultsHandler(kavo::encoder::Encoder* videoEncoder)
    : BaseHandler("ResetVideoSettings"), encoder(videoEncoder) {
  if (encoder == nullptr) {
    STREAMER_LOG("ResetVideoToDefaultsHandler", LOG_LEVEL_ERROR, 0, "ResetVideoSettings needs an encoder to work with");
    kavo::utils::forceCrash();
  }
}

ResetVideoToDefaultsHandler::~ResetVideoToDefaultsHandler() = default;

bool ResetVideoToDefaultsHandler::MessageSentSuccessfully(BaseMessage&, bool&) { return true; }

bool ResetVideoToDefaultsHandler::HandleResponse(BaseRequestMessage&, BaseResponseMessage&, bool&) { return true; }

bool ResetVideoToDefaultsHandler::HandleRequest(BaseRequestMessage& request, bool&) {
  if (encoder == nullptr) {
    STREAMER_LOG(__func__, LOG_LEVEL_ERROR, 0, "We have no live encoder");
    return false;
  }
  const bool ok = encoder->ResetToDefaults();
  BaseResponseMessage response;
  response.statusCode(ok ? 0 : 1);
  response.payload(encoder->GetCurrentSettings());
  return ipc != nullptr && ipc->SendResponse(request, response);
}

}  // namespace streamer
}  // namespace kavo
