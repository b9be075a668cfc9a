// JSON in (a strict RFC 8259 reader that builds the Variant in place) and out (a writer that
// keeps 64-bit integers exact, replaces invalid UTF-8 and writes keys in byte order).
#include <locale.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kavo/os/file.h"
#include "kavo/os/path.h"
#include "kavo/variant/variant.h"
#include "variant_internal.h"

namespace kavo {
namespace variant {

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

// Bytes that stand for themselves inside a JSON string: printable ASCII but the quote and the
// backslash. Strings are scanned over runs of them before anything else is looked at.
struct PlainBytes {
  bool plain[256];
  constexpr PlainBytes() : plain() {
    for (int c = 0x20; c < 0x80; ++c) plain[c] = c != '"' && c != '\\';
  }
};
constexpr PlainBytes kPlain;

bool isPlain(char c) { return kPlain.plain[static_cast<unsigned char>(c)]; }

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

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void appendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    const char b[2] = {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 2);
  } else if (cp < 0x10000) {
    const char b[3] = {static_cast<char>(0xE0 | (cp >> 12)), static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                       static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 3);
  } else {
    const char b[4] = {static_cast<char>(0xF0 | (cp >> 18)), static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
                       static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 4);
  }
}

// A number out of the range that std::from_chars reports; strtod in the "C" locale tells an
// underflow (kept, as a zero or subnormal) from an overflow (refused).
bool parseOutOfRange(const char* first, const char* last, double& out) {
  static const locale_t c = ::newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
  const std::string text(first, last);
  const double d = c != static_cast<locale_t>(0) ? ::strtod_l(text.c_str(), nullptr, c)
                                                 : std::strtod(text.c_str(), nullptr);
  if (!std::isfinite(d)) return false;
  out = d;
  return true;
}

}  // namespace

// ---- parsing ----------------------------------------------------------------------------------

// Values go straight into their final place in the tree; containers nest at most kMaxDepth deep.
// The grammar is RFC 8259's: no comments, no trailing commas, strings of valid UTF-8 with no raw
// control characters, escapes with paired surrogates only.
class JsonBuilder {
 public:
  JsonBuilder(const char* data, size_t length) : p_(data), end_(data + length) {}

  // Parses one value at the current position; false on any error.
  bool value(Variant& out, size_t depth) {
    if (p_ == end_) return false;
    switch (*p_) {
      case '{': return object(out, depth + 1);
      case '[': return array(out, depth + 1);
      case '"': {
        std::string text;
        if (!string(text)) return false;
        out = std::move(text);
        return true;
      }
      case 't':
        if (!literal("true", 4)) return false;
        out = true;
        return true;
      case 'f':
        if (!literal("false", 5)) return false;
        out = false;
        return true;
      case 'n': return literal("null", 4);
      default: return number(out);
    }
  }

  const char* position() const { return p_; }

 private:
  void skipSpace() {
    while (p_ != end_ && isJsonSpace(*p_)) ++p_;
  }

  bool literal(const char* word, size_t n) {
    if (static_cast<size_t>(end_ - p_) < n || std::memcmp(p_, word, n) != 0) return false;
    p_ += n;
    return true;
  }

  bool object(Variant& out, size_t depth) {
    if (depth > Variant::kMaxDepth) return false;
    Variant::StringMap& map = out.MakeContainer(VariantType::Map).str;
    ++p_;
    skipSpace();
    if (p_ != end_ && *p_ == '}') {
      ++p_;
      return true;
    }
    std::string key;
    while (true) {
      if (p_ == end_ || *p_ != '"') return false;
      key.clear();
      if (!string(key)) return false;
      skipSpace();
      if (p_ == end_ || *p_ != ':') return false;
      ++p_;
      skipSpace();
      // Our own writer sorts the keys, so a key usually goes at the end; a repeated key
      // replaces the earlier value.
      Variant* slot;
      if (map.empty() || map.rbegin()->first < key)
        slot = &map.emplace_hint(map.end(), std::move(key), Variant())->second;
      else
        slot = &map.insert_or_assign(std::move(key), Variant()).first->second;
      if (!value(*slot, depth)) return false;
      skipSpace();
      if (p_ == end_) return false;
      if (*p_ == '}') {
        ++p_;
        return true;
      }
      if (*p_ != ',') return false;
      ++p_;
      skipSpace();
    }
  }

  bool array(Variant& out, size_t depth) {
    if (depth > Variant::kMaxDepth) return false;
    Variant::NumericMap& map = out.MakeContainer(VariantType::Array).num;
    ++p_;
    skipSpace();
    if (p_ != end_ && *p_ == ']') {
      ++p_;
      return true;
    }
    for (int64_t index = 0;; ++index) {
      if (!value(map.emplace_hint(map.end(), index, Variant())->second, depth)) return false;
      skipSpace();
      if (p_ == end_) return false;
      if (*p_ == ']') {
        ++p_;
        return true;
      }
      if (*p_ != ',') return false;
      ++p_;
      skipSpace();
    }
  }

  // At the opening quote; appends the decoded text to `out`.
  bool string(std::string& out) {
    ++p_;
    const char* run = p_;
    while (true) {
      while (p_ != end_ && isPlain(*p_)) ++p_;
      if (p_ == end_) return false;
      const unsigned char c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        out.append(run, p_);
        ++p_;
        return true;
      }
      if (c >= 0x80) {
        size_t bad = 0;
        const size_t len = utf8Sequence(reinterpret_cast<const unsigned char*>(p_), end_ - p_, &bad);
        if (len == 0) return false;
        p_ += len;
        continue;
      }
      if (c < 0x20) return false;
      if (c != '\\') {
        ++p_;
        continue;
      }
      out.append(run, p_);
      if (!escape(out)) return false;
      run = p_;
    }
  }

  // At a backslash.
  bool escape(std::string& out) {
    if (end_ - p_ < 2) return false;
    const char e = p_[1];
    p_ += 2;
    switch (e) {
      case '"': out += '"'; return true;
      case '\\': out += '\\'; return true;
      case '/': out += '/'; return true;
      case 'b': out += '\b'; return true;
      case 'f': out += '\f'; return true;
      case 'n': out += '\n'; return true;
      case 'r': out += '\r'; return true;
      case 't': out += '\t'; return true;
      case 'u': break;
      default: return false;
    }
    uint32_t cp;
    if (!hex4(cp)) return false;
    if (cp >= 0xDC00 && cp <= 0xDFFF) return false;  // a low surrogate alone
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      uint32_t low;
      if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return false;
      p_ += 2;
      if (!hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    }
    appendUtf8(out, cp);
    return true;
  }

  bool hex4(uint32_t& cp) {
    if (end_ - p_ < 4) return false;
    cp = 0;
    for (int i = 0; i < 4; ++i) {
      const int d = hexDigit(p_[i]);
      if (d < 0) return false;
      cp = (cp << 4) | static_cast<uint32_t>(d);
    }
    p_ += 4;
    return true;
  }

  static bool isDigit(char c) { return c >= '0' && c <= '9'; }

  // -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)? ; integers that fit 64 bits stay exact
  // (negative ones signed, the others unsigned), everything else is a double.
  bool number(Variant& out) {
    const char* first = p_;
    const bool negative = *p_ == '-';
    if (negative) ++p_;
    if (p_ == end_) return false;
    const char* digits = p_;
    if (*p_ == '0') {
      ++p_;
    } else if (*p_ >= '1' && *p_ <= '9') {
      while (p_ != end_ && isDigit(*p_)) ++p_;
    } else {
      return false;
    }
    const char* digitsEnd = p_;
    bool integral = true;
    if (p_ != end_ && *p_ == '.') {
      ++p_;
      if (p_ == end_ || !isDigit(*p_)) return false;
      while (p_ != end_ && isDigit(*p_)) ++p_;
      integral = false;
    }
    if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
      ++p_;
      if (p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
      if (p_ == end_ || !isDigit(*p_)) return false;
      while (p_ != end_ && isDigit(*p_)) ++p_;
      integral = false;
    }
    if (integral) {
      uint64_t magnitude = 0;
      bool fits = true;
      for (const char* d = digits; d != digitsEnd; ++d) {
        const uint64_t digit = static_cast<uint64_t>(*d - '0');
        if (magnitude > (UINT64_MAX - digit) / 10) {
          fits = false;
          break;
        }
        magnitude = magnitude * 10 + digit;
      }
      if (fits && !negative) {
        out = magnitude;
        return true;
      }
      if (fits && magnitude <= (uint64_t(1) << 63)) {
        out = static_cast<int64_t>(0 - magnitude);
        return true;
      }
    }
    double d = 0;
    const std::from_chars_result r = std::from_chars(first, p_, d);
    if (r.ec == std::errc::result_out_of_range) {
      if (!parseOutOfRange(first, p_, d)) return false;
    } else if (r.ec != std::errc() || r.ptr != p_ || !std::isfinite(d)) {
      return false;
    }
    out = d;
    return true;
  }

  const char* p_;
  const char* end_;
};

size_t Variant::FromJSON(const char* data, size_t length) {
  if (data == nullptr || length == 0) return 0;
  const size_t start = skipSpace(data, length, 0);
  if (start == length) return 0;
  JsonBuilder builder(data + start, length - start);
  Variant root;
  try {
    if (!builder.value(root, 0)) return 0;
  } catch (...) {
    return 0;  // only allocation failures throw
  }
  const size_t end = static_cast<size_t>(builder.position() - data);
  // A number or a literal at the top must be the whole token ("12-" and "truex" are refused);
  // after a string or a container anything may follow and is left unread.
  const char first = data[start];
  if (first != '{' && first != '[' && first != '"' && end < length && !isJsonSpace(data[end]) &&
      !isStructural(data[end]))
    return 0;
  *this = std::move(root);
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
  // "%lld.%06lld" and its negative forms, without the cost of printf
  char buf[48];
  char* p = buf;
  char* const end = buf + sizeof buf;
  int64_t fraction = usec;
  if (sec >= 0 || usec == 0) {
    p = std::to_chars(p, end, sec).ptr;
  } else {
    // -1 s + 0.25 s is -0.75 s
    *p++ = '-';
    p = std::to_chars(p, end, static_cast<unsigned long long>(-(sec + 1))).ptr;
    fraction = 1000000 - usec;
  }
  *p++ = '.';
  for (int64_t div = 100000; div > 0; div /= 10) *p++ = static_cast<char>('0' + (fraction / div) % 10);
  out.append(buf, p);
}

bool readFile(const std::string& path, std::string& out) {
  const std::string root = kavo::os::root();
  const bool underRoot = !root.empty() && path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                         path[root.size()] == '/';
  const std::string real = underRoot ? path : kavo::os::path(path);
  return kavo::os::readRegularFile(real, out);
}

}  // namespace internal

namespace {

void appendJsonString(std::string& out, std::string_view s) {
  static const char hex[] = "0123456789abcdef";
  out += '"';
  const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
  const size_t n = s.size();
  size_t i = 0;
  size_t run = 0;  // start of the bytes that go out as they are, appended in one piece
  while (i < n) {
    while (i < n && isPlain(static_cast<char>(p[i]))) ++i;
    if (i == n) break;
    const unsigned char c = p[i];
    if (c >= 0x80) {
      size_t bad = 0;
      const size_t len = utf8Sequence(p + i, n - i, &bad);
      if (len != 0) {
        i += len;
        continue;
      }
      out.append(s.data() + run, i - run);
      out += "\xEF\xBF\xBD";  // U+FFFD
      i += bad;
      run = i;
      continue;
    }
    out.append(s.data() + run, i - run);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default: {
        const char u[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15]};
        out.append(u, 6);
      }
    }
    ++i;
    run = i;
  }
  out.append(s.data() + run, n - run);
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
