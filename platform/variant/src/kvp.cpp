// Key/value text: "key=value" lines, dotted keys as nested maps.
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string>

#include "kavo/variant/variant.h"
#include "variant_internal.h"

namespace kavo {
namespace variant {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view trimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// A plain decimal integer (sign, digits) as Int64/UInt64, a decimal fraction or exponent form as
// Double; anything else, and numbers out of range, stay text.
Variant typedValue(std::string_view text) {
  const size_t n = text.size();
  size_t i = 0;
  if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
  const size_t intStart = i;
  while (i < n && isDigit(text[i])) ++i;
  const size_t intDigits = i - intStart;
  size_t fracDigits = 0;
  bool dot = false, exponent = false;
  if (i < n && text[i] == '.') {
    dot = true;
    ++i;
    const size_t fracStart = i;
    while (i < n && isDigit(text[i])) ++i;
    fracDigits = i - fracStart;
  }
  if (intDigits + fracDigits == 0) return Variant(text);
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    exponent = true;
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    const size_t expStart = i;
    while (i < n && isDigit(text[i])) ++i;
    if (i == expStart) return Variant(text);
  }
  if (i != n) return Variant(text);
  const std::string s(text);  // strto* need a terminated string
  char* end = nullptr;
  errno = 0;
  if (!dot && !exponent) {
    if (s[0] == '-') {
      const long long v = std::strtoll(s.c_str(), &end, 10);
      if (errno == ERANGE || *end != '\0') return Variant(text);
      return Variant(static_cast<int64_t>(v));
    }
    const unsigned long long v = std::strtoull(s.c_str(), &end, 10);
    if (errno == ERANGE || *end != '\0') return Variant(text);
    return Variant(static_cast<uint64_t>(v));
  }
  const double d = std::strtod(s.c_str(), &end);
  if (errno == ERANGE || *end != '\0' || !std::isfinite(d)) return Variant(text);
  return Variant(d);
}

bool unsafe(std::string_view s, std::string_view also) {
  if (s.find('\n') != std::string_view::npos || s.find('\r') != std::string_view::npos) return true;
  return !also.empty() && s.find(also) != std::string_view::npos;
}

bool writeKvp(std::string& out, std::string& key, const Variant& v, std::string_view separator,
              std::string_view lineEnd) {
  if (v.IsContainer()) {
    const size_t keep = key.size();
    auto entry = [&](std::string_view name, const Variant& value) {
      if (name.empty() || unsafe(name, separator) || unsafe(name, lineEnd)) return false;
      if (keep != 0) key += '.';
      key.append(name.data(), name.size());
      const bool ok = writeKvp(out, key, value, separator, lineEnd);
      key.resize(keep);
      return ok;
    };
    if (v.IsArray()) {
      for (auto it = v.num_begin(); it != v.num_end(); ++it)
        if (!entry(std::to_string(it->first), it->second)) return false;
      return true;
    }
    return internal::forEachMapEntry(v, entry);
  }
  out += key;
  out.append(separator.data(), separator.size());
  switch (v.GetType()) {
    case VariantType::Null: break;
    case VariantType::Bool: out += v.AsBool() ? '1' : '0'; break;
    case VariantType::String:
      if (unsafe(v.AsString(), lineEnd)) return false;
      out += v.AsString();
      break;
    case VariantType::Timeval: internal::appendTimeval(out, v.AsTimeval()); break;
    default: internal::appendNumber(out, v); break;
  }
  out.append(lineEnd.data(), lineEnd.size());
  return true;
}

}  // namespace

bool Variant::FromKVP(std::string_view text, bool replace, bool valuesAsStrings, bool nestDottedKeys) {
  Variant work(VariantType::Map);
  if (!replace && IsMap()) work = *this;
  std::vector<std::string_view> parts;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string_view::npos) eol = text.size();
    std::string_view line = text.substr(pos, eol - pos);
    pos = eol + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view key = trimBlanks(line.substr(0, eq));
    const std::string_view value = line.substr(eq + 1);
    if (key.empty()) continue;

    parts.clear();
    bool emptyPart = false;
    if (nestDottedKeys) {
      size_t start = 0;
      while (true) {
        const size_t dot = key.find('.', start);
        const std::string_view part = key.substr(start, dot == std::string_view::npos ? dot : dot - start);
        if (part.empty()) emptyPart = true;
        parts.push_back(part);
        if (parts.size() > kMaxDepth) return false;
        if (dot == std::string_view::npos) break;
        start = dot + 1;
      }
    } else {
      parts.push_back(key);
    }
    if (emptyPart) continue;

    Variant* node = &work;
    for (size_t k = 0; k + 1 < parts.size(); ++k) {
      Variant& child = node->Member(parts[k]);
      if (child.IsNull()) {
        child.MakeContainer(VariantType::Map);
      } else if (!child.IsMap()) {
        return false;  // the key already holds a value
      }
      node = &child;
    }
    Variant& leaf = node->Member(parts.back());
    if (leaf.IsMap()) return false;  // the key already holds nested keys
    if (valuesAsStrings) {
      leaf = value;
    } else {
      leaf = typedValue(value);
    }
  }
  *this = std::move(work);
  return true;
}

bool Variant::ToKVP(std::string& out, std::string_view separator, std::string_view lineEnd) const {
  if (IsNull()) {
    out.clear();
    return true;
  }
  if (!IsContainer()) return false;
  std::string text;
  std::string key;
  if (!writeKvp(text, key, *this, separator, lineEnd)) return false;
  out = std::move(text);
  return true;
}

}  // namespace variant
}  // namespace kavo
