#include "kavo/ipc/messages/fields.h"

#include "kavo/threading/idgenerator.h"
#include "kavo/utils/clock.h"

namespace kavo {
namespace ipc {
namespace messages {
namespace fields {

Variant& slot(Variant& doc, const char* key) {
  doc.EnsureContainer();
  return doc[key];
}

bool sameIgnoringCase(const std::string& text, const char* allowed) noexcept {
  const size_t n = std::char_traits<char>::length(allowed);
  if (text.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    unsigned char a = static_cast<unsigned char>(text[i]);
    unsigned char b = static_cast<unsigned char>(allowed[i]);
    if (a >= 'A' && a <= 'Z') a = static_cast<unsigned char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<unsigned char>(b - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

uint64_t Id::get(Variant& doc) const {
  Variant& v = slot(doc, key);
  if (!v.IsNumeric()) v = kavo::threading::IdGenerator::GenerateId();
  return v.AsUInt64();
}

timeval Time::get(Variant& doc) const {
  Variant& v = slot(doc, key);
  if (!v.IsTimeval()) v = kavo::utils::now();
  return v.AsTimeval();
}

}  // namespace fields
}  // namespace messages
}  // namespace ipc
}  // namespace kavo
