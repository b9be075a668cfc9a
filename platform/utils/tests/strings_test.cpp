#include "kavo/utils/strings.h"

#include <gtest/gtest.h>

using namespace kavo::utils;

TEST(Strings, TrimStripsAsciiWhiteSpaceAtBothEndsInPlace) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {{"", ""}, {" \t\r\n\v\f", ""}, {"  a b  ", "a b"}, {"x", "x"}, {"\tkavo_streamer\n", "kavo_streamer"},
               {"a\n\nb", "a\n\nb"}};
  for (const auto& c : cases) {
    std::string s = c.in;
    EXPECT_EQ(&trim(s), &s);
    EXPECT_EQ(s, c.out) << "[" << c.in << "]";
  }
}

TEST(Strings, LowerCaseTouchesOnlyAsciiLetters) {
  EXPECT_EQ(lowerCase("RTMP://Host:1935"), "rtmp://host:1935");
  EXPECT_EQ(lowerCase("\xC3\x84Z@["), "\xC3\x84z@[");
  EXPECT_EQ(lowerCase(""), "");
}

TEST(Strings, SplitKeepsEmptyPiecesAndNeverReturnsAnEmptyList) {
  const struct {
    const char* text;
    const char* sep;
    std::vector<std::string> pieces;
  } cases[] = {
      {"a=1&b=2", "&", {"a=1", "b=2"}},
      {"", "&", {""}},
      {"&", "&", {"", ""}},
      {"a&&b&", "&", {"a", "", "b", ""}},
      {"1.23 4.56", " ", {"1.23", "4.56"}},
      {"a::b:c", "::", {"a", "b:c"}},
      {"whole", "", {"whole"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> out = {"stale"};
    EXPECT_EQ(split(c.text, c.sep, out), c.pieces.size());
    EXPECT_EQ(out, c.pieces) << "[" << c.text << "] at [" << c.sep << "]";
  }
}

TEST(Strings, ReplaceAllReplacesLeftToRightWithoutRescanning) {
  // The configuration store's rewrite rules, applied in their order.
  std::string cfg = "a=enabled\nb=enable\nc=onvif\nd=off\n";
  for (auto rule : {std::make_pair("=enabled", "=1"), std::make_pair("=enable", "=1"), std::make_pair("=on", "=1"),
                    std::make_pair("=disabled", "=0"), std::make_pair("=disable", "=0"), std::make_pair("=off", "=0")})
    replaceAll(cfg, rule.first, rule.second);
  EXPECT_EQ(cfg, "a=1\nb=1\nc=1vif\nd=0\n");

  std::string s = "aaa";
  EXPECT_EQ(replaceAll(s, "aa", "b"), "ba");
  s = "a.a";
  EXPECT_EQ(replaceAll(s, "a", "aa"), "aa.aa");  // inserted text is not searched again
  s = "abc";
  EXPECT_EQ(replaceAll(s, "", "x"), "abc");
  EXPECT_EQ(replaceAll(s, "abc", ""), "");
}

TEST(Strings, FormatHandlesLongOutputAnd64BitValues) {
  EXPECT_EQ(format("%u", 65535u), "65535");
  EXPECT_EQ(format("/tmp/writev_diag_%u_%llu", 12u, 18446744073709551615ull),
            "/tmp/writev_diag_12_18446744073709551615");
  std::string longText(1000, 'q');
  EXPECT_EQ(format("<%s>", longText.c_str()), "<" + longText + ">");
  EXPECT_EQ(format("%s", ""), "");
}
