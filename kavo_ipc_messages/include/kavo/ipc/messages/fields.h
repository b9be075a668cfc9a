#pragma once
// Fields of settings and message documents, declared as data.
//
// A document is a map of the value library. Every key is one field of a few shapes. A class
// writes its fields once, as a list macro in normalising order whose key is each field's name:
//
//   #define KAVO_FIELDS_VideoSettingsElement(FIELD, NODE) (then, one per line and continued)
//     FIELD(fps, Incremental<uint8_t>, 0, 0, 30)   FIELD(name, shape, the shape's arguments)
//     NODE(avSerializer, AVSerializerT)             NODE(name, class template of the node)
//
// KAVO_FIELD_TABLE(list) inside a struct makes the table: one constexpr descriptor per field and
// normalize(doc), which normalises them in list order. KAVO_FIELD_ACCESSORS(table, list) inside
// the class gives a getter and a setter per field and a getter per node. (KAVO_FIELD and
// KAVO_NODE make one accessor, for classes that declare a few by hand.) KAVO_DOCUMENT_CLASS makes a
// whole plain class from a list. The shapes:
//
//   Flag         boolean kind only; setter stores the value.
//   Text         string kind only; setter stores the text.
//   Choice       string kind only; setter stores the table's own spelling of the first entry
//                that has the argument's length and equals it ignoring ASCII letter case, else
//                the first entry (so the getter default may differ from the fall-back).
//   Number<T>    any numeric kind; setter clamps to [min, max] and stores a T.
//   Steps<T>     any numeric kind; setter stores the largest allowed value not above the
//                argument, the first (smallest) one when the argument is below all.
//   Incremental<T> a Number of an incremental change request whose default is its "not set"
//                mark, one step outside the range that the receiver applies.
//   NonNegative<T>, NonNegativeIncremental<T>  the same for a quantity that has no negative
//                values: a negative number is taken as mistyped (the default is stored, so in a
//                request it is not set) instead of saturating to 0.
//   Whole        any numeric kind, read back as unsigned 64 bits (ids, status codes).
//   Id           a Whole whose default is a fresh IdGenerator id.
//   Time         time-value kind; default the current wall-clock time.
//   Value        a value of the given kind filter (Container, Any, ...), default null; the
//                getter returns a reference into the document, the setter stores a copy.
//   Section<C>   a sub-document of exactly the map kind; the getter returns a C<Node> view of
//                the stored map, normalising runs C's NormalizeFields on it in place.
//
// Every getter and setter first makes a root that is neither a map nor an array an empty map.
// A getter that finds its key missing or of another kind stores the default there (numeric
// defaults as a signed 32-bit integer when they fit) and returns it: reading writes. Numbers
// that do not fit the getter's type saturate (300 reads as 255 through an 8-bit getter, -5 as 0
// through an unsigned one, 150 as 127 through a signed 8-bit one) rather than wrap, so an out-of-
// range value ends at the nearer end of the field's range after normalisation; Whole and Id keep
// the value library's conversion so that a negative status code stays non-zero.
//
// Classes over these tables are written once for two hosts:
//   Document  the object is the document (a BaseVariantContainer);
//   Node      the object is a view of a map stored inside another document (a pointer). The view
//             reads and repairs that map in place; it converts to Variant& and forwards [] to
//             it. It must not outlive the map it refers to (a view of a key that is erased, or of
//             a document that is destroyed or replaced as a whole, dangles).
// A class template XT<Host> then gives X = XT<Document> (the document class) and
// XRef = XT<Node> (the view that Section getters return).
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>

#include "kavo/variant/basevariantcontainer.h"
#include "kavo/variant/variant.h"

namespace kavo {
namespace ipc {
namespace messages {
namespace fields {

using kavo::variant::Variant;
using kavo::variant::VariantType;

// ---- hosts --------------------------------------------------------------------------------------

class Document : public kavo::variant::BaseVariantContainer {
 public:
  using BaseVariantContainer::BaseVariantContainer;
  Document() = default;
  using BaseVariantContainer::operator=;

 protected:
  Variant& document() { return *this; }
};

class Node {
 public:
  explicit Node(Variant& node) noexcept : node_(&node) {}
  Node(const Node&) = default;
  // Assigning a view replaces the content of the viewed map, never the binding.
  Node& operator=(const Node& other) {
    if (node_ != other.node_) *node_ = *other.node_;
    return *this;
  }
  Node& operator=(const Variant& value) {
    if (node_ != &value) *node_ = value;
    return *this;
  }

  Variant& node() const noexcept { return *node_; }
  operator Variant&() const noexcept { return *node_; }  // NOLINT: a view is used as the node
  template <typename K>
  Variant& operator[](K&& key) const {
    return (*node_)[std::forward<K>(key)];
  }
  void NormalizeFields() { node_->EnsureContainer(); }

 protected:
  Variant& document() const noexcept { return *node_; }

 private:
  Variant* node_;
};

// ---- helpers ------------------------------------------------------------------------------------

// The entry under `key`, created as null when missing, in a root made a container first.
Variant& slot(Variant& doc, const char* key);
// True when `text` has the length of `allowed` and equals it ignoring ASCII letter case.
bool sameIgnoringCase(const std::string& text, const char* allowed) noexcept;

// A number converted to T, saturated to T's range.
template <typename T>
T saturate(const Variant& v) noexcept {
  static_assert(std::is_integral<T>::value && !std::is_same<T, bool>::value, "integer fields only");
  if (v.IsSigned()) {
    const int64_t i = v.AsInt64();
    if constexpr (std::is_unsigned<T>::value) {
      if (i < 0) return 0;
    } else {
      if (i < static_cast<int64_t>(std::numeric_limits<T>::min())) return std::numeric_limits<T>::min();
    }
    if (i > 0 && static_cast<uint64_t>(i) > static_cast<uint64_t>(std::numeric_limits<T>::max()))
      return std::numeric_limits<T>::max();
    return static_cast<T>(i);
  }
  if (v.IsUnsigned()) {
    const uint64_t u = v.AsUInt64();
    if (u > static_cast<uint64_t>(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
    return static_cast<T>(u);
  }
  return v.As<T>();  // doubles saturate in the value library; anything else is 0
}

inline bool isNegative(const Variant& v) noexcept {
  return (v.IsSigned() && v.AsInt64() < 0) || (v.IsDouble() && v.AsDouble() < 0);
}

// Stores a numeric default: as a signed 32-bit integer when it fits, else as a T.
template <typename T>
void storeDefault(Variant& v, T def) {
  bool fits;
  if constexpr (std::is_signed<T>::value) {
    fits = static_cast<int64_t>(def) >= INT32_MIN && static_cast<int64_t>(def) <= INT32_MAX;
  } else {
    fits = static_cast<uint64_t>(def) <= static_cast<uint64_t>(INT32_MAX);
  }
  if (fits) {
    v = static_cast<int32_t>(def);
  } else {
    v = def;
  }
}

// ---- shapes -------------------------------------------------------------------------------------

struct Flag {
  using Result = bool;
  using Argument = bool;
  const char* key;
  bool def;

  bool get(Variant& doc) const {
    Variant& v = slot(doc, key);
    if (!v.IsBool()) v = def;
    return v.AsBool();
  }
  void set(Variant& doc, bool value) const { slot(doc, key) = value; }
  void normalize(Variant& doc) const { set(doc, get(doc)); }
};

struct Text {
  using Result = std::string;
  using Argument = const std::string&;
  const char* key;
  const char* def;

  std::string get(Variant& doc) const {
    Variant& v = slot(doc, key);
    if (!v.IsString()) v = def;
    return v.AsString();
  }
  void set(Variant& doc, const std::string& value) const { slot(doc, key) = value; }
  void normalize(Variant& doc) const {
    Variant& v = slot(doc, key);
    if (!v.IsString()) v = def;
  }
};

struct Choice {
  using Result = std::string;
  using Argument = const std::string&;
  const char* key;
  const char* def;  // what the getter stores; the setter falls back to values[0]
  const char* const* values;
  size_t count;

  template <size_t N>
  constexpr Choice(const char* k, const char* d, const char* const (&allowed)[N]) noexcept
      : key(k), def(d), values(allowed), count(N) {}

  std::string get(Variant& doc) const {
    Variant& v = slot(doc, key);
    if (!v.IsString()) v = def;
    return v.AsString();
  }
  // The table's spelling of `value`, or the fall-back.
  const char* pick(const std::string& value) const noexcept {
    for (size_t i = 0; i < count; ++i)
      if (sameIgnoringCase(value, values[i])) return values[i];
    return values[0];
  }
  void set(Variant& doc, const std::string& value) const { slot(doc, key) = pick(value); }
  void normalize(Variant& doc) const { set(doc, get(doc)); }
};

template <typename T>
struct Number {
  using Result = T;
  using Argument = T;
  const char* key;
  T def;
  T min;
  T max;
  bool negativeIsMistyped = false;

  constexpr Number(const char* k, T d, T lo = std::numeric_limits<T>::min(),
                   T hi = std::numeric_limits<T>::max(), bool noNegatives = false) noexcept
      : key(k), def(d), min(lo), max(hi), negativeIsMistyped(noNegatives) {}

  T get(Variant& doc) const {
    Variant& v = slot(doc, key);
    if (!v.IsNumeric() || (negativeIsMistyped && isNegative(v))) storeDefault(v, def);
    return saturate<T>(v);
  }
  constexpr T clamp(T value) const noexcept { return value < min ? min : value > max ? max : value; }
  void set(Variant& doc, T value) const { slot(doc, key) = clamp(value); }
  void normalize(Variant& doc) const { set(doc, get(doc)); }
};

template <typename T>
struct Incremental : Number<T> {
  constexpr Incremental(const char* k, T notSet, T lo, T hi, bool noNegatives = false) noexcept
      : Number<T>(k, notSet, lo, hi, noNegatives) {}
  // False for the mark that an incremental request leaves in a field it does not change.
  constexpr bool isSet(T value) const noexcept { return value != this->def; }
};

template <typename T>
struct NonNegative : Number<T> {
  static_assert(std::is_unsigned<T>::value, "a quantity without negative values");
  constexpr NonNegative(const char* k, T d, T lo, T hi) noexcept : Number<T>(k, d, lo, hi, true) {}
};

template <typename T>
struct NonNegativeIncremental : Incremental<T> {
  static_assert(std::is_unsigned<T>::value, "a quantity without negative values");
  constexpr NonNegativeIncremental(const char* k, T notSet, T lo, T hi) noexcept
      : Incremental<T>(k, notSet, lo, hi, true) {}
};

template <typename T>
struct Steps {
  using Result = T;
  using Argument = T;
  const char* key;
  T def;
  const T* values;  // ascending
  size_t count;

  template <size_t N>
  constexpr Steps(const char* k, T d, const T (&allowed)[N]) noexcept : key(k), def(d), values(allowed), count(N) {}

  T get(Variant& doc) const {
    Variant& v = slot(doc, key);
    if (!v.IsNumeric()) storeDefault(v, def);
    return saturate<T>(v);
  }
  constexpr T pick(T value) const noexcept {
    T candidate = values[0];
    for (size_t i = 0; i < count; ++i) {
      if (values[i] == value) return value;
      if (values[i] < value) candidate = values[i];
    }
    return candidate;
  }
  void set(Variant& doc, T value) const { slot(doc, key) = pick(value); }
  void normalize(Variant& doc) const { set(doc, get(doc)); }
};

struct Whole {
  using Result = uint64_t;
  using Argument = uint64_t;
  const char* key;
  uint64_t def;

  uint64_t get(Variant& doc) const {
    Variant& v = slot(doc, key);
    if (!v.IsNumeric()) storeDefault(v, def);
    return v.AsUInt64();
  }
  void set(Variant& doc, uint64_t value) const { slot(doc, key) = value; }
  void normalize(Variant& doc) const { set(doc, get(doc)); }
};

struct Id {
  using Result = uint64_t;
  using Argument = uint64_t;
  const char* key;

  uint64_t get(Variant& doc) const;
  void set(Variant& doc, uint64_t value) const { slot(doc, key) = value; }
  void normalize(Variant& doc) const { set(doc, get(doc)); }
};

struct Time {
  using Result = timeval;
  using Argument = const timeval&;
  const char* key;

  timeval get(Variant& doc) const;
  void set(Variant& doc, const timeval& value) const { slot(doc, key) = value; }
  void normalize(Variant& doc) const { (void)get(doc); }
};

struct Value {
  using Result = Variant&;
  using Argument = const Variant&;
  const char* key;
  VariantType kind;  // a kind or a filter (Container, Any)

  Variant& get(Variant& doc) const {
    Variant& v = slot(doc, key);
    if (!v.Is(kind)) v = nullptr;
    return v;
  }
  void set(Variant& doc, const Variant& value) const {
    Variant& v = slot(doc, key);
    if (&v != &value) v = value;
  }
  void normalize(Variant& doc) const { (void)get(doc); }
};

template <template <class> class C>
struct Section {
  const char* key;

  C<Node> get(Variant& doc) const {
    Variant& v = slot(doc, key);
    if (!v.IsMap()) v = Variant(VariantType::Map);
    return C<Node>(v);
  }
  // In place: the same result as normalising a copy and storing it back.
  void normalize(Variant& doc) const { get(doc).NormalizeFields(); }
};

}  // namespace fields
}  // namespace messages
}  // namespace ipc
}  // namespace kavo

// The getter and setter of field `name` of the table `table` (a struct of descriptors).
#define KAVO_FIELD(table, name)                                                               \
  typename std::decay_t<decltype(table::name)>::Result name() { return table::name.get(this->document()); } \
  void name(typename std::decay_t<decltype(table::name)>::Argument value) { table::name.set(this->document(), value); }

// The getter of sub-document `name` of `table`: a view of the stored map.
#define KAVO_NODE(table, name) \
  auto name() { return table::name.get(this->document()); }

// ---- one list per class -------------------------------------------------------------------------

#define KAVO_FIELD_TABLE(list)                                                       \
  list(KAVO_FIELDS_DESCRIPTOR_, KAVO_FIELDS_NODE_DESCRIPTOR_)                        \
  static void normalize(::kavo::variant::Variant& doc) {                             \
    list(KAVO_FIELDS_NORMALIZE_, KAVO_FIELDS_NORMALIZE_)                             \
  }

#define KAVO_FIELD_ACCESSORS(table, list) \
  using KavoFieldTable = table;           \
  list(KAVO_FIELDS_ACCESSOR_, KAVO_FIELDS_NODE_ACCESSOR_)

// A plain document class over `list`: the table NameFields (holding first the members given after
// the list, such as the arrays of allowed values), the class template NameT<Host> with the
// accessors and NormalizeFields, the document Name and the view NameRef.
#define KAVO_DOCUMENT_CLASS(Name, list, ...)                            \
  struct Name##Fields {                                                 \
    __VA_ARGS__                                                         \
    KAVO_FIELD_TABLE(list)                                              \
  };                                                                    \
  template <class Host>                                                 \
  class Name##T : public Host {                                         \
   public:                                                              \
    using Host::Host;                                                   \
    using Host::operator=;                                              \
    KAVO_FIELD_ACCESSORS(Name##Fields, list)                            \
    void NormalizeFields() {                                            \
      Host::NormalizeFields();                                          \
      Name##Fields::normalize(this->document());                        \
    }                                                                   \
  };                                                                    \
  using Name = Name##T<::kavo::ipc::messages::fields::Document>;        \
  using Name##Ref = Name##T<::kavo::ipc::messages::fields::Node>;

#define KAVO_FIELDS_DESCRIPTOR_(name, Shape, ...) \
  static constexpr ::kavo::ipc::messages::fields::Shape name{#name, __VA_ARGS__};
#define KAVO_FIELDS_NODE_DESCRIPTOR_(name, Class) \
  static constexpr ::kavo::ipc::messages::fields::Section<Class> name{#name};
#define KAVO_FIELDS_NORMALIZE_(name, ...) name.normalize(doc);
#define KAVO_FIELDS_ACCESSOR_(name, ...) KAVO_FIELD(KavoFieldTable, name)
#define KAVO_FIELDS_NODE_ACCESSOR_(name, Class) KAVO_NODE(KavoFieldTable, name)
