#pragma once
// Test helpers for documents: JSON literals, a normaliser per class, table-driven field cases
// and random documents for the idempotence property.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "kavo/variant/variant.h"

namespace kavo {
namespace test {

using kavo::variant::Variant;
using kavo::variant::VariantType;

inline Variant json(const std::string& text) {
  Variant v;
  EXPECT_EQ(v.FromJSON(text), text.size()) << "bad JSON literal: " << text;
  return v;
}

inline std::string text(const Variant& v) {
  std::string out;
  v.ToJSON(out, false);
  return out;
}

// Copies a document into the class, normalises it there and returns the result.
using Normaliser = std::function<Variant(const Variant&)>;
using Normalisers = std::map<std::string, Normaliser>;

template <class T>
Variant normaliseAs(const Variant& doc) {
  T object(doc);
  object.NormalizeFields();
  return Variant(static_cast<const Variant&>(object));
}

// One field rule: `input` normalised as `cls` holds `expected` under the key chain `path`.
struct FieldCase {
  const char* cls;
  const char* input;
  const char* path;
  const char* expected;  // JSON
};

inline void runFieldCases(const Normalisers& classes, const std::vector<FieldCase>& cases) {
  for (const FieldCase& c : cases) {
    SCOPED_TRACE(std::string(c.cls) + " " + c.input + " -> " + c.path);
    auto it = classes.find(c.cls);
    ASSERT_NE(it, classes.end()) << "no class " << c.cls;
    Variant out = it->second(json(c.input));
    const Variant* got = out.GetKeyChain(VariantType::Any, c.path);
    ASSERT_NE(got, nullptr) << text(out);
    EXPECT_EQ(*got, json(c.expected)) << "got " << text(*got);
  }
}

// Random documents built from the keys the classes know, of every kind, at every depth, with
// values near the edges of the ranges and allowed words in odd letter case.
class RandomDocuments {
 public:
  RandomDocuments(std::vector<std::string> keys, std::vector<std::string> words, uint32_t seed)
      : keys_(std::move(keys)), words_(std::move(words)), rng_(seed) {
    keys_.push_back("comment");
    keys_.push_back("x");
  }

  Variant document(int depth = 4) {
    Variant doc(VariantType::Map);
    const int n = pick(12);
    for (int i = 0; i < n; ++i) doc[key()] = value(depth);
    return doc;
  }

  Variant value(int depth) {
    switch (pick(depth > 0 ? 12 : 9)) {
      case 0: return Variant();
      case 1: return Variant(pick(2) == 1);
      case 2: return Variant(static_cast<int64_t>(edge()));
      case 3: {
        const int64_t e = edge();
        return Variant(e < 0 ? uint64_t(0) - static_cast<uint64_t>(e) : static_cast<uint64_t>(e));
      }
      case 4: return Variant(static_cast<double>(edge()) + (pick(2) ? 0.5 : 0.0));
      case 5: return Variant(static_cast<int8_t>(edge()));
      case 6: return Variant(word());
      case 7: return Variant(std::to_string(edge()));
      case 8: return Variant(timeval{static_cast<time_t>(pick(2000000000)), static_cast<suseconds_t>(pick(1000000))});
      case 9:
      case 10: return document(depth - 1);
      default: {
        Variant a(VariantType::Array);
        const int n = pick(4);
        for (int i = 0; i < n; ++i) a[-1] = value(depth - 1);
        return a;
      }
    }
  }

 private:
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  const std::string& key() { return keys_[pick(static_cast<int>(keys_.size()))]; }
  std::string word() {
    std::string w = words_.empty() ? "" : words_[pick(static_cast<int>(words_.size()))];
    for (char& ch : w)
      if (pick(3) == 0) ch = static_cast<char>(ch >= 'a' && ch <= 'z' ? ch - 32 : ch);
    if (pick(8) == 0) w += "x";
    return w;
  }
  int64_t edge() {
    static const int64_t edges[] = {0,     1,      2,       3,       -1,       -5,       29,        30,
                                    31,    100,    101,     150,     255,      256,      300,       9999,
                                    10000, 20000,  16383,   16384,   11025,    22050,    32000,     48000,
                                    96000, 128000, 500000,  6000000, 16000000, 20000000, 65535,     65536,
                                    4294967295LL, 4294967296LL, -2147483648LL, INT64_MIN, INT64_MAX};
    return pick(5) == 0 ? std::uniform_int_distribution<int64_t>(-100000, 100000)(rng_)
                        : edges[pick(sizeof(edges) / sizeof(edges[0]))];
  }

  std::vector<std::string> keys_;
  std::vector<std::string> words_;
  std::mt19937 rng_;
};

// Normalising twice gives what normalising once gave, and keys no class knows stay untouched.
inline void checkIdempotent(const Normalisers& classes, RandomDocuments& gen, int rounds) {
  for (int i = 0; i < rounds; ++i) {
    Variant doc = gen.document();
    for (const auto& cls : classes) {
      Variant once = cls.second(doc);
      Variant twice = cls.second(once);
      ASSERT_EQ(text(once), text(twice)) << cls.first << " from " << text(doc);
      ASSERT_TRUE(once == twice) << cls.first << " from " << text(doc);
      for (const char* extra : {"comment", "x"}) {
        const Variant* before = doc.Find(extra);
        if (before != nullptr) {
          const Variant* after = once.Find(extra);
          ASSERT_NE(after, nullptr) << cls.first;
          ASSERT_TRUE(*after == *before) << cls.first << " changed " << extra;
        }
      }
    }
  }
}

}  // namespace test
}  // namespace kavo
