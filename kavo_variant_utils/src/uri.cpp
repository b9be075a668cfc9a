#include "kavo/variant_utils/uri.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "variant_utils_log.h"
#include "kavo/utils/net.h"
#include "kavo/utils/strings.h"

using kavo::variant::URI;
using kavo::variant::Variant;
using kavo::variant::VariantType;

namespace {

struct DefaultPort {
  const char* schema;
  uint16_t port;
};

// A constant table needs no first-use filling, so the first parse may run on any thread.
constexpr DefaultPort kDefaultPorts[] = {
    {"file", 0},     {"http", 80},    {"rtmpt", 80},   {"rtmpte", 80},     {"https", 443},     {"rtmps", 443},
    {"rtsp", 554},   {"rtmp", 1935},  {"rtmpe", 1935}, {"websock", 7080},  {"websocks", 7443},
};

uint16_t defaultPort(const std::string& schema) {
  for (const DefaultPort& entry : kDefaultPorts)
    if (schema == entry.schema) return entry.port;
  return 0;
}

}  // namespace

bool parseURI(std::string text, URI& target) {
  target.Reset();
  const std::string input = text;
  kavo::utils::trim(text);
  if (text.empty()) {
    VU_LOG("parseURI", LOG_LEVEL_ERROR, 0, "Empty uri");
    return false;
  }
  const size_t marker = text.find("://");
  if (marker == std::string::npos) {
    VU_LOG("parseURI", LOG_LEVEL_ERROR, 0, "Unable to determine schema");
    return false;
  }
  const std::string schema = kavo::utils::lowerCase(text.substr(0, marker));
  size_t p = marker + 3;
  uint16_t port = defaultPort(schema);
  bool portSpecified = false;

  // Credentials end at an "@" in front of the first "/"; an "@" in the path is part of it.
  std::string fullUri = input;
  std::string userName, password;
  const size_t slash = text.find('/', p);
  const size_t at = text.find('@', p);
  if (at != std::string::npos && (slash == std::string::npos || slash > at)) {
    const std::string credentials = text.substr(p, at - p);
    fullUri = text.substr(0, p) + text.substr(at + 1);
    p = at + 1;
    const size_t colon = credentials.find(':');
    if (colon == std::string::npos) {
      userName = credentials;
    } else {
      userName = credentials.substr(0, colon);
      password = credentials.substr(colon + 1);
    }
  }

  std::string host;
  std::string path;
  if (schema == "file") {
    if (text.find_first_of("/?", p) == std::string::npos)
      path = "/";
    else
      path = text.substr(p);
    port = 0;
  } else {
    // The authority ends at the first "/" or "?", whichever comes first, so that a query may
    // itself hold a "/".
    const size_t end = text.find_first_of("/?", p);
    std::string authority;
    if (end == std::string::npos) {
      authority = text.substr(p);
      path = "/";
    } else {
      authority = text.substr(p, end - p);
      path = "/" + text.substr(text[end] == '/' ? end + 1 : end);
    }
    kavo::utils::trim(authority);
    if (authority.empty()) {
      VU_LOG("parseURI", LOG_LEVEL_ERROR, 0, "Invalid host:port specified");
      return false;
    }
    const size_t colon = authority.find(':');
    if (colon == std::string::npos) {
      host = authority;
    } else {
      host = authority.substr(0, colon);
      kavo::utils::trim(host);
      const std::string portText = authority.substr(colon + 1);
      // Only a text that prints back as the same number is a port (no sign, blank, leading
      // zero or excess); longer texts cannot qualify and are kept away from atoi.
      const unsigned value =
          portText.size() <= 5 ? static_cast<uint16_t>(std::atoi(portText.c_str())) : 0x10000u;
      if (value > 0xFFFF || kavo::utils::format("%u", value) != portText) {
        VU_LOG("parseURI", LOG_LEVEL_ERROR, 0, "Invalid port number specified: `%s`", portText.c_str());
        return false;
      }
      port = static_cast<uint16_t>(value);
      portSpecified = true;
    }
  }

  std::string fullDocumentPath = "/";
  std::string fullParameters;
  std::string documentPath = "/";
  std::string document;
  std::string documentWithFullParameters;
  Variant parameters(VariantType::Map);
  if (path != "/") {
    const size_t question = path.find('?');
    if (question == std::string::npos) {
      fullDocumentPath = path;
    } else {
      fullDocumentPath = path.substr(0, question);
      fullParameters = path.substr(question + 1);
      kavo::utils::trim(fullParameters);
    }
    if (!fullParameters.empty()) {
      std::vector<std::string> pairs;
      kavo::utils::split(fullParameters, "&", pairs);
      for (const std::string& pair : pairs) {
        if (pair.empty()) continue;
        const size_t eq = pair.find('=');
        const std::string key = pair.substr(0, eq);
        if (key.empty()) continue;
        parameters[key] = eq == std::string::npos ? std::string() : pair.substr(eq + 1);
      }
    }
    // An rtmp stream name such as mp4:clips/a.mp4 is one document.
    size_t split = std::string::npos;
    const size_t firstColon = fullDocumentPath.find(':');
    if (schema.compare(0, 4, "rtmp") == 0 && firstColon != std::string::npos && firstColon > 0)
      split = fullDocumentPath.rfind('/', firstColon - 1);
    if (split == std::string::npos) split = fullDocumentPath.rfind('/');
    if (split == std::string::npos) {
      // A bare file name: no folder part.
      documentPath.clear();
      document = fullDocumentPath;
    } else {
      documentPath = fullDocumentPath.substr(0, split + 1);
      document = fullDocumentPath.substr(split + 1);
    }
    documentWithFullParameters = document;
    if (!fullParameters.empty()) documentWithFullParameters += "?" + fullParameters;
  }

  if (port == 0 && schema != "file") {
    VU_LOG("parseURI", LOG_LEVEL_ERROR, 0, "Invalid URI. No port specified and the schema `%s` is unknown", schema.c_str());
    return false;
  }

  target.EnsureContainer();
  target["originalUri"] = text;
  target["fullUri"] = std::move(fullUri);
  target["fullUriWithAuth"] = input;
  target["schema"] = schema;
  target["userName"] = std::move(userName);
  target["password"] = std::move(password);
  target["host"] = std::move(host);
  target["port"] = port;
  target["portSpecified"] = portSpecified;
  target["fullDocumentPathWithParameters"] = std::move(path);
  target["fullDocumentPath"] = std::move(fullDocumentPath);
  target["fullParameters"] = std::move(fullParameters);
  target["documentPath"] = std::move(documentPath);
  target["document"] = std::move(document);
  target["documentWithFullParameters"] = std::move(documentWithFullParameters);
  target["parameters"] = std::move(parameters);
  return true;
}

namespace kavo {
namespace variant {

bool URI::FromString(const std::string& text, bool resolve, URI& target) {
  if (!parseURI(text, target)) {
    target.Reset();
    return false;
  }
  if (!resolve || target.schema() == "file") {
    target["ip"] = "";
    return true;
  }
  const std::string host = target.host();
  std::string address = kavo::utils::getHostByName(host);
  if (address.empty()) {
    VU_LOG("FromString", LOG_LEVEL_ERROR, 0, "Unable to resolve host: %s", host.c_str());
    target.Reset();
    return false;
  }
  target["ip"] = std::move(address);
  return true;
}

std::string URI::baseURI() {
  const std::string schemaText = schema();
  const std::string hostText = host();
  const std::string path = documentPath();
  if (schemaText.empty() || hostText.empty() || path.empty()) return std::string();
  std::string result = schemaText + "://";
  const std::string user = userName();
  const std::string pass = password();
  if (!user.empty() && !pass.empty()) result += user + ":" + pass + "@";
  result += hostText;
  Variant& specified = field("portSpecified");
  if (!specified.IsBool()) specified = false;
  if (specified.AsBool()) result += kavo::utils::format(":%u", static_cast<unsigned>(port()));
  result += path;
  return result;
}

std::string URI::derivedURI(std::string document, bool withParameters) {
  std::string result = baseURI() + document;
  if (withParameters) {
    const std::string query = stringField("fullParameters");
    if (!query.empty()) result += "?" + query;
  }
  return result;
}

}  // namespace variant
}  // namespace kavo
