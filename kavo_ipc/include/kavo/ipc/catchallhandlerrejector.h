#pragma once
// Refuses every request that no other handler takes: registered under the empty name, it answers
// a request that expects a response with "statusCode" 1 and the payload "Operation not supported".
#include "kavo/ipc/basehandler.h"

namespace kavo {
namespace ipc {

class CatchAllHandlerRejector : public BaseHandler {
 public:
  CatchAllHandlerRejector();
  ~CatchAllHandlerRejector() override;

  bool MessageSentSuccessfully(kavo::ipc::messages::BaseMessage& message, bool& cont) override;
  bool HandleResponse(kavo::ipc::messages::BaseRequestMessage& request,
                      kavo::ipc::messages::BaseResponseMessage& response, bool& cont) override;
  // False when the answer could not be queued (for example a full response queue).
  bool HandleRequest(kavo::ipc::messages::BaseRequestMessage& request, bool& cont) override;
};

}  // namespace ipc
}  // namespace kavo
