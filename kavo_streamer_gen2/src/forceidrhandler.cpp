#include "forceidrhandler.h"

namespace kavo {
namespace streamer {

using kavo::ipc::messages::BaseRequestMessage;

ForceIDRHandler::ForceIDRHandler(kavo::encoder::Encoder* videoEncoder)
    : EncoderHandler("ForceIDR", "ForceIDRHandler", videoEncoder) {}

ForceIDRHandler::~ForceIDRHandler() = default;

bool ForceIDRHandler::HandleRequest(BaseRequestMessage& request, bool&) {
  if (!HaveEncoder()) return false;
  return Answer(request, encoder->ForceIDR() ? 0 : 1);
}

}  // namespace streamer
}  // namespace kavo
