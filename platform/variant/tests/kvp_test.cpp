// Key/value text: nesting, typing, merge and replace, limits, and the writer.
#include <gtest/gtest.h>

#include "kavo/test/test_root.h"
#include "kavo/variant/variant.h"

using kavo::variant::Variant;
using kavo::variant::VariantType;

namespace {

std::string json(const Variant& v) {
  std::string s;
  v.ToJSON(s, false);
  return s;
}

const char* kBoardInfo =
    "board.sysid=12\n"
    "board.hwaddr=001122334455\n"
    "board.name=XX-1\n"
    "board.rev=1.5\n"
    "sdmmc=1\n"
    "wifi=0\n";

}  // namespace

TEST(VariantKvp, DottedKeysNestAndValuesAreTypedOnRequest) {
  // The camera-information reads: numbers as numbers, then everything as text.
  Variant a;
  ASSERT_TRUE(a.FromKVP(kBoardInfo, false, false, true));
  EXPECT_EQ(json(a),
            R"({"board":{"hwaddr":1122334455,"name":"XX-1","rev":1.5,"sysid":12},"sdmmc":1,"wifi":0})");
  EXPECT_EQ(a["board"]["sysid"].GetType(), VariantType::UInt64);
  Variant b;
  ASSERT_TRUE(b.FromKVP(kBoardInfo, true, true, true));
  EXPECT_EQ(b["board"]["hwaddr"].AsString(), "001122334455");
  EXPECT_EQ(b["board"]["sysid"].AsString(), "12");
  ASSERT_NE(b.GetKeyChain(VariantType::String, "board/hwaddr"), nullptr);

  // Kept whole without nesting.
  Variant flat;
  ASSERT_TRUE(flat.FromKVP("a.b.c=1\n", true, true, false));
  EXPECT_EQ(json(flat), R"({"a.b.c":"1"})");
}

TEST(VariantKvp, ValueTyping) {
  struct Row {
    const char* value;
    Variant expected;
  } rows[] = {
      {"12", Variant(uint64_t(12))},
      {"+12", Variant(uint64_t(12))},
      {"-3", Variant(int64_t(-3))},
      {"0012", Variant(uint64_t(12))},
      {"18446744073709551615", Variant(uint64_t(18446744073709551615ull))},
      {"18446744073709551616", Variant("18446744073709551616")},  // beyond 64 bits
      {"-9223372036854775809", Variant("-9223372036854775809")},
      {"1.5", Variant(1.5)},
      {"2.0", Variant(2.0)},
      {".5", Variant(0.5)},
      {"5.", Variant(5.0)},
      {"1e3", Variant(1000.0)},
      {"1e999", Variant("1e999")},
      {"0x10", Variant("0x10")},
      {"12a", Variant("12a")},
      {" 12", Variant(" 12")},  // values are not trimmed
      {"-", Variant("-")},
      {".", Variant(".")},
      {"1e", Variant("1e")},
      {"nan", Variant("nan")},
      {"inf", Variant("inf")},
      {"", Variant("")},
      {"on=off", Variant("on=off")},  // only the first "=" separates
  };
  for (const auto& r : rows) {
    Variant v;
    ASSERT_TRUE(v.FromKVP(std::string("k=") + r.value, true, false, true)) << r.value;
    EXPECT_EQ(v["k"].GetType() == VariantType::String, r.expected.IsString()) << r.value;
    EXPECT_TRUE(v["k"] == r.expected) << r.value << " -> " << json(v);
    if (r.expected.IsDouble()) {
      EXPECT_TRUE(v["k"].IsDouble()) << r.value;
    }
  }
}

TEST(VariantKvp, LinesKeysAndMerging) {
  Variant v;
  ASSERT_TRUE(v.FromKVP("no equals sign\n\n=5\na..b=1\n.a=2\na.=3\n  spaced.key \t= value with spaces \r\n"
                        "x=1\nx=2\nlast=no newline",
                        true, true, true));
  EXPECT_EQ(json(v), R"({"last":"no newline","spaced":{"key":" value with spaces "},"x":"2"})");

  // replace=false merges into what is there, replace=true starts over.
  ASSERT_TRUE(v.FromKVP("x=3\nnew.k=1\n", false, true, true));
  EXPECT_EQ(json(v), R"({"last":"no newline","new":{"k":"1"},"spaced":{"key":" value with spaces "},"x":"3"})");
  ASSERT_TRUE(v.FromKVP("only=1\n", true, true, true));
  EXPECT_EQ(json(v), R"({"only":"1"})");
  Variant scalar("text");
  ASSERT_TRUE(scalar.FromKVP("k=v", false, true, true));
  EXPECT_EQ(json(scalar), R"({"k":"v"})");
  Variant empty;
  ASSERT_TRUE(empty.FromKVP("", true, true, true));
  EXPECT_EQ(json(empty), "{}");
}

TEST(VariantKvp, ConflictsAndDepthFailWithoutChangingTheValue) {
  const char* failing[] = {"a=1\na.b=2\n", "a.b=2\na=1\n", "a.b.c=1\na.b=2\n"};
  for (const char* text : failing) {
    Variant v("before");
    EXPECT_FALSE(v.FromKVP(text, true, true, true)) << text;
    EXPECT_EQ(v.AsString(), "before");
    EXPECT_TRUE(v.FromKVP(text, true, true, false)) << text;  // flat keys cannot clash
  }
  std::string key = "k";
  for (size_t i = 1; i < Variant::kMaxDepth; ++i) key += ".k";
  Variant v;
  EXPECT_TRUE(v.FromKVP(key + "=1", true, true, true));
  EXPECT_FALSE(v.FromKVP(key + ".k=1", true, true, true));
  std::string huge;
  for (int i = 0; i < 10000; ++i) huge += "k.";
  EXPECT_FALSE(v.FromKVP(huge + "k=1", true, true, true));
}

TEST(VariantKvp, WriterFlattensAndRoundTrips) {
  const std::string text =
      "system.flash.cycles=3\n"
      "system.name=cam\n"
      "network.wifi._1.ssid=home\n"
      "network.dhcp=1\n";
  Variant v;
  ASSERT_TRUE(v.FromKVP(text, true, true, true));
  std::string out;
  ASSERT_TRUE(v.ToKVP(out, "=", "\n"));
  EXPECT_EQ(out,
            "network.dhcp=1\n"
            "network.wifi._1.ssid=home\n"
            "system.flash.cycles=3\n"
            "system.name=cam\n");
  Variant back;
  ASSERT_TRUE(back.FromKVP(out, true, true, true));
  EXPECT_TRUE(back == v);

  Variant kinds;
  kinds["b"] = true;
  kinds["d"] = 2.5;
  kinds["i"] = -4;
  kinds["n"] = nullptr;
  kinds["t"] = timeval{12, 5};
  kinds["list"][-1] = "x";
  kinds["list"][-1] = "y";
  kinds["m"][7] = "seven";
  kinds["e"] = Variant(VariantType::Map);
  ASSERT_TRUE(kinds.ToKVP(out, ": ", ";\n"));
  EXPECT_EQ(out, "b: 1;\nd: 2.5;\ni: -4;\nlist.0: x;\nlist.1: y;\nm.7: seven;\nn: ;\nt: 12.000005;\n");

  out = "untouched";
  Variant bad;
  bad["k"] = "two\nlines";
  EXPECT_FALSE(bad.ToKVP(out));
  bad = Variant();
  bad["a=b"] = "v";
  EXPECT_FALSE(bad.ToKVP(out));
  bad = Variant();
  bad[""] = "v";
  EXPECT_FALSE(bad.ToKVP(out));
  EXPECT_FALSE(Variant(5).ToKVP(out));
  EXPECT_EQ(out, "untouched");
  EXPECT_TRUE(Variant().ToKVP(out));
  EXPECT_EQ(out, "");
}

TEST(VariantKvp, FilesAreReadThroughTheTestRoot) {
  kavo::test::TestRoot root;
  root.write("/etc/board.info", kBoardInfo);
  Variant v;
  ASSERT_TRUE(v.FromKVPFile("/etc/board.info", false, false, true));
  EXPECT_EQ(v["board"]["sysid"].AsUInt64(), 12u);
  EXPECT_FALSE(v.FromKVPFile("/etc/missing.info", true, true, true));
  EXPECT_EQ(v["board"]["sysid"].AsUInt64(), 12u);
}
