// parseURI on arbitrary text, with the properties callers rely on checked after every success.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "kavo/logger/logger.h"
#include "kavo/variant_utils/uri.h"

using kavo::variant::URI;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    ::setenv("KAVO_LOG_LEVEL", "0", 1);
    kavo::logger::setSink([](const kavo::logger::LogRecord&) {});
    return true;
  }();
  (void)quiet;
  const std::string text(reinterpret_cast<const char*>(data), size);
  URI uri;
  if (!URI::FromString(text, false, uri)) {
    if (!uri.IsNull()) std::abort();
    return 0;
  }
  if (uri.Size() != 17) std::abort();
  const std::string schema = uri.schema();
  if (schema != "file" && uri.port() == 0) std::abort();
  if (schema != "file" && uri.fullDocumentPath().compare(0, 1, "/") != 0) std::abort();
  const kavo::variant::Variant& params = uri.parameters();
  if (!params.IsMap()) std::abort();
  for (auto it = params.begin(); it != params.end(); ++it)
    if (it->first.empty() || !it->second.IsString()) std::abort();
  if (uri["documentPath"].AsString() + uri["document"].AsString() != uri.fullDocumentPath()) std::abort();
  // A base URI is itself a URI that parses back to the same place.
  const std::string base = uri.baseURI();
  // (A host holding "@" would read back as credentials: the first "@" ends them.)
  if (!base.empty() && uri.host().find('@') == std::string::npos) {
    URI again;
    if (!parseURI(base, again)) std::abort();
    if (again.host() != uri.host() || again.port() != uri.port() || again.documentPath() != uri.documentPath())
      std::abort();
  }
  (void)uri.derivedURI("x", true);
  return 0;
}
