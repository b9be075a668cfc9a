#include "kavo/ipc/catchallhandlerrejector.h"

#include "ipclog.h"
#include "kavo/ipc/ipc.h"

namespace kavo {
namespace ipc {

using kavo::ipc::messages::BaseMessage;
using kavo::ipc::messages::BaseRequestMessage;
using kavo::ipc::messages::BaseResponseMessage;

CatchAllHandlerRejector::CatchAllHandlerRejector() : BaseHandler("Catch everything else") {}
CatchAllHandlerRejector::~CatchAllHandlerRejector() = default;

bool CatchAllHandlerRejector::MessageSentSuccessfully(BaseMessage&, bool&) { return true; }

bool CatchAllHandlerRejector::HandleResponse(BaseRequestMessage&, BaseResponseMessage&, bool&) { return true; }

bool CatchAllHandlerRejector::HandleRequest(BaseRequestMessage& request, bool&) {
  IPC_LOG(LOG_LEVEL_INFO, 0, "Operation not supported: %s", request.functionName().c_str());
  if (!request.responseExpected()) return true;
  if (ipc == nullptr) return false;
  BaseResponseMessage response;
  response.statusCode(1);
  response.payload(kavo::variant::Variant("Operation not supported"));
  return ipc->SendResponse(request, response);
}

}  // namespace ipc
}  // namespace kavo
