#pragma once
// Refuses every request that no other handler takes: registered under the empty name, it answers
// a request that expects a response with "statusCode" 1 and the payload "Operation not supported".
#include "kavo/ipc/requesthandler.h"

namespace kavo {
namespace ipc {

class CatchAllHandlerRejector : public RequestHandler {
 public:
  CatchAllHandlerRejector();
  ~CatchAllHandlerRejector() override;

  // False when the answer could not be queued (for example a full response queue).
  bool HandleRequest(kavo::ipc::messages::BaseRequestMessage& request, bool& cont) override;
};

}  // namespace ipc
}  // namespace kavo
