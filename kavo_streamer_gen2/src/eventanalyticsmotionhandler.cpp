#include "eventanalyticsmotionhandler.h"

namespace kavo {
namespace streamer {

using kavo::ipc::messages::BaseMessage;
using kavo::ipc::messages::BaseRequestMessage;
using kavo::ipc::messages::BaseResponseMessage;

EventAnalyticsMotionHandler::EventAnalyticsMotionHandler(kavo::encoder::Encoder* videoEncoder)
    : BaseHandler("EventAnalyticsMotion"), encoder(videoEncoder) {}

EventAnalyticsMotionHandler::~EventAnalyticsMotionHandler() = default;

bool EventAnalyticsMotionHandler::MessageSentSuccessfully(BaseMessage&, bool&) { return true; }

bool EventAnalyticsMotionHandler::HandleResponse(BaseRequestMessage&, BaseResponseMessage&, bool&) { return true; }

bool EventAnalyticsMotionHandler::HandleRequest(BaseRequestMessage&, bool&) { return true; }

}  // namespace streamer
}  // namespace kavo
