#pragma once
// Logs all traffic it sees at level 7 (module "kavo_ipc"), leaves `cont` alone and never fails,
// so it can stand anywhere in a chain.
#include "kavo/ipc/basehandler.h"

namespace kavo {
namespace ipc {

class LogHandler : public BaseHandler {
 public:
  LogHandler();
  ~LogHandler() override;

  bool MessageSentSuccessfully(kavo::ipc::messages::BaseMessage& message, bool& cont) override;
  bool HandleResponse(kavo::ipc::messages::BaseRequestMessage& request,
                      kavo::ipc::messages::BaseResponseMessage& response, bool& cont) override;
  bool HandleRequest(kavo::ipc::messages::BaseRequestMessage& request, bool& cont) override;
};

}  // namespace ipc
}  // namespace kavo
