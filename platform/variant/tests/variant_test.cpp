#include <gtest/gtest.h>

#include "kavo/variant/basevariantcontainer.h"
#include "kavo/variant/variant.h"

using kavo::variant::Variant;
using kavo::variant::VariantType;

TEST(VariantSmoke, Basics) {
  Variant v;
  v["a"] = 5;
  v["b"][-1] = "x";
  v["b"][-1] = 2.5;
  std::string s;
  v.ToJSON(s);
  EXPECT_EQ(s, "{\"a\":5,\"b\":[\"x\",2.5]}");
  Variant w;
  EXPECT_EQ(w.FromJSON(s), s.size());
  EXPECT_TRUE(w == v);
  std::string str = static_cast<std::string>(v["b"][0]);
  EXPECT_EQ(str, "x");
}
