#include "eventanalyticsmotionhandler.h"

namespace kavo {
namespace streamer {

using kavo::ipc::messages::BaseRequestMessage;

EventAnalyticsMotionHandler::EventAnalyticsMotionHandler(kavo::encoder::Encoder* videoEncoder)
    : EncoderHandler("EventAnalyticsMotion", "EventAnalyticsMotionHandler", videoEncoder, false) {}

EventAnalyticsMotionHandler::~EventAnalyticsMotionHandler() = default;

bool EventAnalyticsMotionHandler::HandleRequest(BaseRequestMessage&, bool&) { return true; }

}  // namespace streamer
}  // namespace kavo
