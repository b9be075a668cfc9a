// Kinds, conversions, container rules, key chains, ValidateNumeric and document-style getters.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "kavo/variant/basevariantcontainer.h"
#include "kavo/variant/variant.h"

using kavo::variant::BaseVariantContainer;
using kavo::variant::Variant;
using kavo::variant::VariantType;

namespace {

std::string json(const Variant& v) {
  std::string s;
  v.ToJSON(s, false);
  return s;
}

}  // namespace

TEST(VariantKinds, AssignmentStoresTheKindOfTheType) {
  struct Row {
    Variant value;
    VariantType kind;
  } rows[] = {
      {Variant(), VariantType::Null},
      {Variant(true), VariantType::Bool},
      {Variant(int8_t(-1)), VariantType::Int8},
      {Variant(int16_t(-1)), VariantType::Int16},
      {Variant(-1), VariantType::Int32},
      {Variant(int64_t(-1)), VariantType::Int64},
      {Variant(-1LL), VariantType::Int64},
      {Variant(uint8_t(1)), VariantType::UInt8},
      {Variant(uint16_t(1)), VariantType::UInt16},
      {Variant(1u), VariantType::UInt32},
      {Variant(uint64_t(1)), VariantType::UInt64},
      {Variant(1ULL), VariantType::UInt64},
      {Variant(size_t(1)), VariantType::UInt64},
      {Variant(1.5), VariantType::Double},
      {Variant(1.5f), VariantType::Double},
      {Variant("text"), VariantType::String},
      {Variant(std::string("text")), VariantType::String},
      {Variant(timeval{1, 2}), VariantType::Timeval},
      {Variant(VariantType::Map), VariantType::Map},
      {Variant(VariantType::Array), VariantType::Array},
      {Variant(nullptr), VariantType::Null},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(r.value.GetType(), r.kind) << json(r.value);
    EXPECT_TRUE(static_cast<VariantType>(r.value) == r.kind);
  }

  Variant v;
  v = uint16_t(7);
  EXPECT_EQ(v.GetType(), VariantType::UInt16);
  v = "abc";
  EXPECT_EQ(v.GetType(), VariantType::String);
  v = timeval{5, 6};
  EXPECT_EQ(v.AsTimeval().tv_sec, 5);
  EXPECT_EQ(v.AsTimeval().tv_usec, 6);
  const char* none = nullptr;
  v = none;  // a null text is stored as the empty string
  EXPECT_TRUE(v.IsString());
  EXPECT_EQ(v.AsString(), "");
  v = nullptr;
  EXPECT_TRUE(v.IsNull());
}

TEST(VariantKinds, FiltersGroupTheKinds) {
  const Variant i(int8_t(1)), u(uint64_t(1)), d(1.0), s("x"), m(VariantType::Map), a(VariantType::Array), n;
  EXPECT_TRUE(i.Is(VariantType::Numeric) && u.Is(VariantType::Numeric) && d.Is(VariantType::Numeric));
  EXPECT_TRUE(i.Is(VariantType::Integer) && u.Is(VariantType::Integer));
  EXPECT_FALSE(d.Is(VariantType::Integer));
  EXPECT_FALSE(s.Is(VariantType::Numeric) || Variant(true).Is(VariantType::Numeric));
  EXPECT_TRUE(m.Is(VariantType::Container) && a.Is(VariantType::Container));
  EXPECT_FALSE(m.Is(VariantType::Array) || a.Is(VariantType::Map));
  EXPECT_TRUE(n.Is(VariantType::Any) && m.Is(VariantType::Any));
  EXPECT_FALSE(n.Is(VariantType::Container));
}

TEST(VariantConversions, IntegersNarrowLikeACastAndDoublesSaturate) {
  EXPECT_EQ(Variant(-1).AsUInt32(), 0xFFFFFFFFu);
  EXPECT_EQ(Variant(300).AsUInt8(), 44);  // low bits
  EXPECT_EQ(Variant(25).AsUInt8(), 25);
  EXPECT_EQ(Variant(int32_t(70000)).AsUInt32(), 70000u);
  EXPECT_EQ(Variant(uint64_t(0xFFFFFFFFFFFFFFFFull)).AsInt64(), -1);
  EXPECT_EQ(Variant(int64_t(std::numeric_limits<int64_t>::min())).AsInt64(), std::numeric_limits<int64_t>::min());

  EXPECT_EQ(Variant(1e30).AsUInt32(), 0xFFFFFFFFu);
  EXPECT_EQ(Variant(1e30).AsInt64(), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(Variant(-1e30).AsInt64(), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(Variant(-5.5).AsUInt8(), 0);
  EXPECT_EQ(Variant(-5.5).AsInt32(), -5);
  EXPECT_EQ(Variant(25.9).AsUInt8(), 25);
  EXPECT_EQ(Variant(std::nan("")).AsInt32(), 0);
  EXPECT_EQ(Variant(18446744073709551616.0).AsUInt64(), std::numeric_limits<uint64_t>::max());

  EXPECT_TRUE(Variant(2).AsBool());
  EXPECT_FALSE(Variant(0.0).AsBool());
  EXPECT_EQ(Variant(true).AsInt32(), 1);
  EXPECT_EQ(Variant("12").AsInt32(), 0);  // text is never parsed
  EXPECT_EQ(Variant(7).AsString(), "");
  EXPECT_EQ(Variant("x").AsTimeval().tv_sec, 0);

  // The explicit operators follow the same rules.
  const Variant v(int32_t(-2));
  EXPECT_EQ(static_cast<unsigned char>(v), 254);
  EXPECT_EQ(static_cast<unsigned long long>(Variant(5)), 5ull);
  EXPECT_EQ(static_cast<double>(Variant(uint8_t(3))), 3.0);
  EXPECT_EQ(static_cast<std::string>(Variant("abc")), "abc");
  EXPECT_EQ(static_cast<const std::string&>(Variant(std::string("def"))), "def");
  EXPECT_STREQ(static_cast<const char*>(Variant(3)), "");
}

TEST(VariantContainers, IndexingCreatesNullsAndMinusOneAppends) {
  Variant v;
  v["all"][-1] = "a";
  v["all"][-1] = "b";
  v["byCode"][104] = "h";
  EXPECT_TRUE(v.IsMap());
  EXPECT_TRUE(v["all"].IsArray());
  EXPECT_TRUE(v["byCode"].IsMap());  // a number other than -1 on a non-container makes a map
  EXPECT_EQ(v["all"].NumericKeysCount(), 2u);
  EXPECT_EQ(json(v), R"({"all":["a","b"],"byCode":{"104":"h"}})");

  Variant m(VariantType::Map);
  m[-1] = 1;  // on a map, -1 is an ordinary key
  m[-1] = 2;
  EXPECT_EQ(m.NumericKeysCount(), 1u);
  EXPECT_EQ(m.Find(-1)->AsInt32(), 2);

  Variant created;
  Variant& slot = created["x"];
  EXPECT_TRUE(slot.IsNull());
  EXPECT_TRUE(created.HasKey("x"));

  // num_begin/num_end walk the numeric keys in ascending order.
  Variant arr;
  for (int k = 0; k < 5; ++k) arr[-1] = k * 10;
  int64_t expectKey = 0;
  for (auto it = arr.num_begin(); it != arr.num_end(); ++it, ++expectKey) {
    EXPECT_EQ(it->first, expectKey);
    EXPECT_EQ(it->second.AsInt64(), expectKey * 10);
  }
  EXPECT_EQ(expectKey, 5);
  const Variant scalar(3);
  EXPECT_TRUE(scalar.num_begin() == scalar.num_end());
  EXPECT_TRUE(scalar.begin() == scalar.end());
}

TEST(VariantContainers, KindChangesKeepWhatFits) {
  // A string key on an array makes it a map that keeps the elements under their indexes.
  Variant a;
  a[-1] = "zero";
  a[-1] = "one";
  a["name"] = "n";
  EXPECT_TRUE(a.IsMap());
  EXPECT_EQ(json(a), R"({"0":"zero","1":"one","name":"n"})");

  // IsArray(true) on a map keeps the numeric keys only; IsArray(false) on an array keeps all.
  a.IsArray(true);
  EXPECT_TRUE(a.IsArray());
  EXPECT_EQ(json(a), R"(["zero","one"])");
  a.IsArray(false);
  EXPECT_TRUE(a.IsMap());
  EXPECT_EQ(a.NumericKeysCount(), 2u);
  a.IsArray(false);
  EXPECT_EQ(a.Size(), 2u);

  // Scalars become empty containers.
  Variant s("text");
  s.IsArray(false);
  EXPECT_TRUE(s.IsMap());
  EXPECT_EQ(s.Size(), 0u);
  Variant t(5);
  t["k"] = 1;
  EXPECT_EQ(json(t), R"({"k":1})");

  Variant f(VariantType::Map);
  f["x"] = 1;
  f.Free();
  EXPECT_TRUE(f.IsNull());
  f["y"] = 2;
  f.Reset();
  EXPECT_TRUE(f.IsNull());
}

TEST(VariantContainers, FindNeverCreates) {
  Variant v(VariantType::Map);
  EXPECT_EQ(v.Find("missing"), nullptr);
  EXPECT_EQ(v.Find(3), nullptr);
  EXPECT_EQ(v.Size(), 0u);
  const Variant scalar(1);
  EXPECT_EQ(scalar.Find("x"), nullptr);
  EXPECT_TRUE(scalar.IsNumeric());
  v["k"] = 1;
  ASSERT_NE(v.Find("k"), nullptr);
  EXPECT_EQ(v.Find(std::string("k"))->AsInt32(), 1);
}

TEST(VariantKeyChain, NumericPartsKindFiltersAndEmptyParts) {
  Variant d;
  d["byShortName"][104]["longName"] = "help";
  d["byLongName"]["help"]["longName"] = "help";
  d["byLongName"]["Mixed"] = 1;
  d["list"][-1] = "first";
  d[""] = "empty key";

  struct Row {
    const char* chain;
    VariantType kind;
    bool found;
  } rows[] = {
      {"byShortName/[104]", VariantType::Any, true},
      {"byShortName/[104]/longName", VariantType::String, true},
      {"byShortName/104", VariantType::Any, false},  // a bare number is a string key
      {"byShortName/[105]", VariantType::Any, false},
      {"byLongName/help", VariantType::Map, true},
      {"byLongName/help", VariantType::Container, true},
      {"byLongName/help", VariantType::String, false},
      {"list/[0]", VariantType::String, true},
      {"list/[1]", VariantType::Any, false},
      {"list/[x]", VariantType::Any, false},
      {"byLongName/", VariantType::Any, false},  // empty part
      {"/byLongName", VariantType::Any, false},
      {"byLongName//help", VariantType::Any, false},
      {"", VariantType::Map, true},  // the value itself
      {"byLongName/mixed", VariantType::Any, false},
      {"byLongName/help/longName/deeper", VariantType::Any, false},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(d.GetKeyChain(r.kind, r.chain, false) != nullptr, r.found) << r.chain;
  }
  // ignoreCase finds differently cased keys, preferring the exact one.
  ASSERT_NE(d.GetKeyChain(VariantType::Any, "BYLONGNAME/mixed", true), nullptr);
  d["byLongName"]["mixed"] = 2;
  EXPECT_EQ(d.GetKeyChain(VariantType::Numeric, "byLongName/mixed", true)->AsInt32(), 2);
  EXPECT_EQ(d.GetKeyChain(VariantType::Numeric, "byLongName/MIXED", true)->AsInt32(), 1);
  // Negative indexes and the returned node is the stored one.
  d["neg"][-5] = 1;
  Variant* node = d.GetKeyChain(VariantType::Numeric, "neg/[-5]", false);
  ASSERT_NE(node, nullptr);
  *node = 9;
  EXPECT_EQ(d["neg"][-5].AsInt32(), 9);
  EXPECT_EQ(d.GetKeyChain(VariantType::Any, "neg/[99999999999999999999]", false), nullptr);
}

TEST(VariantValidateNumeric, BoundsDefaultsAndTheClampFlag) {
  struct Row {
    Variant value;  // null: key missing
    bool clamp;
    Variant expected;
  } rows[] = {
      {Variant(), true, Variant(uint64_t(30))},            // missing: default
      {Variant("25"), true, Variant(uint64_t(30))},        // not a number: default
      {Variant(std::nan("")), true, Variant(uint64_t(30))},
      {Variant(25), true, Variant(25)},                    // in bounds: kept with its kind
      {Variant(25.5), false, Variant(25.5)},
      {Variant(0), true, Variant(uint64_t(1))},            // below: the minimum
      {Variant(0), false, Variant(uint64_t(30))},          // below: the default
      {Variant(uint32_t(4294967295u)), true, Variant(uint64_t(60))},
      {Variant(uint32_t(4294967295u)), false, Variant(uint64_t(30))},
      {Variant(-3), true, Variant(uint64_t(1))},
      {Variant(1e300), true, Variant(uint64_t(60))},
      {Variant(uint64_t(0xFFFFFFFFFFFFFFFFull)), true, Variant(uint64_t(60))},
  };
  for (const auto& r : rows) {
    Variant doc(VariantType::Map);
    if (!r.value.IsNull()) doc["fps"] = r.value;
    Variant& same = doc.ValidateNumeric("fps", 1, 60, 30, r.clamp);
    EXPECT_EQ(&same, &doc);
    EXPECT_TRUE(doc["fps"] == r.expected) << json(r.value) << " -> " << json(doc);
    if (r.expected.IsUnsigned()) {
      EXPECT_TRUE(doc["fps"].IsUnsigned());
    }
  }
  // Chained, as the encoder uses it; negative bounds store signed values.
  Variant doc;
  doc["width"] = uint32_t(4294967295u);
  doc.ValidateNumeric("width", 160, 1920, 1920, true).ValidateNumeric("offset", -10, 10, -4, true);
  EXPECT_EQ(doc["width"].AsUInt32(), 1920u);
  EXPECT_EQ(doc["offset"].GetType(), VariantType::Int64);
  EXPECT_EQ(doc["offset"].AsInt32(), -4);
}

TEST(VariantValues, CopiesAreDeepAndMovesLeaveNull) {
  Variant a;
  a["x"]["y"] = "deep";
  Variant b = a;
  b["x"]["y"] = "changed";
  EXPECT_EQ(a["x"]["y"].AsString(), "deep");
  Variant c = std::move(b);
  EXPECT_TRUE(b.IsNull());  // NOLINT: moved-from state is documented
  EXPECT_EQ(c["x"]["y"].AsString(), "changed");

  // Assigning a descendant to its ancestor, by copy and by move.
  Variant tree;
  tree["child"]["leaf"] = 1;
  tree = tree["child"];
  EXPECT_EQ(json(tree), R"({"leaf":1})");
  Variant tree2;
  tree2["child"]["s"] = std::string(100, 'x');
  tree2 = std::move(tree2["child"]);
  EXPECT_EQ(tree2["s"].AsString().size(), 100u);
  Variant str("self");
  Variant& same = str;  // self-assignment through a reference, as containers do it
  str = same;
  str = str.AsString();  // text that lives inside the value itself
  EXPECT_EQ(str.AsString(), "self");
}

TEST(VariantValues, EqualityComparesNumbersByValue) {
  EXPECT_TRUE(Variant(uint8_t(5)) == Variant(int64_t(5)));
  EXPECT_TRUE(Variant(5.0) == Variant(5u));
  EXPECT_FALSE(Variant(5.5) == Variant(5));
  EXPECT_FALSE(Variant(-1) == Variant(uint64_t(0xFFFFFFFFFFFFFFFFull)));
  EXPECT_FALSE(Variant(9223372036854775808.0) == Variant(std::numeric_limits<int64_t>::max()));
  EXPECT_TRUE(Variant("a") == "a");
  EXPECT_TRUE(Variant() == nullptr);
  EXPECT_TRUE(Variant("") != nullptr);
  EXPECT_TRUE(Variant("a") != "b");
  EXPECT_FALSE(Variant(1) == "1");
  EXPECT_FALSE(Variant(true) == Variant(1));
  Variant m1, m2;
  m1["k"][-1] = 1;
  m2["k"][-1] = 1.0;
  EXPECT_TRUE(m1 == m2);
  m2["k"].IsArray(false);
  EXPECT_FALSE(m1 == m2);
}

// A document class as the settings and message layers write them: a getter stores its default
// when the key is missing or of another kind, a setter clamps.
namespace {

class StreamDoc : public BaseVariantContainer {
 public:
  StreamDoc() = default;
  explicit StreamDoc(const Variant& v) : BaseVariantContainer(v) {}
  uint8_t fps() { return Field("fps", VariantType::Numeric, Variant(255)).AsUInt8(); }
  void fps(uint8_t v) {
    EnsureContainer();
    (*this)["fps"] = v == 0 ? uint8_t(1) : v;
  }
  std::string type() { return Field("type", VariantType::String, Variant("h264")).AsString(); }
  Variant& avSerializer() { return Field("avSerializer", VariantType::Map, Variant(VariantType::Map)); }
  void NormalizeFields() override {
    BaseVariantContainer::NormalizeFields();
    fps(fps());
    type();
    avSerializer();
  }

 private:
  Variant& Field(const char* key, VariantType kind, Variant&& def) {
    EnsureContainer();
    Variant* v = Find(key);
    if (v == nullptr || !v->Is(kind)) {
      Variant& slot = (*this)[key];
      slot = std::move(def);
      return slot;
    }
    return *v;
  }
};

}  // namespace

TEST(VariantDocuments, GettersWriteTheirDefaultsBack) {
  StreamDoc doc;
  EXPECT_EQ(json(doc), "{}");
  EXPECT_EQ(doc.fps(), 255);
  EXPECT_EQ(json(doc), R"({"fps":255})");  // reading added the key

  Variant parsed;
  ASSERT_GT(parsed.FromJSON(R"({"fps":"25","type":7,"extra":true})"), 0u);
  StreamDoc fromText(parsed);
  EXPECT_EQ(fromText.fps(), 255);  // a string is another kind: replaced
  EXPECT_EQ(fromText.type(), "h264");
  fromText.NormalizeFields();
  EXPECT_EQ(json(fromText), R"({"avSerializer":{},"extra":true,"fps":255,"type":"h264"})");

  ASSERT_GT(parsed.FromJSON(R"({"fps":300})"), 0u);
  StreamDoc narrow(parsed);
  EXPECT_EQ(narrow.fps(), 44);  // the library's narrowing keeps the low bits

  // A root that is no container becomes an empty map on the first access.
  StreamDoc scalar{Variant("just text")};
  EXPECT_EQ(scalar.type(), "h264");
  EXPECT_EQ(json(scalar), R"({"type":"h264"})");
  // An array root stays an array until a key is written; its elements are kept.
  Variant arr;
  arr[-1] = 1;
  StreamDoc fromArray(arr);
  fromArray.NormalizeFields();
  EXPECT_TRUE(fromArray.IsMap());
  EXPECT_EQ(fromArray.Find(0)->AsInt32(), 1);

  // Node getters hand out the stored node.
  StreamDoc node;
  node.avSerializer()["type"] = "flv";
  EXPECT_EQ(json(node), R"({"avSerializer":{"type":"flv"}})");
  node.fps(0);
  EXPECT_EQ(node.fps(), 1);
}
