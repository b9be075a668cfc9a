#include "kavo/ipc/loghandler.h"

#include <string>

#include "ipclog.h"

namespace kavo {
namespace ipc {

using kavo::ipc::messages::BaseMessage;
using kavo::ipc::messages::BaseRequestMessage;
using kavo::ipc::messages::BaseResponseMessage;
using kavo::variant::Variant;

LogHandler::LogHandler() : BaseHandler("LogHandler") {}
LogHandler::~LogHandler() = default;

bool LogHandler::MessageSentSuccessfully(BaseMessage& message, bool&) {
  std::string json;
  message.ToJSON(json, false);
  IPC_LOG(LOG_LEVEL_DEBUG, 0, "MessageSentSuccessfully: %s", json.c_str());
  return true;
}

bool LogHandler::HandleResponse(BaseRequestMessage& request, BaseResponseMessage& response, bool&) {
  Variant both;
  both["request"] = static_cast<const Variant&>(request);
  both["response"] = static_cast<const Variant&>(response);
  std::string json;
  both.ToJSON(json, false);
  IPC_LOG(LOG_LEVEL_DEBUG, 0, "HandleResponse: %s", json.c_str());
  return true;
}

bool LogHandler::HandleRequest(BaseRequestMessage& request, bool&) {
  std::string json;
  request.ToJSON(json, false);
  IPC_LOG(LOG_LEVEL_DEBUG, 0, "HandleRequest: %s", json.c_str());
  return true;
}

}  // namespace ipc
}  // namespace kavo
