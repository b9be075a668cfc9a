#pragma once
// The interface of every IPC handler. A program registers handlers with Ipc::AddHandler under a
// function name (or under the empty name as the catch-all); the hub calls them when a request of
// that name arrives, when a response to a request of that name arrives, and when a message of
// that name has been written whole. Handlers belong to the program; the hub only keeps pointers,
// so a handler must outlive its registration (delete it after Ipc::FreeInstance).
//
// Results: true means the handler did its work; false is logged by the hub (when verbose) and
// stops the chain. `cont` is true on entry; clearing it stops the handlers after this one.
#include <string>

#include "kavo/ipc/messages/basemessage.h"
#include "kavo/ipc/messages/baserequestmessage.h"
#include "kavo/ipc/messages/baseresponsemessage.h"

namespace kavo {
namespace ipc {

class Ipc;

class BaseHandler {
 public:
  explicit BaseHandler(const std::string& name);
  virtual ~BaseHandler();
  BaseHandler(const BaseHandler&) = delete;
  BaseHandler& operator=(const BaseHandler&) = delete;

  // A message registered under this handler's name was written whole to its peer.
  virtual bool MessageSentSuccessfully(kavo::ipc::messages::BaseMessage& message, bool& cont) = 0;
  // `request` is the stored copy of the request that `response` answers.
  virtual bool HandleResponse(kavo::ipc::messages::BaseRequestMessage& request,
                              kavo::ipc::messages::BaseResponseMessage& response, bool& cont) = 0;
  virtual bool HandleRequest(kavo::ipc::messages::BaseRequestMessage& request, bool& cont) = 0;

  // Called by Ipc::AddHandler; handlers answer through this hub (SendResponse).
  void SetIpc(Ipc* hub) { ipc = hub; }
  const std::string& GetName() const { return name; }

 protected:
  std::string name;
  Ipc* ipc = nullptr;
};

}  // namespace ipc
}  // namespace kavo
