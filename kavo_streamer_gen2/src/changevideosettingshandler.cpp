#include "changevideosettingshandler.h"

#include "kavo/ipc/messages/changevideosettings.h"

namespace kavo {
namespace streamer {

using kavo::ipc::messages::BaseRequestMessage;
using kavo::ipc::messages::ChangeVideoSettings;

ChangeVideoSettingsHandler::ChangeVideoSettingsHandler(kavo::encoder::Encoder* videoEncoder)
    : EncoderHandler("ChangeVideoSettings", "ChangeVideoSettingsHandler", videoEncoder) {}

ChangeVideoSettingsHandler::~ChangeVideoSettingsHandler() = default;

bool ChangeVideoSettingsHandler::HandleRequest(BaseRequestMessage& request, bool&) {
  if (!HaveEncoder()) return false;
  bool ok = true;
  if (request.functionName() == "ChangeVideoSettings") {
    ChangeVideoSettings change(request);
    change.NormalizeFields();
    ok = encoder->UpdateSettings(change);
  }
  return Answer(request, ok ? 0 : 1, encoder->GetCurrentSettings());
}

}  // namespace streamer
}  // namespace kavo
