// AMF0 writer (script data of FLV streams).
#include <cstring>

#include "kavo/variant/variant.h"
#include "variant_internal.h"

namespace kavo {
namespace variant {

namespace {

enum : uint8_t {
  kAmfNumber = 0x00,
  kAmfBoolean = 0x01,
  kAmfString = 0x02,
  kAmfObject = 0x03,
  kAmfNull = 0x05,
  kAmfObjectEnd = 0x09,
  kAmfStrictArray = 0x0A,
  kAmfDate = 0x0B,
  kAmfLongString = 0x0C,
};

template <typename Buf>
void put8(Buf& out, uint8_t b) {
  out.push_back(static_cast<typename Buf::value_type>(b));
}

template <typename Buf>
void putBE(Buf& out, uint64_t v, int bytes) {
  for (int k = bytes - 1; k >= 0; --k) put8(out, static_cast<uint8_t>(v >> (8 * k)));
}

template <typename Buf>
void putDouble(Buf& out, double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  putBE(out, bits, 8);
}

template <typename Buf>
void putBytes(Buf& out, std::string_view s) {
  const auto* p = reinterpret_cast<const typename Buf::value_type*>(s.data());
  out.insert(out.end(), p, p + s.size());
}

template <typename Buf>
bool writeAmf(Buf& out, const Variant& v) {
  switch (v.GetType()) {
    case VariantType::Null: put8(out, kAmfNull); return true;
    case VariantType::Bool:
      put8(out, kAmfBoolean);
      put8(out, v.AsBool() ? 1 : 0);
      return true;
    case VariantType::String: {
      const std::string& s = v.AsString();
      if (s.size() <= 0xFFFF) {
        put8(out, kAmfString);
        putBE(out, s.size(), 2);
      } else {
        if (s.size() > 0xFFFFFFFFu) return false;
        put8(out, kAmfLongString);
        putBE(out, s.size(), 4);
      }
      putBytes(out, s);
      return true;
    }
    case VariantType::Timeval: {
      const timeval& tv = v.AsTimeval();
      put8(out, kAmfDate);
      putDouble(out, static_cast<double>(tv.tv_sec) * 1000.0 + static_cast<double>(tv.tv_usec) / 1000.0);
      putBE(out, 0, 2);  // time zone
      return true;
    }
    case VariantType::Map: {
      put8(out, kAmfObject);
      const bool ok = internal::forEachMapEntry(v, [&](std::string_view key, const Variant& value) {
        if (key.size() > 0xFFFF) return false;
        putBE(out, key.size(), 2);
        putBytes(out, key);
        return writeAmf(out, value);
      });
      if (!ok) return false;
      putBE(out, 0, 2);
      put8(out, kAmfObjectEnd);
      return true;
    }
    case VariantType::Array: {
      if (v.NumericKeysCount() > 0xFFFFFFFFu) return false;
      put8(out, kAmfStrictArray);
      putBE(out, v.NumericKeysCount(), 4);
      for (auto it = v.num_begin(); it != v.num_end(); ++it)
        if (!writeAmf(out, it->second)) return false;
      return true;
    }
    default:
      put8(out, kAmfNumber);
      putDouble(out, v.AsDouble());
      return true;
  }
}

template <typename Buf>
bool toAmf(Buf& out, const Variant& v) {
  const size_t before = out.size();
  if (writeAmf(out, v)) return true;
  out.resize(before);
  return false;
}

}  // namespace

bool Variant::ToAMF(std::vector<uint8_t>& out) const { return toAmf(out, *this); }

bool Variant::ToAMF(std::string& out) const { return toAmf(out, *this); }

}  // namespace variant
}  // namespace kavo
