#include "kavo/encoder/streaminfo.h"

#include "kavo/logger/logger.h"
#include "kavo/utils/system.h"

namespace kavo {
namespace encoder {

using kavo::variant::Variant;
using kavo::variant::VariantType;

namespace {

// The entry `key` of the required kind; anything else is a programming error of the library.
const Variant& required(const Variant& doc, const char* key, VariantType kind) {
  if (!doc.IsContainer()) {
    logInternal("kavo_encoder", "variant_container_internal_getset", key, 151, LOG_LEVEL_ERROR, 0, 0,
                "Invalid variant type detected");
    kavo::utils::forceCrash();
  }
  const Variant* v = doc.Find(key);
  if (v == nullptr) {
    logInternal("kavo_encoder", "variant_container_internal_getset", key, 151, LOG_LEVEL_ERROR, 0, 0,
                "Key \"%s\" not available", key);
    kavo::utils::forceCrash();
  }
  if (!v->Is(kind)) {
    logInternal("kavo_encoder", "variant_container_internal_getset", key, 151, LOG_LEVEL_ERROR, 0, 0,
                "Key \"%s\" has a different type than expected", key);
    kavo::utils::forceCrash();
  }
  return *v;
}

}  // namespace

StreamInfo::~StreamInfo() = default;

unsigned int StreamInfo::channelId() const {
  return kavo::ipc::messages::fields::saturate<uint32_t>(required(*this, "channelId", VariantType::Numeric));
}

std::string StreamInfo::uri() const { return required(*this, "uri", VariantType::String).AsString(); }

void StreamInfo::NormalizeFields() { BaseVariantContainer::NormalizeFields(); }

}  // namespace encoder
}  // namespace kavo
