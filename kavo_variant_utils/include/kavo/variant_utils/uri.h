#pragma once
// URI: one parsed URI held as a map Variant whose keys are its parts.
//
// Keys after a successful parse (all strings unless noted; empty where the text has no such part):
//   "originalUri" (the trimmed input), "fullUriWithAuth" (the input), "fullUri" (without
//   credentials), "schema" (lower case), "userName", "password", "host", "port" (UInt16: the
//   written port or the schema's default), "portSpecified" (Bool), "fullDocumentPathWithParameters",
//   "fullDocumentPath" (up to the first "?"), "fullParameters" (behind it, trimmed),
//   "documentPath" (up to and including the last "/"; for rtmp* schemas the last "/" in front of
//   the first ":"), "document", "documentWithFullParameters", "parameters" (Map: one string per
//   query pair, "" for a flag without "="); "ip" after URI::FromString.
//
// Default ports: file 0, http/rtmpt/rtmpte 80, https/rtmps 443, rtsp 554, rtmp/rtmpe 1935,
// websock 7080, websocks 7443. Any other schema (tcp among them) must give its port; port 0 is
// refused for every schema but file.
//
// The accessors are inline so that every library using them carries its own copy. They are not
// const: a missing key, or one of another kind, is (re)written with the default first.
#include <cstdint>
#include <string>

#include "kavo/variant/variant.h"

namespace kavo {
namespace variant {

class URI : public Variant {
 public:
  URI() = default;
  URI(const URI&) = default;
  URI(URI&&) noexcept = default;
  URI& operator=(const URI&) = default;
  URI& operator=(URI&&) noexcept = default;
  ~URI() override = default;

  // parseURI, then (resolve true, schema not "file") the host's address into "ip"; "ip" is empty
  // otherwise. On any failure the target is left reset and false returned.
  static bool FromString(const std::string& text, bool resolve, URI& target);

  // schema "://" [user ":" password "@"] host [":" port] documentPath; "" when the schema, host
  // or documentPath is empty (so for every file URI). Credentials only when both are non-empty,
  // the port only when the text gave one.
  std::string baseURI();
  // baseURI() + document [+ "?" fullParameters when withParameters and it is non-empty].
  std::string derivedURI(std::string document, bool withParameters);

  std::string originalUri() { return stringField("originalUri"); }
  std::string schema() { return stringField("schema"); }
  std::string userName() { return stringField("userName"); }
  std::string password() { return stringField("password"); }
  std::string host() { return stringField("host"); }
  std::string ip() { return stringField("ip"); }
  std::string documentPath() { return stringField("documentPath"); }
  std::string fullDocumentPath() { return stringField("fullDocumentPath"); }
  // Any number kind is accepted and converted to 16 bits; the default written is Int32 0.
  unsigned short port() {
    Variant& v = field("port");
    if (!v.IsNumeric()) v = static_cast<int32_t>(0);
    return v.As<unsigned short>();
  }
  // The stored map itself; a missing entry or one that is no container is replaced by null.
  Variant& parameters() {
    Variant& v = field("parameters");
    if (!v.IsContainer()) v = Variant();
    return v;
  }

  void originalUri(std::string value) { field("originalUri") = std::move(value); }
  void schema(std::string value) { field("schema") = std::move(value); }
  void userName(std::string value) { field("userName") = std::move(value); }
  void host(std::string value) { field("host") = std::move(value); }
  void document(std::string value) { field("document") = std::move(value); }
  void documentWithFullParameters(std::string value) { field("documentWithFullParameters") = std::move(value); }

 private:
  Variant& field(const char* key) {
    EnsureContainer();
    return (*this)[key];
  }
  std::string stringField(const char* key) {
    Variant& v = field(key);
    if (!v.IsString()) v = "";
    return v.AsString();
  }
};

}  // namespace variant
}  // namespace kavo

// Parses `text` into `target` (reset first; left reset on failure, which is logged at level 3).
bool parseURI(std::string text, kavo::variant::URI& target);
