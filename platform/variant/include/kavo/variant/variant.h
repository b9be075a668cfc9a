#pragma once
// Variant: the dynamic value every settings document, message and option tree is made of.
//
// Kinds and codes (VariantType; the codes are stable):
//   0 Null, 1 Bool, 2 Int8, 3 Int16, 4 Int32, 5 Int64, 6 UInt8, 7 UInt16, 8 UInt32, 9 UInt64,
//   10 Double, 11 String, 12 Timeval (seconds and microseconds), 13 Map, 14 Array.
// The filters Numeric (every integer width and Double), Integer, Container (Map or Array) and Any
// are accepted by Is() and GetKeyChain(); no value ever has them as its kind.
//
// Containers. A map holds string keys and numeric (signed 64-bit) keys side by side; an array is a
// container of numeric keys only, its elements in ascending key order (normally 0..n-1). Both keep
// keys sorted: string keys in byte order, which AMF0 and stable JSON output rely on.
// - operator[] creates a missing entry as null. On a value that is not a map, a string key first
//   turns it into a map: an array keeps its elements under their numeric keys, any other value is
//   dropped. Index -1 appends to an array (key = last key + 1, 0 when empty); on a map -1 is an
//   ordinary key. An integer index on a value that is no container turns it into an empty array
//   for -1, into an empty map for any other index.
// - Find() looks an entry up without creating it.
// - IsArray(true/false) makes the value an array/map: a container already of that kind is kept;
//   a map becoming an array keeps its numeric-key entries (string keys are dropped); an array
//   becoming a map keeps its elements as numeric keys; anything else becomes empty.
// - Free() and Reset() both make the value null and release what it held.
// - Compact() releases spare string capacity in the whole tree; it changes no content.
//
// Conversions (As*(), explicit operators). Integers convert to other integer widths like a C cast
// (the low bits are kept, so -1 reads as 0xFFFFFFFF through AsUInt32()); integers in range are
// unchanged. A double converts to an integer by truncation toward zero, saturated to the target's
// range (NaN gives 0). Bool converts to 0/1 and from numbers as "not zero". Strings, time values,
// null and containers convert to 0/false; AsString() of anything but a string is the empty text,
// AsTimeval() of anything but a time value is {0, 0}. Assigning a null const char* stores "".
//
// Key chains (GetKeyChain): parts separated by "/"; a part "[n]" (n decimal, optional "-") names
// the numeric key n (an array index), any other part a string key as written (so "[a]" is the
// string key "[a]", and a bare "104" is the string key "104"). The empty chain names the
// value itself. A chain with an empty part (leading, trailing or doubled "/", e.g. "byLongName/")
// names nothing. The result is a pointer to the node, or nullptr when a part is missing or the
// node's kind does not pass the filter. The flag ignoreCase compares string keys without regard
// to ASCII letter case (an exact match is preferred, else the first match in byte order).
//
// JSON (a strict RFC 8259 reader builds the value directly; no exceptions escape):
// - FromJSON parses one document and returns the bytes it used: the document plus the white space
//   around it. 0 means failure (invalid JSON, invalid UTF-8 in a string, a number out of double
//   range, more than kMaxDepth nested containers, empty input); the value is then unchanged.
//   Bytes after the document are not read; callers that need the whole input compare the result
//   with its length. Numbers: negative integers become Int64, other integers UInt64, the rest
//   Double; 64-bit integers round-trip exactly. Object keys are string keys; duplicate keys: the
//   last one wins. A JSON array becomes an array with keys 0..n-1.
// - ToJSON(out, pretty) replaces `out`. pretty=false (all IPC traffic) writes no white space;
//   pretty=true indents by two spaces. Numeric map keys are written as decimal text, merged with
//   the string keys in byte order. Doubles are written in their shortest round-trip form with a
//   ".0" added when integral (so they read back as Double); NaN and infinities are written as
//   null. A time value is written as a number of seconds with six decimals (1700000000.000250);
//   it reads back as a Double. Bytes of a string that are not valid UTF-8 are written as U+FFFD
//   (one per maximal invalid sequence); ToJSON never fails.
//
// Key/value text (FromKVP / ToKVP): one "key=value" per line ("\n", a trailing "\r" is dropped).
// - FromKVP(text, replace, valuesAsStrings, nestDottedKeys):
//   replace: true makes the value an empty map before reading; false merges into the present map
//     (a value that is no map is made an empty map first).
//   valuesAsStrings: true keeps every value as a string (digits included, e.g. "001122334455");
//     false stores plain decimal integers as numbers (negative Int64, else UInt64; a number that
//     does not fit 64 bits stays a string) and decimal fractions (1.5, 2.0, 1e3) as Double.
//   nestDottedKeys: true splits keys at "." into nested maps ("board.sysid=12" gives
//     ["board"]["sysid"]); false keeps each key whole. Parts are always string keys.
//   Keys are trimmed of spaces and tabs; values are kept as they stand. Lines without "=", with
//   an empty key or with an empty key part ("a..b") are skipped. Returns false, leaving the value
//   unchanged, when a key is both a value and a map ("a=1" and "a.b=2") or has more than
//   kMaxDepth parts. A later line for the same key replaces the earlier value.
// - ToKVP(out, separator, lineEnd) replaces `out` with one line per leaf, nested keys joined
//   with "." (array elements and numeric keys by their decimal index), depth first, the keys of
//   each map in byte order.
//   Values: strings as they stand, numbers in decimal, bool as 1/0, null as nothing, time values
//   as seconds with six decimals; empty containers write nothing. Returns false (out unchanged)
//   for a root that is neither null nor a container, an empty key, a key holding the separator,
//   "\n" or "\r", or a string holding "\n" or "\r".
//
// AMF0 (ToAMF appends; on failure nothing is appended): numbers of every kind as number (0x00,
// big-endian double), bool (0x01), strings as string (0x02) or, above 65535 bytes, long string
// (0x0C), null (0x05), maps as object (0x03) with keys in ascending byte order (numeric keys as
// decimal text) and the end marker 00 00 09, arrays as strict array (0x0A), time values as date
// (0x0B: milliseconds since the epoch as a double, then time zone 0). Fails for a key longer than
// 65535 bytes.
//
// ValidateNumeric(key, min, max, def, clamp) keeps the entry `key` of this map numeric and within
// [min, max]: a missing or non-numeric entry (or NaN) is set to def; a number outside the bounds
// is set to the nearer bound when clamp is true, to def when clamp is false; a number within the
// bounds keeps its value and kind. Stored replacements are UInt64 (Int64 when negative). Returns
// *this, so calls chain. A value that is no map is made one first (see operator[]).
//
// File names given to FromJSONFile and FromKVPFile are camera paths: they go through
// kavo::os::path(), except a path that already lies under the test root. Only a regular file of
// at most kavo::os::kMaxWholeFileBytes is read; a FIFO or a device there fails at once.
#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace kavo {
namespace variant {

enum class VariantType : uint8_t {
  Null = 0,
  Bool = 1,
  Int8 = 2,
  Int16 = 3,
  Int32 = 4,
  Int64 = 5,
  UInt8 = 6,
  UInt16 = 7,
  UInt32 = 8,
  UInt64 = 9,
  Double = 10,
  String = 11,
  Timeval = 12,
  Map = 13,
  Array = 14,
  // Filters only.
  Numeric = 0x40,
  Integer = 0x41,
  Container = 0x42,
  Any = 0x43,
};

// Byte order of keys, as std::less<> gives it, with the first bytes compared inline: keys of
// one document seldom share their first byte, so most steps of a lookup call no memcmp.
struct KeyLess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const noexcept {
    if (!a.empty() && !b.empty() && a[0] != b[0])
      return static_cast<unsigned char>(a[0]) < static_cast<unsigned char>(b[0]);
    return a < b;
  }
};

class Variant {
 public:
  using StringMap = std::map<std::string, Variant, KeyLess>;
  using NumericMap = std::map<int64_t, Variant>;

  // Nesting cap of the parsers (JSON containers, KVP key parts).
  static constexpr size_t kMaxDepth = 128;

  Variant() noexcept : type_(VariantType::Null) { v_.u = 0; }
  Variant(const Variant& other);
  Variant(Variant&& other) noexcept;
  template <typename T, typename std::enable_if<std::is_arithmetic<T>::value, int>::type = 0>
  Variant(T value) noexcept {  // NOLINT: implicit on purpose
    SetNumber(value);
  }
  Variant(const char* text);  // NOLINT
  Variant(const std::string& text);  // NOLINT
  Variant(std::string&& text) noexcept;  // NOLINT
  Variant(std::string_view text);  // NOLINT
  Variant(const timeval& tv) noexcept;  // NOLINT
  Variant(std::nullptr_t) noexcept : Variant() {}  // NOLINT: null kind
  // An empty value of the given kind (0, "", {0,0}, empty map or array).
  explicit Variant(VariantType kind);
  virtual ~Variant();

  Variant& operator=(const Variant& other);
  Variant& operator=(Variant&& other) noexcept;
  template <typename T, typename std::enable_if<std::is_arithmetic<T>::value, int>::type = 0>
  Variant& operator=(T value) noexcept {
    Release();
    SetNumber(value);
    return *this;
  }
  Variant& operator=(const char* text);
  Variant& operator=(const std::string& text);
  Variant& operator=(std::string&& text);
  Variant& operator=(std::string_view text);
  Variant& operator=(const timeval& tv) noexcept;
  Variant& operator=(std::nullptr_t) noexcept;

  // ---- kind -------------------------------------------------------------------------------
  VariantType GetType() const noexcept { return type_; }
  operator VariantType() const noexcept { return type_; }  // NOLINT: the kind, as callers test it
  bool Is(VariantType filter) const noexcept { return Matches(type_, filter); }
  static bool Matches(VariantType kind, VariantType filter) noexcept {
    switch (filter) {
      case VariantType::Any: return true;
      case VariantType::Numeric: return kind >= VariantType::Int8 && kind <= VariantType::Double;
      case VariantType::Integer: return kind >= VariantType::Int8 && kind <= VariantType::UInt64;
      case VariantType::Container: return kind == VariantType::Map || kind == VariantType::Array;
      default: return kind == filter;
    }
  }
  bool IsNull() const noexcept { return type_ == VariantType::Null; }
  bool IsBool() const noexcept { return type_ == VariantType::Bool; }
  bool IsNumeric() const noexcept { return type_ >= VariantType::Int8 && type_ <= VariantType::Double; }
  bool IsInteger() const noexcept { return type_ >= VariantType::Int8 && type_ <= VariantType::UInt64; }
  bool IsSigned() const noexcept { return type_ >= VariantType::Int8 && type_ <= VariantType::Int64; }
  bool IsUnsigned() const noexcept { return type_ >= VariantType::UInt8 && type_ <= VariantType::UInt64; }
  bool IsDouble() const noexcept { return type_ == VariantType::Double; }
  bool IsString() const noexcept { return type_ == VariantType::String; }
  bool IsTimeval() const noexcept { return type_ == VariantType::Timeval; }
  bool IsMap() const noexcept { return type_ == VariantType::Map; }
  bool IsArray() const noexcept { return type_ == VariantType::Array; }
  bool IsContainer() const noexcept { return type_ == VariantType::Map || type_ == VariantType::Array; }

  // ---- conversions --------------------------------------------------------------------------
  bool AsBool() const noexcept {
    if (type_ == VariantType::Bool) return v_.b;
    if (IsSigned()) return v_.i != 0;
    if (IsUnsigned()) return v_.u != 0;
    if (type_ == VariantType::Double) return v_.d != 0.0;
    return false;
  }
  int64_t AsInt64() const noexcept { return As<int64_t>(); }
  uint64_t AsUInt64() const noexcept { return As<uint64_t>(); }
  int32_t AsInt32() const noexcept { return As<int32_t>(); }
  uint32_t AsUInt32() const noexcept { return As<uint32_t>(); }
  int16_t AsInt16() const noexcept { return As<int16_t>(); }
  uint16_t AsUInt16() const noexcept { return As<uint16_t>(); }
  int8_t AsInt8() const noexcept { return As<int8_t>(); }
  uint8_t AsUInt8() const noexcept { return As<uint8_t>(); }
  double AsDouble() const noexcept {
    if (IsSigned()) return static_cast<double>(v_.i);
    if (IsUnsigned()) return static_cast<double>(v_.u);
    if (type_ == VariantType::Double) return v_.d;
    if (type_ == VariantType::Bool) return v_.b ? 1.0 : 0.0;
    return 0.0;
  }
  // Any arithmetic type, by the rules above.
  template <typename T>
  T As() const noexcept {
    static_assert(std::is_arithmetic<T>::value, "As<T>: arithmetic types only");
    if constexpr (std::is_same<T, bool>::value) {
      return AsBool();
    } else if constexpr (std::is_floating_point<T>::value) {
      return static_cast<T>(AsDouble());
    } else {
      if (IsSigned()) return static_cast<T>(v_.i);
      if (IsUnsigned()) return static_cast<T>(v_.u);
      if (type_ == VariantType::Double) return SaturateDouble<T>(v_.d);
      if (type_ == VariantType::Bool) return static_cast<T>(v_.b ? 1 : 0);
      return static_cast<T>(0);
    }
  }
  const std::string& AsString() const noexcept {
    return type_ == VariantType::String ? v_.s : EmptyString();
  }
  const char* AsCString() const noexcept { return AsString().c_str(); }
  const timeval& AsTimeval() const noexcept {
    return type_ == VariantType::Timeval ? v_.tv : ZeroTimeval();
  }

  template <typename T, typename std::enable_if<std::is_arithmetic<T>::value, int>::type = 0>
  explicit operator T() const noexcept {
    return As<T>();
  }
  explicit operator const std::string&() const noexcept { return AsString(); }
  explicit operator const char*() const noexcept { return AsCString(); }
  explicit operator const timeval&() const noexcept { return AsTimeval(); }

  // ---- containers ---------------------------------------------------------------------------
  Variant& operator[](const char* key) { return Member(std::string_view(key ? key : "")); }
  Variant& operator[](const std::string& key) { return Member(std::string_view(key)); }
  Variant& operator[](std::string_view key) { return Member(key); }
  template <typename T, typename std::enable_if<std::is_integral<T>::value && !std::is_same<T, bool>::value,
                                                int>::type = 0>
  Variant& operator[](T index) {
    return Element(static_cast<int64_t>(index));
  }
  // A string key names a string key, a number a numeric key, any other kind its JSON text.
  Variant& operator[](const Variant& key);

  Variant* Find(std::string_view key) noexcept;
  const Variant* Find(std::string_view key) const noexcept;
  Variant* Find(const char* key) noexcept { return Find(std::string_view(key ? key : "")); }
  const Variant* Find(const char* key) const noexcept { return Find(std::string_view(key ? key : "")); }
  Variant* Find(const std::string& key) noexcept { return Find(std::string_view(key)); }
  const Variant* Find(const std::string& key) const noexcept { return Find(std::string_view(key)); }
  template <typename T, typename std::enable_if<std::is_integral<T>::value && !std::is_same<T, bool>::value,
                                                int>::type = 0>
  Variant* Find(T index) noexcept {
    return FindNumeric(static_cast<int64_t>(index));
  }
  template <typename T, typename std::enable_if<std::is_integral<T>::value && !std::is_same<T, bool>::value,
                                                int>::type = 0>
  const Variant* Find(T index) const noexcept {
    return const_cast<Variant*>(this)->FindNumeric(static_cast<int64_t>(index));
  }
  bool HasKey(std::string_view key) const noexcept { return Find(key) != nullptr; }

  // Entries of a container (string and numeric keys); 0 for any other kind.
  size_t Size() const noexcept;
  size_t NumericKeysCount() const noexcept;
  size_t StringKeysCount() const noexcept;
  // Walks over the numeric keys (an array's elements) in ascending order; it->first is the key.
  NumericMap::iterator num_begin() noexcept;
  NumericMap::iterator num_end() noexcept;
  NumericMap::const_iterator num_begin() const noexcept;
  NumericMap::const_iterator num_end() const noexcept;
  // Walks over the string keys of a map in byte order.
  StringMap::iterator begin() noexcept;
  StringMap::iterator end() noexcept;
  StringMap::const_iterator begin() const noexcept;
  StringMap::const_iterator end() const noexcept;

  void IsArray(bool array);
  // The first step of every field getter and setter: a value that is neither a map nor an array
  // becomes an empty map (its former content is dropped); a container is left as it is.
  void EnsureContainer() {
    if (!IsContainer()) {
      Free();
      IsArray(false);
    }
  }
  void Free() noexcept;
  void Reset() noexcept { Free(); }
  void Compact();

  Variant* GetKeyChain(VariantType kind, std::string_view chain, bool ignoreCase = false) noexcept;
  const Variant* GetKeyChain(VariantType kind, std::string_view chain, bool ignoreCase = false) const noexcept;

  // ---- text and binary forms ----------------------------------------------------------------
  size_t FromJSON(const char* data, size_t length);
  size_t FromJSON(std::string_view text) { return FromJSON(text.data(), text.size()); }
  bool FromJSONFile(const std::string& path);
  bool ToJSON(std::string& out, bool pretty = false) const;

  bool FromKVP(std::string_view text, bool replace, bool valuesAsStrings, bool nestDottedKeys);
  bool FromKVPFile(const std::string& path, bool replace, bool valuesAsStrings, bool nestDottedKeys);
  bool ToKVP(std::string& out, std::string_view separator = "=", std::string_view lineEnd = "\n") const;

  bool ToAMF(std::vector<uint8_t>& out) const;
  bool ToAMF(std::string& out) const;

  // Text for logs: the pretty JSON form.
  std::string ToString() const;

  Variant& ValidateNumeric(std::string_view key, int64_t min, int64_t max, int64_t def, bool clamp);

  // ---- comparison ---------------------------------------------------------------------------
  // With text: true when this is a string equal to it.
  bool operator==(const char* text) const noexcept {
    return type_ == VariantType::String && v_.s == (text ? text : "");
  }
  bool operator==(const std::string& text) const noexcept { return type_ == VariantType::String && v_.s == text; }
  bool operator==(std::string_view text) const noexcept { return type_ == VariantType::String && v_.s == text; }
  // With nullptr: true for null.
  bool operator==(std::nullptr_t) const noexcept { return type_ == VariantType::Null; }
  // Deep comparison: numbers compare by value whatever their widths; containers need the same
  // kind, keys and values.
  bool operator==(const Variant& other) const noexcept;
  template <typename T>
  bool operator!=(const T& other) const noexcept {
    return !(*this == other);
  }
  bool operator!=(const char* text) const noexcept { return !(*this == text); }

  struct Container;

 private:
  template <typename T>
  void SetNumber(T value) noexcept {
    if constexpr (std::is_same<T, bool>::value) {
      type_ = VariantType::Bool;
      v_.b = value;
    } else if constexpr (std::is_floating_point<T>::value) {
      type_ = VariantType::Double;
      v_.d = static_cast<double>(value);
    } else if constexpr (std::is_signed<T>::value) {
      type_ = sizeof(T) == 1   ? VariantType::Int8
              : sizeof(T) == 2 ? VariantType::Int16
              : sizeof(T) == 4 ? VariantType::Int32
                               : VariantType::Int64;
      v_.i = static_cast<int64_t>(value);
    } else {
      type_ = sizeof(T) == 1   ? VariantType::UInt8
              : sizeof(T) == 2 ? VariantType::UInt16
              : sizeof(T) == 4 ? VariantType::UInt32
                               : VariantType::UInt64;
      v_.u = static_cast<uint64_t>(value);
    }
  }
  template <typename T>
  static T SaturateDouble(double d) noexcept {
    if (d != d) return 0;
    // Bounds as doubles: lowest() is exact; max() + 1 is a power of two, so compare with >=.
    constexpr double lo = static_cast<double>(std::numeric_limits<T>::lowest());
    constexpr double hiPlusOne = static_cast<double>(std::numeric_limits<T>::max() / 2 + 1) * 2.0;
    if (d <= lo) return std::numeric_limits<T>::lowest();
    if (d >= hiPlusOne) return std::numeric_limits<T>::max();
    return static_cast<T>(d);
  }
  static const std::string& EmptyString() noexcept;
  static const timeval& ZeroTimeval() noexcept;

  void Release() noexcept;
  void CopyFrom(const Variant& other);
  void MoveFrom(Variant& other) noexcept;
  Container& MakeContainer(VariantType kind);
  Variant& Member(std::string_view key);
  Variant& Element(int64_t index);
  Variant* FindNumeric(int64_t index) noexcept;

  friend class JsonBuilder;

  VariantType type_;
  union Storage {
    Storage() noexcept {}
    ~Storage() {}
    bool b;
    int64_t i;
    uint64_t u;
    double d;
    timeval tv;
    std::string s;
    Container* c;
  } v_;
};

// The entries of a map or an array.
struct Variant::Container {
  StringMap str;
  NumericMap num;
};

}  // namespace variant
}  // namespace kavo
