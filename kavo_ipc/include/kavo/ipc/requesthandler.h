#pragma once
// The base of a handler that serves requests: it is told nothing about messages sent under its
// name and takes responses without doing anything (override either where needed), and it answers
// through Answer().
#include <cstdint>
#include <string>

#include "kavo/ipc/basehandler.h"
#include "kavo/variant/variant.h"

namespace kavo {
namespace ipc {

class RequestHandler : public BaseHandler {
 public:
  explicit RequestHandler(const std::string& name) : BaseHandler(name) {}
  ~RequestHandler() override;

  // Both do nothing and report success.
  bool MessageSentSuccessfully(kavo::ipc::messages::BaseMessage& message, bool& cont) override;
  bool HandleResponse(kavo::ipc::messages::BaseRequestMessage& request,
                      kavo::ipc::messages::BaseResponseMessage& response, bool& cont) override;

 protected:
  // Answers `request` with `statusCode` and `payload` (null: none) through the hub the handler
  // is registered with. True when queued, or when the request expects no answer (nothing is
  // sent); false when the handler has no hub or the answer could not be queued.
  bool Answer(kavo::ipc::messages::BaseRequestMessage& request, uint64_t statusCode,
              const kavo::variant::Variant& payload = kavo::variant::Variant());
};

}  // namespace ipc
}  // namespace kavo
