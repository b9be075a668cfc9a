#pragma once
// Text helpers. White space is ASCII: space, \t, \n, \v, \f, \r. Letter case is ASCII only.
#include <cstdarg>
#include <cstddef>
#include <string>
#include <vector>

namespace kavo {
namespace utils {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string vformat(const char* fmt, va_list args);

// Strips white space at both ends, in place; returns `text`.
std::string& trim(std::string& text);
std::string lowerCase(const std::string& text);
// Replaces `result` with the pieces between separators: n separators give n + 1 pieces, empty
// ones included, so the empty text gives one empty piece and the list is never empty. An empty
// separator gives the whole text. Returns the number of pieces.
size_t split(const std::string& text, const std::string& separator, std::vector<std::string>& result);
// Replaces every occurrence of `what`, left to right, in place (inserted text is not searched
// again); an empty `what` changes nothing. Returns `text`.
std::string& replaceAll(std::string& text, const std::string& what, const std::string& with);

}  // namespace utils
}  // namespace kavo
