#include "kavo/utils/strings.h"

#include <cstdio>

namespace kavo {
namespace utils {

namespace {
bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
}  // namespace

std::string vformat(const char* fmt, va_list args) {
  if (fmt == nullptr) return std::string();
  char small[256];
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::string result(static_cast<size_t>(n), '\0');
  va_copy(copy, args);
  std::vsnprintf(&result[0], result.size() + 1, fmt, copy);
  va_end(copy);
  return result;
}

std::string format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string s = vformat(fmt, args);
  va_end(args);
  return s;
}

std::string& trim(std::string& text) {
  size_t end = text.size();
  while (end > 0 && isSpace(text[end - 1])) --end;
  size_t begin = 0;
  while (begin < end && isSpace(text[begin])) ++begin;
  text.erase(end);
  text.erase(0, begin);
  return text;
}

std::string lowerCase(const std::string& text) {
  std::string r(text);
  for (char& c : r)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return r;
}

size_t split(const std::string& text, const std::string& separator, std::vector<std::string>& result) {
  result.clear();
  if (separator.empty()) {
    result.push_back(text);
    return 1;
  }
  size_t from = 0;
  for (;;) {
    size_t at = text.find(separator, from);
    if (at == std::string::npos) {
      result.push_back(text.substr(from));
      return result.size();
    }
    result.push_back(text.substr(from, at - from));
    from = at + separator.size();
  }
}

std::string& replaceAll(std::string& text, const std::string& what, const std::string& with) {
  if (what.empty()) return text;
  size_t at = text.find(what);
  if (at == std::string::npos) return text;
  std::string out;
  out.reserve(text.size());
  size_t from = 0;
  while (at != std::string::npos) {
    out.append(text, from, at - from);
    out.append(with);
    from = at + what.size();
    at = text.find(what, from);
  }
  out.append(text, from, std::string::npos);
  text.swap(out);
  return text;
}

}  // namespace utils
}  // namespace kavo
