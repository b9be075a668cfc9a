#include "kavo/ipc/requesthandler.h"

#include "kavo/ipc/ipc.h"

namespace kavo {
namespace ipc {

using kavo::ipc::messages::BaseMessage;
using kavo::ipc::messages::BaseRequestMessage;
using kavo::ipc::messages::BaseResponseMessage;

RequestHandler::~RequestHandler() = default;

bool RequestHandler::MessageSentSuccessfully(BaseMessage&, bool&) { return true; }

bool RequestHandler::HandleResponse(BaseRequestMessage&, BaseResponseMessage&, bool&) { return true; }

bool RequestHandler::Answer(BaseRequestMessage& request, uint64_t statusCode, const kavo::variant::Variant& payload) {
  if (ipc == nullptr) return false;
  BaseResponseMessage response;
  response.statusCode(statusCode);
  response.payload(payload);
  return ipc->SendResponse(request, response);
}

}  // namespace ipc
}  // namespace kavo
