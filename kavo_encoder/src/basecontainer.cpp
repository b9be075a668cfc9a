#include "kavo/encoder/basecontainer.h"

#include "kavo/encoder/flvcontainer.h"
#include "kavo/encoder/mjpgcontainer.h"
#include "encoderlog.h"

namespace kavo {
namespace encoder {

BaseContainer::BaseContainer(ContainerType kind, Encoder* owner) : type(kind), encoder(owner) {}

BaseContainer::~BaseContainer() = default;

BaseContainer* BaseContainer::GetInstance(kavo::ipc::messages::AVSerializer& serializer, const StreamInfo& info,
                                          Encoder* encoder) {
  const std::string kind = serializer.type();
  BaseContainer* container = nullptr;
  if (kind == "flv") {
    container = new FLVContainer(encoder);
  } else if (kind == "mjpg") {
    container = new MJPGContainer(encoder);
  } else {
    ENC_LOG(LOG_LEVEL_WARNING, 0, "Invalid container type: %s", kind.c_str());
    return nullptr;
  }
  if (!container->Open(serializer, info)) {
    const std::string text = serializer.ToString();
    ENC_LOG(LOG_LEVEL_ERROR, 0, "Unable to initialize container:\n%s", text.c_str());
    delete container;
    return nullptr;
  }
  return container;
}

}  // namespace encoder
}  // namespace kavo
