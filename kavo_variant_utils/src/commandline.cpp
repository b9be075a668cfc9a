#include "kavo/variant_utils/commandline.h"

#include <climits>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "variant_utils_log.h"

namespace kavo {
namespace variant {

namespace {

bool numberChar(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == 'x' || c == '+' ||
         c == '-' || c == '.';
}

// The typing rules of an option's value (not empty).
Variant typeValue(const char* text) {
  size_t stop = 0;
  bool dot = false;
  while (text[stop] != '\0' && numberChar(text[stop])) {
    if (text[stop] == '.') dot = true;
    ++stop;
  }
  if (stop == 0 || text[stop] != '\0') return Variant(text);
  char* end = nullptr;
  errno = 0;
  if (dot) {
    const double d = std::strtod(text, &end);
    if (end != text + stop || errno == ERANGE) return Variant(text);
    // A value that does not fit 64 bits stays text rather than being stored wrongly.
    if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0)) return Variant(text);
    const int64_t whole = static_cast<int64_t>(d);
    if (static_cast<double>(whole) == d) return Variant(whole);
    return Variant(d);
  }
  const long long v = std::strtoll(text, &end, 0);
  if (end != text + stop || errno == ERANGE) return Variant(text);
  if (text[0] == '-') return Variant(static_cast<int64_t>(v));
  return Variant(static_cast<uint64_t>(v));
}

void unknown(Variant& result, const char* arg) {
  VU_LOG("ParseCommandLine", LOG_LEVEL_WARNING, 0, "unknown parameter detected: `%s`", arg);
  result["unknownParameters"][-1] = arg;
}

}  // namespace

void AddParameter(Variant& definitions, char shortName, const char* longName, const char* description,
                  const Variant& defaultValue) {
  Variant record(VariantType::Map);
  record["longName"] = longName;
  record["shortName"] = static_cast<int8_t>(shortName);
  record["description"] = description;
  record["defaultValue"] = defaultValue;
  definitions["byShortName"][static_cast<unsigned char>(shortName)] = record;
  definitions["byLongName"][longName ? longName : ""] = record;
  definitions["all"][-1] = std::move(record);
}

void ParseCommandLine(int argc, const char** argv, Variant& definitions, Variant& result) {
  definitions.IsArray(false);
  definitions["byShortName"].IsArray(false);
  definitions["byLongName"].IsArray(false);

  for (int i = 1; i < argc && argv != nullptr; ++i) {
    const char* arg = argv[i];
    if (arg == nullptr) continue;
    const size_t len = std::strlen(arg);
    if (len < 2 || arg[0] != '-') {
      unknown(result, arg);
      continue;
    }
    const char* eq = std::strchr(arg, '=');
    const size_t nameLen = eq ? static_cast<size_t>(eq - arg) : len;
    const char* value = eq ? eq + 1 : "";
    if (nameLen < 2) {
      unknown(result, arg);
      continue;
    }
    std::string chain;
    if (arg[1] != '-') {
      if (nameLen != 2) {
        unknown(result, arg);
        continue;
      }
      chain = "byShortName/[" + std::to_string(static_cast<unsigned char>(arg[1])) + "]";
    } else {
      const std::string_view longName(arg + 2, nameLen - 2);
      // A "/" would walk into the records themselves.
      if (longName.find('/') != std::string_view::npos) {
        unknown(result, arg);
        continue;
      }
      chain = "byLongName/";
      chain.append(longName.data(), longName.size());
    }
    const Variant* record = definitions.GetKeyChain(VariantType::Any, chain, false);
    const Variant* name = record ? record->Find("longName") : nullptr;
    if (name == nullptr || !name->IsString()) {
      unknown(result, arg);
      continue;
    }
    Variant& slot = result["parameters"][name->AsString()];
    if (*value == '\0') {
      const Variant* def = record->Find("defaultValue");
      slot = def ? *def : Variant();
    } else {
      slot = typeValue(value);
    }
  }

  result.Compact();

  const char* executed = (argc > 0 && argv != nullptr && argv[0] != nullptr) ? argv[0] : "";
  Variant& commandLine = result["commandLine"];
  commandLine["executed"] = executed;
  char buf[4096];
  // A path that cannot be resolved is stored as empty text.
  const char* full = *executed ? ::realpath(executed, buf) : nullptr;
  commandLine["fullPath"] = full ? full : "";
}

void PrintHelp(const char* programName, Variant& definitions) {
  definitions.IsArray(false);
  Variant& all = definitions["all"];
  all.IsArray(true);
  std::string out;
  char line[256];
  auto append = [&](const char* fmt, auto... args) {
    const int n = std::snprintf(line, sizeof line, fmt, args...);
    if (n < 0) return;
    if (static_cast<size_t>(n) < sizeof line) {
      out.append(line, static_cast<size_t>(n));
    } else {
      std::string big(static_cast<size_t>(n) + 1, '\0');
      std::snprintf(&big[0], big.size(), fmt, args...);
      out.append(big.data(), static_cast<size_t>(n));
    }
  };
  append("%s <option>[=<value>]\n", programName ? programName : "");
  for (auto it = all.num_begin(); it != all.num_end(); ++it) {
    const Variant& record = it->second;
    const Variant* shortName = record.Find("shortName");
    const Variant* longName = record.Find("longName");
    const Variant* description = record.Find("description");
    const Variant* def = record.Find("defaultValue");
    append("\t-%c\t--%s", static_cast<int>(static_cast<char>(shortName ? shortName->AsInt64() : 0)),
           longName ? longName->AsCString() : "");
    if (def != nullptr) {
      if (def->IsDouble()) {
        append(" [=%.3f]", def->AsDouble());
      } else if (def->IsBool()) {
        append(" [=%d]", def->AsBool() ? 1 : 0);
      } else if (def->IsNumeric()) {
        append(" [=%lld]", static_cast<long long>(def->AsInt64()));
      } else if (def->IsString()) {
        append(" [=\"%s\"]", def->AsCString());
      }
    }
    append(" - %s\n", description ? description->AsCString() : "");
  }
  out += "\n";
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
}

}  // namespace variant
}  // namespace kavo
