#include "kavo/ipc/catchallhandlerrejector.h"

#include "ipclog.h"

namespace kavo {
namespace ipc {

using kavo::ipc::messages::BaseRequestMessage;

CatchAllHandlerRejector::CatchAllHandlerRejector() : RequestHandler("Catch everything else") {}
CatchAllHandlerRejector::~CatchAllHandlerRejector() = default;

bool CatchAllHandlerRejector::HandleRequest(BaseRequestMessage& request, bool&) {
  IPC_LOG(LOG_LEVEL_INFO, 0, "Operation not supported: %s", request.functionName().c_str());
  if (!request.responseExpected()) return true;
  return Answer(request, 1, kavo::variant::Variant("Operation not supported"));
}

}  // namespace ipc
}  // namespace kavo
