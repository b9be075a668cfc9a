#pragma once
// The base of the streamer's request handlers: the encoder they work on (not owned), checked when
// the handler is made and again before each request.
#include <string>

#include "kavo/encoder/encoder.h"
#include "kavo/ipc/requesthandler.h"

namespace kavo {
namespace streamer {

class EncoderHandler : public kavo::ipc::RequestHandler {
 public:
  ~EncoderHandler() override;

 protected:
  // `name` is the handler's name and the function it serves first. When `required` and there is
  // no encoder the process ends ("<name> needs an encoder to work with", logged as from
  // `className`, then forceCrash).
  EncoderHandler(const std::string& name, const char* className, kavo::encoder::Encoder* encoder,
                 bool required = true);

  // False, logged, when there is no encoder to work with.
  bool HaveEncoder() const;

  kavo::encoder::Encoder* encoder;
};

}  // namespace streamer
}  // namespace kavo
