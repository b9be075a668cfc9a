#include "resetvideosettingshandler.h"

namespace kavo {
namespace streamer {

using kavo::ipc::messages::BaseRequestMessage;

ResetVideoToDefaultsHandler::ResetVideoToDefaultsHandler(kavo::encoder::Encoder* videoEncoder)
    : EncoderHandler("ResetVideoSettings", "ResetVideoToDefaultsHandler", videoEncoder) {}

ResetVideoToDefaultsHandler::~ResetVideoToDefaultsHandler() = default;

bool ResetVideoToDefaultsHandler::HandleRequest(BaseRequestMessage& request, bool&) {
  if (!HaveEncoder()) return false;
  const bool ok = encoder->ResetToDefaults();
  return Answer(request, ok ? 0 : 1, encoder->GetCurrentSettings());
}

}  // namespace streamer
}  // namespace kavo
