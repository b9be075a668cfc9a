// JSON in and out: exact 64-bit numbers, bytes used, outside-input limits, UTF-8 handling.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "kavo/test/test_root.h"
#include "kavo/variant/variant.h"

using kavo::variant::Variant;
using kavo::variant::VariantType;

namespace {

std::string json(const Variant& v, bool pretty = false) {
  std::string s;
  EXPECT_TRUE(v.ToJSON(s, pretty));
  return s;
}

std::string nested(size_t depth, char open, char close) {
  return std::string(depth, open) + std::string(depth, close);
}

}  // namespace

TEST(VariantJson, SixtyFourBitIntegersRoundTripExactly) {
  const int64_t smin = std::numeric_limits<int64_t>::min();
  const int64_t smax = std::numeric_limits<int64_t>::max();
  const uint64_t umax = std::numeric_limits<uint64_t>::max();
  Variant v;
  v["smin"] = smin;
  v["smax"] = smax;
  v["umax"] = umax;
  v["above53"] = uint64_t(9007199254740993ull);  // 2^53 + 1: lost by any double
  v["neg53"] = int64_t(-9007199254740993ll);
  v["id"] = uint64_t(0x8000000000000001ull);
  const std::string text = json(v);
  EXPECT_EQ(text,
            "{\"above53\":9007199254740993,\"id\":9223372036854775809,\"neg53\":-9007199254740993,"
            "\"smax\":9223372036854775807,\"smin\":-9223372036854775808,\"umax\":18446744073709551615}");
  Variant back;
  ASSERT_EQ(back.FromJSON(text), text.size());
  EXPECT_EQ(back["smin"].GetType(), VariantType::Int64);
  EXPECT_EQ(back["smin"].AsInt64(), smin);
  EXPECT_EQ(back["smax"].GetType(), VariantType::UInt64);  // non-negative numbers read back unsigned
  EXPECT_EQ(back["smax"].AsInt64(), smax);
  EXPECT_EQ(back["umax"].AsUInt64(), umax);
  EXPECT_EQ(back["above53"].AsUInt64(), 9007199254740993ull);
  EXPECT_EQ(back["neg53"].AsInt64(), -9007199254740993ll);
  EXPECT_EQ(back["id"].AsUInt64(), 0x8000000000000001ull);
  EXPECT_EQ(json(back), text);
  // Beyond 64 bits JSON numbers are doubles.
  ASSERT_GT(back.FromJSON("18446744073709551616"), 0u);
  EXPECT_TRUE(back.IsDouble());
}

TEST(VariantJson, ScalarsKeepTheirFormThroughText) {
  struct Row {
    Variant value;
    const char* text;
    VariantType readBack;
  } rows[] = {
      {Variant(), "null", VariantType::Null},
      {Variant(true), "true", VariantType::Bool},
      {Variant(uint8_t(7)), "7", VariantType::UInt64},
      {Variant(int16_t(-7)), "-7", VariantType::Int64},
      {Variant(0.1), "0.1", VariantType::Double},
      {Variant(2.0), "2.0", VariantType::Double},  // integral doubles stay doubles
      {Variant(1e300), "1e+300", VariantType::Double},
      {Variant(-2.5e-10), "-2.5e-10", VariantType::Double},
      {Variant(std::numeric_limits<double>::quiet_NaN()), "null", VariantType::Null},
      {Variant(std::numeric_limits<double>::infinity()), "null", VariantType::Null},
      {Variant(timeval{1700000000, 250}), "1700000000.000250", VariantType::Double},
      {Variant(timeval{-1, 250000}), "-0.750000", VariantType::Double},
      {Variant(timeval{-2, 0}), "-2.000000", VariantType::Double},
      {Variant(""), "\"\"", VariantType::String},
      {Variant(VariantType::Map), "{}", VariantType::Map},
      {Variant(VariantType::Array), "[]", VariantType::Array},
  };
  for (const auto& r : rows) {
    const std::string text = json(r.value);
    EXPECT_EQ(text, r.text);
    Variant back;
    ASSERT_EQ(back.FromJSON(text), text.size()) << text;
    EXPECT_EQ(back.GetType(), r.readBack) << text;
    if (r.value.IsDouble() && r.readBack == VariantType::Double) {
      EXPECT_EQ(back.AsDouble(), r.value.AsDouble());
    }
  }
}

TEST(VariantJson, StringsEscapeAndRoundTrip) {
  std::string all;
  for (int c = 1; c < 128; ++c) all += static_cast<char>(c);
  all += "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // é € and an emoji stay as they are
  Variant v(all);
  const std::string text = json(v);
  EXPECT_NE(text.find("\\u0001"), std::string::npos);
  EXPECT_NE(text.find("\\n\\u000b\\f\\r"), std::string::npos);
  EXPECT_NE(text.find("\\\""), std::string::npos);
  EXPECT_NE(text.find("\\\\"), std::string::npos);
  Variant back;
  ASSERT_EQ(back.FromJSON(text), text.size());
  EXPECT_EQ(back.AsString(), all);
  ASSERT_GT(back.FromJSON(R"("\u00e9\ud83d\ude00")"), 0u);
  EXPECT_EQ(back.AsString(), "\xC3\xA9\xF0\x9F\x98\x80");
}

TEST(VariantJson, InvalidUtf8IsReplacedOnOutputAndRefusedOnInput) {
  struct Row {
    const char* bytes;
    const char* written;
  } rows[] = {
      {"a\xFF" "b", "\"a\xEF\xBF\xBD" "b\""},
      {"\xC3", "\"\xEF\xBF\xBD\""},                       // truncated sequence
      {"\xE2\x82", "\"\xEF\xBF\xBD\""},                   // one replacement for the valid prefix
      {"\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},       // overlong form
      {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},  // surrogate
      {"\xF4\x90\x80\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},  // above U+10FFFF
      {"ok\xE2\x82\xAC", "\"ok\xE2\x82\xAC\""},
  };
  for (const auto& r : rows) {
    Variant v;
    v["k"] = r.bytes;
    const std::string text = json(v["k"]);
    EXPECT_EQ(text, r.written);
    Variant back;
    EXPECT_EQ(back.FromJSON(text), text.size());  // what we write is always valid JSON
    // The raw bytes as JSON input are refused.
    const std::string raw = std::string("{\"k\":\"") + r.bytes + "\"}";
    Variant in("unchanged");
    const bool valid = std::string(r.bytes) == "ok\xE2\x82\xAC";
    EXPECT_EQ(in.FromJSON(raw) == raw.size(), valid) << text;
    if (!valid) {
      EXPECT_EQ(in.AsString(), "unchanged");
    }
  }
}

TEST(VariantJson, BytesUsedCoverTheDocumentAndItsWhiteSpace) {
  struct Row {
    const char* text;
    size_t used;
  } rows[] = {
      {"{\"a\":1}", 7},
      {"  {\"a\":1} \n", 11},
      {"{\"a\":1}{\"b\":2}", 7},  // a second document is not read
      {"{\"a\":1}garbage", 7},
      {"[1,2] x", 6},
      {"\"str\"tail", 5},
      {"12", 2},
      {"12 ", 3},
      {"12 x", 3},
      {"true", 4},
      {"{\"a\":\"}\"}", 9},  // brackets inside strings do not count
      {"{\"a\":\"\\\"}\"}", 11},
      {"12-", 0},
      {"tru", 0},
      {"{\"a\":1", 0},
      {"{\"a\":1,}", 0},
      {"[1 2]", 0},
      {"{'a':1}", 0},
      {"", 0},
      {"   ", 0},
      {"NaN", 0},
      {"1e999", 0},  // out of double range
      {"[}", 0},
      {"{\"a\":1}/*c*/", 7},
      {"\"a\x01\"", 0},  // raw control character
      {"\"\\x\"", 0},
      {"\"\\ud800\"", 0},  // lone surrogate escape
  };
  for (const auto& r : rows) {
    Variant v("before");
    EXPECT_EQ(v.FromJSON(r.text, std::strlen(r.text)), r.used) << r.text;
    if (r.used == 0) {
      EXPECT_EQ(v.AsString(), "before") << r.text;
    }
  }
  // Length is honoured: a document cut short by the length is incomplete.
  Variant v;
  EXPECT_EQ(v.FromJSON("{\"a\":1}", 6), 0u);
  EXPECT_EQ(v.FromJSON(nullptr, 0), 0u);
  // A NUL after the document is a trailing byte like any other.
  const std::string withNul("{\"a\":1}\0", 8);
  EXPECT_EQ(v.FromJSON(withNul), 7u);
}

TEST(VariantJson, NumbersTakeTheKindTheirTextCalls) {
  struct Row {
    const char* text;
    VariantType kind;
    double value;
  } rows[] = {
      {"-0", VariantType::Int64, 0},
      {"0", VariantType::UInt64, 0},
      {"-9223372036854775808", VariantType::Int64, -9223372036854775808.0},
      {"-9223372036854775809", VariantType::Double, -9223372036854775808.0},  // beyond Int64
      {"1E2", VariantType::Double, 100},
      {"2.5e-3", VariantType::Double, 0.0025},
      {"1e-400", VariantType::Double, 0},  // below the smallest double: zero, not a failure
      {"4.9e-324", VariantType::Double, 4.9e-324},
  };
  for (const auto& r : rows) {
    Variant v;
    ASSERT_EQ(v.FromJSON(r.text), std::strlen(r.text)) << r.text;
    EXPECT_EQ(v.GetType(), r.kind) << r.text;
    EXPECT_EQ(v.AsDouble(), r.value) << r.text;
  }
  for (const char* bad : {"+1", ".5", "1.", "1e", "1e+", "01", "-", "0x10", "[1,]", "[01]", "{\"a\" 1}", "\"\\uDE00\""}) {
    Variant v;
    EXPECT_EQ(v.FromJSON(bad), 0u) << bad;
  }
  Variant s;
  ASSERT_EQ(s.FromJSON(R"("a\u0000b")"), 10u);  // an escaped NUL is kept
  EXPECT_EQ(s.AsString(), std::string("a\0b", 3));
}

TEST(VariantJson, NestingIsCappedWithoutCrashing) {
  Variant v;
  const size_t cap = Variant::kMaxDepth;
  EXPECT_EQ(v.FromJSON(nested(cap, '[', ']')), 2 * cap);
  EXPECT_EQ(v.FromJSON(nested(cap + 1, '[', ']')), 0u);
  EXPECT_EQ(v.FromJSON(nested(10000, '[', ']')), 0u);
  EXPECT_EQ(v.FromJSON(std::string(10000, '[')), 0u);  // unterminated too
  std::string objects;
  for (int i = 0; i < 10000; ++i) objects += "{\"a\":";
  objects += "1";
  objects += std::string(10000, '}');
  EXPECT_EQ(v.FromJSON(objects), 0u);
  std::string mixed;
  for (size_t i = 0; i < cap; ++i) mixed += (i % 2) ? "{\"k\":" : "[";
  mixed += "0";
  for (size_t i = cap; i-- > 0;) mixed += (i % 2) ? "}" : "]";
  EXPECT_EQ(v.FromJSON(mixed), mixed.size());
  EXPECT_EQ(json(v).size(), mixed.size());
}

TEST(VariantJson, DocumentsReadBackAsTheyWereWritten) {
  const std::string text =
      R"({"z":{"b":1,"a":2},"dup":1,"dup":2,"empty":{},"arr":[1,-2,3.5,"x",null,true,{"k":[]}]})";
  Variant v;
  ASSERT_EQ(v.FromJSON(text), text.size());
  // Keys come out in byte order; a repeated key keeps its last value.
  EXPECT_EQ(json(v), R"({"arr":[1,-2,3.5,"x",null,true,{"k":[]}],"dup":2,"empty":{},"z":{"a":2,"b":1}})");
  EXPECT_EQ(v["arr"].NumericKeysCount(), 7u);
  EXPECT_EQ(v["arr"][6]["k"].GetType(), VariantType::Array);
  EXPECT_EQ(json(v, true),
            "{\n"
            "  \"arr\": [\n"
            "    1,\n"
            "    -2,\n"
            "    3.5,\n"
            "    \"x\",\n"
            "    null,\n"
            "    true,\n"
            "    {\n"
            "      \"k\": []\n"
            "    }\n"
            "  ],\n"
            "  \"dup\": 2,\n"
            "  \"empty\": {},\n"
            "  \"z\": {\n"
            "    \"a\": 2,\n"
            "    \"b\": 1\n"
            "  }\n"
            "}");
  EXPECT_EQ(v.ToString(), json(v, true));
  Variant again;
  ASSERT_EQ(again.FromJSON(json(v, true)), json(v, true).size());
  EXPECT_TRUE(again == v);

  // Numeric keys are written as text among the string keys, in byte order.
  Variant m;
  m[10] = "ten";
  m[9] = "nine";
  m["5a"] = "s";
  m[-1] = "neg";
  EXPECT_EQ(json(m), R"({"-1":"neg","10":"ten","5a":"s","9":"nine"})");
}

TEST(VariantJson, FilesAreReadThroughTheTestRoot) {
  kavo::test::TestRoot root;
  root.write("/etc/doc.json", "{\"a\":[1,2]}\n");
  root.write("/etc/bad.json", "{\"a\":1} trailing");
  root.write("/etc/empty.json", "");
  Variant v;
  ASSERT_TRUE(v.FromJSONFile("/etc/doc.json"));
  EXPECT_EQ(json(v), R"({"a":[1,2]})");
  ASSERT_TRUE(v.FromJSONFile(root.path("/etc/doc.json")));  // already under the root
  v = "kept";
  EXPECT_FALSE(v.FromJSONFile("/etc/bad.json"));
  EXPECT_FALSE(v.FromJSONFile("/etc/empty.json"));
  EXPECT_FALSE(v.FromJSONFile("/etc/missing.json"));
  EXPECT_FALSE(v.FromJSONFile("/etc"));  // a folder
  EXPECT_EQ(v.AsString(), "kept");
}
