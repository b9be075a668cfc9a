#include "enablelivevideohandler.h"

#include "streamerlog.h"

namespace kavo {
namespace streamer {

using kavo::ipc::messages::BaseRequestMessage;
using kavo::ipc::messages::BaseResponseMessage;

EnableLiveVideoHandler::EnableLiveVideoHandler(kavo::encoder::Encoder* videoEncoder)
    : EncoderHandler("EnableLiveVideo", "EnableLiveVideoHandler", videoEncoder) {}

EnableLiveVideoHandler::~EnableLiveVideoHandler() = default;

bool EnableLiveVideoHandler::HandleResponse(BaseRequestMessage&, BaseResponseMessage&, bool&) {
  STREAMER_LOG(__func__, LOG_LEVEL_WARNING, 0, "Function %s not yet implemented", "HandleResponse");
  return false;
}

bool EnableLiveVideoHandler::HandleRequest(BaseRequestMessage& request, bool&) {
  if (!HaveEncoder()) return false;
  unsigned short port = 0;
  const bool ok = encoder->EnableLiveVideo(port);
  return Answer(request, ok ? 0 : 1, kavo::variant::Variant(static_cast<uint32_t>(ok ? port : 0)));
}

}  // namespace streamer
}  // namespace kavo
