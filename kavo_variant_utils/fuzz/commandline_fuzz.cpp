// ParseCommandLine on arbitrary argument vectors (arguments separated by NUL bytes).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kavo/logger/logger.h"
#include "kavo/variant_utils/commandline.h"

using kavo::variant::AddParameter;
using kavo::variant::Variant;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    kavo::logger::setSink([](const kavo::logger::LogRecord&) {});
    return true;
  }();
  (void)quiet;
  static const Variant defs = [] {
    Variant d;
    AddParameter(d, 'h', "help", "help", Variant(true));
    AddParameter(d, 'p', "priority", "priority", Variant(0));
    AddParameter(d, 'c', "configFile", "file", Variant(""));
    AddParameter(d, 'x', "x", "any", Variant());
    return d;
  }();
  std::vector<std::string> args(1, "prog");
  std::string current;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.push_back(current);
      current.clear();
    } else {
      current += static_cast<char>(data[i]);
    }
  }
  args.push_back(current);
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  Variant definitions = defs;
  Variant result;
  kavo::variant::ParseCommandLine(static_cast<int>(argv.size()), argv.data(), definitions, result);
  const Variant* unknown = result.Find("unknownParameters");
  if (unknown != nullptr && unknown->NumericKeysCount() > argv.size() - 1) __builtin_trap();
  if (!result.GetKeyChain(kavo::variant::VariantType::String, "commandLine/fullPath")) __builtin_trap();
  std::string json;
  result.ToJSON(json, false);
  return 0;
}
