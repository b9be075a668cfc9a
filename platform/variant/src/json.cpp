// JSON in (nlohmann-json's SAX parser, building the Variant directly) and out (our own writer, so
// that 64-bit integers, invalid UTF-8 and key order are under our control).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "kavo/os/path.h"
#include "kavo/variant/variant.h"
#include "variant_internal.h"

namespace kavo {
namespace variant {

// ---- parsing ----------------------------------------------------------------------------------

// nlohmann-json SAX consumer. Values go straight into their final place in the tree; the stack
// holds the open containers (never deeper than kMaxDepth).
class JsonBuilder {
 public:
  using json = nlohmann::json;

  Variant root;

  bool null() {
    place();
    return true;
  }
  bool boolean(bool value) {
    *place() = value;
    return true;
  }
  bool number_integer(json::number_integer_t value) {
    *place() = static_cast<int64_t>(value);
    return true;
  }
  bool number_unsigned(json::number_unsigned_t value) {
    *place() = static_cast<uint64_t>(value);
    return true;
  }
  bool number_float(json::number_float_t value, const json::string_t&) {
    *place() = static_cast<double>(value);
    return true;
  }
  bool string(json::string_t& value) {
    *place() = std::move(value);
    return true;
  }
  bool binary(json::binary_t&) { return false; }
  bool start_object(std::size_t) { return open(VariantType::Map); }
  bool key(json::string_t& value) {
    key_ = std::move(value);
    return true;
  }
  bool end_object() {
    stack_.pop_back();
    return true;
  }
  bool start_array(std::size_t) { return open(VariantType::Array); }
  bool end_array() {
    stack_.pop_back();
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) { return false; }

 private:
  Variant* place() {
    if (stack_.empty()) return &root;
    Variant* top = stack_.back();
    if (top->type_ == VariantType::Array) {
      Variant::NumericMap& m = top->v_.c->num;
      const int64_t next = m.empty() ? 0 : m.rbegin()->first + 1;
      return &m.emplace_hint(m.end(), next, Variant())->second;
    }
    // A repeated key replaces the earlier value.
    return &top->v_.c->str.insert_or_assign(std::move(key_), Variant()).first->second;
  }
  bool open(VariantType kind) {
    if (stack_.size() >= Variant::kMaxDepth) return false;
    Variant* v = place();
    v->MakeContainer(kind);
    stack_.push_back(v);
    return true;
  }

  std::vector<Variant*> stack_;
  std::string key_;
};

namespace {

bool isJsonSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

size_t skipSpace(const char* p, size_t n, size_t i) {
  while (i < n && isJsonSpace(p[i])) ++i;
  return i;
}

bool isStructural(char c) {
  switch (c) {
    case ',': case ':': case '[': case ']': case '{': case '}': case '"': return true;
    default: return false;
  }
}

// End (exclusive) of the first document, found by its brackets and strings alone; 0 when it is
// unterminated, nested deeper than kMaxDepth, or absent. The parser then sees exactly this range,
// so bytes after the document are never read and never make the parse fail.
size_t documentEnd(const char* p, size_t n) {
  size_t i = skipSpace(p, n, 0);
  if (i == n) return 0;
  const char first = p[i];
  if (first == '{' || first == '[') {
    size_t depth = 0;
    bool inString = false;
    for (; i < n; ++i) {
      const char c = p[i];
      if (inString) {
        if (c == '\\') {
          ++i;
        } else if (c == '"') {
          inString = false;
        }
        continue;
      }
      if (c == '"') {
        inString = true;
      } else if (c == '{' || c == '[') {
        if (++depth > Variant::kMaxDepth) return 0;
      } else if (c == '}' || c == ']') {
        if (--depth == 0) return i + 1;
      }
    }
    return 0;
  }
  if (first == '"') {
    for (++i; i < n; ++i) {
      if (p[i] == '\\') {
        ++i;
      } else if (p[i] == '"') {
        return i + 1;
      }
    }
    return 0;
  }
  while (i < n && !isJsonSpace(p[i]) && !isStructural(p[i])) ++i;
  return i;
}

}  // namespace

size_t Variant::FromJSON(const char* data, size_t length) {
  if (data == nullptr || length == 0) return 0;
  const size_t end = documentEnd(data, length);
  if (end == 0) return 0;
  JsonBuilder builder;
  bool ok = false;
  try {
    ok = nlohmann::json::sax_parse(data, data + end, &builder, nlohmann::json::input_format_t::json, true, false);
  } catch (...) {
    ok = false;  // the SAX path reports errors through parse_error; this only guards allocation failures
  }
  if (!ok) return 0;
  *this = std::move(builder.root);
  return skipSpace(data, length, end);
}

// ---- writing ----------------------------------------------------------------------------------

namespace internal {

void appendNumber(std::string& out, const Variant& v) {
  char buf[64];
  std::to_chars_result r{};
  if (v.IsSigned()) {
    r = std::to_chars(buf, buf + sizeof buf, v.AsInt64());
  } else if (v.IsUnsigned()) {
    r = std::to_chars(buf, buf + sizeof buf, v.AsUInt64());
  } else {
    const double d = v.AsDouble();
    r = std::to_chars(buf, buf + sizeof buf, d);
    out.append(buf, r.ptr);
    if (std::memchr(buf, '.', r.ptr - buf) == nullptr && std::memchr(buf, 'e', r.ptr - buf) == nullptr &&
        std::memchr(buf, 'n', r.ptr - buf) == nullptr)
      out += ".0";
    return;
  }
  out.append(buf, r.ptr);
}

void appendTimeval(std::string& out, const timeval& tv) {
  int64_t sec = tv.tv_sec;
  int64_t usec = tv.tv_usec;
  sec += usec / 1000000;
  usec %= 1000000;
  if (usec < 0) {
    usec += 1000000;
    sec -= 1;
  }
  char buf[48];
  if (sec >= 0) {
    std::snprintf(buf, sizeof buf, "%lld.%06lld", static_cast<long long>(sec), static_cast<long long>(usec));
  } else if (usec == 0) {
    std::snprintf(buf, sizeof buf, "%lld.000000", static_cast<long long>(sec));
  } else {
    // -1 s + 0.25 s is -0.75 s
    std::snprintf(buf, sizeof buf, "-%llu.%06lld", static_cast<unsigned long long>(-(sec + 1)),
                  static_cast<long long>(1000000 - usec));
  }
  out += buf;
}

bool readFile(const std::string& path, std::string& out) {
  const std::string root = kavo::os::root();
  const bool underRoot = !root.empty() && path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                         path[root.size()] == '/';
  const std::string real = underRoot ? path : kavo::os::path(path);
  const int fd = ::open(real.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out.clear();
  char buf[16384];
  while (true) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return true;
}

}  // namespace internal

namespace {

// Length of the valid UTF-8 sequence at p (1..4), or 0 when it is invalid; *bad receives the
// length of the maximal invalid prefix to replace.
size_t utf8Sequence(const unsigned char* p, size_t n, size_t* bad) {
  const unsigned char c = p[0];
  size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
  } else if (c == 0xE0) {
    need = 2;
    lo = 0xA0;
  } else if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) {
    need = 2;
  } else if (c == 0xED) {
    need = 2;
    hi = 0x9F;  // no surrogates
  } else if (c == 0xF0) {
    need = 3;
    lo = 0x90;
  } else if (c >= 0xF1 && c <= 0xF3) {
    need = 3;
  } else if (c == 0xF4) {
    need = 3;
    hi = 0x8F;
  } else {
    *bad = 1;
    return 0;
  }
  for (size_t k = 1; k <= need; ++k) {
    const unsigned char b = k < n ? p[k] : 0;
    const unsigned char l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
    if (k >= n || b < l || b > h) {
      *bad = k;
      return 0;
    }
  }
  return need + 1;
}

void appendJsonString(std::string& out, std::string_view s) {
  static const char hex[] = "0123456789abcdef";
  out += '"';
  const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
  const size_t n = s.size();
  size_t i = 0;
  while (i < n) {
    const unsigned char c = p[i];
    if (c >= 0x80) {
      size_t bad = 0;
      const size_t len = utf8Sequence(p + i, n - i, &bad);
      if (len == 0) {
        out += "\xEF\xBF\xBD";  // U+FFFD
        i += bad;
      } else {
        out.append(reinterpret_cast<const char*>(p + i), len);
        i += len;
      }
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += hex[c >> 4];
          out += hex[c & 15];
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  out += '"';
}

void newline(std::string& out, bool pretty, size_t indent) {
  if (!pretty) return;
  out += '\n';
  out.append(indent * 2, ' ');
}

void writeJson(std::string& out, const Variant& v, bool pretty, size_t indent) {
  switch (v.GetType()) {
    case VariantType::Null: out += "null"; return;
    case VariantType::Bool: out += v.AsBool() ? "true" : "false"; return;
    case VariantType::Double: {
      const double d = v.AsDouble();
      if (d != d || d == std::numeric_limits<double>::infinity() || d == -std::numeric_limits<double>::infinity()) {
        out += "null";
        return;
      }
      internal::appendNumber(out, v);
      return;
    }
    case VariantType::String: appendJsonString(out, v.AsString()); return;
    case VariantType::Timeval: internal::appendTimeval(out, v.AsTimeval()); return;
    case VariantType::Array: {
      if (v.NumericKeysCount() == 0) {
        out += "[]";
        return;
      }
      out += '[';
      bool first = true;
      for (auto it = v.num_begin(); it != v.num_end(); ++it) {
        if (!first) out += ',';
        first = false;
        newline(out, pretty, indent + 1);
        writeJson(out, it->second, pretty, indent + 1);
      }
      newline(out, pretty, indent);
      out += ']';
      return;
    }
    case VariantType::Map: {
      if (v.Size() == 0) {
        out += "{}";
        return;
      }
      out += '{';
      bool first = true;
      internal::forEachMapEntry(v, [&](std::string_view key, const Variant& value) {
        if (!first) out += ',';
        first = false;
        newline(out, pretty, indent + 1);
        appendJsonString(out, key);
        out += pretty ? ": " : ":";
        writeJson(out, value, pretty, indent + 1);
        return true;
      });
      newline(out, pretty, indent);
      out += '}';
      return;
    }
    default: internal::appendNumber(out, v); return;
  }
}

}  // namespace

bool Variant::ToJSON(std::string& out, bool pretty) const {
  out.clear();
  writeJson(out, *this, pretty, 0);
  return true;
}

}  // namespace variant
}  // namespace kavo
