#include "kavo/variant/variant.h"

#include <cstring>
#include <new>
#include <utility>

#include "kavo/variant/basevariantcontainer.h"
#include "variant_internal.h"

namespace kavo {
namespace variant {

namespace {

const Variant::StringMap& emptyStringMap() {
  static const Variant::StringMap m;
  return m;
}
const Variant::NumericMap& emptyNumericMap() {
  static const Variant::NumericMap m;
  return m;
}
// Iterators of a non-container: begin() == end() of a map that never holds anything.
Variant::StringMap& mutableEmptyStringMap() {
  static Variant::StringMap m;
  return m;
}
Variant::NumericMap& mutableEmptyNumericMap() {
  static Variant::NumericMap m;
  return m;
}

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (asciiLower(a[i]) != asciiLower(b[i])) return false;
  return true;
}

// "[n]" with n a decimal 64-bit integer; false for anything else.
bool parseIndexPart(std::string_view part, int64_t& out) {
  if (part.size() < 3 || part.front() != '[' || part.back() != ']') return false;
  std::string_view digits = part.substr(1, part.size() - 2);
  bool negative = false;
  if (!digits.empty() && digits[0] == '-') {
    negative = true;
    digits.remove_prefix(1);
  }
  if (digits.empty() || digits.size() > 19) return false;
  uint64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  const uint64_t limit = negative ? uint64_t(1) << 63 : (uint64_t(1) << 63) - 1;
  if (value > limit) return false;
  out = negative ? static_cast<int64_t>(0 - value) : static_cast<int64_t>(value);
  return true;
}

}  // namespace

// ---- life cycle -------------------------------------------------------------------------------

Variant::Variant(const Variant& other) : type_(VariantType::Null) {
  v_.u = 0;
  CopyFrom(other);
}

Variant::Variant(Variant&& other) noexcept : type_(VariantType::Null) {
  v_.u = 0;
  MoveFrom(other);
}

Variant::Variant(const char* text) : type_(VariantType::String) { new (&v_.s) std::string(text ? text : ""); }
Variant::Variant(const std::string& text) : type_(VariantType::String) { new (&v_.s) std::string(text); }
Variant::Variant(std::string&& text) noexcept : type_(VariantType::String) {
  new (&v_.s) std::string(std::move(text));
}
Variant::Variant(std::string_view text) : type_(VariantType::String) { new (&v_.s) std::string(text); }
Variant::Variant(const timeval& tv) noexcept : type_(VariantType::Timeval) { v_.tv = tv; }

Variant::Variant(VariantType kind) : type_(VariantType::Null) {
  v_.u = 0;
  switch (kind) {
    case VariantType::Bool: *this = false; break;
    case VariantType::Int8: *this = int8_t(0); break;
    case VariantType::Int16: *this = int16_t(0); break;
    case VariantType::Int32: *this = int32_t(0); break;
    case VariantType::Int64: *this = int64_t(0); break;
    case VariantType::UInt8: *this = uint8_t(0); break;
    case VariantType::UInt16: *this = uint16_t(0); break;
    case VariantType::UInt32: *this = uint32_t(0); break;
    case VariantType::UInt64: *this = uint64_t(0); break;
    case VariantType::Double: *this = 0.0; break;
    case VariantType::String: *this = std::string(); break;
    case VariantType::Timeval: *this = timeval{0, 0}; break;
    case VariantType::Map:
    case VariantType::Array: MakeContainer(kind); break;
    default: break;
  }
}

Variant::~Variant() { Release(); }

void Variant::Release() noexcept {
  switch (type_) {
    case VariantType::String: v_.s.~basic_string(); break;
    case VariantType::Map:
    case VariantType::Array: delete v_.c; break;
    default: break;
  }
  type_ = VariantType::Null;
  v_.u = 0;
}

void Variant::CopyFrom(const Variant& other) {
  // Build the copy before releasing, so self-assignment and copies of a descendant are safe;
  // `other` must not be touched after Release().
  const VariantType kind = other.type_;
  switch (kind) {
    case VariantType::String: {
      std::string copy(other.v_.s);
      Release();
      new (&v_.s) std::string(std::move(copy));
      break;
    }
    case VariantType::Map:
    case VariantType::Array: {
      Container* copy = new Container(*other.v_.c);
      Release();
      v_.c = copy;
      break;
    }
    default: {
      // Scalars: the union holds plain bytes only.
      unsigned char raw[sizeof(Storage)];
      std::memcpy(raw, static_cast<const void*>(&other.v_), sizeof(Storage));
      Release();
      std::memcpy(static_cast<void*>(&v_), raw, sizeof(Storage));
      break;
    }
  }
  type_ = kind;
}

void Variant::MoveFrom(Variant& other) noexcept {
  if (&other == this) return;
  // `other` may live inside this value (v = std::move(v["child"])): detach it first.
  Variant tmp;
  tmp.type_ = other.type_;
  if (other.type_ == VariantType::String) {
    new (&tmp.v_.s) std::string(std::move(other.v_.s));
    other.v_.s.~basic_string();
  } else {
    std::memcpy(static_cast<void*>(&tmp.v_), static_cast<const void*>(&other.v_), sizeof(Storage));
  }
  other.type_ = VariantType::Null;
  other.v_.u = 0;
  Release();
  type_ = tmp.type_;
  if (tmp.type_ == VariantType::String) {
    new (&v_.s) std::string(std::move(tmp.v_.s));
  } else {
    std::memcpy(static_cast<void*>(&v_), static_cast<const void*>(&tmp.v_), sizeof(Storage));
    tmp.type_ = VariantType::Null;  // ownership passed on
    tmp.v_.u = 0;
  }
}

Variant& Variant::operator=(const Variant& other) {
  if (&other != this) CopyFrom(other);
  return *this;
}

Variant& Variant::operator=(Variant&& other) noexcept {
  MoveFrom(other);
  return *this;
}

Variant& Variant::operator=(const char* text) { return *this = std::string_view(text ? text : ""); }

Variant& Variant::operator=(const std::string& text) { return *this = std::string_view(text); }

Variant& Variant::operator=(std::string_view text) {
  if (type_ == VariantType::String) {
    v_.s.assign(text.data(), text.size());  // reuses the buffer; safe when text points into it
    return *this;
  }
  std::string copy(text);
  Release();
  new (&v_.s) std::string(std::move(copy));
  type_ = VariantType::String;
  return *this;
}

Variant& Variant::operator=(std::string&& text) {
  if (type_ == VariantType::String) {
    v_.s = std::move(text);
    return *this;
  }
  std::string moved(std::move(text));
  Release();
  new (&v_.s) std::string(std::move(moved));
  type_ = VariantType::String;
  return *this;
}

Variant& Variant::operator=(const timeval& tv) noexcept {
  timeval copy = tv;
  Release();
  type_ = VariantType::Timeval;
  v_.tv = copy;
  return *this;
}

Variant& Variant::operator=(std::nullptr_t) noexcept {
  Release();
  return *this;
}

const std::string& Variant::EmptyString() noexcept {
  static const std::string s;
  return s;
}

const timeval& Variant::ZeroTimeval() noexcept {
  static const timeval tv{0, 0};
  return tv;
}

// ---- containers -------------------------------------------------------------------------------

Variant::Container& Variant::MakeContainer(VariantType kind) {
  Container* c = new Container();
  Release();
  type_ = kind;
  v_.c = c;
  return *c;
}

void Variant::IsArray(bool array) {
  const VariantType want = array ? VariantType::Array : VariantType::Map;
  if (type_ == want) return;
  if (type_ == VariantType::Map) {
    v_.c->str.clear();  // an array has no string keys
    type_ = want;
    return;
  }
  if (type_ == VariantType::Array) {
    type_ = want;  // the elements stay, as numeric keys
    return;
  }
  MakeContainer(want);
}

void Variant::Free() noexcept { Release(); }

void Variant::Compact() {
  switch (type_) {
    case VariantType::String: v_.s.shrink_to_fit(); break;
    case VariantType::Map:
    case VariantType::Array:
      for (auto& kv : v_.c->str) kv.second.Compact();
      for (auto& kv : v_.c->num) kv.second.Compact();
      break;
    default: break;
  }
}

Variant& Variant::Member(std::string_view key) {
  if (type_ == VariantType::Array) {
    type_ = VariantType::Map;  // keeps the elements as numeric keys
  } else if (type_ != VariantType::Map) {
    MakeContainer(VariantType::Map);
  }
  StringMap& m = v_.c->str;
  auto it = m.lower_bound(key);
  if (it != m.end() && it->first == key) return it->second;
  return m.emplace_hint(it, std::string(key), Variant())->second;
}

Variant& Variant::Element(int64_t index) {
  if (!IsContainer()) MakeContainer(index == -1 ? VariantType::Array : VariantType::Map);
  NumericMap& m = v_.c->num;
  if (index == -1 && type_ == VariantType::Array) {
    const int64_t next = m.empty() ? 0 : m.rbegin()->first + 1;
    return m.emplace_hint(m.end(), next, Variant())->second;
  }
  auto it = m.lower_bound(index);
  if (it != m.end() && it->first == index) return it->second;
  return m.emplace_hint(it, index, Variant())->second;
}

Variant& Variant::operator[](const Variant& key) {
  if (key.IsString()) return Member(key.v_.s);
  if (key.IsNumeric()) return Element(key.AsInt64());
  std::string text;
  key.ToJSON(text, false);
  return Member(text);
}

Variant* Variant::Find(std::string_view key) noexcept {
  if (type_ != VariantType::Map) return nullptr;
  auto it = v_.c->str.find(key);
  return it == v_.c->str.end() ? nullptr : &it->second;
}

const Variant* Variant::Find(std::string_view key) const noexcept {
  return const_cast<Variant*>(this)->Find(key);
}

Variant* Variant::FindNumeric(int64_t index) noexcept {
  if (!IsContainer()) return nullptr;
  auto it = v_.c->num.find(index);
  return it == v_.c->num.end() ? nullptr : &it->second;
}

size_t Variant::Size() const noexcept { return IsContainer() ? v_.c->str.size() + v_.c->num.size() : 0; }
size_t Variant::NumericKeysCount() const noexcept { return IsContainer() ? v_.c->num.size() : 0; }
size_t Variant::StringKeysCount() const noexcept { return IsContainer() ? v_.c->str.size() : 0; }

Variant::NumericMap::iterator Variant::num_begin() noexcept {
  return IsContainer() ? v_.c->num.begin() : mutableEmptyNumericMap().begin();
}
Variant::NumericMap::iterator Variant::num_end() noexcept {
  return IsContainer() ? v_.c->num.end() : mutableEmptyNumericMap().end();
}
Variant::NumericMap::const_iterator Variant::num_begin() const noexcept {
  return IsContainer() ? v_.c->num.cbegin() : emptyNumericMap().cbegin();
}
Variant::NumericMap::const_iterator Variant::num_end() const noexcept {
  return IsContainer() ? v_.c->num.cend() : emptyNumericMap().cend();
}
Variant::StringMap::iterator Variant::begin() noexcept {
  return IsContainer() ? v_.c->str.begin() : mutableEmptyStringMap().begin();
}
Variant::StringMap::iterator Variant::end() noexcept {
  return IsContainer() ? v_.c->str.end() : mutableEmptyStringMap().end();
}
Variant::StringMap::const_iterator Variant::begin() const noexcept {
  return IsContainer() ? v_.c->str.cbegin() : emptyStringMap().cbegin();
}
Variant::StringMap::const_iterator Variant::end() const noexcept {
  return IsContainer() ? v_.c->str.cend() : emptyStringMap().cend();
}

// ---- key chains -------------------------------------------------------------------------------

Variant* Variant::GetKeyChain(VariantType kind, std::string_view chain, bool ignoreCase) noexcept {
  Variant* node = this;
  if (!chain.empty()) {
    size_t start = 0;
    while (true) {
      const size_t slash = chain.find('/', start);
      const std::string_view part =
          chain.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
      if (part.empty()) return nullptr;
      int64_t index;
      Variant* next;
      if (parseIndexPart(part, index)) {
        next = node->FindNumeric(index);
      } else {
        next = node->Find(part);
        if (next == nullptr && ignoreCase && node->type_ == VariantType::Map) {
          for (auto& kv : node->v_.c->str) {
            if (equalsIgnoreCase(kv.first, part)) {
              next = &kv.second;
              break;
            }
          }
        }
      }
      if (next == nullptr) return nullptr;
      node = next;
      if (slash == std::string_view::npos) break;
      start = slash + 1;
    }
  }
  return node->Is(kind) ? node : nullptr;
}

const Variant* Variant::GetKeyChain(VariantType kind, std::string_view chain, bool ignoreCase) const noexcept {
  return const_cast<Variant*>(this)->GetKeyChain(kind, chain, ignoreCase);
}

// ---- validation and comparison ----------------------------------------------------------------

namespace {

Variant boundValue(int64_t v) {
  if (v < 0) return Variant(v);
  return Variant(static_cast<uint64_t>(v));
}

}  // namespace

Variant& Variant::ValidateNumeric(std::string_view key, int64_t min, int64_t max, int64_t def, bool clamp) {
  Variant& field = Member(key);
  if (!field.IsNumeric() || (field.IsDouble() && field.v_.d != field.v_.d)) {
    field = boundValue(def);
    return *this;
  }
  bool below, above;
  if (field.IsSigned()) {
    below = field.v_.i < min;
    above = field.v_.i > max;
  } else if (field.IsUnsigned()) {
    below = min > 0 && field.v_.u < static_cast<uint64_t>(min);
    above = max < 0 || field.v_.u > static_cast<uint64_t>(max);
  } else {
    below = field.v_.d < static_cast<double>(min);
    above = field.v_.d > static_cast<double>(max);
  }
  if (below) {
    field = boundValue(clamp ? min : def);
  } else if (above) {
    field = boundValue(clamp ? max : def);
  }
  return *this;
}

bool Variant::operator==(const Variant& other) const noexcept {
  if (IsNumeric() && other.IsNumeric()) {
    if (IsDouble() || other.IsDouble()) {
      if (IsDouble() && other.IsDouble()) return v_.d == other.v_.d;
      const Variant& d = IsDouble() ? *this : other;
      const Variant& n = IsDouble() ? other : *this;
      // Compare exactly: the double must be integral and within the integer's range.
      const double x = d.v_.d;
      if (x != x) return false;
      if (n.IsSigned()) {
        if (x < -9223372036854775808.0 || x >= 9223372036854775808.0) return false;
        return static_cast<int64_t>(x) == n.v_.i && static_cast<double>(static_cast<int64_t>(x)) == x;
      }
      if (x < 0.0 || x >= 18446744073709551616.0) return false;
      return static_cast<uint64_t>(x) == n.v_.u && static_cast<double>(static_cast<uint64_t>(x)) == x;
    }
    if (IsSigned() && other.IsSigned()) return v_.i == other.v_.i;
    if (IsUnsigned() && other.IsUnsigned()) return v_.u == other.v_.u;
    const Variant& s = IsSigned() ? *this : other;
    const Variant& u = IsSigned() ? other : *this;
    return s.v_.i >= 0 && static_cast<uint64_t>(s.v_.i) == u.v_.u;
  }
  if (type_ != other.type_) return false;
  switch (type_) {
    case VariantType::Null: return true;
    case VariantType::Bool: return v_.b == other.v_.b;
    case VariantType::String: return v_.s == other.v_.s;
    case VariantType::Timeval: return v_.tv.tv_sec == other.v_.tv.tv_sec && v_.tv.tv_usec == other.v_.tv.tv_usec;
    case VariantType::Map:
    case VariantType::Array: return v_.c->str == other.v_.c->str && v_.c->num == other.v_.c->num;
    default: return false;
  }
}

std::string Variant::ToString() const {
  std::string out;
  ToJSON(out, true);
  return out;
}

// ---- files ------------------------------------------------------------------------------------

bool Variant::FromJSONFile(const std::string& path) {
  std::string text;
  if (!internal::readFile(path, text)) return false;
  Variant parsed;
  if (text.empty() || parsed.FromJSON(text.data(), text.size()) != text.size()) return false;
  *this = std::move(parsed);
  return true;
}

bool Variant::FromKVPFile(const std::string& path, bool replace, bool valuesAsStrings, bool nestDottedKeys) {
  std::string text;
  if (!internal::readFile(path, text)) return false;
  return FromKVP(text, replace, valuesAsStrings, nestDottedKeys);
}

// ---- BaseVariantContainer ---------------------------------------------------------------------

BaseVariantContainer::~BaseVariantContainer() = default;

void BaseVariantContainer::NormalizeFields() { EnsureContainer(); }

}  // namespace variant
}  // namespace kavo
