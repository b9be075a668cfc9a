#include "encoderhandler.h"

#include "kavo/utils/system.h"
#include "streamerlog.h"

namespace kavo {
namespace streamer {

EncoderHandler::EncoderHandler(const std::string& handlerName, const char* className,
                               kavo::encoder::Encoder* videoEncoder, bool required)
    : RequestHandler(handlerName), encoder(videoEncoder) {
  if (required && encoder == nullptr) {
    STREAMER_LOG(className, LOG_LEVEL_ERROR, 0, "%s needs an encoder to work with", handlerName.c_str());
    kavo::utils::forceCrash();
  }
}

EncoderHandler::~EncoderHandler() = default;

bool EncoderHandler::HaveEncoder() const {
  if (encoder != nullptr) return true;
  STREAMER_LOG("HandleRequest", LOG_LEVEL_ERROR, 0, "We have no live encoder");
  return false;
}

}  // namespace streamer
}  // namespace kavo
