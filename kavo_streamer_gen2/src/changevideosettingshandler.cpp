#include "changevideosettingshandler.h"

#include "kavo/ipc/ipc.h"
#include "kavo/ipc/messages/changevideosettings.h"
#include "kavo/utils/system.h"
#include "streamerlog.h"

namespace kavo {
namespace streamer {

using kavo::ipc::messages::BaseMessage;
using kavo::ipc::messages::BaseRequestMessage;
using kavo::ipc::messages::BaseResponseMessage;
using kavo::ipc::messages::ChangeVideoSettings;

ChangeVideoSettingsHandler::ChangeVideoSettingsHandler(kavo::encoder::Encoder* videoEncoder)
    : BaseHandler("ChangeVideoSettings"), encoder(videoEncoder) {
  if (encoder == nullptr) {
    STREAMER_LOG("ChangeVideoSettingsHandler", LOG_LEVEL_ERROR, 0, "ChangeVideoSettings needs an encoder to work with");
    kavo::utils::forceCrash();
  }
}

ChangeVideoSettingsHandler::~ChangeVideoSettingsHandler() = default;

bool ChangeVideoSettingsHandler::MessageSentSuccessfully(BaseMessage&, bool&) { return true; }

bool ChangeVideoSettingsHandler::HandleResponse(BaseRequestMessage&, BaseResponseMessage&, bool&) { return true; }

bool ChangeVideoSettingsHandler::HandleRequest(BaseRequestMessage& request, bool&) {
  if (encoder == nullptr) {
    STREAMER_LOG(__func__, LOG_LEVEL_ERROR, 0, "We have no live encoder");
    return false;
  }
  bool ok = true;
  if (request.functionName() == "ChangeVideoSettings") {
    ChangeVideoSettings change(request);
    change.NormalizeFields();
    ok = encoder->UpdateSettings(change);
  }
  BaseResponseMessage response;
  response.statusCode(ok ? 0 : 1);
  response.payload(encoder->GetCurrentSettings());
  return ipc != nullptr && ipc->SendResponse(request, response);
}

}  // namespace streamer
}  // namespace kavo
